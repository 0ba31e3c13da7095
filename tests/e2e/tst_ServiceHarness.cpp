// The harness itself: a private service per test, both transports reachable, stop and restart.
#include "tests/support/ServiceHarness.h"

#include <QtTest>

class tst_ServiceHarness : public QObject
{
    Q_OBJECT
private slots:
    void startsPrivateServiceOnBothTransports();
    void twoServicesRunSideBySide();
    void restartAfterKillKeepsFolder();
};

void tst_ServiceHarness::startsPrivateServiceOnBothTransports()
{
    ServiceProcess service({{QStringLiteral("log/level"), QStringLiteral("0")}});
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    QVERIFY(service.root().startsWith(QDir::tempPath()));
    QVERIFY(QFile::exists(service.configPath()));
    QVERIFY(service.waitForLog(QStringLiteral("WebSocket_Server listen success:")));

    ZmqTestClient zmq(QStringLiteral("zmq_a"), service.zmqPort());
    QVERIFY(zmq.login());
    WsTestClient ws(QStringLiteral("ws_a"), service.wsPort());
    QVERIFY(ws.login({QStringLiteral("ws_only_command")}));

    // A question travels out and its answer comes back matched by guid, the rest stays queued.
    const JsonCommand query = makeCommand(QStringLiteral("query"), QStringLiteral("command_ability"),
                                          QStringLiteral("ws_only_command"));
    QVERIFY(zmq.send(query));
    const auto answer = zmq.waitFor([&](const JsonCommand& c) { return c.guid == query.guid; });
    QVERIFY(answer);
    QCOMPARE(answer->type, QStringLiteral("query_ret"));
    QCOMPARE(answer->data, QStringLiteral("ws_only_command"));
    QVERIFY(service.logText().contains(QStringLiteral("strClient = ")));
    service.stop();
    QVERIFY(!service.isRunning());
}

void tst_ServiceHarness::twoServicesRunSideBySide()
{
    ServiceProcess first;
    ServiceProcess second;
    QVERIFY2(first.start(), qPrintable(first.errorString()));
    QVERIFY2(second.start(), qPrintable(second.errorString()));
    QVERIFY(first.wsPort() != second.wsPort());
    QVERIFY(first.root() != second.root());
    WsTestClient a(QStringLiteral("same_name"), first.wsPort());
    WsTestClient b(QStringLiteral("same_name"), second.wsPort());
    QVERIFY(a.login());
    QVERIFY(b.login());
}

void tst_ServiceHarness::restartAfterKillKeepsFolder()
{
    ServiceProcess service;
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    const QString root = service.root();
    const qint64 firstPid = service.pid();
    service.kill();
    QVERIFY(!service.isRunning());
    QVERIFY2(service.restart(), qPrintable(service.errorString()));
    QCOMPARE(service.root(), root);
    QVERIFY(service.pid() != firstPid);
    ZmqTestClient zmq(QStringLiteral("after_restart"), service.zmqPort());
    QVERIFY(zmq.login());
}

QTEST_GUILESS_MAIN(tst_ServiceHarness)
#include "tst_ServiceHarness.moc"
