#pragma once

#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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

}  // namespace zarn::json
