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

namespace {

// Enough for a member whose size is known ahead (ready text, a placeholder),
// so that the response grows at most a few times for the rest.
std::size_t size_hint(const DataMember& member) {
    constexpr std::size_t kKeyAndPunctuation = 4;
    constexpr std::size_t kPlaceholderText = 96;
    constexpr std::size_t kValue = 16;
    const std::size_t key = member.key.size() + kKeyAndPunctuation;
    if (const auto* text = std::get_if<const std::string*>(&member.value)) return key + (*text)->size();
    if (const auto* tool = std::get_if<const catalogue::ToolMetadata*>(&member.value))
        return key + kPlaceholderText + (*tool)->server.size() + (*tool)->tool.size();
    return key + kValue;
}

void write_data_value(const DataValue& value, std::string& out) {
    if (const auto* json_value = std::get_if<json::JsonValue>(&value)) {
        json::write_json(*json_value, out);
    } else if (const auto* text = std::get_if<const std::string*>(&value)) {
        out.append(**text);
    } else {
        std::get<const catalogue::ToolMetadata*>(value)->write_placeholder_result(out);
    }
}

// Into key order, stably, so that of equal keys the one given last comes last
// and wins. Most queries select a handful of fields: those sort in place by
// insertion, which needs no scratch buffer.
void sort_by_key(std::vector<DataMember>& members) {
    constexpr std::size_t kInsertionSortLimit = 16;
    if (members.size() > kInsertionSortLimit) {
        std::ranges::stable_sort(members, {}, &DataMember::key);
        return;
    }
    for (std::size_t i = 1; i < members.size(); ++i) {
        if (!(members[i].key < members[i - 1].key)) continue;
        DataMember moving = std::move(members[i]);
        std::size_t j = i;
        for (; j > 0 && moving.key < members[j - 1].key; --j) members[j] = std::move(members[j - 1]);
        members[j] = std::move(moving);
    }
}

}  // namespace

std::string graphql_success(std::vector<DataMember> members) {
    sort_by_key(members);
    constexpr std::string_view kOpening = R"({"data":{)";
    constexpr std::string_view kClosing = R"(},"errors":[]})";
    std::size_t size = kOpening.size() + kClosing.size();
    for (const DataMember& member : members) size += size_hint(member);
    std::string out;
    out.reserve(size);
    out.append(kOpening);
    bool first = true;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
        if (!first) out.push_back(',');
        first = false;
        json::write_string(members[i].key, out);
        out.push_back(':');
        write_data_value(members[i].value, out);
    }
    out.append(kClosing);
    return out;
}

}  // namespace zarn::execution
