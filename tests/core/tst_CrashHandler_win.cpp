// The Windows crash handler across a real process: this program, started with --crash, installs
// the handler and crashes the way a row asks; the parent reads the dump and the log it leaves.
#include "core/CrashHandler.h"
#include "core/ServiceThread.h"

#include <QtTest>

#include <windows.h>

#include <climits>
#include <cstdlib>

class tst_CrashHandler_win : public QObject
{
    Q_OBJECT
private slots:
    void writesDumpAndEndsWithTheCrashCode_data();
    void writesDumpAndEndsWithTheCrashCode();
};

void tst_CrashHandler_win::writesDumpAndEndsWithTheCrashCode_data()
{
    QTest::addColumn<QString>("crash");
    QTest::addColumn<quint32>("exitCode");
    QTest::newRow("access violation") << "access" << quint32(0xC0000005);
    QTest::newRow("division by zero") << "divide" << quint32(0xC0000094);
    QTest::newRow("abort keeps its exit code") << "abort" << quint32(3);
    QTest::newRow("access violation on a worker thread") << "worker" << quint32(0xC0000005);
    QTest::newRow("stack overflow on a worker thread") << "overflow" << quint32(0xC00000FD);
}

void tst_CrashHandler_win::writesDumpAndEndsWithTheCrashCode()
{
    QFETCH(QString, crash);
    QFETCH(quint32, exitCode);
    // Wine keeps no stack back for the filter (SetThreadStackGuarantee): its own dispatch of the
    // overflow overflows again and the thread ends silently. Windows runs the filter.
    if (crash == "overflow" && GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        QSKIP("Wine cannot run an exception filter after a stack overflow");
    QTemporaryDir dir;
    const QString dumps = dir.filePath("nested/dmp");
    QFile log(dir.filePath("run.log"));
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.write("[W]:2024-03-05 14:02:11\tbefore\r\n");
    log.close();

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--crash", crash, dumps, log.fileName()});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(quint32(child.exitCode()), exitCode);

    const QStringList files = QDir(dumps).entryList({"*.dmp"}, QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\\.dmp$")
                .match(files[0])
                .hasMatch());
    QFile dump(QDir(dumps).filePath(files[0]));
    QVERIFY(dump.open(QIODevice::ReadOnly));
    QCOMPARE(dump.read(4), QByteArray("MDMP"));

    // The log holds the crash line after what it had, stamped with the local time.
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QRegularExpressionMatch line =
        QRegularExpression("^\\[W\\]:[^\r]*\tbefore\r\n\\[D\\]:(.{19})\tBreakpadQt crash\r\n$")
            .match(QString::fromUtf8(log.readAll()));
    QVERIFY(line.hasMatch());
    const QDateTime stamped = QDateTime::fromString(line.captured(1), "yyyy-MM-dd hh:mm:ss");
    QVERIFY2(qAbs(stamped.secsTo(QDateTime::currentDateTime())) < 60, qPrintable(line.captured(1)));
}

// Recurses until the stack is gone; the frame is kept by writing and reading it.
static int __attribute__((noinline)) Overflow(int _nDepth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(_nDepth);
    return _nDepth < INT_MAX ? Overflow(_nDepth + 1) + frame[0] : 0;
}

static int Crash(const QString& _qstrCrash)
{
    if (_qstrCrash == "abort")
        std::abort();
    if (_qstrCrash == "divide") {
        // All volatile: the compiler would otherwise skip an unused quotient, or turn 1 / x into
        // a comparison that never divides.
        volatile int one = 1;
        volatile int zero = 0;
        volatile int quotient = one / zero;
        return quotient;
    }
    // A low, non-null address: a real fault. Read from a volatile so the compiler cannot see it.
    static volatile uintptr_t s_nAddress = 16;
    *reinterpret_cast<volatile int*>(s_nAddress) = 1;
    return 0;
}

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && qstrcmp(argv[1], "--crash") == 0) {
        const QString crash = QString::fromLocal8Bit(argv[2]);
        CrashHandler::Install(QString::fromLocal8Bit(argv[3]));
        QFile log(QString::fromLocal8Bit(argv[4]));
        if (!log.open(QIODevice::ReadWrite | QIODevice::Append))
            return 1;
        CrashHandler::SetLogFile(log.handle());
        if (crash == "worker")
            StartServiceThread(Crash, QString("access")).join();
        else if (crash == "overflow")
            StartServiceThread(Overflow, 0).join();
        else
            Crash(crash);
        return 0;
    }
    tst_CrashHandler_win test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_CrashHandler_win.moc"
