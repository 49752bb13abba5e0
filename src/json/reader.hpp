#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace zarn::json {

// Arrays and objects may nest this deep; one level more is an error.
inline constexpr std::size_t kMaxNestingDepth = 127;

// Why a text is not one JSON document, and where (line and column from 1).
struct JsonReadError {
    std::string_view description;  // one of the reader's fixed phrases
    std::size_t line = 1;
    std::size_t column = 0;

    // "{description} at line {line} column {column}"
    [[nodiscard]] std::string to_string() const;
};

// Reads one JSON document (RFC 8259). White space around the value is allowed;
// anything else after it is "trailing characters".
[[nodiscard]] std::expected<JsonValue, JsonReadError> read_json(std::string_view text);

}  // namespace zarn::json
