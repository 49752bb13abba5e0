#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zarn::json::detail {

// What a scan over string contents stops at.
enum class StopAt : std::uint8_t {
    escapes,           // a quote, a backslash or a control character (the writer)
    escapes_and_utf8,  // those, and the lead byte of a multi-byte sequence (the reader)
};

// First byte at or after `p` that the scan stops at, or `end`. Sixteen bytes at
// a time with SSE2, else eight at a time in a word, where the lowest flagged
// byte of each mask is always a true match (a borrow only propagates upwards).
#if defined(__SSE2__)
// Bit i set when byte i of the sixteen from `p` is one the scan stops at.
template <StopAt kStop>
[[gnu::always_inline]] inline unsigned special_mask16(const char* p) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i special;
    if constexpr (kStop == StopAt::escapes_and_utf8) {
        // a signed compare below 0x20 catches the bytes from 0x80 up as well
        special = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
    } else {
        // v <= 0x1F unsigned exactly when max(v, 0x1F) == 0x1F
        const __m128i control_max = _mm_set1_epi8(0x1F);
        special = _mm_cmpeq_epi8(_mm_max_epu8(v, control_max), control_max);
    }
    const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
    const __m128i slash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, slash), special)));
}
#endif

// The eight bytes of `w` that are a quote, a backslash or a control
// character, flagged as bytes::bytes_below flags them (unmasked).
[[gnu::always_inline]] constexpr std::uint64_t escape_flags(std::uint64_t w) noexcept {
    return bytes::bytes_below(w, 0x20) | bytes::bytes_equal(w, '"') | bytes::bytes_equal(w, '\\');
}

template <StopAt kStop>
[[gnu::always_inline]] inline const char* find_string_special(const char* p, const char* end) noexcept {
    constexpr bool kUtf8 = kStop == StopAt::escapes_and_utf8;
#if defined(__SSE2__)
    while (end - p >= 16) {
        if (const unsigned mask = special_mask16<kStop>(p)) return p + std::countr_zero(mask);
        p += 16;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            const auto w = bytes::load<std::uint64_t>(p);
            std::uint64_t flagged = escape_flags(w);
            if constexpr (kUtf8) flagged |= w;
            flagged &= bytes::kHighBits;
            if (flagged != 0) return p + bytes::first_flagged(flagged);
            p += 8;
        }
    }
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || (kUtf8 && c >= 0x80)) return p;
    }
    return end;
}

// True when writing `n` bytes from `p` as a JSON string body would escape one.
// Keys and names are short: below sixteen bytes two overlapping words (or
// half-words) cover the text without a loop.
[[gnu::always_inline]] inline bool needs_escape(const char* p, std::size_t n) noexcept {
#if defined(__SSE2__)
    if (n >= 16) {
        // Whole blocks, then the last sixteen bytes, which may overlap them.
        for (const char* block = p; block + 16 <= p + n; block += 16)
            if (special_mask16<StopAt::escapes>(block) != 0) return true;
        return special_mask16<StopAt::escapes>(p + n - 16) != 0;
    }
#endif
    if (n >= 16 || std::endian::native != std::endian::little)
        return find_string_special<StopAt::escapes>(p, p + n) != p + n;
    if (n >= 8)
        return ((escape_flags(bytes::load<std::uint64_t>(p)) | escape_flags(bytes::load<std::uint64_t>(p + n - 8))) &
                bytes::kHighBits) != 0;
    if (n >= 4) return (escape_flags(bytes::load_4_to_8(p, n)) & bytes::kHighBits) != 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c == '"' || c == '\\' || c < 0x20) return true;
    }
    return false;
}

}  // namespace zarn::json::detail
