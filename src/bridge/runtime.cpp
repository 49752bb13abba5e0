#include "bridge/runtime.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#if defined(__linux__) || defined(__APPLE__)
#include <pthread.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

#include "common/stop.hpp"

namespace zarn::bridge {
namespace {

constexpr std::string_view kThreadName = "zarn-lite-graphql";
constexpr std::string_view kStartFailure = "zarn-lite GraphQL tokio runtime must start: ";

std::atomic<std::size_t> running_workers{0};

#if defined(__linux__)
// Linux keeps 15 bytes of a thread name; a longer one is refused outright, so
// it is cut first. The name is cosmetic: a failure is ignored.
void name_thread(std::thread& thread) noexcept {
    char name[16];
    const std::size_t length = std::min(kThreadName.size(), sizeof name - 1);
    std::memcpy(name, kThreadName.data(), length);
    name[length] = '\0';
    (void)pthread_setname_np(thread.native_handle(), name);
}
#else
void name_thread(std::thread&) noexcept {}
#endif

}  // namespace

namespace detail {
std::size_t running_worker_threads() noexcept { return running_workers.load(std::memory_order_acquire); }
}  // namespace detail

Runtime::Runtime(std::size_t workers, const SpawnHook& before_spawn) {
    workers_.reserve(workers);
    try {
        for (std::size_t index = 0; index < workers; ++index) {
            if (before_spawn) before_spawn(index);
            running_workers.fetch_add(1, std::memory_order_relaxed);
            try {
                workers_.emplace_back([this, index] { run_worker(index); });
            } catch (...) {
                running_workers.fetch_sub(1, std::memory_order_relaxed);
                throw;
            }
            name_thread(workers_.back());
        }
    } catch (const std::system_error& error) {
        shut_down();
        stop(std::string(kStartFailure) + error.what());
    } catch (...) {
        shut_down();
        throw;
    }
}

Runtime::~Runtime() { shut_down(); }

void Runtime::shut_down() noexcept {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    timer_cv_.notify_all();
    idle_cv_.notify_all();
    for (std::thread& worker : workers_) {
        // A worker cannot join itself; none of our code drops the last share
        // there, but if it ever did, letting that thread finish on its own
        // beats a deadlock.
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();
        } else if (worker.joinable()) {
            worker.join();
        }
    }
}

void Runtime::run_worker(std::size_t index) {
#if defined(__APPLE__)
    // Apple platforms name only the calling thread.
    (void)pthread_setname_np(std::string(kThreadName).c_str());
#endif
    {
        std::unique_lock lock(mutex_);
        if (index == 0) {
            drive_timers(lock);
        } else {
            // Idle on purpose: the pool is one named thread per processor,
            // which hosts can see and count, but only the timer has work.
            // These sleep until the runtime stops and cost no CPU; keep them.
            idle_cv_.wait(lock, [this] { return stopping_; });
        }
    }
    running_workers.fetch_sub(1, std::memory_order_release);
}

void Runtime::drive_timers(std::unique_lock<std::mutex>& lock) {
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        // Owners disarm under mutex_, so a node and its Parker stay alive for
        // as long as this loop can see them.
        while (first_ != nullptr && first_->when <= now) {
            TimerNode* node = first_;
            first_ = node->next;
            if (first_ != nullptr) first_->prev = nullptr;
            else last_ = nullptr;
            node->next = nullptr;
            node->linked = false;
            node->fired.store(true, std::memory_order_release);
            node->parker->unpark();
        }
        if (first_ == nullptr) {
            alarm_ = Clock::time_point::max();
            timer_cv_.wait(lock);
        } else {
            alarm_ = first_->when;
            timer_cv_.wait_until(lock, alarm_);
        }
    }
}

void Runtime::arm(TimerNode& node) {
    // A deadline that has already passed needs no worker at all.
    if (node.when <= Clock::now()) {
        node.fired.store(true, std::memory_order_release);
        return;
    }
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        // Scan from the back: a new deadline is usually the latest one.
        TimerNode* before = last_;
        while (before != nullptr && before->when > node.when) before = before->prev;
        node.prev = before;
        node.next = before != nullptr ? before->next : first_;
        if (node.next != nullptr) node.next->prev = &node;
        else last_ = &node;
        if (before != nullptr) before->next = &node;
        else first_ = &node;
        node.linked = true;
        if (node.when < alarm_) {
            alarm_ = node.when;
            ++rearms_;
            wake = true;
        }
    }
    if (wake) timer_cv_.notify_one();
}

void Runtime::disarm(TimerNode& node) noexcept {
    const std::lock_guard lock(mutex_);
    if (!node.linked) return;
    if (node.prev != nullptr) node.prev->next = node.next;
    else first_ = node.next;
    if (node.next != nullptr) node.next->prev = node.prev;
    else last_ = node.prev;
    node.prev = node.next = nullptr;
    node.linked = false;
}

std::uint64_t Runtime::timer_rearm_count() const {
    const std::lock_guard lock(mutex_);
    return rearms_;
}

Runtime::Deadline::Deadline(Runtime& runtime, Clock::time_point when, Parker& parker) : runtime_(runtime) {
    node_.when = when;
    node_.parker = &parker;
    runtime_.arm(node_);
}

std::shared_ptr<Runtime> start_runtime(std::size_t workers, const SpawnHook& before_spawn) {
    return std::shared_ptr<Runtime>(new Runtime(std::max<std::size_t>(workers, 1), before_spawn));
}

// The affinity mask, which can hold fewer processors than the machine has.
std::size_t available_processors() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        if (const int count = CPU_COUNT(&set); count > 0) return static_cast<std::size_t>(count);
    }
#endif
    return std::thread::hardware_concurrency();
}

std::shared_ptr<Runtime> build_runtime() { return start_runtime(available_processors()); }

}  // namespace zarn::bridge
