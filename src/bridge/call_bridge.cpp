#include "bridge/call_bridge.hpp"

#include <charconv>
#include <chrono>
#include <cstring>
#include <limits>
#include <utility>

#include "common/stop.hpp"
#include "json/reader.hpp"

namespace zarn::bridge {
namespace {

constexpr std::string_view kRequestChannelClosed = "CallBridge request channel is closed";
constexpr std::string_view kResponseChannelClosed = "CallBridge response channel is closed";
constexpr std::string_view kInvalidJsonPrefix = "CallBridge returned invalid JSON: ";
constexpr std::string_view kRequestIdPrefix = "tool-call-";

// "tool-call-" and the decimal number, built on the stack.
class RequestId {
public:
    explicit RequestId(std::uint64_t number) noexcept {
        std::memcpy(text_, kRequestIdPrefix.data(), kRequestIdPrefix.size());
        const auto [end, ec] = std::to_chars(text_ + kRequestIdPrefix.size(), text_ + sizeof text_, number);
        (void)ec;  // 20 digits always fit
        size_ = static_cast<std::size_t>(end - text_);
    }
    [[nodiscard]] std::string_view view() const noexcept { return {text_, size_}; }

private:
    char text_[32];
    std::size_t size_;
};

Result<json::JsonValue> outcome(ReplyState state, const std::string& reply) {
    switch (state) {
        case ReplyState::answered: {
            auto value = json::read_json(reply);
            if (!value) return fail(std::string(kInvalidJsonPrefix) + value.error().to_string());
            return std::move(*value);
        }
        case ReplyState::detached: return tool_error_result(kDetachedMessage);
        case ReplyState::refused: return fail(std::string(kRequestChannelClosed));
        case ReplyState::sender_dropped:
        case ReplyState::waiting: break;
    }
    return fail(std::string(kResponseChannelClosed));
}

// Now plus the timeout on the runtime's clock; none when that lies beyond
// the clock's range.
std::optional<Runtime::Clock::time_point> deadline_after(std::uint64_t timeout_ms) {
    using std::chrono::milliseconds;
    const Runtime::Clock::time_point now = Runtime::Clock::now();
    const auto room = std::chrono::duration_cast<milliseconds>(Runtime::Clock::time_point::max() - now);
    if (room.count() < 0 || timeout_ms > static_cast<std::uint64_t>(room.count())) return std::nullopt;
    return now + std::chrono::duration_cast<Runtime::Clock::duration>(
                     milliseconds(static_cast<milliseconds::rep>(timeout_ms)));
}

// The slots' count covers every call and, while parked, its admission too.
std::uint32_t batch_size(std::size_t calls) {
    if (calls > std::numeric_limits<std::uint32_t>::max() / 2) stop("CallBridge batch is too large");
    return static_cast<std::uint32_t>(calls);
}

}  // namespace

std::vector<Result<json::JsonValue>> CallBatch::wait() && {
    std::vector<Result<json::JsonValue>> outcomes;
    if (slots_ == nullptr) return outcomes;
    const std::shared_ptr<ReplySlots> slots = std::move(slots_);
    slots->wait();
    outcomes.reserve(slots->size());
    for (std::uint32_t i = 0; i < slots->size(); ++i) outcomes.push_back(outcome(slots->state(i), slots->reply(i)));
    return outcomes;
}

void TokioCallBridge::start_call(const std::shared_ptr<ReplySlots>& slots, std::uint32_t index, std::string_view server,
                                 std::string_view tool, json::JsonValue&& arguments, std::string_view operation) {
    const RequestId id(next_request_id_.fetch_add(1, std::memory_order_seq_cst));
    {
        // Registered before queued: every request the host receives has a
        // slot to answer. A displaced sender (the counter wrapped) is dropped
        // here, outside the table's lock, which ends that older call.
        ReplySender displaced = pending_.insert(std::string(id.view()), ReplySender(slots, index));
    }
    // A detach stores false and then drains the table. If this call read
    // "attached" before the store but registered after the drain, nobody
    // would ever answer it; seeing false here covers exactly that case (and
    // if the drain did take the entry, its reply is on the way).
    if (!attached()) {
        if (ReplySender own = pending_.take_own(id.view(), *slots, index)) own.end(ReplyState::detached);
        return;
    }
    const auto pushed = queue_.push(BridgeEnvelope{std::string(id.view()), std::string(server), std::string(tool),
                                                   std::move(arguments), std::string(operation)},
                                    [&slots] {
                                        slots->hold();
                                        return Admission{slots};
                                    });
    if (pushed == decltype(queue_)::Push::refused) {
        if (ReplySender own = pending_.take_own(id.view(), *slots, index)) own.end(ReplyState::refused);
    }
}

CallBatch TokioCallBridge::start_calls(std::vector<ToolCallRequest> calls) {
    const std::uint32_t count = batch_size(calls.size());
    auto slots = std::make_shared<ReplySlots>(count);
    CallBatch batch(slots);
    for (std::uint32_t i = 0; i < count; ++i) {
        ToolCallRequest& call = calls[i];
        start_call(slots, i, call.server, call.tool, std::move(call.arguments), call.operation);
    }
    return batch;
}

std::vector<Result<json::JsonValue>> TokioCallBridge::call_tools(std::vector<ToolCallRequest> calls) {
    if (calls.empty()) return {};
    return start_calls(std::move(calls)).wait();
}

Result<json::JsonValue> TokioCallBridge::call_tool(std::string_view server, std::string_view tool,
                                                   json::JsonValue arguments, std::string_view operation) {
    auto slots = std::make_shared<ReplySlots>(1);
    const CallBatch batch(slots);  // abandons the slot if this call is cut short
    start_call(slots, 0, server, tool, std::move(arguments), operation);
    slots->wait();
    return outcome(slots->state(0), slots->reply(0));
}

Result<std::optional<std::string>> TokioCallBridge::receive_json(Runtime& runtime, std::uint64_t timeout_ms) {
    std::optional<BridgeEnvelope> envelope;
    {
        const auto guard = receiver_.lock();
        envelope = timeout_ms == 0 ? queue_.try_pop() : queue_.pop_until(runtime, deadline_after(timeout_ms));
    }
    if (!envelope) return std::optional<std::string>();
    return std::optional<std::string>(request_text(*envelope));
}

bool TokioCallBridge::respond(std::string_view request_id, std::string reply) {
    ReplySender sender = pending_.take(request_id);
    return sender.send(std::move(reply));
}

void TokioCallBridge::cancel_pending(std::string_view message) {
    const std::string text = tool_error_text(message);
    PendingTable::Map drained = pending_.drain();
    for (auto& entry : drained) (void)entry.second.send(text);
}

}  // namespace zarn::bridge
