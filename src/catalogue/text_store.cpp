#include "catalogue/text_store.hpp"

#include <algorithm>
#include <cstring>

namespace zarn::catalogue {
namespace {

// Large enough that a block's own cost is nothing beside its texts, small
// enough that a catalogue of a few tools does not hold much it never uses.
constexpr std::size_t kBlockSize = std::size_t{16} << 10;

}  // namespace

std::string_view TextStore::keep(std::string_view text) {
    if (text.empty()) return {};
    return keep_written(text.size(), [&](char* at) {
        std::memcpy(at, text.data(), text.size());
        return text.size();
    });
}

void TextStore::start_block(std::size_t size) {
    const std::size_t block = std::max(size, kBlockSize);
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(block));
    reserved_ += block;
    next_ = blocks_.back().get();
    left_ = block;
}

}  // namespace zarn::catalogue
