#pragma once

// How an object's members come into key order, for JsonObject::from_members
// and the reader alike: one sort key per member, one stable sort, and, for
// the reader, the orders remembered from the objects before.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "common/bytes.hpp"
#include "json/value.hpp"

namespace zarn::json::detail {

// The first eight bytes of `key`, zero-padded, as a big-endian number: keys
// whose prefixes differ compare as their prefixes do, so most comparisons of
// keys are one integer compare. Eight bytes can always be read: a key
// shorter than that is held inline, in sixteen bytes of its own.
[[nodiscard]] inline std::uint64_t key_prefix(const JsonString& key) noexcept {
    static_assert(JsonString::kInlineCapacity >= 8);
    const std::size_t size = key.size();
    auto word = bytes::load<std::uint64_t>(key.data());
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    return size >= 8 ? word : word & ~(~std::uint64_t{0} >> (8 * size));
}

// A member's record in a sort by key: its key's prefix and its position as
// written.
struct SortKey {
    std::uint64_t prefix;
    std::uint32_t index;
};

// Byte order of the keys of two members, through their records.
class SortKeyLess {
public:
    explicit SortKeyLess(std::span<const JsonMember> members) noexcept : members_(members.data()) {}
    [[nodiscard]] bool operator()(const SortKey& a, const SortKey& b) const noexcept {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return members_[a.index].key < members_[b.index].key;
    }

private:
    const JsonMember* members_;
};

// The records of `members` as written, into `keys`, which has their size.
inline void make_sort_keys(std::span<const JsonMember> members, std::span<SortKey> keys) noexcept {
    for (std::uint32_t i = 0; i < keys.size(); ++i) keys[i] = {key_prefix(members[i].key), i};
}

// Whether the records are strictly ascending, so that no key repeats either.
[[nodiscard]] inline bool strictly_ascending(std::span<const SortKey> keys, SortKeyLess less) noexcept {
    for (std::size_t i = 1; i < keys.size(); ++i)
        if (!less(keys[i - 1], keys[i])) return false;
    return true;
}

// Sorts more records than bytes::kInsertionSortLimit, as sort_keys does.
void sort_many_keys(std::span<SortKey> keys, SortKeyLess less);

// Sorts the records stably, so that of equal keys the one written last comes
// last: by insertion up to bytes::kInsertionSortLimit, else by merging.
inline void sort_keys(std::span<SortKey> keys, SortKeyLess less) {
    if (keys.size() > bytes::kInsertionSortLimit) return sort_many_keys(keys, less);
    bytes::insertion_sort(keys, less);
}

// Writes into `order` the positions of the members an object of the sorted
// records keeps, in key order: of equal keys the one written last. Returns
// how many.
[[nodiscard]] inline std::size_t kept_positions(std::span<const SortKey> sorted, std::span<const JsonMember> members,
                                                std::span<std::uint32_t> order) noexcept {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i + 1 < sorted.size() && sorted[i].prefix == sorted[i + 1].prefix &&
            members[sorted[i].index].key == members[sorted[i + 1].index].key)
            continue;  // a later member has this key
        order[kept++] = sorted[i].index;
    }
    return kept;
}

// The order that the last sort found. Records of one kind (the elements of an
// array of them, most often) are written with their keys in the same order,
// so it is tried first on the next object.
class LastSortedOrder {
public:
    // Whether the records as written come out strictly ascending in this
    // order: then it is the order a sort would give, with no key repeated.
    [[nodiscard]] bool sorts(std::span<const SortKey> keys, SortKeyLess less) const noexcept;
    // Keeps the positions of a sort that found no key repeated (sorts() could
    // never take an order with a repeat again).
    void remember(std::span<const std::uint32_t> positions) { positions_.assign(positions.begin(), positions.end()); }
    [[nodiscard]] std::span<const std::uint32_t> positions() const noexcept { return positions_; }

private:
    std::vector<std::uint32_t> positions_;
};

// Objects at one depth (the records of an array, most often) are written
// with the same keys in the same order. A shape remembers the keys of the
// last object at its depth, as written, when each is short and needs no
// escape, so that the next object's keys can be compared as bytes rather
// than scanned, and the order that sorts them, so that an object with the
// same keys is not sorted again. Such a key written as it is decodes to
// itself, so a key that compares equal is the key the reader would decode.
struct Shape {
    static constexpr std::size_t kMaxKeys = 16;

    std::size_t count = 0;  // keys remembered; 0 for none
    bool ordered = false;   // `order` lists the keys in ascending order, none repeated
    std::array<std::uint8_t, kMaxKeys> sizes;
    std::array<JsonString, kMaxKeys> keys;  // each held inline, so a copy is its bytes
    std::array<std::uint32_t, kMaxKeys> order;

    // Whether the text at `at` (an opening quote) is key `index`, quoted.
    [[nodiscard]] bool key_at(const char* at, const char* end, std::size_t index) const noexcept {
        const std::size_t size = sizes[index];
        return static_cast<std::size_t>(end - at) >= size + 2 && at[size + 1] == '"' &&
               bytes::equal_short(at + 1, keys[index].data(), size);
    }
    // Remembers the keys of `members`, if each can be; forgets the order.
    void remember_keys(std::span<const JsonMember> members) noexcept;
    // Remembers the order of the keys: as written ...
    void remember_order_as_written() noexcept;
    // ... or written[positions[0]], written[positions[1]], ...
    void remember_order(std::span<const std::uint32_t> positions) noexcept;
};

}  // namespace zarn::json::detail
