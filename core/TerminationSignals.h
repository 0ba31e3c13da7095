#pragma once

class QCoreApplication;

// Ends the event loop cleanly when the system asks the service to stop, so workers are
// stopped and joined as at any normal exit.
namespace TerminationSignals {

void QuitOnTermination(QCoreApplication* _pApp);

} // namespace TerminationSignals
