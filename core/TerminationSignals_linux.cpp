// SIGTERM, SIGINT and SIGHUP are turned into a quit of the event loop through a self-pipe:
// the handler only writes one byte, a socket notifier on the main thread does the rest.
#include "core/TerminationSignals.h"
#include "core/LogCategories.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

int g_pipe[2] = {-1, -1};

void OnTermination(int)
{
    const char byte = 1;
    (void)!write(g_pipe[1], &byte, 1);
}

} // namespace

namespace TerminationSignals {

void QuitOnTermination(QCoreApplication* _pApp)
{
    if (g_pipe[0] >= 0 || pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, _pApp);
    QObject::connect(notifier, &QSocketNotifier::activated, _pApp, [_pApp]() {
        char byte;
        while (read(g_pipe[0], &byte, 1) > 0) {
        }
        qCWarning(lcService) << "TerminationSignals:stop requested, quitting";
        _pApp->quit();
    });
    struct sigaction action = {};
    action.sa_handler = OnTermination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &action, nullptr);
}

} // namespace TerminationSignals
