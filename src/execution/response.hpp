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

// {"data":null,"errors":[{"message":...}]}
[[nodiscard]] std::string graphql_error(std::string_view message);
// {"data":...,"errors":[]}
[[nodiscard]] std::string graphql_success(json::JsonValue data);

}  // namespace zarn::execution
