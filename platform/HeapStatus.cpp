#include "platform/HeapStatus.h"

#include <malloc.h>

THeapStatus GetHeapStatus() {
    const struct mallinfo2 info = mallinfo2();
    THeapStatus s;
    s.TotalAddrSpace = info.arena + info.hblkhd;
    s.TotalCommitted = s.TotalAddrSpace;
    s.TotalAllocated = info.uordblks + info.hblkhd;
    s.TotalFree = info.fordblks;
    s.FreeSmall = info.fsmblks;
    s.FreeBig = info.fordblks > info.fsmblks ? info.fordblks - info.fsmblks : 0;
    s.Unused = info.keepcost;
    const std::uint64_t accounted = info.uordblks + info.fordblks;
    s.Overhead = info.arena > accounted ? info.arena - accounted : 0;
    return s;
}

void HeapCompact() {
    malloc_trim(0);
}
