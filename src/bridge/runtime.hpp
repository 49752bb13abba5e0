#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bridge/wake_word.hpp"

namespace zarn::bridge {

// A wake-up word for one sleeping thread.
//
// The sleeper reads token(), checks its condition, and calls park(token) only
// when the condition is still false; any unpark() after the token was read
// makes park return. park may also return spuriously, so the sleeper always
// re-checks. unpark() releases and token() acquires: whatever the waker wrote
// before unpark() is visible once the sleeper has seen the new token.
class Parker {
public:
    using Token = std::uint32_t;

    [[nodiscard]] Token token() const noexcept { return word_.word().load(std::memory_order_acquire); }
    void park(Token seen) const noexcept { word_.wait(seen); }
    void unpark() noexcept {
        word_.word().fetch_add(1, std::memory_order_release);
        word_.wake_one();
    }

private:
    WakeWord word_;
};

class Runtime;

// Runs before each worker thread of a runtime is created, with the worker's
// index; it may throw std::system_error in place of the thread library.
using SpawnHook = std::function<void(std::size_t)>;

// As build_runtime (below) with a given number of workers and an optional
// hook that tests use to make a start fail.
[[nodiscard]] std::shared_ptr<Runtime> start_runtime(std::size_t workers, const SpawnHook& before_spawn = {});

// The engine's worker runtime: a pool of threads, one per processor, that
// drive the runtime's own machinery, which is the timer that ends timed
// waits. No query work ever runs on them; waiting host threads sleep on their
// own Parker and are woken by whoever has news for them.
//
// Timer: deadlines live in a list sorted by time. Worker 0 sleeps until the
// earliest deadline it knows of, then unparks the owners of every deadline
// that has passed. Registering a deadline wakes that worker only when the new
// deadline is earlier than the one it sleeps for; cancelling never wakes it
// (it may wake for a deadline that is already gone, and sleeps again). A host
// that receives with the same timeout over and over therefore registers each
// new deadline without a cross-core wake-up.
//
// Destroying the runtime (the last share of it) stops and joins the workers.
class Runtime {
public:
    using Clock = std::chrono::steady_clock;
    class Deadline;

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    ~Runtime();

    [[nodiscard]] std::size_t worker_count() const noexcept { return workers_.size(); }

    // How many registrations had to wake the timer worker because their
    // deadline came before the one it slept for.
    [[nodiscard]] std::uint64_t timer_rearm_count() const;

private:
    struct TimerNode {
        Clock::time_point when;
        Parker* parker = nullptr;
        TimerNode* prev = nullptr;  // guarded by mutex_
        TimerNode* next = nullptr;  // guarded by mutex_
        bool linked = false;        // guarded by mutex_
        std::atomic<bool> fired{false};
    };

    friend std::shared_ptr<Runtime> start_runtime(std::size_t workers, const SpawnHook& before_spawn);

    Runtime(std::size_t workers, const SpawnHook& before_spawn);

    void run_worker(std::size_t index);
    void drive_timers(std::unique_lock<std::mutex>& lock);
    void shut_down() noexcept;
    void arm(TimerNode& node);
    void disarm(TimerNode& node) noexcept;

    mutable std::mutex mutex_;
    std::condition_variable timer_cv_;                    // worker 0 sleeps here
    std::condition_variable idle_cv_;                     // the other workers sleep here until shutdown
    TimerNode* first_ = nullptr;                          // guarded by mutex_; ascending deadlines
    TimerNode* last_ = nullptr;                           // guarded by mutex_
    Clock::time_point alarm_ = Clock::time_point::max();  // guarded by mutex_; worker 0 sleeps until then
    std::uint64_t rearms_ = 0;                            // guarded by mutex_
    bool stopping_ = false;                               // guarded by mutex_
    std::vector<std::thread> workers_;
};

// A deadline registered with a runtime's timer for as long as it exists.
// When it passes, a worker marks it expired and unparks the given Parker.
// Destroying it cancels it; after the destructor the timer no longer touches
// it or its Parker.
class Runtime::Deadline {
public:
    Deadline(Runtime& runtime, Clock::time_point when, Parker& parker);
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    ~Deadline() { runtime_.disarm(node_); }

    [[nodiscard]] bool expired() const noexcept { return node_.fired.load(std::memory_order_acquire); }

private:
    Runtime& runtime_;
    TimerNode node_;
};

// Starts a runtime with one worker per available processor (at least one),
// each named "zarn-lite-graphql" as far as the platform allows. Stops with
// "zarn-lite GraphQL tokio runtime must start: <reason>" when a thread cannot
// be started.
[[nodiscard]] std::shared_ptr<Runtime> build_runtime();

// The processors this process may run on: one worker each.
[[nodiscard]] std::size_t available_processors() noexcept;

namespace detail {
// Worker threads of all runtimes that have started and not yet finished.
[[nodiscard]] std::size_t running_worker_threads() noexcept;
}  // namespace detail

}  // namespace zarn::bridge
