#include "execution/response.hpp"

#include <algorithm>

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

std::string graphql_success(std::vector<DataMember> members) {
    // Stable, so that of equal keys the one given last comes last and wins.
    std::ranges::stable_sort(members, {}, &DataMember::key);
    std::string out;
    out.append(R"({"data":{)");
    bool first = true;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
        if (!first) out.push_back(',');
        first = false;
        json::write_string(members[i].key, out);
        out.push_back(':');
        if (members[i].text != nullptr)
            out.append(*members[i].text);
        else
            json::write_json(members[i].value, out);
    }
    out.append(R"(},"errors":[]})");
    return out;
}

}  // namespace zarn::execution
