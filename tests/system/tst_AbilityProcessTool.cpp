// The process ability through the hub, without sockets: answers of "query_proc", the keep-alive
// watchdog and how "stop_proc" ends it, on real child processes.
#include "system/AbilityProcessTool.h"
#include "tests/support/HubCapture.h"
#include "tests/system/ProbeChildren.h"

#include <QDir>
#include <QtTest>

#include <csignal>

class tst_AbilityProcessTool : public QObject
{
    Q_OBJECT
private slots:
    void offersItsCommandsInOrder();
    void refusesWhatIsNotItsCommand_data();
    void refusesWhatIsNotItsCommand();
    void queryProcAnswers_data();
    void queryProcAnswers();
    void startProcStartsWithoutAnswer();
    void keptProgramComesBackWithinAboutASecond();
    void stopProcEndsKeepingForGood();
    void stopProcInOtherCaseKillsButKeeps();
    void keepProcRefusesWhatIsNoProgram_data();
    void keepProcRefusesWhatIsNoProgram();
    void stopProcWithWildcardKillsNothing();
    void queryAfterStopFindsTheStopDone();
    void keepAliveListsProcessesOnceAtATime();
};

void tst_AbilityProcessTool::offersItsCommandsInOrder()
{
    AbilityProcessTool ability;
    const std::vector<QString> expected{"start_proc", "query_proc", "keep_proc", "stop_proc"};
    QCOMPARE(ability.GetAbilities(), expected);
}

void tst_AbilityProcessTool::refusesWhatIsNotItsCommand_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("command");
    QTest::newRow("query type") << "query"
                                << "query_proc";
    QTest::newRow("notify type") << "notify"
                                 << "stop_proc";
    QTest::newRow("other command") << "command"
                                   << "query_cpu";
}

void tst_AbilityProcessTool::refusesWhatIsNotItsCommand()
{
    QFETCH(QString, type);
    QFETCH(QString, command);
    AbilityProcessTool ability;
    QVERIFY(!ability.DealCommand(MakeRequest(command, QStringLiteral("x"), type)));
}

void tst_AbilityProcessTool::queryProcAnswers_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<qint64>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("running, other case") << "upper" << qint64(100) << "exist";
    QTest::newRow("running, exact") << "exact" << qint64(100) << "exist";
    QTest::newRow("not running") << "qorv-nothing-runs-under-this-name" << qint64(101) << "not exist";
    QTest::newRow("wildcard") << "*" << qint64(101) << "not exist";
    QTest::newRow("empty") << "" << qint64(101) << "not exist";
}

void tst_AbilityProcessTool::queryProcAnswers()
{
    QFETCH(QString, form);
    QFETCH(qint64, code);
    QFETCH(QString, text);
    ProbeChildren children;
    const QString path = children.makeProgram();
    QVERIFY(!children.start(path, {QStringLiteral("sleep")}).isEmpty());
    const QString name = QFileInfo(path).fileName();
    const QString data = form == QLatin1String("upper")   ? name.toUpper()
                         : form == QLatin1String("exact") ? name
                                                          : form;
    HubCapture hub;
    AbilityProcessTool ability;
    const JsonCommand request = MakeRequest(QStringLiteral("query_proc"), data);
    QVERIFY(ability.DealCommand(request));
    const auto answer = hub.WaitFor(request.guid, 5000);
    QVERIFY(answer);
    QCOMPARE(answer->envelope.type, QStringLiteral("transfer"));
    QCOMPARE(answer->envelope.to, QStringList{request.from});
    QCOMPARE(answer->envelope.userdata, request.userdata);
    QCOMPARE(answer->envelope.command, QStringLiteral("query_proc"));
    QCOMPARE(answer->envelope.error_code, code);
    QCOMPARE(answer->envelope.error_string, text);
    QVERIFY(answer->envelope.data.isEmpty());
}

void tst_AbilityProcessTool::startProcStartsWithoutAnswer()
{
    ProbeChildren children;
    const QString path = children.makeProgram(QStringLiteral("qorv_started"));
    HubCapture hub;
    AbilityProcessTool ability;
    const JsonCommand request = MakeRequest(QStringLiteral("start_proc"), path);
    QVERIFY(ability.DealCommand(request));
    QTRY_COMPARE_WITH_TIMEOUT(pidsOfExecutable(QFileInfo(path).fileName()).size(), 1, 10000);
    QVERIFY(hub.ForGuid(request.guid).isEmpty());
}

void tst_AbilityProcessTool::keptProgramComesBackWithinAboutASecond()
{
    ProbeChildren children;
    const QString path = children.makeProgram(QStringLiteral("qorv_kept"));
    const QString name = QFileInfo(path).fileName();
    AbilityProcessTool ability;
    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("keep_proc"), path)));
    QCOMPARE(ability.KeptPrograms().value(name), path);
    QVERIFY(ability.IsWatching());
    QTRY_COMPARE_WITH_TIMEOUT(pidsOfExecutable(name).size(), 1, 10000);

    const qint64 first = pidsOfExecutable(name).first();
    ::kill(static_cast<pid_t>(first), SIGKILL);
    QElapsedTimer gone;
    gone.start();
    QTRY_VERIFY_WITH_TIMEOUT(!isAlive(first), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(pidsOfExecutable(name).size(), 1, 10000);
    QVERIFY(pidsOfExecutable(name).first() != first);
    qInfo() << "restarted after" << gone.elapsed() << "ms";
    // One tick plus generous slack for a loaded machine; a missed tick or no watchdog shows.
    QVERIFY(gone.elapsed() < 4 * AbilityProcessTool::kKeepIntervalMs);
}

void tst_AbilityProcessTool::stopProcEndsKeepingForGood()
{
    ProbeChildren children;
    const QString path = children.makeProgram(QStringLiteral("qorv_kept"));
    const QString name = QFileInfo(path).fileName();
    AbilityProcessTool ability;
    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("keep_proc"), path)));
    QTRY_COMPARE_WITH_TIMEOUT(pidsOfExecutable(name).size(), 1, 10000);

    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("stop_proc"), name)));
    QVERIFY(ability.KeptPrograms().isEmpty());
    QVERIFY(!ability.IsWatching());
    // The kill runs on the worker pool.
    QTRY_VERIFY_WITH_TIMEOUT(pidsOfExecutable(name).isEmpty(), 5000);
    // Several watchdog periods pass without a restart.
    QTest::qWait(3 * AbilityProcessTool::kKeepIntervalMs);
    QVERIFY(pidsOfExecutable(name).isEmpty());
}

void tst_AbilityProcessTool::stopProcInOtherCaseKillsButKeeps()
{
    ProbeChildren children;
    const QString path = children.makeProgram(QStringLiteral("qorv_kept"));
    const QString name = QFileInfo(path).fileName();
    AbilityProcessTool ability;
    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("keep_proc"), path)));
    QTRY_COMPARE_WITH_TIMEOUT(pidsOfExecutable(name).size(), 1, 10000);
    const qint64 first = pidsOfExecutable(name).first();

    // The table's keys compare exactly, the kill ignores case: killed, then started again.
    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("stop_proc"), name.toUpper())));
    QTRY_VERIFY_WITH_TIMEOUT(!isAlive(first), 5000);
    QCOMPARE(ability.KeptPrograms().keys(), QStringList{name});
    QVERIFY(ability.IsWatching());
    QTRY_COMPARE_WITH_TIMEOUT(pidsOfExecutable(name).size(), 1, 10000);

    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("stop_proc"), name)));
    QTRY_VERIFY_WITH_TIMEOUT(pidsOfExecutable(name).isEmpty(), 5000);
}

void tst_AbilityProcessTool::keepProcRefusesWhatIsNoProgram_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<bool>("kept");
    QTest::newRow("folder with trailing separator") << "folder/" << false;
    QTest::newRow("folder") << "folder" << false;
    QTest::newRow("document") << "document" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("missing program, retried later") << "missing" << true;
}

void tst_AbilityProcessTool::keepProcRefusesWhatIsNoProgram()
{
    QFETCH(QString, form);
    QFETCH(bool, kept);
    QTemporaryDir dir;
    QFile document(dir.filePath(QStringLiteral("notes.txt")));
    QVERIFY(document.open(QIODevice::WriteOnly));
    document.close();
    QString path;
    if (form == QLatin1String("folder/"))
        path = dir.path() + QLatin1Char('/');
    else if (form == QLatin1String("folder"))
        path = dir.path();
    else if (form == QLatin1String("document"))
        path = document.fileName();
    else if (form == QLatin1String("missing"))
        path = dir.filePath(QStringLiteral("qorv-appears-later"));
    AbilityProcessTool ability;
    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("keep_proc"), path)));
    QCOMPARE(!ability.KeptPrograms().isEmpty(), kept);
    QCOMPARE(ability.IsWatching(), kept);
}

void tst_AbilityProcessTool::stopProcWithWildcardKillsNothing()
{
    ProbeChildren children;
    const QString path = children.makeProgram();
    const QList<qint64> pids = children.start(path, {QStringLiteral("sleep")});
    QVERIFY(!pids.isEmpty());
    AbilityProcessTool ability;
    for (const QString& name :
         {QStringLiteral("*"), QStringLiteral("*.*"), QFileInfo(path).fileName().left(6) + QLatin1Char('*')})
        QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("stop_proc"), name)));
    // A query after the stops is answered only once they have been dealt with.
    HubCapture hub;
    const JsonCommand query = MakeRequest(QStringLiteral("query_proc"), QFileInfo(path).fileName());
    QVERIFY(ability.DealCommand(query));
    QVERIFY(hub.WaitFor(query.guid, 10000));
    QVERIFY(isAlive(pids.first()));
}

void tst_AbilityProcessTool::queryAfterStopFindsTheStopDone()
{
    // The kill runs on the worker pool, yet a query asked after it sees its end.
    ProbeChildren children;
    const QString path = children.makeProgram();
    QVERIFY(!children.start(path, {QStringLiteral("sleep")}).isEmpty());
    const QString name = QFileInfo(path).fileName();
    HubCapture hub;
    AbilityProcessTool ability;
    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("stop_proc"), name)));
    const JsonCommand query = MakeRequest(QStringLiteral("query_proc"), name);
    QVERIFY(ability.DealCommand(query));
    const auto answer = hub.WaitFor(query.guid, 10000);
    QVERIFY(answer);
    QCOMPARE(answer->envelope.error_code, AbilityProcessTool::kProcNotExist);
}

void tst_AbilityProcessTool::keepAliveListsProcessesOnceAtATime()
{
    ProbeChildren children;
    const QString path = children.makeProgram(QStringLiteral("qorv_kept"));
    AbilityProcessTool ability;
    QVERIFY(ability.DealCommand(MakeRequest(QStringLiteral("keep_proc"), path)));
    // Ticks faster than the lists come back add none while one is out.
    for (int i = 0; i < 50; ++i)
        ability.OnTimer();
    QCOMPARE(ability.ActionsQueued(), std::size_t(1));
    QTRY_COMPARE_WITH_TIMEOUT(pidsOfExecutable(QFileInfo(path).fileName()).size(), 1, 10000);
}

QTEST_GUILESS_MAIN(tst_AbilityProcessTool)
#include "tst_AbilityProcessTool.moc"
