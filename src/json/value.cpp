#include "json/value.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>

#include "common/bytes.hpp"
#include "json/key_order.hpp"

namespace zarn::json {
namespace {

constexpr std::size_t kLinearFindLimit = 8;

}  // namespace

void JsonString::assign_new(const char* text, std::size_t size) {
    if (size <= kInlineCapacity) {
        // Without the call a memcpy of unknown size costs.
        bytes::copy_short(bytes_, text, size);
        set_inline_size(size);
        return;
    }
    char* const heap = static_cast<char*>(detail::allocate_block(size));
    std::memcpy(heap, text, size);
    std::memcpy(bytes_, &heap, sizeof heap);
    set_heap_size(size);
}

JsonArray::JsonArray(std::initializer_list<JsonValue> values) {
    storage_.reserve(values.size());
    for (const JsonValue& value : values) storage_.emplace_back(value);
}

bool operator==(const JsonArray& a, const JsonArray& b) { return std::ranges::equal(a, b); }

JsonObject::JsonObject(std::initializer_list<JsonMember> members) {
    std::vector<JsonMember> copies(members);
    *this = from_members(std::span(copies));
}

JsonObject JsonObject::from_members(std::vector<JsonMember>&& members) { return from_members(std::span(members)); }

namespace {

// from_members with room for a record and a position per member.
[[gnu::always_inline]] inline JsonObject take_in_key_order(std::span<JsonMember> members,
                                                           std::span<detail::SortKey> keys,
                                                           std::span<std::uint32_t> order) {
    detail::make_sort_keys(members, keys);
    const detail::SortKeyLess less(members);
    detail::sort_keys(keys, less);
    order = order.first(detail::kept_positions(keys, members, order));
    JsonObject object = JsonObject::adopt_members(members, order);
    // What was taken is left as empty members, for the caller to destroy.
    for (const std::uint32_t index : order) ::new (static_cast<void*>(&members[index])) JsonMember();
    return object;
}

}  // namespace

JsonObject JsonObject::from_members(std::span<JsonMember> members) {
    const std::size_t count = members.size();
    if (count > bytes::kInsertionSortLimit) {
        std::vector<detail::SortKey> keys(count);
        std::vector<std::uint32_t> order(count);
        return take_in_key_order(members, keys, order);
    }
    // Small objects (the common case) sort on the stack.
    std::array<detail::SortKey, bytes::kInsertionSortLimit> keys;
    std::array<std::uint32_t, bytes::kInsertionSortLimit> order;
    return take_in_key_order(members, std::span(keys).first(count), std::span(order).first(count));
}

JsonObject JsonObject::adopt_members(std::span<JsonMember> members, std::span<const std::uint32_t> order) {
    JsonObject object;
    object.storage_.adopt_back(members.data(), order);
    return object;
}

JsonObject JsonObject::adopt_members(std::span<JsonMember> members) {
    JsonObject object;
    object.storage_.adopt_back(members.data(), members.size());
    return object;
}

const JsonValue* JsonObject::find(std::string_view key) const noexcept {
    // Most objects are small, and most keys they are asked for differ from
    // their keys in length: a scan compares sizes first and bytes rarely.
    if (size() <= kLinearFindLimit) {
        for (const JsonMember& member : *this)
            if (member.key.size() == key.size() && member.key.view() == key) return &member.value;
        return nullptr;
    }
    const JsonMember* const it =
        std::ranges::lower_bound(*this, key, {}, [](const JsonMember& m) { return m.key.view(); });
    return it != end() && it->key == key ? &it->value : nullptr;
}

JsonValue* JsonObject::find(std::string_view key) noexcept {
    return const_cast<JsonValue*>(std::as_const(*this).find(key));
}

JsonValue& JsonObject::insert_or_assign(JsonString key, JsonValue value) {
    // Members given in key order, the usual case, go on the end.
    if (empty() || (end() - 1)->key < key) return storage_.emplace_back(std::move(key), std::move(value)).value;
    JsonMember* it = std::ranges::lower_bound(*this, key.view(), {}, [](const JsonMember& m) { return m.key.view(); });
    if (it != end() && it->key == key) {
        it->value = std::move(value);
        return it->value;
    }
    return storage_.emplace_at(static_cast<std::size_t>(it - begin()), std::move(key), std::move(value)).value;
}

void JsonObject::append_sorted(JsonString key, JsonValue value) {
    storage_.emplace_back(std::move(key), std::move(value));
}

bool operator==(const JsonObject& a, const JsonObject& b) { return std::ranges::equal(a, b); }

JsonValue::JsonValue(const JsonValue& other) {
    switch (other.kind()) {
        case JsonKind::string: ::new (static_cast<void*>(bytes_)) JsonString(other.as_string()); return;
        case JsonKind::array:
            ::new (static_cast<void*>(bytes_)) JsonArray(other.as_array());
            set_tag(JsonKind::array);
            return;
        case JsonKind::object:
            ::new (static_cast<void*>(bytes_)) JsonObject(other.as_object());
            set_tag(JsonKind::object);
            return;
        default: std::memcpy(bytes_, other.bytes_, sizeof bytes_); return;
    }
}

void JsonValue::release_heap() noexcept {
    // A large container is most often the root of a tree freed whole: its
    // blocks go back through one releaser. A small one is not worth setting
    // one up for.
    constexpr std::size_t kReleasedInOne = 8;
    switch (kind()) {
        case JsonKind::string: payload<JsonString>()->~JsonString(); return;
        case JsonKind::array:
            if (payload<JsonArray>()->size() < kReleasedInOne) {
                payload<JsonArray>()->~JsonArray();
                return;
            }
            break;
        case JsonKind::object:
            if (payload<JsonObject>()->size() < kReleasedInOne) {
                payload<JsonObject>()->~JsonObject();
                return;
            }
            break;
        default: return;
    }
    detail::BlockReleaser releaser;
    release_heap(releaser);
}

void JsonValue::release_heap(detail::BlockReleaser& releaser) noexcept {
    const auto release_value = [&releaser](JsonValue& value) {
        if (value.owns_heap()) value.release_heap(releaser);
    };
    switch (kind()) {
        case JsonKind::string: payload<JsonString>()->release_into(releaser); return;
        case JsonKind::array: payload<JsonArray>()->storage_.release_into(releaser, release_value); return;
        case JsonKind::object:
            payload<JsonObject>()->storage_.release_into(releaser, [&](JsonMember& member) {
                member.key.release_into(releaser);
                release_value(member.value);
            });
            return;
        default: return;
    }
}

bool operator==(const JsonValue& a, const JsonValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case JsonKind::null: return true;
        case JsonKind::boolean: return a.as_bool() == b.as_bool();
        case JsonKind::unsigned_integer: return a.as_unsigned() == b.as_unsigned();
        case JsonKind::negative_integer: return a.as_negative() == b.as_negative();
        case JsonKind::floating: {
            const double x = a.as_double();
            const double y = b.as_double();
            return x == y && std::signbit(x) == std::signbit(y);
        }
        case JsonKind::string: return a.as_string() == b.as_string();
        case JsonKind::array: return a.as_array() == b.as_array();
        case JsonKind::object: return a.as_object() == b.as_object();
    }
    return false;
}

}  // namespace zarn::json
