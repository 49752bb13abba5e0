// Round trips through the call bridge, with a host thread answering every
// request, and the pieces on the way: request text, polling, the timer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/call_bridge.hpp"
#include "bridge/runtime.hpp"

namespace zarn::bridge {
namespace {

// The request id of a request text, found by position: it is the first member.
std::string_view request_id_of(std::string_view text) {
    constexpr std::string_view kHead = "{\"request_id\":\"";
    const std::size_t end = text.find('"', kHead.size());
    return text.substr(kHead.size(), end - kHead.size());
}

// A host service thread answering every request with a fixed reply.
class Host {
public:
    Host(TokioCallBridge& bridge, Runtime& runtime, std::string reply)
        : thread_([this, &bridge, &runtime, reply = std::move(reply)] {
              while (!stopping_.load(std::memory_order_relaxed)) {
                  const auto received = bridge.receive_json(runtime, 10);
                  if (received && *received) (void)bridge.respond(request_id_of(**received), reply);
              }
          }) {}
    ~Host() {
        stopping_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

json::JsonValue sample_arguments() { return json::JsonObject{{"limit", 5}, {"query", "graphql"}}; }

void BM_CallToolRoundTrip(benchmark::State& state) {
    const auto runtime = build_runtime();
    TokioCallBridge bridge;
    bridge.set_attached(true);
    const Host host(bridge, *runtime, R"({"hits":[1,2,3]})");
    for (auto _ : state) {
        auto outcome = bridge.call_tool("files", "search", sample_arguments(), "query");
        benchmark::DoNotOptimize(outcome);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CallToolRoundTrip)->UseRealTime();

void BM_CallToolsBatch(benchmark::State& state) {
    const auto runtime = build_runtime();
    TokioCallBridge bridge;
    bridge.set_attached(true);
    const Host host(bridge, *runtime, "42");
    const auto calls = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        std::vector<ToolCallRequest> batch(calls, ToolCallRequest{"files", "search", sample_arguments(), "query"});
        auto outcomes = bridge.call_tools(std::move(batch));
        benchmark::DoNotOptimize(outcomes);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CallToolsBatch)->Arg(2)->Arg(16)->Arg(128)->Arg(1024)->Arg(4096)->UseRealTime();

// Starting and collecting calls without a host thread: the bridge's own cost.
void BM_StartReceiveRespond(benchmark::State& state) {
    const auto runtime = build_runtime();
    TokioCallBridge bridge;
    bridge.set_attached(true);
    const auto calls = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        std::vector<ToolCallRequest> batch(calls, ToolCallRequest{"files", "search", sample_arguments(), "query"});
        auto started = bridge.start_calls(std::move(batch));
        while (auto received = bridge.receive_json(*runtime, 0).value()) {
            (void)bridge.respond(request_id_of(*received), "42");
        }
        auto outcomes = std::move(started).wait();
        benchmark::DoNotOptimize(outcomes);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_StartReceiveRespond)->Arg(1)->Arg(64)->Arg(1024);

void BM_RequestText(benchmark::State& state) {
    const BridgeEnvelope envelope{"tool-call-12345", "files", "search", sample_arguments(), "query"};
    for (auto _ : state) {
        auto text = request_text(envelope);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_RequestText);

void BM_PollEmptyQueue(benchmark::State& state) {
    const auto runtime = build_runtime();
    TokioCallBridge bridge;
    for (auto _ : state) {
        auto received = bridge.receive_json(*runtime, 0);
        benchmark::DoNotOptimize(received);
    }
}
BENCHMARK(BM_PollEmptyQueue);

void BM_RespondUnknownId(benchmark::State& state) {
    TokioCallBridge bridge;
    for (auto _ : state) benchmark::DoNotOptimize(bridge.respond("tool-call-424242", "1"));
}
BENCHMARK(BM_RespondUnknownId);

// What a receive that has to wait registers with the timer, and cancels.
void BM_DeadlineArmAndCancel(benchmark::State& state) {
    const auto runtime = build_runtime();
    Parker parker;
    for (auto _ : state) {
        const Runtime::Deadline deadline(*runtime, Runtime::Clock::now() + std::chrono::milliseconds(100), parker);
        benchmark::DoNotOptimize(&deadline);
    }
    state.counters["rearms"] = static_cast<double>(runtime->timer_rearm_count());
}
BENCHMARK(BM_DeadlineArmAndCancel);

}  // namespace
}  // namespace zarn::bridge
