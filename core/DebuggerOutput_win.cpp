// OutputDebugStringW: an attached debugger shows the line, or else a viewer of the session's
// debug output (DBWIN_BUFFER) does; with neither the call costs little.
#include "core/DebuggerOutput.h"

#include <QString>

#include <windows.h>

namespace DebuggerOutput {

void Write(const char* _szTag, const QByteArray& _baStamp, const QByteArray& _baText)
{
    // One call per line with its end: debuggers show the calls one after the other, unbroken.
    const QString line = QLatin1String(_szTag) + QString::fromUtf8(_baStamp) + QLatin1Char('\t') +
                         QString::fromUtf8(_baText) + QLatin1Char('\n');
    OutputDebugStringW(reinterpret_cast<const wchar_t*>(line.utf16()));
}

} // namespace DebuggerOutput
