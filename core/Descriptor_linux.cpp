// close(2).
#include "core/Descriptor.h"

#include <unistd.h>

void CloseDescriptor(int _nFd)
{
    if (_nFd >= 0)
        ::close(_nFd);
}
