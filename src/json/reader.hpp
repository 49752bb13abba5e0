#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/string_scan.hpp"
#include "json/value.hpp"

namespace zarn::json {

// For the body of a string literal at `p` (after its opening quote): the
// closing quote, when the body before it is printable ASCII with no escape
// and so is its own value; nullptr when the body holds a backslash, a control
// or a non-ASCII byte, or no quote comes before `end`.
[[nodiscard, gnu::always_inline]] inline const char* plain_string_end(const char* p, const char* end) noexcept {
    const char* const stop = detail::find_string_special<detail::StopAt::escapes_and_utf8>(p, end);
    return stop != end && *stop == '"' ? stop : nullptr;
}

// Arrays and objects may nest this deep; one level more is an error.
inline constexpr std::size_t kMaxNestingDepth = 127;

// Why a text is not one JSON document, and where (line and column from 1).
struct JsonReadError {
    std::string_view description;  // one of the reader's fixed phrases
    std::size_t line = 1;
    std::size_t column = 0;

    // "{description} at line {line} column {column}"
    [[nodiscard]] std::string to_string() const;
};

// Reads one JSON document (RFC 8259). White space around the value is allowed;
// anything else after it is "trailing characters".
[[nodiscard]] std::expected<JsonValue, JsonReadError> read_json(std::string_view text);

// Which values of a document a reader builds, for callers that look at a few
// members of a large document. Every value gets a context, a small number of
// the plan's own: the root gets `root`, the elements of an array the array's
// context, and the value of a member `member(context of the object, key)`.
// A member whose value gets `kPruned` is checked exactly as read_json checks
// it, so a text fails with the same error either way, but is not built: it is
// left out of its object.
struct ReadPlan {
    using Context = std::uint8_t;
    static constexpr Context kPruned = 0;

    Context root = 1;
    Context (*member)(Context object, std::string_view key) noexcept = nullptr;
};

// As read_json, building only what `plan` keeps; `plan.member` must be set.
[[nodiscard]] std::expected<JsonValue, JsonReadError> read_json(std::string_view text, const ReadPlan& plan);

// Takes the elements of a root array one at a time, as they are read.
class ElementConsumer {
public:
    virtual void take(JsonValue element) = 0;

protected:
    ~ElementConsumer() = default;
};

// As read_json(text, plan), except that each element of a root array goes to
// `consumer` as soon as it is read, in order, and is not kept: the array then
// comes back empty. A document of a few large parts is so never built whole.
// The consumer may already have taken elements when the text turns out to be
// invalid further on; the error is the same as read_json's.
[[nodiscard]] std::expected<JsonValue, JsonReadError> read_json(std::string_view text, const ReadPlan& plan,
                                                                ElementConsumer& consumer);

}  // namespace zarn::json
