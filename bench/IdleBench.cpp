// Idle benchmark on a private Xvfb display: the service is started, left alone once it listens,
// and after the idle span (30 s) its resident memory is printed with the kernel's breakdown
// (/proc/<pid>/status RssAnon/RssFile/RssShmem, /proc/<pid>/smaps per mapping) next to the peer
// xmessage (x11-utils) idling on the same display, and the CPU ticks (/proc/<pid>/stat) and
// context switches of all its threads (/proc/<pid>/task/*/status) during the span.
#include "bench/BenchDealer.h"
#include "bench/BenchDisplay.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QMap>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// QORV_BENCH_IDLE_SECONDS changes the idle span, QORV_BENCH_MAPPINGS the mappings listed.
const int kIdleSeconds = qEnvironmentVariableIsSet("QORV_BENCH_IDLE_SECONDS")
                             ? qEnvironmentVariableIntValue("QORV_BENCH_IDLE_SECONDS")
                             : 30;
const int kMappingsShown = qEnvironmentVariableIsSet("QORV_BENCH_MAPPINGS")
                               ? qEnvironmentVariableIntValue("QORV_BENCH_MAPPINGS")
                               : 25;
const double kTargetMiB = 24.0;

QByteArray ReadProc(qint64 _nPid, const QString& _qstrFile)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(_nPid).arg(_qstrFile));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// utime + stime of all threads, in clock ticks (fields 14 and 15, counted after the command name).
qint64 CpuTicks(qint64 _nPid)
{
    const QByteArray stat = ReadProc(_nPid, QStringLiteral("stat"));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
}

// Every time a thread was switched out, by "tid name": each wake-up ends in one of these.
QMap<QString, qint64> ContextSwitches(qint64 _nPid)
{
    QMap<QString, qint64> byThread;
    const QStringList tasks =
        QDir(QStringLiteral("/proc/%1/task").arg(_nPid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) {
        const QString name =
            task + QLatin1Char(' ') +
            QString::fromUtf8(ReadProc(_nPid, QStringLiteral("task/%1/comm").arg(task)).trimmed());
        for (const QByteArray& line : ReadProc(_nPid, QStringLiteral("task/%1/status").arg(task)).split('\n'))
            if (line.contains("ctxt_switches:"))
                byThread[name] += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    }
    return byThread;
}

struct Mapping
{
    QByteArray name;
    qint64 rss = 0, anonymous = 0, privateDirty = 0, size = 0;
};

// Sums /proc/<pid>/smaps by mapped file (anonymous ones by their kind), largest Rss first.
std::vector<Mapping> MappingsByRss(qint64 _nPid)
{
    QMap<QByteArray, Mapping> byName;
    Mapping* current = nullptr;
    for (const QByteArray& line : ReadProc(_nPid, QStringLiteral("smaps")).split('\n')) {
        const int colon = line.indexOf(':');
        const bool header = colon < 0 || line.indexOf(' ') < colon;
        if (header && !line.isEmpty()) {
            const QList<QByteArray> parts = line.simplified().split(' ');
            const QByteArray name = parts.size() > 5 ? parts[5] : QByteArray("[anon]");
            current = &byName[name];
            current->name = name;
            continue;
        }
        if (!current || colon < 0)
            continue;
        const QByteArray key = line.left(colon);
        const qint64 kb = line.mid(colon + 1).trimmed().split(' ').value(0).toLongLong();
        if (key == "Rss")
            current->rss += kb;
        else if (key == "Anonymous")
            current->anonymous += kb;
        else if (key == "Private_Dirty")
            current->privateDirty += kb;
        else if (key == "Size")
            current->size += kb;
    }
    std::vector<Mapping> rows(byName.begin(), byName.end());
    std::sort(rows.begin(), rows.end(), [](const Mapping& _a, const Mapping& _b) { return _a.rss > _b.rss; });
    return rows;
}

void Idle(int _nSeconds)
{
    QEventLoop loop;
    QTimer::singleShot(_nSeconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    XvfbDisplay display;
    ServiceProcess service;
    if (!StartOnPrivateDisplay(display, service))
        return 1;
    QProcess peer;
    peer.setProcessEnvironment(display.environment());
    peer.start(QStringLiteral("xmessage"), {QStringLiteral("idle")});
    if (!display.waitForWindow(QStringLiteral("xmessage"))) {
        std::fprintf(stderr, "xmessage did not map its window\n");
        return 1;
    }
    const qint64 pid = service.pid();
    const qint64 ticksBefore = CpuTicks(pid);
    const QMap<QString, qint64> switchesBefore = ContextSwitches(pid);
    Idle(kIdleSeconds);
    const qint64 ticks = CpuTicks(pid) - ticksBefore;
    const QMap<QString, qint64> switchesAfter = ContextSwitches(pid);
    qint64 switches = 0;
    QStringList threads;
    for (auto it = switchesAfter.begin(); it != switchesAfter.end(); ++it) {
        const qint64 n = it.value() - switchesBefore.value(it.key());
        switches += n;
        if (n > 0)
            threads << QStringLiteral("%1: %2").arg(it.key()).arg(n);
    }

    const double rss = StatusKb(pid, "VmRSS:") / 1024.0;
    const double peerRss = StatusKb(peer.processId(), "VmRSS:") / 1024.0;
    std::printf("idle service on Xvfb %s, %d s after it listened\n", qPrintable(display.display()),
                kIdleSeconds);
    std::printf("VmRSS %.1f MiB (target < %.0f: %s); xmessage idle on the same display (peer) %.1f MiB, "
                "ratio x%.2f\n",
                rss, kTargetMiB, rss < kTargetMiB ? "met" : "MISSED", peerRss,
                peerRss > 0 ? rss / peerRss : 0);
    std::printf("  RssAnon %.1f MiB, RssFile %.1f MiB, RssShmem %.1f MiB, threads %lld\n",
                StatusKb(pid, "RssAnon:") / 1024.0, StatusKb(pid, "RssFile:") / 1024.0,
                StatusKb(pid, "RssShmem:") / 1024.0, StatusKb(pid, "Threads:"));
    std::printf("during the idle span: %lld CPU ticks (target 0), %lld context switches over all threads "
                "(target <= 1)%s%s\n",
                ticks, switches, threads.isEmpty() ? "" : "; ",
                qPrintable(threads.join(QStringLiteral(", "))));
    std::printf("largest mappings (KiB):\n  %7s %7s %7s %8s  %s\n", "Rss", "Anon", "PrivDty", "Size",
                "mapping");
    const std::vector<Mapping> rows = MappingsByRss(pid);
    for (size_t i = 0; i < rows.size() && int(i) < kMappingsShown; ++i)
        std::printf("  %7lld %7lld %7lld %8lld  %s\n", rows[i].rss, rows[i].anonymous, rows[i].privateDirty,
                    rows[i].size, rows[i].name.constData());
    peer.kill();
    peer.waitForFinished(5000);
    service.stop();
    return 0;
}
