// Stands in for an in-process minidump writer: on SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and
// SIGSYS it writes a text report (signal, faulting address, thread id, backtrace, and the loaded
// modules from /proc/self/maps) with async-signal-safe calls only, then re-raises the signal.
#include "core/CrashHandler.h"

#include <QDir>
#include <QFile>

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
char g_szFolder[4096];
char g_altStack[64 * 1024];

void PutText(int _fd, const char* _szText)
{
    size_t left = strlen(_szText);
    while (left > 0) {
        const ssize_t n = write(_fd, _szText, left);
        if (n <= 0)
            return;
        _szText += n;
        left -= static_cast<size_t>(n);
    }
}

void PutNumber(int _fd, unsigned long _nValue, unsigned _nBase)
{
    char buffer[32];
    int pos = sizeof buffer;
    buffer[--pos] = '\0';
    do {
        buffer[--pos] = "0123456789abcdef"[_nValue % _nBase];
        _nValue /= _nBase;
    } while (_nValue && pos > 0);
    PutText(_fd, buffer + pos);
}

// A random (version 4) UUID in lowercase, read from the kernel's generator.
void MakeUuid(char* _szOut)
{
    unsigned char bytes[16] = {};
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!read(fd, bytes, sizeof bytes);
        close(fd);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
    int pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            _szOut[pos++] = '-';
        _szOut[pos++] = "0123456789abcdef"[bytes[i] >> 4];
        _szOut[pos++] = "0123456789abcdef"[bytes[i] & 0xf];
    }
    _szOut[pos] = '\0';
}

void CopyFile(int _fdOut, const char* _szPath)
{
    const int fd = open(_szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        (void)!write(_fdOut, buffer, static_cast<size_t>(n));
    close(fd);
}

void WriteReport(int _nSignal, siginfo_t* _pInfo)
{
    char uuid[40];
    MakeUuid(uuid);
    char path[sizeof g_szFolder + 64];
    path[0] = '\0';
    strncat(path, g_szFolder, sizeof path - 1);
    strncat(path, uuid, sizeof path - strlen(path) - 1);
    strncat(path, ".dmp", sizeof path - strlen(path) - 1);
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    PutText(fd, "qorv-utility-service crash report\nsignal: ");
    PutNumber(fd, static_cast<unsigned long>(_nSignal), 10);
    PutText(fd, "\naddress: 0x");
    PutNumber(fd, reinterpret_cast<unsigned long>(_pInfo ? _pInfo->si_addr : nullptr), 16);
    PutText(fd, "\npid: ");
    PutNumber(fd, static_cast<unsigned long>(getpid()), 10);
    PutText(fd, "\nthread: ");
    PutNumber(fd, static_cast<unsigned long>(syscall(SYS_gettid)), 10);
    PutText(fd, "\nbacktrace:\n");
    void* frames[64];
    const int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, fd);
    PutText(fd, "modules:\n");
    CopyFile(fd, "/proc/self/maps");
    close(fd);
}

void OnFatalSignal(int _nSignal, siginfo_t* _pInfo, void*)
{
    WriteReport(_nSignal, _pInfo);
    // SA_RESETHAND restored the default action: re-raise so the process dies of the same signal.
    signal(_nSignal, SIG_DFL);
    raise(_nSignal);
}

} // namespace

namespace CrashHandler {

bool Install(const QString& _qstrDumpFolder)
{
    static bool s_blInstalled = false;
    if (s_blInstalled)
        return true;
    QDir().mkpath(_qstrDumpFolder);
    QByteArray folder = QFile::encodeName(QDir(_qstrDumpFolder).absolutePath()) + '/';
    if (static_cast<size_t>(folder.size()) >= sizeof g_szFolder)
        return false;
    memcpy(g_szFolder, folder.constData(), static_cast<size_t>(folder.size()) + 1);

    // backtrace() loads libgcc on first use, which is not safe inside a handler: do it now.
    void* warm[1];
    backtrace(warm, 1);

    stack_t stack = {};
    stack.ss_sp = g_altStack;
    stack.ss_size = sizeof g_altStack;
    sigaltstack(&stack, nullptr);

    struct sigaction action = {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals)
        sigaction(sig, &action, nullptr);
    s_blInstalled = true;
    return true;
}

} // namespace CrashHandler
