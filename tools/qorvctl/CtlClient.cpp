#include "tools/qorvctl/CtlClient.h"

#include "tools/qorvctl/CtlReadable.h"
#include "tools/qorvctl/CtlStopRequests.h"
#include "tools/qorvctl/CtlTerminal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cstdio>

namespace {

QDeadlineTimer Bound(qint64 _nMs)
{
    return _nMs > 0 ? QDeadlineTimer(_nMs) : QDeadlineTimer(QDeadlineTimer::Forever);
}

} // namespace

void CtlPrintErr(const QString& _qstrText)
{
    std::fprintf(stderr, "qorvctl: %s\n", _qstrText.toLocal8Bit().constData());
}

CtlClient::CtlClient(const QString& _qstrName, const QString& _qstrUserdata,
                     std::unique_ptr<CtlTransport> _pTransport, int _nIdleMs, int _nTotalMs)
    : m_qstrName(_qstrName), m_qstrUserdata(_qstrUserdata), m_pTransport(std::move(_pTransport)),
      m_nIdleMs(_nIdleMs), m_idle(Bound(_nIdleMs)), m_total(Bound(_nTotalMs))
{
}

void CtlClient::InstallStopHandlers()
{
    CtlCatchStopRequests();
}

bool CtlClient::StopRequested()
{
    return CtlStopRequests() != 0;
}

bool CtlClient::StopInsisted()
{
    return CtlStopRequests() > 1;
}

int CtlClient::Login(const QStringList& _listOffer)
{
    const int connectMs = static_cast<int>(qMin<qint64>(10000, Remaining()));
    // The service is on this machine: a connection that is not there at once is not coming.
    if (const Result<> opened = m_pTransport->Open(qMin(connectMs, 2000)); !opened) {
        CtlPrintErr(opened.Error());
        return kExitConnect;
    }
    JsonCommand login = Make(QStringLiteral("notify"), QStringLiteral("command_login"));
    QJsonObject body;
    body.insert(QStringLiteral("abilities"), QJsonArray::fromStringList(_listOffer));
    login.data = QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
    m_pTransport->Send(login.ToString());
    for (;;) {
        const auto next = Next(qMin<qint64>(connectMs, Remaining()));
        if (!next.has_value()) {
            CtlPrintErr(m_pTransport->IsOpen() ? QStringLiteral("no answer to the login")
                                               : QStringLiteral("the service closed the connection"));
            return kExitConnect;
        }
        if (next->second.type == QLatin1String("notify_ret") && next->second.guid == login.guid) {
            if (next->second.error_code != 0) {
                CtlPrintErr(QStringLiteral("login refused: ") + next->second.error_string);
                return kExitConnect;
            }
            return kExitOk;
        }
        // The WebSocket transport answers a refused login with plain text.
        if (next->second.type.isEmpty()) {
            CtlPrintErr(QStringLiteral("login refused: ") + QString::fromUtf8(next->first));
            return kExitConnect;
        }
    }
}

void CtlClient::Logout()
{
    if (!m_pTransport->IsOpen())
        return;
    const JsonCommand logout = Make(QStringLiteral("notify"), QStringLiteral("command_logout"));
    Send(logout);
    const QDeadlineTimer bound(500);
    while (const auto next = Next(bound.remainingTime()))
        if (next->second.guid == logout.guid)
            return;
}

JsonCommand CtlClient::Make(const QString& _qstrType, const QString& _qstrCommand) const
{
    JsonCommand envelope;
    envelope.type = _qstrType;
    envelope.command = _qstrCommand;
    envelope.from = m_qstrName;
    envelope.guid = QUuid::createUuid().toString();
    envelope.userdata = m_qstrUserdata;
    return envelope;
}

bool CtlClient::Send(const JsonCommand& _jsonCommand)
{
    return m_pTransport->Send(_jsonCommand.ToString());
}

qint64 CtlClient::Remaining() const
{
    qint64 left = 3600000;
    for (const QDeadlineTimer& bound : {m_idle, m_total})
        if (!bound.isForever())
            left = qMin(left, qMax<qint64>(0, bound.remainingTime()));
    return left;
}

void CtlClient::PrintLine(const QString& _qstrLine)
{
    m_bar.Clear();
    std::fputs((_qstrLine + QLatin1Char('\n')).toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

std::optional<std::pair<QByteArray, JsonCommand>> CtlClient::Next(qint64 _nMs, bool _blAfterStop)
{
    QDeadlineTimer bound(_nMs);
    for (;;) {
        // Short slices, so that a signal is noticed soon.
        const auto text = m_pTransport->Receive(static_cast<int>(qMin<qint64>(100, bound.remainingTime())));
        if (text) {
            m_idle = Bound(m_nIdleMs);
            JsonCommand envelope;
            if (text->startsWith('{'))
                envelope.LoadFromString(*text);
            return std::make_pair(*text, envelope);
        }
        const bool stopped = _blAfterStop ? StopInsisted() : StopRequested();
        if (stopped || !m_pTransport->IsOpen() || bound.hasExpired())
            return std::nullopt;
    }
}

void CtlClient::Print(const QByteArray& _baText)
{
    m_bar.Clear();
    if (m_blReadable) {
        JsonCommand envelope;
        if (_baText.startsWith('{'))
            envelope.LoadFromString(_baText);
        const QString line =
            CtlReadable::Wrap(envelope.type.isEmpty() ? CtlReadable::Printable(QString::fromUtf8(_baText))
                                                      : CtlReadable::Line(envelope),
                              CtlTerminalColumns());
        std::fputs(line.toLocal8Bit().constData(), stdout);
    } else {
        std::fwrite(_baText.constData(), 1, static_cast<size_t>(_baText.size()), stdout);
    }
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int CtlClient::WaitFailure(const QString& _qstrWhat)
{
    m_bar.Clear();
    if (StopRequested()) {
        CtlPrintErr(QStringLiteral("interrupted while waiting for ") + _qstrWhat);
        return kExitInterrupted;
    }
    if (!m_pTransport->IsOpen()) {
        CtlPrintErr(QStringLiteral("the service closed the connection while waiting for ") + _qstrWhat);
        return kExitConnect;
    }
    CtlPrintErr(
        m_total.hasExpired()
            ? QStringLiteral("timed out (--max-time) waiting for ") + _qstrWhat
            : QStringLiteral("timed out: nothing came for %1 s while waiting for ").arg(m_nIdleMs / 1000) +
                  _qstrWhat);
    return kExitTimeout;
}

std::optional<JsonCommand> CtlClient::WaitAnswer(const JsonCommand& _request, const QString& _qstrType,
                                                 int& _nExit, bool _blPrint)
{
    for (;;) {
        const auto next = Next(Remaining());
        if (!next) {
            _nExit = WaitFailure(QStringLiteral("the answer to ") + _request.command);
            return std::nullopt;
        }
        if (next->second.guid == _request.guid && next->second.type == _qstrType) {
            if (_blPrint)
                Print(next->first);
            return next->second;
        }
    }
}
