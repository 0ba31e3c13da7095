// One process snapshot (what each of the two samples of the busy-process probe reads, the
// sampling sleep excluded) with 500 extra idle processes, next to `ps -eo pid,comm,rss,time`
// measured in the same run.
#include "system/ProcessSnapshot.h"
#include "system/SystemProbe.h"

#include <QThread>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Figures
{
    double medianMs;
    double minMs;
    double meanMs;
};

Figures Measure(int _nRuns, const std::function<void()>& _run)
{
    _run(); // warm the caches the same way for both
    std::vector<double> ms;
    for (int i = 0; i < _nRuns; ++i) {
        const auto start = Clock::now();
        _run();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    double sum = 0;
    for (double v : ms)
        sum += v;
    return {ms[ms.size() / 2], ms.front(), sum / ms.size()};
}

void RunPs()
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("ps"), const_cast<char*>("-eo"), const_cast<char*>("pid,comm,rss,time"),
                    nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ps", &actions, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "cannot run ps\n");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
}

void Print(const char* _szName, const Figures& _f)
{
    std::printf("  %-44s median %7.2f ms   min %7.2f ms   mean %7.2f ms\n", _szName, _f.medianMs, _f.minMs,
                _f.meanMs);
}

} // namespace

int main(int argc, char* argv[])
{
    const int extra = argc > 1 ? std::atoi(argv[1]) : 500;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 40;

    std::vector<pid_t> idle;
    for (int i = 0; i < extra; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (;;)
                pause();
        }
        if (pid < 0) {
            std::perror("fork");
            break;
        }
        idle.push_back(pid);
    }

    std::vector<ProcessRecord> sample;
    ProcessSnapshot::Take(ProcessSnapshot::kUsage, sample);
    std::printf("processes on this machine: %zu (%zu idle children started by the benchmark), %d runs each\n",
                sample.size(), idle.size(), runs);

    const Figures ours = Measure(runs, [] {
        std::vector<ProcessRecord> s;
        ProcessSnapshot::Take(ProcessSnapshot::kUsage, s);
    });
    const Figures probe = Measure(runs, [] {
        std::vector<ProcessRecord> a;
        std::vector<ProcessRecord> b;
        ProcessSnapshot::Take(ProcessSnapshot::kUsage, a);
        ProcessSnapshot::Take(ProcessSnapshot::kUsage, b);
        SystemProbe::RankProcessUsage(a, b, QThread::idealThreadCount());
    });
    const Figures names = Measure(runs, [] {
        std::vector<ProcessRecord> s;
        ProcessSnapshot::Take(ProcessSnapshot::kNames, s);
    });
    const Figures ps = Measure(runs, RunPs);

    Print("snapshot (pid, name, working set, cpu time)", ours);
    Print("busy-process probe without its 1 s sleep", probe);
    Print("snapshot with names (query_proc, watchdog)", names);
    Print("ps -eo pid,comm,rss,time", ps);
    std::printf("ratio snapshot / ps (median): %.2f   target: <= 1.00   %s\n", ours.medianMs / ps.medianMs,
                ours.medianMs <= ps.medianMs ? "met" : "NOT met");

    for (pid_t pid : idle)
        kill(pid, SIGKILL);
    for (pid_t pid : idle)
        waitpid(pid, nullptr, 0);
    return 0;
}
