#include "json/value.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>

namespace zarn::json {
namespace {

constexpr std::size_t kInsertionSortLimit = 16;
constexpr std::size_t kLinearFindLimit = 8;

bool key_less(const JsonObject::Member& m, std::string_view key) noexcept {
    return std::string_view(m.first) < key;
}

}  // namespace

JsonObject::JsonObject(std::initializer_list<Member> members)
    : JsonObject(from_members(std::vector<Member>(members))) {}

JsonObject JsonObject::from_members(std::vector<Member> members) {
    const auto less = [](const Member& a, const Member& b) { return a.first < b.first; };
    JsonObject object;
    // Text written by a machine is often in key order already: one pass, no moves.
    if (std::ranges::adjacent_find(members, std::not_fn(less)) == members.end()) {
        object.members_ = std::move(members);
        return object;
    }
    // Stable, so that among equal keys the written order survives and the last
    // one can be kept. Small objects (the common case) sort by insertion, which
    // needs no scratch buffer.
    if (members.size() <= kInsertionSortLimit) {
        for (std::size_t i = 1; i < members.size(); ++i) {
            if (!less(members[i], members[i - 1])) continue;
            Member moving = std::move(members[i]);
            std::size_t j = i;
            do {
                members[j] = std::move(members[j - 1]);
                --j;
            } while (j > 0 && less(moving, members[j - 1]));
            members[j] = std::move(moving);
        }
    } else {
        std::ranges::stable_sort(members, less);
    }
    // Keep the last of each run of equal keys, compacting in place.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (kept > 0 && members[kept - 1].first == members[i].first) {
            members[kept - 1].second = std::move(members[i].second);
        } else {
            if (kept != i) members[kept] = std::move(members[i]);
            ++kept;
        }
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(kept), members.end());
    object.members_ = std::move(members);
    return object;
}

JsonObject JsonObject::from_sorted_members(std::vector<Member> members) noexcept {
    JsonObject object;
    object.members_ = std::move(members);
    return object;
}

const JsonValue* JsonObject::find(std::string_view key) const noexcept {
    // Most objects are small, and most keys they are asked for differ from
    // their keys in length: a scan compares sizes first and bytes rarely.
    if (members_.size() <= kLinearFindLimit) {
        for (const Member& member : members_)
            if (member.first.size() == key.size() && std::string_view(member.first) == key) return &member.second;
        return nullptr;
    }
    const auto it = std::lower_bound(members_.begin(), members_.end(), key, key_less);
    return it != members_.end() && it->first == key ? &it->second : nullptr;
}

JsonValue* JsonObject::find(std::string_view key) noexcept {
    return const_cast<JsonValue*>(std::as_const(*this).find(key));
}

JsonValue& JsonObject::insert_or_assign(std::string key, JsonValue value) {
    auto it = std::lower_bound(members_.begin(), members_.end(), std::string_view(key), key_less);
    if (it != members_.end() && it->first == key) {
        it->second = std::move(value);
        return it->second;
    }
    return members_.emplace(it, std::move(key), std::move(value))->second;
}

void JsonObject::append_sorted(std::string key, JsonValue value) {
    members_.emplace_back(std::move(key), std::move(value));
}

bool operator==(const JsonObject& a, const JsonObject& b) { return a.members_ == b.members_; }

bool operator==(const JsonValue& a, const JsonValue& b) {
    if (a.kind() != b.kind()) return false;
    if (a.kind() == JsonKind::floating) {
        const double x = a.as_double();
        const double y = b.as_double();
        return x == y && std::signbit(x) == std::signbit(y);
    }
    return a.data_ == b.data_;
}

}  // namespace zarn::json
