#include "platform/BlockPool.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include <sys/mman.h>

namespace {

constexpr std::size_t Line = 64;

} // namespace

#if defined(__SANITIZE_ADDRESS__)
const bool TBlockPool::Sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool TBlockPool::Sanitized = true;
#else
const bool TBlockPool::Sanitized = false;
#endif
#else
const bool TBlockPool::Sanitized = false;
#endif

TBlockPool::TBlockPool(std::size_t blockSize, bool chunks)
    : size_((std::max(blockSize, sizeof(void*)) + Line - 1) / Line * Line), ownChunks_(chunks) {}

TBlockPool::~TBlockPool() {
    for (void* chunk : chunks_)
        ::munmap(chunk, ChunkSize);
}

void* TBlockPool::Allocate() {
    if (!ownChunks_)
        return ::operator new(size_);
    if (free_) {
        void* block = free_;
        free_ = *static_cast<void**>(block);
        return block;
    }
    if (std::size_t(end_ - next_) < size_) // no arithmetic on the null of a pool without chunks yet
        NewChunk();
    void* block = next_;
    next_ += size_;
    return block;
}

void TBlockPool::Free(void* block) noexcept {
    if (!block)
        return;
    if (!ownChunks_) {
        ::operator delete(block);
        return;
    }
    *static_cast<void**>(block) = free_;
    free_ = block;
}

// A chunk on a 2 MB boundary, so that the system can back it with one huge page.
void TBlockPool::NewChunk() {
    void* raw = ::mmap(nullptr, 2 * ChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    const std::uintptr_t start = std::uintptr_t(raw);
    const std::uintptr_t aligned = (start + ChunkSize - 1) & ~std::uintptr_t(ChunkSize - 1);
    if (aligned > start)
        ::munmap(raw, aligned - start);
    ::munmap(reinterpret_cast<void*>(aligned + ChunkSize), start + ChunkSize - aligned);
    char* chunk = reinterpret_cast<char*>(aligned);
    ::madvise(chunk, ChunkSize, MADV_HUGEPAGE);
    chunks_.push_back(chunk);
    next_ = chunk;
    end_ = chunk + ChunkSize;
}
