#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <mutex>

class QWebSocket;
class QWebSocketServer;

// The loopback WebSocket transport: a connection logs in first, then its texts go to the hub.
// Qt's socket objects live on the main thread; sends from other threads are queued there.
class WebSocket_Server : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(const QByteArray& _baClient, const QByteArray& _baText)>;

    explicit WebSocket_Server(QObject* parent = nullptr);
    ~WebSocket_Server() override;

    bool StartServer(const QString& _qstrPort, Callback _callback);
    void StopServer();
    // Sends one text message to a logged-in client; safe from any thread. Returns the bytes
    // handed to the socket (the text's size when queued from another thread), 0 for no client.
    qint64 SendMsg(const QByteArray& _baName, const QByteArray& _baText);
    bool HasClient(const QByteArray& _baName);
    quint16 ServerPort();

    static constexpr const char* kNotLoggedIn = "error:not login yet, login first!";

public slots:
    void SlotNewConnection();
    void SlotReceivedMsg(QWebSocket* pWebSocket, const QString& message);
    void SlotDisconnected(QWebSocket* pWebSocket);

private:
    Q_INVOKABLE void SendOnOwnThread(const QByteArray& _baName, const QByteArray& _baText);
    qint64 SendLocked(const QByteArray& _baName, const QByteArray& _baText);
    bool DealLoginMessage(QWebSocket* _pWebSocket, const QString& _qstrMessage);

    std::recursive_mutex m_mutex;
    QWebSocketServer* m_pServer = nullptr;
    bool m_blRunning = false;
    std::map<QByteArray, QWebSocket*> m_mapClients;
    Callback m_callback;
};
