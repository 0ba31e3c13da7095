// Lists processes with a Toolhelp32 snapshot (CreateToolhelp32Snapshot, Process32FirstW/NextW):
// pid, parent and executable file name; each process opened for its data (OpenProcess with
// PROCESS_QUERY_INFORMATION | PROCESS_VM_READ): GetProcessTimes (processor time, creation time),
// K32GetProcessMemoryInfo (working set), GetExitCodeProcess (ended).
#include "system/ProcessSnapshot.h"

#include <algorithm>

// windows.h first: tlhelp32.h and psapi.h rely on its types.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

namespace {

quint64 FromFileTime(const FILETIME& _time)
{
    return (static_cast<quint64>(_time.dwHighDateTime) << 32) | _time.dwLowDateTime;
}

// Fills the data a process may be opened for; false when it may not be opened.
bool ReadProcessData(DWORD _nPid, ProcessRecord& _record)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, _nPid);
    if (!process)
        return false;
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (K32GetProcessMemoryInfo(process, &memory, sizeof memory))
        _record.workingSetBytes = memory.WorkingSetSize;
    FILETIME creation{};
    FILETIME exit{};
    FILETIME kernel{};
    FILETIME user{};
    if (GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
        // 100-nanosecond units.
        _record.cpuTimeMs = (FromFileTime(kernel) + FromFileTime(user)) / 10000;
        _record.startTime = FromFileTime(creation);
    }
    DWORD code = 0;
    _record.exited = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
    CloseHandle(process);
    return true;
}

} // namespace

namespace ProcessSnapshot {

bool Take(Detail _eDetail, std::vector<ProcessRecord>& _vecOut)
{
    _vecOut.clear();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        ProcessRecord record;
        record.pid = entry.th32ProcessID;
        record.parentPid = entry.th32ParentProcessID;
        const QString exeName = QString::fromWCharArray(entry.szExeFile);
        // As on every platform, a process that may not be opened has no name of its own; the
        // list still knows it by the name the snapshot gives.
        if (entry.th32ProcessID != 0 && ReadProcessData(entry.th32ProcessID, record))
            record.name = exeName;
        else if (_eDetail == kNames && !exeName.isEmpty())
            record.otherNames.append(exeName);
        _vecOut.push_back(std::move(record));
    }
    CloseHandle(snapshot);
    std::sort(_vecOut.begin(), _vecOut.end(),
              [](const ProcessRecord& a, const ProcessRecord& b) { return a.pid < b.pid; });
    return true;
}

} // namespace ProcessSnapshot
