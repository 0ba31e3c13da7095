#include "update/PreUninstAction.h"

#include "core/DescendantWatch.h"
#include "system/ProcessHelper.h"
#include "tests/support/TestFiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// The action runs with its path as an argument (never parsed by a shell), does not block the
// caller, lasts until every process it started has ended, and cannot end its own watch: whatever
// it does, every process it started is gone by the bound, and it is reported only then. Processes
// that are not the action's are never touched.
class tst_PreUninstAction : public QObject
{
    Q_OBJECT
private slots:
    void runs_data();
    void runs();
    void sparesOthers();
};

namespace {

// The pids an action's script wrote into "pids", one a line.
QList<pid_t> RecordedPids(const QString& _qstrFolder)
{
    QList<pid_t> pids;
    for (const QByteArray& line : ReadFile(_qstrFolder + "/pids").split('\n'))
        if (line.trimmed().toInt() > 0)
            pids.append(line.trimmed().toInt());
    return pids;
}

// Running: present and not a zombie.
bool IsRunning(pid_t _nPid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(_nPid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    return !text.mid(text.lastIndexOf(')')).startsWith(") Z");
}

// This test's children that have ended and wait to be reaped.
QList<pid_t> ZombieChildren()
{
    QList<pid_t> zombies;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(getpid());
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        for (const QByteArray& field : ReadFile(tasks + "/" + task + "/children").split(' '))
            if (field.trimmed().toInt() > 0 && !IsRunning(field.trimmed().toInt()) &&
                QFile::exists(QStringLiteral("/proc/%1").arg(field.trimmed().toInt())))
                zombies.append(field.trimmed().toInt());
    return zombies;
}

bool AdoptsOrphans()
{
    int subreaper = 0;
    return prctl(PR_GET_CHILD_SUBREAPER, &subreaper) == 0 && subreaper != 0;
}

} // namespace

void tst_PreUninstAction::runs_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("boundMs");
    QTest::addColumn<bool>("completed");
    QTest::addColumn<int>("processes"); // how many pids the script records
    // Waits until the pids file has $1 lines: an escape is tried only once everything is recorded.
    const QByteArray recorded =
        "recorded() { while [ \"$(wc -l < pids)\" -lt \"$1\" ]; do sleep 0.02; done; }\n: >> pids\n";

    QTest::newRow("ends by itself") << QByteArray("echo done > marker\n") << 20000 << true << 0;
    QTest::newRow("fails, still ended by itself")
        << QByteArray("echo done > marker; exit 3\n") << 20000 << true << 0;
    QTest::newRow("waits for its child, which ends")
        << QByteArray("sleep 0.2 &\necho done > marker\nwait\n") << 20000 << true << 0;
    QTest::newRow("hangs with a child")
        << QByteArray("sleep 300 & echo $! >> pids\necho done > marker\nwait\n") << 1500 << false << 1;
    // Ended itself, but what it left running counts as the action until the bound.
    QTest::newRow("leaves a child in a session of its own, by way of a subshell")
        << recorded + "(setsid sh -c 'echo $$ >> pids; exec sleep 300' &)\nrecorded 1\necho done > marker\n"
        << 1500 << false << 1;

    // Escapes: the script kills or stops the reaper between it and the service.
    QTest::newRow("kills its watcher, a child left in the background")
        << QByteArray("sleep 97 & echo $! >> pids\necho done > marker\nkill -KILL $PPID\n") << 3000 << false
        << 1;
    QTest::newRow("kills its watcher and lives on")
        << QByteArray("echo $$ >> pids\necho done > marker\nkill -KILL $PPID\nexec sleep 97\n") << 3000
        << false << 1;
    QTest::newRow("forks twice into a session of its own, then kills its watcher")
        << recorded + "echo $$ >> pids\n(setsid sh -c 'echo $$ >> pids; exec sleep 97' &)\nrecorded 2\n"
                      "echo done > marker\nkill -KILL $PPID\nsleep 97\n"
        << 3000 << false << 2;
    // Names that pass for a kernel thread: the command name (as prctl(PR_SET_NAME) sets it) and
    // the argument list (exec -a).
    QTest::newRow("renames itself, then kills its watcher")
        << recorded + "sh -c 'echo $$ >> pids; printf \"[kworker/0:1]\" > /proc/self/comm;"
                      " while :; do sleep 1; done' &\n"
                      "bash -c 'echo $$ >> pids; exec -a \"[kworker/u8:2]\" sleep 97' &\nrecorded 2\n"
                      "echo done > marker\nkill -KILL $PPID\n"
        << 3000 << false << 2;
    QTest::newRow("keeps starting processes in sessions of their own while it kills its watcher")
        << QByteArray("echo $$ >> pids\n(i=0; while [ $i -lt 200 ]; do (setsid sleep 97 &); i=$((i+1)); done;"
                      " sleep 97) & echo $! >> pids\nsleep 0.1\necho done > marker\nkill -KILL $PPID\n"
                      "sleep 97\n")
        << 3000 << false << 2;
    // A stopped reaper would never act on a request to end; the bound does not ask it.
    QTest::newRow("stops its watcher")
        << QByteArray("kill -STOP $PPID\nsleep 97 & echo $! >> pids\necho done > marker\nwait\n") << 1500
        << false << 1;
}

void tst_PreUninstAction::runs()
{
    QFETCH(QByteArray, script);
    QFETCH(int, boundMs);
    QFETCH(bool, completed);
    QFETCH(int, processes);
    QTemporaryDir dir;
    // Blanks and a semicolon: a shell command line would split this name.
    const QString path = dir.path() + "/pre uninst;touch injected.sh";
    WriteFile(path, script);

    PreUninstAction action;
    action.SetTimeoutMs(boundMs);
    QSignalSpy spy(&action, &PreUninstAction::signFinished);
    // What still runs at the very moment the action is reported.
    QList<pid_t> runningAtReport{-1};
    connect(&action, &PreUninstAction::signFinished, this, [&] {
        runningAtReport.clear();
        for (pid_t pid : RecordedPids(dir.path()))
            if (IsRunning(pid))
                runningAtReport.append(pid);
    });
    QElapsedTimer clock;
    clock.start();
    action.Start(path);
    QVERIFY(action.IsRunning());
    QVERIFY(AdoptsOrphans());
    QVERIFY(spy.wait(boundMs + 20000));
    const qint64 elapsedMs = clock.elapsed();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().toBool(), completed);
    QVERIFY(QFile::exists(dir.path() + "/marker"));
    QVERIFY(!QFile::exists(dir.path() + "/injected.sh") && !QFile::exists(dir.path() + "/injected"));
    QCOMPARE(RecordedPids(dir.path()).size(), processes);
    QCOMPARE(runningAtReport, QList<pid_t>());
    // An action that ends by itself is not held up to its bound; none is let run long past it.
    if (completed)
        QVERIFY2(elapsedMs < boundMs / 4, qPrintable(QString::number(elapsedMs)));
    else
        QVERIFY2(elapsedMs < boundMs + 4000, qPrintable(QString::number(elapsedMs)));
    // Whatever the action left to this process has been reaped, and orphans go back to init.
    QTRY_COMPARE_WITH_TIMEOUT(ZombieChildren(), QList<pid_t>(), 5000);
    QVERIFY(!AdoptsOrphans());
    QVERIFY(!DescendantWatch::Instance().IsWatching());
}

// An action that kills its watcher while this process also has a child of its own (in a session of
// its own) and a program it started for a client: both live on, the child's end still reaches its
// QProcess, and the program, adopted meanwhile, is reaped here once it ends.
void tst_PreUninstAction::sparesOthers()
{
    QTemporaryDir dir;
    QProcess own;
    // Leaves this process's session, as a child of its own may.
    own.start("setsid", {"sleep", "300"});
    QVERIFY(own.waitForStarted());
    WriteFile(dir.path() + "/started.sh",
              "#!/bin/sh\necho $$ > '" + dir.path().toUtf8() + "/started.pid'\nexec sleep 300\n");
    QVERIFY(QFile::setPermissions(dir.path() + "/started.sh",
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    WriteFile(dir.path() + "/action.sh", "echo $$ >> pids\nwhile [ ! -e go ]; do sleep 0.02; done\n"
                                         "sleep 97 & echo $! >> pids\nkill -KILL $PPID\n");

    PreUninstAction action;
    action.SetTimeoutMs(20000);
    QSignalSpy spy(&action, &PreUninstAction::signFinished);
    action.Start(dir.path() + "/action.sh");
    QTRY_COMPARE_WITH_TIMEOUT(RecordedPids(dir.path()).size(), 1, 10000);
    // As start_proc starts it, while the action runs.
    QVERIFY(ProcessHelper::StartProcess(dir.path() + "/started.sh"));
    QTRY_VERIFY_WITH_TIMEOUT(ReadFile(dir.path() + "/started.pid").trimmed().toInt() > 0, 10000);
    const pid_t started = ReadFile(dir.path() + "/started.pid").trimmed().toInt();
    // Not left behind by a failed check.
    auto stopStarted = qScopeGuard([started] { kill(started, SIGKILL); });
    WriteFile(dir.path() + "/go", "");

    QVERIFY(spy.wait(20000));
    QCOMPARE(spy.first().first().toBool(), false);
    const QList<pid_t> actions = RecordedPids(dir.path());
    QCOMPARE(actions.size(), 2);
    for (pid_t pid : actions)
        QVERIFY(!IsRunning(pid));
    QVERIFY(IsRunning(started));
    QCOMPARE(own.state(), QProcess::Running);

    // Ended but not yet reaped when the watch looks: its end is still Qt's to collect.
    const pid_t ownPid = static_cast<pid_t>(own.processId());
    QCOMPARE(kill(ownPid, SIGKILL), 0);
    siginfo_t ended{};
    QCOMPARE(waitid(P_PID, static_cast<id_t>(ownPid), &ended, WEXITED | WNOWAIT), 0);
    DescendantWatch::Instance().Check();
    QVERIFY(own.waitForFinished(5000));
    QCOMPARE(own.exitStatus(), QProcess::CrashExit);
    QCOMPARE(own.exitCode(), SIGKILL);
    // Adopted while the action ran: nobody but this process can reap it.
    stopStarted.dismiss();
    QCOMPARE(kill(started, SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral("/proc/%1").arg(started)), 5000);
    QCOMPARE(ZombieChildren(), QList<pid_t>());
}

QTEST_GUILESS_MAIN(tst_PreUninstAction)
#include "tst_PreUninstAction.moc"
