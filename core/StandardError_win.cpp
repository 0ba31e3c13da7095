// A console answers GetConsoleMode for its handles; a file, a pipe or no standard error at all
// (a GUI start) does not. Windows has no journal that stamps lines by itself.
#include "core/StandardError.h"

#include <windows.h>

namespace StandardError {

Kind Detect()
{
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return Kind::Other;
    return Kind::Terminal;
}

} // namespace StandardError
