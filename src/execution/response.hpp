#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// One member of a success document's data object: a value, or JSON text
// written already (the catalogue's lists, which never change).
struct DataMember {
    std::string key;
    json::JsonValue value;
    const std::string* text = nullptr;  // when set, written in place of `value`
};

// {"data":null,"errors":[{"message":...}]}
[[nodiscard]] std::string graphql_error(std::string_view message);
// {"data":...,"errors":[]}
[[nodiscard]] std::string graphql_success(json::JsonValue data);
// The same around a data object given as members in insertion order: they are
// written in byte order of their keys, and of equal keys the last one counts.
[[nodiscard]] std::string graphql_success(std::vector<DataMember> members);

}  // namespace zarn::execution
