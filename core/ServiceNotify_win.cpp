// No service manager waits on a per-user program on Windows: the service starts with the user's
// log-on (a Run key or the Startup folder), which asks for no readiness and shows no state line.
// Both calls are therefore no-ops, as they are on Linux when no manager started the service.
#include "core/ServiceNotify.h"

namespace ServiceNotify {

void Ready(const QString&) {}

void Failed(const QString&) {}

} // namespace ServiceNotify
