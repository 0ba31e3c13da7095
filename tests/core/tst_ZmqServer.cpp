#include "core/ZmqServer.h"
#include "tests/support/ServiceHarness.h"

#include <QtTest>

#include <atomic>
#include <mutex>
#include <thread>

namespace {

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
    void tenThousandInFlightAllAnswered();
    void sendsFromManyThreadsWhileClientsTalk();

private:
    std::unique_ptr<ZmqServer> m_server;
    quint16 m_nPort = 0;
    std::mutex m_mutex;
    QList<QPair<QByteArray, QByteArray>> m_received;
};

void tst_ZmqServer::init()
{
    m_server = std::make_unique<ZmqServer>();
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
