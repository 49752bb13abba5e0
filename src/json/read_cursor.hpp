#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json/reader.hpp"

namespace zarn::json::detail {

// Why a text is not one JSON document: each fault has one fixed phrase.
enum class Fault : std::uint8_t {
    eof_list,
    eof_object,
    eof_string,
    eof_value,
    expected_colon,
    expected_list_comma_or_end,
    expected_object_comma_or_end,
    expected_ident,
    expected_value,
    invalid_escape,
    invalid_number,
    number_out_of_range,
    invalid_code_point,
    control_character,
    key_must_be_string,
    lone_leading_surrogate,
    trailing_comma,
    trailing_characters,
    unexpected_end_of_hex_escape,
    recursion_limit,
};

// The description a JsonReadError gives for the fault.
constexpr std::string_view phrase(Fault fault) noexcept {
    switch (fault) {
        case Fault::eof_list: return "EOF while parsing a list";
        case Fault::eof_object: return "EOF while parsing an object";
        case Fault::eof_string: return "EOF while parsing a string";
        case Fault::eof_value: return "EOF while parsing a value";
        case Fault::expected_colon: return "expected `:`";
        case Fault::expected_list_comma_or_end: return "expected `,` or `]`";
        case Fault::expected_object_comma_or_end: return "expected `,` or `}`";
        case Fault::expected_ident: return "expected ident";
        case Fault::expected_value: return "expected value";
        case Fault::invalid_escape: return "invalid escape";
        case Fault::invalid_number: return "invalid number";
        case Fault::number_out_of_range: return "number out of range";
        case Fault::invalid_code_point: return "invalid unicode code point";
        case Fault::control_character: return "control character (\\u0000-\\u001F) found while parsing a string";
        case Fault::key_must_be_string: return "key must be a string";
        case Fault::lone_leading_surrogate: return "lone leading surrogate in hex escape";
        case Fault::trailing_comma: return "trailing comma";
        case Fault::trailing_characters: return "trailing characters";
        case Fault::unexpected_end_of_hex_escape: return "unexpected end of hex escape";
        case Fault::recursion_limit: return "recursion limit exceeded";
    }
    return "expected value";
}

// A fault and the byte it was found at.
struct ReadFailure {
    Fault fault = Fault::expected_value;
    const char* at = nullptr;
};

// One pass over a text: the cursor, and the first fault with its place.
// Every parse function returns false after recording the first fault; the
// callers then unwind without touching the input again.
class ReadCursor {
protected:
    explicit ReadCursor(std::string_view text) noexcept
        : begin_(text.data()), end_(text.data() + text.size()), cur_(begin_) {}

    // Records `fault` at the byte `at` points to.
    bool fail(Fault fault, const char* at) noexcept {
        failed_ = true;
        failure_ = {fault, at};
        return false;
    }
    // Records `fault` at the end of input.
    bool fail_eof(Fault fault) noexcept { return fail(fault, end_); }

    // The only place that turns a fault into its description and position.
    // Line and column are worked out here, so the happy path never counts
    // lines. A fault at the end of input points at the last byte read.
    [[nodiscard]] JsonReadError error() const noexcept {
        auto offset = static_cast<std::size_t>(failure_.at - begin_);
        if (failure_.at == end_) {
            if (offset == 0) return {phrase(failure_.fault), 1, 0};
            --offset;
        }
        const std::string_view before(begin_, offset);
        const std::size_t line = 1 + static_cast<std::size_t>(std::ranges::count(before, '\n'));
        const std::size_t newline = before.rfind('\n');
        const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
        return {phrase(failure_.fault), line, offset - line_start + 1};
    }

    const char* const begin_;
    const char* const end_;
    const char* cur_;
    bool failed_ = false;
    ReadFailure failure_;
};

}  // namespace zarn::json::detail
