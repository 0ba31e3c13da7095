// Ctrl-C and Ctrl-Break in the console, counted by a console control handler (it runs on a thread
// of its own, hence the atomic). A closed console or the session's end are left to the system.
#include "tools/qorvctl/CtlStopRequests.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<int> g_nStopRequests{0};

BOOL WINAPI OnConsoleControl(DWORD _nEvent)
{
    if (_nEvent != CTRL_C_EVENT && _nEvent != CTRL_BREAK_EVENT)
        return FALSE;
    int now = g_nStopRequests.load();
    while (now < 2 && !g_nStopRequests.compare_exchange_weak(now, now + 1)) {
    }
    return TRUE;
}

} // namespace

void CtlCatchStopRequests()
{
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int CtlStopRequests()
{
    return g_nStopRequests.load();
}
