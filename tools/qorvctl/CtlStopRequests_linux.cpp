// SIGINT and SIGTERM, counted by an async-signal-safe handler.
#include "tools/qorvctl/CtlStopRequests.h"

#include <signal.h>

namespace {

volatile sig_atomic_t g_nStopRequests = 0;

void OnStopSignal(int)
{
    if (g_nStopRequests < 2)
        g_nStopRequests = g_nStopRequests + 1;
}

} // namespace

void CtlCatchStopRequests()
{
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int CtlStopRequests()
{
    return g_nStopRequests;
}
