#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "bridge/call_bridge.hpp"
#include "bridge/runtime.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"
#include "json/writer.hpp"

namespace zarn::json {
inline void PrintTo(const JsonValue& value, std::ostream* os) { *os << to_json_text(value); }
}  // namespace zarn::json

namespace zarn::bridge {

// Reaches the bridge's locks and queue to put it in states that valid use
// never produces.
struct TokioCallBridgeTestPeer {
    static void poison_pending(TokioCallBridge& bridge) { poison(bridge.pending_.mutex_); }
    static void poison_receiver(TokioCallBridge& bridge) { poison(bridge.receiver_); }
    static void close_queue(TokioCallBridge& bridge) { bridge.queue_.close(); }

    static void poison(PoisonableMutex& mutex) {
        try {
            const auto guard = mutex.lock();
            throw std::runtime_error("failure inside the lock");
        } catch (const std::runtime_error&) {}
    }
};

namespace testing {

inline json::JsonValue json_value(std::string_view text) {
    auto value = json::read_json(text);
    if (!value) ADD_FAILURE() << "bad test JSON " << text << ": " << value.error().to_string();
    return value ? std::move(*value) : json::JsonValue();
}

// The "request_id" of a request text.
inline std::string request_id_of(std::string_view request_text) {
    const json::JsonValue request = json_value(request_text);
    const json::JsonValue* id = request.is_object() ? request.as_object().find("request_id") : nullptr;
    return id != nullptr && id->is_string() ? id->as_string().str() : std::string();
}

// The next request text, waiting as long as it takes.
inline std::string next_request(TokioCallBridge& bridge, Runtime& runtime) {
    auto received = bridge.receive_json(runtime, UINT64_MAX);
    if (!received || !*received) {
        ADD_FAILURE() << "no request received";
        return {};
    }
    return std::move(**received);
}

inline ToolCallRequest call(json::JsonValue arguments = json::JsonObject()) {
    return ToolCallRequest{"files", "search", std::move(arguments), "query"};
}

// An engine's bridge half: its runtime and its bridge.
struct Engine {
    std::shared_ptr<Runtime> runtime = build_runtime();
    std::shared_ptr<TokioCallBridge> bridge = std::make_shared<TokioCallBridge>();
    Engine() { bridge->set_attached(true); }
};

// Waits for a result that a correct bridge delivers promptly; a wait that
// never ends would be the fault under test, so after a generous bound the
// test fails and frees the call instead of hanging the suite.
template <class T>
T bounded_get(std::future<T>& future, TokioCallBridge& bridge) {
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "call never completed";
        bridge.cancel_pending("freed by the test");
    }
    return future.get();
}

}  // namespace testing
}  // namespace zarn::bridge
