// An unhandled exception (SetUnhandledExceptionFilter), and abort(), which the C runtime ends
// without one, leave a minidump written by MiniDumpWriteDump (dbghelp). A thread made at install
// time writes it, since the crashed thread may have no stack left (an overflow) and dbghelp
// needs plenty. The log's crash line goes through a duplicate of the log file's handle, so the
// filter never writes to a handle that was closed and reused.
#include "core/CrashHandler.h"

#include "core/Logger.h"
#include "core/ThreadStack.h"

#include <QDir>
#include <QUuid>

#include <windows.h>

#include <dbghelp.h>
#include <io.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace {

// Raised by the abort handler, so abort() goes the way of every other crash; such a process
// still ends with abort()'s exit code.
constexpr DWORD kAbortException = 0xE0000A0B;
constexpr unsigned kAbortExitCode = 3;
// The dump writer's bound; a crash that cannot be written within it ends without a report.
constexpr DWORD kDumpWaitMs = 60000;

// Two slots, so the folder can change (once the configuration is read) while a report is written.
// Each holds the folder with a trailing separator and the report's file name.
constexpr size_t kPathChars = 4096;
wchar_t g_szFolders[2][kPathChars];
wchar_t g_szNames[2][64];
std::atomic<int> g_nFolder{0};
std::atomic<HANDLE> g_hLog{nullptr};
std::atomic<int> g_nEcho{static_cast<int>(StandardError::Kind::Other)};
std::atomic<bool> g_blCrashing{false};

HANDLE g_hRequest = nullptr;
HANDLE g_hDone = nullptr;
EXCEPTION_POINTERS* g_pException = nullptr;
DWORD g_nThreadId = 0;

// CreateDirectoryW alone for each level: the folder is made only when a report needs it.
void MakeFolders(const wchar_t* _szFolder)
{
    wchar_t partial[kPathChars];
    for (size_t i = 3; _szFolder[i] != L'\0' && i < kPathChars; ++i) {
        if (_szFolder[i] != L'\\')
            continue;
        std::memcpy(partial, _szFolder, i * sizeof(wchar_t));
        partial[i] = L'\0';
        CreateDirectoryW(partial, nullptr);
    }
}

void WriteDump()
{
    const int slot = g_nFolder.load();
    const wchar_t* folder = g_szFolders[slot];
    MakeFolders(folder);
    wchar_t path[kPathChars + 64];
    path[0] = L'\0';
    wcsncat(path, folder, kPathChars);
    wcsncat(path, g_szNames[slot], 63);
    const HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = g_nThreadId;
    exception.ExceptionPointers = g_pException;
    exception.ClientPointers = FALSE;
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                      g_pException ? &exception : nullptr, nullptr, nullptr);
    CloseHandle(file);
}

DWORD WINAPI DumpWriter(LPVOID)
{
    WaitForSingleObject(g_hRequest, INFINITE);
    WriteDump();
    SetEvent(g_hDone);
    return 0;
}

void PutText(HANDLE _hFile, const char* _szText, size_t _nBytes)
{
    DWORD written = 0;
    while (_nBytes > 0 && WriteFile(_hFile, _szText, static_cast<DWORD>(_nBytes), &written, nullptr) &&
           written > 0) {
        _szText += written;
        _nBytes -= written;
    }
}

char* Append(char* _pOut, const char* _szText)
{
    while (*_szText != '\0')
        *_pOut++ = *_szText++;
    return _pOut;
}

char* PutDigits(char* _pOut, unsigned _nValue, int _nWidth)
{
    for (int digit = _nWidth - 1; digit >= 0; --digit) {
        _pOut[digit] = static_cast<char>('0' + _nValue % 10);
        _nValue /= 10;
    }
    return _pOut + _nWidth;
}

// "yyyy-MM-dd hh:mm:ss" of the local time; the system knows the time zone, no lookup is needed.
char* PutLocalTime(char* _pOut)
{
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    _pOut = PutDigits(_pOut, now.wYear, 4);
    *_pOut++ = '-';
    _pOut = PutDigits(_pOut, now.wMonth, 2);
    *_pOut++ = '-';
    _pOut = PutDigits(_pOut, now.wDay, 2);
    *_pOut++ = ' ';
    _pOut = PutDigits(_pOut, now.wHour, 2);
    *_pOut++ = ':';
    _pOut = PutDigits(_pOut, now.wMinute, 2);
    *_pOut++ = ':';
    return PutDigits(_pOut, now.wSecond, 2);
}

// The line the log's own handler would write for the crash, into the log and onto standard
// error when a console shows the log's lines there.
void WriteCrashLine()
{
    char line[128];
    char* end = Append(Append(PutLocalTime(Append(line, "[D]:")), "\t"), "BreakpadQt crash");
    const HANDLE log = g_hLog.load();
    if (log) {
        // The log was opened for appending; other handles on it may have moved its position.
        LARGE_INTEGER zero = {};
        SetFilePointerEx(log, zero, nullptr, FILE_END);
        PutText(log, line, static_cast<size_t>(Append(end, "\r\n") - line));
    }
    if (static_cast<StandardError::Kind>(g_nEcho.load()) == StandardError::Kind::Terminal)
        PutText(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<size_t>(Append(end, "\n") - line));
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* _pException)
{
    // One report per process: a second thread crashing meanwhile waits for the first to end it.
    if (g_blCrashing.exchange(true)) {
        Sleep(kDumpWaitMs);
        TerminateProcess(GetCurrentProcess(), _pException->ExceptionRecord->ExceptionCode);
    }
    // The lines of the envelopes handled last, likely the one that crashed, go into the log too.
    Logger::WritePendingFromSignal();
    g_pException = _pException;
    g_nThreadId = GetCurrentThreadId();
    if (g_hRequest && g_hDone) {
        SetEvent(g_hRequest);
        WaitForSingleObject(g_hDone, kDumpWaitMs);
    }
    WriteCrashLine();
    if (_pException->ExceptionRecord->ExceptionCode == kAbortException)
        TerminateProcess(GetCurrentProcess(), kAbortExitCode);
    // The exception counts as handled: the process ends with its code, without the system's
    // own error reporting.
    return EXCEPTION_EXECUTE_HANDLER;
}

void OnAbort(int)
{
    RaiseException(kAbortException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

bool StoreFolder(int _nSlot, const QString& _qstrFolder)
{
    const std::wstring folder =
        QDir::toNativeSeparators(QDir(_qstrFolder).absolutePath() + QLatin1Char('/')).toStdWString();
    if (folder.size() >= kPathChars)
        return false;
    std::memcpy(g_szFolders[_nSlot], folder.c_str(), (folder.size() + 1) * sizeof(wchar_t));
    return true;
}

} // namespace

namespace CrashHandler {

bool Install(const QString& _qstrDumpFolder)
{
    static bool s_blInstalled = false;
    const int next = s_blInstalled ? 1 - g_nFolder.load() : 0;
    if (!StoreFolder(next, _qstrDumpFolder))
        return false;
    // Named now: making a random name in a crashed process is more than it should attempt.
    const std::wstring name =
        (QUuid::createUuid().toString(QUuid::WithoutBraces).toLower() + QStringLiteral(".dmp"))
            .toStdWString();
    std::memcpy(g_szNames[next], name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    g_nFolder = next;
    if (s_blInstalled)
        return true;

    g_hRequest = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_hDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // dbghelp's own stack needs are far beyond what an overflowed thread has left.
    const HANDLE writer =
        CreateThread(nullptr, 1024 * 1024, DumpWriter, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (writer)
        CloseHandle(writer);
    ULONG guarantee = static_cast<ULONG>(ThreadStack::kBytes);
    SetThreadStackGuarantee(&guarantee);
    SetUnhandledExceptionFilter(OnUnhandledException);
    std::signal(SIGABRT, OnAbort);
    s_blInstalled = true;
    return true;
}

void SetLogFile(int _nHandle)
{
    if (_nHandle < 0)
        return;
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(_nHandle));
    HANDLE copy = nullptr;
    if (file == INVALID_HANDLE_VALUE || !DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(),
                                                         &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return;
    // The previous file's handle is closed, or the logger could never delete that file.
    if (const HANDLE previous = g_hLog.exchange(copy))
        CloseHandle(previous);
}

// The filter asks the system for the local time; no offset needs to be kept for it.
void SetUtcOffset(int) {}

void SetEcho(StandardError::Kind _kind)
{
    g_nEcho = static_cast<int>(_kind);
}

} // namespace CrashHandler
