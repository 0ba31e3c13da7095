#include "core/WebSocket_Server.h"
#include "core/LogCategories.h"

#include "core/Config.h"
#include "core/JsonCommand.h"
#include "core/Logger.h"
#include "core/PeerCredentials.h"
#include "core/WebSocketConnection.h"
#include "core/WebSocketFraming.h"
#include "core/WebSocketHandshake.h"

#include <QAbstractEventDispatcher>
#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <stdexcept>
#include <string>

namespace {

constexpr const char* kHandshakeTimerName = "qorv_handshake_timer";
constexpr const char* kLoginTimerName = "qorv_login_timer";

QString PeerText(const QAbstractSocket* _pSocket)
{
    return _pSocket->peerAddress().toString() + QLatin1Char(':') + QString::number(_pSocket->peerPort());
}

// Every message is traced at debug level; formatting a trace the log level drops costs more than
// the relay itself.
bool DebugLogged()
{
    return Logger::Instance().Level() <= QtDebugMsg;
}

} // namespace

WebSocket_Server::WebSocket_Server(QObject* parent) : QObject(parent)
{
    m_timerRefusals.setSingleShot(true);
    connect(&m_timerRefusals, &QTimer::timeout, this, [this]() {
        m_refusals.LogDue();
        ArmRefusalTimer();
    });
}

void WebSocket_Server::NoteRefusal(qint64 _nUid, const QString& _qstrText)
{
    m_refusals.Note(_nUid, _qstrText);
    ArmRefusalTimer();
}

void WebSocket_Server::ArmRefusalTimer()
{
    const int wait = m_refusals.MsUntilDue();
    if (wait >= 0 && (!m_timerRefusals.isActive() || m_timerRefusals.remainingTime() > wait))
        m_timerRefusals.start(wait);
}

WebSocket_Server::~WebSocket_Server()
{
    StopServer();
}

bool WebSocket_Server::StartServer(const QString& _qstrPort, Callback _callback)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_pTcpServer = new QTcpServer(this);
    m_callback = std::move(_callback);
    m_listAllowedOrigins = Config::Instance().GetAllowedOrigins();
    m_nMaxMessageBytes = Config::Instance().GetMaxMessageBytes();
    m_nLoginDeadlineMs = Config::Instance().GetLoginTimeoutSeconds() * 1000;
    m_blRunning = true;
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, &WebSocket_Server::DrainPendingSends);
        m_pDispatcher = dispatcher;
    }
    connect(m_pTcpServer, &QTcpServer::newConnection, this, &WebSocket_Server::SlotNewConnection);
    int port = 0;
    try {
        port = std::stoi(_qstrPort.toStdString(), nullptr, 10);
    } catch (const std::invalid_argument& e) {
        qCCritical(lcCore).noquote() << QStringLiteral("WebSocket_Server::StartServer:Invalid argument: ") +
                                            e.what();
        return false;
    } catch (const std::out_of_range& e) {
        qCCritical(lcCore).noquote() << QStringLiteral("WebSocket_Server::StartServer:Out of range error: ") +
                                            e.what();
        return false;
    } catch (const std::exception& e) {
        qCCritical(lcCore).noquote() << QStringLiteral("WebSocket_Server::StartServer:An error occurred: ") +
                                            e.what();
        return false;
    }
    if (port < 0 || port > 65535 ||
        !m_pTcpServer->listen(QHostAddress::LocalHost, static_cast<quint16>(port))) {
        qCDebug(lcCore) << "WebSocket_Server listen failed:" << _qstrPort;
        qCCritical(lcCore) << "WebSocket_Server::StartServer:listen failed on port" << _qstrPort
                           << m_pTcpServer->errorString();
        return false;
    }
    qCDebug(lcCore) << "WebSocket_Server listen success:" << _qstrPort;
    return true;
}

void WebSocket_Server::StopServer()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_blRunning = false;
    m_mapClients.clear();
    if (QAbstractEventDispatcher* dispatcher = m_pDispatcher.exchange(nullptr))
        disconnect(dispatcher, nullptr, this, nullptr);
    // Deleted here, not later: a deferred delete would never run once the event loop has ended.
    const std::set<WebSocketConnection*> connections = std::move(m_setConnections);
    m_setConnections.clear();
    for (WebSocketConnection* connection : connections) {
        connection->disconnect(this);
        delete connection;
    }
    const std::set<QTcpSocket*> handshaking = std::move(m_setHandshaking);
    m_setHandshaking.clear();
    for (QTcpSocket* socket : handshaking) {
        socket->disconnect(this);
        socket->abort();
    }
    delete m_pTcpServer; // and the sockets it still parents
    m_pTcpServer = nullptr;
}

quint16 WebSocket_Server::ServerPort()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_pTcpServer ? m_pTcpServer->serverPort() : 0;
}

bool WebSocket_Server::HasClient(const QByteArray& _baName)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_mapClients.count(_baName) > 0;
}

qint64 WebSocket_Server::UnsentBytes()
{
    qint64 bytes = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutexPending);
        bytes = m_nPendingBytes;
    }
    // The connections are the main thread's; elsewhere only the queued sends are seen.
    if (QThread::currentThread() == thread())
        for (WebSocketConnection* connection : m_setConnections)
            bytes += connection->BytesToWrite();
    return bytes;
}

int WebSocket_Server::AwaitingLogin()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::set<WebSocketConnection*> loggedIn;
    for (const auto& entry : m_mapClients)
        loggedIn.insert(entry.second);
    // A connection being closed no longer holds a place.
    int open = 0;
    for (WebSocketConnection* connection : m_setConnections)
        open += connection->IsOpen() && !loggedIn.count(connection) ? 1 : 0;
    return static_cast<int>(m_setHandshaking.size()) + open;
}

bool WebSocket_Server::IsLoggedIn(WebSocketConnection* _pWebSocket)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto it = m_mapClients.find(_pWebSocket->LoginName());
    return it != m_mapClients.end() && it->second == _pWebSocket;
}

void WebSocket_Server::ArmLoginDeadline(WebSocketConnection* _pWebSocket)
{
    auto* timer = _pWebSocket->findChild<QTimer*>(QLatin1String(kLoginTimerName), Qt::FindDirectChildrenOnly);
    if (!timer) {
        timer = new QTimer(_pWebSocket);
        timer->setObjectName(QLatin1String(kLoginTimerName));
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, _pWebSocket]() { EnforceLoginDeadline(_pWebSocket); });
    }
    timer->start(m_nLoginDeadlineMs);
}

void WebSocket_Server::EnforceLoginDeadline(WebSocketConnection* _pWebSocket)
{
    if (!_pWebSocket->IsOpen() || IsLoggedIn(_pWebSocket))
        return;
    qCWarning(lcCore) << "WebSocket_Server::EnforceLoginDeadline:no login in time, connection closed:"
                      << static_cast<void*>(_pWebSocket) << _pWebSocket->PeerText();
    _pWebSocket->Close(WebSocketFraming::kClosePolicyViolation, QByteArrayLiteral("login timeout"));
}

void WebSocket_Server::SlotNewConnection()
{
    while (m_pTcpServer && m_pTcpServer->hasPendingConnections()) {
        QTcpSocket* socket = m_pTcpServer->nextPendingConnection();
        // The owner first: every refusal line is counted under the peer's uid.
        uint uid = 0;
        const PeerCredentials::Owner owner = PeerCredentials::LoopbackPeerOwner(
            socket->peerAddress(), socket->peerPort(), socket->localAddress(), socket->localPort(), &uid);
        if (owner != PeerCredentials::Owner::SameUser) {
            if (owner == PeerCredentials::Owner::OtherUser)
                NoteRefusal(uid, QStringLiteral("WebSocket_Server::SlotNewConnection:peer belongs to another "
                                                "user, closed: %1 uid %2")
                                     .arg(PeerText(socket))
                                     .arg(uid));
            else
                NoteRefusal(
                    -1, QStringLiteral("WebSocket_Server::SlotNewConnection:peer's user unknown, closed: ") +
                            PeerText(socket));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        if (AwaitingLogin() >= kMaxAwaitingLogin) {
            NoteRefusal(uid,
                        QStringLiteral("WebSocket_Server::SlotNewConnection:too many connections waiting "
                                       "for login, refused: ") +
                            PeerText(socket));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Answers and relays are small writes in quick succession; Nagle's algorithm would hold
        // each behind the client's delayed acknowledgement.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_setHandshaking.insert(socket);
        connect(socket, &QObject::destroyed, this, [this, socket]() { m_setHandshaking.erase(socket); });
        connect(socket, &QTcpSocket::readyRead, this,
                [this, socket, uid]() { SlotHandshakeData(socket, uid); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto* timer = new QTimer(socket);
        timer->setObjectName(QLatin1String(kHandshakeTimerName));
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, [this, socket, uid]() {
            NoteRefusal(uid, QStringLiteral("WebSocket_Server::SlotHandshakeData:handshake timed out: ") +
                                 PeerText(socket));
            socket->abort();
            socket->deleteLater();
        });
        timer->start(kHandshakeTimeoutMs);
        if (socket->bytesAvailable() > 0)
            SlotHandshakeData(socket, uid);
    }
}

void WebSocket_Server::Refuse(QTcpSocket* _pSocket, const QByteArray& _baResponse)
{
    _pSocket->disconnect(this);
    m_setHandshaking.erase(_pSocket);
    _pSocket->write(_baResponse);
    _pSocket->disconnectFromHost();
    // A peer that never reads must not keep the socket alive.
    QTimer::singleShot(1000, _pSocket, [_pSocket]() { _pSocket->abort(); });
}

void WebSocket_Server::SlotHandshakeData(QTcpSocket* _pSocket, qint64 _nUid)
{
    const WebSocketHandshake::Verdict verdict =
        WebSocketHandshake::Check(_pSocket->peek(WebSocketHandshake::kMaxRequestBytes + 4),
                                  m_pTcpServer->serverPort(), m_listAllowedOrigins);
    switch (verdict.kind) {
    case WebSocketHandshake::Verdict::Kind::Incomplete:
        return;
    case WebSocketHandshake::Verdict::Kind::TooLarge:
        NoteRefusal(_nUid,
                    QStringLiteral("WebSocket_Server::SlotHandshakeData:handshake too large, refused: ") +
                        PeerText(_pSocket));
        Refuse(_pSocket, verdict.response);
        return;
    case WebSocketHandshake::Verdict::Kind::Refused:
        NoteRefusal(_nUid, QStringLiteral("WebSocket_Server::SlotHandshakeData:handshake refused: %1 peer %2")
                               .arg(verdict.reason, PeerText(_pSocket)));
        Refuse(_pSocket, verdict.response);
        return;
    case WebSocketHandshake::Verdict::Kind::Upgrade:
        Upgrade(_pSocket, verdict.requestBytes, verdict.response);
        return;
    }
}

void WebSocket_Server::Upgrade(QTcpSocket* _pSocket, int _nRequestBytes, const QByteArray& _baResponse)
{
    _pSocket->disconnect(this);
    disconnect(_pSocket, &QTcpSocket::disconnected, _pSocket, &QObject::deleteLater);
    delete _pSocket->findChild<QTimer*>(QLatin1String(kHandshakeTimerName), Qt::FindDirectChildrenOnly);
    m_setHandshaking.erase(_pSocket);
    _pSocket->read(_nRequestBytes);
    _pSocket->write(_baResponse);
    // Until its login a connection may send only small messages.
    auto* connection =
        new WebSocketConnection(_pSocket, qMin(m_nMaxMessageBytes, kMaxLoginMessageBytes), this);
    m_setConnections.insert(connection);
    ArmLoginDeadline(connection);
    connect(connection, &WebSocketConnection::SignDisconnected, this,
            [this, connection]() { SlotDisconnected(connection); });
    connect(connection, &WebSocketConnection::SignTextMessage, this,
            [this, connection](const QByteArray& _baText) { SlotReceivedMsg(connection, _baText); });
    connect(connection, &WebSocketConnection::SignSocketError, this,
            [this, connection](const QString& _qstrError) { SlotSocketError(connection, _qstrError); });
    qCDebug(lcCore) << "WebSocket_Server::SlotNewConnection";
}

void WebSocket_Server::SlotSocketError(WebSocketConnection* _pWebSocket, const QString& _qstrError)
{
    // The connection drops itself; only this one is affected.
    qCWarning(lcCore) << "WebSocket_Server::SlotSocketError:" << static_cast<void*>(_pWebSocket)
                      << _pWebSocket->PeerText() << _qstrError << "closing it";
}

qint64 WebSocket_Server::SendMsg(const QByteArray& _baName, const QByteArray& _baText)
{
    if (QThread::currentThread() == thread())
        return SendLocked(_baName, _baText);
    if (!HasClient(_baName))
        return 0;
    // Handed over through a queue of our own rather than a queued call: deep copies under a
    // standard mutex, so nothing the sending thread still holds is shared with the main thread,
    // no Qt object crosses threads, and the hand-over is one a thread checker can follow. The
    // main thread drains the queue whenever its event loop wakes.
    {
        std::lock_guard<std::mutex> lock(m_mutexPending);
        if (m_nPendingBytes + _baText.size() > kMaxUnsentBytes) {
            if (m_nDroppedSends++ % 10000 == 0)
                qCCritical(lcCore)
                    << "WebSocket_Server::SendMsg:main thread too far behind, send dropped for:" << _baName
                    << "dropped so far:" << m_nDroppedSends;
            return 0;
        }
        m_queuePending.emplace_back(QByteArray(_baName.constData(), _baName.size()),
                                    QByteArray(_baText.constData(), _baText.size()));
        m_nPendingBytes += _baText.size();
    }
    if (!m_blPending.exchange(true))
        if (QAbstractEventDispatcher* dispatcher = m_pDispatcher.load())
            dispatcher->wakeUp();
    return _baText.size();
}

void WebSocket_Server::DrainPendingSends()
{
    if (!m_blPending.exchange(false))
        return;
    std::deque<std::pair<QByteArray, QByteArray>> pending;
    {
        std::lock_guard<std::mutex> lock(m_mutexPending);
        pending.swap(m_queuePending);
        m_nPendingBytes = 0;
    }
    for (const auto& [name, text] : pending)
        SendLocked(name, text);
}

qint64 WebSocket_Server::SendLocked(const QByteArray& _baName, const QByteArray& _baText)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_blRunning)
        return 0;
    const auto it = m_mapClients.find(_baName);
    if (it == m_mapClients.end()) {
        qCDebug(lcCore) << "WebSocket_Server::SendMsg:client not exist:" << _baName
                        << "sendout:" << Logger::ClipForLog(_baText);
        return 0;
    }
    if (DebugLogged())
        qCDebug(lcCore) << "WebSocket_Server::SendMsg:client:" << _baName
                        << "sendout:" << Logger::ClipForLog(_baText);
    WebSocketConnection* connection = it->second;
    const qint64 sent = connection->SendText(_baText);
    if (connection->BytesToWrite() > kMaxUnsentBytes) {
        qCWarning(lcCore) << "WebSocket_Server::SendMsg:client does not read, closing it:" << _baName
                          << connection->BytesToWrite() << "bytes unsent";
        QTimer::singleShot(0, connection, &WebSocketConnection::Abort);
    }
    return sent;
}

void WebSocket_Server::SlotReceivedMsg(WebSocketConnection* pWebSocket, const QByteArray& message)
{
    if (!pWebSocket) {
        qCCritical(lcCore) << "WebSocket_Server::SlotReceivedMsg:recv mssage from null client?!:"
                           << Logger::ClipForLog(message);
        return;
    }
    if (DebugLogged())
        qCDebug(lcCore) << "WebSocket_Server::SlotReceivedMsg:recv mssage from:"
                        << static_cast<void*>(pWebSocket) << " : " << Logger::ClipForLog(message);
    if (IsLoggedIn(pWebSocket)) {
        const QByteArray name = pWebSocket->LoginName();
        if (m_callback)
            m_callback(name, message);
        return;
    }
    if (DealLoginMessage(pWebSocket, message))
        return;
    pWebSocket->SendText(QByteArray(kNotLoggedIn));
}

bool WebSocket_Server::DealLoginMessage(WebSocketConnection* _pWebSocket, const QByteArray& _baMessage)
{
    JsonCommand login;
    login.LoadFromString(_baMessage);
    if (login.type != Envelope::kNotify || login.command != Envelope::kLogin)
        return false;
    // The service's own name cannot be taken over by a client.
    if (login.from == Envelope::kServiceName) {
        qCCritical(lcCore) << "WebSocket_Server::DealLoginMessage:reserved name refused:" << login.from;
        return false;
    }
    const QByteArray name = login.from.toUtf8();
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        const auto held = m_mapClients.find(name);
        if (held != m_mapClients.end()) {
            qCCritical(lcCore) << "WebSocket_Server::DealLoginMessage login duplicate!:"
                               << static_cast<void*>(_pWebSocket) << " : " << Logger::ClipForLog(_baMessage);
            // The connection that lost its name must log in again, within the same deadline.
            if (held->second != _pWebSocket)
                ArmLoginDeadline(held->second);
        }
        m_mapClients[name] = _pWebSocket;
        _pWebSocket->SetLoginName(name);
    }
    // Logged in: the configured limit applies from now on.
    _pWebSocket->SetMaxMessageBytes(m_nMaxMessageBytes);
    if (m_callback)
        m_callback(name, _baMessage);
    return true;
}

void WebSocket_Server::SlotDisconnected(WebSocketConnection* pWebSocket)
{
    qCDebug(lcCore) << "WebSocket_Server::SlotDisconnected:" << static_cast<void*>(pWebSocket);
    if (!pWebSocket->ClosedByUs()) {
        // The client closed; nothing to report.
    } else if (pWebSocket->CloseCode() == WebSocketFraming::kCloseTooBig)
        qCWarning(lcCore)
            << "WebSocket_Server::SlotDisconnected:message over the size limit refused, connection closed:"
            << static_cast<void*>(pWebSocket) << pWebSocket->PeerText();
    else if (pWebSocket->CloseCode() == WebSocketFraming::kCloseProtocolError ||
             pWebSocket->CloseCode() == WebSocketFraming::kCloseInvalidData)
        qCWarning(lcCore) << "WebSocket_Server::SlotDisconnected:protocol error, connection closed:"
                          << static_cast<void*>(pWebSocket) << pWebSocket->PeerText()
                          << pWebSocket->CloseReason();
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (IsLoggedIn(pWebSocket))
            m_mapClients.erase(pWebSocket->LoginName());
    }
    if (m_setConnections.erase(pWebSocket))
        pWebSocket->deleteLater();
}
