#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "bridge/poisonable_mutex.hpp"
#include "bridge/reply_slot.hpp"

namespace zarn::bridge {

inline constexpr std::string_view kPendingPoisoned = "pending bridge responses mutex poisoned";

// A hash of text with a per-table random seed, so that which keys collide
// differs from process to process. Transparent: looks up by string_view.
class SeededTextHash {
public:
    using is_transparent = void;

    SeededTextHash();  // draws the seed from the system's random source
    explicit SeededTextHash(std::uint64_t seed) noexcept : seed_(seed) {}

    [[nodiscard]] std::size_t operator()(std::string_view text) const noexcept;

private:
    std::uint64_t seed_;
};

// The registered tool calls that wait for a reply: request id -> sending end
// of the call's reply slot.
//
// Every operation holds the table's lock for one map operation and never
// settles a slot while holding it: senders leave the table by value and are
// used (or dropped) by the caller afterwards. The lock is poisonable: when an
// operation fails inside it, that and every later operation stop with
// "pending bridge responses mutex poisoned".
class PendingTable {
public:
    using Map = std::unordered_map<std::string, ReplySender, SeededTextHash, std::equal_to<>>;

    PendingTable();

    // Registers sender under id. Returns the sender that id had before (only
    // possible once the request counter has wrapped); dropping it ends that
    // earlier call.
    [[nodiscard]] ReplySender insert(std::string id, ReplySender sender);

    // Takes the entry for id out; empty when there is none.
    [[nodiscard]] ReplySender take(std::string_view id);

    // Takes the entry for id out only if it is still the given call's own.
    [[nodiscard]] ReplySender take_own(std::string_view id, const ReplySlots& slots, std::uint32_t index);

    // Takes every entry out, leaving the table empty, in O(1) under the lock.
    [[nodiscard]] Map drain();

    [[nodiscard]] std::size_t size() const;

private:
    friend struct TokioCallBridgeTestPeer;

    mutable PoisonableMutex mutex_{kPendingPoisoned};
    Map entries_;  // guarded by mutex_
};

}  // namespace zarn::bridge
