#include "tools/qorvctl/CtlTransport.h"

#include "core/WebSocketClient.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <zmq.h>

#include <cstdint>
#include <cstring>

namespace {

class WebSocketTransport : public CtlTransport
{
public:
    explicit WebSocketTransport(quint16 _nPort) : m_nPort(_nPort), m_socket(kMaxMessageBytes)
    {
        QObject::connect(&m_socket, &WebSocketClient::SignTextMessage,
                         [this](const QByteArray& _baText) { m_queue.push_back(_baText); });
    }

    Result<> Open(int _nTimeoutMs) override
    {
        m_socket.Open(m_nPort);
        const bool ok =
            Wait([this]() { return m_socket.GetState() != WebSocketClient::State::Connecting; }, _nTimeoutMs);
        if (ok && m_socket.IsOpen())
            return {};
        return Result<>::Failure(QStringLiteral("cannot connect to ws://127.0.0.1:%1: %2")
                                     .arg(m_nPort)
                                     .arg(ok ? m_socket.ErrorString() : QStringLiteral("timed out")));
    }

    bool Send(const QByteArray& _baText) override
    {
        if (!IsOpen())
            return false;
        m_socket.SendText(_baText);
        return true;
    }

    std::optional<QByteArray> Receive(int _nTimeoutMs) override
    {
        Wait([this]() { return !m_queue.empty() || !IsOpen(); }, _nTimeoutMs);
        if (m_queue.empty())
            return std::nullopt;
        QByteArray text = m_queue.front();
        m_queue.pop_front();
        return text;
    }

    bool IsOpen() const override { return m_socket.IsOpen(); }

    // Answers as large as a whole folder listing or file read must come through.
    static constexpr qint64 kMaxMessageBytes = 1024LL * 1024 * 1024;

private:
    // A nested event loop woken by any socket event or the bound.
    template <typename Done> bool Wait(Done _done, int _nTimeoutMs)
    {
        QDeadlineTimer deadline(qMax(0, _nTimeoutMs));
        while (!_done()) {
            if (deadline.hasExpired())
                return false;
            QEventLoop loop;
            QTimer timer;
            timer.setSingleShot(true);
            QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
            QObject::connect(&m_socket, &WebSocketClient::SignTextMessage, &loop, &QEventLoop::quit);
            QObject::connect(&m_socket, &WebSocketClient::SignConnected, &loop, &QEventLoop::quit);
            QObject::connect(&m_socket, &WebSocketClient::SignDisconnected, &loop, &QEventLoop::quit);
            timer.start(static_cast<int>(deadline.remainingTime()));
            loop.exec();
        }
        return true;
    }

    quint16 m_nPort;
    WebSocketClient m_socket;
    std::deque<QByteArray> m_queue;
};

class ZmqTransport : public CtlTransport
{
public:
    ZmqTransport(quint16 _nPort, const QString& _qstrName)
    {
        m_pContext = zmq_ctx_new();
        m_pSocket = zmq_socket(m_pContext, ZMQ_DEALER);
        const QByteArray identity = _qstrName.toUtf8();
        zmq_setsockopt(m_pSocket, ZMQ_ROUTING_ID, identity.constData(), static_cast<size_t>(identity.size()));
        const int linger = 2000; // let the last message (a logout) leave before exit
        zmq_setsockopt(m_pSocket, ZMQ_LINGER, &linger, sizeof linger);
        // A service that died or hangs answers no heartbeat: the connection is dropped after
        // kHeartbeatTimeoutMs, and the monitor reports it. libzmq answers the pings by itself.
        const int interval = kHeartbeatIntervalMs, timeout = kHeartbeatTimeoutMs;
        zmq_setsockopt(m_pSocket, ZMQ_HEARTBEAT_IVL, &interval, sizeof interval);
        zmq_setsockopt(m_pSocket, ZMQ_HEARTBEAT_TIMEOUT, &timeout, sizeof timeout);
        m_baEndpoint = "tcp://127.0.0.1:" + QByteArray::number(_nPort);
    }

    ~ZmqTransport() override
    {
        if (m_pWatch) {
            zmq_socket_monitor(m_pSocket, nullptr, 0);
            zmq_close(m_pWatch);
        }
        zmq_close(m_pSocket);
        zmq_ctx_term(m_pContext);
    }

    Result<> Open(int _nTimeoutMs) override
    {
        // ZeroMQ connects in the background; the monitor tells whether a peer was reached, and
        // later whether it went away.
        const QByteArray monitor = "inproc://qorvctl-monitor";
        zmq_socket_monitor(m_pSocket, monitor.constData(),
                           ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED | ZMQ_EVENT_CONNECT_RETRIED);
        m_pWatch = zmq_socket(m_pContext, ZMQ_PAIR);
        zmq_connect(m_pWatch, monitor.constData());
        zmq_connect(m_pSocket, m_baEndpoint.constData());
        QDeadlineTimer deadline(qMax(0, _nTimeoutMs));
        zmq_pollitem_t item{m_pWatch, 0, ZMQ_POLLIN, 0};
        // A refused connection is retried in silence; the first retry is our answer.
        while (!m_blConnected && !m_blRetried &&
               zmq_poll(&item, 1, static_cast<long>(deadline.remainingTime())) > 0)
            ReadMonitor();
        if (!m_blConnected)
            return Result<>::Failure(QStringLiteral("cannot connect to %1: nothing listens there")
                                         .arg(QString::fromLatin1(m_baEndpoint)));
        return {};
    }

    bool Send(const QByteArray& _baText) override
    {
        const QByteArray length = QByteArray::number(_baText.size());
        return zmq_send(m_pSocket, length.constData(), static_cast<size_t>(length.size()), ZMQ_SNDMORE) >=
                   0 &&
               zmq_send(m_pSocket, _baText.constData(), static_cast<size_t>(_baText.size()), 0) >= 0;
    }

    std::optional<QByteArray> Receive(int _nTimeoutMs) override
    {
        zmq_pollitem_t items[2] = {{m_pSocket, 0, ZMQ_POLLIN, 0}, {m_pWatch, 0, ZMQ_POLLIN, 0}};
        if (zmq_poll(items, m_pWatch ? 2 : 1, _nTimeoutMs) <= 0)
            return std::nullopt;
        if (items[1].revents & ZMQ_POLLIN)
            ReadMonitor();
        if (!(items[0].revents & ZMQ_POLLIN))
            return std::nullopt;
        // Frames: decimal length, body. The body is the last frame of the message.
        QByteArray body;
        for (;;) {
            zmq_msg_t msg;
            zmq_msg_init(&msg);
            if (zmq_msg_recv(&msg, m_pSocket, 0) < 0) {
                zmq_msg_close(&msg);
                return std::nullopt;
            }
            body = QByteArray(static_cast<const char*>(zmq_msg_data(&msg)),
                              static_cast<int>(zmq_msg_size(&msg)));
            const bool more = zmq_msg_more(&msg);
            zmq_msg_close(&msg);
            if (!more)
                return body;
        }
    }

    bool IsOpen() const override
    {
        ReadMonitor();
        return !m_blLost;
    }

    static constexpr int kHeartbeatIntervalMs = 500;
    static constexpr int kHeartbeatTimeoutMs = 1500;

private:
    // Takes the monitor's pending events: a disconnect after the connection was made means the
    // service is gone (ZeroMQ would reconnect in silence; a client has nothing to wait for).
    void ReadMonitor() const
    {
        if (!m_pWatch)
            return;
        for (;;) {
            zmq_msg_t frame;
            zmq_msg_init(&frame);
            if (zmq_msg_recv(&frame, m_pWatch, ZMQ_DONTWAIT) < 0) {
                zmq_msg_close(&frame);
                return;
            }
            // The first frame of an event: its number (16 bits) and value (32 bits).
            uint16_t event = 0;
            if (zmq_msg_more(&frame) && zmq_msg_size(&frame) >= sizeof event)
                std::memcpy(&event, zmq_msg_data(&frame), sizeof event);
            const bool more = zmq_msg_more(&frame);
            zmq_msg_close(&frame);
            if (more) {
                zmq_msg_t address;
                zmq_msg_init(&address);
                zmq_msg_recv(&address, m_pWatch, ZMQ_DONTWAIT);
                zmq_msg_close(&address);
            }
            if (event == ZMQ_EVENT_CONNECTED)
                m_blConnected = true;
            else if (event == ZMQ_EVENT_CONNECT_RETRIED)
                m_blRetried = true;
            else if (event == ZMQ_EVENT_DISCONNECTED && m_blConnected)
                m_blLost = true;
        }
    }

    void* m_pContext = nullptr;
    void* m_pSocket = nullptr;
    void* m_pWatch = nullptr;
    QByteArray m_baEndpoint;
    mutable bool m_blConnected = false;
    mutable bool m_blRetried = false;
    mutable bool m_blLost = false;
};

} // namespace

std::unique_ptr<CtlTransport> CtlTransport::CreateWebSocket(quint16 _nPort)
{
    return std::make_unique<WebSocketTransport>(_nPort);
}

std::unique_ptr<CtlTransport> CtlTransport::CreateZmq(quint16 _nPort, const QString& _qstrName)
{
    return std::make_unique<ZmqTransport>(_nPort, _qstrName);
}
