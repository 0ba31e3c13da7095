// Trims the process heap on Windows: HeapCompact on the process heap and the C runtime's heap
// hands whole free pages back. The Windows heap already serves blocks above its virtual memory
// threshold (about half a megabyte) from their own allocations, and that threshold cannot be set.
#include "core/ProcessMemory.h"

#include <malloc.h>
#include <windows.h>

void ProcessMemory::ReturnFreedMemory()
{
    // Only heaps known to be serialised: another library's heap may have been made without a
    // lock, and compacting it while its owner allocates would corrupt it.
    const HANDLE processHeap = GetProcessHeap();
    HeapCompact(processHeap, 0);
    const HANDLE runtimeHeap = reinterpret_cast<HANDLE>(_get_heap_handle());
    if (runtimeHeap && runtimeHeap != processHeap)
        HeapCompact(runtimeHeap, 0);
}

void ProcessMemory::KeepLargeBlocksApart() {}
