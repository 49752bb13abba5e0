#include "common/utf8_transcode.hpp"

#include <simdutf.h>
#include <algorithm>
#include <cassert>

namespace zarn {
namespace {

constexpr bool has_no_utf8_form(std::uint32_t c) noexcept { return (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF; }

// The run of code points without a UTF-8 form that starts at the first such
// code point at or after `from`; there is one.
template <class Unit>
Unencodable run_from(std::span<const Unit> text, std::size_t from) noexcept {
    std::size_t start = from;
    while (!has_no_utf8_form(text[start])) ++start;
    std::size_t end = start + 1;
    while (end < text.size() && has_no_utf8_form(text[end])) ++end;
    return {start, end};
}

// Whether any of the units is a surrogate. Compiled for AVX2 as well where
// the compiler can pick the version at load time; either way it becomes
// vector compares folded into one lane mask.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
[[gnu::target_clones("avx2", "default")]]
#endif
bool has_surrogate(const std::uint16_t* units, std::size_t size) noexcept {
    std::uint16_t found = 0;
    for (std::size_t i = 0; i < size; ++i) found = static_cast<std::uint16_t>(found | ((units[i] & 0xF800) == 0xD800));
    return found != 0;
}

// Texts are checked and measured a block at a time, so that the measuring
// pass reads the units from the first level cache the check left them in.
constexpr std::size_t kBlock = 8192;

}  // namespace

std::expected<std::size_t, Unencodable> utf8_length(std::span<const std::uint8_t> latin1) noexcept {
    return simdutf::utf8_length_from_latin1(reinterpret_cast<const char*>(latin1.data()), latin1.size());
}

// With no surrogate among them, the units are valid UTF-16 in which no two
// pair up, so simdutf's UTF-16 length is the length of UTF-8 written a code
// point per unit.
std::expected<std::size_t, Unencodable> utf8_length(std::span<const std::uint16_t> ucs2) noexcept {
    std::size_t length = 0;
    for (std::size_t at = 0; at < ucs2.size(); at += kBlock) {
        const std::size_t size = std::min(kBlock, ucs2.size() - at);
        if (has_surrogate(ucs2.data() + at, size)) return std::unexpected(run_from(ucs2, at));
        length += simdutf::utf8_length_from_utf16(reinterpret_cast<const char16_t*>(ucs2.data() + at), size);
    }
    return length;
}

std::expected<std::size_t, Unencodable> utf8_length(std::span<const std::uint32_t> ucs4) noexcept {
    std::size_t length = 0;
    for (std::size_t at = 0; at < ucs4.size(); at += kBlock) {
        const auto* const block = reinterpret_cast<const char32_t*>(ucs4.data() + at);
        const std::size_t size = std::min(kBlock, ucs4.size() - at);
        if (!simdutf::validate_utf32(block, size)) return std::unexpected(run_from(ucs4, at));
        length += simdutf::utf8_length_from_utf32(block, size);
    }
    return length;
}

// The UTF-16 and UTF-32 converters of simdutf read the same units as char16_t
// and char32_t. With no surrogate among the units (utf8_length checked), a
// UCS-2 text is valid UTF-16 in which no two units pair up, so the converter
// for valid input writes each unit as its own code point.
void write_utf8(std::span<const std::uint8_t> latin1, std::span<char> out) noexcept {
    [[maybe_unused]] const std::size_t written =
        simdutf::convert_latin1_to_utf8(reinterpret_cast<const char*>(latin1.data()), latin1.size(), out.data());
    assert(written == out.size());
}

void write_utf8(std::span<const std::uint16_t> ucs2, std::span<char> out) noexcept {
    [[maybe_unused]] const std::size_t written =
        simdutf::convert_valid_utf16_to_utf8(reinterpret_cast<const char16_t*>(ucs2.data()), ucs2.size(), out.data());
    assert(written == out.size());
}

void write_utf8(std::span<const std::uint32_t> ucs4, std::span<char> out) noexcept {
    [[maybe_unused]] const std::size_t written =
        simdutf::convert_valid_utf32_to_utf8(reinterpret_cast<const char32_t*>(ucs4.data()), ucs4.size(), out.data());
    assert(written == out.size());
}

}  // namespace zarn
