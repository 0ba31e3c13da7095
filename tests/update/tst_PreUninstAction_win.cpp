// The pre-uninstall batch file on Windows: run by cmd with its path never read as a command line,
// and held in a job with everything it starts, so that the action lasts until all of it has
// ended and nothing of it outlives the bound. Processes that are not the action's are untouched.
#include "update/PreUninstAction.h"

#include "core/DescendantWatch.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <windows.h>

#include <tlhelp32.h>

namespace {

int ProcessesNamed(const QString& _qstrName)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        count +=
            QString::fromWCharArray(entry.szExeFile).compare(_qstrName, Qt::CaseInsensitive) == 0 ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

void Write(const QString& _qstrPath, const QByteArray& _baText)
{
    QFile file(_qstrPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(_baText), qint64(_baText.size()));
}

} // namespace

class tst_PreUninstAction_win : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void runs_data();
    void runs();
    void sparesOthers();

private:
    QTemporaryDir m_dir;
    // A copy of ping under a name no other process has: the action's long-running child.
    QString m_qstrWaiter;
    QByteArray m_baWaiterPath;
};

void tst_PreUninstAction_win::initTestCase()
{
    const QString ping = QStandardPaths::findExecutable(QStringLiteral("ping"));
    QVERIFY(!ping.isEmpty());
    m_qstrWaiter = QStringLiteral("qorv_wait_") + QUuid::createUuid().toString(QUuid::Id128).left(10) +
                   QStringLiteral(".exe");
    QVERIFY(QFile::copy(ping, m_dir.filePath(m_qstrWaiter)));
    m_baWaiterPath = "\"" + QFile::encodeName(QDir::toNativeSeparators(m_dir.filePath(m_qstrWaiter))) + "\"";
}

void tst_PreUninstAction_win::runs_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("boundMs");
    QTest::addColumn<bool>("completed");
    const QByteArray wait = m_baWaiterPath + " -n 300 127.0.0.1 >nul";

    QTest::newRow("ends by itself") << QByteArray("echo done> marker\r\n") << 20000 << true;
    QTest::newRow("fails, still ended by itself")
        << QByteArray("echo done> marker\r\nexit 3\r\n") << 20000 << true;
    QTest::newRow("waits for a child in the background, which ends")
        << "start \"\" /b " + m_baWaiterPath + " -n 2 127.0.0.1 >nul\r\necho done> marker\r\n"
        << 20000 << true;
    QTest::newRow("hangs with a child") << "echo done> marker\r\n" + wait + "\r\n" << 2000 << false;
    // Ended itself, but what it left running counts as the action until the bound.
    QTest::newRow("leaves a child running in the background")
        << "start \"\" /b " + wait + "\r\necho done> marker\r\n"
        << 2000 << false;
    QTest::newRow("leaves a child in a console of its own")
        << "start \"\" /min " + wait + "\r\necho done> marker\r\n"
        << 2000 << false;
}

void tst_PreUninstAction_win::runs()
{
    QFETCH(QByteArray, script);
    QFETCH(int, boundMs);
    QFETCH(bool, completed);
    QTemporaryDir dir;
    // cmd would split this name at the blank and the ampersands. (A '%' is left out: Wine's cmd
    // expands a variable's value a second time, which Windows does not.)
    const QString path = dir.filePath(QStringLiteral("pre uninst&mkdir injected&(x).bat"));
    Write(path, script);

    PreUninstAction action;
    action.SetTimeoutMs(boundMs);
    QSignalSpy spy(&action, &PreUninstAction::signFinished);
    int runningAtReport = -1;
    connect(&action, &PreUninstAction::signFinished, this,
            [&] { runningAtReport = ProcessesNamed(m_qstrWaiter); });
    QElapsedTimer clock;
    clock.start();
    action.Start(path);
    QVERIFY(action.IsRunning());
    QVERIFY(spy.wait(boundMs + 20000));
    const qint64 elapsedMs = clock.elapsed();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().toBool(), completed);
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("marker"))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("injected"))));
    QCOMPARE(runningAtReport, 0);
    if (!completed)
        QVERIFY2(elapsedMs < boundMs + 4000, qPrintable(QString::number(elapsedMs)));
    QVERIFY(!DescendantWatch::Instance().IsWatching());
}

// A program of this process's own, started while the action runs, lives on when the action is
// killed at its bound.
void tst_PreUninstAction_win::sparesOthers()
{
    QProcess own;
    own.start(m_dir.filePath(m_qstrWaiter),
              {QStringLiteral("-n"), QStringLiteral("300"), QStringLiteral("127.0.0.1")});
    QVERIFY(own.waitForStarted(10000));
    QTemporaryDir dir;
    Write(dir.filePath(QStringLiteral("action.bat")), m_baWaiterPath + " -n 300 127.0.0.1 >nul\r\n");
    PreUninstAction action;
    action.SetTimeoutMs(1500);
    QSignalSpy spy(&action, &PreUninstAction::signFinished);
    action.Start(dir.filePath(QStringLiteral("action.bat")));
    QTRY_COMPARE_WITH_TIMEOUT(ProcessesNamed(m_qstrWaiter), 2, 10000);
    QVERIFY(spy.wait(20000));
    QCOMPARE(spy.first().first().toBool(), false);
    QCOMPARE(ProcessesNamed(m_qstrWaiter), 1);
    QCOMPARE(own.state(), QProcess::Running);
    own.kill();
    QVERIFY(own.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(tst_PreUninstAction_win)
#include "tst_PreUninstAction_win.moc"
