// Linux has no debugger output channel; a debugger reads the log file or standard error instead.
#include "core/DebuggerOutput.h"

namespace DebuggerOutput {

void Write(const char*, const QByteArray&, const QByteArray&) {}

} // namespace DebuggerOutput
