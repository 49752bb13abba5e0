#pragma once

#include <string>
#include <string_view>

#include "json/value.hpp"

namespace zarn::bridge {

// One queued tool call, owned by the queue until the host takes it.
struct BridgeEnvelope {
    std::string request_id, server, tool;
    json::JsonValue arguments;
    std::string operation;
};

// The request text the host receives: compact JSON with the members in the
// fixed order "request_id", "server", "tool", "arguments", "operation" (field
// order, not sorted; the members inside "arguments" are sorted as always).
void write_request_text(const BridgeEnvelope& envelope, std::string& out);
[[nodiscard]] std::string request_text(const BridgeEnvelope& envelope);

// The value of a tool field whose call failed, was failed by the host or was
// ended by a detach: {"isError":true,"json":null,"text":message}.
[[nodiscard]] json::JsonValue tool_error_result(std::string_view message);

// to_json_text(tool_error_result(message)), written without building the
// value first: the reply text that cancel_pending and failing hosts send.
[[nodiscard]] std::string tool_error_text(std::string_view message);

}  // namespace zarn::bridge
