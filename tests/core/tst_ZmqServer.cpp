#include "core/ZmqServer.h"
#include "tests/support/ServiceHarness.h"

#include <QtTest>

#include <zmq.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

// Counts the log lines that contain a text, from any thread, while it lives; other lines go on
// to the test's own handler.
class LineCounter
{
public:
    explicit LineCounter(const QString& _qstrNeedle)
    {
        s_needle = _qstrNeedle;
        s_count = 0;
        s_previous = qInstallMessageHandler(&Handle);
    }
    ~LineCounter() { qInstallMessageHandler(s_previous); }
    int count() const { return s_count.load(); }

private:
    static void Handle(QtMsgType _type, const QMessageLogContext& _context, const QString& _qstrText)
    {
        if (_qstrText.contains(s_needle))
            ++s_count;
        else
            s_previous(_type, _context, _qstrText);
    }
    static inline QString s_needle;
    static inline std::atomic<int> s_count{0};
    static inline QtMessageHandler s_previous = nullptr;
};

// A peer that reads nothing and holds at most one message and a small socket buffer, so what
// is sent to it stays in the server.
class DeafPeer
{
public:
    DeafPeer(void* _pContext, const QByteArray& _baName, quint16 _nPort)
    {
        m_pSocket = zmq_socket(_pContext, ZMQ_DEALER);
        zmq_setsockopt(m_pSocket, ZMQ_ROUTING_ID, _baName.constData(), static_cast<size_t>(_baName.size()));
        const int one = 1, buffer = 4096, linger = 0;
        zmq_setsockopt(m_pSocket, ZMQ_RCVHWM, &one, sizeof one);
        zmq_setsockopt(m_pSocket, ZMQ_RCVBUF, &buffer, sizeof buffer);
        zmq_setsockopt(m_pSocket, ZMQ_LINGER, &linger, sizeof linger);
        zmq_connect(m_pSocket, ("tcp://127.0.0.1:" + QByteArray::number(_nPort)).constData());
        // Its first message tells the server which connection is its.
        zmq_send(m_pSocket, "8", 1, ZMQ_SNDMORE);
        zmq_send(m_pSocket, "register", 8, 0);
    }
    ~DeafPeer() { zmq_close(m_pSocket); }
    DeafPeer(const DeafPeer&) = delete;
    DeafPeer& operator=(const DeafPeer&) = delete;

private:
    void* m_pSocket = nullptr;
};

// The body of the next message, "bad frames" when it is not a length and a body that agree,
// null after the bound.
QByteArray Receive(ZmqTestClient& _client, int _nTimeoutMs = 5000)
{
    const auto frames = _client.receiveFrames(_nTimeoutMs);
    if (!frames)
        return QByteArray();
    if (frames->size() != 2 || frames->at(0).toInt() != frames->at(1).size())
        return QByteArray("bad frames");
    return frames->at(1);
}

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
    void identitiesAreTakenWhole_data();
    void identitiesAreTakenWhole();
    void peersThatNeverReadStayUnderTheTotalBound();
    void tenThousandInFlightAllAnswered();
    void sendsFromManyThreadsWhileClientsTalk();

private:
    void StartServer(qint64 _nMaxUnsentTotal);

    std::unique_ptr<ZmqServer> m_server;
    quint16 m_nPort = 0;
    std::mutex m_mutex;
    QList<QPair<QByteArray, QByteArray>> m_received;
};

void tst_ZmqServer::init()
{
    StartServer(ZmqServer::kMaxUnsentBytesTotal);
}

void tst_ZmqServer::StartServer(qint64 _nMaxUnsentTotal)
{
    if (m_server)
        m_server->Stop();
    m_server = std::make_unique<ZmqServer>();
    m_server->SetMaxUnsentTotal(_nMaxUnsentTotal);
    m_received.clear();
    // Echo every body back to its sender, as the hub's answer would be.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_nPort = pickFreePort();
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
        m_server->SetMaxUnsentTotal(_nMaxUnsentTotal);
    }
    QFAIL("no free port");
}

void tst_ZmqServer::cleanup()
{
    m_server->Stop(); // the echo callback uses m_server until the thread is joined
    m_server.reset();
}

void tst_ZmqServer::echoesThroughTheThreeFrameFormat()
{
    ZmqTestClient client("alice", m_nPort);
    client.sendText("hello");
    QCOMPARE(Receive(client), QByteArray("echo:hello"));
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
    ZmqTestClient client("bob", m_nPort);
    client.sendFrames(frames);
    // The same client's next message must still work, and nothing else may arrive before it.
    client.sendText("next");
    if (!delivered.isEmpty())
        QCOMPARE(Receive(client), "echo:" + delivered);
    QCOMPARE(Receive(client), QByteArray("echo:next"));
}

void tst_ZmqServer::reservedAndEmptyIdentitiesAreIgnored()
{
    ZmqTestClient impostor("message_service", m_nPort);
    impostor.sendText("take over");
    ZmqTestClient honest("carol", m_nPort);
    honest.sendText("hi");
    QCOMPARE(Receive(honest), QByteArray("echo:hi"));
    QCOMPARE(Receive(impostor, 200), QByteArray());
    std::lock_guard<std::mutex> lock(m_mutex);
    QCOMPARE(m_received.size(), 1);
}

void tst_ZmqServer::identitiesAreTakenWhole_data()
{
    QTest::addColumn<QByteArray>("identity");
    QTest::addColumn<bool>("accepted");
    // Cut at its zero byte, the first would pass for the client "myapp".
    QTest::newRow("zero byte inside") << QByteArray("myapp\0evil", 10) << false;
    QTest::newRow("not UTF-8") << QByteArray("myapp\xff") << false;
    QTest::newRow("sequence cut short") << QByteArray("myapp\xc3") << false;
    QTest::newRow("overlong form") << QByteArray("myapp\xc0\xaf") << false;
    QTest::newRow("UTF-8 name") << QByteArray("myapp\xc3\xa9") << true;
}

void tst_ZmqServer::identitiesAreTakenWhole()
{
    QFETCH(QByteArray, identity);
    QFETCH(bool, accepted);
    LineCounter refusals("peer identity refused");
    ZmqTestClient myapp("myapp", m_nPort);
    myapp.sendText("hi");
    QCOMPARE(Receive(myapp), QByteArray("echo:hi"));
    const auto other = ZmqTestClient::withIdentity(identity, m_nPort);
    const int kCount = 20;
    for (int i = 0; i < kCount; ++i)
        other->sendText("other " + QByteArray::number(i));
    if (accepted) {
        for (int i = 0; i < kCount; ++i)
            QCOMPARE(Receive(*other), "echo:other " + QByteArray::number(i));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(refusals.count(), 1, 5000);
        // The server takes a message from each peer in turn, so by the end of these the other's
        // have all been read.
        for (int i = 0; i < 2 * kCount; ++i) {
            myapp.sendText("ping");
            QCOMPARE(Receive(myapp), QByteArray("echo:ping"));
        }
        QVERIFY(!Receive(*other, 100).size());
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    int fromOther = 0;
    for (const auto& received : qAsConst(m_received)) {
        if (!received.second.startsWith("other "))
            continue;
        ++fromOther;
        QCOMPARE(received.first, identity); // whole, never another client's name
    }
    QCOMPARE(fromOther, accepted ? kCount : 0);
    QCOMPARE(refusals.count(), accepted ? 0 : 1); // one line a minute, however many
}

void tst_ZmqServer::peersThatNeverReadStayUnderTheTotalBound()
{
    const qint64 kBound = 8 * 1024 * 1024;
    StartServer(kBound);
    LineCounter dropped("the peer holding the most dropped");
    void* context = zmq_ctx_new();
    {
        std::vector<std::unique_ptr<DeafPeer>> deaf;
        const QList<QByteArray> names{"deaf0", "deaf1", "deaf2", "deaf3"};
        for (const QByteArray& name : names)
            deaf.push_back(std::make_unique<DeafPeer>(context, name, m_nPort));
        QTRY_COMPARE_WITH_TIMEOUT(
            [&] {
                std::lock_guard<std::mutex> lock(m_mutex);
                return m_received.size();
            }(),
            names.size(), 5000);
        ZmqTestClient reader("reader", m_nPort);

        // Ten times the bound, to peers that never read: without a bound for all together each
        // would hold up to the bound for one peer.
        const QByteArray chunk(256 * 1024, 'x');
        qint64 most = 0;
        for (int round = 0; round < 80; ++round)
            for (const QByteArray& name : names) {
                m_server->Send(name, chunk);
                most = qMax(most, m_server->UnsentTotal());
            }
        QVERIFY2(most <= kBound, qPrintable(QString::number(most)));
        QTRY_VERIFY_WITH_TIMEOUT(dropped.count() >= 1, 5000);
        // The peers' connections were closed and what they held given back.
        QTRY_VERIFY2_WITH_TIMEOUT(m_server->UnsentTotal() <= kBound - kBound / 4,
                                  qPrintable(QString::number(m_server->UnsentTotal())), 10000);
        // A peer that reads is still answered.
        reader.sendText("after");
        QCOMPARE(Receive(reader), QByteArray("echo:after"));
    }
    zmq_ctx_term(context);
}

void tst_ZmqServer::tenThousandInFlightAllAnswered()
{
    ZmqTestClient client("bulk", m_nPort);
    const int count = 10000;
    for (int i = 0; i < count; ++i)
        client.sendText(QByteArray::number(i));
    for (int i = 0; i < count; ++i)
        QCOMPARE(Receive(client), "echo:" + QByteArray::number(i));
}

void tst_ZmqServer::sendsFromManyThreadsWhileClientsTalk()
{
    ZmqTestClient listener("listener", m_nPort);
    listener.sendText("register"); // the ROUTER learns the peer's identity from its first message
    QCOMPARE(Receive(listener), QByteArray("echo:register"));

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
    ZmqTestClient talker("talker", m_nPort);
    for (int i = 0; i < 200; ++i) {
        talker.sendText("ping" + QByteArray::number(i));
        QCOMPARE(Receive(talker), "echo:ping" + QByteArray::number(i));
    }
    for (auto& sender : senders)
        sender.join();
    QVector<int> next(threads, 0);
    for (int i = 0; i < threads * perThread; ++i) {
        const QList<QByteArray> parts = Receive(listener).split(':');
        QCOMPARE(parts.size(), 2);
        const int t = parts[0].toInt();
        QCOMPARE(parts[1].toInt(), next[t]++); // each thread's messages keep their order
    }
}

QTEST_GUILESS_MAIN(tst_ZmqServer)
#include "tst_ZmqServer.moc"
