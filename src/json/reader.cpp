#include "json/reader.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <format>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/stop.hpp"
#include "json/build_stack.hpp"
#include "json/key_order.hpp"
#include "json/number_reader.hpp"
#include "json/read_cursor.hpp"
#include "json/read_sinks.hpp"
#include "json/string_scan.hpp"

namespace zarn::json {

std::string JsonReadError::to_string() const {
    return std::format("{} at line {} column {}", description, line, column);
}

namespace {

using detail::BuildEverything;
using detail::BuildStack;
using detail::Context;
using detail::DiscardSink;
using detail::ElementSink;
using detail::Fault;
using detail::FollowPlan;
using detail::HandOverSink;
using detail::kDiscards;
using detail::MemberSink;
using detail::RootSink;
using detail::Shape;
using detail::StreamingRootSink;

// The key shapes remembered: one for each of the first few depths.
constexpr std::size_t kShapeDepths = 8;

constexpr int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

// Recursive descent over one cursor (ReadCursor, with the number grammar of
// NumberReader). Elements and members of the containers being read collect
// on two stacks shared by all levels, so each container is allocated once,
// at its final size, when it closes.
template <class Planner>
class Reader : detail::NumberReader {
public:
    Reader(std::string_view text, Planner planner) noexcept : NumberReader(text), planner_(planner) {}

    // With a consumer, the elements of a root array go to it.
    std::expected<JsonValue, JsonReadError> read(ElementConsumer* consumer = nullptr) {
        std::optional<JsonValue> value;
        if (parse_root(value, consumer)) {
            skip_white_space();
            if (cur_ == end_) return value ? std::move(*value) : JsonValue();
            fail(Fault::trailing_characters, cur_);
        }
        return std::unexpected(error());
    }

private:
    // The root value into `value`, unless the plan prunes it.
    bool parse_root(std::optional<JsonValue>& value, ElementConsumer* consumer) {
        const Context root = planner_.root();
        if (root == ReadPlan::kPruned) return parse_value(0, DiscardSink{}, root);
        if (consumer != nullptr) return parse_value(0, StreamingRootSink{{&value}, consumer}, root);
        return parse_value(0, RootSink{&value}, root);
    }

    [[gnu::always_inline]] void skip_white_space() noexcept {
        if (cur_ != end_ && static_cast<unsigned char>(*cur_) > ' ') return;
        // One space after a comma or colon is how most writers separate.
        if (end_ - cur_ >= 2 && cur_[0] == ' ' && static_cast<unsigned char>(cur_[1]) > ' ') {
            ++cur_;
            return;
        }
        const char* p = cur_;
        while (p != end_ && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
        cur_ = p;
    }

    // value = object / array / string / number / true / false / null
    // `depth` is the number of arrays and objects around the value, `context`
    // the plan's for it.
    template <class Sink>
    bool parse_value(std::size_t depth, const Sink& sink, Context context) {
        skip_white_space();
        if (cur_ == end_) return fail_eof(Fault::eof_value);
        switch (*cur_) {
            case '{': return parse_object(depth + 1, sink, context);
            case '[': return parse_array(depth + 1, sink, context);
            case '"': {
                if constexpr (kDiscards<Sink>) {
                    return skip_string();
                } else {
                    JsonString text = parse_string();
                    if (failed_) return false;
                    sink(std::move(text));
                    return true;
                }
            }
            case 't':
                if (!parse_literal("true")) return false;
                sink(true);
                return true;
            case 'f':
                if (!parse_literal("false")) return false;
                sink(false);
                return true;
            case 'n':
                if (!parse_literal("null")) return false;
                sink(nullptr);
                return true;
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9': return parse_number(sink);
            default: return fail(Fault::expected_value, cur_);
        }
    }

    // The cursor is on the first letter, which matches `word`.
    bool parse_literal(std::string_view word) noexcept {
        for (std::size_t i = 1; i < word.size(); ++i) {
            if (cur_ + i == end_) return fail_eof(Fault::eof_value);
            if (cur_[i] != word[i]) return fail(Fault::expected_ident, cur_ + i);
        }
        cur_ += word.size();
        return true;
    }

    // array = "[" [ value *( "," value ) ] "]"
    template <class Sink>
    bool parse_array(std::size_t depth, const Sink& sink, Context context) {
        if (depth > kMaxNestingDepth) return fail(Fault::recursion_limit, cur_);
        ++cur_;
        skip_white_space();
        if (cur_ == end_) return fail_eof(Fault::eof_list);
        if (*cur_ == ']') {
            ++cur_;
            sink(JsonArray());
            return true;
        }
        const std::size_t base = elements_.size();
        const auto element = [&] {
            if constexpr (std::is_same_v<Sink, StreamingRootSink>) return HandOverSink{sink.consumer};
            else return ElementSink{&elements_};
        }();
        for (;;) {
            bool read;
            if constexpr (kDiscards<Sink>) read = parse_value(depth, sink, context);
            else read = parse_value(depth, element, context);
            if (!read) return false;
            skip_white_space();
            if (cur_ == end_) return fail_eof(Fault::eof_list);
            if (*cur_ == ']') break;
            if (*cur_ != ',') return fail(Fault::expected_list_comma_or_end, cur_);
            ++cur_;
            skip_white_space();
            if (cur_ == end_) return fail_eof(Fault::eof_value);
            if (*cur_ == ']') return fail(Fault::trailing_comma, cur_);
        }
        ++cur_;
        if constexpr (kDiscards<Sink>) return true;
        // Off the stack first: the sink may push onto this same stack.
        JsonArray array = JsonArray::adopt(elements_.from(base));
        elements_.forget_from(base);
        sink(std::move(array));
        return true;
    }

    // object = "{" [ member *( "," member ) ] "}";  member = string ":" value
    template <class Sink>
    bool parse_object(std::size_t depth, const Sink& sink, Context context) {
        if (depth > kMaxNestingDepth) return fail(Fault::recursion_limit, cur_);
        ++cur_;
        skip_white_space();
        if (cur_ == end_) return fail_eof(Fault::eof_object);
        if (*cur_ == '}') {
            ++cur_;
            sink(JsonObject());
            return true;
        }
        const std::size_t base = members_.size();
        // The keys are checked against the shape of the last object at this
        // depth as they come; `same_shape` stays true while each matches.
        Shape* const shape = shape_at<Sink>(depth);
        bool same_shape = shape != nullptr && shape->count != 0;
        for (std::size_t index = 0;; ++index) {
            if (*cur_ != '"') return fail(Fault::key_must_be_string, cur_);
            if constexpr (kDiscards<Sink>) {
                if (!skip_string() || !expect_colon() || !parse_value(depth, sink, context)) return false;
            } else {
                same_shape = same_shape && index < shape->count && shape->key_at(cur_, end_, index);
                if (!parse_member<Sink>(depth, context, same_shape ? &shape->keys[index] : nullptr)) return false;
            }
            skip_white_space();
            if (cur_ == end_) return fail_eof(Fault::eof_object);
            if (*cur_ == '}') break;
            if (*cur_ != ',') return fail(Fault::expected_object_comma_or_end, cur_);
            ++cur_;
            skip_white_space();
            if (cur_ == end_) return fail_eof(Fault::eof_object);
            if (*cur_ == '}') return fail(Fault::trailing_comma, cur_);
        }
        ++cur_;
        if constexpr (!kDiscards<Sink>) {
            if (same_shape && members_.size() - base == shape->count && shape->ordered) {
                // The keys are the shape's, so the shape's order sorts them.
                JsonObject object = JsonObject::adopt_members(
                    members_.from(base), std::span<const std::uint32_t>(shape->order.data(), shape->count));
                members_.forget_from(base);
                sink(std::move(object));
            } else {
                sink(take_members(base, shape));
            }
        }
        return true;
    }

    // The shape remembered for objects at `depth`, or nullptr for none: only
    // the reader that builds everything remembers them (pruned members would
    // leave gaps), and only for the first few depths.
    template <class Sink>
    [[nodiscard]] Shape* shape_at(std::size_t depth) noexcept {
        if constexpr (std::is_same_v<Planner, BuildEverything> && !kDiscards<Sink>)
            if (depth <= kShapeDepths) return &shapes_[depth - 1];
        return nullptr;
    }

    // The `:` after a key, and the white space around it.
    [[gnu::always_inline]] bool expect_colon() noexcept {
        skip_white_space();
        if (cur_ == end_) return fail_eof(Fault::eof_object);
        if (*cur_ != ':') return fail(Fault::expected_colon, cur_);
        ++cur_;
        return true;
    }

    // member = string ":" value, the cursor on the key's opening quote. A key
    // found to be written as `known` (a shape's key) is copied, not decoded.
    template <class Sink>
    bool parse_member(std::size_t depth, Context context, const JsonString* known) {
        JsonString key;
        if (known != nullptr) {
            key = *known;
            cur_ += known->size() + 2;
        } else {
            key = parse_string();
            if (failed_) return false;
        }
        if (!expect_colon()) return false;
        const Context inner = planner_.member(context, key);
        if (inner == ReadPlan::kPruned) return parse_value(depth, DiscardSink{}, inner);
        return parse_value(depth, MemberSink{&members_, &key}, inner);
    }

    // Moves the members from `base` up off the stack into an object, in key
    // order, keeping the last value of a repeated key. Only a small record
    // per member is sorted; each member then moves once. `shape`, if given,
    // remembers the keys and the order found.
    JsonObject take_members(std::size_t base, Shape* shape) {
        const std::span<JsonMember> taken = members_.from(base);
        if (shape != nullptr) shape->remember_keys(taken);
        sort_keys_.resize(taken.size());
        const std::span<detail::SortKey> keys(sort_keys_);
        detail::make_sort_keys(taken, keys);
        const detail::SortKeyLess less(taken);
        JsonObject object;
        if (detail::strictly_ascending(keys, less)) {
            // The common case for text written by a program.
            object = JsonObject::adopt_members(taken);
            if (shape != nullptr) shape->remember_order_as_written();
        } else if (last_sorted_order_.sorts(keys, less)) {
            object = JsonObject::adopt_members(taken, last_sorted_order_.positions());
            if (shape != nullptr) shape->remember_order(last_sorted_order_.positions());
        } else {
            detail::sort_keys(keys, less);
            kept_.resize(taken.size());
            const std::span<const std::uint32_t> kept(kept_.data(), detail::kept_positions(keys, taken, kept_));
            object = JsonObject::adopt_members(taken, kept);
            if (kept.size() != taken.size()) {
                // A key repeats: the object has fewer members than the text
                // has keys, and no order of the keys stands for it. The
                // members left over are destroyed with the empty places of
                // those taken.
                for (const std::uint32_t index : kept) ::new (static_cast<void*>(&taken[index])) JsonMember();
                members_.pop_to(base);
                return object;
            }
            last_sorted_order_.remember(kept);
            if (shape != nullptr) shape->remember_order(kept);
        }
        members_.forget_from(base);
        return object;
    }

    // From `p` inside a string: the closing quote or the backslash of the next
    // escape, the UTF-8 on the way checked; nullptr after recording a fault.
    const char* find_quote_or_escape(const char* p) {
        for (;;) {
            p = detail::find_string_special<detail::StopAt::escapes_and_utf8>(p, end_);
            if (p == end_) {
                fail_eof(Fault::eof_string);
                return nullptr;
            }
            const auto c = static_cast<unsigned char>(*p);
            if (c == '"' || c == '\\') return p;
            if (c < 0x80) {
                fail(Fault::control_character, p);
                return nullptr;
            }
            p = skip_utf8_sequence(p);
            if (p == nullptr) return nullptr;
        }
    }

    // string = quotation-mark *char quotation-mark, the cursor on the opening
    // quote. A string without escapes (the usual kind) is scanned, checked to
    // be well-formed UTF-8 and copied once; the first escape switches to
    // decoding piece by piece. On failure the result is empty.
    JsonString parse_string() {
        const char* const start = cur_ + 1;
        const char* const p = find_quote_or_escape(start);
        if (p == nullptr) return {};
        if (*p == '"') {
            cur_ = p + 1;
            return {std::string_view(start, static_cast<std::size_t>(p - start))};
        }
        cur_ = p;
        return parse_escaped_string(start);
    }

    // As parse_string, but only checks the string: the same faults at the
    // same places, and nothing kept.
    bool skip_string() {
        for (const char* p = cur_ + 1;; p = cur_) {
            p = find_quote_or_escape(p);
            if (p == nullptr) return false;
            if (*p == '"') {
                cur_ = p + 1;
                return true;
            }
            cur_ = p;
            scratch_.clear();
            if (!parse_escape(scratch_)) return false;
        }
    }

    // The rest of a string from its first escape, the cursor on it; decoded
    // into a buffer kept across strings, then copied once at its final size.
    JsonString parse_escaped_string(const char* start) {
        std::string& out = scratch_;
        out.assign(start, cur_);
        for (;;) {
            const char* const p = find_quote_or_escape(cur_);
            if (p == nullptr) return {};
            out.append(cur_, p);
            if (*p == '"') {
                cur_ = p + 1;
                return JsonString(out);
            }
            cur_ = p;
            if (!parse_escape(out)) return {};
        }
    }

    // The byte after the well-formed multi-byte UTF-8 sequence at `p` (RFC
    // 3629: no overlong forms, no surrogates, nothing above U+10FFFF), or
    // nullptr after recording the fault. A sequence cut short by the end of
    // input is an unfinished string, not a bad one.
    const char* skip_utf8_sequence(const char* p) noexcept {
        const auto lead = static_cast<unsigned char>(*p);
        std::size_t length;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            fail(Fault::invalid_code_point, p);
            return nullptr;
        }
        for (std::size_t i = 1; i < length; ++i) {
            if (p + i == end_) {
                fail_eof(Fault::eof_string);
                return nullptr;
            }
            const auto c = static_cast<unsigned char>(p[i]);
            if (c < low || c > high) {
                fail(Fault::invalid_code_point, p + i);
                return nullptr;
            }
            low = 0x80;
            high = 0xBF;
        }
        return p + length;
    }

    // The cursor is on a backslash; appends the character it stands for.
    bool parse_escape(std::string& out) {
        ++cur_;
        if (cur_ == end_) return fail_eof(Fault::eof_string);
        char c;
        switch (*cur_) {
            case '"': c = '"'; break;
            case '\\': c = '\\'; break;
            case '/': c = '/'; break;
            case 'b': c = '\b'; break;
            case 'f': c = '\f'; break;
            case 'n': c = '\n'; break;
            case 'r': c = '\r'; break;
            case 't': c = '\t'; break;
            case 'u': return parse_unicode_escape(out);
            default: return fail(Fault::invalid_escape, cur_);
        }
        out.push_back(c);
        ++cur_;
        return true;
    }

    // The cursor is on the `u` of `\uXXXX`. A leading surrogate must be followed
    // by a `\uXXXX` trailing surrogate; together they name one character.
    bool parse_unicode_escape(std::string& out) {
        std::uint32_t unit;
        if (!parse_hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(Fault::invalid_code_point, cur_ - 1);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            for (const char expected : {'\\', 'u'}) {
                if (cur_ == end_) return fail_eof(Fault::eof_string);
                if (*cur_ != expected) return fail(Fault::lone_leading_surrogate, cur_);
                ++cur_;
            }
            --cur_;
            std::uint32_t trail;
            if (!parse_hex4(trail)) return false;
            if (trail < 0xDC00 || trail > 0xDFFF) return fail(Fault::lone_leading_surrogate, cur_ - 1);
            unit = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
        }
        append_utf8(out, unit);
        return true;
    }

    // The cursor is on a `u`; reads the four hexadecimal digits after it.
    bool parse_hex4(std::uint32_t& unit) noexcept {
        ++cur_;
        unit = 0;
        for (int i = 0; i < 4; ++i, ++cur_) {
            if (cur_ == end_) return fail_eof(Fault::eof_string);
            const int digit = hex_value(*cur_);
            if (digit < 0) return fail(Fault::unexpected_end_of_hex_escape, cur_);
            unit = (unit << 4) | static_cast<std::uint32_t>(digit);
        }
        return true;
    }

    Planner planner_;
    BuildStack<JsonValue> elements_;          // elements of the arrays being read
    BuildStack<JsonMember> members_;          // members of the objects being read
    std::vector<detail::SortKey> sort_keys_;  // scratch for sorting one object's members
    std::vector<std::uint32_t> kept_;         // scratch: the members an object keeps, in key order
    detail::LastSortedOrder last_sorted_order_;
    std::string scratch_;                     // a string with escapes, as it is decoded
    std::array<Shape, kShapeDepths> shapes_;  // by depth of the object, from 1
};

}  // namespace

std::expected<JsonValue, JsonReadError> read_json(std::string_view text) {
    return Reader(text, BuildEverything{}).read();
}

std::expected<JsonValue, JsonReadError> read_json(std::string_view text, const ReadPlan& plan) {
    if (plan.member == nullptr) stop("a read plan needs its member function");
    return Reader(text, FollowPlan{&plan}).read();
}

std::expected<JsonValue, JsonReadError> read_json(std::string_view text, const ReadPlan& plan,
                                                  ElementConsumer& consumer) {
    if (plan.member == nullptr) stop("a read plan needs its member function");
    return Reader(text, FollowPlan{&plan}).read(&consumer);
}

}  // namespace zarn::json
