#include "tests/support/ServiceHarness.h"

#include <QTcpServer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <signal.h>

// The service core through the running program: start-up, single instance, ZeroMQ routing and
// protocol rules, crash reports.
class tst_ServiceCore : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void startupLogNamesVersionPortsAndConfig();
    void secondStartExitsAtOnceWithoutLog();
    void journalGetsTheServiceLinesOnly();
    void neitherPortExitsWithCodeOne();
    void routesCommandsAndTransfersBetweenClients();
    void castReachesEveryClient();
    void queriesReflectLogins();
    void manualDescribesEveryCommand();
    void protocolRulesKeepTheClientWorking_data();
    void protocolRulesKeepTheClientWorking();
    void reservedIdentityIsIgnored();
    void longEnvelopesAreClippedInTheLog();
    void crashWritesReportAndNextStartWorks();

private:
    std::unique_ptr<ServiceProcess> m_service;
};

void tst_ServiceCore::initTestCase()
{
    m_service = std::make_unique<ServiceProcess>(
        QMap<QString, QString>{{"message_service/maxMessageBytes", "65536"}, {"log/level", "banana"}});
    QVERIFY2(m_service->start(), qPrintable(m_service->errorString()));
}

void tst_ServiceCore::cleanupTestCase()
{
    m_service.reset();
}

void tst_ServiceCore::startupLogNamesVersionPortsAndConfig()
{
    QVERIFY(m_service->waitForLog("started"));
    const QString log = m_service->logText();
    QVERIFY(log.contains(QString("zeromq tcp://127.0.0.1:%1 (listening)").arg(m_service->zmqPort())));
    QVERIFY(log.contains(QString("websocket 127.0.0.1:%1 (listening)").arg(m_service->wsPort())));
    QVERIFY(log.contains("config " + servicePath(m_service->configPath())));
    QVERIFY(QRegularExpression("\\[W\\]:\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\tqorv-utility-service "
                               "\\d+\\.\\d+\\.\\d+ started")
                .match(log)
                .hasMatch());
    // The default level keeps debug lines out.
    QVERIFY(!log.contains("[D]:"));
    // A bad value is named once in the log and once on standard error, which is no terminal here.
    const QString problem =
        m_service->configPath() +
        ": [log] level=\"banana\" is not a level (0 debug, 1 warning, 2 critical, 3 fatal); "
        "using the default 1";
    QCOMPARE(log.count(problem), 1);
    QCOMPARE(m_service->consoleText().count(problem), 1);
    // Where crash reports go exists from the start, private like the log folder.
    const QFileInfo dumps(m_service->dataRoot() + "/dmp");
    QVERIFY(dumps.isDir());
    QCOMPARE(dumps.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeGroup | QFile::ExeOther),
             QFile::Permissions());
}

void tst_ServiceCore::secondStartExitsAtOnceWithoutLog()
{
    const QDir logs(m_service->dataRoot() + "/log");
    const QStringList before = logs.entryList(QDir::Files);
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", m_service->root());
    env.insert("TMPDIR", m_service->root() + "/tmp");
    env.insert("XDG_RUNTIME_DIR", m_service->root() + "/run");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    second.setProcessEnvironment(env);
    second.start(m_service->binDir() + "/qorv-utility-service", QStringList());
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    const QString said = QString::fromUtf8(second.readAllStandardError());
    QVERIFY2(said.contains(
                 QString("qorv-utility-service: already running (pid %1), exiting\n").arg(m_service->pid())),
             qPrintable(said));
    QCOMPARE(logs.entryList(QDir::Files), before);
    QVERIFY(m_service->isRunning());
}

// Under systemd the journal is readable by more people than the log files and searched by
// priority: it gets the start, the configuration's complaints and the stop, never an envelope.
void tst_ServiceCore::journalGetsTheServiceLinesOnly()
{
    ServiceProcess journaled({{"message_service/bind", "not an address"}});
    journaled.setConsoleIsJournal();
    QVERIFY2(journaled.start(), qPrintable(journaled.errorString()));
    ZmqTestClient client("private", journaled.zmqPort());
    QVERIFY(client.login());
    const JsonCommand cmd = makeCommand("command", "private", "{\"url\":\"https://secret.invalid/a\"}");
    QVERIFY(client.send(cmd));
    QVERIFY(journaled.waitForLog(cmd.guid));
    QCOMPARE(journaled.stop(), 0);

    const QString console = journaled.consoleText();
    QVERIFY2(QRegularExpression("<4>\\[W\\]:qorv-utility-service \\S+ started; zeromq tcp://127\\.0\\.0\\.1:")
                 .match(console)
                 .hasMatch(),
             qPrintable(console));
    QCOMPARE(console.count("[message_service] bind=\"not an address\" is not an address"), 1);
    QVERIFY(console.contains("<4>[W]:TerminationSignals:stop requested"));
    QVERIFY2(!console.contains(cmd.guid) && !console.contains("secret.invalid"), qPrintable(console));
    // The file keeps everything; the bad address was never used.
    const QString log = journaled.logText();
    QVERIFY(log.contains("secret.invalid"));
    QVERIFY(!log.contains("reachable from the network"));
}

void tst_ServiceCore::neitherPortExitsWithCodeOne()
{
    QTcpServer zmqHolder, wsHolder;
    QVERIFY(zmqHolder.listen(QHostAddress::LocalHost, 0));
    QVERIFY(wsHolder.listen(QHostAddress::LocalHost, 0));
    const QString zmq = QString::number(zmqHolder.serverPort()), ws = QString::number(wsHolder.serverPort());
    ServiceProcess deaf({{"message_service/port", zmq}, {"message_service/wsport", ws}});
    QVERIFY(!deaf.start(20000));
    QVERIFY2(deaf.errorString().contains("exited with code 1"), qPrintable(deaf.errorString()));
    QCOMPARE(deaf.stop(), 1);
    // A critical line names both ports.
    const QRegularExpression line(
        QString("\\[C\\]:[^\n]*cannot listen on the ZeroMQ port %1 nor on the WebSocket port %2")
            .arg(zmq, ws));
    QVERIFY2(line.match(deaf.logText()).hasMatch(), qPrintable(deaf.logText().right(2000)));
}

void tst_ServiceCore::routesCommandsAndTransfersBetweenClients()
{
    ZmqTestClient b("bravo", m_service->zmqPort());
    ZmqTestClient a("alpha", m_service->zmqPort());
    ZmqTestClient caller("caller", m_service->zmqPort());
    QVERIFY(b.login({"paint"}));
    QVERIFY(a.login({"paint", "draw"}));
    QVERIFY(caller.login());

    JsonCommand cmd = makeCommand("command", "paint", "{\"x\":1}");
    QVERIFY(caller.send(cmd));
    const auto ret = caller.receive();
    QVERIFY(ret);
    QCOMPARE(ret->type, QString("command_ret"));
    QCOMPARE(ret->data, QString("ok"));
    QCOMPARE(ret->guid, cmd.guid);
    const auto routed = a.receive();
    QVERIFY(routed);
    cmd.from = "caller";
    QCOMPARE(*routed, cmd); // unchanged copy
    QVERIFY(!b.receive(300));

    // The receiver answers with a transfer to the caller, as an ability would.
    JsonCommand reply = makeTransfer({"caller"}, "done", "paint");
    reply.guid = cmd.guid;
    QVERIFY(a.send(reply));
    const auto relayed = caller.waitFor([&](const JsonCommand& e) { return e.type == "transfer"; });
    QVERIFY(relayed);
    QCOMPARE(relayed->data, QString("done"));
    const auto transferRet = a.receive();
    QVERIFY(transferRet);
    QCOMPARE(transferRet->type, QString("transfer_ret"));

    QVERIFY(a.send(makeCommand("notify", "command_logout")));
    QVERIFY(a.receive());
    QVERIFY(caller.send(makeCommand("command", "draw")));
    const auto gone = caller.receive();
    QVERIFY(gone);
    QCOMPARE(gone->error_code, qint64(-3));
    QCOMPARE(gone->error_string, QString("ability not found"));
}

void tst_ServiceCore::castReachesEveryClient()
{
    ZmqTestClient one("cast-one", m_service->zmqPort());
    ZmqTestClient two("cast-two", m_service->zmqPort());
    QVERIFY(one.login());
    QVERIFY(two.login());
    const JsonCommand cast = makeTransfer({}, "to all", "hello", true);
    QVERIFY(one.send(cast));
    const auto atTwo = two.waitFor([&](const JsonCommand& e) { return e.guid == cast.guid; });
    QVERIFY(atTwo);
    QCOMPARE(atTwo->data, QString("to all"));
    // The sender receives its own copy, the hub's answer and the manager's refusal (-4).
    const QList<JsonCommand> mine = one.collectUntil(
        cast.guid, [](const JsonCommand& e) { return e.error_code == -4; }, 10000);
    QCOMPARE(mine.size(), 3);
    QCOMPARE(mine[1].type, QString("transfer_ret"));
    QCOMPARE(mine.last().error_string,
             QString("ability found, but cannot be dealed, please check your param or context"));
}

void tst_ServiceCore::queriesReflectLogins()
{
    ZmqTestClient q("query-client", m_service->zmqPort());
    QVERIFY(q.login({"q_only_cmd"}));
    QVERIFY(q.send(makeCommand("query", "command_ability", "q_only_cmd")));
    auto ans = q.receive();
    QVERIFY(ans);
    QCOMPARE(ans->type, QString("query_ret"));
    QCOMPARE(ans->data, QString("q_only_cmd"));
    QVERIFY(q.send(makeCommand("query", "command_abilities")));
    ans = q.receive();
    QVERIFY(ans);
    QVERIFY(ans->data.contains("\"q_only_cmd\""));
    // The catalog lists the service's own 26 commands only, each with how it answers.
    QVERIFY(q.send(makeCommand("query", "command_catalog")));
    ans = q.receive();
    QVERIFY(ans);
    QCOMPARE(ans->type, QString("query_ret"));
    const QJsonArray catalog =
        QJsonDocument::fromJson(ans->data.toUtf8()).object().value("commands").toArray();
    QCOMPARE(catalog.size(), 26);
    QCOMPARE(catalog.first().toObject(),
             QJsonObject({{"name", "snap_shot_area"}, {"reply", "single"}, {"success", QJsonArray{0}}}));
    QCOMPARE(catalog.at(1).toObject().value("name").toString(), QString("snap_shot_fullscreen"));
    QCOMPARE(catalog.at(2).toObject(),
             QJsonObject({{"name", "download"},
                          {"reply", "progress"},
                          {"success", QJsonArray{100}},
                          {"stop", "stop_download"},
                          {"data", R"({"from":"<url or path>","to":"<path>","extra":""})"}}));
    QCOMPARE(catalog.at(3).toObject(),
             QJsonObject({{"name", "stop_download"}, {"reply", "silent"}, {"success", QJsonArray{}}}));
    QVERIFY(q.send(makeCommand("whatever", "x")));
    ans = q.receive();
    QVERIFY(ans);
    QCOMPARE(ans->type, QString());
    QCOMPARE(ans->error_code, qint64(-1));
}

// qorvctl(1) lists the commands from packaging/man/commands.txt: it must name the catalog's
// commands in its order, with the same reply kind and success codes, and describe each.
void tst_ServiceCore::manualDescribesEveryCommand()
{
    QFile reference(qEnvironmentVariable("QORV_SOURCE_DIR") + "/packaging/man/commands.txt");
    QVERIFY2(reference.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(reference.fileName()));
    QStringList described;
    QString fields = "data answer ";
    for (const QString& line : QString::fromUtf8(reference.readAll()).split('\n')) {
        if (line.startsWith("command ")) {
            QVERIFY2(fields == "data answer ", qPrintable("not data, then answer: " + described.join('|')));
            described << line.mid(8).simplified();
            fields.clear();
        } else if (line.startsWith("data: ") || line.startsWith("answer: ")) {
            fields += line.section(':', 0, 0) + ' ';
        }
    }
    QVERIFY2(fields == "data answer ", qPrintable("not data, then answer: " + described.join('|')));

    ZmqTestClient q("catalog-client", m_service->zmqPort());
    QVERIFY(q.login());
    QVERIFY(q.send(makeCommand("query", "command_catalog")));
    const auto ans = q.receive();
    QVERIFY(ans);
    QStringList catalog;
    for (const QJsonValue& row :
         QJsonDocument::fromJson(ans->data.toUtf8()).object().value("commands").toArray()) {
        QStringList words{row["name"].toString(), row["reply"].toString()};
        for (const QJsonValue& code : row["success"].toArray())
            words << QString::number(code.toVariant().toLongLong());
        catalog << words.join(' ');
    }
    QCOMPARE(described, catalog);
}

void tst_ServiceCore::protocolRulesKeepTheClientWorking_data()
{
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("length not a number") << QList<QByteArray>{"abc", "{}"} << "msg error length ==";
    QTest::newRow("declared length over the limit")
        << QList<QByteArray>{"9999999", "{}"} << "over the size limit";
    QTest::newRow("body over the limit") << QList<QByteArray>{"100", QByteArray(200000, 'x')} << "";
}

void tst_ServiceCore::protocolRulesKeepTheClientWorking()
{
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QString, logLine);
    ZmqTestClient client("proto-client", m_service->zmqPort());
    QVERIFY(client.login());
    QVERIFY(client.sendFrames(frames));
    if (!logLine.isEmpty())
        QVERIFY(m_service->waitForLog(logLine));
    // The next message still works (after a reconnect where the transport had to drop the peer).
    std::optional<JsonCommand> ans;
    for (int attempt = 0; attempt < 10 && !ans; ++attempt) {
        QVERIFY(client.send(makeCommand("query", "command_ability", "nothing")));
        ans = client.waitFor([](const JsonCommand& e) { return e.type == "query_ret"; }, 2000);
    }
    QVERIFY(ans);
    QCOMPARE(ans->error_code, qint64(-3));
    QVERIFY(m_service->isRunning());
}

void tst_ServiceCore::reservedIdentityIsIgnored()
{
    ZmqTestClient impostor("message_service", m_service->zmqPort());
    QVERIFY(impostor.send(makeLogin("message_service", {})));
    QVERIFY(m_service->waitForLog("peer identity refused"));
    QVERIFY(!impostor.receive(300));
    // The manager still owns its registry entry: a service command is still routed to it.
    ZmqTestClient q("after-impostor", m_service->zmqPort());
    QVERIFY(q.login());
    QVERIFY(q.send(makeCommand("query", "command_abilities")));
    const auto ans = q.receive();
    QVERIFY(ans);
    QCOMPARE(ans->error_code, qint64(0));
}

void tst_ServiceCore::longEnvelopesAreClippedInTheLog()
{
    ZmqTestClient client("long-client", m_service->zmqPort());
    QVERIFY(client.login());
    const QString marker = "M" + QString(40000, 'y');
    JsonCommand big = makeTransfer({"nobody"}, marker, "big");
    big.from = "long-client";
    QVERIFY(client.send(big));
    QVERIFY(client.receive());
    const int length = big.ToString().size();
    QVERIFY(m_service->waitForLog(QString("...(%1 bytes)").arg(length)));
    QVERIFY(!m_service->logText().contains(marker));
}

void tst_ServiceCore::crashWritesReportAndNextStartWorks()
{
    ::kill(static_cast<pid_t>(m_service->pid()), SIGSEGV);
    QTRY_VERIFY_WITH_TIMEOUT(!m_service->isRunning(), 10000);
    const QDir dumps(m_service->dataRoot() + "/dmp");
    QTRY_COMPARE_WITH_TIMEOUT(dumps.entryList({"*.dmp"}, QDir::Files).size(), 1, 5000);
    QFile report(dumps.filePath(dumps.entryList({"*.dmp"}, QDir::Files).first()));
    QVERIFY(report.open(QIODevice::ReadOnly));
    QVERIFY(report.readAll().contains("signal: 11\n"));
    // The crash line reaches the log whatever its level (the default keeps other debug lines out).
    QVERIFY(QRegularExpression("\\[D\\]:\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\tBreakpadQt crash\r\n")
                .match(m_service->logText())
                .hasMatch());
    QVERIFY(m_service->restart());
    ZmqTestClient client("after-crash", m_service->zmqPort());
    QVERIFY(client.login());
}

QTEST_GUILESS_MAIN(tst_ServiceCore)
#include "tst_ServiceCore.moc"
