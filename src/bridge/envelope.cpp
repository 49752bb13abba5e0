#include "bridge/envelope.hpp"

#include "json/writer.hpp"

namespace zarn::bridge {
namespace {

// The fixed parts of the request text, escaped already.
constexpr std::string_view kRequestIdKey = R"({"request_id":)";
constexpr std::string_view kServerKey = R"(,"server":)";
constexpr std::string_view kToolKey = R"(,"tool":)";
constexpr std::string_view kArgumentsKey = R"(,"arguments":)";
constexpr std::string_view kOperationKey = R"(,"operation":)";
constexpr std::string_view kToolErrorHead = R"({"isError":true,"json":null,"text":)";

// Room for the keys and quotes of a request, so that a request with small
// arguments is written without growing the buffer.
constexpr std::size_t kRequestOverhead = 128;

}  // namespace

void write_request_text(const BridgeEnvelope& envelope, std::string& out) {
    out.append(kRequestIdKey);
    json::write_string(envelope.request_id, out);
    out.append(kServerKey);
    json::write_string(envelope.server, out);
    out.append(kToolKey);
    json::write_string(envelope.tool, out);
    out.append(kArgumentsKey);
    json::write_json(envelope.arguments, out);
    out.append(kOperationKey);
    json::write_string(envelope.operation, out);
    out.push_back('}');
}

std::string request_text(const BridgeEnvelope& envelope) {
    std::string out;
    out.reserve(kRequestOverhead + envelope.request_id.size() + envelope.server.size() + envelope.tool.size() +
                envelope.operation.size());
    write_request_text(envelope, out);
    return out;
}

json::JsonValue tool_error_result(std::string_view message) {
    json::JsonObject object;
    object.reserve(3);
    object.append_sorted("isError", true);
    object.append_sorted("json", nullptr);
    object.append_sorted("text", message);
    return object;
}

std::string tool_error_text(std::string_view message) {
    std::string out;
    out.reserve(kToolErrorHead.size() + message.size() + 3);
    out.append(kToolErrorHead);
    json::write_string(message, out);
    out.push_back('}');
    return out;
}

}  // namespace zarn::bridge
