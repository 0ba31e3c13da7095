// The client end against a service end the test plays byte by byte: answers to the upgrade it
// must refuse, frames it must join, bound or refuse, and both ways of closing.
#include "core/WebSocketClient.h"
#include "tests/support/HttpTestServer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

namespace {

// A frame as a server sends it: unmasked, first byte as given (FIN, opcode).
QByteArray ServerFrame(quint8 _nFirstByte, const QByteArray& _baPayload)
{
    QByteArray frame = WebSocketFraming::FrameHeader(0, static_cast<quint64>(_baPayload.size())) + _baPayload;
    frame[0] = static_cast<char>(_nFirstByte);
    return frame;
}

QByteArray CloseFrame(quint16 _nCode, const QByteArray& _baReason)
{
    return ServerFrame(0x88, WebSocketFraming::ClosePayload(_nCode, _baReason));
}

// The service's end: takes one connection and keeps what it sends.
class Peer
{
public:
    Peer()
    {
        m_server.listen(QHostAddress::LocalHost);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this]() {
            m_pSocket = m_server.nextPendingConnection();
            QObject::connect(m_pSocket, &QTcpSocket::readyRead,
                             [this]() { m_received += m_pSocket->readAll(); });
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    bool waitForRequest()
    {
        return QTest::qWaitFor([this]() { return m_received.contains("\r\n\r\n"); }, 5000);
    }
    QByteArray request() const { return m_received.left(m_received.indexOf("\r\n\r\n")); }
    QByteArray header(const QByteArray& _baName) const { return HttpTestServer::Header(request(), _baName); }
    QByteArray acceptAnswer() const
    {
        return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Accept: " +
               WebSocketFraming::AcceptKey(header("Sec-WebSocket-Key")) + "\r\n\r\n";
    }
    void write(const QByteArray& _baBytes) { m_pSocket->write(_baBytes); }
    void closeSocket() { m_pSocket->disconnectFromHost(); }
    // What came after the upgrade request.
    QByteArray frames() const { return m_received.mid(m_received.indexOf("\r\n\r\n") + 4); }
    // The next text or close the client sent, read as the service reads it (masked frames only).
    WebSocketFraming::Item nextFromClient(int _nTimeoutMs = 5000)
    {
        WebSocketFraming::Item item;
        const bool arrived = QTest::qWaitFor(
            [&]() {
                m_reader.Append(frames().mid(m_nFed));
                m_nFed = frames().size();
                item = m_reader.Next();
                return item.kind != WebSocketFraming::Item::Kind::None;
            },
            _nTimeoutMs);
        return arrived ? item : WebSocketFraming::Item();
    }

    QTcpServer m_server;

private:
    QTcpSocket* m_pSocket = nullptr;
    QByteArray m_received;
    WebSocketFraming m_reader{true, 1 << 20};
    int m_nFed = 0;
};

// What the client reported, in order.
struct Events
{
    explicit Events(WebSocketClient& _client)
        : connected(&_client, &WebSocketClient::SignConnected),
          texts(&_client, &WebSocketClient::SignTextMessage), errors(&_client, &WebSocketClient::SignError),
          disconnected(&_client, &WebSocketClient::SignDisconnected)
    {
    }
    QSignalSpy connected, texts, errors, disconnected;
};

} // namespace

class tst_WebSocketClient : public QObject
{
    Q_OBJECT
private slots:
    void requestAndMaskedText();
    void upgradeRefused_data();
    void upgradeRefused();
    void framesJoinedAndPingAnswered();
    void largeMessageWhole();
    void refusedFrames_data();
    void refusedFrames();
    void closedByService();
    void closedByClientWithoutAnswer();
};

void tst_WebSocketClient::requestAndMaskedText()
{
    Peer peer;
    WebSocketClient client;
    Events events(client);
    client.Open(peer.port(), "http://localhost:8080");
    QVERIFY(peer.waitForRequest());
    QVERIFY2(peer.request().startsWith("GET / HTTP/1.1\r\n"), peer.request().constData());
    QCOMPARE(peer.header("Host"), "127.0.0.1:" + QByteArray::number(peer.port()));
    QCOMPARE(peer.header("Origin"), QByteArray("http://localhost:8080"));
    QCOMPARE(peer.header("Sec-WebSocket-Version"), QByteArray("13"));
    const QByteArray key = peer.header("Sec-WebSocket-Key");
    QCOMPARE(QByteArray::fromBase64(key).size(), 16);
    QVERIFY(!client.IsOpen());
    QCOMPARE(client.SendText("too early"), qint64(0));

    peer.write(peer.acceptAnswer());
    QTRY_COMPARE_WITH_TIMEOUT(events.connected.count(), 1, 5000);
    QVERIFY(client.IsOpen());
    const QByteArray text = QString::fromUtf8("h\u00e9llo").toUtf8();
    QCOMPARE(client.SendText(text), qint64(text.size()));
    // The reader refuses unmasked frames, so a text item shows the frame was masked.
    const WebSocketFraming::Item item = peer.nextFromClient();
    QCOMPARE(int(item.kind), int(WebSocketFraming::Item::Kind::Text));
    QCOMPARE(item.payload, text);
    QVERIFY(events.errors.isEmpty());

    // Another connection asks with another key, and without an Origin header.
    Peer second;
    WebSocketClient other;
    other.Open(second.port());
    QVERIFY(second.waitForRequest());
    QVERIFY(second.header("Sec-WebSocket-Key") != key);
    QVERIFY(!second.request().toLower().contains("\norigin:"));
}

void tst_WebSocketClient::upgradeRefused_data()
{
    QTest::addColumn<QByteArray>("answer"); // "accept:" + headers: a 101 with the right key and these
    QTest::addColumn<QString>("error");
    QTest::newRow("403") << QByteArray("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                         << "upgrade refused: HTTP/1.1 403 Forbidden";
    QTest::newRow("wrong accept key")
        << QByteArray("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Accept: "
                      "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n")
        << "wrong Sec-WebSocket-Accept";
    QTest::newRow("no Upgrade header")
        << QByteArray("HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n\r\n")
        << "not a WebSocket upgrade";
    QTest::newRow("extension not asked for")
        << QByteArray("accept:Sec-WebSocket-Extensions: permessage-deflate") << "extension or subprotocol";
    QTest::newRow("closed before answering") << QByteArray() << "closed the connection before the upgrade";
    QTest::newRow("endless head") << QByteArray("HTTP/1.1 101 Switching Protocols\r\nX: ") +
                                         QByteArray(20000, 'x')
                                  << "too large";
    QTest::newRow("nobody listens") << QByteArray("nobody") << "cannot connect";
}

void tst_WebSocketClient::upgradeRefused()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, error);
    Peer peer;
    const quint16 port = peer.port();
    if (answer == "nobody")
        peer.m_server.close();
    WebSocketClient client;
    Events events(client);
    client.Open(port);
    if (answer != "nobody") {
        QVERIFY(peer.waitForRequest());
        if (answer.isEmpty()) {
            peer.closeSocket();
        } else if (answer.startsWith("accept:")) {
            QByteArray accepted = peer.acceptAnswer();
            accepted.insert(accepted.size() - 2, answer.mid(7) + "\r\n");
            peer.write(accepted);
        } else {
            peer.write(answer);
        }
    }
    // A refusal may come from within Open() itself (Windows sockets report it at once).
    QVERIFY(events.disconnected.count() > 0 || events.disconnected.wait(10000));
    QCOMPARE(events.connected.count(), 0);
    QCOMPARE(events.errors.count(), 1);
    QVERIFY2(events.errors.at(0).at(0).toString().contains(error), qPrintable(client.ErrorString()));
    QCOMPARE(client.GetState(), WebSocketClient::State::Closed);
    QCOMPARE(events.disconnected.count(), 1);
}

void tst_WebSocketClient::framesJoinedAndPingAnswered()
{
    Peer peer;
    WebSocketClient client;
    Events events(client);
    client.Open(peer.port());
    QVERIFY(peer.waitForRequest());
    // Frames right behind the answer, in the same write; a ping between the fragments of a text
    // whose two-byte character is split between them.
    const QByteArray text = QString::fromUtf8("caf\u00e9 ok").toUtf8();
    peer.write(peer.acceptAnswer() + ServerFrame(0x01, text.left(4)) + ServerFrame(0x89, "p?") +
               ServerFrame(0x80, text.mid(4)));
    QTRY_COMPARE_WITH_TIMEOUT(events.texts.count(), 1, 5000);
    QCOMPARE(events.texts.at(0).at(0).toByteArray(), text);
    // The pong: FIN and opcode 0xA, masked, two bytes of payload.
    QTRY_VERIFY_WITH_TIMEOUT(peer.frames().size() >= 8, 5000);
    const QByteArray pong = peer.frames().left(8);
    QCOMPARE(quint8(pong[0]), quint8(0x8A));
    QCOMPARE(quint8(pong[1]), quint8(0x82));
    QCOMPARE(QByteArray(1, char(pong[6] ^ pong[2])) + char(pong[7] ^ pong[3]), QByteArray("p?"));
    QVERIFY(client.IsOpen());
}

void tst_WebSocketClient::largeMessageWhole()
{
    Peer peer;
    WebSocketClient client;
    Events events(client);
    client.Open(peer.port());
    QVERIFY(peer.waitForRequest());
    // A 64-bit length, arriving over many reads.
    QByteArray big(3 * 1024 * 1024, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char('a' + i % 26);
    peer.write(peer.acceptAnswer() + ServerFrame(0x81, big));
    QTRY_COMPARE_WITH_TIMEOUT(events.texts.count(), 1, 10000);
    QCOMPARE(events.texts.at(0).at(0).toByteArray(), big);
}

void tst_WebSocketClient::refusedFrames_data()
{
    QTest::addColumn<QByteArray>("frames");
    QTest::addColumn<int>("closeCode");
    QTest::addColumn<QString>("error");
    // The bound is 1000 bytes here; only the header arrives, so the refusal reads no payload.
    QTest::newRow("over the bound") << ServerFrame(0x81, QByteArray(1001, 'x')).left(4) << 1009
                                    << "message too big";
    QTest::newRow("over the bound in fragments")
        << ServerFrame(0x01, QByteArray(600, 'x')) + ServerFrame(0x80, QByteArray(401, 'x')) << 1009
        << "message too big";
    QTest::newRow("masked frame") << QByteArray::fromHex("818112345678") + 'a' << 1002
                                  << "server frames must not be masked";
}

void tst_WebSocketClient::refusedFrames()
{
    QFETCH(QByteArray, frames);
    QFETCH(int, closeCode);
    QFETCH(QString, error);
    Peer peer;
    WebSocketClient client(1000);
    Events events(client);
    client.Open(peer.port());
    QVERIFY(peer.waitForRequest());
    peer.write(peer.acceptAnswer() + frames);
    const WebSocketFraming::Item close = peer.nextFromClient();
    QCOMPARE(int(close.kind), int(WebSocketFraming::Item::Kind::Close));
    QCOMPARE(int(close.code), closeCode);
    QCOMPARE(events.errors.count(), 1);
    QVERIFY2(events.errors.at(0).at(0).toString().contains(error), qPrintable(client.ErrorString()));
    QCOMPARE(events.texts.count(), 0);
    QCOMPARE(client.GetState(), WebSocketClient::State::Closing);
    peer.closeSocket();
    QVERIFY(events.disconnected.wait(5000));
}

void tst_WebSocketClient::closedByService()
{
    Peer peer;
    WebSocketClient client;
    Events events(client);
    client.Open(peer.port());
    QVERIFY(peer.waitForRequest());
    peer.write(peer.acceptAnswer() + CloseFrame(1008, "login timeout"));
    // Answered with the same code.
    const WebSocketFraming::Item answer = peer.nextFromClient();
    QCOMPARE(int(answer.kind), int(WebSocketFraming::Item::Kind::Close));
    QCOMPARE(int(answer.code), 1008);
    QCOMPARE(client.CloseCode(), quint16(1008));
    QCOMPARE(client.CloseReason(), QStringLiteral("login timeout"));
    QVERIFY(!client.IsOpen());
    QCOMPARE(client.SendText("late"), qint64(0));
    peer.closeSocket();
    QVERIFY(events.disconnected.wait(5000));
    QVERIFY(events.errors.isEmpty());
}

void tst_WebSocketClient::closedByClientWithoutAnswer()
{
    Peer peer;
    WebSocketClient client;
    Events events(client);
    client.Open(peer.port());
    QVERIFY(peer.waitForRequest());
    peer.write(peer.acceptAnswer());
    QTRY_VERIFY_WITH_TIMEOUT(client.IsOpen(), 5000);
    client.Close(1000, "done");
    const WebSocketFraming::Item close = peer.nextFromClient();
    QCOMPARE(int(close.kind), int(WebSocketFraming::Item::Kind::Close));
    QCOMPARE(int(close.code), 1000);
    QCOMPARE(close.payload, QByteArray("done"));
    // The service never answers: the socket is dropped after the grace period, not kept.
    QElapsedTimer since;
    since.start();
    QVERIFY(events.disconnected.wait(WebSocketClient::kCloseGraceMs + 5000));
    QVERIFY(since.elapsed() >= WebSocketClient::kCloseGraceMs - 500);
    QCOMPARE(client.CloseCode(), quint16(1000));
}

QTEST_GUILESS_MAIN(tst_WebSocketClient)
#include "tst_WebSocketClient.moc"
