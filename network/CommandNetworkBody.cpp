#include "network/CommandNetworkBody.h"
#include "core/LogCategories.h"

#include "core/JsonText.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>

void CommandNetworkBody::LoadFromString(const QString& _qstrText)
{
    QJsonParseError error;
    const QJsonDocument document = JsonText::Parse(_qstrText.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        qCCritical(lcNetwork) << "JsonSource::LoadFromString:" << error.errorString();
        return;
    }
    if (!document.isArray()) {
        qCCritical(lcNetwork) << "JsonSource::LoadFromString:qjsonOdc is not object";
        return;
    }
    LoadFromJson(document.array());
}

void CommandNetworkBody::LoadFromJson(const QJsonArray& _jsonArray)
{
    qCWarning(lcNetwork) << "CommandNetworkBody::LoadFromJson";
    for (const QJsonValue& item : _jsonArray) {
        const QJsonObject element = item.toObject();
        const QJsonValue url = element.value(QLatin1String("url"));
        const QJsonValue result = element.value(QLatin1String("result"));
        if (url.isString() && result.isDouble())
            m_qmapNetworkResult.insert(url.toString(), result.toInt());
    }
}

QJsonArray CommandNetworkBody::ToJson() const
{
    QJsonArray array;
    for (auto it = m_qmapNetworkResult.cbegin(); it != m_qmapNetworkResult.cend(); ++it) {
        QJsonObject element;
        element.insert(QStringLiteral("url"), it.key());
        element.insert(QStringLiteral("result"), it.value());
        array.append(element);
    }
    return array;
}

QString CommandNetworkBody::ToString() const
{
    return QString::fromUtf8(QJsonDocument(ToJson()).toJson(QJsonDocument::Compact));
}
