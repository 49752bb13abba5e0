#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/block_cache.hpp"
#include "json/flat_storage.hpp"
#include "json/json_string.hpp"

namespace zarn::json {

class JsonValue;
struct JsonMember;

// A JSON array: a contiguous sequence of values, with the parts of the
// std::vector interface that callers use.
class JsonArray {
public:
    using value_type = JsonValue;
    using iterator = JsonValue*;
    using const_iterator = const JsonValue*;

    JsonArray() noexcept = default;
    JsonArray(std::initializer_list<JsonValue> values);
    // Takes `values` over by their bytes; their lifetime ends here, so the
    // caller must neither destroy nor read them again.
    [[nodiscard]] static JsonArray adopt(std::span<JsonValue> values) {
        JsonArray array;
        array.storage_.adopt_back(values.data(), values.size());
        return array;
    }
    template <std::input_iterator It, std::sentinel_for<It> End>
    JsonArray(It first, End last) {
        if constexpr (std::forward_iterator<It>)
            storage_.reserve(static_cast<std::size_t>(std::ranges::distance(first, last)));
        for (; first != last; ++first) storage_.emplace_back(*first);
    }

    [[nodiscard]] std::size_t size() const noexcept { return storage_.size(); }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    [[nodiscard]] std::size_t capacity() const noexcept { return storage_.capacity(); }
    [[nodiscard]] JsonValue* data() noexcept { return storage_.data(); }
    [[nodiscard]] const JsonValue* data() const noexcept { return storage_.data(); }
    // Defined below JsonValue: their bodies need the complete element type.
    [[nodiscard]] iterator begin() noexcept;
    [[nodiscard]] iterator end() noexcept;
    [[nodiscard]] const_iterator begin() const noexcept;
    [[nodiscard]] const_iterator end() const noexcept;
    [[nodiscard]] JsonValue& operator[](std::size_t i) noexcept;
    [[nodiscard]] const JsonValue& operator[](std::size_t i) const noexcept;
    [[nodiscard]] JsonValue& front() noexcept;
    [[nodiscard]] const JsonValue& front() const noexcept;
    [[nodiscard]] JsonValue& back() noexcept;
    [[nodiscard]] const JsonValue& back() const noexcept;

    void reserve(std::size_t capacity) { storage_.reserve(capacity); }
    void push_back(const JsonValue& value);
    void push_back(JsonValue&& value);
    template <class... Args>
    JsonValue& emplace_back(Args&&... args) {
        return storage_.emplace_back(std::forward<Args>(args)...);
    }
    void pop_back() noexcept { storage_.pop_back(); }
    void clear() noexcept { storage_.clear(); }

    friend bool operator==(const JsonArray& a, const JsonArray& b);

private:
    friend class JsonValue;

    detail::FlatStorage<JsonValue> storage_;
};

// A JSON object: members kept in ascending byte order of their keys, one entry
// per key. Flat sorted storage: lookups are scans or binary searches,
// iteration and writing walk the members in order.
class JsonObject {
public:
    using Member = JsonMember;
    using iterator = JsonMember*;
    using const_iterator = const JsonMember*;

    JsonObject() noexcept = default;
    // Of repeated keys the one given last is kept.
    JsonObject(std::initializer_list<JsonMember> members);

    // Builds an object from members in any order; of repeated keys the one
    // given last is kept. The members are moved from.
    [[nodiscard]] static JsonObject from_members(std::span<JsonMember> members);
    [[nodiscard]] static JsonObject from_members(std::vector<JsonMember>&& members);
    // Takes over, by their bytes and in this order, members[order[0]],
    // members[order[1]], ..., whose keys the caller has checked to be
    // strictly ascending in that order (so no key repeats). Their lifetime
    // ends here, as for JsonArray::adopt.
    [[nodiscard]] static JsonObject adopt_members(std::span<JsonMember> members, std::span<const std::uint32_t> order);
    // The same for all of them, in the order given.
    [[nodiscard]] static JsonObject adopt_members(std::span<JsonMember> members);

    [[nodiscard]] std::size_t size() const noexcept { return storage_.size(); }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    // Defined below JsonMember.
    [[nodiscard]] iterator begin() noexcept;
    [[nodiscard]] iterator end() noexcept;
    [[nodiscard]] const_iterator begin() const noexcept;
    [[nodiscard]] const_iterator end() const noexcept;

    [[nodiscard]] const JsonValue* find(std::string_view key) const noexcept;
    [[nodiscard]] JsonValue* find(std::string_view key) noexcept;
    [[nodiscard]] bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }

    // Inserts the member, replacing the value of an existing key.
    JsonValue& insert_or_assign(JsonString key, JsonValue value);

    void reserve(std::size_t n) { storage_.reserve(n); }
    // Appends a member whose key sorts after every key present; the caller
    // guarantees the order (writers of fixed-order entries use it).
    void append_sorted(JsonString key, JsonValue value);

    friend bool operator==(const JsonObject& a, const JsonObject& b);

private:
    friend class JsonValue;

    detail::FlatStorage<JsonMember> storage_;
};

class JsonValue {
public:
    JsonValue() noexcept { set_tag(JsonKind::null); }
    JsonValue(std::nullptr_t) noexcept : JsonValue() {}
    JsonValue(bool b) noexcept { store(JsonKind::boolean, b); }
    JsonValue(std::uint64_t n) noexcept { store(JsonKind::unsigned_integer, n); }
    // A non-negative signed value is stored as unsigned, so each integer has
    // one representation.
    JsonValue(std::int64_t n) noexcept {
        if (n < 0) store(JsonKind::negative_integer, n);
        else store(JsonKind::unsigned_integer, static_cast<std::uint64_t>(n));
    }
    JsonValue(int n) noexcept : JsonValue(static_cast<std::int64_t>(n)) {}
    JsonValue(unsigned n) noexcept : JsonValue(static_cast<std::uint64_t>(n)) {}
    JsonValue(double d) noexcept { store(JsonKind::floating, d); }
    JsonValue(JsonString s) noexcept { ::new (static_cast<void*>(bytes_)) JsonString(std::move(s)); }
    JsonValue(std::string_view s) : JsonValue(JsonString(s)) {}
    JsonValue(const std::string& s) : JsonValue(JsonString(s)) {}
    JsonValue(const char* s) : JsonValue(JsonString(s)) {}
    JsonValue(JsonArray a) noexcept {
        ::new (static_cast<void*>(bytes_)) JsonArray(std::move(a));
        set_tag(JsonKind::array);
    }
    JsonValue(JsonObject o) noexcept {
        ::new (static_cast<void*>(bytes_)) JsonObject(std::move(o));
        set_tag(JsonKind::object);
    }

    JsonValue(const JsonValue& other);
    JsonValue(JsonValue&& other) noexcept { relocate_from(other); }
    JsonValue& operator=(const JsonValue& other) {
        if (this != &other) *this = JsonValue(other);
        return *this;
    }
    JsonValue& operator=(JsonValue&& other) noexcept {
        if (this != &other) {
            release();
            relocate_from(other);
        }
        return *this;
    }
    ~JsonValue() { release(); }

    [[nodiscard]] JsonKind kind() const noexcept {
        return static_cast<JsonKind>(bytes_[detail::kTagByte] & detail::kKindMask);
    }
    [[nodiscard]] bool is_null() const noexcept { return kind() == JsonKind::null; }
    [[nodiscard]] bool is_bool() const noexcept { return kind() == JsonKind::boolean; }
    [[nodiscard]] bool is_string() const noexcept { return kind() == JsonKind::string; }
    [[nodiscard]] bool is_array() const noexcept { return kind() == JsonKind::array; }
    [[nodiscard]] bool is_object() const noexcept { return kind() == JsonKind::object; }
    [[nodiscard]] bool is_number() const noexcept {
        const auto k = kind();
        return k == JsonKind::unsigned_integer || k == JsonKind::negative_integer || k == JsonKind::floating;
    }

    // Checked access: nullptr when the value is of another kind.
    [[nodiscard]] const bool* if_bool() const noexcept { return get_if<bool>(JsonKind::boolean); }
    [[nodiscard]] const std::uint64_t* if_unsigned() const noexcept {
        return get_if<std::uint64_t>(JsonKind::unsigned_integer);
    }
    [[nodiscard]] const std::int64_t* if_negative() const noexcept {
        return get_if<std::int64_t>(JsonKind::negative_integer);
    }
    [[nodiscard]] const double* if_double() const noexcept { return get_if<double>(JsonKind::floating); }
    [[nodiscard]] const JsonString* if_string() const noexcept { return get_if<JsonString>(JsonKind::string); }
    [[nodiscard]] const JsonArray* if_array() const noexcept { return get_if<JsonArray>(JsonKind::array); }
    [[nodiscard]] const JsonObject* if_object() const noexcept { return get_if<JsonObject>(JsonKind::object); }
    [[nodiscard]] JsonArray* if_array() noexcept { return get_if<JsonArray>(JsonKind::array); }
    [[nodiscard]] JsonObject* if_object() noexcept { return get_if<JsonObject>(JsonKind::object); }

    // Unchecked access: the caller has tested the kind.
    [[nodiscard]] bool as_bool() const noexcept { return *payload<bool>(); }
    [[nodiscard]] std::uint64_t as_unsigned() const noexcept { return *payload<std::uint64_t>(); }
    [[nodiscard]] std::int64_t as_negative() const noexcept { return *payload<std::int64_t>(); }
    [[nodiscard]] double as_double() const noexcept { return *payload<double>(); }
    [[nodiscard]] const JsonString& as_string() const noexcept { return *payload<JsonString>(); }
    [[nodiscard]] const JsonArray& as_array() const noexcept { return *payload<JsonArray>(); }
    [[nodiscard]] const JsonObject& as_object() const noexcept { return *payload<JsonObject>(); }
    [[nodiscard]] JsonArray& as_array() noexcept { return *payload<JsonArray>(); }
    [[nodiscard]] JsonObject& as_object() noexcept { return *payload<JsonObject>(); }

    // Structural equality; doubles compare by value and by the sign of zero.
    friend bool operator==(const JsonValue& a, const JsonValue& b);

private:
    void set_tag(JsonKind kind) noexcept { bytes_[detail::kTagByte] = static_cast<std::uint8_t>(kind); }
    template <class T>
    void store(JsonKind kind, T value) noexcept {
        ::new (static_cast<void*>(bytes_)) T(value);
        set_tag(kind);
    }
    template <class T>
    [[nodiscard]] const T* payload() const noexcept {
        return std::launder(reinterpret_cast<const T*>(bytes_));
    }
    template <class T>
    [[nodiscard]] T* payload() noexcept {
        return std::launder(reinterpret_cast<T*>(bytes_));
    }
    template <class T>
    [[nodiscard]] const T* get_if(JsonKind wanted) const noexcept {
        return kind() == wanted ? payload<T>() : nullptr;
    }
    template <class T>
    [[nodiscard]] T* get_if(JsonKind wanted) noexcept {
        return kind() == wanted ? payload<T>() : nullptr;
    }
    void relocate_from(JsonValue& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.set_tag(JsonKind::null);
    }
    // Only strings held on the heap, arrays and objects own anything.
    [[nodiscard]] bool owns_heap() const noexcept {
        const std::uint8_t tag = bytes_[detail::kTagByte];
        return tag >= static_cast<std::uint8_t>(JsonKind::string) && (tag & detail::kInlineString) == 0;
    }
    void release() noexcept {
        if (owns_heap()) release_heap();
    }
    void release_heap() noexcept;
    // The same for a value in a tree being freed whole; ends its lifetime.
    void release_heap(detail::BlockReleaser& releaser) noexcept;

    alignas(8) std::uint8_t bytes_[16];
};

// One member of an object.
struct JsonMember {
    JsonMember() noexcept = default;
    JsonMember(JsonString k, JsonValue v) noexcept : key(std::move(k)), value(std::move(v)) {}

    JsonString key;
    JsonValue value;

    friend bool operator==(const JsonMember&, const JsonMember&) = default;
};

static_assert(sizeof(JsonValue) == 16 && sizeof(JsonString) == 16 && sizeof(JsonMember) == 32);

inline JsonArray::iterator JsonArray::begin() noexcept { return data(); }
inline JsonArray::iterator JsonArray::end() noexcept { return data() + size(); }
inline JsonArray::const_iterator JsonArray::begin() const noexcept { return data(); }
inline JsonArray::const_iterator JsonArray::end() const noexcept { return data() + size(); }
inline JsonValue& JsonArray::operator[](std::size_t i) noexcept { return data()[i]; }
inline const JsonValue& JsonArray::operator[](std::size_t i) const noexcept { return data()[i]; }
inline JsonValue& JsonArray::front() noexcept { return data()[0]; }
inline const JsonValue& JsonArray::front() const noexcept { return data()[0]; }
inline JsonValue& JsonArray::back() noexcept { return data()[size() - 1]; }
inline const JsonValue& JsonArray::back() const noexcept { return data()[size() - 1]; }

inline JsonObject::iterator JsonObject::begin() noexcept { return storage_.data(); }
inline JsonObject::iterator JsonObject::end() noexcept { return storage_.data() + size(); }
inline JsonObject::const_iterator JsonObject::begin() const noexcept { return storage_.data(); }
inline JsonObject::const_iterator JsonObject::end() const noexcept { return storage_.data() + size(); }

inline void JsonArray::push_back(const JsonValue& value) { storage_.emplace_back(value); }
inline void JsonArray::push_back(JsonValue&& value) { storage_.emplace_back(std::move(value)); }

}  // namespace zarn::json
