#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "bridge/runtime.hpp"

namespace zarn::bridge {

// A bounded first-in-first-out queue with many producers and one consumer at
// a time.
//
// Capacity: at most capacity() items are queued. A producer that finds the
// queue full (or other producers already waiting) never blocks: its item
// joins a FIFO list of waiting producers, and every time the consumer takes
// an item it promotes the oldest waiting one into the freed place. So the
// queue holds exactly capacity() items while producers wait, and items come
// out in the order producers offered them, across all producers.
//
// Tickets: a producer whose item has to wait is still waiting for room, even
// though it does not block. push() takes a function that is called, under the
// lock and only when the item has to wait, to make the item's Ticket; the
// ticket's admit() runs once the item has entered the queue, on the
// consumer's thread after it has released the lock. A waiting item that is
// never admitted (the queue is destroyed first) drops its ticket unadmitted.
//
// Ordering: push and pop run under one short internal lock, so an item pushed
// before a pop begins is seen by that pop, and a consumer that polls while a
// push is under way waits for it to finish. Everything a producer wrote into
// an item before push() is visible to the consumer that pops it.
//
// Close: after close(), push() refuses new items and leaves them with the
// caller; items already queued or waiting are still delivered. A consumer
// that finds a closed queue empty gets nothing without waiting.
//
// One consumer at a time: try_pop and pop_until must not run concurrently
// with each other (the caller serialises them); push may run from any thread.
struct NoTicket {
    void admit() noexcept {}
};

template <class T, class Ticket = NoTicket>
class BoundedQueue {
public:
    enum class Push : std::uint8_t {
        queued,   // in the queue now
        waiting,  // the queue was full: the item waits for a free place
        refused,  // the queue is closed: the item was not taken
    };

    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity < 1 ? 1 : capacity) {}
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // Takes the item unless the result is Push::refused.
    Push push(T&& item) {
        return push(std::move(item), [] { return Ticket{}; });
    }
    // As push(item); park() makes the item's Ticket when it has to wait.
    template <class Park>
    Push push(T&& item, Park&& park) {
        Push result;
        bool wake = false;
        {
            const std::lock_guard lock(mutex_);
            if (closed_) return Push::refused;
            if (size_ < capacity_ && waiting_.empty()) {
                put_locked(std::move(item));
                result = Push::queued;
                wake = consumer_sleeps_;
                consumer_sleeps_ = false;
            } else {
                waiting_.push_back(Waiting{std::move(item), std::forward<Park>(park)()});
                result = Push::waiting;
            }
        }
        if (wake) consumer_.unpark();
        return result;
    }

    // The oldest queued item, or nothing when the queue is empty.
    [[nodiscard]] std::optional<T> try_pop() {
        std::optional<Ticket> admitted;
        std::optional<T> item;
        {
            const std::lock_guard lock(mutex_);
            item = take_locked(admitted);
        }
        if (admitted) admitted->admit();
        return item;
    }

    // Waits for an item until the deadline (none: without limit), using the
    // runtime's timer to end the wait. Nothing when the deadline passes first
    // or the queue is closed and empty.
    [[nodiscard]] std::optional<T> pop_until(Runtime& runtime, std::optional<Runtime::Clock::time_point> deadline) {
        // The alarm is set only once the queue has been found empty, so a
        // receive that finds an item registers nothing with the timer.
        std::optional<Runtime::Deadline> alarm;
        for (;;) {
            const Parker::Token token = consumer_.token();
            std::optional<Ticket> admitted;
            std::optional<T> item;
            bool done;
            {
                const std::lock_guard lock(mutex_);
                item = take_locked(admitted);
                done = item.has_value() || closed_ || (alarm && alarm->expired());
                consumer_sleeps_ = !done;
            }
            if (admitted) admitted->admit();
            if (done) return item;
            if (deadline && !alarm) {
                alarm.emplace(runtime, *deadline, consumer_);
                continue;  // the deadline may be due already
            }
            consumer_.park(token);
        }
    }

    void close() {
        {
            const std::lock_guard lock(mutex_);
            closed_ = true;
        }
        consumer_.unpark();
    }

    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    [[nodiscard]] std::size_t queued() const {
        const std::lock_guard lock(mutex_);
        return size_;
    }
    [[nodiscard]] std::size_t waiting() const {
        const std::lock_guard lock(mutex_);
        return waiting_.size();
    }
    [[nodiscard]] bool closed() const {
        const std::lock_guard lock(mutex_);
        return closed_;
    }

private:
    struct Waiting {
        T item;
        Ticket ticket;
    };

    // The oldest item; the freed place goes to the oldest waiting item, whose
    // ticket the caller admits once it has released the lock.
    std::optional<T> take_locked(std::optional<Ticket>& admitted) {
        if (size_ == 0) return std::nullopt;
        std::optional<T> item(std::move(ring_[head_]));
        head_ = head_ + 1 == ring_.size() ? 0 : head_ + 1;
        --size_;
        if (!waiting_.empty()) {
            put_locked(std::move(waiting_.front().item));
            admitted.emplace(std::move(waiting_.front().ticket));
            waiting_.pop_front();
        }
        return item;
    }

    // Appends behind the last queued item; the ring grows by doubling up to
    // the capacity, so an idle queue costs little memory.
    void put_locked(T&& item) {
        if (size_ == ring_.size()) grow_locked();
        std::size_t tail = head_ + size_;
        if (tail >= ring_.size()) tail -= ring_.size();
        ring_[tail] = std::move(item);
        ++size_;
    }

    void grow_locked() {
        const std::size_t grown = std::min(capacity_, ring_.empty() ? kInitialRing : ring_.size() * 2);
        std::vector<T> larger(grown);
        for (std::size_t i = 0; i < size_; ++i) {
            std::size_t from = head_ + i;
            if (from >= ring_.size()) from -= ring_.size();
            larger[i] = std::move(ring_[from]);
        }
        ring_ = std::move(larger);
        head_ = 0;
    }

    static constexpr std::size_t kInitialRing = 16;

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<T> ring_;           // guarded by mutex_; size_ items from head_, wrapping
    std::size_t head_ = 0;          // guarded by mutex_
    std::size_t size_ = 0;          // guarded by mutex_
    std::deque<Waiting> waiting_;   // guarded by mutex_; items of producers that found the queue full
    bool consumer_sleeps_ = false;  // guarded by mutex_
    bool closed_ = false;           // guarded by mutex_
    Parker consumer_;
};

}  // namespace zarn::bridge
