#include "system/SystemProbe.h"
#include "core/LogCategories.h"

#include <QDebug>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_map>

namespace SystemProbe {

double CpuLoadBetween(const CpuTimes& _before, const CpuTimes& _after)
{
    // Counters only grow; anything else means a reset or a bad reading.
    if (_after.total <= _before.total || _after.idle < _before.idle)
        return 0.0;
    const quint64 total = _after.total - _before.total;
    const quint64 idle = std::min(_after.idle - _before.idle, total);
    return static_cast<double>(total - idle) * 100.0 / static_cast<double>(total);
}

double MemoryLoad(quint64 _nTotalBytes, quint64 _nAvailableBytes)
{
    if (_nTotalBytes == 0 || _nAvailableBytes > _nTotalBytes)
        return 0.0;
    return (1.0 - static_cast<double>(_nAvailableBytes) / static_cast<double>(_nTotalBytes)) * 100.0;
}

std::vector<ProcessUsage> RankProcessUsage(const std::vector<ProcessRecord>& _vecFirst,
                                           const std::vector<ProcessRecord>& _vecSecond,
                                           int _nLogicalProcessors)
{
    const quint64 processors = static_cast<quint64>(std::max(_nLogicalProcessors, 1));
    std::unordered_map<qint64, const ProcessRecord*> first;
    first.reserve(_vecFirst.size());
    for (const ProcessRecord& record : _vecFirst)
        first.emplace(record.pid, &record);

    std::vector<ProcessUsage> ranked;
    for (const ProcessRecord& later : _vecSecond) {
        const auto found = first.find(later.pid);
        // A pid seen once, or reused by a new process within the second, has no usable interval.
        if (found == first.end() || found->second->startTime != later.startTime)
            continue;
        const ProcessRecord& earlier = *found->second;
        const quint64 usedMs = later.cpuTimeMs > earlier.cpuTimeMs ? later.cpuTimeMs - earlier.cpuTimeMs : 0;
        ProcessUsage usage;
        usage.pid = static_cast<qint32>(later.pid);
        usage.name = earlier.name;
        usage.mem = earlier.workingSetBytes / 1000000;
        // usedMs / kSampleMs * 100 / processors, in integers so that the truncation is exact.
        usage.cpu = usedMs * 100 / (static_cast<quint64>(kSampleMs) * processors);
        if (usage.cpu > 0 || usage.mem > 100)
            ranked.push_back(std::move(usage));
    }
    std::sort(ranked.begin(), ranked.end(), [](const ProcessUsage& a, const ProcessUsage& b) {
        return a.cpu != b.cpu ? a.cpu < b.cpu : a.pid < b.pid;
    });
    return ranked;
}

void GetTopProcessList(std::vector<ProcessUsage>& _vecOut)
{
    _vecOut.clear();
    const int processors = QThread::idealThreadCount();
    std::vector<ProcessRecord> first;
    std::vector<ProcessRecord> second;
    auto sample = [](std::vector<ProcessRecord>& _vecSample) {
        if (!ProcessSnapshot::Take(ProcessSnapshot::kUsage, _vecSample)) {
            qCWarning(lcSystem) << "CreateToolhelp32Snapshot failed.";
            return false;
        }
        // Processes that may not be inspected are left out, as are those that already ended.
        _vecSample.erase(std::remove_if(_vecSample.begin(), _vecSample.end(),
                                        [](const ProcessRecord& r) { return r.name.isEmpty() || r.exited; }),
                         _vecSample.end());
        if (_vecSample.empty()) {
            qCWarning(lcSystem) << "Process32First failed.";
            return false;
        }
        return true;
    };
    if (!sample(first))
        return;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSampleMs));
    if (!sample(second))
        return;
    _vecOut = RankProcessUsage(first, second, processors);
}

} // namespace SystemProbe
