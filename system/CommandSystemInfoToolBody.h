#pragma once

#include <QJsonObject>
#include <QString>

// Payload of the system information requests and answers: {"key":...,"num":...,"str":...}.
class CommandSystemInfoToolBody
{
public:
    QString key;
    qint32 num = 0;
    QString str;

    void LoadFromString(const QString& _qstrText);
    void LoadFromJson(const QJsonObject& _jsonObj);
    QJsonObject ToJson() const;
    // Compact JSON; the keys come out as "key", "num", "str".
    QString ToString() const;
};
