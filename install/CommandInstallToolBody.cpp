#include "install/CommandInstallToolBody.h"
#include "core/LogCategories.h"

#include "core/JsonReader.h"

#include <QDebug>
#include <QJsonDocument>

void CommandInstallToolBody::LoadFromString(const QString& _qstrText)
{
    const auto obj = JsonReader::ParseObject(_qstrText.toUtf8(), "CommandInstallToolBody::LoadFromString:");
    if (obj)
        LoadFromJson(*obj);
}

void CommandInstallToolBody::LoadFromJson(const QJsonObject& _jsonObj)
{
    qCWarning(lcInstall) << "CommandInstallToolBody::LoadFromJson";
    JsonReader reader(_jsonObj);
    reader.String("from", from, "LoadFromJson:no from found");
    reader.String("to", to, "LoadFromJson:no to found");
    reader.String("extra", extra, "LoadFromJson:no extra found");
    reader.Double("percent", percent, "LoadFromJson:no percent found");
}

QJsonObject CommandInstallToolBody::ToJson() const
{
    QJsonObject obj;
    if (!from.isEmpty())
        obj.insert(QStringLiteral("from"), from);
    if (!to.isEmpty())
        obj.insert(QStringLiteral("to"), to);
    if (!extra.isEmpty())
        obj.insert(QStringLiteral("extra"), extra);
    obj.insert(QStringLiteral("percent"), percent);
    return obj;
}

QString CommandInstallToolBody::ToString() const
{
    return QString::fromUtf8(QJsonDocument(ToJson()).toJson(QJsonDocument::Compact));
}
