// Stands in for the memory manager's heap status (GetHeapStatus) and HeapCompact of the process heap,
// over glibc's mallinfo2 and malloc_trim.
#pragma once

#include <cstdint>

// The nine figures of the heap status, in bytes. glibc commits whatever it maps, so nothing is
// reserved and uncommitted; the figures are mapped as closely as its statistics allow.
struct THeapStatus {
    std::uint64_t TotalAddrSpace = 0;   // taken from the system: the main arena and mapped blocks
    std::uint64_t TotalUncommitted = 0; // always 0
    std::uint64_t TotalCommitted = 0;   // the same as TotalAddrSpace
    std::uint64_t TotalAllocated = 0;   // in use by the program
    std::uint64_t TotalFree = 0;        // free inside the arena
    std::uint64_t FreeSmall = 0;        // free in the fast bins
    std::uint64_t FreeBig = 0;          // the rest of the free space
    std::uint64_t Unused = 0;           // free at the top of the arena, which a compaction can return
    std::uint64_t Overhead = 0;         // what the arena holds beyond used and free space
};

THeapStatus GetHeapStatus();
// Returns free memory at the top of the heap to the system; cannot fail.
void HeapCompact();
