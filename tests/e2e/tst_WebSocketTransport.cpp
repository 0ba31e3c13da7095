// The WebSocket transport through the running service: login, relay both ways, duplicate
// logins, handshake checks, size limits, the login queue bound and per-connection failures.
#include "core/WebSocketFraming.h"
#include "core/WebSocket_Server.h"
#include "tests/support/ServiceHarness.h"

#include <QtTest>

#include <unistd.h>

namespace {

const QString kAllowedOrigin = QStringLiteral("http://localhost:8080");

bool IsType(const JsonCommand& _c, const char* _szType)
{
    return _c.type == QLatin1String(_szType);
}

} // namespace

class tst_WebSocketTransport : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void firstMessageMustBeLogin_data();
    void firstMessageMustBeLogin();
    void transferZmqToWsAndBackUnchanged();
    void castReachesEveryClient();
    void duplicateLoginRetargetsName();
    void logoutKeepsConnectionMapped();
    void webSocketWinsOverZmqForSameName();
    void originChecked_data();
    void originChecked();
    void hostChecked_data();
    void hostChecked();
    void brokenConnectionLeavesOthersAlone();
    void fullSpeedExchangeBothWays();
    void otherUsersPeerRefused();
    // Last: they close connections on purpose.
    void messageOverLimitRefused();
    void loginQueueBounded();
    void idleConnectionsLoseTheirPlaceAtTheLoginDeadline();

private:
    std::unique_ptr<ServiceProcess> m_pService;
};

void tst_WebSocketTransport::initTestCase()
{
    m_pService = std::make_unique<ServiceProcess>(QMap<QString, QString>{
        {QStringLiteral("message_service/allowedOrigins"), kAllowedOrigin + QStringLiteral(",app://trusted")},
        {QStringLiteral("message_service/maxMessageBytes"), QStringLiteral("65536")},
    });
    QVERIFY2(m_pService->start(), qPrintable(m_pService->errorString()));
}

void tst_WebSocketTransport::cleanupTestCase()
{
    // Under a sanitizer build the service's own report fails the run.
    QVERIFY2(m_pService->sanitizerReport().isEmpty(), qPrintable(m_pService->sanitizerReport().left(4000)));
    QVERIFY(m_pService->isRunning());
    m_pService.reset();
}

void tst_WebSocketTransport::firstMessageMustBeLogin_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("not json") << QStringLiteral("hello");
    QTest::newRow("json array") << QStringLiteral("[1,2]");
    QTest::newRow("a command") << QString::fromUtf8(
        makeCommand(QStringLiteral("command"), QStringLiteral("download"), QString(), QStringLiteral("x"))
            .ToString());
    QTest::newRow("logout") << QString::fromUtf8(makeCommand(QStringLiteral("notify"),
                                                             QStringLiteral("command_logout"), QString(),
                                                             QStringLiteral("x"))
                                                     .ToString());
    QTest::newRow("login as the service")
        << QString::fromUtf8(makeLogin(QStringLiteral("message_service")).ToString());
}

void tst_WebSocketTransport::firstMessageMustBeLogin()
{
    QFETCH(QString, text);
    WsTestClient client(QStringLiteral("early"), m_pService->wsPort());
    QVERIFY(client.open());
    QVERIFY(client.sendText(text));
    QVERIFY(client.waitForText(QLatin1String(WebSocket_Server::kNotLoggedIn)));
    // Nothing reached the hub: no answer follows, and the connection stays usable.
    QVERIFY(!client.receive(300));
    QVERIFY(client.login());
}

void tst_WebSocketTransport::transferZmqToWsAndBackUnchanged()
{
    ZmqTestClient zmq(QStringLiteral("relay_zmq"), m_pService->zmqPort());
    WsTestClient ws(QStringLiteral("relay_ws"), m_pService->wsPort());
    QVERIFY(zmq.login());
    QVERIFY(ws.login());

    JsonCommand there =
        makeTransfer({QStringLiteral("relay_ws")}, QStringLiteral("{\"k\":\"\\u00e9 \\\"q\\\"\"}"),
                     QStringLiteral("custom"));
    there.from = QStringLiteral("relay_zmq");
    there.userdata = QStringLiteral("ud-1");
    there.force_reply = true;
    there.error_code = 7;
    there.error_string = QStringLiteral("über");
    QVERIFY(zmq.send(there));
    const auto arrived =
        ws.waitFor([&](const JsonCommand& c) { return c.guid == there.guid && IsType(c, "transfer"); });
    QVERIFY(arrived);
    QCOMPARE(*arrived, there);
    const auto ret = zmq.waitFor([&](const JsonCommand& c) { return c.guid == there.guid; });
    QVERIFY(ret);
    QCOMPARE(ret->type, QStringLiteral("transfer_ret"));
    QCOMPARE(ret->error_code, 0);

    JsonCommand back =
        makeTransfer({QStringLiteral("relay_zmq")}, QStringLiteral("reply"), QStringLiteral("custom"));
    back.from = QStringLiteral("relay_ws");
    QVERIFY(ws.send(back));
    const auto returned =
        zmq.waitFor([&](const JsonCommand& c) { return c.guid == back.guid && IsType(c, "transfer"); });
    QVERIFY(returned);
    QCOMPARE(*returned, back);
    QVERIFY(
        ws.waitFor([&](const JsonCommand& c) { return c.guid == back.guid && IsType(c, "transfer_ret"); }));
}

void tst_WebSocketTransport::castReachesEveryClient()
{
    WsTestClient wsA(QStringLiteral("cast_ws_a"), m_pService->wsPort());
    WsTestClient wsB(QStringLiteral("cast_ws_b"), m_pService->wsPort());
    ZmqTestClient zmq(QStringLiteral("cast_zmq"), m_pService->zmqPort());
    QVERIFY(wsA.login());
    QVERIFY(wsB.login());
    QVERIFY(zmq.login());

    JsonCommand cast = makeTransfer({}, QStringLiteral("to all"), QStringLiteral("news"), true);
    QVERIFY(wsA.send(cast));
    const auto isCast = [&](const JsonCommand& c) {
        return c.guid == cast.guid && IsType(c, "transfer") && c.error_code == 0;
    };
    QVERIFY(wsA.waitFor(isCast)); // the sender too
    QVERIFY(wsB.waitFor(isCast));
    QVERIFY(zmq.waitFor(isCast));
    // The service is a client as well: none of its abilities takes "news", so it says so.
    const auto refused =
        wsA.waitFor([&](const JsonCommand& c) { return c.guid == cast.guid && c.error_code == -4; });
    QVERIFY(refused);
    QCOMPARE(refused->from, QStringLiteral("message_service"));
}

void tst_WebSocketTransport::duplicateLoginRetargetsName()
{
    WsTestClient first(QStringLiteral("dup"), m_pService->wsPort());
    WsTestClient second(QStringLiteral("dup"), m_pService->wsPort());
    ZmqTestClient sender(QStringLiteral("dup_sender"), m_pService->zmqPort());
    QVERIFY(first.login());
    QVERIFY(second.login());
    QVERIFY(sender.login());
    QVERIFY(m_pService->waitForLog(QStringLiteral("WebSocket_Server::DealLoginMessage login duplicate!:")));

    const JsonCommand note = makeTransfer({QStringLiteral("dup")}, QStringLiteral("for dup"));
    QVERIFY(sender.send(note));
    QVERIFY(second.waitFor([&](const JsonCommand& c) { return c.guid == note.guid; }));
    QVERIFY(!first.waitFor([&](const JsonCommand& c) { return c.guid == note.guid; }, 300));

    // The old connection is still open but no longer logged in.
    QVERIFY(first.isConnected());
    QVERIFY(first.send(makeTransfer({QStringLiteral("dup_sender")}, QStringLiteral("x"))));
    QVERIFY(first.waitForText(QLatin1String(WebSocket_Server::kNotLoggedIn)));
}

void tst_WebSocketTransport::logoutKeepsConnectionMapped()
{
    WsTestClient ws(QStringLiteral("leaver"), m_pService->wsPort());
    ZmqTestClient zmq(QStringLiteral("leaver_peer"), m_pService->zmqPort());
    QVERIFY(ws.login({QStringLiteral("leaver_cmd")}));
    QVERIFY(zmq.login());

    QVERIFY(ws.send(makeCommand(QStringLiteral("notify"), QStringLiteral("command_logout"))));
    QVERIFY(ws.waitFor([](const JsonCommand& c) { return IsType(c, "notify_ret"); }));
    // Gone from the registry ...
    const JsonCommand query =
        makeCommand(QStringLiteral("query"), QStringLiteral("command_ability"), QStringLiteral("leaver_cmd"));
    QVERIFY(zmq.send(query));
    const auto answer = zmq.waitFor([&](const JsonCommand& c) { return c.guid == query.guid; });
    QVERIFY(answer);
    QCOMPARE(answer->error_code, -3);
    // ... but the connection still carries the name both ways.
    const JsonCommand toLeaver = makeTransfer({QStringLiteral("leaver")}, QStringLiteral("still here?"));
    QVERIFY(zmq.send(toLeaver));
    QVERIFY(ws.waitFor([&](const JsonCommand& c) { return c.guid == toLeaver.guid; }));
    const JsonCommand fromLeaver = makeTransfer({QStringLiteral("leaver_peer")}, QStringLiteral("yes"));
    QVERIFY(ws.send(fromLeaver));
    QVERIFY(zmq.waitFor([&](const JsonCommand& c) { return c.guid == fromLeaver.guid; }));
}

void tst_WebSocketTransport::webSocketWinsOverZmqForSameName()
{
    ZmqTestClient zmqTwin(QStringLiteral("twin"), m_pService->zmqPort());
    QVERIFY(zmqTwin.login());
    auto wsTwin = std::make_unique<WsTestClient>(QStringLiteral("twin"), m_pService->wsPort());
    QVERIFY(wsTwin->login());
    ZmqTestClient sender(QStringLiteral("twin_sender"), m_pService->zmqPort());
    QVERIFY(sender.login());

    const JsonCommand first = makeTransfer({QStringLiteral("twin")}, QStringLiteral("1"));
    QVERIFY(sender.send(first));
    QVERIFY(wsTwin->waitFor([&](const JsonCommand& c) { return c.guid == first.guid; }));
    QVERIFY(!zmqTwin.waitFor([&](const JsonCommand& c) { return c.guid == first.guid; }, 300));

    // Once the WebSocket closes, the name is delivered over ZeroMQ again.
    wsTwin->close();
    QVERIFY(wsTwin->waitForDisconnected());
    bool delivered = false;
    for (int attempt = 0; attempt < 50 && !delivered; ++attempt) {
        const JsonCommand again = makeTransfer({QStringLiteral("twin")}, QStringLiteral("2"));
        QVERIFY(sender.send(again));
        delivered =
            zmqTwin.waitFor([&](const JsonCommand& c) { return c.guid == again.guid; }, 200).has_value();
    }
    QVERIFY(delivered);
}

void tst_WebSocketTransport::originChecked_data()
{
    QTest::addColumn<QString>("origin");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("none (native client)") << QString() << true;
    QTest::newRow("listed") << kAllowedOrigin << true;
    QTest::newRow("listed, other case") << QStringLiteral("HTTP://LOCALHOST:8080") << true;
    QTest::newRow("second listed") << QStringLiteral("app://trusted") << true;
    QTest::newRow("foreign site") << QStringLiteral("https://evil.example") << false;
    QTest::newRow("listed host, other port") << QStringLiteral("http://localhost:8081") << false;
    QTest::newRow("null") << QStringLiteral("null") << false;
    QTest::newRow("file") << QStringLiteral("file://") << false;
}

void tst_WebSocketTransport::originChecked()
{
    QFETCH(QString, origin);
    QFETCH(bool, accepted);
    WsTestClient client(QStringLiteral("origin_client"), m_pService->wsPort(), origin);
    if (accepted) {
        QVERIFY(client.login());
        return;
    }
    QVERIFY(!client.open(5000));
    // Refusals are logged once a minute at most, with their count: the first of these rows is.
    QVERIFY(m_pService->waitForLog(QStringLiteral("handshake refused: origin not allowed: ")));
    // And the same request written by hand is answered 403, never upgraded.
    const QByteArray head = rawWebSocketHandshake(
        m_pService->wsPort(), "127.0.0.1:" + QByteArray::number(m_pService->wsPort()), origin.toUtf8());
    QVERIFY2(head.startsWith("HTTP/1.1 403"), head.constData());
}

void tst_WebSocketTransport::hostChecked_data()
{
    const QByteArray port = QByteArray::number(m_pService->wsPort());
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("127.0.0.1:port") << "127.0.0.1:" + port << true;
    QTest::newRow("localhost:port") << "localhost:" + port << true;
    QTest::newRow("LOCALHOST:port") << "LOCALHOST:" + port << true;
    QTest::newRow("[::1]:port") << "[::1]:" + port << true;
    QTest::newRow("rebinding name") << "attacker.example:" + port << false;
    QTest::newRow("loopback-looking name") << "localhost.attacker.example:" + port << false;
    QTest::newRow("other port") << QByteArray("127.0.0.1:1") << false;
    QTest::newRow("empty") << QByteArray("") << false;
}

void tst_WebSocketTransport::hostChecked()
{
    QFETCH(QByteArray, host);
    QFETCH(bool, accepted);
    const QByteArray head = rawWebSocketHandshake(m_pService->wsPort(), host, QByteArray());
    // Its log line waits behind the origin refusals' (one line a minute for this user).
    QVERIFY2(head.startsWith(accepted ? "HTTP/1.1 101" : "HTTP/1.1 403"), head.constData());
}

void tst_WebSocketTransport::brokenConnectionLeavesOthersAlone()
{
    WsTestClient a(QStringLiteral("steady_a"), m_pService->wsPort());
    WsTestClient b(QStringLiteral("steady_b"), m_pService->wsPort());
    QVERIFY(a.login());
    QVERIFY(b.login());

    // A client that breaks the protocol: an unmasked frame with reserved bits after the upgrade,
    // then a reset.
    RawWsClient rogue;
    QVERIFY(rogue.Open(m_pService->wsPort(),
                       webSocketUpgradeRequest("127.0.0.1:" + QByteArray::number(m_pService->wsPort()))));
    rogue.Write(QByteArray("\xF1\x05hello", 7));
    QVERIFY(rogue.WaitClosedByServer(5000));

    const JsonCommand note = makeTransfer({QStringLiteral("steady_b")}, QStringLiteral("still fine"));
    QVERIFY(a.send(note));
    QVERIFY(b.waitFor([&](const JsonCommand& c) { return c.guid == note.guid; }));
    QVERIFY(a.isConnected());
}

void tst_WebSocketTransport::fullSpeedExchangeBothWays()
{
    // Sends that the ZeroMQ thread makes reach the WebSocket on its own thread; under
    // ThreadSanitizer this is the test that must stay silent.
    constexpr int kCount = 2000;
    ZmqTestClient zmq(QStringLiteral("speed_zmq"), m_pService->zmqPort());
    WsTestClient ws(QStringLiteral("speed_ws"), m_pService->wsPort());
    QVERIFY(zmq.login());
    QVERIFY(ws.login());
    for (int i = 0; i < kCount; ++i) {
        JsonCommand toWs =
            makeTransfer({QStringLiteral("speed_ws")}, QString::number(i), QStringLiteral("seq"));
        QVERIFY(zmq.send(toWs));
        JsonCommand toZmq =
            makeTransfer({QStringLiteral("speed_zmq")}, QString::number(i), QStringLiteral("seq"));
        QVERIFY(ws.send(toZmq));
    }
    const auto isSeq = [](const JsonCommand& c) {
        return IsType(c, "transfer") && c.command == QLatin1String("seq");
    };
    for (int i = 0; i < kCount; ++i) {
        const auto atWs = ws.waitFor(isSeq, 20000);
        QVERIFY2(atWs, qPrintable(QStringLiteral("ws lost #%1").arg(i)));
        QCOMPARE(atWs->data, QString::number(i));
        const auto atZmq = zmq.waitFor(isSeq, 20000);
        QVERIFY2(atZmq,
                 qPrintable(QStringLiteral("zmq lost #%1; ws connected %2, unsent %3, close %4 %5 error %6")
                                .arg(i)
                                .arg(ws.isConnected())
                                .arg(ws.bytesToWrite())
                                .arg(ws.closeCode())
                                .arg(ws.closeReason())
                                .arg(ws.lastError())));
        QCOMPARE(atZmq->data, QString::number(i));
    }
}

void tst_WebSocketTransport::otherUsersPeerRefused()
{
    if (getuid() != 0)
        QSKIP("needs root to connect as another user");
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        QSKIP("setpriv is not installed");
    const QString port = QString::number(m_pService->wsPort());
    // As "nobody": open the port, send a valid upgrade request, print whatever comes back.
    const QString script =
        QStringLiteral(
            "exec 3<>/dev/tcp/127.0.0.1/%1 || exit 3; "
            "printf 'GET / HTTP/1.1\\r\\nHost: 127.0.0.1:%1\\r\\nUpgrade: websocket\\r\\nConnection: "
            "Upgrade\\r\\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\nSec-WebSocket-Version: 13\\r\\n\\r\\n' >&3; "
            "timeout 5 cat <&3")
            .arg(port);
    QProcess other;
    other.start(QStringLiteral("setpriv"), {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                            QStringLiteral("--clear-groups"), QStringLiteral("/bin/bash"),
                                            QStringLiteral("-c"), script});
    QVERIFY(other.waitForFinished(15000));
    QVERIFY2(!other.readAllStandardOutput().contains("101"), "another user's connection was upgraded");
    QVERIFY(m_pService->waitForLog(QStringLiteral("peer belongs to another user, closed:")));
    // This user's own clients are unaffected.
    WsTestClient mine(QStringLiteral("same_user"), m_pService->wsPort());
    QVERIFY(mine.login());
}

void tst_WebSocketTransport::messageOverLimitRefused()
{
    WsTestClient big(QStringLiteral("big_sender"), m_pService->wsPort());
    WsTestClient peer(QStringLiteral("big_peer"), m_pService->wsPort());
    QVERIFY(big.login());
    QVERIFY(peer.login());

    // Under the limit (65536 bytes) it is relayed whole.
    JsonCommand fits = makeTransfer({QStringLiteral("big_peer")}, QString(60000, QLatin1Char('a')));
    QVERIFY(big.send(fits));
    const auto relayed = peer.waitFor([&](const JsonCommand& c) { return c.guid == fits.guid; });
    QVERIFY(relayed);
    QCOMPARE(relayed->data.size(), 60000);

    JsonCommand over = makeTransfer({QStringLiteral("big_peer")}, QString(70000, QLatin1Char('b')));
    QVERIFY(big.send(over));
    QVERIFY(big.waitForDisconnected(10000));
    QCOMPARE(big.closeCode(), quint16(WebSocketFraming::kCloseTooBig));
    QVERIFY(!peer.waitFor([&](const JsonCommand& c) { return c.guid == over.guid; }, 300));
    QVERIFY(m_pService->waitForLog(QStringLiteral("message over the size limit refused")));

    // The service is still up for everybody else.
    QVERIFY(m_pService->isRunning());
    const JsonCommand after = makeTransfer({QStringLiteral("big_peer")}, QStringLiteral("after"));
    WsTestClient late(QStringLiteral("late"), m_pService->wsPort());
    QVERIFY(late.login());
    QVERIFY(late.send(after));
    QVERIFY(peer.waitFor([&](const JsonCommand& c) { return c.guid == after.guid; }));
}

void tst_WebSocketTransport::loginQueueBounded()
{
    // A service of its own: this fills every waiting place, for longer than the default login time.
    ServiceProcess service({{QStringLiteral("message_service/loginTimeoutSeconds"), QStringLiteral("600")}});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    std::vector<std::unique_ptr<WsTestClient>> waiting;
    for (int i = 0; i < WebSocket_Server::kMaxAwaitingLogin; ++i) {
        waiting.push_back(std::make_unique<WsTestClient>(QStringLiteral("w%1").arg(i), service.wsPort()));
        QVERIFY2(waiting.back()->open(), qPrintable(QString::number(i)));
    }
    WsTestClient extra(QStringLiteral("extra"), service.wsPort());
    QVERIFY(!extra.open(5000));
    QVERIFY(service.waitForLog(QStringLiteral("too many connections waiting for login, refused:")));

    // A login frees a place.
    QVERIFY(waiting.front()->login());
    WsTestClient next(QStringLiteral("next"), service.wsPort());
    QVERIFY(next.login());

    // Before its login a connection may not send much (the configured limit here is the
    // default, far above this).
    QVERIFY(waiting.back()->sendText(QString(2 * 1024 * 1024, QLatin1Char('c'))));
    QVERIFY(waiting.back()->waitForDisconnected(10000));
    QCOMPARE(waiting.back()->closeCode(), quint16(WebSocketFraming::kCloseTooBig));
    QVERIFY(next.send(makeTransfer({QStringLiteral("next")}, QStringLiteral("alive"))));
    QVERIFY(next.waitFor([](const JsonCommand& c) { return c.data == QLatin1String("alive"); }));
}

void tst_WebSocketTransport::idleConnectionsLoseTheirPlaceAtTheLoginDeadline()
{
    ServiceProcess service;
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    std::vector<std::unique_ptr<WsTestClient>> idle;
    for (int i = 0; i < 300; ++i) {
        idle.push_back(std::make_unique<WsTestClient>(QStringLiteral("idle%1").arg(i), service.wsPort()));
        idle.back()->open(2000);
    }
    QElapsedTimer since;
    since.start();
    bool in = false;
    while (!in && since.elapsed() < 11000) {
        WsTestClient late(QStringLiteral("late"), service.wsPort());
        in = late.login({}, 1000);
    }
    QVERIFY2(in, "no login within 11 s of 300 idle connections");
    QVERIFY(idle.front()->waitForDisconnected(5000));
    QCOMPARE(idle.front()->closeCode(), quint16(WebSocketFraming::kClosePolicyViolation));
    QVERIFY(service.waitForLog(QStringLiteral("no login in time, connection closed:")));
}

QTEST_GUILESS_MAIN(tst_WebSocketTransport)
#include "tst_WebSocketTransport.moc"
