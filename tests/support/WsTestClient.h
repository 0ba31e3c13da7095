#pragma once

#include "core/JsonCommand.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

class WebSocketClient;

// A WebSocket client of the service. Waits run bounded nested event loops on the calling
// (main) thread. _qstrOrigin, when not empty, is sent as the handshake's Origin header, as a
// browser would.
class WsTestClient : public QObject
{
    Q_OBJECT
public:
    using Predicate = std::function<bool(const JsonCommand&)>;

    WsTestClient(const QString& _qstrName, quint16 _nPort, const QString& _qstrOrigin = QString());
    ~WsTestClient() override;

    QString name() const { return m_qstrName; }

    // Opens the connection; true once connected within the bound.
    bool open(int _nTimeoutMs = 10000);
    bool isConnected() const;
    void close();
    // True once the service has closed the connection (or it never opened) within the bound.
    bool waitForDisconnected(int _nTimeoutMs = 5000);
    // The close code exchanged, 0 when none was.
    quint16 closeCode() const;
    QString closeReason() const;
    // Why the connection failed, empty when it did not.
    QString lastError() const;
    // Bytes sent by this client that have not reached the kernel yet.
    qint64 bytesToWrite() const;

    // Opens when needed, sends the login and waits for its "notify_ret" with error 0.
    bool login(const QStringList& _listAbilities = {}, int _nTimeoutMs = 10000);
    // Sends the envelope (its "from" is set to this client's name when empty).
    bool send(JsonCommand _jsonCommand);
    bool sendText(const QString& _qstrText);

    // The next text message as received (queued ones first).
    std::optional<QString> receiveText(int _nTimeoutMs = 5000);
    // The first text message equal to _qstrText; others stay queued.
    bool waitForText(const QString& _qstrText, int _nTimeoutMs = 5000);
    // The next message parsed as an envelope (a text that is not one gives an empty type).
    std::optional<JsonCommand> receive(int _nTimeoutMs = 5000);
    // The first envelope that matches; the others stay queued for later waits.
    std::optional<JsonCommand> waitFor(const Predicate& _predicate, int _nTimeoutMs = 5000);
    // Every envelope with this guid up to and including the first one _isFinal accepts. The list
    // ends early (without a final envelope) when the bound runs out.
    QList<JsonCommand> collectUntil(const QString& _qstrGuid, const Predicate& _isFinal,
                                    int _nTimeoutMs = 10000);
    int queued() const { return static_cast<int>(m_queue.size()); }

signals:
    void SignArrived();

private:
    // Runs the event loop until _done() or the deadline; returns _done().
    bool WaitUntil(const std::function<bool()>& _done, int _nTimeoutMs);
    // A text as received and its envelope, parsed once on arrival.
    struct Message
    {
        QString text;
        JsonCommand envelope;
    };
    std::optional<Message> TakeFirst(const std::function<bool(const Message&)>& _match, int _nTimeoutMs);

    QString m_qstrName;
    quint16 m_nPort;
    QByteArray m_baOrigin;
    WebSocketClient* m_pSocket;
    std::deque<Message> m_queue;
};
