// The whole execution core on (catalogue, query, variables) triples, with an
// optional fourth part: the reply text a host thread gives to every tool
// call, with the bridge attached. Parts are separated by "%%" lines.
//
// The response must be compact JSON of one of the two document shapes, and
// exactly the document worked out here from the front end's own results:
// the first query-level failure as an error document, or a success whose
// data holds built-in values, placeholders (detached) or the parsed reply
// (attached) under the response keys, tool fields winning. With the bridge
// attached every tool field makes one request, with consecutive ids and the
// request text's fixed member order.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bridge/call_bridge.hpp"
#include "bridge/envelope.hpp"
#include "common/unicode.hpp"
#include "execution/engine_state.hpp"
#include "execution/response.hpp"
#include "fuzz_support.hpp"
#include "json/reader.hpp"
#include "query/selection.hpp"
#include "query/variables.hpp"
#include "support/reference.hpp"

namespace {

using namespace zarn;
using json::JsonObject;
using json::JsonValue;

std::optional<std::string_view> part(const std::vector<std::string_view>& parts, std::size_t i) {
    return i < parts.size() ? std::optional<std::string_view>(parts[i]) : std::nullopt;
}

// The document execute must give, or the message of its error document.
std::expected<std::string, std::string> expected_document(const execution::EngineState& engine, std::string_view query,
                                                          std::optional<std::string_view> variables_text,
                                                          std::optional<std::string_view> reply,
                                                          std::size_t& tool_fields) {
    const std::string_view trimmed = trim_unicode_whitespace(query);
    if (trimmed.empty()) return std::unexpected("GraphQL query must not be blank");
    auto variables = query::parse_variables(variables_text);
    if (!variables) return std::unexpected(variables.error());
    auto fields = query::parse_top_level_fields(trimmed, *variables);
    if (!fields) return std::unexpected(fields.error());
    if (fields->empty()) return std::unexpected("GraphQL query must select at least one top-level field");

    JsonValue reply_value;
    if (reply) {
        auto read = json::read_json(*reply);
        reply_value = read ? std::move(*read)
                           : bridge::tool_error_result("CallBridge returned invalid JSON: " + read.error().to_string());
    }
    JsonObject data;
    std::vector<std::pair<std::string, JsonValue>> tool_values;
    for (const query::SelectedField& field : *fields) {
        if (field.name == "__typename") {
            data.insert_or_assign(std::string(field.alias), JsonValue("Query"));
        } else if (field.name == "servers") {
            data.insert_or_assign(std::string(field.alias), JsonValue(reference::server_summaries(engine.tools)));
        } else if (field.name == "search") {
            data.insert_or_assign(std::string(field.alias), JsonValue(reference::search_hits(engine.tools)));
        } else if (const catalogue::ToolMetadata* tool = engine.tools.find_field(field.name)) {
            tool_values.emplace_back(field.alias, reply ? reply_value : reference::placeholder_result(*tool));
        } else {
            return std::unexpected("unknown GraphQL field: " + std::string(field.name));
        }
    }
    tool_fields = tool_values.size();
    for (auto& [alias, value] : tool_values) data.insert_or_assign(std::move(alias), std::move(value));
    return reference::graphql_success(JsonValue(std::move(data)));
}

// A host thread that answers every request with the same reply until it is
// finished, checking each request text on the way.
class Host {
public:
    Host(const execution::EngineState& engine, std::string_view reply)
        : engine_(engine), reply_(reply), next_id_(engine.bridge->next_request_id()), thread_([this] { serve(); }) {}
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    ~Host() { (void)finish(); }

    // Stops the thread; the number of requests it answered.
    std::size_t finish() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        return served_;
    }

private:
    void serve() {
        constexpr std::string_view kIdStart = R"({"request_id":")";
        while (!stop_.load()) {
            auto text = engine_.bridge->receive_json(*engine_.runtime, 2);
            fuzz::expect(text.has_value(), "a request is writable");
            if (!*text) continue;
            const std::string& request = **text;
            fuzz::expect(fuzz::is_compact_json(request), "a request is compact JSON", request);
            fuzz::expect(request.starts_with(kIdStart), "a request starts with its id", request);
            const std::size_t id_end = request.find('"', kIdStart.size());
            const std::string id = request.substr(kIdStart.size(), id_end - kIdStart.size());
            fuzz::expect(id == "tool-call-" + std::to_string(next_id_++), "requests are numbered in order", request);
            const std::size_t server = request.find(R"(,"server":")", id_end);
            const std::size_t tool = request.find(R"(","tool":")", server);
            const std::size_t arguments = request.find(R"(","arguments":{)", tool);
            fuzz::expect(server == id_end + 1 && tool != std::string::npos && arguments != std::string::npos &&
                             (request.ends_with(R"(},"operation":"query"})") ||
                              request.ends_with(R"(},"operation":"mutation"})")),
                         "a request has its members in the fixed order", request);
            fuzz::expect(engine_.bridge->respond(id, std::string(reply_)), "a waiting call takes its reply", id);
            ++served_;
        }
    }

    const execution::EngineState& engine_;
    std::string_view reply_;
    std::uint64_t next_id_;
    std::size_t served_ = 0;  // written by the thread only until finish() joins it
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzz::split_parts(fuzz::as_text(data, size), 4);
    auto engine = execution::from_catalogue_json(parts[0]);
    if (!engine) {
        fuzz::expect(engine.error().starts_with("invalid catalogue JSON: "), "only unreadable catalogues fail",
                     engine.error());
        return 0;
    }
    const std::string_view query = part(parts, 1).value_or("{ __typename }");
    const std::optional<std::string_view> variables = part(parts, 2);
    const std::optional<std::string_view> reply = part(parts, 3);

    std::size_t tool_fields = 0;
    const auto expected = expected_document(*engine, query, variables, reply, tool_fields);
    std::string response;
    std::size_t served = 0;
    if (reply) {
        engine->bridge->set_attached(true);
        Host host(*engine, *reply);
        response = execution::execute_json(*engine, query, variables);
        served = host.finish();
    } else {
        response = execution::execute_json(*engine, query, variables);
    }

    fuzz::expect(fuzz::is_compact_json(response), "the response is compact JSON", response);
    if (expected) {
        fuzz::expect(response.starts_with(R"({"data":{)") && response.ends_with(R"(},"errors":[]})"),
                     "a success document has data and no errors", response);
        fuzz::expect(response == *expected, "the success document holds the expected values", response);
        fuzz::expect(served == (reply ? tool_fields : 0), "every tool field made one request, if attached");
    } else {
        fuzz::expect(response == execution::graphql_error(expected.error()),
                     "a failure is an error document with the first failure's message", response);
        fuzz::expect(served == 0, "a failed query calls no tool");
    }
    fuzz::expect(engine->bridge->pending_count() == 0 && engine->bridge->queued_count() == 0,
                 "nothing is left waiting in the bridge");
    return 0;
}
