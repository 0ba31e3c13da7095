#include "core/ZmqServer.h"
#include "core/LogCategories.h"

#include "core/JsonCommand.h"
#include "core/Logger.h"
#include "core/PeerCredentials.h"
#include "core/ProcessMemory.h"
#include "core/ServiceThread.h"

#include <QDebug>

#include <zmq.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char kWakeEndpointPrefix[] = "inproc://qorv-zmq-wake-";

// Keys of the summarised log lines.
enum : qint64 { kIdentityRefused, kMessageDropped, kPeerDropped };

// The bytes of a name as the log shows them, quoted with whatever cannot be printed escaped.
QString Quoted(const QByteArray& _baName)
{
    QString text;
    QDebug(&text).nospace() << _baName;
    return text;
}

// The sooner of two waits, -1 standing for none.
int Sooner(int _nA, int _nB)
{
    return _nA < 0 ? _nB : _nB < 0 ? _nA : qMin(_nA, _nB);
}

} // namespace

ZmqServer::~ZmqServer()
{
    Stop();
}

bool ZmqServer::ParseLength(const QByteArray& _baFrame, long long& _nLength)
{
    const QByteArray text(_baFrame.constData()); // up to the first zero byte
    const char* begin = text.constData();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value > INT_MAX || value < INT_MIN)
        return false;
    _nLength = value;
    return true;
}

bool ZmqServer::Start(const QString& _qstrBind, const QString& _qstrPort, qint64 _nMaxMessageBytes,
                      Callback _callback)
{
    m_pContext = zmq_ctx_new();
    if (!m_pContext) {
        qCCritical(lcCore) << "mq_context == nullptr";
        return false;
    }
    m_pRouter = zmq_socket(m_pContext, ZMQ_ROUTER);
    if (!m_pRouter) {
        qCCritical(lcCore) << "mq_socket == nullptr";
        return false;
    }
    m_callback = std::move(_callback);
    m_nMaxMessageBytes = _nMaxMessageBytes;
    m_nPort = _qstrPort.toUShort();
    const int timeout = kReceiveTimeoutMs;
    zmq_setsockopt(m_pRouter, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
    // A full pipe to a slow peer reports EAGAIN instead of dropping without a word.
    const int mandatory = 1;
    zmq_setsockopt(m_pRouter, ZMQ_ROUTER_MANDATORY, &mandatory, sizeof mandatory);
    // A client that reconnects under its name takes the name over at once, as a newer
    // WebSocket login does; otherwise the new connection is ignored until the old one times out.
    const int handover = 1;
    zmq_setsockopt(m_pRouter, ZMQ_ROUTER_HANDOVER, &handover, sizeof handover);
    const int hwm = kSendHighWaterMark;
    zmq_setsockopt(m_pRouter, ZMQ_SNDHWM, &hwm, sizeof hwm);
    // A peer that sends faster than the hub handles waits in its own connection, not in memory here.
    const int receiveHwm = kReceiveHighWaterMark;
    zmq_setsockopt(m_pRouter, ZMQ_RCVHWM, &receiveHwm, sizeof receiveHwm);
    // libzmq holds a whole frame before we see it: bound that by the message limit.
    const int64_t maxFrame = _nMaxMessageBytes + 1024;
    zmq_setsockopt(m_pRouter, ZMQ_MAXMSGSIZE, &maxFrame, sizeof maxFrame);
    const int linger = 0;
    zmq_setsockopt(m_pRouter, ZMQ_LINGER, &linger, sizeof linger);

    // The guard relies on one I/O thread: a connection is reported accepted before its handshake
    // starts. That is libzmq's default; said here so nobody raises it without reading the guard.
    zmq_ctx_set(m_pContext, ZMQ_IO_THREADS, 1);
    m_guard.SetClosedHandler([this](int _nFd) { ForgetConnection(_nFd); });
    if (!m_guard.Attach(m_pContext, m_pRouter, m_nPort)) {
        zmq_close(m_pRouter);
        m_pRouter = nullptr;
        m_guard.Close();
        return false;
    }
    m_qstrEndpoint = QStringLiteral("tcp://") + _qstrBind + QLatin1Char(':') + _qstrPort;
    if (zmq_bind(m_pRouter, m_qstrEndpoint.toUtf8().constData()) != 0) {
        qCCritical(lcCore) << "ZmqServer::Start:bind failed:" << m_qstrEndpoint << zmq_strerror(zmq_errno());
        zmq_close(m_pRouter);
        m_pRouter = nullptr;
        m_guard.Close();
        return false;
    }

    const QByteArray wake = kWakeEndpointPrefix + QByteArray::number(reinterpret_cast<quintptr>(this));
    m_pWakeRecv = zmq_socket(m_pContext, ZMQ_PAIR);
    m_pWakeSend = zmq_socket(m_pContext, ZMQ_PAIR);
    zmq_setsockopt(m_pWakeRecv, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(m_pWakeSend, ZMQ_LINGER, &linger, sizeof linger);
    zmq_bind(m_pWakeRecv, wake.constData());
    zmq_connect(m_pWakeSend, wake.constData());

    m_thread = StartServiceThread(&ZmqServer::ReceiveLoop, this);
    m_blRunning = true;
    return true;
}

void ZmqServer::Stop()
{
    if (m_thread.joinable()) {
        m_blRunning = false;
        m_blStopRequested = true;
        {
            std::lock_guard<std::mutex> lock(m_mutexQueue);
            zmq_send(m_pWakeSend, "", 0, ZMQ_DONTWAIT);
        }
        m_thread.join();
    }
    m_guard.Close();
    for (void** socket : {&m_pRouter, &m_pWakeRecv, &m_pWakeSend})
        if (*socket) {
            zmq_close(*socket);
            *socket = nullptr;
        }
    if (m_pContext) {
        zmq_ctx_term(m_pContext);
        m_pContext = nullptr;
    }
}

std::shared_ptr<ZmqServer::Backlog> ZmqServer::BacklogOf(const QByteArray& _baClient)
{
    // The next sweep waits until the table has doubled, so peers that all still hold bytes do not
    // make every send walk the whole table.
    if (m_hashBacklogs.size() > m_nSweepAt) {
        SweepBacklogs();
        m_nSweepAt = qMax(kSweepAtPeers, 2 * m_hashBacklogs.size());
    }
    std::shared_ptr<Backlog>& backlog = m_hashBacklogs[_baClient];
    if (!backlog)
        backlog = std::make_shared<Backlog>();
    return backlog;
}

qint64 ZmqServer::UnsentBytes(const QByteArray& _baClient)
{
    std::lock_guard<std::mutex> lock(m_mutexQueue);
    const auto it = m_hashBacklogs.constFind(_baClient);
    return it == m_hashBacklogs.constEnd() ? 0 : (*it)->bytes.load();
}

void ZmqServer::Send(const QByteArray& _baClient, const QByteArray& _baBody)
{
    if (!m_blRunning)
        return;
    if (Logger::IsWritten(QtDebugMsg))
        qCDebug(lcCore) << "client:" << _baClient << " sendout:" << Logger::ClipForLog(_baBody);
    std::lock_guard<std::mutex> lock(m_mutexQueue);
    if (m_queueSends.size() >= kMaxQueuedSends) {
        if (m_nDroppedSends++ % 10000 == 0)
            qCCritical(lcCore) << "ZmqServer::Send:send queue full, message dropped for:" << _baClient;
        return;
    }
    const std::shared_ptr<Backlog> backlog = BacklogOf(_baClient);
    // Once over the limit, a peer gets messages again only after it has read half of what is held.
    const qint64 held = backlog->bytes.load();
    if (backlog->evicting) {
        if (held > 0)
            return; // its connection is being closed; the line said so
        backlog->evicting = false;
    }
    if (held + _baBody.size() > kMaxUnsentBytesPerPeer ||
        (backlog->dropping && held > kMaxUnsentBytesPerPeer / 2)) {
        if (!backlog->dropping)
            qCCritical(lcCore)
                << "ZmqServer::Send:client not reading, unsent bytes over the limit, messages dropped:"
                << _baClient;
        backlog->dropping = true;
        return;
    }
    if (m_nUnsentTotal.load() + _baBody.size() > m_nMaxUnsentTotal) {
        // Room is being made (DropLargestPeers); a later line brings the count.
        if (!m_drops.Note(kMessageDropped,
                          QStringLiteral("ZmqServer::Send:unsent bytes of all peers over the limit, "
                                         "message dropped for: ") +
                              Quoted(_baClient)))
            WakeLocked();
        return;
    }
    backlog->dropping = false;
    backlog->bytes += _baBody.size();
    m_nUnsentTotal += _baBody.size();
    m_queueSends.push_back({_baClient, _baBody, backlog});
    WakeLocked();
}

void ZmqServer::WakeLocked()
{
    // The receive thread flushes after every batch, so it needs no wake-up for its own sends.
    if (!m_blWakePending && std::this_thread::get_id() != m_thread.get_id()) {
        m_blWakePending = true;
        zmq_send(m_pWakeSend, "", 0, ZMQ_DONTWAIT);
    }
}

void ZmqServer::ReceiveLoop()
{
    zmq_pollitem_t items[4] = {{m_pRouter, 0, ZMQ_POLLIN, 0},
                               {m_pWakeRecv, 0, ZMQ_POLLIN, 0},
                               {m_guard.HandlerSocket(), 0, ZMQ_POLLIN, 0},
                               {m_guard.MonitorSocket(), 0, ZMQ_POLLIN, 0}};
    while (!m_blStopRequested) {
        const int ready = zmq_poll(items, 4, PollTimeoutMs());
        if (ready < 0 && zmq_errno() != EINTR)
            break;
        if (items[2].revents & ZMQ_POLLIN)
            m_guard.OnHandlerInput();
        if (items[3].revents & ZMQ_POLLIN)
            m_guard.OnMonitorInput();
        if (items[1].revents & ZMQ_POLLIN)
            DrainWake();
        if (items[0].revents & ZMQ_POLLIN)
            ReceiveMessages();
        FlushSends();
        ReturnMemoryWhenIdle();
        m_guard.Summarise();
        m_identityRefusals.LogDue();
        {
            std::lock_guard<std::mutex> lock(m_mutexQueue);
            m_drops.LogDue();
        }
    }
    qCWarning(lcCore) << "server closed";
}

int ZmqServer::PollTimeoutMs()
{
    // An idle service sleeps until a peer or the hub has something for it; only a pending trim
    // (waiting for libzmq to free sent bodies) or a log line still to write need a timed look.
    int wait = Sooner(m_guard.MsUntilSummary(), m_identityRefusals.MsUntilDue());
    if (m_blTrimDue)
        wait = Sooner(wait, kReceiveTimeoutMs);
    std::lock_guard<std::mutex> lock(m_mutexQueue);
    return Sooner(wait, m_drops.MsUntilDue());
}

void ZmqServer::DrainWake()
{
    char byte;
    while (zmq_recv(m_pWakeRecv, &byte, 1, ZMQ_DONTWAIT) >= 0) {
    }
    std::lock_guard<std::mutex> lock(m_mutexQueue);
    m_blWakePending = false;
}

void ZmqServer::ReceiveMessages()
{
    // A bounded batch, so queued sends are not held back by a flood of requests. The log lines
    // of each group of requests go out in one write, before the group's replies.
    for (int group = 0; group < 8 && !m_blStopRequested; ++group) {
        bool drained = false;
        {
            Logger::Batch batch;
            for (int i = 0; i < 32 && !drained && !m_blStopRequested; ++i)
                drained = !ReceiveOne();
        }
        if (drained)
            return;
        FlushSends();
    }
}

static bool HasMoreFrames(void* _pSocket)
{
    int more = 0;
    size_t size = sizeof more;
    return zmq_getsockopt(_pSocket, ZMQ_RCVMORE, &more, &size) == 0 && more;
}

void ZmqServer::DiscardRestOfMessage()
{
    while (HasMoreFrames(m_pRouter)) {
        zmq_msg_t part;
        zmq_msg_init(&part);
        zmq_msg_recv(&part, m_pRouter, ZMQ_DONTWAIT);
        zmq_msg_close(&part);
    }
}

// A text frame ends at its first zero byte, as the fixed receive buffers did; a routing identity
// is taken whole (_blWhole). *_pFd, when asked for, is the connection it came from (-1: unknown).
static bool ReceiveFrame(void* _pSocket, QByteArray& _baOut, size_t _nMax, bool _blWhole = false,
                         int* _pFd = nullptr)
{
    zmq_msg_t frame;
    zmq_msg_init(&frame);
    if (zmq_msg_recv(&frame, _pSocket, ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&frame);
        return false;
    }
    const size_t size = qMin(zmq_msg_size(&frame), _nMax);
    const char* bytes = static_cast<const char*>(zmq_msg_data(&frame));
    const void* zero = _blWhole ? nullptr : std::memchr(bytes, 0, size);
    _baOut = QByteArray(bytes, zero ? static_cast<int>(static_cast<const char*>(zero) - bytes)
                                    : static_cast<int>(size));
    if (_pFd)
        *_pFd = zmq_msg_get(&frame, ZMQ_SRCFD);
    zmq_msg_close(&frame);
    return true;
}

bool ZmqServer::IsUsableIdentity(const QByteArray& _baIdentity)
{
    static const QByteArray s_service = Envelope::kServiceName.toUtf8();
    // The hub compares names as text: bytes that do not read back as the same text (not UTF-8)
    // or that a C string would end early could pass for another client's name.
    return !_baIdentity.isEmpty() && _baIdentity != s_service && !_baIdentity.contains('\0') &&
           QString::fromUtf8(_baIdentity).toUtf8() == _baIdentity;
}

bool ZmqServer::ReceiveOne()
{
    QByteArray name;
    // Identities are at most 255 bytes.
    if (!ReceiveFrame(m_pRouter, name, 255, true))
        return false;
    if (Logger::IsWritten(QtDebugMsg))
        qCDebug(lcCore) << "client name ==" << name;
    if (!IsUsableIdentity(name)) {
        m_identityRefusals.Note(
            kIdentityRefused, QStringLiteral("ZmqServer::ReceiveOne:peer identity refused: ") + Quoted(name));
        DiscardRestOfMessage();
        return true;
    }
    // Frames of one message arrive together; never read into the next message.
    QByteArray lengthText;
    // The frames that came over the connection know it; the identity frame, made by the
    // ROUTER, not always.
    int fd = -1;
    if (!HasMoreFrames(m_pRouter) || !ReceiveFrame(m_pRouter, lengthText, 63, false, &fd))
        return true;
    NotePeerConnection(name, fd);
    if (Logger::IsWritten(QtDebugMsg))
        qCDebug(lcCore) << "msg length ==" << lengthText;
    long long length = 0;
    if (!ParseLength(lengthText, length)) {
        qCCritical(lcCore) << "msg error length ==" << lengthText;
        length = 0;
    }
    if (length > m_nMaxMessageBytes) {
        qCCritical(lcCore) << "ZmqServer::ReceiveOne:message over the size limit refused:" << name << length;
        length = 0;
    }
    QByteArray body;
    if (length > 0 && HasMoreFrames(m_pRouter)) {
        // The declared length only chooses the buffer: small bodies get 1023 bytes, larger ones their length.
        const size_t cap = length <= 1023 ? 1023 : static_cast<size_t>(length);
        ReceiveFrame(m_pRouter, body, cap);
    }
    DiscardRestOfMessage();
    if (!body.isEmpty() && m_callback)
        m_callback(name, body);
    return true;
}

namespace {

// A body handed to libzmq without a copy; its bytes leave the peer's count when libzmq frees it.
struct HeldBody
{
    QByteArray body;
    std::shared_ptr<std::atomic<qint64>> peerBytes;
    std::atomic<qint64>* totalBytes;
};

void ReleaseBody(void*, void* _pHint)
{
    auto* held = static_cast<HeldBody*>(_pHint);
    *held->peerBytes -= held->body.size();
    *held->totalBytes -= held->body.size();
    delete held;
}

} // namespace

void ZmqServer::FlushSends()
{
    std::deque<QueuedSend> batch;
    {
        std::lock_guard<std::mutex> lock(m_mutexQueue);
        batch.swap(m_queueSends);
    }
    for (const QueuedSend& send : batch)
        SendOne(send);
    DropLargestPeers();
}

void ZmqServer::SendOne(const QueuedSend& _send)
{
    const QByteArray& client = _send.client;
    const QByteArray& body = _send.body;
    const std::shared_ptr<Backlog>& backlog = _send.backlog;
    // The count as an atomic shared with the message, which may outlive the table entry.
    const std::shared_ptr<std::atomic<qint64>> bytes(backlog, &backlog->bytes);
    if (zmq_send(m_pRouter, client.constData(), client.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0) {
        if (zmq_errno() == EAGAIN) {
            std::lock_guard<std::mutex> lock(m_mutexQueue);
            if (!backlog->dropping)
                qCCritical(lcCore) << "ZmqServer::FlushSends:client not reading, message dropped:" << client;
            backlog->dropping = true;
        }
        // EHOSTUNREACH: no such peer, dropped as a ROUTER does
        *bytes -= body.size();
        m_nUnsentTotal -= body.size();
        return;
    }
    const QByteArray length = QByteArray::number(body.size());
    zmq_send(m_pRouter, length.constData(), length.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT);
    auto* held = new HeldBody{body, bytes, &m_nUnsentTotal};
    zmq_msg_t message;
    zmq_msg_init_data(&message, const_cast<char*>(held->body.constData()), static_cast<size_t>(body.size()),
                      &ReleaseBody, held);
    if (zmq_msg_send(&message, m_pRouter, ZMQ_DONTWAIT) < 0)
        zmq_msg_close(&message);
    if (m_nUnsentTotal.load() > kMaxUnsentBytesPerPeer / 4)
        m_blTrimDue = true;
}

void ZmqServer::ReturnMemoryWhenIdle()
{
    if (!m_blTrimDue || m_nUnsentTotal.load() > kMaxUnsentBytesPerPeer / 16)
        return;
    m_blTrimDue = false;
    ProcessMemory::ReturnFreedMemory();
    std::lock_guard<std::mutex> lock(m_mutexQueue);
    SweepBacklogs();
}

void ZmqServer::SweepBacklogs()
{
    // Peers that have nothing held keep no entry, so names sent to once do not pile up.
    for (auto it = m_hashBacklogs.begin(); it != m_hashBacklogs.end();) {
        if (it.value()->bytes.load() == 0 && it.value().use_count() == 1)
            it = m_hashBacklogs.erase(it);
        else
            ++it;
    }
}

void ZmqServer::NotePeerConnection(const QByteArray& _baClient, int _nFd)
{
    if (_nFd < 0)
        return;
    const auto known = m_hashPeerFds.constFind(_baClient);
    if (known != m_hashPeerFds.constEnd() && *known == _nFd)
        return;
    // The name moved to a new connection (a reconnect takes it over), or the number now belongs
    // to another peer's connection.
    if (known != m_hashPeerFds.constEnd())
        m_hashFdPeers.remove(*known);
    const auto previous = m_hashFdPeers.constFind(_nFd);
    std::lock_guard<std::mutex> lock(m_mutexPeers);
    if (previous != m_hashFdPeers.constEnd()) {
        m_hashPeerFds.remove(*previous);
        m_setPeers.remove(*previous);
    }
    m_hashPeerFds.insert(_baClient, _nFd);
    m_hashFdPeers.insert(_nFd, _baClient);
    m_setPeers.insert(_baClient);
}

bool ZmqServer::HasPeer(const QByteArray& _baClient) const
{
    std::lock_guard<std::mutex> lock(m_mutexPeers);
    return m_setPeers.contains(_baClient);
}

void ZmqServer::ForgetConnection(int _nFd)
{
    const auto it = m_hashFdPeers.find(_nFd);
    if (it == m_hashFdPeers.end())
        return;
    std::lock_guard<std::mutex> lock(m_mutexPeers);
    m_hashPeerFds.remove(*it);
    m_setPeers.remove(*it);
    m_hashFdPeers.erase(it);
}

void ZmqServer::DropLargestPeers()
{
    const qint64 room = m_nMaxUnsentTotal - m_nMaxUnsentTotal / 4;
    if (m_nUnsentTotal.load() <= room)
        return;
    // Bytes of peers dropped before are on their way back; one whose connection was not known
    // then is disconnected once it is.
    qint64 leaving = 0;
    std::vector<Evicted*> unclosed;
    {
        std::lock_guard<std::mutex> lock(m_mutexQueue);
        for (auto it = m_vecEvicted.begin(); it != m_vecEvicted.end();) {
            const qint64 held = it->backlog->bytes.load();
            if (held == 0 || !it->backlog->evicting) {
                it = m_vecEvicted.erase(it);
                continue;
            }
            leaving += held;
            if (!it->closed)
                unclosed.push_back(&*it);
            ++it;
        }
    }
    for (Evicted* evicted : unclosed)
        evicted->closed = Disconnect(evicted->name);

    while (m_nUnsentTotal.load() - leaving > room) {
        QByteArray name;
        qint64 bytes = 0;
        std::shared_ptr<Backlog> largest;
        {
            std::lock_guard<std::mutex> lock(m_mutexQueue);
            for (auto it = m_hashBacklogs.constBegin(); it != m_hashBacklogs.constEnd(); ++it) {
                const qint64 held = it.value()->bytes.load();
                if (!it.value()->evicting && held > bytes) {
                    largest = it.value();
                    name = it.key();
                    bytes = held;
                }
            }
            if (!largest)
                return;
            largest->evicting = true;
            // What is still queued here is given back at once; libzmq gives back the rest when
            // the connection is gone.
            std::deque<QueuedSend> kept;
            for (QueuedSend& send : m_queueSends) {
                if (send.backlog != largest) {
                    kept.push_back(std::move(send));
                    continue;
                }
                largest->bytes -= send.body.size();
                m_nUnsentTotal -= send.body.size();
            }
            m_queueSends.swap(kept);
        }
        const bool closed = Disconnect(name);
        m_vecEvicted.push_back({name, largest, closed});
        leaving += largest->bytes.load();
        std::lock_guard<std::mutex> lock(m_mutexQueue);
        m_drops.Note(
            kPeerDropped,
            QStringLiteral("ZmqServer: unsent bytes of all peers over the limit, the peer holding the "
                           "most dropped: %1 with %2 bytes unsent, %3")
                .arg(Quoted(name))
                .arg(bytes)
                .arg(closed ? QStringLiteral("connection closed")
                            : QStringLiteral("its connection not known yet, messages to it dropped "
                                             "until it reads or sends")));
    }
}

bool ZmqServer::Disconnect(const QByteArray& _baClient)
{
    // Reports of connections gone are read first, so a number that a newer connection reuses is
    // not taken for this peer's.
    m_guard.OnMonitorInput();
    const auto it = m_hashPeerFds.constFind(_baClient);
    if (it == m_hashPeerFds.constEnd())
        return false;
    // Still a connection to this port; the peer may come back, but whatever was held is let go.
    if (!PeerCredentials::AcceptedSocketOwner(*it, m_nPort))
        return false;
    PeerCredentials::ShutDownSocket(*it);
    return true;
}
