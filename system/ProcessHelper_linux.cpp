// Process test, tree kill and start on Linux: names from /proc (ProcessSnapshot), signals through
// pidfds (kill(2) where pidfds are missing), programs started detached with Qt's double fork,
// documents and folders through xdg-open.
#include "system/ProcessHelper.h"
#include "core/LogCategories.h"

#include "core/DescendantWatch.h"

#include "system/ProcessSnapshot.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <chrono>
#include <set>
#include <unordered_map>
#include <vector>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

int PidfdOpen(qint64 _nPid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(_nPid), 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

int PidfdKill(int _nPidfd)
{
#ifdef SYS_pidfd_send_signal
    return static_cast<int>(syscall(SYS_pidfd_send_signal, _nPidfd, SIGKILL, nullptr, 0));
#else
    Q_UNUSED(_nPidfd);
    errno = ENOSYS;
    return -1;
#endif
}

// Pid and start time of the same process, read again after the pidfd pins it, so that a pid
// reused since the snapshot is left alone.
bool StillSameProcess(const ProcessRecord& _record)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(_record.pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    if (close < 0)
        return false;
    // After the comm: field 3 (state) is index 0, field 22 (start time) is index 19.
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    return fields.size() > 19 && fields.at(19).toULongLong() == _record.startTime;
}

bool LaunchDetached(const QString& _qstrProgram, const QStringList& _listArgs)
{
    QProcess process;
    process.setProgram(_qstrProgram);
    process.setArguments(_listArgs);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    const bool started = process.startDetached(&pid);
    if (!started) {
        qCWarning(lcSystem).noquote()
            << "ProcessHelper:cannot start" << _qstrProgram << _listArgs.join(QLatin1Char(' '));
        return false;
    }
    // While a pre-uninstall action is watched this service adopts the program (its first parent
    // ends at once): it must never be counted as the action's.
    DescendantWatch::NoteStartedForClient(pid);
    qCDebug(lcSystem).noquote() << "ProcessHelper:started" << _qstrProgram << _listArgs.join(QLatin1Char(' '))
                                << "pid" << pid;
    return true;
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

    // This service and the chain that started it are never touched, nor are init and the
    // kernel's threads.
    std::set<qint64> spared{1, 2};
    for (qint64 pid = QCoreApplication::applicationPid(); pid > 0 && spared.insert(pid).second;) {
        const auto it = byPid.find(pid);
        pid = it == byPid.end() ? 0 : it->second->parentPid;
    }

    std::vector<const ProcessRecord*> targets;
    std::set<qint64> queued;
    for (const ProcessRecord& process : processes)
        if (!process.exited && process.parentPid != 2 && !spared.count(process.pid) &&
            ProcessSnapshot::AnswersTo(process, _qstrName) && queued.insert(process.pid).second)
            targets.push_back(&process);
    // The whole tree under each match, found breadth first.
    for (size_t i = 0; i < targets.size(); ++i) {
        const auto kids = children.find(targets[i]->pid);
        if (kids == children.end())
            continue;
        for (const ProcessRecord* child : kids->second)
            if (!spared.count(child->pid) && queued.insert(child->pid).second)
                targets.push_back(child);
    }

    std::vector<int> pidfds;
    for (const ProcessRecord* target : targets) {
        const int pidfd = PidfdOpen(target->pid);
        if (pidfd < 0) {
            if (errno == ENOSYS && kill(static_cast<pid_t>(target->pid), SIGKILL) == 0)
                qCWarning(lcSystem) << "ProcessHelper::KillProcess:killed" << target->pid;
            continue;
        }
        if (StillSameProcess(*target) && PidfdKill(pidfd) == 0) {
            qCWarning(lcSystem) << "ProcessHelper::KillProcess:killed" << target->pid << target->name;
            pidfds.push_back(pidfd);
        } else {
            close(pidfd);
        }
    }

    // A pidfd turns readable when its process has ended; wait for all of them, within a bound.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kKillWaitMs);
    std::vector<pollfd> waiting;
    for (int fd : pidfds)
        waiting.push_back(pollfd{fd, POLLIN, 0});
    while (!waiting.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            qCWarning(lcSystem) << "ProcessHelper::KillProcess:" << waiting.size()
                                << "processes still running";
            break;
        }
        const int ready = poll(waiting.data(), waiting.size(), static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            break;
        std::vector<pollfd> still;
        for (const pollfd& p : waiting)
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
                still.push_back(pollfd{p.fd, POLLIN, 0});
        waiting.swap(still);
    }
    for (int fd : pidfds)
        close(fd);
}

bool ShellOpen(const QString& _qstrPath)
{
    if (_qstrPath.isEmpty() || _qstrPath.contains(QChar(0))) {
        qCWarning(lcSystem) << "ProcessHelper::ShellOpen:no path";
        return false;
    }
    // A bare program name is looked up on PATH, as the shell would.
    if (!_qstrPath.contains(QLatin1Char('/'))) {
        const QString program = QStandardPaths::findExecutable(_qstrPath);
        if (!program.isEmpty())
            return LaunchDetached(program, {});
    }
    const QFileInfo info(_qstrPath);
    if (!info.exists()) {
        qCWarning(lcSystem) << "ProcessHelper::ShellOpen:no such file:" << _qstrPath;
        return false;
    }
    // Absolute, so that the path can never be read as an option.
    const QString path = info.absoluteFilePath();
    if (info.isFile() && info.isExecutable())
        return LaunchDetached(path, {});
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        qCWarning(lcSystem) << "ProcessHelper::ShellOpen:no default handler (xdg-open) for" << path;
        return false;
    }
    return LaunchDetached(opener, {path});
}

bool StartProcess(const QString& _qstrPath)
{
    // The launch returns once the program has been executed, as the launching interpreter would.
    return ShellOpen(_qstrPath);
}

} // namespace ProcessHelper
