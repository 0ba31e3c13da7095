// Groups of processes on Windows: one job object per group (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE,
// no breakaway), which the group's first process enters before it runs (it is started suspended
// and resumed here) and every process it starts is born into. QueryInformationJobObject counts
// the processes still active; TerminateJobObject ends them all; closing the job, or this
// process's end, ends whatever is left.
//
// No process of a group can leave its job, so a group ends exactly when its job holds no active
// process; nothing is ever left over to kill, and programs started for clients, started outside
// every job, are never counted.
#include "core/DescendantWatch.h"
#include "core/LogCategories.h"

#include <QCoreApplication>
#include <QDebug>

#include <algorithm>
#include <map>
#include <vector>

#include <windows.h>

#include <tlhelp32.h>

namespace {

// The exit code of a killed process, the one Qt's own kill gives, so that a QProcess owner sees a
// process that was killed rather than one that ended by itself.
constexpr UINT kKilledExitCode = 0xf291;

HANDLE CreateGroupJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// Lets every thread of a process started suspended run.
void ResumeProcess(DWORD _nPid)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != _nPid)
            continue;
        if (const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
            ResumeThread(thread);
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
}

// Processes of the job that have not ended; -1 when the job cannot be asked.
long ActiveProcesses(HANDLE _hJob)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(_hJob, JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                   nullptr))
        return -1;
    return static_cast<long>(accounting.ActiveProcesses);
}

} // namespace

struct DescendantWatch::State
{
    struct Group
    {
        Ended funcEnded;
        HANDLE hJob = nullptr;
        bool blRootSet = false;
        bool blKilling = false;
    };

    std::map<int, Group> mapGroups;
    int nLastGroup = 0;

    // The groups whose jobs hold no active process any more.
    std::vector<int> Scan();
    static void Close(Group& _group);
};

void DescendantWatch::State::Close(Group& _group)
{
    if (!_group.hJob)
        return;
    TerminateJobObject(_group.hJob, kKilledExitCode);
    CloseHandle(_group.hJob);
    _group.hJob = nullptr;
}

std::vector<int> DescendantWatch::State::Scan()
{
    std::vector<int> ended;
    for (auto& entry : mapGroups) {
        Group& group = entry.second;
        if (!group.blRootSet)
            continue;
        // A group without a job had its first process killed before it ran.
        const long active = group.hJob ? ActiveProcesses(group.hJob) : 0;
        if (active == 0)
            ended.push_back(entry.first);
        else if (group.blKilling)
            TerminateJobObject(group.hJob, kKilledExitCode); // again for any started meanwhile
    }
    return ended;
}

DescendantWatch& DescendantWatch::Instance()
{
    static DescendantWatch s_watch;
    return s_watch;
}

DescendantWatch::DescendantWatch() : m_pState(std::make_unique<State>()) {}

DescendantWatch::~DescendantWatch()
{
    // At exit no group is left running.
    for (auto& entry : m_pState->mapGroups)
        State::Close(entry.second);
}

int DescendantWatch::Open(Ended _funcEnded)
{
    State& state = *m_pState;
    const int group = ++state.nLastGroup;
    State::Group& created = state.mapGroups[group];
    created.funcEnded = std::move(_funcEnded);
    created.hJob = CreateGroupJob();
    if (!created.hJob)
        qCCritical(lcCore) << "DescendantWatch:cannot create a job object:" << GetLastError();
    Schedule();
    return group;
}

void DescendantWatch::SetRoot(int _nGroup, qint64 _nRootPid)
{
    State& state = *m_pState;
    const auto it = state.mapGroups.find(_nGroup);
    if (it == state.mapGroups.end() || it->second.blRootSet)
        return;
    State::Group& group = it->second;
    group.blRootSet = true;
    const HANDLE root =
        _nRootPid > 0 ? OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION,
                                    FALSE, static_cast<DWORD>(_nRootPid))
                      : nullptr;
    if (root && group.hJob && AssignProcessToJobObject(group.hJob, root)) {
        ResumeProcess(static_cast<DWORD>(_nRootPid));
    } else if (root || _nRootPid > 0) {
        // Outside a job nothing it starts could be held: it is ended before it has run.
        qCCritical(lcCore) << "DescendantWatch:cannot hold process" << _nRootPid
                           << "in a job, killed:" << GetLastError();
        if (root)
            TerminateProcess(root, kKilledExitCode);
        State::Close(group);
    } else {
        State::Close(group);
    }
    if (root)
        CloseHandle(root);
    Schedule();
}

void DescendantWatch::Kill(int _nGroup)
{
    const auto it = m_pState->mapGroups.find(_nGroup);
    if (it == m_pState->mapGroups.end())
        return;
    it->second.blKilling = true;
    if (it->second.hJob)
        TerminateJobObject(it->second.hJob, kKilledExitCode);
    Check();
}

void DescendantWatch::Release(int _nGroup)
{
    State& state = *m_pState;
    const auto it = state.mapGroups.find(_nGroup);
    if (it == state.mapGroups.end())
        return;
    // Terminating the job ends every process of it at once; nobody is told.
    State::Close(it->second);
    state.mapGroups.erase(it);
    Schedule();
}

void DescendantWatch::Check()
{
    State& state = *m_pState;
    // Each ended group is erased before its owner is told, so that an owner who starts, kills or
    // releases groups from the call finds the watch consistent.
    for (const int ended : state.Scan()) {
        const auto it = state.mapGroups.find(ended);
        if (it == state.mapGroups.end())
            continue;
        const Ended call = std::move(it->second.funcEnded);
        State::Close(it->second);
        state.mapGroups.erase(it);
        if (call)
            call(0);
    }
    Schedule();
}

bool DescendantWatch::IsWatching() const
{
    return !m_pState->mapGroups.empty();
}

void DescendantWatch::NoteStartedForClient(qint64 _nPid)
{
    // Started by this process outside every job: it can never be counted in a group.
    Q_UNUSED(_nPid);
}

void DescendantWatch::Schedule()
{
    const State& state = *m_pState;
    int interval = -1;
    for (const auto& entry : state.mapGroups) {
        const int wanted = entry.second.blKilling ? kKillTickMs : kWatchTickMs;
        interval = interval < 0 ? wanted : std::min(interval, wanted);
    }
    if (interval < 0) {
        if (m_pTimer)
            m_pTimer->stop();
        return;
    }
    if (!m_pTimer) {
        if (!QCoreApplication::instance())
            return;
        m_pTimer = new QTimer(QCoreApplication::instance());
        m_pTimer->setSingleShot(true);
        QObject::connect(m_pTimer.data(), &QTimer::timeout, m_pTimer.data(), [this] { Check(); });
    }
    m_pTimer->start(interval);
}
