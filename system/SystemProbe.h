#pragma once

#include "system/ProcessSnapshot.h"

#include <QString>
#include <QtGlobal>

#include <vector>

// One entry of the busy-process list.
struct ProcessUsage
{
    qint32 pid = 0;
    QString name;
    quint64 mem = 0; // working set in millions of bytes, from the first sample
    quint64 cpu = 0; // percent of the whole machine over the sampling second, truncated
};

// Free-standing measurements of this machine. Each blocks its caller (the processor and process
// probes for about one second), keeps no state and never throws; a failed measurement gives 0 or
// empty text.
namespace SystemProbe {

// Processor load of all processors together over one second, in percent.
double GetCpuUsage();
// Share of physical memory in use, in percent.
double GetMemoryUsage();
// Free bytes of the volume that holds the path (all free bytes, not only those the caller may
// use), shifted right by 20. 0 for an empty or unusable path.
quint64 GetDiskFreeMB(const QString& _qstrPath);
// Processes that used processor time in the sampling second or hold more than 100 million bytes,
// lowest processor share first.
void GetTopProcessList(std::vector<ProcessUsage>& _vecOut);
// "CPU: ", "Memory: ", "GPU: ", "System Information: " sections, one external command at most
// 30 s each.
QString GetHardwareInfo();

// The arithmetic behind the probes, apart so that it can be checked on fixed samples.

// Cumulative processor time counters: all of it, and the idle part.
struct CpuTimes
{
    quint64 total = 0;
    quint64 idle = 0;
};
double CpuLoadBetween(const CpuTimes& _before, const CpuTimes& _after);

double MemoryLoad(quint64 _nTotalBytes, quint64 _nAvailableBytes);

// Joins two samples taken one second apart: the processor share of
// every process present in both, divided among the logical processors, and the filter and order
// of the busy-process list.
std::vector<ProcessUsage> RankProcessUsage(const std::vector<ProcessRecord>& _vecFirst,
                                           const std::vector<ProcessRecord>& _vecSecond,
                                           int _nLogicalProcessors);

constexpr int kSampleMs = 1000;
constexpr int kCommandTimeoutMs = 30000;

} // namespace SystemProbe
