#pragma once

#include <QByteArray>

// Repeats each log line on the system's debugger output, where an attached debugger or a viewer
// of that output shows it as the service runs.
namespace DebuggerOutput {

// The line is _szTag, _baStamp, a tab and _baText (UTF-8), as the log file has it.
void Write(const char* _szTag, const QByteArray& _baStamp, const QByteArray& _baText);

} // namespace DebuggerOutput
