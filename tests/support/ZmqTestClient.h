#pragma once

#include "core/JsonCommand.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

// A ZeroMQ client of the service: a DEALER whose routing identity is its name. Use it from one
// thread only. While waiting it keeps Qt's events flowing, so WebSocket clients in the same
// test still send and receive.
class ZmqTestClient
{
public:
    using Predicate = std::function<bool(const JsonCommand&)>;

    ZmqTestClient(const QString& _qstrName, quint16 _nPort);
    // A client whose routing identity is these bytes exactly, UTF-8 or not.
    static std::unique_ptr<ZmqTestClient> withIdentity(const QByteArray& _baIdentity, quint16 _nPort);
    ~ZmqTestClient();
    ZmqTestClient(const ZmqTestClient&) = delete;
    ZmqTestClient& operator=(const ZmqTestClient&) = delete;

    QString name() const { return m_qstrName; }

    // Sends the login and waits for its "notify_ret"; true when it came with error 0.
    bool login(const QStringList& _listAbilities = {}, int _nTimeoutMs = 10000);
    // Sends the envelope (its "from" is set to this client's name when empty).
    bool send(JsonCommand _jsonCommand);
    // Sends a body as the two frames length and body.
    bool sendText(const QByteArray& _baBody);
    // Sends frames exactly as given, for protocol tests.
    bool sendFrames(const QList<QByteArray>& _listFrames);

    // The next envelope (queued ones first), or nothing within the bound.
    std::optional<JsonCommand> receive(int _nTimeoutMs = 5000);
    // The next message's raw frames (the length frame and the body as the service sent them).
    std::optional<QList<QByteArray>> receiveFrames(int _nTimeoutMs = 5000);
    // The first envelope that matches; the others stay queued for later waits.
    std::optional<JsonCommand> waitFor(const Predicate& _predicate, int _nTimeoutMs = 5000);
    // Every envelope with this guid up to and including the first one _isFinal accepts. The list
    // ends early (without a final envelope) when the bound runs out.
    QList<JsonCommand> collectUntil(const QString& _qstrGuid, const Predicate& _isFinal,
                                    int _nTimeoutMs = 10000);
    // Envelopes received but not yet taken by a wait.
    int queued() const { return static_cast<int>(m_queue.size()); }

private:
    ZmqTestClient(const QString& _qstrName, const QByteArray& _baIdentity, quint16 _nPort);
    // Reads one message if one arrives within the bound; false on time-out.
    bool ReadOne(int _nTimeoutMs);

    QString m_qstrName;
    void* m_pSocket = nullptr;
    // A message's frames and its envelope, parsed once when first asked for: tests of the
    // transport alone exchange bodies that are no envelopes.
    struct Message
    {
        QList<QByteArray> frames;
        std::optional<JsonCommand> envelope;
        const JsonCommand& Parsed();
    };
    std::deque<Message> m_queue;
};
