#pragma once

#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "catalogue/tool_metadata.hpp"
#include "json/value.hpp"

namespace zarn::execution {

struct GraphqlError {
    std::string message;
};

// Written as {"data":...,"errors":[...]}: both members always, in this order.
struct GraphqlResponse {
    json::JsonValue data;
    std::vector<GraphqlError> errors;
};

[[nodiscard]] std::string write_response(const GraphqlResponse& response);

// The value of one member of a success document's data object: a value, JSON
// text written already (the catalogue's lists, which never change), or the
// placeholder result of a tool, written straight from its record.
using DataValue = std::variant<json::JsonValue, const std::string*, const catalogue::ToolMetadata*>;

// One member of the data object. The key is a GraphQL name (an alias or a
// field name), borrowed from the query text; it must outlive the writing of
// the response.
struct DataMember {
    std::string_view key;
    DataValue value;
};

// {"data":null,"errors":[{"message":...}]}
[[nodiscard]] std::string graphql_error(std::string_view message);
// {"data":{...},"errors":[]} around a data object given as members in insertion order: they are
// written in byte order of their keys, and of equal keys the last one counts.
// The members are reordered on the way.
[[nodiscard]] std::string graphql_success(std::span<DataMember> members);
// The same appended to `out`.
void graphql_success(std::span<DataMember> members, std::string& out);

}  // namespace zarn::execution
