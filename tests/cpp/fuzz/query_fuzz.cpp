// The query front end: `query` alone, or `query`, a "%%" line and a variables
// document. parse_variables fails exactly when the text is neither blank nor
// a JSON object, with the documented messages; parse_top_level_fields either
// fails with one of the scanner's messages (valid UTF-8, since messages show
// bytes as characters) or gives fields whose names are GraphQL names and
// whose arguments are JSON that reads back unchanged.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "common/unicode.hpp"
#include "fuzz_support.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "query/selection.hpp"
#include "query/variables.hpp"

namespace {

using namespace zarn;

constexpr std::array<std::string_view, 12> kMessagePrefixes = {
    "expected ",  // expected GraphQL name / expected {byte}, found ...
    "unterminated GraphQL balanced block: ",
    "unterminated GraphQL string literal",
    "unterminated GraphQL selection set",
    "unexpected end of GraphQL argument value",
    "unexpected character in GraphQL argument value: ",
    "missing GraphQL variable: $",
    "invalid GraphQL string literal: ",
    "invalid GraphQL number literal: ",
    "unsupported GraphQL operation: ",
    "GraphQL fragments are not supported by zarn-lite yet",
    "GraphQL argument value nesting exceeds 127 levels",
};

bool is_graphql_name(std::string_view name) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto name_byte = [&](char c) {
        return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || digit(c);
    };
    return !name.empty() && !digit(name[0]) && std::ranges::all_of(name, name_byte);
}

// Used when the input gives no usable variables: a few members to look up,
// one of them nested as deep as a variables document allows.
const json::JsonObject& default_variables() {
    static const json::JsonObject variables = [] {
        std::string deep(json::kMaxNestingDepth - 1, '[');
        deep.append(json::kMaxNestingDepth - 1, ']');
        auto document = json::read_json(R"({"a":1,"s":"text","o":{"k":[1,2.5,null]},"deep":)" + deep + "}");
        fuzz::expect(document.has_value(), "the default variables read");
        return document->as_object();
    }();
    return variables;
}

// The variables as execute would see them, checked against the reader;
// nothing when the input gives none that are usable.
std::optional<json::JsonValue> checked_variables(std::optional<std::string_view> text) {
    auto variables = query::parse_variables(text);
    if (!text || is_unicode_blank(*text)) {
        fuzz::expect(variables && variables->empty(), "absent or blank variables give an empty object");
        return std::nullopt;
    }
    const auto document = json::read_json(*text);
    if (!document) {
        fuzz::expect(!variables && variables.error() == "invalid variables JSON: " + document.error().to_string(),
                     "unreadable variables are refused with the reader's description");
        return std::nullopt;
    }
    if (!document->is_object()) {
        fuzz::expect(!variables && variables.error() == "variables_json must decode to a JSON object",
                     "variables that are not an object are refused");
        return std::nullopt;
    }
    fuzz::expect(variables && *variables == document->as_object(), "an object is the variables as read");
    return json::JsonValue(std::move(*variables));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzz::split_parts(fuzz::as_text(data, size), 2);
    const std::string_view query = parts[0];
    const auto given = checked_variables(parts.size() > 1 ? std::optional<std::string_view>(parts[1]) : std::nullopt);
    const json::JsonObject& variables = given ? given->as_object() : default_variables();

    auto fields = query::parse_top_level_fields(query, variables);
    if (!fields) {
        const std::string& message = fields.error();
        fuzz::expect(fuzz::is_utf8(message), "a message is valid UTF-8", message);
        fuzz::expect(std::ranges::any_of(kMessagePrefixes, [&](std::string_view p) { return message.starts_with(p); }),
                     "a message is one of the scanner's", message);
        return 0;
    }
    for (const query::SelectedField& field : *fields) {
        fuzz::expect(is_graphql_name(field.alias) && is_graphql_name(field.name), "names are GraphQL names",
                     std::string(field.alias) + ":" + std::string(field.name));
        for (const auto& [name, value] : field.arguments) {
            fuzz::expect(is_graphql_name(name), "argument names are GraphQL names", name);
            const std::string text = json::to_json_text(value);
            fuzz::expect(fuzz::is_compact_json(text), "an argument value is JSON", text);
            // A variable's value may sit inside literal lists, so a value can
            // be deeper than the reader takes; what it does take must match.
            const auto back = json::read_json(text);
            if (back) fuzz::expect(*back == value, "an argument reads back unchanged", text);
            else
                fuzz::expect(back.error().description == "recursion limit exceeded",
                             "an argument value is refused for its depth only", text);
        }
    }
    return 0;
}
