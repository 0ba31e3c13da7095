// isatty(3) and the TIOCGWINSZ size of the standard output descriptor.
#include "tools/qorvctl/CtlTerminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

bool CtlStdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

int CtlTerminalColumns()
{
    struct winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}
