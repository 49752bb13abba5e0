#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bounded_queue.hpp"
#include "bridge/envelope.hpp"
#include "bridge/pending_table.hpp"
#include "bridge/poisonable_mutex.hpp"
#include "bridge/reply_slot.hpp"
#include "bridge/runtime.hpp"
#include "common/result.hpp"
#include "json/value.hpp"

namespace zarn::bridge {

inline constexpr std::string_view kReceiverPoisoned = "bridge request receiver mutex poisoned";
inline constexpr std::string_view kDetachedMessage = "CallBridge is detached";

// One tool call to make. The texts are copied into the request; the
// arguments are taken over.
struct ToolCallRequest {
    std::string_view server;
    std::string_view tool;
    json::JsonValue arguments;
    std::string_view operation;  // "query" or "mutation"
};

// Calls that have been started and not yet collected. Move-only. Destroying
// it without wait() abandons the calls: their later replies are discarded
// and respond() reports false for them.
class CallBatch {
public:
    CallBatch(CallBatch&&) noexcept = default;
    CallBatch& operator=(CallBatch&&) = delete;
    ~CallBatch() {
        if (slots_ != nullptr) slots_->abandon();
    }

    [[nodiscard]] std::size_t size() const noexcept { return slots_ != nullptr ? slots_->size() : 0; }

    // Blocks the calling thread until every call has its outcome; the
    // outcomes in call order.
    [[nodiscard]] std::vector<Result<json::JsonValue>> wait() &&;

private:
    friend class TokioCallBridge;
    explicit CallBatch(std::shared_ptr<ReplySlots> slots) noexcept : slots_(std::move(slots)) {}

    std::shared_ptr<ReplySlots> slots_;
};

// The engine's tool-call bridge between the query resolvers, which post
// requests and wait for replies, and the host, which takes the requests
// (receive_json) and answers them (respond) on threads of its own.
//
// Shared state and locks:
// - the request queue (capacity kQueueCapacity, FIFO, waiting producers are
//   parked rather than blocked; see BoundedQueue);
// - the pending table (its own poisonable lock, one map operation per hold);
// - the receiver lock, held by one receive_json for its whole wait, so
//   concurrent receivers take turns;
// - the request counter and the attached flag, both atomic.
// The pending and receiver locks are never held together, and no lock is
// held while a call waits for queue space or for its reply.
//
// Every call outcome is the host's reply parsed as JSON, or one of the
// messages "CallBridge request channel is closed", "CallBridge response
// channel is closed", "CallBridge returned invalid JSON: {}".
class TokioCallBridge {
public:
    static constexpr std::size_t kQueueCapacity = 1024;

    TokioCallBridge() = default;
    TokioCallBridge(const TokioCallBridge&) = delete;
    TokioCallBridge& operator=(const TokioCallBridge&) = delete;

    // Whether tool fields go through the bridge (sequentially consistent).
    [[nodiscard]] bool attached() const noexcept { return attached_.load(std::memory_order_seq_cst); }
    void set_attached(bool attached) noexcept { attached_.store(attached, std::memory_order_seq_cst); }

    // Starts every call in order: its request id is drawn, its reply slot
    // registered, its envelope queued (or parked behind a full queue, which
    // never holds up the calls after it; a parked call is over only once its
    // envelope has entered the queue, even if its reply came first). A call
    // that finds the bridge
    // detached after registering takes its registration back, queues
    // nothing, and completes with tool_error_result("CallBridge is detached").
    [[nodiscard]] CallBatch start_calls(std::vector<ToolCallRequest> calls);

    // start_calls(calls), then waits for all of them: outcomes in call order.
    [[nodiscard]] std::vector<Result<json::JsonValue>> call_tools(std::vector<ToolCallRequest> calls);

    // One call, started and waited for on its own.
    [[nodiscard]] Result<json::JsonValue> call_tool(std::string_view server, std::string_view tool,
                                                    json::JsonValue arguments, std::string_view operation);

    // The next request text, or nothing. A zero timeout polls; otherwise waits
    // up to timeout_ms (a deadline beyond the clock's range waits without
    // limit), ended by the runtime's timer. Holds the receiver lock
    // throughout.
    [[nodiscard]] Result<std::optional<std::string>> receive_json(Runtime& runtime, std::uint64_t timeout_ms);

    // Hands reply to the call registered under request_id. False when there
    // is none (never issued, answered already, ended by a detach) or it no
    // longer waits; the reply is then discarded.
    bool respond(std::string_view request_id, std::string reply);

    // Answers every registered call with the text of tool_error_result(message).
    // Envelopes still queued stay queued.
    void cancel_pending(std::string_view message);

    [[nodiscard]] std::size_t queued_count() const { return queue_.queued(); }
    [[nodiscard]] std::size_t waiting_producer_count() const { return queue_.waiting(); }
    [[nodiscard]] std::size_t pending_count() const { return pending_.size(); }
    [[nodiscard]] std::uint64_t next_request_id() const noexcept {
        return next_request_id_.load(std::memory_order_seq_cst);
    }

private:
    friend struct TokioCallBridgeTestPeer;

    void start_call(const std::shared_ptr<ReplySlots>& slots, std::uint32_t index, std::string_view server,
                    std::string_view tool, json::JsonValue&& arguments, std::string_view operation);

    // Keeps a parked call's batch waiting until the envelope enters the queue.
    struct Admission {
        std::shared_ptr<ReplySlots> slots;
        void admit() noexcept { slots->admitted(); }
    };

    BoundedQueue<BridgeEnvelope, Admission> queue_{kQueueCapacity};
    PoisonableMutex receiver_{kReceiverPoisoned};
    PendingTable pending_;
    std::atomic<std::uint64_t> next_request_id_{1};
    std::atomic<bool> attached_{false};
};

}  // namespace zarn::bridge
