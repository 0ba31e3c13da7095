// The C runtime's _close, which also closes the handle the descriptor wraps.
#include "core/Descriptor.h"

#include <io.h>

void CloseDescriptor(int _nFd)
{
    if (_nFd >= 0)
        ::_close(_nFd);
}
