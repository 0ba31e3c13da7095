// Bounded child processes with posix_spawnp(3), a pipe read under poll(2) and waitpid(2); kill(2)
// at the deadline (Windows: CreateProcessW, a job object and WaitForSingleObject).
#include "core/BoundedChild.h"

#include <chrono>
#include <thread>
#include <vector>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace BoundedChild {

Result Run(const QByteArray& _baProgram, const QList<QByteArray>& _listArgs, int _nTimeoutMs,
           int _nMaxOutputBytes, bool _blMergeStderr)
{
    Result result;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    if (_blMergeStderr)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    QList<QByteArray> owned{_baProgram};
    owned.append(_listArgs);
    std::vector<char*> argv;
    for (QByteArray& arg : owned)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawnError =
        posix_spawnp(&pid, _baProgram.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawnError != 0) {
        close(pipeFds[0]);
        return result;
    }
    result.started = true;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(_nTimeoutMs);
    auto remainingMs = [&deadline]() {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::max<long long>(left, 0));
    };
    char buffer[8192];
    for (;;) {
        pollfd pfd{pipeFds[0], POLLIN, 0};
        const int ready = poll(&pfd, 1, remainingMs());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            result.timedOut = true;
            break;
        }
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (result.output.size() < _nMaxOutputBytes)
            result.output.append(buffer, static_cast<int>(n));
    }
    close(pipeFds[0]);

    // Output closed does not mean ended: give it the rest of the bound, then stop it.
    int status = 0;
    while (!result.timedOut) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            result.exitedNormally = WIFEXITED(status);
            result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return result;
        }
        if (done < 0 && errno != EINTR)
            return result;
        if (remainingMs() == 0)
            result.timedOut = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

} // namespace BoundedChild
