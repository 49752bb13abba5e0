#pragma once

#include <cstddef>
#include <memory>

namespace zarn {

// Room for a large text that is needed only briefly, such as the UTF-8 copy
// of a catalogue while the engine is built from it. From 2 MiB up, on Linux,
// it is an anonymous mapping in transparent huge pages: a process faults
// fresh memory in a page at a time, and on a virtual machine each fault of a
// 4 KiB page can cost tens of microseconds (4.6 MB: 17 to 30 ms on this
// project's VM, against 0.5 ms in 2 MiB pages). Smaller sizes, other
// systems and builds under AddressSanitizer take it from the heap.
class ScratchBuffer {
public:
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    // Uninitialised room for `size` bytes; throws std::bad_alloc.
    explicit ScratchBuffer(std::size_t size);
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    ~ScratchBuffer();

    [[nodiscard]] char* data() noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    // Whether the room is a mapping of its own rather than heap memory.
    [[nodiscard]] bool mapped() const noexcept { return mapping_ != nullptr; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;
    std::size_t mapping_size_ = 0;
    std::unique_ptr<char[]> heap_;
};

}  // namespace zarn
