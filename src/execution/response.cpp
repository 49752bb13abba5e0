#include "execution/response.hpp"

#include "json/writer.hpp"

namespace zarn::execution {

std::string write_response(const GraphqlResponse& response) {
    std::string out;
    out.append(R"({"data":)");
    json::write_json(response.data, out);
    out.append(R"(,"errors":[)");
    for (std::size_t i = 0; i < response.errors.size(); ++i) {
        if (i != 0) out.push_back(',');
        out.append(R"({"message":)");
        json::write_string(response.errors[i].message, out);
        out.push_back('}');
    }
    out.append("]}");
    return out;
}

std::string graphql_error(std::string_view message) {
    GraphqlResponse response;
    response.errors.push_back(GraphqlError{std::string(message)});
    return write_response(response);
}

std::string graphql_success(json::JsonValue data) {
    return write_response(GraphqlResponse{std::move(data), {}});
}

}  // namespace zarn::execution
