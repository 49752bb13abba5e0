#pragma once

// A plain transcoder to check common/utf8_transcode against: one code point
// at a time, straight from the definition of UTF-8.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <span>
#include <string>

#include "common/utf8_transcode.hpp"

namespace zarn::testing {

inline bool reference_unencodable(std::uint32_t c) { return (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF; }

// One code point's UTF-8 form, from the definition.
inline void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

template <class Unit>
std::expected<std::string, Unencodable> reference_utf8(std::span<const Unit> text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::uint32_t c = text[i];
        if (reference_unencodable(c)) {
            std::size_t end = i + 1;
            while (end < text.size() && reference_unencodable(text[end])) ++end;
            return std::unexpected(Unencodable{i, end});
        }
        append_utf8(out, c);
    }
    return out;
}

// The transcoder's two steps into a new string, as the module's text copies use them.
template <class Unit>
[[nodiscard]] std::expected<std::string, Unencodable> to_utf8(std::span<const Unit> text) {
    const auto length = utf8_length(text);
    if (!length) return std::unexpected(length.error());
    std::string out;
    out.resize_and_overwrite(*length, [&](char* data, std::size_t size) noexcept {
        write_utf8(text, std::span<char>(data, size));
        return size;
    });
    return out;
}

// The transcoder under test, both steps, written into a heap block of
// exactly the measured length followed by guard bytes: the sanitizers do not
// see into simdutf, so a write past the length is caught by the guard.
template <class Unit>
std::expected<std::string, Unencodable> transcode(std::span<const Unit> text) {
    constexpr std::size_t kGuard = 64;
    const auto length = utf8_length(text);
    if (!length) return std::unexpected(length.error());
    std::string block(*length + kGuard, '\xA5');
    write_utf8(text, std::span<char>(block.data(), *length));
    if (block.find_first_not_of('\xA5', *length) != std::string::npos) {
        std::fputs("UTF-8 written past its measured length\n", stderr);
        std::abort();
    }
    block.resize(*length);
    return block;
}

}  // namespace zarn::testing
