#include "execution/response.hpp"

#include <algorithm>
#include <iterator>
#include <ranges>

#include "common/bytes.hpp"
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

namespace {

// Enough for a member whose size is known ahead (ready text, a placeholder),
// so that the response grows at most a few times for the rest.
std::size_t size_hint(const DataMember& member) {
    constexpr std::size_t kKeyAndPunctuation = 4;
    constexpr std::size_t kValue = 16;
    const std::size_t key = member.key.size() + kKeyAndPunctuation;
    if (const auto* text = std::get_if<const std::string*>(&member.value)) return key + (*text)->size();
    if (const auto* tool = std::get_if<const catalogue::ToolMetadata*>(&member.value))
        return key + (*tool)->placeholder_result_size();
    if (const json::JsonString* text = std::get<json::JsonValue>(member.value).if_string())
        return key + text->size() + 2;
    return key + kValue;
}

void write_data_value(const DataValue& value, std::string& out) {
    if (const auto* json_value = std::get_if<json::JsonValue>(&value)) {
        // A lone string ("__typename") needs no writer set up around it.
        if (const json::JsonString* text = json_value->if_string()) json::write_string(*text, out);
        else json::write_json(*json_value, out);
    } else if (const auto* text = std::get_if<const std::string*>(&value)) {
        out.append(**text);
    } else {
        std::get<const catalogue::ToolMetadata*>(value)->write_placeholder_result(out);
    }
}

// `"key":`. Keys are GraphQL names, letters, digits and "_", which JSON
// never escapes.
void append_key(std::string_view key, std::string& out) {
    const std::size_t size = out.size();
    out.resize_and_overwrite(size + key.size() + 3, [&](char* text, std::size_t) noexcept {
        char* p = text + size;
        *p++ = '"';
        p = std::ranges::copy(key, p).out;
        *p++ = '"';
        *p++ = ':';
        return static_cast<std::size_t>(p - text);
    });
}

// Writes the data object's members, given in key order (equal keys adjacent,
// the one given last last): of equal keys only the last is written.
template <class InKeyOrder>
void write_members(const InKeyOrder& members, std::string& out) {
    bool first = true;
    for (auto it = members.begin(); it != members.end(); ++it) {
        const DataMember& member = *it;
        if (const auto next = std::next(it); next != members.end() && (*next).key == member.key) continue;
        if (!first) out.push_back(',');
        first = false;
        append_key(member.key, out);
        write_data_value(member.value, out);
    }
}

// Stable throughout, so that of equal keys the one given last comes last and
// wins. A handful of members (most queries) sort by insertion in place, which
// needs no scratch buffer; more sort as pointers, so that the members
// themselves never move.
void write_members_in_key_order(std::span<DataMember> members, std::string& out) {
    if (members.size() > bytes::kInsertionSortLimit) {
        std::vector<const DataMember*> order;
        order.reserve(members.size());
        for (const DataMember& member : members) order.push_back(&member);
        std::ranges::stable_sort(order, {}, &DataMember::key);
        write_members(
            order | std::views::transform([](const DataMember* member) -> const DataMember& { return *member; }), out);
        return;
    }
    bytes::insertion_sort(members, [](const DataMember& a, const DataMember& b) { return a.key < b.key; });
    write_members(members, out);
}

}  // namespace

void graphql_success(std::span<DataMember> members, std::string& out) {
    constexpr std::string_view kOpening = R"({"data":{)";
    constexpr std::string_view kClosing = R"(},"errors":[]})";
    std::size_t size = out.size() + kOpening.size() + kClosing.size();
    for (const DataMember& member : members) size += size_hint(member);
    out.reserve(size);
    out.append(kOpening);
    write_members_in_key_order(members, out);
    out.append(kClosing);
}

std::string graphql_success(std::span<DataMember> members) {
    std::string out;
    graphql_success(members, out);
    return out;
}

}  // namespace zarn::execution
