#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace zarn::bridge {

// A 32-bit word that a thread sleeps on until it changes.
//
// On Linux it is the futex system call itself: the kernel checks, under its
// own lock, that the word still holds the value the sleeper saw. A waker
// makes the wake call only when a sleeper has announced itself; the two sides
// order their announcement and their change by sequentially consistent
// operations (a Dekker pair), so either the sleeper sees the change and does
// not sleep, or the waker sees the sleeper and wakes it. The waits built on
// this (a call waiting for its replies, a host waiting for a request) have no
// other way out, so this is kept small enough to check by eye. Elsewhere it
// falls back to std::atomic wait and notify.
//
// The word itself is a plain atomic: callers load and modify it with the
// orders they need, then wake.
class WakeWord {
public:
    explicit WakeWord(std::uint32_t value = 0) noexcept : word_(value) {}
    WakeWord(const WakeWord&) = delete;
    WakeWord& operator=(const WakeWord&) = delete;

    [[nodiscard]] std::atomic<std::uint32_t>& word() noexcept { return word_; }
    [[nodiscard]] const std::atomic<std::uint32_t>& word() const noexcept { return word_; }

    // Sleeps while the word holds `seen`. May return without a change (a
    // signal, a stale wake), so callers load the word again and decide.
    void wait(std::uint32_t seen) const noexcept {
#if defined(__linux__)
        // A reply often comes within microseconds: look a few times, then let
        // the other threads of this core run, before paying for a sleep and
        // a wake-up.
        for (int round = 0; round < kSpinRounds; ++round) {
            if (word_.load(std::memory_order_acquire) != seen) return;
            if (round < kPauseRounds) {
#if defined(__x86_64__) || defined(__i386__)
                __builtin_ia32_pause();
#endif
            } else {
                std::this_thread::yield();
            }
        }
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        if (word_.load(std::memory_order_seq_cst) == seen)
            syscall(SYS_futex, address(), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
        sleepers_.fetch_sub(1, std::memory_order_release);
#else
        word_.wait(seen, std::memory_order_acquire);
#endif
    }

    // Wakes one thread sleeping on the word (none: nothing happens). Call it
    // after changing the word.
    void wake_one() noexcept {
#if defined(__linux__)
        // Orders the caller's change of the word before the look at sleepers_.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (sleepers_.load(std::memory_order_seq_cst) != 0)
            syscall(SYS_futex, address(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#else
        word_.notify_one();
#endif
    }

private:
    static constexpr int kPauseRounds = 4;
    static constexpr int kSpinRounds = 16;

    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                      std::atomic<std::uint32_t>::is_always_lock_free,
                  "the kernel reads the atomic as a plain 32-bit word");

    [[nodiscard]] std::uint32_t* address() const noexcept {
        return reinterpret_cast<std::uint32_t*>(const_cast<std::atomic<std::uint32_t>*>(&word_));
    }

    std::atomic<std::uint32_t> word_;
    mutable std::atomic<std::uint32_t> sleepers_{0};  // threads between announcing a sleep and its end
};

}  // namespace zarn::bridge
