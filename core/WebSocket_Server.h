#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <mutex>
#include <set>

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

// The loopback WebSocket transport: a connection logs in first, then its texts go to the hub.
// Qt's socket objects live on the main thread; sends from other threads are queued there.
//
// Any program of any user, and any web page the user opens, can reach a loopback port. Before
// the upgrade a connection is therefore checked: its peer socket must belong to this user, its
// Host header must name the loopback interface (DNS rebinding), and an Origin header, which only
// browsers send, must be listed in allowedOrigins.
class WebSocket_Server : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(const QByteArray& _baClient, const QByteArray& _baText)>;

    explicit WebSocket_Server(QObject* parent = nullptr);
    ~WebSocket_Server() override;

    // Origins and the message limit come from Config at start.
    bool StartServer(const QString& _qstrPort, Callback _callback);
    void StopServer();
    // Sends one text message to a logged-in client; safe from any thread. Returns the bytes
    // handed to the socket (the text's size when queued from another thread), 0 for no client.
    qint64 SendMsg(const QByteArray& _baName, const QByteArray& _baText);
    bool HasClient(const QByteArray& _baName);
    quint16 ServerPort();

    // Empty when the handshake head may be upgraded, else why it is refused. _nPort is the port
    // the server listens on; the Host header must name it.
    static QString CheckHandshake(const QByteArray& _baHead, quint16 _nPort,
                                  const QStringList& _listAllowedOrigins);

    static constexpr const char* kNotLoggedIn = "error:not login yet, login first!";
    // Connections accepted but not (or no longer) logged in, at once.
    static constexpr int kMaxAwaitingLogin = 256;
    // A login is small; a connection that has not logged in cannot make us buffer more.
    static constexpr qint64 kMaxLoginMessageBytes = 1024 * 1024;
    static constexpr int kMaxHandshakeBytes = 16 * 1024;
    static constexpr int kHandshakeTimeoutMs = 10000;
    // A client that stops reading is closed rather than grown without bound in our memory.
    static constexpr qint64 kMaxUnsentBytes = 256LL * 1024 * 1024;

public slots:
    void SlotNewConnection();
    void SlotReceivedMsg(QWebSocket* pWebSocket, const QString& message);
    void SlotDisconnected(QWebSocket* pWebSocket);

private:
    void SlotTcpConnection();
    void SlotHandshakeData(QTcpSocket* _pSocket);
    void SlotSocketError(QWebSocket* _pWebSocket);
    void Refuse(QTcpSocket* _pSocket, const QByteArray& _baStatus);
    int AwaitingLogin();
    Q_INVOKABLE void SendOnOwnThread(const QByteArray& _baName, const QByteArray& _baText);
    qint64 SendLocked(const QByteArray& _baName, const QByteArray& _baText);
    bool DealLoginMessage(QWebSocket* _pWebSocket, const QString& _qstrMessage);

    std::recursive_mutex m_mutex;
    QTcpServer* m_pTcpServer = nullptr;
    QWebSocketServer* m_pServer = nullptr;
    bool m_blRunning = false;
    std::map<QByteArray, QWebSocket*> m_mapClients;
    Callback m_callback;
    QStringList m_listAllowedOrigins;
    qint64 m_nMaxMessageBytes = 0;
    // Main thread only: sockets before their upgrade, and upgraded connections.
    std::set<QTcpSocket*> m_setHandshaking;
    std::set<QWebSocket*> m_setConnections;
};
