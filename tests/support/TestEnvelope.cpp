#include "tests/support/TestEnvelope.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

JsonCommand makeCommand(const QString& _qstrType, const QString& _qstrCommand, const QString& _qstrData,
                        const QString& _qstrFrom)
{
    JsonCommand envelope;
    envelope.type = _qstrType;
    envelope.command = _qstrCommand;
    envelope.data = _qstrData;
    envelope.from = _qstrFrom;
    envelope.guid = QUuid::createUuid().toString();
    return envelope;
}

JsonCommand makeLogin(const QString& _qstrName, const QStringList& _listAbilities)
{
    QJsonObject body;
    body.insert(QStringLiteral("abilities"), QJsonArray::fromStringList(_listAbilities));
    return makeCommand(QStringLiteral("notify"), QStringLiteral("command_login"),
                       QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact)), _qstrName);
}

JsonCommand makeTransfer(const QStringList& _listTo, const QString& _qstrData, const QString& _qstrCommand,
                         bool _blCast)
{
    JsonCommand envelope = makeCommand(QStringLiteral("transfer"), _qstrCommand, _qstrData);
    envelope.to = _listTo;
    envelope.iscast = _blCast;
    return envelope;
}

bool isFinalResult(const JsonCommand& _jsonCommand)
{
    return _jsonCommand.error_code != 0;
}

QList<JsonCommand> collectWithGuid(const EnvelopeWait& _waitFor, const QString& _qstrGuid,
                                   const EnvelopePredicate& _isFinal, int _nTimeoutMs)
{
    QList<JsonCommand> collected;
    QDeadlineTimer deadline(qMax(0, _nTimeoutMs));
    for (;;) {
        const auto next = _waitFor([&](const JsonCommand& c) { return c.guid == _qstrGuid; },
                                   static_cast<int>(deadline.remainingTime()));
        if (!next)
            return collected;
        collected.append(*next);
        if (_isFinal(*next))
            return collected;
    }
}

bool loginAnswered(const EnvelopeWait& _waitFor, const QString& _qstrGuid, int _nTimeoutMs)
{
    const auto answer = _waitFor(
        [&](const JsonCommand& c) { return c.type == QLatin1String("notify_ret") && c.guid == _qstrGuid; },
        _nTimeoutMs);
    return answer && answer->error_code == 0;
}
