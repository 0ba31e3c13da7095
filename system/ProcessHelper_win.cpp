// Process tree kill and start on Windows: the tree from a Toolhelp32 snapshot (ProcessSnapshot),
// each process opened, checked against its creation time and ended with TerminateProcess, then
// waited for (WaitForMultipleObjects); programs and documents opened with ShellExecuteExW, hidden.
#include "system/ProcessHelper.h"
#include "core/LogCategories.h"

#include "core/DescendantWatch.h"

#include "system/ProcessSnapshot.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>

#include <algorithm>
#include <chrono>
#include <set>
#include <unordered_map>
#include <vector>

#include <windows.h>

#include <shellapi.h>

namespace {

quint64 CreationTime(HANDLE _hProcess)
{
    FILETIME creation{};
    FILETIME exit{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(_hProcess, &creation, &exit, &kernel, &user))
        return 0;
    return (static_cast<quint64>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

// Windows keeps a process's parent pid after the parent ended, and that pid may since name a
// newer process: a parent counts only when it was created before its child.
bool IsParentOf(const ProcessRecord& _parent, const ProcessRecord& _child)
{
    return _child.parentPid == _parent.pid && _parent.pid != _child.pid &&
           (_parent.startTime == 0 || _child.startTime == 0 || _parent.startTime <= _child.startTime);
}

} // namespace

namespace ProcessHelper {

void KillProcess(const QString& _qstrName)
{
    if (!IsPlainProcessName(_qstrName)) {
        qCWarning(lcSystem) << "ProcessHelper::KillProcess:not a process name, nothing killed:" << _qstrName;
        return;
    }
    std::vector<ProcessRecord> processes;
    if (!ProcessSnapshot::Take(ProcessSnapshot::kNames, processes)) {
        qCWarning(lcSystem) << "ProcessHelper::KillProcess:cannot list processes";
        return;
    }
    std::unordered_map<qint64, const ProcessRecord*> byPid;
    std::unordered_map<qint64, std::vector<const ProcessRecord*>> children;
    for (const ProcessRecord& process : processes) {
        byPid.emplace(process.pid, &process);
        children[process.parentPid].push_back(&process);
    }

    // This service and the chain that started it are never touched, nor are the idle process
    // and the system.
    std::set<qint64> spared{0, 4};
    for (qint64 pid = QCoreApplication::applicationPid(); spared.insert(pid).second;) {
        const auto it = byPid.find(pid);
        if (it == byPid.end())
            break;
        const auto parent = byPid.find(it->second->parentPid);
        if (parent == byPid.end() || !IsParentOf(*parent->second, *it->second))
            break;
        pid = parent->first;
    }

    std::vector<const ProcessRecord*> targets;
    std::set<qint64> queued;
    for (const ProcessRecord& process : processes)
        if (!process.exited && !spared.count(process.pid) && ProcessSnapshot::AnswersTo(process, _qstrName) &&
            queued.insert(process.pid).second)
            targets.push_back(&process);
    // The whole tree under each match, found breadth first.
    for (size_t i = 0; i < targets.size(); ++i) {
        const auto kids = children.find(targets[i]->pid);
        if (kids == children.end())
            continue;
        for (const ProcessRecord* child : kids->second)
            if (IsParentOf(*targets[i], *child) && !spared.count(child->pid) &&
                queued.insert(child->pid).second)
                targets.push_back(child);
    }

    std::vector<HANDLE> ending;
    for (const ProcessRecord* target : targets) {
        const HANDLE process =
            OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                        static_cast<DWORD>(target->pid));
        if (!process)
            continue;
        // The handle pins the process; its creation time proves it is the one listed, not a
        // later one that reused the pid.
        if ((target->startTime == 0 || CreationTime(process) == target->startTime) &&
            TerminateProcess(process, 1)) {
            qCWarning(lcSystem) << "ProcessHelper::KillProcess:killed" << target->pid << target->name;
            ending.push_back(process);
        } else {
            CloseHandle(process);
        }
    }

    // Termination is asynchronous: wait for all of them, within a bound.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kKillWaitMs);
    size_t done = 0;
    while (done < ending.size()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const DWORD count = static_cast<DWORD>(std::min<size_t>(ending.size() - done, MAXIMUM_WAIT_OBJECTS));
        if (left <= 0 || WaitForMultipleObjects(count, ending.data() + done, TRUE,
                                                static_cast<DWORD>(left)) != WAIT_OBJECT_0) {
            qCWarning(lcSystem) << "ProcessHelper::KillProcess:" << ending.size() - done
                                << "processes still running";
            break;
        }
        done += count;
    }
    for (HANDLE process : ending)
        CloseHandle(process);
}

bool ShellOpen(const QString& _qstrPath)
{
    if (_qstrPath.isEmpty() || _qstrPath.contains(QChar(0))) {
        qCWarning(lcSystem) << "ProcessHelper::ShellOpen:no path";
        return false;
    }
    const std::wstring path = QDir::toNativeSeparators(_qstrPath).toStdWString();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // Returns once the program was launched; no error box for a user who did not ask for it.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = path.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) {
        qCWarning(lcSystem).noquote()
            << "ProcessHelper::ShellOpen:cannot open" << _qstrPath << "error" << GetLastError();
        return false;
    }
    qint64 pid = 0;
    if (info.hProcess) {
        pid = GetProcessId(info.hProcess);
        CloseHandle(info.hProcess);
    }
    DescendantWatch::NoteStartedForClient(pid);
    qCDebug(lcSystem).noquote() << "ProcessHelper:started" << _qstrPath << "pid" << pid;
    return true;
}

bool StartProcess(const QString& _qstrPath)
{
    // The launch returns once the program has been executed, as the launching interpreter would.
    return ShellOpen(_qstrPath);
}

} // namespace ProcessHelper
