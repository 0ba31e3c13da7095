#pragma once

#include "core/RefusalLog.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>

class QAbstractEventDispatcher;
class QTcpServer;
class QTcpSocket;
class WebSocketConnection;

// The loopback WebSocket transport: a connection logs in first, then its texts go to the hub.
// Sockets live on the main thread; sends from other threads are queued there. The upgrade is
// decided by WebSocketHandshake and the frames are handled in WebSocketConnection, without
// waiting on any socket.
//
// Any program of any user, and any web page the user opens, can reach a loopback port. Before
// the upgrade a connection is therefore checked: its peer socket must belong to this user, and
// its request must pass WebSocketHandshake (loopback Host, an Origin listed in allowedOrigins).
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
    // Bytes of messages for clients not yet written to their connections, all together (on
    // another thread than the main one: only those still queued for it).
    qint64 UnsentBytes();
    quint16 ServerPort();

    static constexpr const char* kNotLoggedIn = "error:not login yet, login first!";
    // Connections accepted but not (or no longer) logged in, at once.
    static constexpr int kMaxAwaitingLogin = 256;
    // A login is small; a connection that has not logged in cannot make us buffer more.
    static constexpr qint64 kMaxLoginMessageBytes = 1024 * 1024;
    static constexpr int kHandshakeTimeoutMs = 10000;
    // A client that stops reading is closed rather than grown without bound in our memory.
    static constexpr qint64 kMaxUnsentBytes = 256LL * 1024 * 1024;

public slots:
    void SlotNewConnection();
    void SlotReceivedMsg(WebSocketConnection* pWebSocket, const QByteArray& message);
    void SlotDisconnected(WebSocketConnection* pWebSocket);

private:
    // _nUid: the peer's owner, the key of its refusal lines.
    void SlotHandshakeData(QTcpSocket* _pSocket, qint64 _nUid);
    // A connection refused before its upgrade: at most one line per uid (-1: unknown) a minute,
    // with the count, however many connections other users or web pages open.
    void NoteRefusal(qint64 _nUid, const QString& _qstrText);
    void ArmRefusalTimer();
    void SlotSocketError(WebSocketConnection* _pWebSocket, const QString& _qstrError);
    // Write the handshake's answer: the connection goes on in frames, or ends.
    void Upgrade(QTcpSocket* _pSocket, int _nRequestBytes, const QByteArray& _baResponse);
    void Refuse(QTcpSocket* _pSocket, const QByteArray& _baResponse);
    int AwaitingLogin();
    bool IsLoggedIn(WebSocketConnection* _pWebSocket);
    void ArmLoginDeadline(WebSocketConnection* _pWebSocket);
    void EnforceLoginDeadline(WebSocketConnection* _pWebSocket);
    void DrainPendingSends();
    qint64 SendLocked(const QByteArray& _baName, const QByteArray& _baText);
    bool DealLoginMessage(WebSocketConnection* _pWebSocket, const QByteArray& _baMessage);

    std::recursive_mutex m_mutex;
    QTcpServer* m_pTcpServer = nullptr;
    bool m_blRunning = false;
    std::map<QByteArray, WebSocketConnection*> m_mapClients;
    Callback m_callback;
    QStringList m_listAllowedOrigins;
    qint64 m_nMaxMessageBytes = 0;
    // An upgraded connection that has not logged in by then is closed (1008), so idle
    // connections cannot hold the places of those waiting for their login for long.
    int m_nLoginDeadlineMs = 10000;
    // Main thread only: sockets before their upgrade, and upgraded connections.
    std::set<QTcpSocket*> m_setHandshaking;
    std::set<WebSocketConnection*> m_setConnections;
    // Sends made on other threads, waiting for the main thread.
    std::mutex m_mutexPending;
    std::deque<std::pair<QByteArray, QByteArray>> m_queuePending;
    qint64 m_nPendingBytes = 0;
    std::atomic<bool> m_blPending{false};
    std::atomic<QAbstractEventDispatcher*> m_pDispatcher{nullptr};
    quint64 m_nDroppedSends = 0;
    // Main thread only.
    RefusalLog m_refusals{QStringLiteral("refused since the last line: ")};
    QTimer m_timerRefusals;
};
