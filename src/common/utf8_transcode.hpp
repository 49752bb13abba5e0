#pragma once

// UTF-8 from text held one code point per code unit, as CPython keeps a str:
// Latin-1 (one byte per unit), UCS-2 (two) or UCS-4 (four). A unit is always
// a whole code point: a high and a low surrogate side by side are two code
// points, neither of which has a UTF-8 form, never one astral character.
//
// Converting is two steps, so that the caller can make room of the exact size
// in between: utf8_length reads the text once (and finds any code point
// without a UTF-8 form), write_utf8 writes it.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

namespace zarn {

// The first run of code points without a UTF-8 form: the surrogates
// U+D800..U+DFFF and, in UCS-4, values past U+10FFFF. Units [start, end),
// `end` past the last unit of the run, as CPython's strict UTF-8 encoder
// reports them.
struct Unencodable {
    std::size_t start;
    std::size_t end;
    bool operator==(const Unencodable&) const = default;
};

// Bytes in the UTF-8 form of the text, or the first run that has none.
// Latin-1 always has one.
[[nodiscard]] std::expected<std::size_t, Unencodable> utf8_length(std::span<const std::uint8_t> latin1) noexcept;
[[nodiscard]] std::expected<std::size_t, Unencodable> utf8_length(std::span<const std::uint16_t> ucs2) noexcept;
[[nodiscard]] std::expected<std::size_t, Unencodable> utf8_length(std::span<const std::uint32_t> ucs4) noexcept;

// Writes the UTF-8 form of `text` into `out`. Precondition: utf8_length(text)
// succeeded and gave out.size().
void write_utf8(std::span<const std::uint8_t> latin1, std::span<char> out) noexcept;
void write_utf8(std::span<const std::uint16_t> ucs2, std::span<char> out) noexcept;
void write_utf8(std::span<const std::uint32_t> ucs4, std::span<char> out) noexcept;

}  // namespace zarn
