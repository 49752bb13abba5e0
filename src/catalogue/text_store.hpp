#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace zarn::catalogue {

// Keeps texts for as long as it lives, packed into blocks that never move: a
// view of a kept text stays valid when the store is moved. A catalogue's
// texts are written once and never freed one by one, so packing them saves
// an allocation per text and most of the memory around each.
class TextStore {
public:
    TextStore() = default;
    TextStore(TextStore&&) noexcept = default;
    TextStore& operator=(TextStore&&) noexcept = default;

    // A kept copy of `text`.
    [[nodiscard]] std::string_view keep(std::string_view text);

    // A text written in place: `write(char*)` puts at most `max_size` bytes
    // there and returns how many it wrote; those are kept.
    template <class Write>
    [[nodiscard]] std::string_view keep_written(std::size_t max_size, Write&& write) {
        if (max_size > left_) start_block(max_size);
        char* const at = next_;
        const std::size_t size = write(at);
        next_ += size;
        left_ -= size;
        return {at, size};
    }

    // Bytes taken from the system for the kept texts.
    [[nodiscard]] std::size_t reserved() const noexcept { return reserved_; }

private:
    // A new current block with room for at least `size` bytes; what was
    // left in the one before is not used again.
    void start_block(std::size_t size);

    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
    std::size_t reserved_ = 0;
};

}  // namespace zarn::catalogue
