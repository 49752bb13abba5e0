#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "json/value.hpp"

namespace zarn::query {

// One field of the operation's top-level selection set. Names are views into
// the query text: they live as long as it does.
struct SelectedField {
    std::string_view alias;      // the response key: the alias if written, else the name
    std::string_view name;       // the field name as written
    json::JsonObject arguments;  // a repeated argument keeps the value given last
};

// Reads the single operation of `query` (shorthand `{ ... }` or introduced by
// query / mutation / subscription) and returns its top-level fields in the
// order written; the list may be empty. The operation name, variable
// definitions, directives and every sub-selection are skipped unread. Text
// after the first selection set is ignored. `$name` values are deep copies of
// members of `variables`, which is only read during the call.
[[nodiscard]] Result<std::vector<SelectedField>> parse_top_level_fields(std::string_view query,
                                                                        const json::JsonObject& variables);

// The same for a caller that is done with `variables` afterwards: a value is
// moved, not copied, into the last reference to it. What is left in
// `variables` is unspecified.
[[nodiscard]] Result<std::vector<SelectedField>> parse_top_level_fields(std::string_view query,
                                                                        json::JsonObject&& variables);

// The same into `fields`, which is cleared first, so that a caller parsing
// query after query can keep one list's storage. After a failure `fields`
// holds what was read before it.
[[nodiscard]] Status parse_top_level_fields(std::string_view query, json::JsonObject&& variables,
                                            std::vector<SelectedField>& fields);

}  // namespace zarn::query
