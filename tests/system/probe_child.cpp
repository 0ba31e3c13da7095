// A process for the system tests to look at. Without arguments it just waits (the form in which
// the service starts it); with a mode it also dies with its parent so a failed test leaves nothing.
//   busy | sleep | hold <MB> | spawn <program> [args...] | kill <name>
#include "system/ProcessHelper.h"

#include <QByteArray>
#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <spawn.h>
#include <sys/prctl.h>
#include <unistd.h>

extern char** environ;

namespace {

[[noreturn]] void WaitForever()
{
    for (;;)
        pause();
}

void Ready()
{
    std::printf("ready %d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        Ready();
        WaitForever();
    }
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        return 1;

    const char* mode = argv[1];
    if (std::strcmp(mode, "sleep") == 0) {
        Ready();
        WaitForever();
    }
    if (std::strcmp(mode, "busy") == 0) {
        Ready();
        volatile unsigned long long counter = 0;
        for (;;)
            counter = counter + 1;
    }
    if (std::strcmp(mode, "hold") == 0 && argc > 2) {
        const size_t bytes = std::strtoull(argv[2], nullptr, 10) * 1024 * 1024;
        volatile char* block = static_cast<volatile char*>(std::malloc(bytes));
        if (!block)
            return 2;
        // Every page written through volatile, so that none is optimised away and all are resident.
        for (size_t i = 0; i < bytes; i += 512)
            block[i] = 0x5a;
        Ready();
        WaitForever();
    }
    if (std::strcmp(mode, "spawn") == 0 && argc > 2) {
        pid_t child = 0;
        if (posix_spawn(&child, argv[2], nullptr, nullptr, argv + 2, environ) != 0)
            return 3;
        Ready();
        WaitForever();
    }
    if (std::strcmp(mode, "kill") == 0 && argc > 2) {
        ProcessHelper::KillProcess(QString::fromLocal8Bit(argv[2]));
        std::printf("survived\n");
        std::fflush(stdout);
        return 0;
    }
    return 4;
}
