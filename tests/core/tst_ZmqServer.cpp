#include "core/ZmqServer.h"

#include <QtTest>
#include <QTcpServer>

#include <zmq.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

quint16 FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A DEALER client named by its routing identity, used from one thread only.
class Dealer
{
public:
    Dealer(void* _pContext, const QByteArray& _baName, quint16 _nPort)
    {
        m_pSocket = zmq_socket(_pContext, ZMQ_DEALER);
        zmq_setsockopt(m_pSocket, ZMQ_ROUTING_ID, _baName.constData(), _baName.size());
        const int linger = 0;
        zmq_setsockopt(m_pSocket, ZMQ_LINGER, &linger, sizeof linger);
        const int hwm = 0; // the test itself must not drop anything
        zmq_setsockopt(m_pSocket, ZMQ_SNDHWM, &hwm, sizeof hwm);
        zmq_setsockopt(m_pSocket, ZMQ_RCVHWM, &hwm, sizeof hwm);
        zmq_connect(m_pSocket, QByteArray("tcp://127.0.0.1:" + QByteArray::number(_nPort)).constData());
    }
    ~Dealer() { zmq_close(m_pSocket); }

    void SendFrames(const QList<QByteArray>& _frames)
    {
        for (int i = 0; i < _frames.size(); ++i)
            zmq_send(m_pSocket, _frames[i].constData(), _frames[i].size(),
                     i + 1 < _frames.size() ? ZMQ_SNDMORE : 0);
    }
    void Send(const QByteArray& _baBody) { SendFrames({QByteArray::number(_baBody.size()), _baBody}); }

    // The body of the next message, or null after the bound.
    QByteArray Receive(int _nTimeoutMs = 5000)
    {
        zmq_pollitem_t item{m_pSocket, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, _nTimeoutMs) <= 0)
            return QByteArray();
        QList<QByteArray> frames;
        int more = 1;
        while (more) {
            zmq_msg_t msg;
            zmq_msg_init(&msg);
            zmq_msg_recv(&msg, m_pSocket, 0);
            frames.append(QByteArray(static_cast<const char*>(zmq_msg_data(&msg)), int(zmq_msg_size(&msg))));
            more = zmq_msg_more(&msg);
            zmq_msg_close(&msg);
        }
        if (frames.size() != 2 || frames[0].toInt() != frames[1].size())
            return QByteArray("bad frames");
        return frames[1];
    }

private:
    void* m_pSocket = nullptr;
};

} // namespace

class tst_ZmqServer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void echoesThroughTheThreeFrameFormat();
    void lengthFrameRules_data();
    void lengthFrameRules();
    void reservedAndEmptyIdentitiesAreIgnored();
    void tenThousandInFlightAllAnswered();
    void sendsFromManyThreadsWhileClientsTalk();

private:
    std::unique_ptr<ZmqServer> m_server;
    void* m_pContext = nullptr;
    quint16 m_nPort = 0;
    std::mutex m_mutex;
    QList<QPair<QByteArray, QByteArray>> m_received;
};

void tst_ZmqServer::init()
{
    m_pContext = zmq_ctx_new();
    m_server = std::make_unique<ZmqServer>();
    m_received.clear();
    // Echo every body back to its sender, as the hub's answer would be.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_nPort = FreePort();
        if (m_server->Start("127.0.0.1", QString::number(m_nPort), 4096,
                            [this](const QByteArray& client, const QByteArray& body) {
                                {
                                    std::lock_guard<std::mutex> lock(m_mutex);
                                    m_received.append({client, body});
                                }
                                m_server->Send(client, "echo:" + body);
                            }))
            return;
        m_server = std::make_unique<ZmqServer>();
    }
    QFAIL("no free port");
}

void tst_ZmqServer::cleanup()
{
    m_server->Stop(); // the echo callback uses m_server until the thread is joined
    m_server.reset();
    zmq_ctx_term(m_pContext);
}

void tst_ZmqServer::echoesThroughTheThreeFrameFormat()
{
    Dealer client(m_pContext, "alice", m_nPort);
    client.Send("hello");
    QCOMPARE(client.Receive(), QByteArray("echo:hello"));
    std::lock_guard<std::mutex> lock(m_mutex);
    QCOMPARE(m_received.value(0).first, QByteArray("alice"));
}

void tst_ZmqServer::lengthFrameRules_data()
{
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QByteArray>("delivered"); // empty: nothing reaches the hub
    QTest::newRow("length not a number") << QList<QByteArray>{"abc", "body"} << QByteArray();
    QTest::newRow("zero length") << QList<QByteArray>{"0", "body"} << QByteArray();
    QTest::newRow("negative length") << QList<QByteArray>{"-5", "body"} << QByteArray();
    QTest::newRow("out of int range") << QList<QByteArray>{"99999999999", "body"} << QByteArray();
    QTest::newRow("over the message limit")
        << QList<QByteArray>{"5000", QByteArray(5000, 'x')} << QByteArray();
    QTest::newRow("leading blanks, trailing text")
        << QList<QByteArray>{"  4xyz", "body"} << QByteArray("body");
    QTest::newRow("length only chooses the buffer")
        << QList<QByteArray>{"2", "longer body"} << QByteArray("longer body");
    QTest::newRow("text ends at a zero byte")
        << QList<QByteArray>{"9", QByteArray("ab\0cdefgh", 9)} << QByteArray("ab");
    QTest::newRow("body starting with zero") << QList<QByteArray>{"3", QByteArray("\0ab", 3)} << QByteArray();
    QTest::newRow("extra frames are dropped")
        << QList<QByteArray>{"4", "body", "more", "frames"} << QByteArray("body");
    QTest::newRow("no body frame") << QList<QByteArray>{"4"} << QByteArray();
}

void tst_ZmqServer::lengthFrameRules()
{
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QByteArray, delivered);
    Dealer client(m_pContext, "bob", m_nPort);
    client.SendFrames(frames);
    // The same client's next message must still work, and nothing else may arrive before it.
    client.Send("next");
    if (!delivered.isEmpty())
        QCOMPARE(client.Receive(), "echo:" + delivered);
    QCOMPARE(client.Receive(), QByteArray("echo:next"));
}

void tst_ZmqServer::reservedAndEmptyIdentitiesAreIgnored()
{
    Dealer impostor(m_pContext, "message_service", m_nPort);
    impostor.Send("take over");
    Dealer honest(m_pContext, "carol", m_nPort);
    honest.Send("hi");
    QCOMPARE(honest.Receive(), QByteArray("echo:hi"));
    QCOMPARE(impostor.Receive(200), QByteArray());
    std::lock_guard<std::mutex> lock(m_mutex);
    QCOMPARE(m_received.size(), 1);
}

void tst_ZmqServer::tenThousandInFlightAllAnswered()
{
    Dealer client(m_pContext, "bulk", m_nPort);
    const int count = 10000;
    for (int i = 0; i < count; ++i)
        client.Send(QByteArray::number(i));
    for (int i = 0; i < count; ++i)
        QCOMPARE(client.Receive(), "echo:" + QByteArray::number(i));
}

void tst_ZmqServer::sendsFromManyThreadsWhileClientsTalk()
{
    Dealer listener(m_pContext, "listener", m_nPort);
    listener.Send("register"); // the ROUTER learns the peer's identity from its first message
    QCOMPARE(listener.Receive(), QByteArray("echo:register"));

    const int threads = 4, perThread = 500;
    std::atomic<bool> go{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t)
        senders.emplace_back([&, t]() {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < perThread; ++i)
                m_server->Send("listener", QByteArray::number(t) + ":" + QByteArray::number(i));
        });
    go = true;
    Dealer talker(m_pContext, "talker", m_nPort);
    for (int i = 0; i < 200; ++i) {
        talker.Send("ping" + QByteArray::number(i));
        QCOMPARE(talker.Receive(), "echo:ping" + QByteArray::number(i));
    }
    for (auto& sender : senders)
        sender.join();
    QVector<int> next(threads, 0);
    for (int i = 0; i < threads * perThread; ++i) {
        const QList<QByteArray> parts = listener.Receive().split(':');
        QCOMPARE(parts.size(), 2);
        const int t = parts[0].toInt();
        QCOMPARE(parts[1].toInt(), next[t]++); // each thread's messages keep their order
    }
}

QTEST_GUILESS_MAIN(tst_ZmqServer)
#include "tst_ZmqServer.moc"
