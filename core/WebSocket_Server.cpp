#include "core/WebSocket_Server.h"

#include "core/Config.h"
#include "core/JsonCommand.h"
#include "core/Logger.h"
#include "core/PeerCredentials.h"

#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <stdexcept>
#include <string>

namespace {

constexpr const char* kHandshakeTimerName = "qorv_handshake_timer";

QString PeerText(const QAbstractSocket* _pSocket)
{
    return _pSocket->peerAddress().toString() + QLatin1Char(':') + QString::number(_pSocket->peerPort());
}

bool IsLoopbackHost(const QByteArray& _baHost, quint16 _nPort)
{
    const QByteArray host = _baHost.toLower();
    const QByteArray port = QByteArray::number(_nPort);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
        if (host == name || host == QByteArray(name) + ':' + port)
            return true;
    return false;
}

} // namespace

WebSocket_Server::WebSocket_Server(QObject* parent) : QObject(parent) {}

WebSocket_Server::~WebSocket_Server()
{
    StopServer();
}

bool WebSocket_Server::StartServer(const QString& _qstrPort, Callback _callback)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // The TCP side is ours so that a connection is checked before Qt reads its handshake; the
    // WebSocket server only upgrades the sockets we hand it.
    m_pTcpServer = new QTcpServer(this);
    m_pServer = new QWebSocketServer(QString(), QWebSocketServer::NonSecureMode, this);
    m_pServer->setHandshakeTimeout(kHandshakeTimeoutMs);
    m_callback = std::move(_callback);
    m_listAllowedOrigins = Config::Instance().GetAllowedOrigins();
    m_nMaxMessageBytes = Config::Instance().GetMaxMessageBytes();
    m_blRunning = true;
    connect(m_pTcpServer, &QTcpServer::newConnection, this, &WebSocket_Server::SlotTcpConnection);
    connect(m_pServer, &QWebSocketServer::newConnection, this, &WebSocket_Server::SlotNewConnection);
    int port = 0;
    try {
        port = std::stoi(_qstrPort.toStdString(), nullptr, 10);
    } catch (const std::invalid_argument& e) {
        qCritical().noquote() << QStringLiteral("WebSocket_Server::StartServer:Invalid argument: ") +
                                     e.what();
        return false;
    } catch (const std::out_of_range& e) {
        qCritical().noquote() << QStringLiteral("WebSocket_Server::StartServer:Out of range error: ") +
                                     e.what();
        return false;
    } catch (const std::exception& e) {
        qCritical().noquote() << QStringLiteral("WebSocket_Server::StartServer:An error occurred: ") +
                                     e.what();
        return false;
    }
    if (port < 0 || port > 65535 ||
        !m_pTcpServer->listen(QHostAddress::LocalHost, static_cast<quint16>(port))) {
        qDebug() << "WebSocket_Server listen failed:" << _qstrPort;
        qCritical() << "WebSocket_Server::StartServer:listen failed on port" << _qstrPort
                    << m_pTcpServer->errorString();
        return false;
    }
    qDebug() << "WebSocket_Server listen success:" << _qstrPort;
    return true;
}

void WebSocket_Server::StopServer()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_blRunning = false;
    m_mapClients.clear();
    // Deleted here, before the servers: not inside any of their signals, and a deferred
    // delete would never run once the event loop has ended.
    for (QWebSocket* socket : m_setConnections) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
    m_setConnections.clear();
    for (QTcpSocket* socket : m_setHandshaking) {
        socket->disconnect(this);
        socket->abort();
    }
    m_setHandshaking.clear();
    delete m_pTcpServer;
    m_pTcpServer = nullptr;
    // Sockets still in Qt's handshake are its children and go with it.
    delete m_pServer;
    m_pServer = nullptr;
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

int WebSocket_Server::AwaitingLogin()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::set<QWebSocket*> loggedIn;
    for (const auto& entry : m_mapClients)
        loggedIn.insert(entry.second);
    return static_cast<int>(m_setHandshaking.size() + m_setConnections.size() - loggedIn.size());
}

QString WebSocket_Server::CheckHandshake(const QByteArray& _baHead, quint16 _nPort,
                                         const QStringList& _listAllowedOrigins)
{
    const QList<QByteArray> lines = _baHead.split('\n');
    QList<QByteArray> hosts;
    QList<QByteArray> origins;
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "host")
            hosts.append(value);
        // Older protocol versions name the browser's origin differently.
        else if (name == "origin" || name == "sec-websocket-origin")
            origins.append(value);
    }
    if (hosts.size() != 1)
        return QStringLiteral("expected one Host header, got %1").arg(hosts.size());
    if (!IsLoopbackHost(hosts.first(), _nPort))
        return QStringLiteral("host not allowed: ") + QString::fromLatin1(hosts.first());
    for (const QByteArray& origin : origins) {
        bool allowed = false;
        for (const QString& entry : _listAllowedOrigins)
            allowed = allowed || entry.compare(QString::fromLatin1(origin), Qt::CaseInsensitive) == 0;
        if (!allowed)
            return QStringLiteral("origin not allowed: ") + QString::fromLatin1(origin);
    }
    return QString();
}

void WebSocket_Server::SlotTcpConnection()
{
    while (m_pTcpServer && m_pTcpServer->hasPendingConnections()) {
        QTcpSocket* socket = m_pTcpServer->nextPendingConnection();
        if (AwaitingLogin() >= kMaxAwaitingLogin) {
            qWarning()
                << "WebSocket_Server::SlotNewConnection:too many connections waiting for login, refused:"
                << PeerText(socket);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        uint uid = 0;
        const PeerCredentials::Owner owner = PeerCredentials::LoopbackPeerOwner(
            socket->peerAddress(), socket->peerPort(), socket->localAddress(), socket->localPort(), &uid);
        if (owner != PeerCredentials::Owner::SameUser) {
            if (owner == PeerCredentials::Owner::OtherUser)
                qWarning() << "WebSocket_Server::SlotNewConnection:peer belongs to another user, closed:"
                           << PeerText(socket) << "uid" << uid;
            else
                qWarning() << "WebSocket_Server::SlotNewConnection:peer's user unknown, closed:"
                           << PeerText(socket);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Answers and relays are small writes in quick succession; Nagle's algorithm would hold
        // each behind the client's delayed acknowledgement.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_setHandshaking.insert(socket);
        connect(socket, &QObject::destroyed, this, [this, socket]() { m_setHandshaking.erase(socket); });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { SlotHandshakeData(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto* timer = new QTimer(socket);
        timer->setObjectName(QLatin1String(kHandshakeTimerName));
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, socket, [socket]() {
            qWarning() << "WebSocket_Server::SlotHandshakeData:handshake timed out:" << PeerText(socket);
            socket->abort();
            socket->deleteLater();
        });
        timer->start(kHandshakeTimeoutMs);
        if (socket->bytesAvailable() > 0)
            SlotHandshakeData(socket);
    }
}

void WebSocket_Server::Refuse(QTcpSocket* _pSocket, const QByteArray& _baStatus)
{
    _pSocket->disconnect(this);
    m_setHandshaking.erase(_pSocket);
    _pSocket->write("HTTP/1.1 " + _baStatus + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    _pSocket->disconnectFromHost();
    // A peer that never reads must not keep the socket alive.
    QTimer::singleShot(1000, _pSocket, [_pSocket]() { _pSocket->abort(); });
}

void WebSocket_Server::SlotHandshakeData(QTcpSocket* _pSocket)
{
    // Peeked, not read: Qt's upgrade reads the same bytes after us.
    const QByteArray data = _pSocket->peek(kMaxHandshakeBytes + 4);
    const int end = data.indexOf("\r\n\r\n");
    if (end < 0) {
        if (data.size() > kMaxHandshakeBytes) {
            qWarning() << "WebSocket_Server::SlotHandshakeData:handshake too large, refused:"
                       << PeerText(_pSocket);
            Refuse(_pSocket, "431 Request Header Fields Too Large");
        }
        return;
    }
    const QString reason = CheckHandshake(data.left(end), m_pTcpServer->serverPort(), m_listAllowedOrigins);
    if (!reason.isEmpty()) {
        qWarning().noquote() << "WebSocket_Server::SlotHandshakeData:handshake refused:" << reason << "peer"
                             << PeerText(_pSocket);
        Refuse(_pSocket, "403 Forbidden");
        return;
    }
    // From here Qt owns the handshake and its time-out.
    _pSocket->disconnect(this);
    disconnect(_pSocket, &QTcpSocket::disconnected, _pSocket, &QObject::deleteLater);
    delete _pSocket->findChild<QTimer*>(QLatin1String(kHandshakeTimerName), Qt::FindDirectChildrenOnly);
    connect(_pSocket, &QObject::destroyed, this, [this, _pSocket]() { m_setHandshaking.erase(_pSocket); });
    _pSocket->setParent(m_pServer);
    m_pServer->handleConnection(_pSocket);
}

void WebSocket_Server::SlotNewConnection()
{
    if (!m_pServer || !m_pServer->hasPendingConnections())
        return;
    QWebSocket* socket = m_pServer->nextPendingConnection();
    // The TCP socket it came from now lives inside it.
    for (auto it = m_setHandshaking.begin(); it != m_setHandshaking.end(); ++it)
        if ((*it)->peerPort() == socket->peerPort() && (*it)->peerAddress() == socket->peerAddress()) {
            m_setHandshaking.erase(it);
            break;
        }
    const quint64 loginLimit = static_cast<quint64>(qMin(m_nMaxMessageBytes, kMaxLoginMessageBytes));
    socket->setMaxAllowedIncomingFrameSize(loginLimit);
    socket->setMaxAllowedIncomingMessageSize(loginLimit);
    m_setConnections.insert(socket);
    connect(socket, &QWebSocket::disconnected, this, [this, socket]() { SlotDisconnected(socket); });
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this, socket](const QString& message) { SlotReceivedMsg(socket, message); });
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this, socket](QAbstractSocket::SocketError) { SlotSocketError(socket); });
    qDebug() << "WebSocket_Server::SlotNewConnection";
}

void WebSocket_Server::SlotSocketError(QWebSocket* _pWebSocket)
{
    if (!m_setConnections.count(_pWebSocket))
        return;
    // A peer that simply goes away is not worth a warning.
    if (_pWebSocket->error() == QAbstractSocket::RemoteHostClosedError)
        qDebug() << "WebSocket_Server::SlotSocketError:" << static_cast<void*>(_pWebSocket)
                 << _pWebSocket->errorString();
    else
        qWarning() << "WebSocket_Server::SlotSocketError:" << static_cast<void*>(_pWebSocket)
                   << _pWebSocket->errorString() << "closing it";
    // Not from inside the socket's own signal.
    QTimer::singleShot(0, _pWebSocket, [_pWebSocket]() { _pWebSocket->abort(); });
}

qint64 WebSocket_Server::SendMsg(const QByteArray& _baName, const QByteArray& _baText)
{
    if (QThread::currentThread() != thread()) {
        if (!HasClient(_baName))
            return 0;
        QMetaObject::invokeMethod(this, "SendOnOwnThread", Qt::QueuedConnection, Q_ARG(QByteArray, _baName),
                                  Q_ARG(QByteArray, _baText));
        return _baText.size();
    }
    return SendLocked(_baName, _baText);
}

void WebSocket_Server::SendOnOwnThread(const QByteArray& _baName, const QByteArray& _baText)
{
    SendLocked(_baName, _baText);
}

qint64 WebSocket_Server::SendLocked(const QByteArray& _baName, const QByteArray& _baText)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_blRunning)
        return 0;
    const auto it = m_mapClients.find(_baName);
    if (it == m_mapClients.end()) {
        qDebug() << "WebSocket_Server::SendMsg:client not exist:" << _baName
                 << "sendout:" << Logger::ClipForLog(_baText);
        return 0;
    }
    qDebug() << "WebSocket_Server::SendMsg:client:" << _baName << "sendout:" << Logger::ClipForLog(_baText);
    QWebSocket* socket = it->second;
    const qint64 sent = socket->sendTextMessage(QString::fromUtf8(_baText));
    if (socket->bytesToWrite() > kMaxUnsentBytes) {
        qWarning() << "WebSocket_Server::SendMsg:client does not read, closing it:" << _baName
                   << socket->bytesToWrite() << "bytes unsent";
        QTimer::singleShot(0, socket, [socket]() { socket->abort(); });
    }
    return sent;
}

void WebSocket_Server::SlotReceivedMsg(QWebSocket* pWebSocket, const QString& message)
{
    if (!pWebSocket) {
        qCritical() << "WebSocket_Server::SlotReceivedMsg:recv mssage from null client?!:" << message;
        return;
    }
    const QByteArray text = message.toUtf8();
    qDebug() << "WebSocket_Server::SlotReceivedMsg:recv mssage from:" << static_cast<void*>(pWebSocket)
             << " : " << Logger::ClipForLog(text);
    QByteArray name;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        for (const auto& [clientName, socket] : m_mapClients)
            if (socket == pWebSocket) {
                name = clientName;
                break;
            }
    }
    if (!name.isNull()) {
        if (m_callback)
            m_callback(name, text);
        return;
    }
    if (DealLoginMessage(pWebSocket, message))
        return;
    pWebSocket->sendTextMessage(QLatin1String(kNotLoggedIn));
}

bool WebSocket_Server::DealLoginMessage(QWebSocket* _pWebSocket, const QString& _qstrMessage)
{
    JsonCommand login;
    login.LoadFromString(_qstrMessage.toUtf8());
    if (login.type != Envelope::kNotify || login.command != Envelope::kLogin)
        return false;
    // The service's own name cannot be taken over by a client.
    if (login.from == Envelope::kServiceName) {
        qCritical() << "WebSocket_Server::DealLoginMessage:reserved name refused:" << login.from;
        return false;
    }
    const QByteArray name = login.from.toUtf8();
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        if (m_mapClients.count(name))
            qCritical() << "WebSocket_Server::DealLoginMessage login duplicate!:"
                        << static_cast<void*>(_pWebSocket) << " : "
                        << Logger::ClipForLog(_qstrMessage.toUtf8());
        m_mapClients[name] = _pWebSocket;
    }
    // Logged in: the configured limit applies from now on.
    _pWebSocket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(m_nMaxMessageBytes));
    _pWebSocket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(m_nMaxMessageBytes));
    if (m_callback)
        m_callback(name, _qstrMessage.toUtf8());
    return true;
}

void WebSocket_Server::SlotDisconnected(QWebSocket* pWebSocket)
{
    qDebug() << "WebSocket_Server::SlotDisconnected:" << static_cast<void*>(pWebSocket);
    if (pWebSocket->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData)
        qWarning()
            << "WebSocket_Server::SlotDisconnected:message over the size limit refused, connection closed:"
            << static_cast<void*>(pWebSocket) << pWebSocket->closeReason();
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        for (auto it = m_mapClients.begin(); it != m_mapClients.end(); ++it)
            if (it->second == pWebSocket) {
                m_mapClients.erase(it);
                break;
            }
    }
    if (m_setConnections.erase(pWebSocket))
        pWebSocket->deleteLater();
}
