// Measures this machine from /proc/stat (processor load, two readings one second apart),
// /proc/meminfo (memory load), statvfs (disk space), /proc/<pid> (process list, through
// ProcessSnapshot) and /proc/cpuinfo, lscpu, lspci, uname and /etc/os-release (hardware text).
#include "system/SystemProbe.h"
#include "core/LogCategories.h"

#include "core/BoundedChild.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QStringList>
#include <QThread>

#include <chrono>
#include <optional>
#include <thread>

#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxCommandOutput = 4 * 1024 * 1024;

QByteArray ReadSmallFile(const char* _szPath)
{
    QFile file(QString::fromLatin1(_szPath));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    // /proc files report size 0, so read to the end rather than by size.
    return file.readAll();
}

std::optional<SystemProbe::CpuTimes> ReadCpuTimes()
{
    const QByteArray text = ReadSmallFile("/proc/stat");
    // First line: "cpu  user nice system idle iowait irq softirq steal guest guest_nice"; guest
    // time is already part of user time, so only the first eight are summed.
    const int lineEnd = text.indexOf('\n');
    const QList<QByteArray> fields = text.left(lineEnd).simplified().split(' ');
    if (fields.size() < 5 || fields.at(0) != "cpu")
        return std::nullopt;
    SystemProbe::CpuTimes times;
    for (int i = 1; i < fields.size() && i <= 8; ++i) {
        const quint64 value = fields.at(i).toULongLong();
        times.total += value;
        if (i == 4 || i == 5) // idle and iowait
            times.idle += value;
    }
    return times;
}

// Value in bytes of a "Key:   123 kB" line of /proc/meminfo.
std::optional<quint64> MemInfoBytes(const QByteArray& _baText, const QByteArray& _baKey)
{
    for (const QByteArray& line : _baText.split('\n')) {
        if (!line.startsWith(_baKey + ':'))
            continue;
        const QList<QByteArray> parts = line.mid(_baKey.size() + 1).simplified().split(' ');
        bool ok = false;
        const quint64 value = parts.value(0).toULongLong(&ok);
        if (!ok)
            return std::nullopt;
        return parts.value(1) == "kB" ? value * 1024 : value;
    }
    return std::nullopt;
}

// The program's standard output; nullopt when it cannot start. What a program that overran its
// bound printed so far is kept.
std::optional<QByteArray> RunBounded(const char* _szProgram, const QList<QByteArray>& _listArgs,
                                     int _nTimeoutMs)
{
    const BoundedChild::Result result =
        BoundedChild::Run(_szProgram, _listArgs, _nTimeoutMs, static_cast<int>(kMaxCommandOutput));
    if (!result.started)
        return std::nullopt;
    if (result.timedOut)
        qCWarning(lcSystem) << "SystemProbe::GetHardwareInfo:" << _szProgram << "did not end within"
                            << _nTimeoutMs << "ms";
    return result.output;
}

QString CpuText()
{
    // One line per physical package, as the processor names are listed per socket.
    QStringList names;
    QString model;
    QString physicalId;
    QStringList seenPackages;
    const QList<QByteArray> lines = ReadSmallFile("/proc/cpuinfo").split('\n');
    auto flush = [&]() {
        if (!model.isEmpty() && !seenPackages.contains(physicalId)) {
            seenPackages.append(physicalId);
            names.append(model);
        }
        model.clear();
        physicalId.clear();
    };
    for (const QByteArray& line : lines) {
        const int colon = line.indexOf(':');
        if (line.trimmed().isEmpty()) {
            flush();
            continue;
        }
        if (colon < 0)
            continue;
        const QByteArray key = line.left(colon).trimmed();
        const QString value = QString::fromLocal8Bit(line.mid(colon + 1).trimmed());
        if (key == "model name")
            model = value;
        else if (key == "physical id")
            physicalId = value;
    }
    flush();
    if (names.isEmpty()) {
        // Processors that /proc/cpuinfo does not name (many ARM ones) are named by lscpu.
        const auto out = RunBounded("lscpu", {}, SystemProbe::kCommandTimeoutMs);
        if (out)
            for (const QByteArray& line : out->split('\n'))
                if (line.startsWith("Model name:"))
                    names.append(QString::fromLocal8Bit(line.mid(11).trimmed()));
    }
    if (names.isEmpty())
        return QString();
    return QStringLiteral("Name\n") + names.join(QLatin1Char('\n'));
}

QString MemoryText()
{
    const auto total = MemInfoBytes(ReadSmallFile("/proc/meminfo"), "MemTotal");
    if (!total)
        return QString();
    return QStringLiteral("Capacity\n") + QString::number(*total);
}

QString GpuText()
{
    const auto out = RunBounded("lspci", {}, SystemProbe::kCommandTimeoutMs);
    if (!out)
        return QString();
    static const char* const kClasses[] = {
        " VGA compatible controller: ", " 3D controller: ", " Display controller: "};
    QStringList names;
    for (const QByteArray& line : out->split('\n'))
        for (const char* cls : kClasses) {
            const int at = line.indexOf(cls);
            if (at >= 0) {
                names.append(QString::fromLocal8Bit(line.mid(at + static_cast<int>(qstrlen(cls))).trimmed()));
                break;
            }
        }
    if (names.isEmpty())
        return QString();
    return QStringLiteral("Name\n") + names.join(QLatin1Char('\n'));
}

QString OsReleaseName()
{
    for (const QByteArray& line : ReadSmallFile("/etc/os-release").split('\n'))
        if (line.startsWith("PRETTY_NAME=")) {
            QByteArray value = line.mid(12).trimmed();
            if (value.size() >= 2 && (value.startsWith('"') || value.startsWith('\'')))
                value = value.mid(1, value.size() - 2);
            return QString::fromLocal8Bit(value);
        }
    return QString();
}

QString SystemText()
{
    QStringList lines;
    auto add = [&lines](const char* _szLabel, const QString& _qstrValue) {
        if (!_qstrValue.isEmpty())
            lines.append(QString::fromLatin1(_szLabel).leftJustified(27) + _qstrValue);
    };
    utsname uts{};
    const bool haveUts = uname(&uts) == 0;
    if (haveUts)
        add("Host Name:", QString::fromLocal8Bit(uts.nodename));
    add("OS Name:", OsReleaseName());
    if (haveUts) {
        add("OS Version:",
            QString::fromLocal8Bit(uts.release) + QLatin1Char(' ') + QString::fromLocal8Bit(uts.version));
        add("System Type:", QString::fromLocal8Bit(uts.machine));
    }
    for (const QByteArray& line : ReadSmallFile("/proc/stat").split('\n'))
        if (line.startsWith("btime ")) {
            const qint64 bootSeconds = line.mid(6).trimmed().toLongLong();
            add("System Boot Time:",
                QDateTime::fromSecsSinceEpoch(bootSeconds).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        }
    add("Processor(s):", QString::number(QThread::idealThreadCount()));
    const QByteArray memInfo = ReadSmallFile("/proc/meminfo");
    if (const auto total = MemInfoBytes(memInfo, "MemTotal"))
        add("Total Physical Memory:", QString::number(*total >> 20) + QStringLiteral(" MB"));
    if (const auto available = MemInfoBytes(memInfo, "MemAvailable"))
        add("Available Physical Memory:", QString::number(*available >> 20) + QStringLiteral(" MB"));
    return lines.join(QLatin1Char('\n'));
}

} // namespace

namespace SystemProbe {

double GetCpuUsage()
{
    const auto before = ReadCpuTimes();
    std::this_thread::sleep_for(std::chrono::milliseconds(kSampleMs));
    const auto after = ReadCpuTimes();
    if (!before || !after) {
        qCWarning(lcSystem) << "SystemProbe::GetCpuUsage:cannot read /proc/stat";
        return 0.0;
    }
    return CpuLoadBetween(*before, *after);
}

double GetMemoryUsage()
{
    const QByteArray text = ReadSmallFile("/proc/meminfo");
    const auto total = MemInfoBytes(text, "MemTotal");
    const auto available = MemInfoBytes(text, "MemAvailable");
    if (!total || !available || *total == 0) {
        qCWarning(lcSystem) << "Failed to get memory status.";
        return 0.0;
    }
    return MemoryLoad(*total, *available);
}

quint64 GetDiskFreeMB(const QString& _qstrPath)
{
    const QByteArray path = QFile::encodeName(_qstrPath);
    struct statvfs info
    {
    };
    if (path.isEmpty() || path.contains('\0') || statvfs(path.constData(), &info) != 0) {
        qCWarning(lcSystem).noquote() << "SystemProbe::GetDiskFreeMB:no volume for path:" << _qstrPath;
        return 0;
    }
    const quint64 blockSize = info.f_frsize ? info.f_frsize : info.f_bsize;
    const quint64 total = static_cast<quint64>(info.f_blocks) * blockSize;
    const quint64 freeBytes = static_cast<quint64>(info.f_bfree) * blockSize;
    qCWarning(lcSystem).noquote() << QString::fromLocal8Bit(path) + QStringLiteral(": total space is: ") +
                                         QString::number(total >> 20) + QStringLiteral(" MB");
    qCWarning(lcSystem).noquote() << QString::fromLocal8Bit(path) + QStringLiteral(": free  space is: ") +
                                         QString::number(freeBytes >> 20) + QStringLiteral(" MB");
    return freeBytes >> 20;
}

QString GetHardwareInfo()
{
    QString result;
    result += QStringLiteral("CPU: ") + CpuText().trimmed() + QLatin1Char('\n');
    result += QStringLiteral("Memory: ") + MemoryText().trimmed() + QLatin1Char('\n');
    result += QStringLiteral("GPU: ") + GpuText().trimmed() + QLatin1Char('\n');
    result += QStringLiteral("System Information: ") + SystemText().trimmed() + QLatin1Char('\n');
    return result;
}

} // namespace SystemProbe
