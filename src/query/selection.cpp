#include "query/selection.hpp"

#include <format>

#include "query/field_parser.hpp"

namespace zarn::query {

// document := selection_set
//           | ( "query" | "mutation" | "subscription" ) name? variable_definitions? directives
//             selection_set
// Anything after the first selection set is not read.
namespace {

Status parse_fields(std::string_view query, const json::JsonObject& variables, json::JsonObject* takeable_variables,
                    std::vector<SelectedField>& fields) {
    GraphqlFieldParser parser(query, variables);
    parser.skip_ignored();
    if (!parser.at('{')) {
        const auto keyword = parser.parse_name_view();
        if (!keyword) return fail(keyword.error());
        if (*keyword != "query" && *keyword != "mutation" && *keyword != "subscription")
            return fail(std::format("unsupported GraphQL operation: {}", *keyword));
        parser.skip_ignored();
        if (parser.at_name_start()) {
            // The operation name is not needed, only read past.
            if (auto name = parser.parse_name_view(); !name) return fail(std::move(name).error());
            parser.skip_ignored();
        }
        // Variable definitions are not read, so their defaults are never applied.
        if (parser.at('(')) {
            if (auto skipped = parser.skip_balanced('(', ')'); !skipped) return fail(std::move(skipped).error());
            parser.skip_ignored();
        }
        if (auto skipped = parser.skip_directives(); !skipped) return fail(std::move(skipped).error());
    }
    // Counted from here, after the variable definitions, which name every
    // variable once more.
    if (takeable_variables != nullptr && !takeable_variables->empty())
        parser.take_variable_values_at_last_reference(*takeable_variables);
    return parser.parse_selection_set(fields);
}

Result<std::vector<SelectedField>> fields_or_failure(Status parsed, std::vector<SelectedField>&& fields) {
    if (!parsed) return fail(std::move(parsed).error());
    return std::move(fields);
}

}  // namespace

Result<std::vector<SelectedField>> parse_top_level_fields(std::string_view query, const json::JsonObject& variables) {
    std::vector<SelectedField> fields;
    Status parsed = parse_fields(query, variables, nullptr, fields);
    return fields_or_failure(std::move(parsed), std::move(fields));
}

Result<std::vector<SelectedField>> parse_top_level_fields(std::string_view query, json::JsonObject&& variables) {
    std::vector<SelectedField> fields;
    Status parsed = parse_fields(query, variables, &variables, fields);
    return fields_or_failure(std::move(parsed), std::move(fields));
}

Status parse_top_level_fields(std::string_view query, json::JsonObject&& variables,
                              std::vector<SelectedField>& fields) {
    fields.clear();
    return parse_fields(query, variables, &variables, fields);
}

}  // namespace zarn::query
