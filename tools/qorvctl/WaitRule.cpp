#include "tools/qorvctl/WaitRule.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

WaitRule WaitRule::FromCatalog(const QString& _qstrCatalog, const QString& _qstrCommand)
{
    WaitRule rule;
    const QJsonArray commands =
        QJsonDocument::fromJson(_qstrCatalog.toUtf8()).object().value(QLatin1String("commands")).toArray();
    for (const QJsonValue& value : commands) {
        const QJsonObject row = value.toObject();
        if (row.value(QLatin1String("name")).toString() != _qstrCommand)
            continue;
        const QString reply = row.value(QLatin1String("reply")).toString();
        rule.m_kind = reply == QLatin1String("single")   ? Kind::Single
                      : reply == QLatin1String("silent") ? Kind::Silent
                                                         : Kind::Progress;
        rule.m_listSuccess.clear();
        for (const QJsonValue& code : row.value(QLatin1String("success")).toArray())
            rule.m_listSuccess.append(code.toVariant().toLongLong());
        rule.m_qstrStop = row.value(QLatin1String("stop")).toString();
        rule.m_qstrData = row.value(QLatin1String("data")).toString();
        break;
    }
    return rule;
}
