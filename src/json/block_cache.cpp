#include "json/block_cache.hpp"

#include <new>
#include <utility>

#include "common/sanitizers.hpp"

namespace zarn::json::detail {
namespace {

// Under AddressSanitizer every block goes back to the allocator at once, so
// that a use after free is still caught.
constexpr bool kCaching = !kAddressSanitizer;

// Trivially destructible, so it stays usable while the thread's other
// objects are destroyed; the reaper below empties it and closes it first.
//
// A thread keeps only as many bytes as it has itself taken out: a thread
// that frees what others build (a service thread freeing the requests it is
// handed) would otherwise fill its lists with blocks it never reuses.
struct BlockCache {
    FreeBlock* heads[kBlockClasses];
    std::size_t bytes;   // on the lists
    std::size_t credit;  // taken out by this thread and not yet kept
    bool reaper_armed;
    bool closed;
};

constinit thread_local BlockCache t_cache{};

void drain(BlockCache& cache) noexcept {
    for (FreeBlock*& head : cache.heads) {
        while (head != nullptr) ::operator delete(std::exchange(head, head->next));
    }
    cache.bytes = 0;
}

struct CacheReaper {
    CacheReaper() = default;
    CacheReaper(const CacheReaper&) = delete;
    CacheReaper& operator=(const CacheReaper&) = delete;
    ~CacheReaper() {
        drain(t_cache);
        t_cache.closed = true;  // later releases on this thread go straight back
    }
};

thread_local CacheReaper t_reaper;

void arm_reaper(BlockCache& cache) noexcept {
    if (cache.reaper_armed) return;
    cache.reaper_armed = true;
    // The first use constructs the reaper, which registers its destructor
    // for this thread's exit.
    [[maybe_unused]] CacheReaper& reaper = t_reaper;
}

}  // namespace

bool block_cache_enabled() noexcept { return kCaching; }

void* allocate_block(std::size_t bytes) {
    if (!kCaching || bytes > kLargestKeptBlock) return ::operator new(bytes);
    const auto [index, size] = size_class(bytes);
    BlockCache& cache = t_cache;
    cache.credit += size;
    if (FreeBlock* block = cache.heads[index]) {
        cache.heads[index] = block->next;
        cache.bytes -= size;
        return block;
    }
    // Every block of a class has the class's size, so any may serve any request.
    return ::operator new(size);
}

void release_block(void* block, std::size_t bytes) noexcept {
    if (!kCaching || bytes > kLargestKeptBlock) {
        ::operator delete(block);
        return;
    }
    const auto [index, size] = size_class(bytes);
    BlockCache& cache = t_cache;
    if (cache.closed || cache.credit < size || cache.bytes + size > kCachedBytesPerThread) {
        ::operator delete(block);
        return;
    }
    arm_reaper(cache);
    auto* free_block = ::new (block) FreeBlock{cache.heads[index]};
    cache.heads[index] = free_block;
    cache.bytes += size;
    cache.credit -= size;
}

BlockReleaser::BlockReleaser() noexcept {
    BlockCache& cache = t_cache;
    heads_ = cache.heads;
    const bool keeping = kCaching && !cache.closed;
    credit_ = keeping ? cache.credit : 0;
    room_ = keeping ? kCachedBytesPerThread - cache.bytes : 0;
    if (keeping) arm_reaper(cache);
}

BlockReleaser::~BlockReleaser() {
    BlockCache& cache = t_cache;
    if (!kCaching || cache.closed) return;
    cache.credit = credit_;
    cache.bytes = kCachedBytesPerThread - room_;
}

}  // namespace zarn::json::detail
