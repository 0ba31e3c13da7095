// Bounded children on Windows: run by cmd, whose own parsing the tests lean on; a program left
// running at the bound is killed together with everything it started, and a batch file is never
// handed to an interpreter.
#include "core/BoundedChild.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <windows.h>

#include <tlhelp32.h>

namespace {

int ProcessesNamed(const wchar_t* _szName)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        count += _wcsicmp(entry.szExeFile, _szName) == 0 ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

} // namespace

class tst_BoundedChild_win : public QObject
{
    Q_OBJECT
private slots:
    void runs_data();
    void runs();
    void batchFileIsNotRun();
};

void tst_BoundedChild_win::runs_data()
{
    QTest::addColumn<QByteArray>("program");
    QTest::addColumn<QList<QByteArray>>("args");
    QTest::addColumn<bool>("merge");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("timedOut");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output"); // trimmed
    QTest::newRow("output and exit code") << QByteArray("cmd") << QList<QByteArray>{"/c", "echo out& exit 3"}
                                          << false << true << false << 3 << QByteArray("out");
    QTest::newRow("standard error dropped") << QByteArray("cmd") << QList<QByteArray>{"/c", "echo err>&2"}
                                            << false << true << false << 0 << QByteArray();
    QTest::newRow("standard error merged") << QByteArray("cmd") << QList<QByteArray>{"/c", "echo err>&2"}
                                           << true << true << false << 0 << QByteArray("err");
    QTest::newRow("missing program") << QByteArray("qorv-no-such-program") << QList<QByteArray>{} << false
                                     << false << false << -1 << QByteArray();
    // Output so far is kept, and the grandchild that holds no output is killed too.
    QTest::newRow("overruns its bound")
        << QByteArray("cmd") << QList<QByteArray>{"/c", "echo early& ping -n 60 127.0.0.1 >nul"} << false
        << true << true << -1 << QByteArray("early");
}

void tst_BoundedChild_win::runs()
{
    QFETCH(QByteArray, program);
    QFETCH(QList<QByteArray>, args);
    QFETCH(bool, merge);
    QFETCH(bool, started);
    QFETCH(bool, timedOut);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    const int pingsBefore = ProcessesNamed(L"ping.exe");
    QElapsedTimer timer;
    timer.start();
    const BoundedChild::Result result = BoundedChild::Run(program, args, 3000, 1024, merge);
    QCOMPARE(result.started, started);
    QCOMPARE(result.timedOut, timedOut);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.output.trimmed(), output);
    QVERIFY(timer.elapsed() < 30000);
    QTRY_COMPARE_WITH_TIMEOUT(ProcessesNamed(L"ping.exe"), pingsBefore, 5000);
}

void tst_BoundedChild_win::batchFileIsNotRun()
{
    // CreateProcess would run it through cmd, which reads the arguments as a command line.
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("probe.bat"));
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("echo ran> \"" + QFile::encodeName(QDir::toNativeSeparators(dir.filePath("ran"))) + "\"\r\n");
    file.close();
    const BoundedChild::Result result = BoundedChild::Run(QFile::encodeName(script), {"x"}, 3000);
    QVERIFY(!result.started);
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("ran"))));
}

QTEST_GUILESS_MAIN(tst_BoundedChild_win)
#include "tst_BoundedChild_win.moc"
