// Stands in for an in-process minidump writer: on SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and
// SIGSYS it writes a text report (signal, faulting address, thread id, backtrace, and the loaded
// modules from /proc/self/maps) with async-signal-safe calls only, then re-raises the signal.
#include "core/CrashHandler.h"

#include "core/Logger.h"

#include <QDir>
#include <QFile>

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
// Two slots, so the folder can change (once the configuration is read) while a report is written.
char g_szFolders[2][4096];
std::atomic<int> g_nFolder{0};
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

// mkdir -p with mkdir(2) alone: the folder is made only when a report needs it.
void MakeFolders(const char* _szFolder)
{
    char partial[sizeof g_szFolders[0]];
    for (size_t i = 1; _szFolder[i] != '\0' && i < sizeof partial; ++i) {
        if (_szFolder[i] != '/')
            continue;
        memcpy(partial, _szFolder, i);
        partial[i] = '\0';
        mkdir(partial, 0700);
    }
}

void WriteReport(int _nSignal, siginfo_t* _pInfo)
{
    char uuid[40];
    MakeUuid(uuid);
    const char* folder = g_szFolders[g_nFolder.load()];
    MakeFolders(folder);
    char path[sizeof g_szFolders[0] + 64];
    path[0] = '\0';
    strncat(path, folder, sizeof path - 1);
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
    // The lines of the envelopes handled last, likely the one that crashed, go into the log too.
    Logger::WritePendingFromSignal();
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
    const QByteArray folder = QFile::encodeName(QDir(_qstrDumpFolder).absolutePath()) + '/';
    if (static_cast<size_t>(folder.size()) >= sizeof g_szFolders[0])
        return false;
    const int next = s_blInstalled ? 1 - g_nFolder.load() : 0;
    memcpy(g_szFolders[next], folder.constData(), static_cast<size_t>(folder.size()) + 1);
    g_nFolder = next;
    if (s_blInstalled)
        return true;

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
