#include "tests/support/WsTestClient.h"

#include "tests/support/TestEnvelope.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

WsTestClient::WsTestClient(const QString& _qstrName, quint16 _nPort, const QString& _qstrOrigin)
    : m_qstrName(_qstrName), m_nPort(_nPort),
      m_pSocket(new QWebSocket(_qstrOrigin, QWebSocketProtocol::VersionLatest, this))
{
    // Large transfers in tests must not trip the client's own default limits.
    m_pSocket->setMaxAllowedIncomingMessageSize(512 * 1024 * 1024);
    connect(m_pSocket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
        Message message{text, JsonCommand()};
        message.envelope.LoadFromString(text.toUtf8());
        m_queue.push_back(std::move(message));
        emit SignArrived();
    });
    connect(m_pSocket, &QWebSocket::connected, this, [this]() {
        m_blEverConnected = true;
        emit SignArrived();
    });
    connect(m_pSocket, &QWebSocket::disconnected, this, &WsTestClient::SignArrived);
    connect(m_pSocket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError _error) {
                m_lastError = _error;
                emit SignArrived();
            });
}

WsTestClient::~WsTestClient()
{
    m_pSocket->abort();
}

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
    m_pSocket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_nPort)));
    return WaitUntil(
               [this]() {
                   return m_pSocket->state() == QAbstractSocket::ConnectedState ||
                          (m_pSocket->state() == QAbstractSocket::UnconnectedState &&
                           m_lastError != QAbstractSocket::UnknownSocketError);
               },
               _nTimeoutMs) &&
           isConnected();
}

bool WsTestClient::isConnected() const
{
    return m_pSocket->state() == QAbstractSocket::ConnectedState;
}

QString WsTestClient::closeReason() const
{
    return m_pSocket->closeReason();
}

qint64 WsTestClient::bytesToWrite() const
{
    return m_pSocket->bytesToWrite();
}

void WsTestClient::close()
{
    m_pSocket->close();
}

bool WsTestClient::waitForDisconnected(int _nTimeoutMs)
{
    return WaitUntil([this]() { return m_pSocket->state() == QAbstractSocket::UnconnectedState; },
                     _nTimeoutMs);
}

QWebSocketProtocol::CloseCode WsTestClient::closeCode() const
{
    return m_pSocket->closeCode();
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
    m_pSocket->sendTextMessage(_qstrText);
    return true;
}

bool WsTestClient::sendBinary(const QByteArray& _baData)
{
    if (!isConnected())
        return false;
    m_pSocket->sendBinaryMessage(_baData);
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
