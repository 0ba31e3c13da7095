// A console answers GetConsoleMode for standard output, and its visible window's width comes from
// GetConsoleScreenBufferInfo (the buffer may be far wider than what the user sees).
#include "tools/qorvctl/CtlTerminal.h"

#include <windows.h>

bool CtlStdoutIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int CtlTerminalColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info = {};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0)
            return columns;
    }
    return 80;
}
