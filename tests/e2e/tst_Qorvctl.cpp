// qorvctl driving the running service: exit codes, one JSON line per answer, the end of a task,
// and the listener that answers the pre-uninstall handshake.
#include "tests/support/HttpTestServer.h"
#include "tests/support/ServiceHarness.h"

#include <QtTest>

#include <signal.h>

namespace {

struct Run
{
    int exitCode = -1;
    QList<QByteArray> lines; // standard output, one envelope each
    QString errorText;
};

QStringList WithPort(const QStringList& _listArgs, const ServiceProcess& _service)
{
    // The transport option decides which port is meant.
    const bool zmq = _listArgs.contains(QStringLiteral("--zmq"));
    if (_listArgs.contains(QStringLiteral("--port")))
        return _listArgs;
    return QStringList{QStringLiteral("--port"),
                       QString::number(zmq ? _service.zmqPort() : _service.wsPort())} +
           _listArgs;
}

Run Finish(QProcess& _process, int _nTimeoutMs = 30000)
{
    Run run;
    // waitForFinished() is false for a process that has already ended (a quick --no-wait run
    // may end while the test is still pumping events), so the state is checked first.
    if (_process.state() != QProcess::NotRunning && !_process.waitForFinished(_nTimeoutMs)) {
        _process.kill();
        _process.waitForFinished(5000);
        run.errorText = QStringLiteral("qorvctl did not end in time");
        return run;
    }
    run.exitCode = _process.exitStatus() == QProcess::NormalExit ? _process.exitCode() : -1;
    for (const QByteArray& line : _process.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            run.lines.append(line);
    run.errorText += QString::fromLocal8Bit(_process.readAllStandardError());
    return run;
}

void Start(QProcess& _process, const QStringList& _listArgs)
{
    _process.start(qorvctlBinary(), _listArgs);
    QVERIFY2(_process.waitForStarted(10000), qPrintable(qorvctlBinary()));
}

Run Ctl(const QStringList& _listArgs)
{
    QProcess process;
    process.start(qorvctlBinary(), _listArgs);
    if (!process.waitForStarted(10000))
        return Run();
    return Finish(process);
}

// qorvctl on a pseudo-terminal (util-linux script), as a person runs it: what the terminal
// showed, standard output and error together.
QString Tty(const QStringList& _listArgs, int _nColumns = 80, int _nTimeoutMs = 30000)
{
    QString line = QStringLiteral("stty cols %1; exec").arg(_nColumns);
    for (const QString& arg : QStringList{qorvctlBinary()} + _listArgs)
        line += QStringLiteral(" '") + QString(arg).replace(QLatin1Char('\''), QLatin1String("'\\''")) +
                QLatin1Char('\'');
    QProcess script;
    script.start(QStringLiteral("script"), {QStringLiteral("-qec"), line, QStringLiteral("/dev/null")});
    // The event loop runs meanwhile: the test's HTTP server may be what qorvctl waits for.
    if (!script.waitForStarted(10000) ||
        !QTest::qWaitFor([&]() { return script.state() == QProcess::NotRunning; }, _nTimeoutMs)) {
        script.kill();
        script.waitForFinished(5000);
        return QStringLiteral("script did not end in time");
    }
    return QString::fromUtf8(script.readAllStandardOutput()).remove(QLatin1Char('\r'));
}

QString DownloadBody(const QString& _qstrUrl, const QString& _qstrTarget)
{
    const QJsonObject body{{"from", _qstrUrl}, {"to", _qstrTarget}, {"extra", ""}};
    return QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
}

JsonCommand Parse(const QByteArray& _baLine)
{
    JsonCommand envelope;
    envelope.LoadFromString(_baLine);
    return envelope;
}

} // namespace

class tst_Qorvctl : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void verbsAndExitCodes_data();
    void verbsAndExitCodes();
    void sendFollowsTaskToItsEnd_data();
    void sendFollowsTaskToItsEnd();
    void sendBuiltInQuery();
    void transferAndListen();
    void listenAnswersPreUninst_data();
    void listenAnswersPreUninst();
    void preUninstHandshakeThroughService_data();
    void preUninstHandshakeThroughService();
    void helpForEveryVerb();
    void versionAndHelpOfBothPrograms_data();
    void versionAndHelpOfBothPrograms();
    void statusWithDownloadInFlight();
    void bashCompletion_data();
    void bashCompletion();
    void zmqNoticesServiceGone_data();
    void zmqNoticesServiceGone();
    void nothingListensFailsAtOnce_data();
    void nothingListensFailsAtOnce();
    void interruptStopsItsTask_data();
    void interruptStopsItsTask();
    void interruptWithoutStopCommand();
    void terminalShowsGuidAndOneBar();
    void terminalWrapsLongLists();

private:
    std::unique_ptr<ServiceProcess> m_pService;
    std::unique_ptr<ZmqTestClient> m_pWorker;
};

void tst_Qorvctl::initTestCase()
{
    QVERIFY2(QFileInfo(qorvctlBinary()).isExecutable(), "QORV_QORVCTL_BIN is not set");
    m_pService = std::make_unique<ServiceProcess>();
    QVERIFY2(m_pService->start(), qPrintable(m_pService->errorString()));
    // A client that offers a command of its own, so that the test decides how it is answered.
    m_pWorker = std::make_unique<ZmqTestClient>(QStringLiteral("worker"), m_pService->zmqPort());
    QVERIFY(m_pWorker->login({QStringLiteral("fake_job")}));
}

void tst_Qorvctl::cleanupTestCase()
{
    QVERIFY2(m_pService->sanitizerReport().isEmpty(), qPrintable(m_pService->sanitizerReport().left(4000)));
    m_pWorker.reset();
    m_pService.reset();
}

void tst_Qorvctl::verbsAndExitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("answerType"); // of the one line printed, empty for none
    QTest::addColumn<QString>("errorText");

    QTest::newRow("abilities ws") << QStringList{QStringLiteral("abilities")} << 0 << "query_ret"
                                  << QString();
    QTest::newRow("abilities zmq") << QStringList{QStringLiteral("--zmq"), QStringLiteral("abilities")} << 0
                                   << "query_ret" << QString();
    QTest::newRow("ability offered") << QStringList{QStringLiteral("ability"), QStringLiteral("fake_job")}
                                     << 0 << "query_ret" << QString();
    QTest::newRow("ability missing") << QStringList{QStringLiteral("ability"), QStringLiteral("no_such")} << 1
                                     << "query_ret"
                                     << "ability not found";
    QTest::newRow("send unknown command")
        << QStringList{QStringLiteral("--zmq"), QStringLiteral("send"), QStringLiteral("no_such")} << 1
        << "command_ret"
        << "ability not found";
    QTest::newRow("unknown verb") << QStringList{QStringLiteral("frobnicate")} << 2 << QString()
                                  << "unknown verb";
    QTest::newRow("send without command")
        << QStringList{QStringLiteral("send")} << 2 << QString() << "wrong number of arguments";
    // Asked before anything is sent: the catalog says the command needs data.
    QTest::newRow("send without the data a command needs")
        << QStringList{QStringLiteral("send"), QStringLiteral("query_disk_space")} << 2 << QString()
        << "query_disk_space needs data: {\"key\":\"<path>\"}";
    QTest::newRow("transfer without --to")
        << QStringList{QStringLiteral("transfer"), QStringLiteral("x")} << 2 << QString() << "--to";
    QTest::newRow("bad port") << QStringList{QStringLiteral("--port"), QStringLiteral("x"),
                                             QStringLiteral("abilities")}
                              << 2 << QString() << "bad value for --port";
    QTest::newRow("send option on another verb")
        << QStringList{QStringLiteral("--no-wait"), QStringLiteral("abilities")} << 2 << QString()
        << "belong to send";
    QTest::newRow("nothing listens") << QStringList{QStringLiteral("--port"), QString::number(pickFreePort()),
                                                    QStringLiteral("--timeout"), QStringLiteral("3"),
                                                    QStringLiteral("abilities")}
                                     << 3 << QString() << "cannot connect";
    QTest::newRow("reserved name") << QStringList{QStringLiteral("--name"), QStringLiteral("message_service"),
                                                  QStringLiteral("abilities")}
                                   << 3 << QString() << "login refused";
}

void tst_Qorvctl::verbsAndExitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, answerType);
    QFETCH(QString, errorText);
    const Run run = Ctl(WithPort(args, *m_pService));
    QVERIFY2(run.exitCode == exitCode,
             qPrintable(QStringLiteral("exit %1: %2").arg(run.exitCode).arg(run.errorText)));
    if (answerType.isEmpty()) {
        QVERIFY(run.lines.isEmpty());
    } else {
        QCOMPARE(run.lines.size(), 1);
        QCOMPARE(Parse(run.lines.first()).type, answerType);
    }
    if (!errorText.isEmpty())
        QVERIFY2(run.errorText.contains(errorText), qPrintable(run.errorText));
    else
        QVERIFY2(run.errorText.isEmpty(), qPrintable(run.errorText));
}

void tst_Qorvctl::sendFollowsTaskToItsEnd_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<int>>("codes"); // what the worker answers, in order
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<int>("gapMs"); // between the worker's answers

    QTest::newRow("progress then 100") << QStringList() << QList<int>{0, 0, 100} << 0 << QString() << 0;
    QTest::newRow("progress then 101") << QStringList() << QList<int>{0, 101} << 1 << "disk full" << 0;
    QTest::newRow("101 named a success")
        << QStringList{QStringLiteral("--success-codes"), QStringLiteral("101,102")} << QList<int>{101} << 0
        << QString() << 0;
    QTest::newRow("manager refusal") << QStringList() << QList<int>{-4} << 1 << "error_code -4" << 0;
    QTest::newRow("single answer 0") << QStringList{QStringLiteral("--single"),
                                                    QStringLiteral("--success-codes"), QStringLiteral("0")}
                                     << QList<int>{0} << 0 << QString() << 0;
    QTest::newRow("no-wait") << QStringList{QStringLiteral("--no-wait")} << QList<int>() << 0 << QString()
                             << 0;
    QTest::newRow("no result in time") << QStringList{QStringLiteral("--timeout"), QStringLiteral("2")}
                                       << QList<int>{0} << 4 << "nothing came for 2 s" << 0;
    // The bound is for silence: a task that keeps reporting outlives it.
    QTest::newRow("progress outlives --timeout")
        << QStringList{QStringLiteral("--timeout"), QStringLiteral("3")} << QList<int>{0, 0, 0, 100} << 0
        << QString() << 1500;
    QTest::newRow("--max-time bounds the whole run")
        << QStringList{QStringLiteral("--max-time"), QStringLiteral("2")} << QList<int>{0} << 4
        << "--max-time" << 0;
}

void tst_Qorvctl::sendFollowsTaskToItsEnd()
{
    QFETCH(QStringList, options);
    QFETCH(QList<int>, codes);
    QFETCH(int, exitCode);
    QFETCH(QString, errorText);
    QFETCH(int, gapMs);

    for (const bool zmq : {false, true}) {
        QProcess process;
        // A name per transport: the first run's connection may still be closing.
        QStringList args =
            options + QStringList{QStringLiteral("--name"),
                                  zmq ? QStringLiteral("ctl_sender_zmq") : QStringLiteral("ctl_sender_ws"),
                                  QStringLiteral("send"), QStringLiteral("fake_job"),
                                  QStringLiteral("{\"n\":1}")};
        if (zmq)
            args.prepend(QStringLiteral("--zmq"));
        Start(process, WithPort(args, *m_pService));
        const auto job = m_pWorker->waitFor(
            [](const JsonCommand& c) {
                return c.type == QLatin1String("command") && c.command == QLatin1String("fake_job");
            },
            15000);
        QVERIFY(job);
        QCOMPARE(job->data, QStringLiteral("{\"n\":1}"));
        // Noise with another guid is not part of this task.
        QVERIFY(m_pWorker->send(
            makeTransfer({job->from}, QStringLiteral("unrelated"), QStringLiteral("fake_job"))));
        for (int i = 0; i < codes.size(); ++i) {
            const int code = codes.at(i);
            if (i > 0 && gapMs > 0)
                QTest::qWait(gapMs); // the task's own pace, not a wait for an event
            JsonCommand answer = makeTransfer({job->from}, QString(), job->command);
            answer.guid = job->guid;
            answer.error_code = code;
            answer.data = code == 0 ? QStringLiteral("{\"percent\":42.5}") : QStringLiteral("done");
            answer.error_string = code == 101 ? QStringLiteral("disk full") : QString();
            QVERIFY(m_pWorker->send(answer));
        }
        const Run run = Finish(process);
        QVERIFY2(run.exitCode == exitCode,
                 qPrintable(QStringLiteral("exit %1: %2").arg(run.exitCode).arg(run.errorText)));
        // One line for the hub's answer and one per answer of the task, all with its guid.
        const bool timedOut = exitCode == 4;
        QCOMPARE(run.lines.size(), 1 + (options.contains(QStringLiteral("--no-wait")) ? 0 : codes.size()));
        QCOMPARE(Parse(run.lines.first()).type, QStringLiteral("command_ret"));
        for (const QByteArray& line : run.lines)
            QCOMPARE(Parse(line).guid, job->guid);
        if (!timedOut && !codes.isEmpty() && !options.contains(QStringLiteral("--no-wait")))
            QCOMPARE(Parse(run.lines.last()).error_code, codes.last());
        if (!errorText.isEmpty())
            QVERIFY2(run.errorText.contains(errorText), qPrintable(run.errorText));
        // The worker's answers to the noise and to each result are hub acknowledgements; drop them.
        while (m_pWorker->receive(0)) {
        }
    }
}

void tst_Qorvctl::sendBuiltInQuery()
{
    if (Ctl(WithPort({QStringLiteral("ability"), QStringLiteral("query_memory")}, *m_pService)).exitCode != 0)
        QSKIP("the service does not offer query_memory in this build");
    const Run run = Ctl(WithPort({QStringLiteral("send"), QStringLiteral("query_memory")}, *m_pService));
    QVERIFY2(run.exitCode == 0, qPrintable(run.errorText));
    QCOMPARE(run.lines.size(), 2);
    const JsonCommand result = Parse(run.lines.last());
    QCOMPARE(result.type, QStringLiteral("transfer"));
    QCOMPARE(result.from, QStringLiteral("message_service"));
    const QJsonObject body = QJsonDocument::fromJson(result.data.toUtf8()).object();
    QVERIFY(body.value(QLatin1String("num")).toInt() > 0);
}

void tst_Qorvctl::transferAndListen()
{
    QProcess listener;
    Start(listener,
          WithPort({QStringLiteral("--name"), QStringLiteral("ctl_listener"), QStringLiteral("listen")},
                   *m_pService));
    // Listening once the hub knows the name.
    QVERIFY(m_pService->waitForLog(QStringLiteral("strClient =  \"ctl_listener\""), 15000));

    const Run sent =
        Ctl(WithPort({QStringLiteral("--zmq"), QStringLiteral("transfer"), QStringLiteral("--to"),
                      QStringLiteral("ctl_listener,nobody"), QStringLiteral("--command"),
                      QStringLiteral("note"), QStringLiteral("hello \"there\"")},
                     *m_pService));
    QVERIFY2(sent.exitCode == 0, qPrintable(sent.errorText));
    QCOMPARE(sent.lines.size(), 1);
    QCOMPARE(Parse(sent.lines.first()).type, QStringLiteral("transfer_ret"));

    const Run cast = Ctl(WithPort({QStringLiteral("cast"), QStringLiteral("to everyone")}, *m_pService));
    QVERIFY2(cast.exitCode == 0, qPrintable(cast.errorText));

    listener.terminate();
    const Run heard = Finish(listener);
    QCOMPARE(heard.exitCode, 0);
    QStringList data;
    for (const QByteArray& line : heard.lines)
        if (Parse(line).type == QLatin1String("transfer"))
            data.append(Parse(line).data);
    QCOMPARE(data, (QStringList{QStringLiteral("hello \"there\""), QStringLiteral("to everyone")}));
    // It logged out on its way out.
    QVERIFY(m_pService->waitForLog(QStringLiteral("command_logout")));
}

void tst_Qorvctl::listenAnswersPreUninst_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");
    QTest::newRow("agree") << "200" << 200 << QString();
    QTest::newRow("refuse") << "201:busy, saving a file" << 201 << "busy, saving a file";
}

void tst_Qorvctl::listenAnswersPreUninst()
{
    QFETCH(QString, answer);
    QFETCH(int, code);
    QFETCH(QString, reason);
    QProcess listener;
    Start(listener, WithPort({QStringLiteral("--zmq"), QStringLiteral("--name"), QStringLiteral("ctl_app"),
                              QStringLiteral("listen"), QStringLiteral("--answer-pre-uninst"), answer},
                             *m_pService));
    // Stands in for the service asking the application; the answer goes back to the asker.
    ZmqTestClient asker(QStringLiteral("asker"), m_pService->zmqPort());
    QVERIFY(asker.login());
    std::optional<JsonCommand> reply;
    JsonCommand ask;
    // The listener may not be logged in yet: ask again until it answers.
    for (int attempt = 0; attempt < 50 && !reply; ++attempt) {
        ask = makeTransfer({QStringLiteral("ctl_app")}, QString(), QStringLiteral("pre_uninst"));
        QVERIFY(asker.send(ask));
        reply = asker.waitFor(
            [&](const JsonCommand& c) { return c.type == QLatin1String("transfer") && c.guid == ask.guid; },
            300);
    }
    QVERIFY(reply);
    QCOMPARE(reply->command, QStringLiteral("pre_uninst"));
    QCOMPARE(reply->from, QStringLiteral("ctl_app"));
    QCOMPARE(reply->to, QStringList{QStringLiteral("asker")});
    QCOMPARE(reply->error_code, code);
    QCOMPARE(reply->error_string, reason);
    listener.terminate();
    QCOMPARE(Finish(listener).exitCode, 0);
}

void tst_Qorvctl::preUninstHandshakeThroughService_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("resultCode");
    QTest::newRow("application agrees") << "200" << 0 << 100;
    QTest::newRow("application refuses") << "201:in a meeting" << 1 << 101;
}

void tst_Qorvctl::preUninstHandshakeThroughService()
{
    QFETCH(QString, answer);
    QFETCH(int, exitCode);
    QFETCH(int, resultCode);
    if (Ctl(WithPort({QStringLiteral("ability"), QStringLiteral("pre_uninst")}, *m_pService)).exitCode != 0)
        QSKIP("the service does not offer pre_uninst in this build");
    // The application is this listener; its process, qorvctl, is running.
    const QString appId = QStringLiteral("ctl_app_%1").arg(resultCode);
    QProcess listener;
    Start(listener, WithPort({QStringLiteral("--name"), appId, QStringLiteral("listen"),
                              QStringLiteral("--answer-pre-uninst"), answer},
                             *m_pService));
    QVERIFY(m_pService->waitForLog(QStringLiteral("strClient =  \"%1\"").arg(appId), 15000));
    const QString body = QStringLiteral("{\"appid\":\"%1\",\"processName\":\"qorvctl\"}").arg(appId);
    const Run run = Ctl(WithPort({QStringLiteral("send"), QStringLiteral("pre_uninst"), body}, *m_pService));
    QVERIFY2(run.exitCode == exitCode,
             qPrintable(QStringLiteral("exit %1: %2").arg(run.exitCode).arg(run.errorText)));
    QCOMPARE(Parse(run.lines.last()).error_code, resultCode);
    if (resultCode == 101)
        QVERIFY2(run.errorText.contains(QStringLiteral("in a meeting")), qPrintable(run.errorText));
    listener.terminate();
    QCOMPARE(Finish(listener).exitCode, 0);
}

void tst_Qorvctl::helpForEveryVerb()
{
    for (const QString& verb :
         {QStringLiteral("send"), QStringLiteral("abilities"), QStringLiteral("ability"),
          QStringLiteral("status"), QStringLiteral("transfer"), QStringLiteral("cast"),
          QStringLiteral("listen")}) {
        const Run run = Ctl({verb, QStringLiteral("--help")});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.lines.first().startsWith("Usage: qorvctl [OPTIONS] " + verb.toUtf8()),
                 run.lines.first().constData());
        const Run viaHelp = Ctl({QStringLiteral("help"), verb});
        QCOMPARE(viaHelp.lines, run.lines);
    }
    const Run general = Ctl({QStringLiteral("--help")});
    QCOMPARE(general.exitCode, 0);
    QVERIFY(general.lines.first().startsWith("Usage: qorvctl"));
}

void tst_Qorvctl::versionAndHelpOfBothPrograms_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("output"); // a pattern of all it prints
    const QString version = QRegularExpression::escape(QStringLiteral(QORV_VERSION));
    QTest::newRow("qorvctl --version") << qorvctlBinary() << "--version"
                                       << "qorvctl " + version + "\n";
    QTest::newRow("service --version") << serviceBinary() << "--version"
                                       << "qorv-utility-service " + version + "\n";
    QTest::newRow("service --help")
        << serviceBinary() << "--help"
        << "Usage: qorv-utility-service \\[--help \\| --version\\]\n.*qorvctl\\(1\\).*";
    QTest::newRow("service -h") << serviceBinary() << "-h"
                                << "Usage: qorv-utility-service .*";
}

void tst_Qorvctl::versionAndHelpOfBothPrograms()
{
    QFETCH(QString, program);
    QFETCH(QString, option);
    QFETCH(QString, output);
    // Answered at once, before the service would take its lock or open its log.
    QProcess process;
    process.start(program, {option});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QString printed = QString::fromUtf8(process.readAllStandardOutput());
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(output),
                                QRegularExpression::DotMatchesEverythingOption)
                 .match(printed)
                 .hasMatch(),
             qPrintable(printed));
}

void tst_Qorvctl::statusWithDownloadInFlight()
{
    // "/slow/" sends 16 KiB every 20 ms: 8 MiB stay in flight for about ten seconds.
    HttpTestServer http;
    http.Add(QStringLiteral("big.bin"), QByteArray(8 * 1024 * 1024, 'x'));
    QTemporaryDir target;
    ZmqTestClient downloader(QStringLiteral("ctl_downloader"), m_pService->zmqPort());
    QVERIFY(downloader.login());
    const QJsonObject body{{"from", http.Url(QStringLiteral("/slow/big.bin"))},
                           {"to", target.filePath(QStringLiteral("big.bin"))},
                           {"extra", ""}};
    JsonCommand download = makeCommand(QStringLiteral("command"), QStringLiteral("download"),
                                       QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact)));
    QVERIFY(downloader.send(download));
    QVERIFY(downloader.waitFor(
        [&](const JsonCommand& c) { return c.guid == download.guid && c.type == QLatin1String("transfer"); },
        15000));

    // Names given with --name stay logged in after their run, with nobody behind them.
    for (const QString& transport : {QStringLiteral("--ws"), QStringLiteral("--zmq")})
        QCOMPARE(Ctl(WithPort({transport, QStringLiteral("--name"), QStringLiteral("ctl_gone") + transport,
                               QStringLiteral("abilities")},
                              *m_pService))
                     .exitCode,
                 0);
    // Piped, it is JSON without being asked.
    Run json;
    QJsonObject status;
    QStringList clients;
    // The service learns that a connection closed a moment after it did.
    const auto gone = [&]() {
        json = Ctl(WithPort({QStringLiteral("status")}, *m_pService));
        status = QJsonDocument::fromJson(json.lines.value(0)).object();
        clients.clear();
        for (const QJsonValue& client : status.value(QLatin1String("clients")).toArray())
            clients << client[QLatin1String("name")].toString() + QLatin1Char(' ') +
                           client[QLatin1String("transport")].toString() +
                           (client[QLatin1String("connected")].toBool() ? QString()
                                                                        : QStringLiteral(" closed"));
        return clients.contains(QStringLiteral("ctl_gone--ws ws closed")) &&
               clients.contains(QStringLiteral("ctl_gone--zmq zmq closed"));
    };
    QTRY_VERIFY2_WITH_TIMEOUT(gone(), qPrintable(clients.join(", ") + json.errorText), 10000);
    QVERIFY2(json.exitCode == 0, qPrintable(json.errorText));
    QCOMPARE(json.lines.size(), 1);
    QVERIFY2(clients.contains(QStringLiteral("ctl_downloader zmq")) &&
                 clients.contains(QStringLiteral("worker zmq")),
             qPrintable(clients.join(", ")));
    QVERIFY2(clients.filter(QRegularExpression("^qorvctl-\\d+ ws$")).size() == 1,
             qPrintable(clients.join(", ")));
    const QJsonArray tasks = status.value(QLatin1String("tasks")).toArray();
    const auto task = std::find_if(tasks.begin(), tasks.end(), [&](const QJsonValue& t) {
        return t[QLatin1String("guid")].toString() == download.guid;
    });
    QVERIFY2(task != tasks.end(), json.lines.first().constData());
    QCOMPARE((*task)[QLatin1String("command")].toString(), QStringLiteral("download"));
    QCOMPARE((*task)[QLatin1String("client")].toString(), QStringLiteral("ctl_downloader"));

    // The same for people on a terminal: aligned tables.
    const QString text = Tty(WithPort({QStringLiteral("status")}, *m_pService));
    QVERIFY2(QRegularExpression("^ctl_gone--ws +ws +no +", QRegularExpression::MultilineOption)
                 .match(text)
                 .hasMatch(),
             qPrintable(text));
    QVERIFY2(QRegularExpression("^CLIENT +TRANSPORT +CONNECTED +SINCE$", QRegularExpression::MultilineOption)
                 .match(text)
                 .hasMatch(),
             qPrintable(text));
    QVERIFY2(
        QRegularExpression("^download +" + QRegularExpression::escape(download.guid) + " +ctl_downloader +",
                           QRegularExpression::MultilineOption)
            .match(text)
            .hasMatch(),
        qPrintable(text));

    JsonCommand stop = makeCommand(QStringLiteral("command"), QStringLiteral("stop_download"));
    stop.guid = download.guid;
    QVERIFY(downloader.send(stop));
    QVERIFY(downloader.waitFor([&](const JsonCommand& c) {
        return c.guid == download.guid && c.type == QLatin1String("command_ret");
    }));
}

void tst_Qorvctl::bashCompletion_data()
{
    QTest::addColumn<QStringList>("words"); // after the program, the last one being completed
    QTest::addColumn<QStringList>("offered");
    const QString ws = QString::number(m_pService->wsPort());
    const QString zmq = QString::number(m_pService->zmqPort());
    QTest::newRow("verb") << QStringList{"--json", "st"} << QStringList{"status"};
    QTest::newRow("option") << QStringList{"status", "--ti"} << QStringList{"--timeout"};
    QTest::newRow("an option's value is the user's") << QStringList{"--name", ""} << QStringList();
    QTest::newRow("help takes a verb") << QStringList{"help", "ab"} << QStringList{"abilities", "ability"};
    // Command names come from the service the line points at, another client's included.
    QTest::newRow("command names over ws")
        << QStringList{"--port", ws, "send", "fake"} << QStringList{"fake_job"};
    QTest::newRow("command names over zmq")
        << QStringList{"--zmq", "--port", zmq, "--timeout", "5", "ability", "query_m"}
        << QStringList{"query_memory"};
    QTest::newRow("only the first argument")
        << QStringList{"--port", ws, "send", "fake_job", "fa"} << QStringList();
    QTest::newRow("nobody listens") << QStringList{"--port", QString::number(pickFreePort()), "send", ""}
                                    << QStringList();
}

void tst_Qorvctl::bashCompletion()
{
    QFETCH(QStringList, words);
    QFETCH(QStringList, offered);
    const QString script =
        qEnvironmentVariable("QORV_SOURCE_DIR") + QStringLiteral("/packaging/completion/qorvctl");
    QProcess bash;
    bash.start(QStringLiteral("bash"),
               QStringList{QStringLiteral("--norc"), QStringLiteral("--noprofile"), QStringLiteral("-c"),
                           QStringLiteral(". \"$0\"; COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _qorvctl; "
                                          "printf '%s\\n' \"${COMPREPLY[@]}\""),
                           script, qorvctlBinary()} +
                   words);
    // The service is asked with a bound of a few seconds; a silent one must not hold the shell.
    QVERIFY(bash.waitForFinished(15000));
    QVERIFY2(bash.exitCode() == 0, bash.readAllStandardError().constData());
    QStringList got =
        QString::fromUtf8(bash.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(got, offered);
}

void tst_Qorvctl::zmqNoticesServiceGone_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("killed") << true;
    // Its connection stays open, but nothing answers the heartbeats any more.
    QTest::newRow("frozen") << false;
}

void tst_Qorvctl::zmqNoticesServiceGone()
{
    QFETCH(bool, killed);
    ServiceProcess service;
    QVERIFY2(service.start(), qPrintable(service.errorString()));
    QProcess listener;
    Start(listener, WithPort({QStringLiteral("--zmq"), QStringLiteral("--name"), QStringLiteral("ctl_watch"),
                              QStringLiteral("listen")},
                             service));
    QVERIFY(service.waitForLog(QStringLiteral("strClient =  \"ctl_watch\""), 15000));
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = static_cast<pid_t>(service.pid());
    if (killed)
        service.kill();
    else
        ::kill(pid, SIGSTOP);
    const Run run = Finish(listener, 20000);
    const qint64 ms = timer.elapsed();
    if (!killed)
        ::kill(pid, SIGCONT);
    QVERIFY2(run.exitCode == 3,
             qPrintable(QStringLiteral("exit %1: %2").arg(run.exitCode).arg(run.errorText)));
    qInfo("qorvctl --zmq ended %lld ms after the service %s", ms, killed ? "was killed" : "froze");
    QVERIFY2(ms < 8000, qPrintable(QString::number(ms)));
}

void tst_Qorvctl::nothingListensFailsAtOnce_data()
{
    QTest::addColumn<bool>("zmq");
    QTest::newRow("ws") << false;
    QTest::newRow("zmq") << true;
}

void tst_Qorvctl::nothingListensFailsAtOnce()
{
    QFETCH(bool, zmq);
    QStringList args{QStringLiteral("--port"), QString::number(pickFreePort()), QStringLiteral("status")};
    if (zmq)
        args.prepend(QStringLiteral("--zmq"));
    QElapsedTimer timer;
    timer.start();
    const Run run = Ctl(args);
    const qint64 ms = timer.elapsed();
    QVERIFY2(run.exitCode == 3,
             qPrintable(QStringLiteral("exit %1: %2").arg(run.exitCode).arg(run.errorText)));
    QVERIFY2(run.errorText.contains(QLatin1String("cannot connect")), qPrintable(run.errorText));
    // Two seconds at most, and a little for starting the program on a busy machine.
    QVERIFY2(ms < 3000, qPrintable(QString::number(ms)));
}

void tst_Qorvctl::interruptStopsItsTask_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

void tst_Qorvctl::interruptStopsItsTask()
{
    QFETCH(int, signal);
    // "/slow/" keeps 8 MiB in flight for about ten seconds.
    HttpTestServer http;
    http.Add(QStringLiteral("big.bin"), QByteArray(8 * 1024 * 1024, 'x'));
    QTemporaryDir target;
    QProcess ctl;
    Start(ctl, WithPort({QStringLiteral("send"), QStringLiteral("download"),
                         DownloadBody(http.Url(QStringLiteral("/slow/big.bin")),
                                      target.filePath(QStringLiteral("big.bin")))},
                        *m_pService));
    // Running once its first progress has come; the event loop serves the download meanwhile.
    QByteArray out;
    QString guid;
    const bool progressed = QTest::qWaitFor(
        [&]() {
            out += ctl.readAllStandardOutput();
            for (const QByteArray& line : out.split('\n'))
                if (Parse(line).type == QLatin1String("transfer") && Parse(line).error_code == 0)
                    guid = Parse(line).guid;
            return !guid.isEmpty() || ctl.state() != QProcess::Running;
        },
        15000);
    QVERIFY2(progressed && !guid.isEmpty(), out.constData());
    ::kill(static_cast<pid_t>(ctl.processId()), signal);
    const Run run = Finish(ctl, 15000);
    QVERIFY2(run.exitCode == 130,
             qPrintable(QStringLiteral("exit %1: %2").arg(run.exitCode).arg(run.errorText)));
    QVERIFY2(run.errorText.contains(QStringLiteral("stopped download ") + guid), qPrintable(run.errorText));
    // The service no longer runs it.
    QTRY_VERIFY_WITH_TIMEOUT(
        !Ctl(WithPort({QStringLiteral("status")}, *m_pService)).lines.value(0).contains(guid.toUtf8()),
        10000);
}

void tst_Qorvctl::interruptWithoutStopCommand()
{
    // Another client's command: the catalog names no stop command for it.
    QProcess ctl;
    Start(ctl, WithPort({QStringLiteral("send"), QStringLiteral("fake_job")}, *m_pService));
    const auto job = m_pWorker->waitFor(
        [](const JsonCommand& c) {
            return c.type == QLatin1String("command") && c.command == QLatin1String("fake_job");
        },
        15000);
    QVERIFY(job);
    ::kill(static_cast<pid_t>(ctl.processId()), SIGINT);
    const Run run = Finish(ctl, 15000);
    QVERIFY2(run.exitCode == 130,
             qPrintable(QStringLiteral("exit %1: %2").arg(run.exitCode).arg(run.errorText)));
    QVERIFY2(run.errorText.contains(QStringLiteral("names no stop command, task %1 goes on").arg(job->guid)),
             qPrintable(run.errorText));
    while (m_pWorker->receive(0)) {
    }
}

void tst_Qorvctl::terminalShowsGuidAndOneBar()
{
    // 512 KiB at 16 KiB every 20 ms: progress for about two thirds of a second.
    HttpTestServer http;
    http.Add(QStringLiteral("mid.bin"), QByteArray(512 * 1024, 'x'));
    QTemporaryDir target;
    const QString shown = Tty(WithPort(
        {QStringLiteral("send"), QStringLiteral("download"),
         DownloadBody(http.Url(QStringLiteral("/slow/mid.bin")), target.filePath(QStringLiteral("mid.bin")))},
        *m_pService));
    QVERIFY2(QRegularExpression(QStringLiteral("^download started, guid \\{[-0-9a-f]{36}\\}$"),
                                QRegularExpression::MultilineOption)
                 .match(shown)
                 .hasMatch(),
             qPrintable(shown));
    // The bar: percent to one decimal, elapsed time, an estimate; no line per update.
    QVERIFY2(QRegularExpression(QStringLiteral("\\] +\\d+\\.\\d% \\d+:\\d\\d left ")).match(shown).hasMatch(),
             qPrintable(shown));
    QVERIFY2(!shown.contains(QLatin1String("download  0  ")), qPrintable(shown));
    QVERIFY2(shown.contains(QLatin1String("download  100  ")), qPrintable(shown));
}

void tst_Qorvctl::terminalWrapsLongLists()
{
    const int columns = 40;
    const QString shown = Tty(WithPort({QStringLiteral("abilities")}, *m_pService), columns);
    QVERIFY2(shown.contains(QLatin1String("query_memory")), qPrintable(shown));
    for (const QString& line : shown.split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= columns, qPrintable(line));
}

QTEST_GUILESS_MAIN(tst_Qorvctl)
#include "tst_Qorvctl.moc"
