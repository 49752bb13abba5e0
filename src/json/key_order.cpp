#include "json/key_order.hpp"

#include <algorithm>

#include "json/string_scan.hpp"

namespace zarn::json::detail {

void sort_many_keys(std::span<SortKey> keys, SortKeyLess less) {
    // Text written by a program is often in key order already: one pass, no sort.
    if (!std::ranges::is_sorted(keys, less)) std::ranges::stable_sort(keys, less);
}

bool LastSortedOrder::sorts(std::span<const SortKey> keys, SortKeyLess less) const noexcept {
    if (positions_.size() != keys.size()) return false;
    for (std::size_t i = 1; i < keys.size(); ++i)
        if (!less(keys[positions_[i - 1]], keys[positions_[i]])) return false;
    return true;
}

void Shape::remember_keys(std::span<const JsonMember> members) noexcept {
    count = 0;
    ordered = false;
    if (members.size() > kMaxKeys) return;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::string_view key = members[i].key;
        if (key.size() > JsonString::kInlineCapacity || needs_escape(key.data(), key.size())) return;
        sizes[i] = static_cast<std::uint8_t>(key.size());
        keys[i] = members[i].key;
    }
    count = members.size();
}

void Shape::remember_order_as_written() noexcept {
    if (count == 0) return;
    for (std::uint32_t i = 0; i < count; ++i) order[i] = i;
    ordered = true;
}

void Shape::remember_order(std::span<const std::uint32_t> positions) noexcept {
    if (count == 0) return;
    std::ranges::copy(positions.first(count), order.begin());
    ordered = true;
}

}  // namespace zarn::json::detail
