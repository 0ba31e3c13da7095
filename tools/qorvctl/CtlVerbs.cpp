#include "tools/qorvctl/CtlVerbs.h"

#include "tools/qorvctl/CtlReadable.h"
#include "tools/qorvctl/WaitRule.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

int Failed(const JsonCommand& _answer)
{
    QString text = _answer.error_string;
    if (text.isEmpty())
        text = _answer.data;
    CtlPrintErr(QStringLiteral("%1 failed: error_code %2: %3")
                    .arg(_answer.command)
                    .arg(_answer.error_code)
                    .arg(text));
    return kExitFailed;
}

std::optional<double> ProgressPercent(const JsonCommand& _envelope, QString& _qstrStatus)
{
    const QJsonDocument doc = QJsonDocument::fromJson(_envelope.data.toUtf8());
    if (!doc.isObject() || !doc.object().value(QLatin1String("percent")).isDouble())
        return std::nullopt;
    _qstrStatus = doc.object().value(QLatin1String("status")).toString();
    return doc.object().value(QLatin1String("percent")).toDouble();
}

// The argument itself, or standard input for "-".
QString ReadData(const QString& _qstrArg)
{
    if (_qstrArg != QLatin1String("-"))
        return _qstrArg;
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    QByteArray data = in.readAll();
    // The newline that echo and editors leave at the end is not part of the payload.
    if (data.endsWith('\n'))
        data.chop(data.endsWith("\r\n") ? 2 : 1);
    return QString::fromUtf8(data);
}

} // namespace

int CtlVerbs::Send()
{
    JsonCommand request = m_client.Make(QStringLiteral("command"), m_opt.positional.at(1));
    if (!m_opt.guid.isEmpty())
        request.guid = m_opt.guid;
    request.data = m_opt.positional.size() > 2 ? ReadData(m_opt.positional.at(2)) : QString();
    WaitRule rules = RuleFor(request.command);
    if (m_opt.single)
        rules.setKind(WaitRule::Kind::Single);
    if (m_opt.successCodes)
        rules.setSuccessCodes(*m_opt.successCodes);
    if (request.data.isEmpty() && !rules.dataPattern().isEmpty()) {
        CtlPrintErr(QStringLiteral("%1 needs data: %2 (see qorvctl send --help)")
                        .arg(request.command, CtlReadable::Printable(rules.dataPattern())));
        return kExitUsage;
    }
    // Interrupted before anything was started: nothing to stop.
    if (CtlClient::StopRequested())
        return m_client.WaitFailure(QStringLiteral("the catalog"));
    m_client.Send(request);

    bool answered = false; // the hub's "command_ret" has come: a task may run
    // Progress on a terminal is the bar, not a line per update.
    const bool barOnly = m_client.Readable() && m_client.Bar().Enabled();
    QDeadlineTimer grace(QDeadlineTimer::Forever);
    for (;;) {
        qint64 wait = m_client.Remaining();
        if (!grace.isForever())
            wait = qMin(wait, grace.remainingTime());
        const auto next = m_client.Next(wait);
        if (!next) {
            // A silent command that got no refusal within its grace is done.
            if (answered && !grace.isForever() && grace.hasExpired() && !CtlClient::StopRequested())
                return kExitOk;
            // The stop goes after the command, so it also finds a task the hub has not confirmed yet.
            if (CtlClient::StopRequested() && rules.kind() == WaitRule::Kind::Progress)
                return StopTask(request, rules.stopCommand());
            return m_client.WaitFailure(answered ? QStringLiteral("the result of ") + request.command
                                                 : QStringLiteral("the hub's answer to ") + request.command);
        }
        const JsonCommand& envelope = next->second;
        if (envelope.guid != request.guid)
            continue;
        if (envelope.type == QLatin1String("command_ret")) {
            const bool started =
                envelope.error_code == 0 && !m_opt.noWait && rules.kind() == WaitRule::Kind::Progress;
            if (m_client.Readable() && started) {
                m_client.PrintLine(
                    QStringLiteral("%1 started, guid %2")
                        .arg(CtlReadable::Printable(request.command), CtlReadable::Printable(request.guid)));
                m_client.Bar().Start();
            } else if (!m_client.Readable() || rules.kind() != WaitRule::Kind::Single ||
                       envelope.error_code != 0) {
                m_client.Print(next->first);
            }
            if (envelope.error_code != 0)
                return Failed(envelope);
            answered = true;
            if (m_opt.noWait)
                return kExitOk;
            if (rules.kind() == WaitRule::Kind::Silent)
                grace = QDeadlineTimer(qMin<qint64>(WaitRule::kSilentGraceMs, m_client.Remaining()));
            continue;
        }
        if (envelope.type != QLatin1String("transfer"))
            continue;
        if (!rules.IsFinal(envelope.error_code)) {
            QString status;
            const auto percent = ProgressPercent(envelope, status);
            if (!barOnly || !percent)
                m_client.Print(next->first);
            if (percent)
                m_client.Bar().Show(*percent, CtlReadable::Printable(status));
            continue;
        }
        m_client.Print(next->first);
        m_client.Bar().Clear();
        return rules.IsSuccess(envelope.error_code) ? kExitOk : Failed(envelope);
    }
}

int CtlVerbs::StopTask(const JsonCommand& _task, const QString& _qstrStop)
{
    m_client.Bar().Clear();
    if (_qstrStop.isEmpty()) {
        CtlPrintErr(QStringLiteral("interrupted; %1 names no stop command, task %2 goes on")
                        .arg(_task.command, _task.guid));
        return kExitInterrupted;
    }
    // The stop command takes the task's guid; the hub's answer to it says it was delivered.
    JsonCommand stop = m_client.Make(QStringLiteral("command"), _qstrStop);
    stop.guid = _task.guid;
    m_client.Send(stop);
    const QDeadlineTimer bound(kStopWaitMs);
    while (const auto next = m_client.Next(bound.remainingTime(), true)) {
        const JsonCommand& envelope = next->second;
        if (envelope.guid != stop.guid || envelope.type != QLatin1String("command_ret"))
            continue;
        if (envelope.error_code != 0)
            CtlPrintErr(QStringLiteral("interrupted; %1 %2 refused: error_code %3 %4")
                            .arg(_qstrStop, stop.guid)
                            .arg(envelope.error_code)
                            .arg(envelope.error_string));
        else
            CtlPrintErr(QStringLiteral("interrupted; stopped %1 %2").arg(_task.command, _task.guid));
        return kExitInterrupted;
    }
    CtlPrintErr(QStringLiteral("interrupted; sent %1 %2, no answer").arg(_qstrStop, stop.guid));
    return kExitInterrupted;
}

WaitRule CtlVerbs::RuleFor(const QString& _qstrCommand)
{
    // Asked quietly: the catalog is how we wait, not an answer the user asked for.
    const JsonCommand request = m_client.Make(QStringLiteral("query"), QStringLiteral("command_catalog"));
    m_client.Send(request);
    int exitCode = kExitOk;
    const auto answer = m_client.WaitAnswer(request, QStringLiteral("query_ret"), exitCode, false);
    return WaitRule::FromCatalog(answer ? answer->data : QString(), _qstrCommand);
}

int CtlVerbs::Query(const QString& _qstrCommand, const QString& _qstrData)
{
    JsonCommand request = m_client.Make(QStringLiteral("query"), _qstrCommand);
    request.data = _qstrData;
    return SendForAnswer(request, QStringLiteral("query_ret"));
}

int CtlVerbs::Transfer(bool _blCast)
{
    JsonCommand request = m_client.Make(QStringLiteral("transfer"), m_opt.command);
    request.data = ReadData(m_opt.positional.at(1));
    request.iscast = _blCast;
    request.to = _blCast ? QStringList() : m_opt.to;
    return SendForAnswer(request, QStringLiteral("transfer_ret"));
}

int CtlVerbs::Status()
{
    const JsonCommand request = m_client.Make(QStringLiteral("query"), Envelope::kStatus);
    m_client.Send(request);
    int exitCode = kExitOk;
    const auto answer = m_client.WaitAnswer(request, QStringLiteral("query_ret"), exitCode, false);
    if (!answer)
        return exitCode;
    if (answer->error_code != 0)
        return Failed(*answer);
    const QString text =
        !m_client.Readable()
            ? answer->data + QLatin1Char('\n')
            : CtlReadable::StatusTables(QJsonDocument::fromJson(answer->data.toUtf8()).object());
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
    return kExitOk;
}

int CtlVerbs::SendForAnswer(const JsonCommand& _request, const QString& _qstrAnswerType)
{
    m_client.Send(_request);
    int exitCode = kExitOk;
    const auto answer = m_client.WaitAnswer(_request, _qstrAnswerType, exitCode);
    if (!answer)
        return exitCode;
    return answer->error_code == 0 ? kExitOk : Failed(*answer);
}

int CtlVerbs::Listen(bool _blBounded)
{
    for (;;) {
        const auto next = m_client.Next(m_client.Remaining());
        if (!next) {
            if (CtlClient::StopRequested() || (_blBounded && m_client.Expired()))
                break;
            if (!m_client.IsOpen())
                return m_client.WaitFailure(QStringLiteral("messages"));
            continue;
        }
        m_client.Print(next->first);
        const JsonCommand& envelope = next->second;
        if (m_opt.preUninstCode && envelope.type == QLatin1String("transfer") &&
            envelope.command == QLatin1String("pre_uninst") && envelope.error_code == 0)
            AnswerPreUninst(envelope);
    }
    // Leave the registry as we found it.
    m_client.Logout();
    return kExitOk;
}

void CtlVerbs::AnswerPreUninst(const JsonCommand& _question)
{
    // 200 agrees, 201 refuses with a reason.
    JsonCommand answer = m_client.Make(QStringLiteral("transfer"), QStringLiteral("pre_uninst"));
    answer.guid = _question.guid;
    answer.userdata = _question.userdata;
    answer.to = QStringList{_question.from.isEmpty() ? QStringLiteral("message_service") : _question.from};
    answer.error_code = *m_opt.preUninstCode;
    answer.error_string = *m_opt.preUninstCode == 201 ? m_opt.preUninstReason : QString();
    m_client.Send(answer);
    std::fprintf(stderr, "qorvctl: answered pre_uninst %s with %lld\n",
                 _question.guid.toLocal8Bit().constData(), static_cast<long long>(answer.error_code));
}
