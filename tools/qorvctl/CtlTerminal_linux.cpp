// isatty(3) on the standard output descriptor.
#include "tools/qorvctl/CtlTerminal.h"

#include <unistd.h>

bool CtlStdoutIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}
