#pragma once

// Where the reader puts what it reads (sinks), and how it consults a read
// plan (planners).

#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "json/build_stack.hpp"
#include "json/reader.hpp"
#include "json/value.hpp"

namespace zarn::json::detail {

// Where a parsed value goes: each sink constructs the JsonValue in place from
// the raw payload (a string, a number, a finished container), so a value is
// moved at most once after it is made (from the stack into its container).
struct RootSink {
    std::optional<JsonValue>* slot;
    template <class... Args>
    void operator()(Args&&... args) const {
        slot->emplace(std::forward<Args>(args)...);
    }
};

struct ElementSink {
    BuildStack<JsonValue>* elements;
    template <class... Args>
    void operator()(Args&&... args) const {
        elements->emplace_back(std::forward<Args>(args)...);
    }
};

struct MemberSink {
    BuildStack<JsonMember>* members;
    JsonString* key;
    template <class... Args>
    void operator()(Args&&... args) const {
        members->emplace_back(std::move(*key), JsonValue(std::forward<Args>(args)...));
    }
};

// The root of a document read for a consumer: a root array's elements go to
// the consumer (through HandOverSink) instead of into the array.
struct StreamingRootSink : RootSink {
    ElementConsumer* consumer;
};

struct HandOverSink {
    ElementConsumer* consumer;
    template <class... Args>
    void operator()(Args&&... args) const {
        consumer->take(JsonValue(std::forward<Args>(args)...));
    }
};

// The value is checked but not built.
struct DiscardSink {
    template <class... Args>
    void operator()(Args&&... /*args*/) const noexcept {}
};

template <class Sink>
inline constexpr bool kDiscards = std::is_same_v<Sink, DiscardSink>;

using Context = ReadPlan::Context;

// Plans, as the reader consults them: every value is built ...
struct BuildEverything {
    [[nodiscard]] Context root() const noexcept { return 1; }
    [[nodiscard]] Context member(Context /*object*/, std::string_view /*key*/) const noexcept { return 1; }
};

// ... or the caller's plan decides.
struct FollowPlan {
    const ReadPlan* plan;
    [[nodiscard]] Context root() const noexcept { return plan->root; }
    [[nodiscard]] Context member(Context object, std::string_view key) const noexcept {
        return plan->member(object, key);
    }
};

}  // namespace zarn::json::detail
