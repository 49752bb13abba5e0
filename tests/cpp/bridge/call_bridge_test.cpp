#include "bridge/call_bridge.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge/test_support.hpp"
#include "common/stop.hpp"

namespace zarn::bridge {
namespace {

using testing::bounded_get;
using testing::call;
using testing::Engine;
using testing::json_value;
using testing::next_request;
using testing::request_id_of;

std::string invalid_json(std::string_view reply) {
    return "CallBridge returned invalid JSON: " + json::read_json(reply).error().to_string();
}

TEST(BridgeEnvelope, RequestTextKeepsFieldOrderAndSortsArguments) {
    Engine engine;
    auto batch =
        engine.bridge->start_calls({{"files", "search", json_value(R"({"query":"graphql","limit":5})"), "query"}});
    EXPECT_EQ(next_request(*engine.bridge, *engine.runtime),
              R"({"request_id":"tool-call-1","server":"files","tool":"search",)"
              R"("arguments":{"limit":5,"query":"graphql"},"operation":"query"})");
    engine.bridge->cancel_pending("done");

    const BridgeEnvelope escaped{"tool-call-9", "s\"rv", "t\\l", json::JsonArray{1, "\n"}, "mutation"};
    EXPECT_EQ(request_text(escaped), R"({"request_id":"tool-call-9","server":"s\"rv","tool":"t\\l",)"
                                     R"("arguments":[1,"\n"],"operation":"mutation"})");
}

TEST(ToolError, TextEscapesTheMessageAndMatchesTheValue) {
    const struct {
        std::string_view message;
        std::string_view text;
    } cases[] = {
        {"CallBridge is detached", R"({"isError":true,"json":null,"text":"CallBridge is detached"})"},
        {"", R"({"isError":true,"json":null,"text":""})"},
        {"say \"hi\" \\ bye", R"({"isError":true,"json":null,"text":"say \"hi\" \\ bye"})"},
        {std::string_view("\x01\t\n\0", 4), R"({"isError":true,"json":null,"text":"\u0001\t\n\u0000"})"},
        {"é ✓", R"({"isError":true,"json":null,"text":"é ✓"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tool_error_text(c.message), c.text);
        EXPECT_EQ(json::to_json_text(tool_error_result(c.message)), c.text);
    }
}

TEST(TokioCallBridge, RepliesOfAnyJsonTypeOrNoneAtAll) {
    const std::string_view replies[] = {
        "42", " [1, \"a\"] \n", "null", "\"text\"", "{\"b\":1,\"a\":2}", "-0", "", "1 2", "{", "nul", "\"\\x\""};
    Engine engine;
    std::vector<ToolCallRequest> calls(std::size(replies));
    for (auto& c : calls) c = call();
    auto batch = engine.bridge->start_calls(std::move(calls));
    for (const auto reply : replies) {
        EXPECT_TRUE(
            engine.bridge->respond(request_id_of(next_request(*engine.bridge, *engine.runtime)), std::string(reply)));
    }
    const auto outcomes = std::move(batch).wait();
    ASSERT_EQ(outcomes.size(), std::size(replies));
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const auto parsed = json::read_json(replies[i]);
        if (parsed) {
            EXPECT_EQ(outcomes[i], *parsed) << replies[i];
        } else {
            EXPECT_EQ(outcomes[i], fail(invalid_json(replies[i]))) << replies[i];
        }
    }
}

TEST(TokioCallBridge, OutcomesFollowCallOrderWhateverTheReplyOrder) {
    const std::vector<std::vector<int>> orders = {{0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}, {2, 0, 4, 1, 3}};
    for (const auto& order : orders) {
        Engine engine;
        std::vector<ToolCallRequest> calls;
        for (int i = 0; i < 5; ++i) calls.push_back(call(json::JsonObject{{"i", i}}));
        auto batch = engine.bridge->start_calls(std::move(calls));
        std::vector<std::string> ids;
        while (auto received = engine.bridge->receive_json(*engine.runtime, 0).value())
            ids.push_back(request_id_of(*received));
        ASSERT_EQ(
            ids, (std::vector<std::string>{"tool-call-1", "tool-call-2", "tool-call-3", "tool-call-4", "tool-call-5"}));
        for (const int i : order) EXPECT_TRUE(engine.bridge->respond(ids[i], std::to_string(i * 10)));
        const auto outcomes = std::move(batch).wait();
        for (int i = 0; i < 5; ++i) EXPECT_EQ(outcomes[i], json::JsonValue(i * 10));
        EXPECT_EQ(engine.bridge->pending_count(), 0u);
    }
}

TEST(TokioCallBridge, EachIdIsAnsweredAtMostOnce) {
    Engine engine;
    auto batch = engine.bridge->start_calls({call()});
    const std::string id = request_id_of(next_request(*engine.bridge, *engine.runtime));
    EXPECT_FALSE(engine.bridge->respond("tool-call-77", "1"));  // never issued
    EXPECT_FALSE(engine.bridge->respond("tool-call-01", "1"));  // not the id's spelling
    EXPECT_TRUE(engine.bridge->respond(id, "1"));
    EXPECT_FALSE(engine.bridge->respond(id, "2"));
    EXPECT_FALSE(engine.bridge->respond(id, tool_error_text("late failure")));
    EXPECT_EQ(std::move(batch).wait()[0], json::JsonValue(1));
}

TEST(TokioCallBridge, IdsCountFromOnePerBridgeAndSurviveDetaching) {
    Engine first, second;
    auto a = first.bridge->start_calls({call(), call()});
    auto b = second.bridge->start_calls({call()});
    first.bridge->set_attached(false);
    first.bridge->cancel_pending("CallBridge is detached");
    first.bridge->set_attached(true);
    auto c = first.bridge->start_calls({call()});
    std::vector<std::string> ids;
    while (auto received = first.bridge->receive_json(*first.runtime, 0).value())
        ids.push_back(request_id_of(*received));
    EXPECT_EQ(ids, (std::vector<std::string>{"tool-call-1", "tool-call-2", "tool-call-3"}));
    EXPECT_EQ(request_id_of(next_request(*second.bridge, *second.runtime)), "tool-call-1");
    second.bridge->cancel_pending("done");
    first.bridge->cancel_pending("done");
}

TEST(TokioCallBridge, CancelPendingAnswersEveryRegisteredCallAndLeavesTheQueue) {
    Engine engine;
    auto batch = engine.bridge->start_calls({call(), call(), call()});
    const std::string taken = request_id_of(next_request(*engine.bridge, *engine.runtime));
    std::thread waiter([&] {
        for (const auto& outcome : std::move(batch).wait()) EXPECT_EQ(outcome, tool_error_result("stopped \"now\""));
    });
    engine.bridge->cancel_pending("stopped \"now\"");
    waiter.join();
    EXPECT_EQ(engine.bridge->pending_count(), 0u);
    EXPECT_FALSE(engine.bridge->respond(taken, "1"));
    EXPECT_EQ(engine.bridge->queued_count(), 2u);
    for (const char* id : {"tool-call-2", "tool-call-3"}) {
        EXPECT_EQ(request_id_of(next_request(*engine.bridge, *engine.runtime)), id);
        EXPECT_FALSE(engine.bridge->respond(id, "1"));
    }
}

TEST(TokioCallBridge, AFullQueueParksTheRestWithoutHoldingUpTheBatch) {
    constexpr std::size_t kCapacity = TokioCallBridge::kQueueCapacity;
    Engine engine;
    std::vector<ToolCallRequest> calls(kCapacity + 1);
    for (auto& c : calls) c = call();
    auto big = engine.bridge->start_calls(std::move(calls));
    auto later = engine.bridge->start_calls({call(), call()});  // another batch, behind the first
    EXPECT_EQ(engine.bridge->queued_count(), kCapacity);
    EXPECT_EQ(engine.bridge->waiting_producer_count(), 3u);
    EXPECT_EQ(engine.bridge->pending_count(), kCapacity + 3);

    std::vector<std::string> ids;
    ids.push_back(request_id_of(next_request(*engine.bridge, *engine.runtime)));
    EXPECT_EQ(engine.bridge->queued_count(), kCapacity);  // call 1025 took the place
    EXPECT_EQ(engine.bridge->waiting_producer_count(), 2u);
    while (auto received = engine.bridge->receive_json(*engine.runtime, 0).value())
        ids.push_back(request_id_of(*received));
    ASSERT_EQ(ids.size(), kCapacity + 3);
    for (std::size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], "tool-call-" + std::to_string(i + 1));
    for (const auto& id : ids) EXPECT_TRUE(engine.bridge->respond(id, "true"));
    EXPECT_EQ(std::move(big).wait().back(), json::JsonValue(true));
    EXPECT_EQ(std::move(later).wait().size(), 2u);
}

TEST(TokioCallBridge, AParkedCallWaitsForRoomEvenWhenItsReplyCameFirst) {
    constexpr std::size_t kCapacity = TokioCallBridge::kQueueCapacity;
    Engine engine;
    std::vector<ToolCallRequest> calls(kCapacity + 1);
    for (auto& c : calls) c = call();
    auto batch = engine.bridge->start_calls(std::move(calls));
    // Every call is registered, so a host can answer them all unreceived.
    for (std::size_t i = 1; i <= kCapacity + 1; ++i)
        EXPECT_TRUE(engine.bridge->respond("tool-call-" + std::to_string(i), std::to_string(i)));
    auto outcomes = std::async(std::launch::async, [&] { return std::move(batch).wait(); });
    // A wait that ends here is the fault; one that goes on only delays the test.
    EXPECT_EQ(outcomes.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(engine.bridge->waiting_producer_count(), 1u);

    (void)next_request(*engine.bridge, *engine.runtime);  // room for call 1025
    const auto values = bounded_get(outcomes, *engine.bridge);
    ASSERT_EQ(values.size(), kCapacity + 1);
    EXPECT_EQ(values.back(), json::JsonValue(kCapacity + 1));
}

TEST(TokioCallBridge, ReceiveTimeouts) {
    Engine engine;
    EXPECT_EQ(engine.bridge->receive_json(*engine.runtime, 0).value(), std::nullopt);
    EXPECT_EQ(engine.bridge->receive_json(*engine.runtime, 1).value(), std::nullopt);
    // A timeout beyond the clock's range waits without limit rather than
    // wrapping into the past.
    std::latch receiving(1);
    std::thread host([&] {
        receiving.count_down();
        const auto received = engine.bridge->receive_json(*engine.runtime, UINT64_MAX);
        if (!received.has_value() || !received->has_value()) {
            ADD_FAILURE() << "the wait ended without a request";
            engine.bridge->cancel_pending("no request");
            return;
        }
        EXPECT_TRUE(engine.bridge->respond(request_id_of(**received), "\"ok\""));
    });
    receiving.wait();
    EXPECT_EQ(engine.bridge->call_tool("files", "search", json::JsonObject(), "query"), json::JsonValue("ok"));
    host.join();
}

TEST(TokioCallBridge, ManyProducersAndTwoHostsRouteEveryReplyToItsCall) {
    // Each round: a batch of kBatch calls, then one single call.
    constexpr int kProducers = 6, kRounds = 30, kBatch = 5;
    constexpr int kTotal = kProducers * kRounds * (kBatch + 1);
    Engine engine;
    std::atomic<int> answered{0};
    std::vector<std::string> seen[2];
    auto serve = [&](std::vector<std::string>& ids) {
        while (answered.load() < kTotal) {
            const auto received = engine.bridge->receive_json(*engine.runtime, 5).value();
            if (!received) continue;
            ids.push_back(request_id_of(*received));
            // Echo the arguments, so each caller can tell its own reply.
            const json::JsonValue request = json_value(*received);
            EXPECT_TRUE(engine.bridge->respond(ids.back(), json::to_json_text(*request.as_object().find("arguments"))));
            ++answered;
        }
    };
    std::thread hosts[] = {std::thread(serve, std::ref(seen[0])), std::thread(serve, std::ref(seen[1]))};
    std::latch start(kProducers);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            const auto arguments = [p](int round, int i) { return json::JsonObject{{"i", i}, {"p", p}, {"r", round}}; };
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                std::vector<ToolCallRequest> calls;
                for (int i = 0; i < kBatch; ++i) calls.push_back(call(arguments(round, i)));
                const auto outcomes = engine.bridge->call_tools(std::move(calls));
                ASSERT_EQ(outcomes.size(), static_cast<std::size_t>(kBatch));
                for (int i = 0; i < kBatch; ++i) EXPECT_EQ(outcomes[i], json::JsonValue(arguments(round, i)));
                EXPECT_EQ(engine.bridge->call_tool("s", "t", arguments(round, -1), "query"),
                          json::JsonValue(arguments(round, -1)));
            }
        });
    }
    for (auto& producer : producers) producer.join();
    for (auto& host : hosts) host.join();
    std::set<std::string> unique(seen[0].begin(), seen[0].end());
    unique.insert(seen[1].begin(), seen[1].end());
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kTotal));
    EXPECT_EQ(engine.bridge->next_request_id(), static_cast<std::uint64_t>(kTotal) + 1);
    EXPECT_EQ(engine.bridge->pending_count(), 0u);
}

TEST(TokioCallBridge, DetachedBeforeRegisteringCompletesWithoutQueueing) {
    // The resolver read "attached" as true; the detach then ran completely
    // before its call registered. Nobody will ever drain the table again.
    Engine engine;
    engine.bridge->set_attached(false);
    engine.bridge->cancel_pending("CallBridge is detached");
    auto done = std::async(std::launch::async, [&] { return engine.bridge->call_tools({call(), call()}); });
    const auto outcomes = bounded_get(done, *engine.bridge);
    ASSERT_EQ(outcomes.size(), 2u);
    for (const auto& outcome : outcomes) EXPECT_EQ(outcome, tool_error_result("CallBridge is detached"));
    EXPECT_EQ(engine.bridge->pending_count(), 0u);
    EXPECT_EQ(engine.bridge->queued_count(), 0u);
    EXPECT_EQ(engine.bridge->next_request_id(), 3u);
}

// Both threads arrive, then both leave at once; a latch would let the last
// arriver run tens of microseconds ahead of the woken one, always the same
// way round.
void rendezvous(std::atomic<int>& arrived, int jitter) {
    arrived.fetch_add(1);
    while (arrived.load() < 2) {}
    std::atomic<int> spin{0};
    while (spin.fetch_add(1, std::memory_order_relaxed) < jitter) {}
}

TEST(TokioCallBridge, CallsRacingADetachAlwaysComplete) {
    // The host never answers: every call must be ended by the drain or by
    // taking its own registration back. Jitter on either side sweeps the
    // registration across the detach.
    for (int iteration = 0; iteration < 400 && !HasFailure(); ++iteration) {
        const int jitter = (iteration / 2) % 50 * 10;
        TokioCallBridge bridge;
        bridge.set_attached(true);
        std::atomic<int> arrived{0};
        auto done = std::async(std::launch::async, [&] {
            rendezvous(arrived, iteration % 2 == 0 ? jitter : 0);
            return bridge.call_tool("files", "search", json::JsonObject(), "query");
        });
        rendezvous(arrived, iteration % 2 == 1 ? jitter : 0);
        bridge.set_attached(false);
        bridge.cancel_pending("drained by the detach");
        const auto outcome = bounded_get(done, bridge);
        if (outcome == tool_error_result("CallBridge is detached")) {
            EXPECT_EQ(bridge.queued_count(), 0u);  // took its registration back
        } else {
            EXPECT_EQ(outcome, tool_error_result("drained by the detach"));
        }
        EXPECT_EQ(bridge.pending_count(), 0u);
    }
}

TEST(TokioCallBridge, PoisonedLocksStopEveryLaterUse) {
    const auto runtime = start_runtime(1);
    const auto expect_stop = [](auto&& operation, std::string_view message) {
        try {
            operation();
            ADD_FAILURE() << "no stop, expected " << message;
        } catch (const InternalStop& stop) {
            EXPECT_EQ(stop.message(), message);
        }
    };
    TokioCallBridge pending_poisoned;
    pending_poisoned.set_attached(true);
    TokioCallBridgeTestPeer::poison_pending(pending_poisoned);
    for (int twice = 0; twice < 2; ++twice) {
        expect_stop([&] { (void)pending_poisoned.respond("tool-call-1", "1"); }, kPendingPoisoned);
        expect_stop([&] { pending_poisoned.cancel_pending("x"); }, kPendingPoisoned);
        expect_stop([&] { (void)pending_poisoned.call_tool("s", "t", json::JsonObject(), "query"); }, kPendingPoisoned);
    }
    EXPECT_EQ(pending_poisoned.receive_json(*runtime, 0).value(), std::nullopt);  // the other lock still works

    TokioCallBridge receiver_poisoned;
    TokioCallBridgeTestPeer::poison_receiver(receiver_poisoned);
    expect_stop([&] { (void)receiver_poisoned.receive_json(*runtime, 0); }, kReceiverPoisoned);
    expect_stop([&] { (void)receiver_poisoned.receive_json(*runtime, 10); }, kReceiverPoisoned);
    EXPECT_FALSE(receiver_poisoned.respond("tool-call-1", "1"));
}

TEST(PoisonableMutex, OnlyAFailureInsideTheLockPoisons) {
    PoisonableMutex mutex("poisoned for the test");
    { const auto guard = mutex.lock(); }
    // Taken and released during the unwinding of an earlier failure: that
    // failure did not happen inside this lock.
    try {
        struct LocksWhileUnwinding {
            PoisonableMutex& mutex;
            ~LocksWhileUnwinding() { const auto guard = mutex.lock(); }
        } locker{mutex};
        throw std::runtime_error("outside");
    } catch (const std::runtime_error&) {}
    EXPECT_NO_THROW({ const auto guard = mutex.lock(); });
    TokioCallBridgeTestPeer::poison(mutex);
    EXPECT_THROW({ const auto guard = mutex.lock(); }, InternalStop);
}

TEST(TokioCallBridge, AClosedQueueEndsTheCallAndUnregistersIt) {
    Engine engine;
    TokioCallBridgeTestPeer::close_queue(*engine.bridge);
    EXPECT_EQ(engine.bridge->call_tool("s", "t", json::JsonObject(), "query"),
              fail("CallBridge request channel is closed"));
    EXPECT_EQ(engine.bridge->pending_count(), 0u);
    EXPECT_EQ(engine.bridge->receive_json(*engine.runtime, 60'000).value(), std::nullopt);
}

TEST(TokioCallBridge, AbandonedCallsAndDroppedSendersEndCleanly) {
    Engine engine;
    { auto abandoned = engine.bridge->start_calls({call()}); }
    const std::string id = request_id_of(next_request(*engine.bridge, *engine.runtime));
    EXPECT_FALSE(engine.bridge->respond(id, "1"));  // nobody waits any more

    // A sender dropped unanswered (what a reused id does to the older call).
    auto slots = std::make_shared<ReplySlots>(2);
    ReplySender(slots, 0).end(ReplyState::answered);
    { ReplySender dropped(slots, 1); }
    slots->wait();
    EXPECT_EQ(slots->state(1), ReplyState::sender_dropped);
}

TEST(Engines, DroppedWhileOthersWork) {
    auto doomed = std::make_unique<Engine>();
    Engine survivor;
    // The survivor's host waits with its timer armed while the other engine
    // makes a round trip of its own and goes away.
    std::thread host([&] {
        const auto received = survivor.bridge->receive_json(*survivor.runtime, 3'600'000).value();
        EXPECT_TRUE(received && survivor.bridge->respond(request_id_of(*received), "[]"));
    });
    std::thread doomed_host([&] {
        EXPECT_TRUE(doomed->bridge->respond(request_id_of(next_request(*doomed->bridge, *doomed->runtime)), "3"));
    });
    EXPECT_EQ(doomed->bridge->call_tool("s", "t", json::JsonObject(), "query"), json::JsonValue(3));
    doomed_host.join();
    doomed.reset();
    auto done = std::async(std::launch::async,
                           [&] { return survivor.bridge->call_tool("s", "t", json::JsonObject(), "query"); });
    EXPECT_EQ(bounded_get(done, *survivor.bridge), json::JsonValue(json::JsonArray()));
    host.join();
    EXPECT_EQ(survivor.bridge->receive_json(*survivor.runtime, 1).value(), std::nullopt);
}

}  // namespace
}  // namespace zarn::bridge
