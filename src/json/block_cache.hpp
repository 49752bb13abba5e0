#pragma once

#include <cstddef>
#include <new>

namespace zarn::json::detail {

// Heap blocks of strings, arrays and objects. A document's blocks are made by
// the thousand and freed all at once, which the general allocator serves
// from its slow paths; small blocks are therefore kept on free lists of the
// thread that frees them, up to a bound per thread and no more than that
// thread has taken out itself, and handed out again to the next document
// read on that thread. `bytes` must be the same at release as at allocation.
[[nodiscard]] void* allocate_block(std::size_t bytes);
void release_block(void* block, std::size_t bytes) noexcept;

// What one thread keeps at most, and whether blocks are kept at all (not
// under AddressSanitizer, which must see every block freed).
inline constexpr std::size_t kCachedBytesPerThread = std::size_t{4} << 20;
[[nodiscard]] bool block_cache_enabled() noexcept;

struct FreeBlock {
    FreeBlock* next;
};

// Blocks are kept by size class: a class holds the blocks of up to
// kBlockGranule bytes more than the class before it, and serves each request
// with a block of the class's full size, so any kept block of a class may
// serve any request of it.
inline constexpr std::size_t kBlockGranule = 16;
inline constexpr std::size_t kBlockClasses = 32;
inline constexpr std::size_t kLargestKeptBlock = kBlockGranule * kBlockClasses;  // 512 bytes

struct SizeClass {
    std::size_t index;  // into the free lists
    std::size_t bytes;  // what every block of the class holds
};

// The class of a request of `bytes`, 1 <= bytes <= kLargestKeptBlock.
[[nodiscard]] constexpr SizeClass size_class(std::size_t bytes) noexcept {
    const std::size_t index = (bytes - 1) / kBlockGranule;
    return {index, (index + 1) * kBlockGranule};
}

// Releases the blocks of a whole tree, each as release_block would, with the
// thread's cache found and its state read once for all of them and its
// counts written back at the end. While one is alive, the thread must take
// and release blocks only through it.
class BlockReleaser {
public:
    BlockReleaser() noexcept;
    BlockReleaser(const BlockReleaser&) = delete;
    BlockReleaser& operator=(const BlockReleaser&) = delete;
    ~BlockReleaser();

    void release(void* block, std::size_t bytes) noexcept {
        if (bytes <= kLargestKeptBlock) {
            const auto [index, size] = size_class(bytes);
            if (credit_ >= size && room_ >= size) {
                heads_[index] = ::new (block) FreeBlock{heads_[index]};
                credit_ -= size;
                room_ -= size;
                return;
            }
        }
        ::operator delete(block);
    }

private:
    FreeBlock** heads_;
    std::size_t credit_;  // what may still be kept: 0 when nothing may be
    std::size_t room_;
};

}  // namespace zarn::json::detail
