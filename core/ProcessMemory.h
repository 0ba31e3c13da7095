#pragma once

// The process's heap as the operating system sees it.
class ProcessMemory
{
public:
    // Gives pages the allocator keeps after large frees back to the system, so a burst that
    // has passed does not leave the service's resident size at its peak.
    static void ReturnFreedMemory();
    // Serves large blocks (message bodies) from their own mappings, so freeing one returns it at
    // once and bursts of large messages do not leave the heap fragmented at its peak.
    static void KeepLargeBlocksApart();
};
