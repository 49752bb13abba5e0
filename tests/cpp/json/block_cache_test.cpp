#include "json/block_cache.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/sanitizers.hpp"
#include "json/value.hpp"

namespace zarn::json::detail {
namespace {

// ThreadSanitizer brings an allocator of its own, which the C library's
// count of bytes in use does not see.
constexpr bool kLibcAllocator = !kThreadSanitizer;

// A block released is what the next request of its size class gets, and it
// has room for every size in the class.
TEST(BlockCache, HandsABlockBackToAnyRequestOfItsClass) {
    if (!block_cache_enabled()) GTEST_SKIP() << "blocks go straight back under AddressSanitizer";
    for (const std::size_t bytes : {1, 16, 17, 100, 512}) {
        void* block = allocate_block(bytes);
        release_block(block, bytes);
        const std::size_t other = (bytes - 1) / 16 * 16 + 16;  // the largest size of the class
        void* again = allocate_block(other);
        EXPECT_EQ(again, block) << bytes;
        std::memset(again, 0x5A, other);
        release_block(again, other);
    }
    void* large = allocate_block(513);  // above the kept sizes: never kept
    std::memset(large, 0x5A, 513);
    release_block(large, 513);
}

#if defined(__GLIBC__)
// Bytes the allocator has had back since it had `before` in use; negative
// when it has handed out more (signed, so that growth cannot pass for a
// large return).
std::ptrdiff_t bytes_returned_since(std::size_t before) {
    return static_cast<std::ptrdiff_t>(before) - static_cast<std::ptrdiff_t>(mallinfo2().uordblks);
}
#endif

// Blocks go back one by one, or all through one releaser (as a tree freed
// whole does); both must keep the same blocks.
void release_all(const std::vector<void*>& blocks, std::size_t bytes, bool batched) {
    if (!batched) {
        for (void* block : blocks) release_block(block, bytes);
        return;
    }
    BlockReleaser releaser;
    for (void* block : blocks) releaser.release(block, bytes);
}

class BlockRelease : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(OneByOneAndBatched, BlockRelease, ::testing::Bool());

// A thread keeps no more than its bound; the rest goes back to the allocator
// at once, which the allocator's own count of bytes in use shows. What it
// kept serves its next requests.
TEST_P(BlockRelease, KeepsNoMoreThanItsBoundPerThread) {
    if (!block_cache_enabled()) GTEST_SKIP() << "blocks go straight back under AddressSanitizer";
    if (!kLibcAllocator) GTEST_SKIP() << "the allocator in use is not the C library's";
#if defined(__GLIBC__)
    std::thread([] {
        constexpr std::size_t kBytes = 512;
        constexpr std::size_t kBeyond = 1000;
        const std::size_t kept = kCachedBytesPerThread / kBytes;
        std::vector<void*> blocks(kept + kBeyond);
        for (void*& block : blocks) block = allocate_block(kBytes);
        const std::size_t before = mallinfo2().uordblks;
        release_all(blocks, kBytes, GetParam());
        const std::ptrdiff_t returned = bytes_returned_since(before);
        EXPECT_GE(returned, static_cast<std::ptrdiff_t>(kBeyond * kBytes));
        EXPECT_LE(returned, static_cast<std::ptrdiff_t>(kBeyond * (kBytes + 64)));
        const std::size_t kept_in_use = mallinfo2().uordblks;
        for (std::size_t i = 0; i < kept; ++i) blocks[i] = allocate_block(kBytes);
        EXPECT_EQ(mallinfo2().uordblks, kept_in_use);
        blocks.resize(kept);
        release_all(blocks, kBytes, GetParam());
    }).join();
#else
    GTEST_SKIP() << "needs the allocator's count of bytes in use";
#endif
}

// A thread that frees what another took out keeps none of it.
TEST_P(BlockRelease, KeepsNothingForAThreadThatOnlyFrees) {
    if (!block_cache_enabled()) GTEST_SKIP() << "blocks go straight back under AddressSanitizer";
    if (!kLibcAllocator) GTEST_SKIP() << "the allocator in use is not the C library's";
#if defined(__GLIBC__)
    constexpr std::size_t kBytes = 256;
    constexpr std::size_t kCount = 2000;
    std::vector<void*> blocks(kCount);
    std::thread([&] {
        for (void*& block : blocks) block = allocate_block(kBytes);
    }).join();
    std::thread([&] {
        const std::size_t before = mallinfo2().uordblks;
        release_all(blocks, kBytes, GetParam());
        EXPECT_GE(bytes_returned_since(before), static_cast<std::ptrdiff_t>(kCount * kBytes));
    }).join();
#else
    GTEST_SKIP() << "needs the allocator's count of bytes in use";
#endif
}

// Trees built on one thread and freed on another, while both keep reading:
// each thread's blocks stay its own (ThreadSanitizer checks the rest).
TEST(BlockCache, TreesMayBeFreedOnAnotherThread) {
    const auto tree = [](int seed) {
        JsonArray array;
        for (int i = 0; i < 200; ++i)
            array.push_back(JsonObject{{"text", std::string(20 + static_cast<std::size_t>((i + seed) % 40), 'x')},
                                       {"list", JsonArray{i, seed}}});
        return JsonValue(std::move(array));
    };
    std::vector<JsonValue> built(8);
    std::thread builder([&] {
        for (int i = 0; i < 8; ++i) built[static_cast<std::size_t>(i)] = tree(i);
    });
    builder.join();
    std::thread freer([&] {
        for (JsonValue& value : built) value = JsonValue();
        for (int i = 0; i < 8; ++i) EXPECT_EQ(tree(i), tree(i));
    });
    for (int i = 0; i < 8; ++i) EXPECT_EQ(tree(i).as_array().size(), 200U);
    freer.join();
}

}  // namespace
}  // namespace zarn::json::detail
