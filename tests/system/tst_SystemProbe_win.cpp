// The probes on Windows against references taken by other means: Qt's storage information, a
// child kept busy by cmd, the system's own memory figure.
#include "system/SystemProbe.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <windows.h>

class tst_SystemProbe_win : public QObject
{
    Q_OBJECT
private slots:
    void diskFreeAgreesWithStorageInfo_data();
    void diskFreeAgreesWithStorageInfo();
    void diskFreeOfUnusablePathIsZero_data();
    void diskFreeOfUnusablePathIsZero();
    void busyChildLoadsTheProcessors();
    void largeProcessIsListed();
    void memoryLoadIsAShare();
    void hardwareTextHasItsSections();
};

void tst_SystemProbe_win::diskFreeAgreesWithStorageInfo_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("drive root") << QStringLiteral("C:\\");
    QTest::newRow("drive, as the debug window names it") << QStringLiteral("C:");
    QTest::newRow("folder") << QDir::tempPath();
    QTest::newRow("file") << QCoreApplication::applicationFilePath();
}

void tst_SystemProbe_win::diskFreeAgreesWithStorageInfo()
{
    QFETCH(QString, path);
    const QStorageInfo storage(path == QLatin1String("C:") ? QStringLiteral("C:/") : path);
    QVERIFY(storage.isValid());
    const qint64 expected = storage.bytesFree() >> 20;
    const qint64 measured = static_cast<qint64>(SystemProbe::GetDiskFreeMB(path));
    // Other programs write meanwhile.
    QVERIFY2(qAbs(measured - expected) < 256,
             qPrintable(QStringLiteral("%1 %2").arg(measured).arg(expected)));
}

void tst_SystemProbe_win::diskFreeOfUnusablePathIsZero_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << QString();
    QTest::newRow("missing folder") << QStringLiteral("C:\\qorv\\no\\such\\folder");
}

void tst_SystemProbe_win::diskFreeOfUnusablePathIsZero()
{
    QFETCH(QString, path);
    QCOMPARE(SystemProbe::GetDiskFreeMB(path), quint64(0));
}

void tst_SystemProbe_win::busyChildLoadsTheProcessors()
{
    QTemporaryDir dir;
    const QString name = QStringLiteral("qorv_busy_") + QUuid::createUuid().toString(QUuid::Id128).left(10) +
                         QStringLiteral(".exe");
    QVERIFY(QFile::copy(QStandardPaths::findExecutable(QStringLiteral("cmd")), dir.filePath(name)));
    QProcess busy;
    busy.setProgram(dir.filePath(name));
    busy.setNativeArguments(QStringLiteral("/c \"for /l %i in () do rem\""));
    busy.start();
    QVERIFY(busy.waitForStarted(10000));
    auto stop = qScopeGuard([&] {
        busy.kill();
        busy.waitForFinished(5000);
    });
    // One processor of however many is busy; the machine is shared, so only a floor is certain.
    const double load = SystemProbe::GetCpuUsage();
    QVERIFY2(load > 100.0 / (2 * QThread::idealThreadCount()) && load <= 100.0,
             qPrintable(QString::number(load)));
}

// Wine gives no processor time for other processes, so the list is shown by its memory filter:
// this process holds more than 100 million bytes.
void tst_SystemProbe_win::largeProcessIsListed()
{
    constexpr size_t kBytes = 160 * 1000 * 1000;
    std::vector<char> block(kBytes);
    for (size_t i = 0; i < kBytes; i += 4096)
        block[i] = static_cast<char>(i);
    std::vector<ProcessUsage> list;
    SystemProbe::GetTopProcessList(list);
    const auto self = std::find_if(list.begin(), list.end(), [](const ProcessUsage& _usage) {
        return _usage.pid == static_cast<qint32>(QCoreApplication::applicationPid());
    });
    QVERIFY(self != list.end());
    QCOMPARE(self->name.toLower(), QFileInfo(QCoreApplication::applicationFilePath()).fileName().toLower());
    QVERIFY2(self->mem >= 150, qPrintable(QString::number(self->mem)));
    QVERIFY(std::is_sorted(list.begin(), list.end(),
                           [](const ProcessUsage& a, const ProcessUsage& b) { return a.cpu < b.cpu; }));
    QVERIFY(block[4096] == static_cast<char>(4096));
}

void tst_SystemProbe_win::memoryLoadIsAShare()
{
    const double load = SystemProbe::GetMemoryUsage();
    QVERIFY2(load > 0.0 && load < 100.0, qPrintable(QString::number(load)));
}

void tst_SystemProbe_win::hardwareTextHasItsSections()
{
    const QString text = SystemProbe::GetHardwareInfo();
    const int cpu = text.indexOf(QStringLiteral("CPU: "));
    const int memory = text.indexOf(QStringLiteral("\nMemory: "));
    const int gpu = text.indexOf(QStringLiteral("\nGPU: "));
    const int system = text.indexOf(QStringLiteral("\nSystem Information: "));
    QVERIFY2(cpu == 0 && memory > cpu && gpu > memory && system > gpu, qPrintable(text));
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    QVERIFY(GlobalMemoryStatusEx(&status));
    QVERIFY2(text.contains(QStringLiteral("Memory: Capacity\n%1\n").arg(status.ullTotalPhys)),
             qPrintable(text));
    QVERIFY(text.endsWith(QLatin1Char('\n')));
    QVERIFY2(text.mid(system).trimmed().size() > QStringLiteral("System Information:").size(),
             qPrintable(text));
}

QTEST_GUILESS_MAIN(tst_SystemProbe_win)
#include "tst_SystemProbe_win.moc"
