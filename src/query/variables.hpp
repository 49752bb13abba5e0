#pragma once

#include <optional>
#include <string_view>

#include "common/result.hpp"
#include "json/value.hpp"

namespace zarn::query {

// Reads the variables document of one execute call. Absent or blank text
// (only Unicode White_Space) gives an empty object; otherwise the whole text
// must be one JSON document whose value is an object.
[[nodiscard]] Result<json::JsonObject> parse_variables(std::optional<std::string_view> variables_json);

}  // namespace zarn::query
