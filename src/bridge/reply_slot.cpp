#include "bridge/reply_slot.hpp"

namespace zarn::bridge {

ReplySlots::ReplySlots(std::uint32_t count)
    : size_(count),
      unsettled_(count),
      many_(count > 1 ? std::make_unique<Slot[]>(count) : nullptr),
      slots_(count > 1 ? many_.get() : &single_) {}

void ReplySlots::wait() const noexcept {
    for (std::uint32_t left = unsettled_.word().load(std::memory_order_acquire); left != 0;
         left = unsettled_.word().load(std::memory_order_acquire)) {
        unsettled_.wait(left);
    }
}

bool ReplySlots::settle(std::uint32_t i, ReplyState state, std::string reply) noexcept {
    const bool waited_for = !abandoned_.load(std::memory_order_acquire);
    if (waited_for) {
        Slot& slot = slots_[i];
        slot.reply = std::move(reply);
        slot.state = state;
    }
    count_down();
    return waited_for;
}

void ReplySlots::count_down() noexcept {
    // The caller holds a share of *this, so notifying after the count hits
    // zero cannot touch freed memory even if the waiter returns at once.
    if (unsettled_.word().fetch_sub(1, std::memory_order_acq_rel) == 1) unsettled_.wake_one();
}

}  // namespace zarn::bridge
