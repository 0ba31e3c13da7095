#pragma once

#include <QString>

// Tells the session's service manager how start-up went, so that it can order other units
// after the service and show its state. Does nothing when the service was not started by one.
namespace ServiceNotify {

// Start-up is over (both transports listen, or there is nothing to start): _qstrStatus is the
// one-line state the manager shows. The notification channel is closed afterwards, so that
// programs the service starts do not inherit it.
void Ready(const QString& _qstrStatus);

// Start-up did not reach readiness; the manager sees only the state line and gives up on the
// start after its own bound.
void Failed(const QString& _qstrStatus);

} // namespace ServiceNotify
