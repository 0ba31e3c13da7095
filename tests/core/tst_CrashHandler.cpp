#include "core/CrashHandler.h"
#include "core/ServiceThread.h"

#include <QtTest>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

class tst_CrashHandler : public QObject
{
    Q_OBJECT
private slots:
    void writesReportAndDiesOfTheSignal_data();
    void writesReportAndDiesOfTheSignal();
};

void tst_CrashHandler::writesReportAndDiesOfTheSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("where");
    QTest::newRow("segfault") << SIGSEGV << "main";
    QTest::newRow("abort") << SIGABRT << "main";
    QTest::newRow("fpe") << SIGFPE << "main";
    QTest::newRow("segfault on a worker thread") << SIGSEGV << "worker";
    QTest::newRow("stack overflow on a worker thread") << SIGSEGV << "overflow";
    QTest::newRow("stack overflow on the main thread") << SIGSEGV << "main overflow";
}

// Recurses until the stack is gone; the frame is kept by writing and reading it.
static int __attribute__((noinline)) Overflow(int _nDepth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(_nDepth);
    return _nDepth < INT_MAX ? Overflow(_nDepth + 1) + frame[0] : 0;
}

static void CrashOnPurpose(int _nSignal)
{
    if (_nSignal == SIGSEGV) {
        // A low, non-null address: a real fault rather than a null store a sanitizer would catch.
        // Read from a volatile so the compiler cannot see (and warn about) the constant address.
        static volatile uintptr_t s_nAddress = 16;
        volatile int* nowhere = reinterpret_cast<volatile int*>(s_nAddress);
        *nowhere = 1;
    }
    if (_nSignal == SIGABRT)
        abort();
    raise(_nSignal);
}

void tst_CrashHandler::writesReportAndDiesOfTheSignal()
{
    QFETCH(int, signal);
    QFETCH(QString, where);
#if defined(__SANITIZE_THREAD__)
    // The child is forked from this multi-threaded test, and ThreadSanitizer refuses threads there.
    if (where == "worker" || where == "overflow")
        QSKIP("ThreadSanitizer cannot start a thread in a forked child");
#endif
    QTemporaryDir dir;
    const QString dumps = dir.filePath("nested/dmp");
    QFile log(dir.filePath("run.log"));
    QVERIFY(log.open(QIODevice::ReadWrite | QIODevice::Append));
    log.write("[W]:2024-03-05 14:02:11\tbefore\r\n");
    log.flush();
    const pid_t child = fork();
    if (child == 0) {
        CrashHandler::Install(dumps);
        CrashHandler::SetLogFile(log.handle());
        CrashHandler::SetUtcOffset(QDateTime::currentDateTime().offsetFromUtc());
        if (where == "worker")
            StartServiceThread(CrashOnPurpose, signal).join();
        else if (where == "overflow")
            StartServiceThread(Overflow, 0).join();
        else if (where == "main overflow")
            Overflow(0);
        else
            CrashOnPurpose(signal);
        _exit(0);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status));
    QCOMPARE(WTERMSIG(status), signal);

    const QStringList files = QDir(dumps).entryList({"*.dmp"}, QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\\.dmp$")
                .match(files[0])
                .hasMatch());
    QFile report(QDir(dumps).filePath(files[0]));
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QByteArray text = report.readAll();
    QVERIFY(text.contains("signal: " + QByteArray::number(signal) + "\n"));
    // The report names the thread that crashed: the process's own id only for the main thread.
    const QRegularExpressionMatch thread =
        QRegularExpression("\nthread: (\\d+)\n").match(QString::fromUtf8(text));
    QVERIFY(thread.hasMatch());
    QCOMPARE(thread.captured(1) == QString::number(child), where.startsWith("main"));
    QVERIFY(text.contains("backtrace:\n"));
    QVERIFY(text.contains("tst_CrashHandler")); // the module list names the executable

    // The log holds the crash line after what it had, stamped with the local time.
    QVERIFY(log.seek(0));
    const QRegularExpressionMatch line =
        QRegularExpression("^\\[W\\]:[^\r]*\tbefore\r\n\\[D\\]:(.{19})\tBreakpadQt crash\r\n$")
            .match(QString::fromUtf8(log.readAll()));
    QVERIFY(line.hasMatch());
    const QDateTime stamped = QDateTime::fromString(line.captured(1), "yyyy-MM-dd hh:mm:ss");
    QVERIFY2(qAbs(stamped.secsTo(QDateTime::currentDateTime())) < 60, qPrintable(line.captured(1)));
}

QTEST_GUILESS_MAIN(tst_CrashHandler)
#include "tst_CrashHandler.moc"
