#include "system/CommandSystemInfoToolBody.h"
#include "core/LogCategories.h"

#include "core/JsonReader.h"

#include <QDebug>
#include <QJsonDocument>

void CommandSystemInfoToolBody::LoadFromString(const QString& _qstrText)
{
    qCDebug(lcSystem).noquote() << QStringLiteral("CommandSystemInfoToolBody::LoadFromString:") + _qstrText;
    const auto obj =
        JsonReader::ParseObject(_qstrText.toUtf8(), "CommandSystemInfoToolBody::LoadFromString:");
    if (obj)
        LoadFromJson(*obj);
}

void CommandSystemInfoToolBody::LoadFromJson(const QJsonObject& _jsonObj)
{
    qCWarning(lcSystem) << "CommandSystemInfoToolBody::LoadFromJson";
    JsonReader reader(_jsonObj);
    reader.String("key", key, "LoadFromJson:no key found");
    // Any number is taken; one with a fraction or beyond 32 bits reads as 0.
    if (_jsonObj.value(QLatin1String("num")).isDouble()) {
        int value = 0;
        num = reader.Integer("num", value) ? value : 0;
    } else {
        qCCritical(lcSystem) << "LoadFromJson:no num found";
    }
    reader.String("str", str, "LoadFromJson:no str found");
}

QJsonObject CommandSystemInfoToolBody::ToJson() const
{
    QJsonObject obj;
    obj.insert(QStringLiteral("key"), key);
    obj.insert(QStringLiteral("num"), num);
    obj.insert(QStringLiteral("str"), str);
    return obj;
}

QString CommandSystemInfoToolBody::ToString() const
{
    return QString::fromUtf8(QJsonDocument(ToJson()).toJson(QJsonDocument::Compact));
}
