#include "json/value.hpp"

#include <cmath>

namespace zarn::json {
namespace {

bool key_less(const JsonObject::Member& m, std::string_view key) noexcept {
    return std::string_view(m.first) < key;
}

}  // namespace

JsonObject::JsonObject(std::initializer_list<Member> members)
    : JsonObject(from_members(std::vector<Member>(members))) {}

JsonObject JsonObject::from_members(std::vector<Member> members) {
    // Stable, so that among equal keys the written order survives and the
    // last one can be kept.
    std::stable_sort(members.begin(), members.end(),
                     [](const Member& a, const Member& b) { return a.first < b.first; });
    JsonObject object;
    object.members_.reserve(members.size());
    for (auto& member : members) {
        if (!object.members_.empty() && object.members_.back().first == member.first)
            object.members_.back().second = std::move(member.second);
        else
            object.members_.push_back(std::move(member));
    }
    return object;
}

const JsonValue* JsonObject::find(std::string_view key) const noexcept {
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
