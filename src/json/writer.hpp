#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace zarn::json {

// Compact JSON text: no white space, object members in their stored order.
void write_json(const JsonValue& value, std::string& out);
[[nodiscard]] std::string to_json_text(const JsonValue& value);

// The pieces, for records written in a fixed member order.
void write_string(std::string_view text, std::string& out);  // with the quotes
// What write_string puts between the quotes, for a string written in parts.
void write_string_body(std::string_view text, std::string& out);
// True when write_string_body would escape a byte of `text`; false means the
// text can be appended as it is.
[[nodiscard]] bool needs_escape(std::string_view text) noexcept;
void write_unsigned(std::uint64_t n, std::string& out);
void write_signed(std::int64_t n, std::string& out);
void write_double(double d, std::string& out);  // null when not finite

}  // namespace zarn::json
