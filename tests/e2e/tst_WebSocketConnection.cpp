// The server's WebSocket framing through the running service, with a client that writes frames
// by hand: the upgrade answer, control frames, fragments, protocol violations, sizes refused
// from the header, and a half-sent frame that must not hold up anybody else.
#include "tests/support/ServiceHarness.h"

#include <QtEndian>
#include <QtTest>

namespace {

// A frame as a client sends it: masked, with the smallest length encoding.
QByteArray Frame(quint8 _nFirstByte, const QByteArray& _baPayload, bool _blMask = true)
{
    QByteArray frame;
    frame.append(static_cast<char>(_nFirstByte));
    const quint64 length = static_cast<quint64>(_baPayload.size());
    const char maskBit = _blMask ? char(0x80) : char(0);
    if (length < 126) {
        frame.append(static_cast<char>(maskBit | char(length)));
    } else if (length <= 0xFFFF) {
        frame.append(static_cast<char>(maskBit | 126));
        uchar bytes[2];
        qToBigEndian<quint16>(quint16(length), bytes);
        frame.append(reinterpret_cast<const char*>(bytes), 2);
    } else {
        frame.append(static_cast<char>(maskBit | 127));
        uchar bytes[8];
        qToBigEndian<quint64>(length, bytes);
        frame.append(reinterpret_cast<const char*>(bytes), 8);
    }
    if (!_blMask)
        return frame + _baPayload;
    const char mask[4] = {0x12, 0x34, 0x56, 0x78};
    frame.append(mask, 4);
    for (int i = 0; i < _baPayload.size(); ++i)
        frame.append(static_cast<char>(_baPayload.at(i) ^ mask[i & 3]));
    return frame;
}

QByteArray LoginText(const QString& _qstrName)
{
    return makeLogin(_qstrName).ToString();
}

} // namespace

class tst_WebSocketConnection : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void upgradeAnswer();
    void upgradeRefused_data();
    void upgradeRefused();
    void violationClosesConnection_data();
    void violationClosesConnection();
    void pingAnsweredAndFragmentsJoined();
    void largeMessagesBothWays();
    void halfSentFrameHoldsUpNobody();
    void halfSentFrameThenDisconnect();

private:
    std::unique_ptr<ServiceProcess> m_pService;
};

void tst_WebSocketConnection::initTestCase()
{
    m_pService = std::make_unique<ServiceProcess>();
    QVERIFY2(m_pService->start(), qPrintable(m_pService->errorString()));
}

void tst_WebSocketConnection::cleanupTestCase()
{
    QVERIFY2(m_pService->sanitizerReport().isEmpty(), qPrintable(m_pService->sanitizerReport().left(4000)));
    QVERIFY(m_pService->isRunning());
    m_pService.reset();
}

void tst_WebSocketConnection::upgradeAnswer()
{
    RawWsClient client;
    QVERIFY(client.Open(m_pService->wsPort()));
    const QByteArray response = client.ResponseHead();
    // The accept key of the key above, as RFC 6455 computes it.
    QVERIFY2(response.contains("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), response.constData());
    client.Write(Frame(0x81, LoginText(QStringLiteral("raw_login"))));
    const auto answer = client.ReadText();
    QVERIFY(answer);
    QVERIFY(answer->contains("\"type\":\"notify_ret\""));
}

void tst_WebSocketConnection::upgradeRefused_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(m_pService->wsPort()) + "\r\n";
    const QByteArray upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\n";
    const QByteArray key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    QTest::newRow("POST") << "POST / HTTP/1.1\r\n" + host + upgrade + key +
                                 "Sec-WebSocket-Version: 13\r\n\r\n"
                          << QByteArray("400");
    QTest::newRow("plain HTTP") << "GET / HTTP/1.1\r\n" + host + "\r\n" << QByteArray("400");
    QTest::newRow("version 8") << "GET / HTTP/1.1\r\n" + host + upgrade + key +
                                      "Sec-WebSocket-Version: 8\r\n\r\n"
                               << QByteArray("426");
    QTest::newRow("short key") << "GET / HTTP/1.1\r\n" + host + upgrade +
                                      "Sec-WebSocket-Key: c2hvcnQ=\r\nSec-WebSocket-Version: 13\r\n\r\n"
                               << QByteArray("400");
    QTest::newRow("two hosts") << "GET / HTTP/1.1\r\n" + host + host + upgrade + key +
                                      "Sec-WebSocket-Version: 13\r\n\r\n"
                               << QByteArray("403");
}

void tst_WebSocketConnection::upgradeRefused()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    RawWsClient client;
    QVERIFY(!client.Open(m_pService->wsPort(), request));
    const QByteArray head = client.ResponseHead();
    QVERIFY2(head.startsWith("HTTP/1.1 " + status), head.constData());
    if (status == "426")
        QVERIFY(head.contains("Sec-WebSocket-Version: 13"));
    QVERIFY(client.WaitClosedByServer(5000));
}

void tst_WebSocketConnection::violationClosesConnection_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("closeCode");
    QTest::newRow("unmasked frame") << Frame(0x81, "hello", false) << 1002;
    QTest::newRow("reserved bit") << Frame(0x81 | 0x40, "hello") << 1002;
    QTest::newRow("unknown opcode") << Frame(0x83, "hello") << 1002;
    QTest::newRow("control frame of 126 bytes") << Frame(0x89, QByteArray(126, 'p')) << 1002;
    QTest::newRow("fragmented ping") << Frame(0x09, "p") << 1002;
    QTest::newRow("continuation without a start") << Frame(0x80, "x") << 1002;
    QTest::newRow("new message inside a fragmented one") << Frame(0x01, "a") + Frame(0x81, "b") << 1002;
    QTest::newRow("invalid UTF-8") << Frame(0x81, "\xC3\x28") << 1007;
    QTest::newRow("UTF-16 surrogate in UTF-8") << Frame(0x81, "\xED\xA0\x80") << 1007;
    QTest::newRow("overlong UTF-8") << Frame(0x81, "\xC0\xAF") << 1007;
    // Only the header: the size alone refuses it (before a login, 1 MiB at most).
    QTest::newRow("2 MiB announced") << Frame(0x81, QByteArray(2 * 1024 * 1024, 'x')).left(14) << 1009;
    QTest::newRow("2^63 announced") << QByteArray::fromHex("81ff7fffffffffffffff12345678") << 1009;
    QTest::newRow("64-bit length with its top bit")
        << QByteArray::fromHex("81ff800000000000000512345678") << 1002;
    QTest::newRow("5 bytes in the 16-bit form") << QByteArray::fromHex("81fe000512345678") + "hello" << 1002;
    QTest::newRow("5 bytes in the 64-bit form")
        << QByteArray::fromHex("81ff000000000000000512345678") + "hello" << 1002;
    QTest::newRow("close with one byte") << Frame(0x88, "\x03") << 1002;
    for (const int code : {0, 999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535}) {
        QByteArray payload(2, '\0');
        qToBigEndian<quint16>(quint16(code), reinterpret_cast<uchar*>(payload.data()));
        QTest::newRow(qPrintable(QStringLiteral("close code %1").arg(code))) << Frame(0x88, payload) << 1002;
    }
    QTest::newRow("close reason not UTF-8") << Frame(0x88, QByteArray::fromHex("03e8c328")) << 1007;
    // Valid closes are answered with the peer's own code.
    QTest::newRow("close 1000 with a reason") << Frame(0x88, QByteArray::fromHex("03e8") + "bye") << 1000;
    QTest::newRow("close 1014") << Frame(0x88, QByteArray::fromHex("03f6")) << 1014;
    QTest::newRow("close 4999") << Frame(0x88, QByteArray::fromHex("1387")) << 4999;
    QTest::newRow("close without a code") << Frame(0x88, QByteArray()) << 1000;
}

void tst_WebSocketConnection::violationClosesConnection()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, closeCode);
    RawWsClient client;
    QVERIFY(client.Open(m_pService->wsPort()));
    client.Write(bytes);
    std::optional<ServerFrame> frame;
    do
        frame = client.Read();
    while (frame && frame->opcode != 0x8);
    QVERIFY2(frame, "no close frame");
    QVERIFY(frame->payload.size() >= 2);
    QCOMPARE(int(qFromBigEndian<quint16>(frame->payload.constData())), closeCode);
    QVERIFY(client.WaitClosedByServer());
}

void tst_WebSocketConnection::pingAnsweredAndFragmentsJoined()
{
    RawWsClient client;
    QVERIFY(client.Open(m_pService->wsPort()));
    client.Write(Frame(0x89, "are you there"));
    const auto pong = client.Read();
    QVERIFY(pong);
    QCOMPARE(pong->opcode, quint8(0xA));
    QCOMPARE(pong->payload, QByteArray("are you there"));

    // A login in three fragments, a ping between them; the multi-byte character is split too.
    const QByteArray login = makeLogin(QString::fromUtf8("fragmented_\xC3\xA9")).ToString();
    const int split = login.indexOf("\xC3") + 1;
    client.Write(Frame(0x01, login.left(10)));
    client.Write(Frame(0x00, login.mid(10, split - 10)));
    client.Write(Frame(0x89, "mid"));
    client.Write(Frame(0x80, login.mid(split)));
    const auto midPong = client.Read();
    QVERIFY(midPong);
    QCOMPARE(midPong->opcode, quint8(0xA));
    const auto answer = client.ReadText();
    QVERIFY(answer);
    JsonCommand ret;
    ret.LoadFromString(*answer);
    QCOMPARE(ret.type, QStringLiteral("notify_ret"));
    QCOMPARE(ret.error_code, 0);
    // The name came through whole: an envelope for it comes back on this connection.
    const JsonCommand toSelf = makeTransfer({QStringLiteral("fragmented_\u00e9")}, QStringLiteral("me"));
    client.Write(Frame(0x81, toSelf.ToString()));
    bool relayed = false;
    while (!relayed) {
        const auto text = client.ReadText();
        QVERIFY(text);
        JsonCommand env;
        env.LoadFromString(*text);
        relayed = env.guid == toSelf.guid && env.type == QLatin1String("transfer");
    }

    // A close from the client is answered with the same code.
    QByteArray closePayload(2, '\0');
    qToBigEndian<quint16>(1000, reinterpret_cast<uchar*>(closePayload.data()));
    client.Write(Frame(0x88, closePayload + "bye"));
    std::optional<ServerFrame> closeFrame;
    do // the hub's answer to the transfer may come first
        closeFrame = client.Read();
    while (closeFrame && closeFrame->opcode == 0x1);
    QVERIFY(closeFrame);
    QCOMPARE(closeFrame->opcode, quint8(0x8));
    QCOMPARE(int(qFromBigEndian<quint16>(closeFrame->payload.constData())), 1000);
    QVERIFY(client.WaitClosedByServer());
}

void tst_WebSocketConnection::largeMessagesBothWays()
{
    // 64-bit lengths in both directions; 2 MiB is under the default limit once logged in.
    WsTestClient a(QStringLiteral("large_a"), m_pService->wsPort());
    WsTestClient b(QStringLiteral("large_b"), m_pService->wsPort());
    QVERIFY(a.login());
    QVERIFY(b.login());
    QString payload;
    for (int i = 0; payload.size() < 2 * 1024 * 1024; ++i)
        payload += QString::number(i) + QLatin1Char(',');
    const JsonCommand big = makeTransfer({QStringLiteral("large_b")}, payload);
    QVERIFY(a.send(big));
    const auto arrived = b.waitFor([&](const JsonCommand& c) { return c.guid == big.guid; }, 30000);
    QVERIFY(arrived);
    QCOMPARE(arrived->data, payload);
}

void tst_WebSocketConnection::halfSentFrameHoldsUpNobody()
{
    // The slow client stops in the middle of a frame ...
    RawWsClient slow;
    QVERIFY(slow.Open(m_pService->wsPort()));
    const QByteArray frame = Frame(0x81, LoginText(QStringLiteral("slow_writer")));
    slow.Write(frame.left(frame.size() / 2));
    QElapsedTimer sinceHalf;
    sinceHalf.start();

    // ... while two others keep talking through the same thread of the service.
    WsTestClient a(QStringLiteral("chat_a"), m_pService->wsPort());
    WsTestClient b(QStringLiteral("chat_b"), m_pService->wsPort());
    QVERIFY(a.login());
    QVERIFY(b.login());
    for (int i = 0; i < 20; ++i) {
        const JsonCommand note = makeTransfer({QStringLiteral("chat_b")}, QString::number(i));
        QVERIFY(a.send(note));
        QVERIFY(b.waitFor([&](const JsonCommand& c) { return c.guid == note.guid; }, 10000));
    }

    // A reader that gave up on partial frames after a few seconds would have dropped the slow
    // client by now; here it finishes its frame and is logged in.
    QTest::qWait(int(qMax<qint64>(0, 6000 - sinceHalf.elapsed())));
    slow.Write(frame.mid(frame.size() / 2));
    const auto answer = slow.ReadText();
    QVERIFY2(answer, "the slow client was dropped");
    QVERIFY(answer->contains("\"type\":\"notify_ret\""));
}

void tst_WebSocketConnection::halfSentFrameThenDisconnect()
{
    {
        RawWsClient gone;
        QVERIFY(gone.Open(m_pService->wsPort()));
        const QByteArray frame = Frame(0x81, LoginText(QStringLiteral("gone_midframe")));
        gone.Write(frame.left(frame.size() / 2));
    } // the socket closes with half a frame sent
    WsTestClient after(QStringLiteral("after_gone"), m_pService->wsPort());
    QVERIFY(after.login());
    const JsonCommand query = makeCommand(QStringLiteral("query"), QStringLiteral("command_abilities"));
    QVERIFY(after.send(query));
    QVERIFY(after.waitFor([&](const JsonCommand& c) { return c.guid == query.guid; }, 10000));
    QVERIFY(m_pService->isRunning());
    QCOMPARE(m_pService->sanitizerReport(), QString());
}

QTEST_GUILESS_MAIN(tst_WebSocketConnection)
#include "tst_WebSocketConnection.moc"
