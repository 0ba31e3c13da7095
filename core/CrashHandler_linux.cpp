// Stands in for an in-process minidump writer: on SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT and
// SIGSYS it writes a text report (signal, faulting address, thread id, backtrace, and the loaded
// modules from /proc/self/maps) with async-signal-safe calls only, then re-raises the signal.
// The log's crash line goes through a duplicate of the log file's descriptor that dup3 points at
// each new log file, so the handler never writes to a number that was closed and reused.
#include "core/CrashHandler.h"

#include "core/Logger.h"

#include <QDir>
#include <QFile>

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS};
// Two slots, so the folder can change (once the configuration is read) while a report is written.
char g_szFolders[2][4096];
std::atomic<int> g_nFolder{0};
char g_altStack[64 * 1024];
std::atomic<int> g_nLogFd{-1};
std::atomic<int> g_nUtcOffset{0};
std::atomic<int> g_nEcho{static_cast<int>(StandardError::Kind::Other)};
static_assert(std::atomic<int>::is_always_lock_free, "read inside a signal handler");

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

// Appends "yyyy-MM-dd hh:mm:ss" of the local time, by arithmetic alone (days to civil date).
char* PutLocalTime(char* _pOut)
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long local = static_cast<long long>(now.tv_sec) + g_nUtcOffset.load();
    long long days = local / 86400;
    long long second = local % 86400;
    if (second < 0) {
        second += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long shifted = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const long long month = shifted < 10 ? shifted + 3 : shifted - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    const long long fields[] = {year, month, day, second / 3600, second / 60 % 60, second % 60};
    const char separators[] = {'-', '-', ' ', ':', ':', '\0'};
    for (int i = 0; i < 6; ++i) {
        const int width = i == 0 ? 4 : 2;
        long long value = fields[i];
        for (int digit = width - 1; digit >= 0; --digit) {
            _pOut[digit] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        _pOut += width;
        if (separators[i] != '\0')
            *_pOut++ = separators[i];
    }
    return _pOut;
}

char* Append(char* _pOut, const char* _szText)
{
    while (*_szText != '\0')
        *_pOut++ = *_szText++;
    return _pOut;
}

// The line the log's own handler would write for the crash, into the log and onto standard
// error as the logger repeats its lines there.
void WriteCrashLine()
{
    static const char kText[] = "BreakpadQt crash";
    char line[128];
    char* end = Append(PutLocalTime(Append(line, "[D]:")), "\t");
    end = Append(end, kText);
    const int logFd = g_nLogFd.load();
    if (logFd >= 0)
        (void)!write(logFd, line, static_cast<size_t>(Append(end, "\r\n") - line));
    const auto echo = static_cast<StandardError::Kind>(g_nEcho.load());
    if (echo == StandardError::Kind::Terminal) {
        (void)!write(STDERR_FILENO, line, static_cast<size_t>(Append(end, "\n") - line));
    } else if (echo == StandardError::Kind::Journal) {
        // The journal's own priority prefix: a crash is critical, whatever its tag.
        char* plain = Append(Append(Append(line, "<2>[D]:"), kText), "\n");
        (void)!write(STDERR_FILENO, line, static_cast<size_t>(plain - line));
    }
}

void OnFatalSignal(int _nSignal, siginfo_t* _pInfo, void*)
{
    // The lines of the envelopes handled last, likely the one that crashed, go into the log too.
    Logger::WritePendingFromSignal();
    WriteReport(_nSignal, _pInfo);
    WriteCrashLine();
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

void SetLogFile(int _nHandle)
{
    if (_nHandle < 0)
        return;
    const int current = g_nLogFd.load();
    if (current >= 0)
        dup3(_nHandle, current, O_CLOEXEC);
    else
        g_nLogFd = fcntl(_nHandle, F_DUPFD_CLOEXEC, 0);
}

void SetUtcOffset(int _nSeconds)
{
    g_nUtcOffset = _nSeconds;
}

void SetEcho(StandardError::Kind _kind)
{
    g_nEcho = static_cast<int>(_kind);
}

} // namespace CrashHandler
