// Measures this machine through Windows: GetSystemTimes (processor load, two readings one second
// apart), GlobalMemoryStatusEx (memory load), GetDiskFreeSpaceExW (disk space), Toolhelp32 and
// process data (process list, through ProcessSnapshot), and for the hardware text the registry's
// processor and display adapter names and the output of "systeminfo".
#include "system/SystemProbe.h"
#include "core/LogCategories.h"

#include "core/BoundedChild.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QThread>

#include <chrono>
#include <optional>
#include <thread>

#include <windows.h>

namespace {

constexpr int kMaxCommandOutput = 4 * 1024 * 1024;

quint64 FromFileTime(const FILETIME& _time)
{
    return (static_cast<quint64>(_time.dwHighDateTime) << 32) | _time.dwLowDateTime;
}

std::optional<SystemProbe::CpuTimes> ReadCpuTimes()
{
    FILETIME idle{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetSystemTimes(&idle, &kernel, &user))
        return std::nullopt;
    // Kernel time already holds the idle time.
    return SystemProbe::CpuTimes{FromFileTime(kernel) + FromFileTime(user), FromFileTime(idle)};
}

std::optional<MEMORYSTATUSEX> MemoryStatus()
{
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status))
        return std::nullopt;
    return status;
}

// Names under a registry key's numbered subkeys ("0", "1", ... or "0000", ...), each once, in order.
QStringList RegistryNames(const QString& _qstrKey, const QString& _qstrValue)
{
    QSettings key(_qstrKey, QSettings::NativeFormat);
    QStringList names;
    for (const QString& sub : key.childGroups()) {
        bool numbered = false;
        sub.toUInt(&numbered);
        if (!numbered)
            continue;
        const QString name = key.value(sub + QLatin1Char('/') + _qstrValue).toString().trimmed();
        if (!name.isEmpty() && !names.contains(name))
            names.append(name);
    }
    return names;
}

QString CpuText()
{
    // One entry per logical processor; processors of one model are named once.
    const QStringList names =
        RegistryNames(QStringLiteral("HKEY_LOCAL_MACHINE\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor"),
                      QStringLiteral("ProcessorNameString"));
    return names.isEmpty() ? QString() : QStringLiteral("Name\n") + names.join(QLatin1Char('\n'));
}

QString MemoryText()
{
    const auto status = MemoryStatus();
    return status ? QStringLiteral("Capacity\n") + QString::number(status->ullTotalPhys) : QString();
}

QString GpuText()
{
    // The display adapter device class.
    const QStringList names =
        RegistryNames(QStringLiteral("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                                     "{4d36e968-e325-11ce-bfc1-08002be10318}"),
                      QStringLiteral("DriverDesc"));
    return names.isEmpty() ? QString() : QStringLiteral("Name\n") + names.join(QLatin1Char('\n'));
}

// What the system's own tool reports; the essentials from the system itself when it reports
// nothing in its bound.
QString SystemText()
{
    const BoundedChild::Result result =
        BoundedChild::Run("systeminfo", {}, SystemProbe::kCommandTimeoutMs, kMaxCommandOutput);
    if (result.timedOut)
        qCWarning(lcSystem) << "SystemProbe::GetHardwareInfo: systeminfo did not end within"
                            << SystemProbe::kCommandTimeoutMs << "ms";
    const QString text = QString::fromLocal8Bit(result.output).trimmed();
    if (!text.isEmpty())
        return text;
    QStringList lines;
    auto add = [&lines](const char* _szLabel, const QString& _qstrValue) {
        if (!_qstrValue.isEmpty())
            lines.append(QString::fromLatin1(_szLabel).leftJustified(27) + _qstrValue);
    };
    wchar_t host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD hostSize = MAX_COMPUTERNAME_LENGTH + 1;
    if (GetComputerNameW(host, &hostSize))
        add("Host Name:", QString::fromWCharArray(host, static_cast<int>(hostSize)));
    const QSettings version(
        QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"),
        QSettings::NativeFormat);
    add("OS Name:", version.value(QStringLiteral("ProductName")).toString());
    add("OS Version:", version.value(QStringLiteral("CurrentBuild")).toString());
    add("Processor(s):", QString::number(QThread::idealThreadCount()));
    if (const auto status = MemoryStatus()) {
        add("Total Physical Memory:", QString::number(status->ullTotalPhys >> 20) + QStringLiteral(" MB"));
        add("Available Physical Memory:",
            QString::number(status->ullAvailPhys >> 20) + QStringLiteral(" MB"));
    }
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
        qCWarning(lcSystem) << "SystemProbe::GetCpuUsage:GetSystemTimes failed";
        return 0.0;
    }
    return CpuLoadBetween(*before, *after);
}

double GetMemoryUsage()
{
    const auto status = MemoryStatus();
    if (!status || status->ullTotalPhys == 0) {
        qCWarning(lcSystem) << "Failed to get memory status.";
        return 0.0;
    }
    return MemoryLoad(status->ullTotalPhys, status->ullAvailPhys);
}

quint64 GetDiskFreeMB(const QString& _qstrPath)
{
    if (_qstrPath.isEmpty() || _qstrPath.contains(QChar(0))) {
        qCWarning(lcSystem).noquote() << "SystemProbe::GetDiskFreeMB:no volume for path:" << _qstrPath;
        return 0;
    }
    // The call wants a folder; a file is measured on the volume of the folder that holds it.
    QString path = _qstrPath;
    if (QFileInfo(path).isFile())
        path = QFileInfo(path).absolutePath();
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER freeBytes{};
    if (!GetDiskFreeSpaceExW(QDir::toNativeSeparators(path).toStdWString().c_str(), &available, &total,
                             &freeBytes)) {
        qCWarning(lcSystem).noquote() << "SystemProbe::GetDiskFreeMB:no volume for path:" << _qstrPath;
        return 0;
    }
    qCWarning(lcSystem).noquote() << _qstrPath + QStringLiteral(": total space is: ") +
                                         QString::number(total.QuadPart >> 20) + QStringLiteral(" MB");
    qCWarning(lcSystem).noquote() << _qstrPath + QStringLiteral(": free  space is: ") +
                                         QString::number(freeBytes.QuadPart >> 20) + QStringLiteral(" MB");
    return freeBytes.QuadPart >> 20;
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
