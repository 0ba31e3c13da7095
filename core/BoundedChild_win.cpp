// Bounded child processes on Windows: CreateProcessW (the program found on PATH with
// QStandardPaths, never through cmd), an anonymous pipe read while PeekNamedPipe says it holds
// data, a job object (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) holding the child and whatever it
// starts, and TerminateJobObject at the deadline.
#include "core/BoundedChild.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QString>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <windows.h>

namespace {

// One argument as the C runtime's argument parser (CommandLineToArgvW) reads it back unchanged.
std::wstring QuoteArgument(const std::wstring& _wstrArg)
{
    if (!_wstrArg.empty() && _wstrArg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return _wstrArg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : _wstrArg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal except before a quote, where each one needs its own escape.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

class Handle
{
public:
    explicit Handle(HANDLE _h = nullptr) : m_h(_h == INVALID_HANDLE_VALUE ? nullptr : _h) {}
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return m_h; }
    HANDLE* Out() { return &m_h; }
    void Reset()
    {
        if (m_h)
            CloseHandle(m_h);
        m_h = nullptr;
    }

private:
    HANDLE m_h;
};

// A child and everything it starts, ended together when the job's last handle closes.
HANDLE CreateKillingJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

} // namespace

namespace BoundedChild {

Result Run(const QByteArray& _baProgram, const QList<QByteArray>& _listArgs, int _nTimeoutMs,
           int _nMaxOutputBytes, bool _blMergeStderr)
{
    Result result;
    const QString program = QStandardPaths::findExecutable(QString::fromLocal8Bit(_baProgram));
    // CreateProcessW would hand a batch file to cmd, which reads its arguments as a command line.
    const QString suffix = QFileInfo(program).suffix().toLower();
    if (program.isEmpty() || (suffix != QLatin1String("exe") && suffix != QLatin1String("com")))
        return result;
    const std::wstring application = QFileInfo(program).absoluteFilePath().replace('/', '\\').toStdWString();
    std::wstring commandLine = L"\"" + application + L"\"";
    for (const QByteArray& arg : _listArgs)
        commandLine += L" " + QuoteArgument(QString::fromLocal8Bit(arg).toStdWString());

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle readEnd;
    Handle writeEnd;
    if (!CreatePipe(readEnd.Out(), writeEnd.Out(), &inheritable, 0))
        return result;
    SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);
    Handle nullIn(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                              OPEN_EXISTING, 0, nullptr));
    Handle nullOut(_blMergeStderr ? nullptr
                                  : CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                &inheritable, OPEN_EXISTING, 0, nullptr));
    const HANDLE errorHandle = _blMergeStderr ? writeEnd.Get() : nullOut.Get();
    if (!nullIn.Get() || !errorHandle)
        return result;

    // Only these handles reach the child, so a child started meanwhile by another thread cannot
    // hold the pipe open and no other handle of ours leaks into this one.
    HANDLE inherited[3] = {nullIn.Get(), writeEnd.Get(), errorHandle};
    const DWORD inheritedCount = _blMergeStderr ? 2 : 3;
    SIZE_T attributeSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
    std::vector<char> attributeBuffer(attributeSize);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize))
        return result;
    const bool listed = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                  inheritedCount * sizeof(HANDLE), nullptr, nullptr);

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nullIn.Get();
    startup.StartupInfo.hStdOutput = writeEnd.Get();
    startup.StartupInfo.hStdError = errorHandle;
    startup.lpAttributeList = listed ? attributes : nullptr;
    PROCESS_INFORMATION info{};
    // Suspended until it is in the job, so that nothing it starts can run outside the job.
    const DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT |
                        (listed ? EXTENDED_STARTUPINFO_PRESENT : 0);
    const BOOL created = CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, TRUE, flags,
                                        nullptr, nullptr, &startup.StartupInfo, &info);
    DeleteProcThreadAttributeList(attributes);
    writeEnd.Reset();
    nullIn.Reset();
    nullOut.Reset();
    if (!created)
        return result;
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    Handle job(CreateKillingJob());
    if (job.Get() && !AssignProcessToJobObject(job.Get(), process.Get()))
        job.Reset();
    ResumeThread(thread.Get());
    result.started = true;

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(_nTimeoutMs);
    auto remainingMs = [&deadline]() {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<DWORD>(std::max<long long>(left, 0));
    };
    // An anonymous pipe cannot be waited on: it is looked at, and between looks the process is.
    char buffer[8192];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr))
            break; // every writer has closed it
        if (available == 0) {
            const DWORD left = remainingMs();
            if (left == 0) {
                result.timedOut = true;
                break;
            }
            WaitForSingleObject(process.Get(), std::min<DWORD>(left, 10));
            continue;
        }
        DWORD got = 0;
        if (!ReadFile(readEnd.Get(), buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) ||
            got == 0)
            break;
        if (result.output.size() < _nMaxOutputBytes)
            result.output.append(buffer, static_cast<int>(got));
    }
    readEnd.Reset();

    // Output closed does not mean ended: give it the rest of the bound, then stop it.
    if (!result.timedOut && WaitForSingleObject(process.Get(), remainingMs()) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process.Get(), &code)) {
            result.exitedNormally = true;
            result.exitCode = static_cast<int>(code);
        }
        return result; // closing the job ends whatever the program left running
    }
    result.timedOut = true;
    if (job.Get())
        TerminateJobObject(job.Get(), 1);
    else
        TerminateProcess(process.Get(), 1);
    WaitForSingleObject(process.Get(), 5000);
    return result;
}

} // namespace BoundedChild
