#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace zarn::json {

// Compact JSON text: no white space, object members in their stored order.
void write_json(const JsonValue& value, std::string& out);
[[nodiscard]] std::string to_json_text(const JsonValue& value);

// The pieces, for records written in a fixed member order.
void write_string(std::string_view text, std::string& out);  // with the quotes
// One string whose text is the pieces one after the other.
void write_string(std::span<const std::string_view> pieces, std::string& out);
void write_unsigned(std::uint64_t n, std::string& out);
void write_signed(std::int64_t n, std::string& out);
void write_double(double d, std::string& out);  // null when not finite

}  // namespace zarn::json
