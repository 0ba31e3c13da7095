#include "core/WebSocketHandshake.h"

#include <QtTest>

// What the service's end-to-end tests cannot cheaply reach: requests cut short or too long,
// header forms only some clients send, and frames that follow the request in the same packet.
class tst_WebSocketHandshake : public QObject
{
    Q_OBJECT
private slots:
    void verdict_data();
    void verdict();
};

using Kind = WebSocketHandshake::Verdict::Kind;
Q_DECLARE_METATYPE(Kind)

namespace {
const QByteArray kHost = "Host: localhost:8080\r\n";
const QByteArray kRest = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
const QByteArray kUpgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\n";
} // namespace

void tst_WebSocketHandshake::verdict_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QByteArray>("status"); // the answer's first line
    QTest::addColumn<int>("requestBytes");
    const QByteArray request = "GET /chat HTTP/1.1\r\n" + kHost + kUpgrade + kRest + "\r\n";
    QTest::newRow("whole") << request << Kind::Upgrade << QByteArray("HTTP/1.1 101 Switching Protocols")
                           << request.size();
    QTest::newRow("frames right behind") << request + "\x81\x85" << Kind::Upgrade
                                         << QByteArray("HTTP/1.1 101 Switching Protocols") << request.size();
    QTest::newRow("without its blank line yet")
        << request.chopped(2) << Kind::Incomplete << QByteArray() << 0;
    QTest::newRow("blank line past the bound")
        << "GET / HTTP/1.1\r\nX: " + QByteArray(WebSocketHandshake::kMaxRequestBytes, 'x') + "\r\n\r\n"
        << Kind::TooLarge << QByteArray("HTTP/1.1 431 Request Header Fields Too Large") << 0;
    QTest::newRow("token lists, any case")
        << "GET / HTTP/1.1\r\n" + kHost + "upgrade: WebSocket\r\nCONNECTION: keep-alive, Upgrade\r\n" +
               kRest + "\r\n"
        << Kind::Upgrade << QByteArray("HTTP/1.1 101 Switching Protocols") << -1;
    QTest::newRow("older browsers' origin header")
        << "GET / HTTP/1.1\r\n" + kHost + "Sec-WebSocket-Origin: https://evil.example\r\n" + kUpgrade +
               kRest + "\r\n"
        << Kind::Refused << QByteArray("HTTP/1.1 403 Forbidden") << 0;
    QTest::newRow("allowed origin") << "GET / HTTP/1.1\r\n" + kHost + "Origin: APP://Trusted\r\n" + kUpgrade +
                                           kRest + "\r\n"
                                    << Kind::Upgrade << QByteArray("HTTP/1.1 101 Switching Protocols") << -1;
    QTest::newRow("no Connection: Upgrade")
        << "GET / HTTP/1.1\r\n" + kHost + "Upgrade: websocket\r\n" + kRest + "\r\n"
        << Kind::Refused << QByteArray("HTTP/1.1 400 Bad Request") << 0;
}

void tst_WebSocketHandshake::verdict()
{
    QFETCH(QByteArray, received);
    QFETCH(Kind, kind);
    QFETCH(QByteArray, status);
    QFETCH(int, requestBytes);
    const WebSocketHandshake::Verdict verdict =
        WebSocketHandshake::Check(received, 8080, {QStringLiteral("app://trusted")});
    QCOMPARE(verdict.kind, kind);
    QCOMPARE(verdict.response.left(verdict.response.indexOf("\r\n")), status);
    if (requestBytes >= 0)
        QCOMPARE(verdict.requestBytes, requestBytes);
    if (kind == Kind::Upgrade)
        QVERIFY(verdict.response.endsWith("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n"));
}

QTEST_GUILESS_MAIN(tst_WebSocketHandshake)
#include "tst_WebSocketHandshake.moc"
