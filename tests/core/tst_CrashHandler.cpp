#include "core/CrashHandler.h"

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
    QTest::newRow("segfault") << SIGSEGV;
    QTest::newRow("abort") << SIGABRT;
    QTest::newRow("fpe") << SIGFPE;
}

static void CrashOnPurpose(int _nSignal)
{
    if (_nSignal == SIGSEGV) {
        // A low, non-null address: a real fault rather than a null store a sanitizer would catch.
        volatile int* nowhere = reinterpret_cast<volatile int*>(uintptr_t(16));
        *nowhere = 1;
    }
    if (_nSignal == SIGABRT)
        abort();
    raise(_nSignal);
}

void tst_CrashHandler::writesReportAndDiesOfTheSignal()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    const QString dumps = dir.filePath("nested/dmp");
    const pid_t child = fork();
    if (child == 0) {
        CrashHandler::Install(dumps);
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
    QVERIFY(text.contains("thread: " + QByteArray::number(child) + "\n"));
    QVERIFY(text.contains("backtrace:\n"));
    QVERIFY(text.contains("tst_CrashHandler")); // the module list names the executable
}

QTEST_GUILESS_MAIN(tst_CrashHandler)
#include "tst_CrashHandler.moc"
