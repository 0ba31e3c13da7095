// Groups of processes on Linux, read from /proc: /proc/<pid>/task/<tid>/children gives the tree
// below this process (a table of every /proc/<pid>/stat where the kernel has no such file), and
// /proc/<pid>/stat each process's parent, session, state and start time. While a group is watched
// this process is a child subreaper (prctl(PR_SET_CHILD_SUBREAPER)), so an orphan among its
// descendants is adopted here instead of by init; pidfds signal exactly the process that was seen;
// waitid(2) reaps the orphans adopted. (Windows: a job object that every process of a group is
// born into.)
//
// How a process is counted in a group: below a group's first process (the root) everything is the
// group's, by position in the tree. Only when a root has ended can a group's processes turn up as
// direct children of this process, and then a child unknown at the last look is the group's unless
// it is provably not: in this process's session or in a session known to be another's (a session
// cannot be joined, only made), older than the root, started for a client, or started by this
// process itself (Qt holds a pidfd for each of its QProcess children).
#include "core/DescendantWatch.h"
#include "core/LogCategories.h"

#include <QCoreApplication>
#include <QDebug>
#include <QList>

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Bounds one look, whatever a group does (a fork bomb is stopped by its user's process limit).
constexpr size_t kMaxProcesses = 16384;
constexpr int kMaxFileBytes = 1024 * 1024;

// A process as seen once: its pid alone may be reused after it has ended.
struct Key
{
    pid_t pid = 0;
    quint64 start = 0;
    bool operator<(const Key& _other) const
    {
        return std::tie(pid, start) < std::tie(_other.pid, _other.start);
    }
    bool operator==(const Key& _other) const { return pid == _other.pid && start == _other.start; }
};

struct ProcInfo
{
    pid_t pid = 0;
    pid_t ppid = 0;
    pid_t sid = 0;
    quint64 start = 0;
    char state = 0;
    Key key() const { return {pid, start}; }
    bool Alive() const { return state != 'Z' && state != 'X'; }
};

bool ReadFile(const char* _szPath, QByteArray& _baText)
{
    const int fd = ::open(_szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || _baText.size() > kMaxFileBytes)
            break;
        _baText.append(buffer, static_cast<int>(got));
    }
    ::close(fd);
    return true;
}

bool ReadInfo(pid_t _nPid, ProcInfo& _info)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(_nPid));
    QByteArray text;
    if (!ReadFile(path, text))
        return false;
    // The command name may hold blanks and ')': the fields start after the last ')'.
    const int close = text.lastIndexOf(')');
    if (close < 0)
        return false;
    // After the name: state (0), parent (1), group (2), session (3), ..., start time (19).
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (fields.size() < 20 || fields.at(0).isEmpty())
        return false;
    _info.pid = _nPid;
    _info.state = fields.at(0).at(0);
    _info.ppid = fields.at(1).toInt();
    _info.sid = fields.at(3).toInt();
    _info.start = fields.at(19).toULongLong();
    return true;
}

pid_t ParsePid(const char* _szName)
{
    pid_t pid = 0;
    for (const char* p = _szName; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        pid = pid * 10 + (*p - '0');
    }
    return pid;
}

template <typename Fn> void ForEachNumberedEntry(const char* _szFolder, Fn _fn)
{
    DIR* dir = ::opendir(_szFolder);
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t number = ParsePid(entry->d_name);
        if (number > 0)
            _fn(number);
    }
    ::closedir(dir);
}

// The children of a process, every thread's. The kernel lists each thread's own children; where it
// lacks those lists, one table of every process's parent serves a whole look.
class ChildLister
{
public:
    static bool HasChildFiles()
    {
        static const bool s_blHas =
            ::access(("/proc/self/task/" + std::to_string(::getpid()) + "/children").c_str(), R_OK) == 0;
        return s_blHas;
    }

    std::vector<pid_t> Of(pid_t _nPid)
    {
        std::vector<pid_t> children;
        if (!HasChildFiles()) {
            FillTable();
            const auto it = m_mapTable.find(_nPid);
            if (it != m_mapTable.end())
                children = it->second;
            return children;
        }
        char folder[64];
        std::snprintf(folder, sizeof folder, "/proc/%d/task", static_cast<int>(_nPid));
        ForEachNumberedEntry(folder, [&](pid_t _nTask) { AppendChildrenOfTask(_nPid, _nTask, children); });
        return children;
    }

    // Orphans are adopted by the main thread; a child of another thread is that thread's to wait
    // for. Without the lists every child counts as the main thread's.
    bool IsMainThreadChild(pid_t _nSelf, pid_t _nChild)
    {
        if (!HasChildFiles())
            return true;
        if (!m_blMainRead) {
            m_blMainRead = true;
            std::vector<pid_t> children;
            AppendChildrenOfTask(_nSelf, _nSelf, children);
            m_setMain.insert(children.begin(), children.end());
        }
        return m_setMain.count(_nChild) > 0;
    }

private:
    static void AppendChildrenOfTask(pid_t _nPid, pid_t _nTask, std::vector<pid_t>& _vecOut)
    {
        char path[96];
        std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(_nPid),
                      static_cast<int>(_nTask));
        QByteArray text;
        if (!ReadFile(path, text))
            return;
        for (const QByteArray& field : text.split(' ')) {
            const pid_t child = field.trimmed().toInt();
            if (child > 0)
                _vecOut.push_back(child);
        }
    }

    void FillTable()
    {
        if (m_blFilled)
            return;
        m_blFilled = true;
        ForEachNumberedEntry("/proc", [this](pid_t _nPid) {
            ProcInfo info;
            if (ReadInfo(_nPid, info))
                m_mapTable[info.ppid].push_back(_nPid);
        });
    }

    std::map<pid_t, std::vector<pid_t>> m_mapTable;
    bool m_blFilled = false;
    std::set<pid_t> m_setMain;
    bool m_blMainRead = false;
};

int PidfdOpen(pid_t _nPid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, _nPid, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

void PidfdKill(int _nPidfd)
{
#ifdef SYS_pidfd_send_signal
    ::syscall(SYS_pidfd_send_signal, _nPidfd, SIGKILL, nullptr, 0);
#else
    Q_UNUSED(_nPidfd);
#endif
}

// The pidfd pins the process; its start time, read after that, proves it is still the one seen.
void KillExact(const Key& _key)
{
    ProcInfo info;
    const int pidfd = PidfdOpen(_key.pid);
    if (pidfd < 0) {
        if (errno == ENOSYS && ReadInfo(_key.pid, info) && info.start == _key.start)
            ::kill(_key.pid, SIGKILL);
        return;
    }
    if (ReadInfo(_key.pid, info) && info.start == _key.start)
        PidfdKill(pidfd);
    ::close(pidfd);
}

// Qt waits for its QProcess children through pidfds: a child that this process holds a pidfd for
// is its own, wherever its session.
std::set<pid_t> HeldByPidfds()
{
    std::set<pid_t> held;
    ForEachNumberedEntry("/proc/self/fd", [&](pid_t _nFd) {
        char path[64];
        char target[64] = {};
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", static_cast<int>(_nFd));
        // "anon_inode:[pidfd]"; a kernel may name it otherwise, never without "pidfd".
        if (::readlink(path, target, sizeof target - 1) <= 0 || !std::strstr(target, "pidfd"))
            return;
        std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", static_cast<int>(_nFd));
        QByteArray info;
        if (!ReadFile(path, info))
            return;
        for (const QByteArray& line : info.split('\n'))
            if (line.startsWith("Pid:"))
                held.insert(line.mid(4).trimmed().toInt());
    });
    return held;
}

// Read once per look, and only when needed.
class HeldChildren
{
public:
    bool Holds(pid_t _nPid)
    {
        if (!m_blRead) {
            m_blRead = true;
            m_setPids = HeldByPidfds();
        }
        return m_setPids.count(_nPid) > 0;
    }

private:
    std::set<pid_t> m_setPids;
    bool m_blRead = false;
};

std::mutex g_clientMutex;
std::set<Key> g_setStartedForClients;

bool StartedForClient(const Key& _key)
{
    std::lock_guard<std::mutex> lock(g_clientMutex);
    return g_setStartedForClients.count(_key) > 0;
}

} // namespace

struct DescendantWatch::State
{
    struct Group
    {
        Ended funcEnded;
        Key root;
        bool blRootSet = false;
        bool blRootEnded = false;
        bool blKilling = false;
        bool blReleased = false;
        std::set<Key> setLeftOver;
    };

    std::map<int, Group> mapGroups;
    int nLastGroup = 0;
    // From the last look: the group of every process below this one (0: none), its parent, the
    // group of every session (sessions never mix groups).
    std::map<Key, int> mapKnown;
    std::map<Key, pid_t> mapParents;
    std::map<pid_t, int> mapSessions;
    // Children of this process that it did not start itself: nobody but this watch reaps them.
    std::set<Key> setAdopted;
    // Roots are waited for by whoever started them, never reaped here.
    std::set<Key> setRoots;
    pid_t nSelf = ::getpid();
    pid_t nSelfSession = ::getsid(0);
    bool blSubreaper = false;
    // One more look once orphans are no longer adopted, for those adopted just before.
    bool blSweepOnce = false;

    // The groups that ended, with their left-over counts.
    std::vector<std::pair<int, int>> Scan();
    int ClassifyOrphan(const ProcInfo& _info, bool _blTrusted, HeldChildren& _held) const;
    int RootGroup(const Key& _key) const;
    void SetSubreaper(bool _blOn);
};

void DescendantWatch::State::SetSubreaper(bool _blOn)
{
    if (blSubreaper == _blOn)
        return;
    if (::prctl(PR_SET_CHILD_SUBREAPER, _blOn ? 1 : 0) != 0) {
        if (_blOn)
            qCCritical(lcCore) << "DescendantWatch:cannot adopt orphaned processes:" << std::strerror(errno);
        return;
    }
    blSubreaper = _blOn;
    if (!_blOn)
        blSweepOnce = true;
}

int DescendantWatch::State::RootGroup(const Key& _key) const
{
    for (const auto& entry : mapGroups)
        if (entry.second.blRootSet && entry.second.root == _key)
            return entry.first;
    return 0;
}

int DescendantWatch::State::ClassifyOrphan(const ProcInfo& _info, bool _blTrusted, HeldChildren& _held) const
{
    const auto known = mapKnown.find(_info.key());
    if (known != mapKnown.end())
        return known->second;
    // Every root was alive after this look was taken: no group can have lost a process to us.
    if (_blTrusted || _info.sid == nSelfSession || StartedForClient(_info.key()))
        return 0;
    // Started by this process itself (Qt holds a pidfd for each QProcess child).
    if (_held.Holds(_info.pid))
        return 0;
    int candidate = 0;
    for (const auto& entry : mapGroups) {
        const Group& group = entry.second;
        if (!group.blRootEnded || _info.start < group.root.start)
            continue;
        if (_info.sid == group.root.pid)
            return entry.first;
        if (!candidate)
            candidate = entry.first;
    }
    if (!candidate)
        return 0;
    const auto session = mapSessions.find(_info.sid);
    if (session != mapSessions.end() && (!session->second || mapGroups.count(session->second)))
        return session->second;
    // New since the last look, in a session never seen: a process of a group that lost its root
    // (a program of another's that turned daemon in that same moment would be counted too).
    return candidate;
}

std::vector<std::pair<int, int>> DescendantWatch::State::Scan()
{
    struct Seen
    {
        ProcInfo info;
        int nParent; // index in seen, -1 for a child of this process
        int nGroup;
    };
    blSweepOnce = false;
    ChildLister lister;
    HeldChildren held;
    std::vector<Seen> seen;
    std::set<pid_t> visited;
    bool complete = true;
    const auto visit = [&](pid_t _nPid, int _nParent) {
        if (!visited.insert(_nPid).second)
            return;
        if (seen.size() >= kMaxProcesses) {
            complete = false;
            return;
        }
        ProcInfo info;
        if (ReadInfo(_nPid, info))
            seen.push_back({info, _nParent, 0});
    };
    for (pid_t child : lister.Of(nSelf))
        visit(child, -1);
    // Below our own children only while a group is watched: otherwise only adopted ones matter.
    if (!mapGroups.empty())
        for (size_t i = 0; i < seen.size(); ++i)
            for (pid_t child : lister.Of(seen[i].info.pid))
                visit(child, static_cast<int>(i));

    // Roots are looked at after the tree: one alive now was alive while the tree was read.
    bool trusted = true;
    for (auto& entry : mapGroups) {
        Group& group = entry.second;
        if (!group.blRootSet)
            continue;
        if (!group.blRootEnded) {
            ProcInfo info;
            group.blRootEnded =
                !(ReadInfo(group.root.pid, info) && info.start == group.root.start && info.Alive());
        }
        if (group.blRootEnded)
            trusted = false;
    }

    // Parents come before their children in seen.
    for (Seen& entry : seen) {
        const int root = RootGroup(entry.info.key());
        if (root)
            entry.nGroup = root;
        else if (entry.nParent >= 0)
            entry.nGroup = seen[static_cast<size_t>(entry.nParent)].nGroup;
        else
            entry.nGroup = ClassifyOrphan(entry.info, trusted, held);
    }

    std::map<Key, int> known;
    std::map<Key, pid_t> parents;
    std::map<pid_t, int> sessions;
    std::set<Key> adopted;
    std::set<Key> roots;
    for (const Seen& entry : seen) {
        const Key key = entry.info.key();
        known[key] = entry.nGroup;
        parents[key] = entry.info.ppid;
        if (entry.info.Alive()) {
            const auto added = sessions.emplace(entry.info.sid, entry.nGroup);
            if (!added.second && entry.nGroup)
                added.first->second = entry.nGroup;
        }
        if (setRoots.count(key)) {
            roots.insert(key);
            continue;
        }
        if (entry.info.ppid != nSelf)
            continue;
        // Started elsewhere: a group's, seen under another parent before, started for a client
        // (twice over, by Qt), or, never seen before, in another session and not held by Qt.
        const auto parent = mapParents.find(key);
        bool elsewhere = entry.nGroup || setAdopted.count(key) ||
                         (parent != mapParents.end() && parent->second != nSelf) || StartedForClient(key);
        if (!elsewhere && entry.info.sid != nSelfSession && !mapKnown.count(key))
            elsewhere = !held.Holds(key.pid);
        if (elsewhere)
            adopted.insert(key);
    }

    std::vector<std::pair<int, int>> ended;
    for (auto& entry : mapGroups) {
        Group& group = entry.second;
        if (!group.blRootSet)
            continue;
        if (group.blKilling && !group.blRootEnded)
            KillExact(group.root);
        int alive = 0;
        for (const Seen& member : seen) {
            if (member.nGroup != entry.first || !member.info.Alive() || member.info.key() == group.root)
                continue;
            ++alive;
            if (group.blKilling || group.blRootEnded) {
                KillExact(member.info.key());
                if (!group.blKilling)
                    group.setLeftOver.insert(member.info.key());
            }
        }
        if (group.blRootEnded && alive == 0 && complete)
            ended.emplace_back(entry.first, static_cast<int>(group.setLeftOver.size()));
    }

    for (const Seen& entry : seen) {
        const Key key = entry.info.key();
        if (entry.info.Alive() || !adopted.count(key) || !lister.IsMainThreadChild(nSelf, key.pid))
            continue;
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        if (::waitid(P_PID, static_cast<id_t>(key.pid), &info, WEXITED | WNOHANG) == 0 && info.si_pid != 0)
            adopted.erase(key);
    }

    {
        // A program started for a client is remembered while it lives.
        std::lock_guard<std::mutex> lock(g_clientMutex);
        for (auto it = g_setStartedForClients.begin(); it != g_setStartedForClients.end();) {
            ProcInfo info;
            if (known.count(*it) || (ReadInfo(it->pid, info) && info.start == it->start && info.Alive()))
                ++it;
            else
                it = g_setStartedForClients.erase(it);
        }
    }

    mapKnown.swap(known);
    mapParents.swap(parents);
    mapSessions.swap(sessions);
    setAdopted.swap(adopted);
    setRoots.swap(roots);
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
    // At exit no group is left running: a few rounds, bounded.
    State& state = *m_pState;
    for (auto& entry : state.mapGroups) {
        entry.second.blKilling = true;
        entry.second.funcEnded = nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!state.mapGroups.empty() && std::chrono::steady_clock::now() < deadline) {
        for (const auto& ended : state.Scan())
            state.mapGroups.erase(ended.first);
        for (auto it = state.mapGroups.begin(); it != state.mapGroups.end();)
            it = it->second.blRootSet ? std::next(it) : state.mapGroups.erase(it);
        if (!state.mapGroups.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(kKillTickMs));
    }
}

int DescendantWatch::Open(Ended _funcEnded)
{
    State& state = *m_pState;
    const int group = ++state.nLastGroup;
    state.mapGroups[group].funcEnded = std::move(_funcEnded);
    state.SetSubreaper(true);
    // Everything already running is known before the root starts; groups this look finds ended
    // are told at the next one.
    state.Scan();
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
    ProcInfo info;
    if (_nRootPid > 0 && ReadInfo(static_cast<pid_t>(_nRootPid), info)) {
        group.root = info.key();
        state.setRoots.insert(group.root);
    } else {
        group.root = {static_cast<pid_t>(_nRootPid), 0};
        group.blRootEnded = true;
    }
    Schedule();
}

void DescendantWatch::Kill(int _nGroup)
{
    const auto it = m_pState->mapGroups.find(_nGroup);
    if (it == m_pState->mapGroups.end())
        return;
    it->second.blKilling = true;
    Check();
}

void DescendantWatch::Release(int _nGroup)
{
    State& state = *m_pState;
    const auto it = state.mapGroups.find(_nGroup);
    if (it == state.mapGroups.end())
        return;
    it->second.blReleased = true;
    it->second.funcEnded = nullptr;
    if (it->second.blRootSet) {
        it->second.blKilling = true;
    } else {
        state.mapGroups.erase(it);
        if (state.mapGroups.empty())
            state.SetSubreaper(false);
    }
    Check();
}

void DescendantWatch::Check()
{
    State& state = *m_pState;
    const std::vector<std::pair<int, int>> ended = state.Scan();
    // Each ended group stays listed until its owner is told, so that an owner released meanwhile
    // (a caller told may start, kill or release groups) is never called.
    for (const auto& entry : ended) {
        const auto it = state.mapGroups.find(entry.first);
        if (it == state.mapGroups.end())
            continue;
        const Ended call = it->second.blReleased ? nullptr : std::move(it->second.funcEnded);
        state.mapGroups.erase(it);
        if (call)
            call(entry.second);
    }
    if (state.mapGroups.empty())
        state.SetSubreaper(false);
    Schedule();
}

bool DescendantWatch::IsWatching() const
{
    return !m_pState->mapGroups.empty();
}

void DescendantWatch::NoteStartedForClient(qint64 _nPid)
{
    ProcInfo info;
    if (_nPid <= 0 || !ReadInfo(static_cast<pid_t>(_nPid), info))
        return;
    std::lock_guard<std::mutex> lock(g_clientMutex);
    g_setStartedForClients.insert(info.key());
}

void DescendantWatch::Schedule()
{
    const State& state = *m_pState;
    int interval = -1;
    for (const auto& entry : state.mapGroups) {
        const State::Group& group = entry.second;
        const int wanted = (group.blKilling || group.blRootEnded) ? kKillTickMs : kWatchTickMs;
        interval = interval < 0 ? wanted : std::min(interval, wanted);
    }
    if (interval < 0 && (!state.setAdopted.empty() || state.blSweepOnce))
        interval = kReapTickMs;
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
