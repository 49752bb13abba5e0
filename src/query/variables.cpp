#include "query/variables.hpp"

#include <format>
#include <utility>

#include "common/unicode.hpp"
#include "json/reader.hpp"

namespace zarn::query {

Result<json::JsonObject> parse_variables(std::optional<std::string_view> variables_json) {
    if (!variables_json || is_unicode_blank(*variables_json)) return json::JsonObject();
    // Untrimmed, so the reader's line and column count from the start of the
    // text the host passed.
    auto document = json::read_json(*variables_json);
    if (!document) return fail(std::format("invalid variables JSON: {}", document.error().to_string()));
    json::JsonObject* object = document->if_object();
    if (object == nullptr) return fail("variables_json must decode to a JSON object");
    return std::move(*object);
}

}  // namespace zarn::query
