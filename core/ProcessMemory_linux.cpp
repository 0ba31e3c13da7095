// Stands in for trimming the process heap: glibc keeps freed pages in its arenas until
// malloc_trim(3) hands them back with madvise; a fixed mmap threshold (mallopt(3)) stops glibc
// from raising it after each large free and then serving large blocks from the heap.
#include "core/ProcessMemory.h"

#include <malloc.h>

void ProcessMemory::ReturnFreedMemory()
{
    malloc_trim(0);
}

void ProcessMemory::KeepLargeBlocksApart()
{
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
}
