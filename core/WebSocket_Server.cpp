#include "core/WebSocket_Server.h"

#include "core/JsonCommand.h"
#include "core/Logger.h"

#include <QDebug>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>

#include <stdexcept>
#include <string>

WebSocket_Server::WebSocket_Server(QObject* parent) : QObject(parent) {}

WebSocket_Server::~WebSocket_Server()
{
    StopServer();
}

bool WebSocket_Server::StartServer(const QString& _qstrPort, Callback _callback)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_pServer = new QWebSocketServer(QString(), QWebSocketServer::NonSecureMode, this);
    m_callback = std::move(_callback);
    m_blRunning = true;
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
    if (port < 0 || port > 65535 || !m_pServer->listen(QHostAddress::LocalHost, static_cast<quint16>(port))) {
        qDebug() << "WebSocket_Server listen failed:" << _qstrPort;
        qCritical() << "WebSocket_Server::StartServer:listen failed on port" << _qstrPort;
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
    if (m_pServer) {
        m_pServer->close();
        delete m_pServer;
        m_pServer = nullptr;
    }
}

quint16 WebSocket_Server::ServerPort()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_pServer ? m_pServer->serverPort() : 0;
}

bool WebSocket_Server::HasClient(const QByteArray& _baName)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_mapClients.count(_baName) > 0;
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
    return it->second->sendTextMessage(QString::fromUtf8(_baText));
}

void WebSocket_Server::SlotNewConnection()
{
    if (!m_pServer || !m_pServer->hasPendingConnections())
        return;
    QWebSocket* socket = m_pServer->nextPendingConnection();
    connect(socket, &QWebSocket::disconnected, this, [this, socket]() { SlotDisconnected(socket); });
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this, socket](const QString& message) { SlotReceivedMsg(socket, message); });
    qDebug() << "WebSocket_Server::SlotNewConnection";
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
    if (m_callback)
        m_callback(name, _qstrMessage.toUtf8());
    return true;
}

void WebSocket_Server::SlotDisconnected(QWebSocket* pWebSocket)
{
    qDebug() << "WebSocket_Server::SlotDisconnected:" << static_cast<void*>(pWebSocket);
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        for (auto it = m_mapClients.begin(); it != m_mapClients.end(); ++it)
            if (it->second == pWebSocket) {
                m_mapClients.erase(it);
                break;
            }
    }
    pWebSocket->deleteLater();
}
