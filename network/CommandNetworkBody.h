#pragma once

#include <QJsonArray>
#include <QMap>
#include <QString>

// Body of the network commands and of their answers: a JSON array of {"url":..., "result":...},
// one element per address, in address order.
class CommandNetworkBody
{
public:
    virtual ~CommandNetworkBody() = default;

    virtual void LoadFromString(const QString& _qstrText);
    virtual QString ToString() const;
    virtual void LoadFromJson(const QJsonArray& _jsonArray);
    virtual QJsonArray ToJson() const;

    QMap<QString, int> m_qmapNetworkResult;
};
