#include "common/unicode.hpp"

#include <cstdint>

#include "common/bytes.hpp"

namespace zarn {
namespace {

constexpr bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Length of the white-space character at the front of `text`, or 0.
std::size_t leading_space_length(std::string_view text) noexcept {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    if (text.empty()) return 0;
    const std::uint8_t b0 = byte(0);
    if (b0 < 0x80) return is_white_space(b0) ? 1 : 0;
    if (b0 == 0xC2 && text.size() >= 2) {
        const char32_t c = 0x80u | (byte(1) & 0x3Fu);
        return (byte(1) & 0xC0u) == 0x80u && is_white_space(c) ? 2 : 0;
    }
    if ((b0 == 0xE1 || b0 == 0xE2 || b0 == 0xE3) && text.size() >= 3) {
        if ((byte(1) & 0xC0u) != 0x80u || (byte(2) & 0xC0u) != 0x80u) return 0;
        const char32_t c = ((b0 & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
        return is_white_space(c) ? 3 : 0;
    }
    return 0;
}

// Length of the white-space character at the back of `text`, or 0.
std::size_t trailing_space_length(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const auto last = static_cast<std::uint8_t>(text.back());
    if (last < 0x80) return is_white_space(last) ? 1 : 0;
    for (std::size_t width : {2u, 3u}) {
        if (text.size() >= width && leading_space_length(text.substr(text.size() - width)) == width) return width;
    }
    return 0;
}

constexpr bool is_ascii_white_space(char c) noexcept { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) noexcept {
    // ASCII runs first, a byte at a time: queries often end in a newline and
    // indentation.
    while (!text.empty() && is_ascii_white_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_ascii_white_space(text.back())) text.remove_suffix(1);
    while (const std::size_t n = leading_space_length(text)) text.remove_prefix(n);
    while (const std::size_t n = trailing_space_length(text)) text.remove_suffix(n);
    return text;
}

bool is_ascii(std::string_view text) noexcept {
    using bytes::kHighBits;
    const char* const p = text.data();
    const std::size_t size = text.size();
    const auto word_at = [p](std::size_t at) noexcept { return bytes::load<std::uint64_t>(p + at); };
    if (size < 8) {
        std::uint64_t any = 0;
        for (std::size_t i = 0; i < size; ++i) any |= static_cast<unsigned char>(p[i]);
        return (any & 0x80) == 0;
    }
    // Whole words, then one more ending at the last byte, which may overlap
    // the words before it. Blocks of four are checked as they are read, so
    // that a long text that is not ASCII stops early; the compiler makes
    // vector loads of them.
    std::size_t at = 0;
    for (; size - at >= 32; at += 32)
        if (((word_at(at) | word_at(at + 8) | word_at(at + 16) | word_at(at + 24)) & kHighBits) != 0) return false;
    std::uint64_t any = word_at(size - 8);
    for (; size - at >= 8; at += 8) any |= word_at(at);
    return (any & kHighBits) == 0;
}

}  // namespace zarn
