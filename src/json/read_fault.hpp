#pragma once

#include <cstdint>
#include <string_view>

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

}  // namespace zarn::json::detail
