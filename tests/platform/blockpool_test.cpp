// The pool of equal blocks: blocks that never overlap, across chunks, and freed ones handed out again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "platform/BlockPool.h"

namespace {

constexpr std::size_t Size = 10656; // a link context
const std::size_t PerChunk = TBlockPool::ChunkSize / ((Size + 63) / 64 * 64);

TEST(BlockPool, BlocksOfSeveralChunksNeverOverlapAndFreedOnesComeBack) {
    TBlockPool pool(Size, true);
    std::vector<unsigned char*> blocks;
    for (std::size_t i = 0; i < 3 * PerChunk + 5; ++i) {
        auto* block = static_cast<unsigned char*>(pool.Allocate());
        ASSERT_EQ(std::uintptr_t(block) % 64, 0u) << i;
        std::memset(block, int(i % 251), Size);
        blocks.push_back(block);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i)
        ASSERT_TRUE(std::all_of(blocks[i], blocks[i] + Size, [&](unsigned char b) { return b == i % 251; }))
            << "block " << i << " was overwritten";

    std::set<unsigned char*> freed;
    for (std::size_t i = 0; i < blocks.size(); i += 3) {
        pool.Free(blocks[i]);
        freed.insert(blocks[i]);
    }
    for (std::size_t n = 0; n < freed.size(); ++n)
        EXPECT_EQ(freed.count(static_cast<unsigned char*>(pool.Allocate())), 1u) << "a freed block first";
    EXPECT_EQ(freed.count(static_cast<unsigned char*>(pool.Allocate())), 0u);
}

// Under the sanitizers each block is a heap block of its own, so that an overrun is caught; either way
// no two blocks share a byte, and freeing nothing is harmless.
TEST(BlockPool, TheDefaultPoolHandsOutWholeBlocks) {
    TBlockPool pool(Size);
    std::vector<unsigned char*> blocks;
    for (int i = 0; i < 8; ++i) {
        blocks.push_back(static_cast<unsigned char*>(pool.Allocate()));
        std::memset(blocks.back(), i + 1, Size);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_TRUE(std::all_of(blocks[i], blocks[i] + Size, [&](unsigned char b) { return b == i + 1; }))
            << "block " << i << " shares bytes with another";
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_TRUE(blocks[i] + Size <= blocks[j] || blocks[j] + Size <= blocks[i]) << i << " and " << j;
    }
    for (unsigned char* block : blocks)
        pool.Free(block);
    pool.Free(nullptr);
}

} // namespace
