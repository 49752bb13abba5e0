#include "bridge/runtime.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>

#include "common/stop.hpp"

namespace zarn::bridge {
namespace {

using namespace std::chrono_literals;
using Clock = Runtime::Clock;

// Sleeps on the parker until the deadline has fired.
void wait_expired(const Runtime::Deadline& deadline, Parker& parker) {
    for (;;) {
        const Parker::Token token = parker.token();
        if (deadline.expired()) return;
        parker.park(token);
    }
}

TEST(Runtime, OneWorkerPerProcessorAtLeastOne) {
    const auto runtime = build_runtime();
    EXPECT_EQ(runtime->worker_count(), std::max<std::size_t>(1, available_processors()));
    EXPECT_EQ(start_runtime(3)->worker_count(), 3u);
    EXPECT_EQ(start_runtime(0)->worker_count(), 1u);
}

TEST(Runtime, DroppingTheLastShareJoinsTheWorkers) {
    const std::size_t before = detail::running_worker_threads();
    auto runtime = start_runtime(3);
    EXPECT_EQ(detail::running_worker_threads(), before + 3);
    auto second_share = runtime;
    runtime.reset();
    EXPECT_EQ(detail::running_worker_threads(), before + 3);
    second_share.reset();
    EXPECT_EQ(detail::running_worker_threads(), before);
}

TEST(Runtime, AFailedStartStopsAndJoinsTheThreadsAlreadyStarted) {
    const std::size_t before = detail::running_worker_threads();
    const std::system_error failure(std::make_error_code(std::errc::resource_unavailable_try_again));
    try {
        (void)start_runtime(4, [&](std::size_t index) {
            if (index == 2) throw failure;
        });
        FAIL() << "the runtime started";
    } catch (const InternalStop& stop) {
        EXPECT_EQ(stop.message(), std::string("zarn-lite GraphQL tokio runtime must start: ") + failure.what());
    }
    EXPECT_EQ(detail::running_worker_threads(), before);
}

#if defined(__linux__)
std::set<std::string> threads_named(std::string_view name) {
    std::set<std::string> tids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) tids.insert(task.path().filename().string());
    }
    return tids;
}

TEST(Runtime, WorkersCarryTheNameCutToFifteenBytes) {
    // Threads of earlier runtimes may linger in /proc briefly after their
    // join, so only the tasks that appear count.
    const auto before = threads_named("zarn-lite-graph");
    const auto runtime = start_runtime(3);
    const auto after = threads_named("zarn-lite-graph");
    std::size_t started = 0;
    for (const auto& tid : after) started += before.contains(tid) ? 0 : 1;
    EXPECT_EQ(started, 3u);
}
#endif

TEST(RuntimeTimer, AnEarlierDeadlineWakesTheTimerWorker) {
    const auto runtime = start_runtime(1);
    Parker late_parker, early_parker;
    const Runtime::Deadline late(*runtime, Clock::now() + 30s, late_parker);
    const Runtime::Deadline early(*runtime, Clock::now() + 1ms, early_parker);
    // A worker that kept its first alarm would fire both together, late.
    wait_expired(early, early_parker);
    EXPECT_FALSE(late.expired());
}

TEST(RuntimeTimer, LaterDeadlinesRegisterWithoutWakingTheWorker) {
    const auto runtime = start_runtime(2);
    Parker parker;
    const Runtime::Deadline first(*runtime, Clock::now() + 1h, parker);
    for (int i = 0; i < 100; ++i) {
        const Runtime::Deadline later(*runtime, Clock::now() + 2h + std::chrono::seconds(i), parker);
    }
    EXPECT_EQ(runtime->timer_rearm_count(), 1u);
}

TEST(RuntimeTimer, DeadlinesFireInAnyRegistrationOrder) {
    const auto runtime = start_runtime(2);
    Parker parker;
    std::optional<Runtime::Deadline> deadlines[6];
    const std::chrono::microseconds offsets[] = {3000us, 100us, 2000us, 100us, 0us, 1500us};
    for (std::size_t i = 0; i < 6; ++i) deadlines[i].emplace(*runtime, Clock::now() + offsets[i], parker);
    deadlines[2].reset();  // cancelled before it is due
    for (auto& deadline : deadlines) {
        if (deadline) wait_expired(*deadline, parker);
    }
}

}  // namespace
}  // namespace zarn::bridge
