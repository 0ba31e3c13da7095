// SetThreadStackGuarantee keeps kBytes of the thread's own stack back for the exception filter
// after a stack overflow, as the alternate signal stack does on Linux. The guarantee cannot be
// withdrawn, nor need it be: it only reserves part of a stack the thread owns anyway.
#include "core/ThreadStack.h"

#include <windows.h>

ThreadStack::ThreadStack()
{
    ULONG bytes = static_cast<ULONG>(kBytes);
    SetThreadStackGuarantee(&bytes);
}

ThreadStack::~ThreadStack() = default;
