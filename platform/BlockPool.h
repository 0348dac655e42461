// Memory for many blocks of one size (the link context of every connection), taken from the system
// in chunks of 2 MB that it may back with huge pages, and kept for the next blocks when blocks are
// freed. Fresh memory is slow to touch the first time, page by page: a storm of thousands of new
// connections then costs a few page faults per chunk instead of a few per connection, and the timers'
// walks over every connection few TLB misses. The chunks go back to the system only with the pool.
// Blocks are not cleared. Main thread only.
#pragma once

#include <cstddef>
#include <vector>

class TBlockPool {
public:
    // Under AddressSanitizer every block is a heap block of its own unless chunks is set, so that
    // overruns and use after free are still caught.
    static const bool Sanitized;
    explicit TBlockPool(std::size_t blockSize, bool chunks = !Sanitized);
    ~TBlockPool();
    TBlockPool(const TBlockPool&) = delete;
    TBlockPool& operator=(const TBlockPool&) = delete;

    // Throws std::bad_alloc when the system has no memory for it.
    void* Allocate();
    void Free(void* block) noexcept;

    static constexpr std::size_t ChunkSize = std::size_t(2) << 20;

private:
    void NewChunk();

    std::size_t size_;
    bool ownChunks_;
    std::vector<void*> chunks_;
    void* free_ = nullptr; // freed blocks, each holding the next one's address
    char* next_ = nullptr; // the newest chunk's blocks not handed out yet
    char* end_ = nullptr;
};
