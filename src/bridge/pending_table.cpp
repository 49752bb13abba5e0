#include "bridge/pending_table.hpp"

#include <cstring>
#include <random>
#include <utility>

#include "common/bytes.hpp"

namespace zarn::bridge {
namespace {

// Enough buckets for a query's worth of calls without rehashing.
constexpr std::size_t kInitialBuckets = 64;

__extension__ using Wide = unsigned __int128;

// Multiply and fold: the mixing step of the wyhash family.
std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
    const Wide product = static_cast<Wide>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

constexpr std::uint64_t kMix0 = 0xa0761d6478bd642fULL;
constexpr std::uint64_t kMix1 = 0xe7037ed1a0b428dbULL;
constexpr std::uint64_t kMix2 = 0x8ebc6af09c88c6e3ULL;

}  // namespace

SeededTextHash::SeededTextHash() {
    std::random_device source;
    seed_ = (static_cast<std::uint64_t>(source()) << 32) ^ source();
}

std::size_t SeededTextHash::operator()(std::string_view text) const noexcept {
    const char* p = text.data();
    std::size_t left = text.size();
    std::uint64_t h = seed_ ^ mix(text.size() ^ kMix0, kMix1);
    while (left >= 8) {
        h = mix(h ^ bytes::load<std::uint64_t>(p), kMix1);
        p += 8;
        left -= 8;
    }
    if (left > 0) {
        std::uint64_t tail = 0;
        std::memcpy(&tail, p, left);
        h = mix(h ^ tail ^ (static_cast<std::uint64_t>(left) << 56), kMix2);
    }
    return static_cast<std::size_t>(mix(h, kMix0 ^ seed_));
}

PendingTable::PendingTable() : entries_(kInitialBuckets, SeededTextHash()) {}

ReplySender PendingTable::insert(std::string id, ReplySender sender) {
    ReplySender displaced;
    const auto guard = mutex_.lock();
    auto [it, inserted] = entries_.try_emplace(std::move(id), std::move(sender));
    if (!inserted) {
        displaced = std::exchange(it->second, std::move(sender));
    }
    return displaced;
}

ReplySender PendingTable::take(std::string_view id) {
    ReplySender taken;
    const auto guard = mutex_.lock();
    if (const auto it = entries_.find(id); it != entries_.end()) {
        taken = std::move(it->second);
        entries_.erase(it);
    }
    return taken;
}

ReplySender PendingTable::take_own(std::string_view id, const ReplySlots& slots, std::uint32_t index) {
    ReplySender taken;
    const auto guard = mutex_.lock();
    if (const auto it = entries_.find(id); it != entries_.end() && it->second.belongs_to(slots, index)) {
        taken = std::move(it->second);
        entries_.erase(it);
    }
    return taken;
}

PendingTable::Map PendingTable::drain() {
    const auto guard = mutex_.lock();
    Map drained(0, entries_.hash_function());
    drained.swap(entries_);
    return drained;
}

std::size_t PendingTable::size() const {
    const auto guard = mutex_.lock();
    return entries_.size();
}

}  // namespace zarn::bridge
