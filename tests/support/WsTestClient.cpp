#include "tests/support/WsTestClient.h"

#include "tests/support/TestEnvelope.h"

#include "core/WebSocketClient.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

WsTestClient::WsTestClient(const QString& _qstrName, quint16 _nPort, const QString& _qstrOrigin)
    : m_qstrName(_qstrName), m_nPort(_nPort), m_baOrigin(_qstrOrigin.toUtf8()),
      // Large transfers in tests must not trip the client's own limit.
      m_pSocket(new WebSocketClient(512 * 1024 * 1024, this))
{
    connect(m_pSocket, &WebSocketClient::SignTextMessage, this, [this](const QByteArray& _baText) {
        Message message{QString::fromUtf8(_baText), JsonCommand()};
        message.envelope.LoadFromString(_baText);
        m_queue.push_back(std::move(message));
        emit SignArrived();
    });
    connect(m_pSocket, &WebSocketClient::SignConnected, this, &WsTestClient::SignArrived);
    connect(m_pSocket, &WebSocketClient::SignDisconnected, this, &WsTestClient::SignArrived);
}

WsTestClient::~WsTestClient() = default;

bool WsTestClient::WaitUntil(const std::function<bool()>& _done, int _nTimeoutMs)
{
    QDeadlineTimer deadline(qMax(0, _nTimeoutMs));
    while (!_done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &WsTestClient::SignArrived, &loop, &QEventLoop::quit);
        // Re-checks now and then: other objects (a second client, a process) may change _done.
        timer.start(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 20)));
        loop.exec();
    }
    return true;
}

bool WsTestClient::open(int _nTimeoutMs)
{
    if (isConnected())
        return true;
    m_pSocket->Open(m_nPort, m_baOrigin);
    return WaitUntil([this]() { return m_pSocket->GetState() != WebSocketClient::State::Connecting; },
                     _nTimeoutMs) &&
           isConnected();
}

bool WsTestClient::isConnected() const
{
    return m_pSocket->IsOpen();
}

QString WsTestClient::closeReason() const
{
    return m_pSocket->CloseReason();
}

QString WsTestClient::lastError() const
{
    return m_pSocket->ErrorString();
}

qint64 WsTestClient::bytesToWrite() const
{
    return m_pSocket->BytesToWrite();
}

void WsTestClient::close()
{
    m_pSocket->Close();
}

bool WsTestClient::waitForDisconnected(int _nTimeoutMs)
{
    return WaitUntil([this]() { return m_pSocket->GetState() == WebSocketClient::State::Closed; },
                     _nTimeoutMs);
}

quint16 WsTestClient::closeCode() const
{
    return m_pSocket->CloseCode();
}

bool WsTestClient::login(const QStringList& _listAbilities, int _nTimeoutMs)
{
    if (!open(_nTimeoutMs))
        return false;
    const JsonCommand request = makeLogin(m_qstrName, _listAbilities);
    return send(request) &&
           loginAnswered([this](const EnvelopePredicate& p, int ms) { return waitFor(p, ms); }, request.guid,
                         _nTimeoutMs);
}

bool WsTestClient::send(JsonCommand _jsonCommand)
{
    if (_jsonCommand.from.isEmpty())
        _jsonCommand.from = m_qstrName;
    return sendText(QString::fromUtf8(_jsonCommand.ToString()));
}

bool WsTestClient::sendText(const QString& _qstrText)
{
    if (!isConnected())
        return false;
    m_pSocket->SendText(_qstrText.toUtf8());
    return true;
}

std::optional<WsTestClient::Message>
WsTestClient::TakeFirst(const std::function<bool(const Message&)>& _match, int _nTimeoutMs)
{
    size_t checked = 0;
    std::optional<Message> found;
    WaitUntil(
        [&]() {
            for (; checked < m_queue.size(); ++checked)
                if (_match(m_queue[checked])) {
                    found = m_queue[checked];
                    m_queue.erase(m_queue.begin() + static_cast<std::ptrdiff_t>(checked));
                    return true;
                }
            return false;
        },
        _nTimeoutMs);
    return found;
}

std::optional<QString> WsTestClient::receiveText(int _nTimeoutMs)
{
    const auto message = TakeFirst([](const Message&) { return true; }, _nTimeoutMs);
    return message ? std::optional<QString>(message->text) : std::nullopt;
}

bool WsTestClient::waitForText(const QString& _qstrText, int _nTimeoutMs)
{
    return TakeFirst([&](const Message& m) { return m.text == _qstrText; }, _nTimeoutMs).has_value();
}

std::optional<JsonCommand> WsTestClient::receive(int _nTimeoutMs)
{
    const auto message = TakeFirst([](const Message&) { return true; }, _nTimeoutMs);
    return message ? std::optional<JsonCommand>(message->envelope) : std::nullopt;
}

std::optional<JsonCommand> WsTestClient::waitFor(const Predicate& _predicate, int _nTimeoutMs)
{
    const auto message = TakeFirst([&](const Message& m) { return _predicate(m.envelope); }, _nTimeoutMs);
    return message ? std::optional<JsonCommand>(message->envelope) : std::nullopt;
}

QList<JsonCommand> WsTestClient::collectUntil(const QString& _qstrGuid, const Predicate& _isFinal,
                                              int _nTimeoutMs)
{
    return collectWithGuid([this](const EnvelopePredicate& p, int ms) { return waitFor(p, ms); }, _qstrGuid,
                           _isFinal, _nTimeoutMs);
}
