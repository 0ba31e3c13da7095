// Ctrl-C, Ctrl-Break and closing the console arrive through SetConsoleCtrlHandler on a thread of
// the system's. A program that loads user32 gets no console event for log-off or shut-down: those
// come as WM_QUERYENDSESSION/WM_ENDSESSION to its top-level windows, so a hidden one on a thread
// of its own listens for them. Either way the main thread is asked to quit; where the system ends
// the process once the handler returns (console closed, session ending), the handler first waits,
// bounded, until the application object is gone, so workers are stopped and joined.
#include "core/TerminationSignals.h"

#include "core/LogCategories.h"
#include "core/StopRequest.h"

#include <QCoreApplication>
#include <QDebug>

#include <windows.h>

#include <mutex>
#include <thread>

namespace {

// Below the five seconds the system gives a closed console or a session's end.
constexpr DWORD kExitWaitMs = 4500;
const wchar_t kSessionWindowClass[] = L"QorvUtilityServiceSessionEnd";

std::mutex g_mutex;
QCoreApplication* g_pApp = nullptr; // under g_mutex; null once the application object is gone
HANDLE g_hGone = nullptr;           // set when the application object is destroyed

void AskToQuit()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_pApp)
        return;
    QMetaObject::invokeMethod(
        g_pApp,
        [] {
            qCWarning(lcService) << "TerminationSignals:stop requested, quitting";
            QCoreApplication::quit();
        },
        Qt::QueuedConnection);
}

void Carry(StopRequest::Answer _answer)
{
    if (_answer == StopRequest::Answer::Ignore)
        return;
    AskToQuit();
    if (_answer == StopRequest::Answer::QuitAndWait)
        WaitForSingleObject(g_hGone, kExitWaitMs);
}

BOOL WINAPI OnConsoleControl(DWORD _nEvent)
{
    const StopRequest::Answer answer = StopRequest::ForConsoleEvent(_nEvent);
    Carry(answer);
    return answer == StopRequest::Answer::Ignore ? FALSE : TRUE;
}

LRESULT CALLBACK SessionWindowProc(HWND _hWindow, UINT _nMessage, WPARAM _wParam, LPARAM _lParam)
{
    if (_nMessage == WM_QUERYENDSESSION)
        return TRUE; // nothing the user must save: the service never delays a log-off
    if (_nMessage == WM_ENDSESSION) {
        Carry(StopRequest::ForSessionEnd(_wParam != FALSE));
        return 0;
    }
    return DefWindowProcW(_hWindow, _nMessage, _wParam, _lParam);
}

void RunSessionWindow()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = SessionWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kSessionWindowClass;
    RegisterClassW(&windowClass);
    // Top-level and never shown: a message-only window would not hear of the session's end.
    if (!CreateWindowExW(0, kSessionWindowClass, L"qorv-utility-service", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                         nullptr, windowClass.hInstance, nullptr)) {
        qCWarning(lcService) << "TerminationSignals:no window for the session's end, error" << GetLastError();
        return;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
}

} // namespace

namespace StopRequest {

Answer ForConsoleEvent(unsigned long _nEvent)
{
    switch (_nEvent) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        return Answer::Quit; // the process goes on until it leaves by itself
    case CTRL_CLOSE_EVENT:
        return Answer::QuitAndWait;
    default:
        // Log-off and shut-down of any user's session reach console programs without saying
        // whose; this session's end comes to the hidden window.
        return Answer::Ignore;
    }
}

Answer ForSessionEnd(bool _blEnding)
{
    return _blEnding ? Answer::QuitAndWait : Answer::Ignore;
}

} // namespace StopRequest

namespace TerminationSignals {

void QuitOnTermination(QCoreApplication* _pApp)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_pApp || g_hGone)
            return;
        g_pApp = _pApp;
        g_hGone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    QObject::connect(_pApp, &QObject::destroyed, [] {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_pApp = nullptr;
        SetEvent(g_hGone);
    });
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    // Lives as long as the process; the system ends it with the process.
    std::thread(RunSessionWindow).detach();
}

} // namespace TerminationSignals
