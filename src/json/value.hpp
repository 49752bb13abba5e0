#pragma once

#include <bit>
#include <compare>
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

namespace zarn::json {

// A document is read, moved into its containers and freed far more often
// than it is looked at, so values are laid out for that: every value is
// sixteen bytes, strings of up to fifteen bytes live inside it, and each
// string, array and object owns at most one heap block. Every kind is
// trivially relocatable: a move copies the sixteen bytes and leaves null
// behind, and containers grow by copying their elements' bytes.

enum class JsonKind : std::uint8_t {
    null,
    boolean,
    unsigned_integer,  // std::uint64_t
    negative_integer,  // std::int64_t, always below zero
    floating,          // double, finite when read from text
    string,
    array,
    object,
};

namespace detail {

// The last byte of every value: its kind in the low three bits; for a string
// held inline, bit 3 and the length in the high four bits.
inline constexpr std::size_t kTagByte = 15;
inline constexpr std::uint8_t kKindMask = 0x07;
inline constexpr std::uint8_t kInlineString = 0x08;

}  // namespace detail

// An immutable UTF-8 text, as a key or a string value. Up to fifteen bytes
// are held inline; longer texts in one heap block of exactly their size.
class JsonString {
public:
    static constexpr std::size_t kInlineCapacity = 15;

    JsonString() noexcept { set_inline_size(0); }
    JsonString(std::string_view text) { assign_new(text.data(), text.size()); }
    JsonString(const std::string& text) : JsonString(std::string_view(text)) {}
    JsonString(const char* text) : JsonString(std::string_view(text)) {}
    JsonString(const JsonString& other) {
        // An inline string owns nothing, so its bytes are a copy of it.
        if (other.is_inline()) std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        else assign_new(other.heap_pointer(), other.heap_size());
    }
    JsonString(JsonString&& other) noexcept { relocate_from(other); }
    JsonString& operator=(const JsonString& other) {
        if (this != &other) *this = JsonString(other);
        return *this;
    }
    JsonString& operator=(JsonString&& other) noexcept {
        if (this != &other) {
            release();
            relocate_from(other);
        }
        return *this;
    }
    ~JsonString() { release(); }

    [[nodiscard]] bool is_inline() const noexcept { return (bytes_[detail::kTagByte] & detail::kInlineString) != 0; }
    [[nodiscard]] std::size_t size() const noexcept {
        return is_inline() ? static_cast<std::size_t>(bytes_[detail::kTagByte] >> 4) : heap_size();
    }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    [[nodiscard]] const char* data() const noexcept {
        return is_inline() ? reinterpret_cast<const char*>(bytes_) : heap_pointer();
    }
    [[nodiscard]] std::string_view view() const noexcept {
        if (is_inline())
            return {reinterpret_cast<const char*>(bytes_), static_cast<std::size_t>(bytes_[detail::kTagByte] >> 4)};
        return {heap_pointer(), heap_size()};
    }
    operator std::string_view() const noexcept { return view(); }
    [[nodiscard]] std::string str() const { return std::string(view()); }

    friend bool operator==(const JsonString& a, const JsonString& b) noexcept { return a.view() == b.view(); }
    friend bool operator==(const JsonString& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const JsonString& a, const char* b) noexcept { return a.view() == std::string_view(b); }
    friend bool operator==(const JsonString& a, const std::string& b) noexcept { return a.view() == b; }
    friend std::strong_ordering operator<=>(const JsonString& a, const JsonString& b) noexcept {
        return a.view() <=> b.view();
    }
    friend std::strong_ordering operator<=>(const JsonString& a, std::string_view b) noexcept { return a.view() <=> b; }

private:
    static constexpr std::uint8_t kStringTag = static_cast<std::uint8_t>(JsonKind::string);

    void set_inline_size(std::size_t size) noexcept {
        bytes_[detail::kTagByte] = static_cast<std::uint8_t>(kStringTag | detail::kInlineString | (size << 4));
    }
    [[nodiscard]] char* heap_pointer() const noexcept {
        char* pointer;
        std::memcpy(&pointer, bytes_, sizeof pointer);
        return pointer;
    }
    // Seven bytes after the pointer, least significant first; the tag byte
    // follows them, so on a little-endian machine the size and the tag are
    // one word.
    [[nodiscard]] std::size_t heap_size() const noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            std::uint64_t word;
            std::memcpy(&word, bytes_ + 8, sizeof word);
            return static_cast<std::size_t>(word & kHeapSizeMask);
        }
        std::uint64_t size = 0;
        for (std::size_t i = 0; i < 7; ++i) size |= std::uint64_t{bytes_[8 + i]} << (8 * i);
        return static_cast<std::size_t>(size);
    }
    void set_heap_size(std::size_t size) noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            const std::uint64_t word = (std::uint64_t{size} & kHeapSizeMask) | std::uint64_t{kStringTag} << 56;
            std::memcpy(bytes_ + 8, &word, sizeof word);
            return;
        }
        for (std::size_t i = 0; i < 7; ++i) bytes_[8 + i] = static_cast<std::uint8_t>(size >> (8 * i));
        bytes_[detail::kTagByte] = kStringTag;
    }
    static constexpr std::uint64_t kHeapSizeMask = (std::uint64_t{1} << 56) - 1;
    static_assert(detail::kTagByte == 15, "the tag byte ends the size word");
    // Copies `size` bytes from `text` into new storage; the string holds
    // nothing before.
    void assign_new(const char* text, std::size_t size);
    void relocate_from(JsonString& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.set_inline_size(0);
    }
    void release() noexcept {
        if (!is_inline()) detail::release_block(heap_pointer(), heap_size());
    }
    void release_into(detail::BlockReleaser& releaser) noexcept {
        if (!is_inline()) releaser.release(heap_pointer(), heap_size());
    }

    friend class JsonValue;

    alignas(8) std::uint8_t bytes_[16];
};

class JsonValue;
struct JsonMember;

namespace detail {

// The heap block behind a non-empty array or object: its size and capacity,
// then the elements. An empty container has no block.
struct BlockHeader {
    std::size_t size;
    std::size_t capacity;
};

// Owning, growable storage of trivially relocatable elements.
template <class T>
class FlatStorage {
public:
    FlatStorage() noexcept = default;
    FlatStorage(const FlatStorage& other);
    FlatStorage(FlatStorage&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    FlatStorage& operator=(const FlatStorage& other) {
        if (this != &other) *this = FlatStorage(other);
        return *this;
    }
    FlatStorage& operator=(FlatStorage&& other) noexcept {
        if (this != &other) {
            release();
            block_ = std::exchange(other.block_, nullptr);
        }
        return *this;
    }
    ~FlatStorage() { release(); }

    [[nodiscard]] std::size_t size() const noexcept { return block_ != nullptr ? block_->size : 0; }
    [[nodiscard]] std::size_t capacity() const noexcept { return block_ != nullptr ? block_->capacity : 0; }
    [[nodiscard]] T* data() noexcept { return block_ != nullptr ? items() : nullptr; }
    [[nodiscard]] const T* data() const noexcept { return block_ != nullptr ? items() : nullptr; }

    void reserve(std::size_t capacity);
    template <class... Args>
    T& emplace_back(Args&&... args) {
        // When full, the element is built before the storage moves: the
        // arguments may refer into it.
        if (size() == capacity()) return relocate_in(size(), T(std::forward<Args>(args)...));
        T* slot = ::new (static_cast<void*>(items() + block_->size)) T(std::forward<Args>(args)...);
        ++block_->size;
        return *slot;
    }
    // Constructs an element at `index`, shifting the ones from there up.
    template <class... Args>
    T& emplace_at(std::size_t index, Args&&... args) {
        return relocate_in(index, T(std::forward<Args>(args)...));
    }
    // Takes `count` elements from `source` onto the end, by their bytes in
    // one copy. Their lifetime ends there: the caller must neither destroy
    // nor read them again.
    void adopt_back(T* source, std::size_t count) {
        if (count == 0) return;
        reserve(size() + count);
        std::memcpy(static_cast<void*>(items() + block_->size), static_cast<const void*>(source), count * sizeof(T));
        block_->size += count;
    }
    // The same for source[order[0]], source[order[1]], ... in that order.
    void adopt_back(T* source, std::span<const std::uint32_t> order) {
        if (order.empty()) return;
        reserve(size() + order.size());
        T* out = items() + block_->size;
        for (const std::uint32_t index : order)
            std::memcpy(static_cast<void*>(out++), static_cast<const void*>(source + index), sizeof(T));
        block_->size += order.size();
    }
    void pop_back() noexcept {
        --block_->size;
        items()[block_->size].~T();
    }
    void clear() noexcept {
        if (block_ == nullptr) return;
        destroy_items();
        block_->size = 0;
    }
    // Hands each element to `release_item`, which ends its lifetime, then
    // the block to `releaser`; the storage is left empty.
    template <class ReleaseItem>
    void release_into(BlockReleaser& releaser, const ReleaseItem& release_item) noexcept {
        if (block_ == nullptr) return;
        T* const first = items();
        for (std::size_t i = 0; i < block_->size; ++i) release_item(first[i]);
        releaser.release(block_, block_bytes(block_->capacity));
        block_ = nullptr;
    }

private:
    // Moves `value` in at `index` by its bytes, growing first if full, and
    // leaves an empty element in its place.
    T& relocate_in(std::size_t index, T&& value) {
        if (size() == capacity()) reserve(size() == 0 ? 4 : 2 * size());
        T* const at = items() + index;
        std::memmove(static_cast<void*>(at + 1), static_cast<const void*>(at), (block_->size - index) * sizeof(T));
        std::memcpy(static_cast<void*>(at), static_cast<const void*>(&value), sizeof(T));
        ::new (static_cast<void*>(&value)) T();
        ++block_->size;
        return *at;
    }
    [[nodiscard]] T* items() const noexcept { return reinterpret_cast<T*>(block_ + 1); }
    void destroy_items() noexcept {
        T* const first = items();
        for (std::size_t i = 0; i < block_->size; ++i) first[i].~T();
    }
    [[nodiscard]] static std::size_t block_bytes(std::size_t capacity) noexcept {
        return sizeof(BlockHeader) + capacity * sizeof(T);
    }
    void release() noexcept {
        if (block_ == nullptr) return;
        destroy_items();
        release_block(block_, block_bytes(block_->capacity));
    }

    BlockHeader* block_ = nullptr;
};

}  // namespace detail

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
    // Adopts members whose keys the caller has already checked to be strictly
    // ascending (so no key repeats); they are moved from, not compared.
    [[nodiscard]] static JsonObject from_sorted_members(std::span<JsonMember> members);
    // The same for members[order[0]], members[order[1]], ..., which the caller
    // has checked to be strictly ascending in that order.
    [[nodiscard]] static JsonObject from_sorted_members(std::span<JsonMember> members,
                                                        std::span<const std::uint32_t> order);
    // As the two above, but the members' lifetime ends here, as for
    // JsonArray::adopt.
    [[nodiscard]] static JsonObject adopt_sorted_members(std::span<JsonMember> members);
    [[nodiscard]] static JsonObject adopt_sorted_members(std::span<JsonMember> members,
                                                         std::span<const std::uint32_t> order);

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
    [[nodiscard]] static JsonObject from_many_members(std::span<JsonMember> members);

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

namespace detail {

// The first eight bytes of `key`, zero-padded, as a big-endian number: keys
// whose prefixes differ compare as their prefixes do, so most comparisons of
// keys are one integer compare. Eight bytes can always be read: a key
// shorter than that is held inline, in sixteen bytes of its own.
[[nodiscard]] inline std::uint64_t key_prefix(const JsonString& key) noexcept {
    static_assert(JsonString::kInlineCapacity >= 8);
    const std::size_t size = key.size();
    std::uint64_t word;
    std::memcpy(&word, key.data(), 8);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    return size >= 8 ? word : word & ~(~std::uint64_t{0} >> (8 * size));
}

// Byte order of two keys, by their prefixes first.
[[nodiscard]] inline bool key_less(const JsonString& a, const JsonString& b) noexcept {
    const std::uint64_t prefix_a = key_prefix(a);
    const std::uint64_t prefix_b = key_prefix(b);
    if (prefix_a != prefix_b) return prefix_a < prefix_b;
    return a < b;
}

template <class T>
FlatStorage<T>::FlatStorage(const FlatStorage& other) {
    if (other.size() == 0) return;
    reserve(other.size());
    for (const T* p = other.items(); p != other.items() + other.size(); ++p) emplace_back(*p);
}

// Growing moves each element by its bytes: every element kind is trivially
// relocatable, and the old block is freed without running destructors.
template <class T>
void FlatStorage<T>::reserve(std::size_t capacity) {
    if (capacity <= this->capacity()) return;
    if (capacity > (static_cast<std::size_t>(-1) - sizeof(BlockHeader)) / sizeof(T)) throw std::bad_alloc();
    auto* grown = static_cast<BlockHeader*>(allocate_block(block_bytes(capacity)));
    grown->size = size();
    grown->capacity = capacity;
    if (block_ != nullptr) {
        std::memcpy(static_cast<void*>(grown + 1), static_cast<const void*>(items()), block_->size * sizeof(T));
        release_block(block_, block_bytes(block_->capacity));
    }
    block_ = grown;
}

}  // namespace detail

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
