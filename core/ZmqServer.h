#pragma once

#include "core/RefusalLog.h"
#include "core/ZmqPeerGuard.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The ZeroMQ ROUTER transport. One thread owns every ZeroMQ socket: it receives the
// three-frame messages and also performs the sends that other threads queue through Send().
class ZmqServer
{
public:
    using Callback = std::function<void(const QByteArray& _baClient, const QByteArray& _baBody)>;

    ZmqServer() = default;
    ~ZmqServer();
    ZmqServer(const ZmqServer&) = delete;
    ZmqServer& operator=(const ZmqServer&) = delete;

    // Binds tcp://<bind>:<port> and starts the receive thread. False when nothing listens.
    bool Start(const QString& _qstrBind, const QString& _qstrPort, qint64 _nMaxMessageBytes,
               Callback _callback);
    void Stop();
    // Queues one message for a peer; safe from any thread. Dropped when the service is not running.
    void Send(const QByteArray& _baClient, const QByteArray& _baBody);
    bool IsRunning() const { return m_blRunning.load(); }
    QString Endpoint() const { return m_qstrEndpoint; }

    static constexpr int kReceiveTimeoutMs = 3000;
    // Per-peer answers held for a client that does not read, and the overall send queue bound.
    static constexpr int kSendHighWaterMark = 100000;
    static constexpr size_t kMaxQueuedSends = 1000000;
    // Bytes queued for one peer and not yet written to its connection; past this its messages
    // are dropped, so a client that never reads cannot make the service hold without bound.
    static constexpr qint64 kMaxUnsentBytesPerPeer = 256LL * 1024 * 1024;
    // Bytes held for all peers together. Past three quarters of it the connection of the peer
    // holding the most is closed, which gives its bytes back; at the bound itself messages are
    // dropped, so peers that never read cannot make the service hold more, however many they are.
    static constexpr qint64 kMaxUnsentBytesTotal = 512LL * 1024 * 1024;
    // Whole requests libzmq holds from one peer before it stops reading that connection.
    static constexpr int kReceiveHighWaterMark = 64;

    // In place of kMaxUnsentBytesTotal (tests use a small bound); call before Start.
    void SetMaxUnsentTotal(qint64 _nBytes) { m_nMaxUnsentTotal = _nBytes; }

    // Bytes held for a peer: queued here or handed to libzmq and not yet written.
    qint64 UnsentBytes(const QByteArray& _baClient);
    // The same for every peer together.
    qint64 UnsentTotal() const { return m_nUnsentTotal.load(); }
    // Whether the peer of this name has a connection open now; safe from any thread.
    bool HasPeer(const QByteArray& _baClient) const;

    // Parses a length frame as the wire protocol does: leading blanks and trailing text are
    // tolerated; no number or out of range gives nullopt-like false.
    static bool ParseLength(const QByteArray& _baFrame, long long& _nLength);

private:
    void ReceiveLoop();
    int PollTimeoutMs();
    void ReceiveMessages();
    bool ReceiveOne();
    void FlushSends();
    void DiscardRestOfMessage();
    void DrainWake();
    struct Backlog;
    struct QueuedSend;
    void SendOne(const QueuedSend& _send);
    void ReturnMemoryWhenIdle();
    // With m_mutexQueue held: makes the receive thread look at its queue (and its log) soon.
    void WakeLocked();

    // A routing identity is the client's name: whole, UTF-8, not empty and not the service's.
    static bool IsUsableIdentity(const QByteArray& _baIdentity);
    // The receive thread's record of which connection (descriptor) each peer last sent from, so
    // a peer can be disconnected; forgotten when libzmq reports the connection gone.
    void NotePeerConnection(const QByteArray& _baClient, int _nFd);
    void ForgetConnection(int _nFd);
    // Closes the connections of the peers holding the most until the total is back under three
    // quarters of its bound. Receive thread only.
    void DropLargestPeers();
    bool Disconnect(const QByteArray& _baClient);

    // What is held for one peer; shared with the messages in flight, which give their bytes
    // back when libzmq frees them (on its own thread).
    struct Backlog
    {
        std::atomic<qint64> bytes{0};
        bool dropping = false; // guarded by m_mutexQueue; one log line per burst of drops
        // Guarded by m_mutexQueue: dropped for holding the most of all peers; nothing more is
        // queued for it until what it held is given back.
        bool evicting = false;
    };
    // Both with m_mutexQueue held.
    std::shared_ptr<Backlog> BacklogOf(const QByteArray& _baClient);
    void SweepBacklogs();
    static constexpr int kSweepAtPeers = 4096;
    int m_nSweepAt = kSweepAtPeers; // guarded by m_mutexQueue

    qint64 m_nMaxUnsentTotal = kMaxUnsentBytesTotal;
    // Receive thread only: peers dropped for holding the most, until their bytes are back.
    struct Evicted
    {
        QByteArray name;
        std::shared_ptr<Backlog> backlog;
        bool closed = false; // its connection was shut down
    };
    std::vector<Evicted> m_vecEvicted;
    // Dropped messages and peers, one line per kind a minute; guarded by m_mutexQueue.
    RefusalLog m_drops{QStringLiteral("dropped since the last line: ")};
    // Receive thread only.
    RefusalLog m_identityRefusals{QStringLiteral("refused since the last line: ")};
    QHash<QByteArray, int> m_hashPeerFds;
    QHash<int, QByteArray> m_hashFdPeers;
    // The names in m_hashPeerFds, for other threads.
    mutable std::mutex m_mutexPeers;
    QSet<QByteArray> m_setPeers;
    quint16 m_nPort = 0;

    void* m_pContext = nullptr;
    void* m_pRouter = nullptr;
    void* m_pWakeRecv = nullptr;
    void* m_pWakeSend = nullptr; // guarded by m_mutexQueue
    Callback m_callback;
    QString m_qstrEndpoint;
    qint64 m_nMaxMessageBytes = 0;
    QByteArray m_baLargeBuffer;

    std::mutex m_mutexQueue;
    struct QueuedSend
    {
        QByteArray client;
        QByteArray body;
        std::shared_ptr<Backlog> backlog;
    };
    std::deque<QueuedSend> m_queueSends;
    bool m_blWakePending = false;
    size_t m_nDroppedSends = 0;
    QHash<QByteArray, std::shared_ptr<Backlog>> m_hashBacklogs; // guarded by m_mutexQueue
    std::atomic<qint64> m_nUnsentTotal{0};
    bool m_blTrimDue = false;
    ZmqPeerGuard m_guard;

    std::atomic<bool> m_blRunning{false};
    std::atomic<bool> m_blStopRequested{false};
    std::thread m_thread;
};
