// The probes: their arithmetic on fixed samples, then live readings against references taken
// here by other means (statvfs, /proc read by the test, child processes with known behaviour).
#include "system/SystemProbe.h"
#include "tests/system/ProbeChildren.h"

#include <QSysInfo>
#include <QtTest>

#include <sys/statvfs.h>

namespace {

// "pid name mem_bytes time_ms [start]" records separated by ';'.
std::vector<ProcessRecord> Sample(const QString& _qstrText)
{
    std::vector<ProcessRecord> records;
    for (const QString& item : _qstrText.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList f = item.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        ProcessRecord r;
        r.pid = f.value(0).toLongLong();
        r.name = f.value(1);
        r.workingSetBytes = f.value(2).toULongLong();
        r.cpuTimeMs = f.value(3).toULongLong();
        r.startTime = f.size() > 4 ? f.value(4).toULongLong() : 1;
        records.push_back(r);
    }
    return records;
}

// "pid name mem cpu" entries separated by ';'.
QString Describe(const std::vector<ProcessUsage>& _vecUsage)
{
    QStringList items;
    for (const ProcessUsage& u : _vecUsage)
        items.append(QStringLiteral("%1 %2 %3 %4").arg(u.pid).arg(u.name).arg(u.mem).arg(u.cpu));
    return items.join(QLatin1Char(';'));
}

} // namespace

class tst_SystemProbe : public QObject
{
    Q_OBJECT
private slots:
    void rankProcessUsage_data();
    void rankProcessUsage();
    void cpuLoadBetween_data();
    void cpuLoadBetween();
    void memoryLoad_data();
    void memoryLoad();

    void diskFreeAgreesWithStatvfs_data();
    void diskFreeAgreesWithStatvfs();
    void diskFreeOfUnusablePathIsZero_data();
    void diskFreeOfUnusablePathIsZero();
    void busyAndLargeChildrenAreListed();
    void cpuLoadSeesBusyChildren();
    void memoryLoadAgreesWithMeminfo();
    void hardwareTextHasItsSections();
};

void tst_SystemProbe::rankProcessUsage_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("processors");
    QTest::addColumn<QString>("expected");

    QTest::newRow("1000 ms on 8 processors is 12") << "10 a 0 5000"
                                                   << "10 a 0 6000" << 8 << "10 a 0 12";
    QTest::newRow("100 MB idle is not listed, 101 MB is") << "1 a 100000000 0;2 b 101000000 0"
                                                          << "1 a 0 0;2 b 0 0" << 4 << "2 b 101 0";
    QTest::newRow("memory comes from the first sample") << "3 c 150999999 0"
                                                        << "3 c 1 0" << 2 << "3 c 150 0";
    QTest::newRow("ascending cpu, ties in pid order")
        << "5 e 0 0;3 c 0 0;9 i 0 0;7 g 0 0"
        << "9 i 0 100;7 g 0 200;5 e 0 300;3 c 0 100" << 1 << "3 c 0 10;9 i 0 10;7 g 0 20;5 e 0 30";
    QTest::newRow("processes in one sample only are dropped")
        << "1 gone 500000000 0;2 both 0 0"
        << "2 both 0 50;3 new 0 900" << 1 << "2 both 0 5";
    QTest::newRow("a pid reused within the second is dropped") << "4 old 0 100 7"
                                                               << "4 new 0 900 8" << 1 << "";
    QTest::newRow("time running backwards is no share") << "6 f 0 900"
                                                        << "6 f 0 100" << 1 << "";
    QTest::newRow("below one percent of the machine is not listed") << "1 a 0 0;2 b 0 0"
                                                                    << "1 a 0 19;2 b 0 20" << 2 << "2 b 0 1";
    QTest::newRow("a whole busy machine") << "1 a 0 0"
                                          << "1 a 0 2000" << 2 << "1 a 0 100";
    QTest::newRow("no processors counts as one") << "1 a 0 0"
                                                 << "1 a 0 500" << 0 << "1 a 0 50";
    QTest::newRow("nothing passes") << "1 a 0 0"
                                    << "1 a 0 0" << 2 << "";
}

void tst_SystemProbe::rankProcessUsage()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(int, processors);
    QFETCH(QString, expected);
    QCOMPARE(Describe(SystemProbe::RankProcessUsage(Sample(first), Sample(second), processors)), expected);
}

void tst_SystemProbe::cpuLoadBetween_data()
{
    QTest::addColumn<quint64>("totalBefore");
    QTest::addColumn<quint64>("idleBefore");
    QTest::addColumn<quint64>("totalAfter");
    QTest::addColumn<quint64>("idleAfter");
    QTest::addColumn<double>("expected");
    QTest::newRow("half busy") << quint64(1000) << quint64(600) << quint64(1200) << quint64(700) << 50.0;
    QTest::newRow("idle") << quint64(1000) << quint64(600) << quint64(1200) << quint64(800) << 0.0;
    QTest::newRow("fully busy") << quint64(1000) << quint64(600) << quint64(1200) << quint64(600) << 100.0;
    QTest::newRow("no time passed") << quint64(1000) << quint64(600) << quint64(1000) << quint64(600) << 0.0;
    QTest::newRow("counters reset") << quint64(1000) << quint64(600) << quint64(10) << quint64(5) << 0.0;
}

void tst_SystemProbe::cpuLoadBetween()
{
    QFETCH(quint64, totalBefore);
    QFETCH(quint64, idleBefore);
    QFETCH(quint64, totalAfter);
    QFETCH(quint64, idleAfter);
    QFETCH(double, expected);
    QCOMPARE(SystemProbe::CpuLoadBetween({totalBefore, idleBefore}, {totalAfter, idleAfter}), expected);
}

void tst_SystemProbe::memoryLoad_data()
{
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("available");
    QTest::addColumn<double>("expected");
    QTest::newRow("a quarter free") << quint64(4000) << quint64(1000) << 75.0;
    QTest::newRow("no total") << quint64(0) << quint64(0) << 0.0;
    QTest::newRow("more available than total") << quint64(10) << quint64(20) << 0.0;
}

void tst_SystemProbe::memoryLoad()
{
    QFETCH(quint64, total);
    QFETCH(quint64, available);
    QFETCH(double, expected);
    QCOMPARE(SystemProbe::MemoryLoad(total, available), expected);
}

void tst_SystemProbe::diskFreeAgreesWithStatvfs_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("root") << QStringLiteral("/");
    QTest::newRow("temporary folder") << QDir::tempPath();
    QTest::newRow("a file") << QStringLiteral(QORV_PROBE_CHILD);
}

void tst_SystemProbe::diskFreeAgreesWithStatvfs()
{
    QFETCH(QString, path);
    struct statvfs info
    {
    };
    QCOMPARE(statvfs(QFile::encodeName(path).constData(), &info), 0);
    // All free blocks, including those reserved for root.
    const qint64 reference = static_cast<qint64>((static_cast<quint64>(info.f_bfree) * info.f_frsize) >> 20);
    const qint64 measured = static_cast<qint64>(SystemProbe::GetDiskFreeMB(path));
    // Other work on this machine writes files meanwhile.
    QVERIFY2(qAbs(measured - reference) <= 256,
             qPrintable(QStringLiteral("%1 vs %2").arg(measured).arg(reference)));
    QVERIFY(measured > 0);
}

void tst_SystemProbe::diskFreeOfUnusablePathIsZero_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << QString();
    QTest::newRow("missing") << QStringLiteral("/no/such/folder/anywhere");
    QTest::newRow("drive letter") << QStringLiteral("C:\\");
    QTest::newRow("embedded nul") << QStringLiteral("/tmp") + QChar(0) + QStringLiteral("x");
}

void tst_SystemProbe::diskFreeOfUnusablePathIsZero()
{
    QFETCH(QString, path);
    QCOMPARE(SystemProbe::GetDiskFreeMB(path), quint64(0));
}

void tst_SystemProbe::busyAndLargeChildrenAreListed()
{
    ProbeChildren children;
    const QString busyPath = children.makeProgram(QStringLiteral("qorv_busy"));
    const QString holdPath = children.makeProgram(QStringLiteral("qorv_hold"));
    const QList<qint64> busy = children.start(busyPath, {QStringLiteral("busy")});
    const QList<qint64> hold = children.start(holdPath, {QStringLiteral("hold"), QStringLiteral("200")});
    QVERIFY(!busy.isEmpty() && !hold.isEmpty());

    std::vector<ProcessUsage> list;
    SystemProbe::GetTopProcessList(list);
    const ProcessUsage* busyEntry = nullptr;
    const ProcessUsage* holdEntry = nullptr;
    for (size_t i = 0; i < list.size(); ++i) {
        const ProcessUsage& u = list[i];
        QVERIFY(u.cpu > 0 || u.mem > 100);
        if (i > 0)
            QVERIFY(list[i - 1].cpu < u.cpu || (list[i - 1].cpu == u.cpu && list[i - 1].pid < u.pid));
        if (u.pid == busy.first())
            busyEntry = &u;
        if (u.pid == hold.first())
            holdEntry = &u;
    }
    QVERIFY(busyEntry);
    QCOMPARE(busyEntry->name, QFileInfo(busyPath).fileName());
    QVERIFY(busyEntry->cpu > 0);
    QVERIFY(busyEntry->cpu <= 100);
    QVERIFY(holdEntry);
    QCOMPARE(holdEntry->name, QFileInfo(holdPath).fileName());
    QVERIFY2(holdEntry->mem > 200, qPrintable(QString::number(holdEntry->mem)));
    // No process of this test is listed under a name of another one.
    QVERIFY(std::none_of(list.begin(), list.end(), [](const ProcessUsage& u) { return u.name.isEmpty(); }));
}

void tst_SystemProbe::cpuLoadSeesBusyChildren()
{
    ProbeChildren children;
    const QString path = children.makeProgram(QStringLiteral("qorv_busy"));
    for (int i = 0; i < QThread::idealThreadCount(); ++i)
        QVERIFY(!children.start(path, {QStringLiteral("busy")}).isEmpty());
    const double load = SystemProbe::GetCpuUsage();
    QVERIFY2(load >= 40.0 && load <= 100.0, qPrintable(QString::number(load)));
}

void tst_SystemProbe::memoryLoadAgreesWithMeminfo()
{
    auto reference = []() {
        QFile file(QStringLiteral("/proc/meminfo"));
        if (!file.open(QIODevice::ReadOnly))
            return -1.0;
        double total = 0;
        double available = 0;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.value(0) == "MemTotal:")
                total = f.value(1).toDouble();
            else if (f.value(0) == "MemAvailable:")
                available = f.value(1).toDouble();
        }
        return total > 0 ? 100.0 * (total - available) / total : -1.0;
    };
    const double before = reference();
    const double measured = SystemProbe::GetMemoryUsage();
    const double after = reference();
    QVERIFY(before > 0);
    QVERIFY2(measured >= qMin(before, after) - 2.0 && measured <= qMax(before, after) + 2.0,
             qPrintable(QStringLiteral("%1 between %2 and %3").arg(measured).arg(before).arg(after)));
}

void tst_SystemProbe::hardwareTextHasItsSections()
{
    const QString text = SystemProbe::GetHardwareInfo();
    const QStringList prefixes{QStringLiteral("CPU: "), QStringLiteral("Memory: "), QStringLiteral("GPU: "),
                               QStringLiteral("System Information: ")};
    QVERIFY(text.startsWith(prefixes.first()));
    QVERIFY(text.endsWith(QLatin1Char('\n')));
    int at = 0;
    for (const QString& prefix : prefixes) {
        const int found = text.indexOf(prefix, at);
        QVERIFY2(found >= at, qPrintable(prefix));
        QVERIFY(found == 0 || text.at(found - 1) == QLatin1Char('\n'));
        at = found + prefix.size();
    }
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    QVERIFY(cpuinfo.open(QIODevice::ReadOnly));
    for (const QByteArray& line : cpuinfo.readAll().split('\n'))
        if (line.startsWith("model name")) {
            QVERIFY(text.contains(QString::fromLocal8Bit(line.mid(line.indexOf(':') + 1).trimmed())));
            break;
        }
    QVERIFY(text.contains(QSysInfo::machineHostName()));
    QVERIFY(text.contains(QSysInfo::kernelVersion()));
}

QTEST_GUILESS_MAIN(tst_SystemProbe)
#include "tst_SystemProbe.moc"
