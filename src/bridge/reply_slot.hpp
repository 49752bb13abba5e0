#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "bridge/wake_word.hpp"

namespace zarn::bridge {

// How a reply slot was settled.
enum class ReplyState : std::uint8_t {
    waiting,         // not settled yet
    answered,        // a reply text arrived
    sender_dropped,  // the sending end went away without a reply
    refused,         // the request never reached the queue (it was closed)
    detached,        // the call took its own registration back after a detach
};

// The single-use reply slots of the calls one thread waits for, with one
// count of the slots still unsettled and one word to sleep on.
//
// Each slot is settled exactly once, by the one ReplySender that owns it (the
// pending table hands each sender to exactly one party). Settling writes the
// slot, then decrements the count with release order; only the settler that
// brings it to zero wakes the waiter, so waiting for N calls costs O(N) in
// total and one wake-up. The waiter's acquire load of zero makes every slot's
// contents visible.
//
// Shared ownership keeps the slots alive for every sender still in the
// pending table, so a late settler never touches freed memory, even when the
// waiter has long gone (or was abandoned by an internal stop).
class ReplySlots {
public:
    explicit ReplySlots(std::uint32_t count);
    ReplySlots(const ReplySlots&) = delete;
    ReplySlots& operator=(const ReplySlots&) = delete;

    [[nodiscard]] std::uint32_t size() const noexcept { return size_; }

    // The waiting side.
    void wait() const noexcept;
    // Every slot settled and no parked call still held (see hold()).
    [[nodiscard]] bool all_settled() const noexcept { return unsettled_.word().load(std::memory_order_acquire) == 0; }
    // After wait(): how slot i was settled, and its reply text.
    [[nodiscard]] ReplyState state(std::uint32_t i) const noexcept { return slots_[i].state; }
    [[nodiscard]] std::string& reply(std::uint32_t i) noexcept { return slots_[i].reply; }
    // The receiving end is gone: later replies are discarded.
    void abandon() noexcept { abandoned_.store(true, std::memory_order_release); }

    // The sending side (through ReplySender). False when nobody waits any
    // more; the slot counts as settled either way.
    bool settle(std::uint32_t i, ReplyState state, std::string reply) noexcept;

    // A call whose request waits for room in a full queue is not over even
    // when its reply has come: hold() (on the thread that starts the calls,
    // before it waits) keeps the waiter waiting until admitted() says the
    // request has entered the queue.
    void hold() noexcept { unsettled_.word().fetch_add(1, std::memory_order_relaxed); }
    void admitted() noexcept { count_down(); }

private:
    void count_down() noexcept;

    struct Slot {
        std::string reply;
        ReplyState state = ReplyState::waiting;
    };

    std::uint32_t size_;
    WakeWord unsettled_;
    std::atomic<bool> abandoned_{false};
    Slot single_;  // a lone call needs no second allocation
    std::unique_ptr<Slot[]> many_;
    Slot* slots_;
};

// The sending end of one reply slot: move-only, single use. Dropping it
// without a reply settles the slot as ReplyState::sender_dropped, so the
// waiting call learns that no answer will come.
class ReplySender {
public:
    ReplySender() noexcept = default;
    ReplySender(std::shared_ptr<ReplySlots> slots, std::uint32_t index) noexcept
        : slots_(std::move(slots)), index_(index) {}
    ReplySender(ReplySender&& other) noexcept : slots_(std::move(other.slots_)), index_(other.index_) {}
    ReplySender& operator=(ReplySender&& other) noexcept {
        if (this != &other) {
            drop();
            slots_ = std::move(other.slots_);
            index_ = other.index_;
        }
        return *this;
    }
    ~ReplySender() { drop(); }

    [[nodiscard]] explicit operator bool() const noexcept { return slots_ != nullptr; }
    [[nodiscard]] bool belongs_to(const ReplySlots& slots, std::uint32_t index) const noexcept {
        return slots_.get() == &slots && index_ == index;
    }

    // Hands the reply to the waiting call; false when it no longer waits.
    bool send(std::string reply) noexcept { return settle(ReplyState::answered, std::move(reply)); }
    // Ends the call without a reply text.
    void end(ReplyState state) noexcept { (void)settle(state, {}); }

private:
    bool settle(ReplyState state, std::string reply) noexcept {
        if (slots_ == nullptr) return false;
        const std::shared_ptr<ReplySlots> slots = std::move(slots_);
        return slots->settle(index_, state, std::move(reply));
    }
    void drop() noexcept {
        if (slots_ != nullptr) end(ReplyState::sender_dropped);
    }

    std::shared_ptr<ReplySlots> slots_;
    std::uint32_t index_ = 0;
};

}  // namespace zarn::bridge
