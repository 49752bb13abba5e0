#include "common/scratch_buffer.hpp"

#include <cstdint>
#include <new>

#include "common/sanitizers.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zarn {

ScratchBuffer::ScratchBuffer(std::size_t size) : size_(size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size >= kHugePage && !kAddressSanitizer) {
        // Whole huge pages, at a boundary of one: a page more is mapped to
        // find the boundary in, and never touched.
        const std::size_t pages = (size + kHugePage - 1) / kHugePage * kHugePage;
        void* const mapping =
            mmap(nullptr, pages + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping != MAP_FAILED) {
            mapping_ = mapping;
            mapping_size_ = pages + kHugePage;
            // The first boundary inside the mapping, as an offset, so the
            // pointer keeps the mapping's provenance.
            const auto at = reinterpret_cast<std::uintptr_t>(mapping);
            data_ = static_cast<char*>(mapping) + (((at + kHugePage - 1) & ~(kHugePage - 1)) - at);
            // Only advice: without transparent huge pages the room is still
            // there, in small pages.
            madvise(data_, pages, MADV_HUGEPAGE);
            return;
        }
    }
#endif
    heap_ = std::make_unique_for_overwrite<char[]>(size);
    data_ = heap_.get();
}

ScratchBuffer::~ScratchBuffer() {
#if defined(__linux__)
    if (mapping_ != nullptr) munmap(mapping_, mapping_size_);
#endif
}

}  // namespace zarn
