#pragma once

#include <exception>
#include <mutex>
#include <string_view>

#include "common/stop.hpp"

namespace zarn::bridge {

// A mutex that remembers a failure inside its critical section.
//
// When an exception (an internal stop, or an allocation failure) unwinds
// through a Guard, the data behind the lock may be half updated, so the mutex
// becomes poisoned: that lock and every later lock() stop with the fixed
// message given at construction. Nothing ever clears the mark.
class PoisonableMutex {
public:
    explicit constexpr PoisonableMutex(std::string_view poisoned_message) noexcept
        : poisoned_message_(poisoned_message) {}
    PoisonableMutex(const PoisonableMutex&) = delete;
    PoisonableMutex& operator=(const PoisonableMutex&) = delete;

    class [[nodiscard]] Guard {
    public:
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() {
            if (std::uncaught_exceptions() > exceptions_at_lock_) owner_.poisoned_ = true;
            owner_.mutex_.unlock();
        }

    private:
        friend class PoisonableMutex;
        explicit Guard(PoisonableMutex& owner) noexcept
            : owner_(owner), exceptions_at_lock_(std::uncaught_exceptions()) {}

        PoisonableMutex& owner_;
        int exceptions_at_lock_;
    };

    // Blocks until the mutex is free. Stops with the poisoned message, without
    // keeping the lock, when an earlier holder failed.
    Guard lock() {
        mutex_.lock();
        if (poisoned_) {
            mutex_.unlock();
            stop(std::string(poisoned_message_));
        }
        return Guard(*this);
    }

private:
    std::mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_
    std::string_view poisoned_message_;
};

}  // namespace zarn::bridge
