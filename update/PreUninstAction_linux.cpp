// The pre-uninstall action on Linux is a shell script run by /bin/sh, the counterpart of the
// batch file that cmd runs on Windows. Between the service and the interpreter sits a small
// reaper: the forked child that becomes a child subreaper (prctl(PR_SET_CHILD_SUBREAPER)), so
// every process the script starts stays its descendant, even one that calls setsid(2) or forks
// twice; a process group would lose those. The reaper ends when the script and all it started
// have ended, and when the service dies (SIGTERM as its parent-death signal) it kills every
// descendant, found as its children in /proc, until none is left. The script runs as the same
// user and can kill the reaper; the service itself therefore watches the reaper's group
// (DescendantWatch) and adopts what the reaper leaves behind. Between fork and exit the reaper
// uses only async-signal-safe calls.
#include "update/PreUninstAction.h"

#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The parent of _nPid from /proc/<pid>/stat ("pid (comm) state ppid ..."); -1 when unreadable.
pid_t ParentOf(const char* _szPid)
{
    char path[64] = "/proc/";
    size_t n = 6;
    for (const char* p = _szPid; *p && n < 50; ++p)
        path[n++] = *p;
    const char tail[] = "/stat";
    for (size_t i = 0; i < sizeof(tail); ++i)
        path[n++] = tail[i];
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buffer[512];
    const ssize_t got = ::read(fd, buffer, sizeof(buffer) - 1);
    ::close(fd);
    if (got <= 0)
        return -1;
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    const char* p = nullptr;
    for (ssize_t i = 0; i < got; ++i)
        if (buffer[i] == ')')
            p = buffer + i;
    if (!p || p + 4 >= buffer + got)
        return -1;
    p += 4; // ") S "
    pid_t parent = 0;
    for (; p < buffer + got && *p >= '0' && *p <= '9'; ++p)
        parent = parent * 10 + (*p - '0');
    return parent;
}

// Sends SIGKILL to every process whose parent is this one; the number found.
int KillChildren()
{
    const int fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const pid_t self = ::getpid();
    int found = 0;
    alignas(dirent64) char buffer[4096];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, fd, buffer, sizeof(buffer));
        if (got <= 0)
            break;
        for (long offset = 0; offset < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || ParentOf(entry->d_name) != self)
                continue;
            pid_t pid = 0;
            for (const char* p = entry->d_name; *p; ++p)
                pid = pid * 10 + (*p - '0');
            ::kill(pid, SIGKILL);
            ++found;
        }
    }
    ::close(fd);
    return found;
}

// Killing a child hands its own children to this subreaper, so rounds go on until none is left.
[[noreturn]] void KillEverything(const sigset_t& _waited)
{
    for (;;) {
        KillChildren();
        pid_t ended;
        while ((ended = ::waitpid(-1, nullptr, WNOHANG)) > 0) {
        }
        if (ended < 0 && errno == ECHILD)
            ::_exit(137);
        // Until the next end (or a short while): a killed process is gone within moments.
        const timespec pause{0, 10 * 1000 * 1000};
        ::sigtimedwait(&_waited, nullptr, &pause);
    }
}

[[noreturn]] void Reap(pid_t _nScript, pid_t _nService, const sigset_t& _waited)
{
    int code = 127;
    for (;;) {
        int status = 0;
        pid_t ended;
        while ((ended = ::waitpid(-1, &status, WNOHANG)) > 0)
            if (ended == _nScript)
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (ended < 0 && errno == ECHILD)
            ::_exit(code);
        if (::getppid() != _nService)
            KillEverything(_waited); // the service died before the death signal was armed
        siginfo_t info;
        if (::sigwaitinfo(&_waited, &info) == SIGTERM)
            KillEverything(_waited);
    }
}

class ReapedProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    void setupChildProcess() override
    {
        const pid_t service = ::getppid();
        ::setsid();
        sigset_t waited;
        sigset_t previous;
        sigemptyset(&waited);
        sigaddset(&waited, SIGTERM);
        sigaddset(&waited, SIGCHLD);
        // Blocked before the fork, so no child's end can slip by before the reaper waits.
        ::sigprocmask(SIG_BLOCK, &waited, &previous);
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        const pid_t script = ::fork();
        if (script == 0) {
            ::sigprocmask(SIG_SETMASK, &previous, nullptr);
            return; // the script's process: Qt execs the interpreter
        }
        if (script < 0)
            ::_exit(127);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // Qt learns that the interpreter started when every copy of its start-up pipe is closed.
        ::close_range(3, ~0U, 0);
        Reap(script, service, waited);
    }
};

} // namespace

QProcess* PreUninstAction::CreateProcess(QObject* _pParent)
{
    return new ReapedProcess(_pParent);
}

void PreUninstAction::ConfigureProcess(QProcess& _process, const QString& _qstrScript)
{
    _process.setProgram(QStringLiteral("/bin/sh"));
    // Absolute, so the script's name can never be read as an option of the interpreter.
    _process.setArguments({QFileInfo(_qstrScript).absoluteFilePath()});
    _process.setWorkingDirectory(QFileInfo(_qstrScript).absolutePath());
    _process.setStandardInputFile(QProcess::nullDevice());
    _process.setProcessChannelMode(QProcess::ForwardedChannels);
}
