#pragma once

#include <cstddef>

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

}  // namespace zarn::json::detail
