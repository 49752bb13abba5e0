#include "json/value.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>

namespace zarn::json {
namespace {

constexpr std::size_t kInsertionSortLimit = 16;
constexpr std::size_t kLinearFindLimit = 8;

bool key_less(const JsonMember& m, std::string_view key) noexcept { return m.key.view() < key; }

}  // namespace

namespace {

// Copies `size` bytes, at least one word and at most two, as two words that
// overlap in the middle.
template <class Word>
void copy_two_words(std::uint8_t* out, const char* text, std::size_t size) noexcept {
    Word head;
    Word tail;
    std::memcpy(&head, text, sizeof head);
    std::memcpy(&tail, text + size - sizeof tail, sizeof tail);
    std::memcpy(out, &head, sizeof head);
    std::memcpy(out + size - sizeof tail, &tail, sizeof tail);
}

// Copies up to fifteen bytes without the call a memcpy of unknown size costs.
void copy_short(std::uint8_t* out, const char* text, std::size_t size) noexcept {
    if (size >= 8) copy_two_words<std::uint64_t>(out, text, size);
    else if (size >= 4) copy_two_words<std::uint32_t>(out, text, size);
    else
        for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(text[i]);
}

}  // namespace

void JsonString::assign_new(const char* text, std::size_t size) {
    if (size <= kInlineCapacity) {
        copy_short(bytes_, text, size);
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

JsonObject JsonObject::from_members(std::span<JsonMember> members) {
    if (members.size() > kInsertionSortLimit) return from_many_members(members);
    // Small objects (the common case) sort a record per member, keyed by its
    // key's first eight bytes, by insertion: stable, so that among equal keys
    // the given order survives and the last one can be kept; and one compare
    // per member when they come in key order already. Each kept member then
    // moves once.
    struct SortKey {
        std::uint64_t prefix;
        std::uint32_t index;
    };
    const auto count = static_cast<std::uint32_t>(members.size());
    std::array<SortKey, kInsertionSortLimit> keys;
    for (std::uint32_t i = 0; i < count; ++i) keys[i] = {detail::key_prefix(members[i].key), i};
    const auto less = [&](const SortKey& a, const SortKey& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return members[a.index].key < members[b.index].key;
    };
    for (std::uint32_t i = 1; i < count; ++i) {
        const SortKey moving = keys[i];
        std::uint32_t j = i;
        for (; j > 0 && less(moving, keys[j - 1]); --j) keys[j] = keys[j - 1];
        keys[j] = moving;
    }
    std::array<std::uint32_t, kInsertionSortLimit> order;
    std::size_t kept = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (i + 1 < count && keys[i].prefix == keys[i + 1].prefix &&
            members[keys[i].index].key == members[keys[i + 1].index].key)
            continue;  // a later member has this key
        order[kept++] = keys[i].index;
    }
    return from_sorted_members(members, std::span<const std::uint32_t>(order.data(), kept));
}

JsonObject JsonObject::from_many_members(std::span<JsonMember> members) {
    const auto less = [](const JsonMember& a, const JsonMember& b) { return detail::key_less(a.key, b.key); };
    // Text written by a machine is often in key order already: one pass, no sort.
    if (std::ranges::adjacent_find(members, std::not_fn(less)) == members.end()) return from_sorted_members(members);
    // Stable, so that among equal keys the written order survives and the
    // last one can be kept.
    std::ranges::stable_sort(members, less);
    // Keep the last of each run of equal keys.
    JsonObject object;
    object.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i].key == members[i + 1].key) continue;
        object.storage_.emplace_back(std::move(members[i]));
    }
    return object;
}

JsonObject JsonObject::adopt_sorted_members(std::span<JsonMember> members) {
    JsonObject object;
    object.storage_.adopt_back(members.data(), members.size());
    return object;
}

JsonObject JsonObject::adopt_sorted_members(std::span<JsonMember> members, std::span<const std::uint32_t> order) {
    JsonObject object;
    object.storage_.adopt_back(members.data(), order);
    return object;
}

JsonObject JsonObject::from_sorted_members(std::span<JsonMember> members) {
    JsonObject object = adopt_sorted_members(members);
    for (JsonMember& member : members) ::new (static_cast<void*>(&member)) JsonMember();
    return object;
}

JsonObject JsonObject::from_sorted_members(std::span<JsonMember> members, std::span<const std::uint32_t> order) {
    JsonObject object = adopt_sorted_members(members, order);
    for (const std::uint32_t index : order) ::new (static_cast<void*>(&members[index])) JsonMember();
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
    const auto it = std::lower_bound(begin(), end(), key, key_less);
    return it != end() && it->key == key ? &it->value : nullptr;
}

JsonValue* JsonObject::find(std::string_view key) noexcept {
    return const_cast<JsonValue*>(std::as_const(*this).find(key));
}

JsonValue& JsonObject::insert_or_assign(JsonString key, JsonValue value) {
    // Members given in key order, the usual case, go on the end.
    if (empty() || (end() - 1)->key < key) return storage_.emplace_back(std::move(key), std::move(value)).value;
    auto it = std::lower_bound(begin(), end(), key.view(), key_less);
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
