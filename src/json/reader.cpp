#include "json/reader.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <format>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/stop.hpp"
#include "json/string_scan.hpp"

namespace zarn::json {

std::string JsonReadError::to_string() const {
    return std::format("{} at line {} column {}", description, line, column);
}

namespace {

enum class Fault : std::uint8_t {
    eof_list,
    eof_object,
    eof_string,
    eof_value,
    expected_colon,
    expected_list_comma_or_end,
    expected_object_comma_or_end,
    expected_ident,
    expected_value,
    invalid_escape,
    invalid_number,
    number_out_of_range,
    invalid_code_point,
    control_character,
    key_must_be_string,
    lone_leading_surrogate,
    trailing_comma,
    trailing_characters,
    unexpected_end_of_hex_escape,
    recursion_limit,
};

constexpr std::string_view phrase(Fault fault) noexcept {
    switch (fault) {
        case Fault::eof_list: return "EOF while parsing a list";
        case Fault::eof_object: return "EOF while parsing an object";
        case Fault::eof_string: return "EOF while parsing a string";
        case Fault::eof_value: return "EOF while parsing a value";
        case Fault::expected_colon: return "expected `:`";
        case Fault::expected_list_comma_or_end: return "expected `,` or `]`";
        case Fault::expected_object_comma_or_end: return "expected `,` or `}`";
        case Fault::expected_ident: return "expected ident";
        case Fault::expected_value: return "expected value";
        case Fault::invalid_escape: return "invalid escape";
        case Fault::invalid_number: return "invalid number";
        case Fault::number_out_of_range: return "number out of range";
        case Fault::invalid_code_point: return "invalid unicode code point";
        case Fault::control_character: return "control character (\\u0000-\\u001F) found while parsing a string";
        case Fault::key_must_be_string: return "key must be a string";
        case Fault::lone_leading_surrogate: return "lone leading surrogate in hex escape";
        case Fault::trailing_comma: return "trailing comma";
        case Fault::trailing_characters: return "trailing characters";
        case Fault::unexpected_end_of_hex_escape: return "unexpected end of hex escape";
        case Fault::recursion_limit: return "recursion limit exceeded";
    }
    return "expected value";
}

// Objects up to this size sort their members by insertion.
constexpr std::size_t kInsertionSortLimit = 16;

// The key shapes remembered: one for each of the first few depths, of up to
// this many keys.
constexpr std::size_t kShapeDepths = 8;
constexpr std::size_t kShapeKeys = 16;

// Exponents are read up to this size; beyond it every mantissa over- or
// underflows anyway.
constexpr std::int64_t kExponentCap = 1'000'000'000;

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

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

// The values and members of the containers being read, on one stack each. A
// finished container takes its part of the stack over by its bytes, and the
// stack then forgets that part instead of destroying it: every kind is
// trivially relocatable, so nothing is left there to destroy.
template <class T>
class BuildStack {
public:
    BuildStack() noexcept = default;
    BuildStack(const BuildStack&) = delete;
    BuildStack& operator=(const BuildStack&) = delete;
    ~BuildStack() {
        std::destroy_n(items_, size_);
        ::operator delete(items_);
    }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    // The items from `base` up.
    [[nodiscard]] std::span<T> from(std::size_t base) noexcept { return {items_ + base, size_ - base}; }

    template <class... Args>
    void emplace_back(Args&&... args) {
        if (size_ == capacity_) grow();
        ::new (static_cast<void*>(items_ + size_)) T(std::forward<Args>(args)...);
        ++size_;
    }
    // The items from `base` up were adopted, so their lifetime has ended.
    void forget_from(std::size_t base) noexcept { size_ = base; }
    // The items from `base` up are destroyed.
    void pop_to(std::size_t base) noexcept {
        std::destroy(items_ + base, items_ + size_);
        size_ = base;
    }

private:
    void grow() {
        const std::size_t capacity = capacity_ == 0 ? 64 : 2 * capacity_;
        T* const grown = static_cast<T*>(::operator new(capacity * sizeof(T)));
        if (size_ != 0) std::memcpy(static_cast<void*>(grown), static_cast<const void*>(items_), size_ * sizeof(T));
        ::operator delete(items_);
        items_ = grown;
        capacity_ = capacity;
    }

    T* items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

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
    void operator()(Args&&...) const noexcept {}
};

template <class Sink>
inline constexpr bool kDiscards = std::is_same_v<Sink, DiscardSink>;

using Context = ReadPlan::Context;

// Plans, as the reader consults them: every value is built ...
struct BuildEverything {
    [[nodiscard]] Context root() const noexcept { return 1; }
    [[nodiscard]] Context member(Context, std::string_view) const noexcept { return 1; }
};

// ... or the caller's plan decides.
struct FollowPlan {
    const ReadPlan* plan;
    [[nodiscard]] Context root() const noexcept { return plan->root; }
    [[nodiscard]] Context member(Context object, std::string_view key) const noexcept {
        return plan->member(object, key);
    }
};

// Objects at one depth (the records of an array, most often) are written
// with the same keys in the same order. A shape remembers the keys of the
// last object at its depth, as written, when each is short and needs no
// escape, so that the next object's keys can be compared as bytes rather
// than scanned, and the order that sorts them, so that an object with the
// same keys is not sorted again. Such a key written as it is decodes to
// itself, so a key that compares equal is the key parse_string would give.
struct Shape {
    std::size_t count = 0;  // keys remembered; 0 for none
    bool ordered = false;   // `order` lists the keys in ascending order, none repeated
    std::array<std::uint8_t, kShapeKeys> sizes;
    std::array<JsonString, kShapeKeys> keys;  // each held inline, so a copy is its bytes
    std::array<std::uint32_t, kShapeKeys> order;

    // Whether the text at `at` (an opening quote) is key `index`, quoted.
    [[nodiscard]] bool key_at(const char* at, const char* end, std::size_t index) const noexcept {
        const std::size_t size = sizes[index];
        return static_cast<std::size_t>(end - at) >= size + 2 && at[size + 1] == '"' &&
               equal_short(at + 1, keys[index].data(), size);
    }
    // Keys are short: two overlapping words compare them without a call.
    template <class Word>
    static bool equal_two_words(const char* a, const char* b, std::size_t size) noexcept {
        Word a_head, b_head, a_tail, b_tail;
        std::memcpy(&a_head, a, sizeof(Word));
        std::memcpy(&b_head, b, sizeof(Word));
        std::memcpy(&a_tail, a + size - sizeof(Word), sizeof(Word));
        std::memcpy(&b_tail, b + size - sizeof(Word), sizeof(Word));
        return ((a_head ^ b_head) | (a_tail ^ b_tail)) == 0;
    }
    static bool equal_short(const char* a, const char* b, std::size_t size) noexcept {
        if (size >= 8) return equal_two_words<std::uint64_t>(a, b, size);
        if (size >= 4) return equal_two_words<std::uint32_t>(a, b, size);
        for (std::size_t i = 0; i < size; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    void remember_keys(std::span<const JsonMember> members) noexcept {
        count = 0;
        ordered = false;
        if (members.size() > kShapeKeys) return;
        for (std::size_t i = 0; i < members.size(); ++i) {
            const std::string_view key = members[i].key;
            if (key.size() > JsonString::kInlineCapacity || detail::needs_escape(key.data(), key.size())) return;
            sizes[i] = static_cast<std::uint8_t>(key.size());
            keys[i] = members[i].key;
        }
        count = members.size();
    }
    // `position(i)`: where, as written, the i-th key in ascending order is.
    template <class Position>
    void remember_order(const Position& position) noexcept {
        if (count == 0) return;
        for (std::size_t i = 0; i < count; ++i) order[i] = position(i);
        ordered = true;
    }
};

// Recursive descent over one cursor. Every parse_* function returns false
// after recording the first fault; callers then unwind without touching the
// input again. Elements and members of the containers being read collect on
// two stacks shared by all levels, so each container is allocated once, at
// its final size, when it closes.
template <class Planner>
class Reader {
public:
    Reader(std::string_view text, Planner planner) noexcept
        : begin_(text.data()), end_(text.data() + text.size()), cur_(begin_), planner_(planner) {}

    // With a consumer, the elements of a root array go to it.
    std::expected<JsonValue, JsonReadError> read(ElementConsumer* consumer = nullptr) {
        std::optional<JsonValue> value;
        const Context root = planner_.root();
        const bool read = root == ReadPlan::kPruned ? parse_value(0, DiscardSink{}, root)
                          : consumer != nullptr     ? parse_value(0, StreamingRootSink{{&value}, consumer}, root)
                                                    : parse_value(0, RootSink{&value}, root);
        if (read) {
            skip_white_space();
            if (cur_ == end_) return value ? std::move(*value) : JsonValue();
            fail(Fault::trailing_characters, cur_);
        }
        return std::unexpected(error());
    }

private:
    // Records `fault` at the byte `at` points to.
    bool fail(Fault fault, const char* at) noexcept {
        failed_ = true;
        fault_ = fault;
        fault_at_ = at;
        return false;
    }
    // Records `fault` at the end of input.
    bool fail_eof(Fault fault) noexcept { return fail(fault, end_); }

    // The only place that turns a fault into its description and position.
    // Line and column are worked out here, so the happy path never counts
    // lines. A fault at the end of input points at the last byte read.
    JsonReadError error() const noexcept {
        std::size_t offset = static_cast<std::size_t>(fault_at_ - begin_);
        if (fault_at_ == end_) {
            if (offset == 0) return {phrase(fault_), 1, 0};
            --offset;
        }
        const std::string_view before(begin_, offset);
        const std::size_t line = 1 + static_cast<std::size_t>(std::ranges::count(before, '\n'));
        const std::size_t newline = before.rfind('\n');
        const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
        return {phrase(fault_), line, offset - line_start + 1};
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
        Shape* shape = nullptr;
        if constexpr (kRemembersShapes && !kDiscards<Sink>)
            if (depth <= kShapeDepths) shape = &shapes_[depth - 1];
        bool same_shape = shape != nullptr && shape->count != 0;
        for (std::size_t index = 0;; ++index) {
            if (*cur_ != '"') return fail(Fault::key_must_be_string, cur_);
            same_shape = same_shape && index < shape->count;
            if (!parse_member(depth, sink, context, same_shape ? shape : nullptr, index, &same_shape)) return false;
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
            const std::size_t count = members_.size() - base;
            if (same_shape && count == shape->count && shape->ordered) {
                // The keys are the shape's, so the shape's order sorts them.
                JsonObject object = JsonObject::adopt_sorted_members(
                    members_.from(base), std::span<const std::uint32_t>(shape->order.data(), count));
                members_.forget_from(base);
                sink(std::move(object));
            } else {
                sink(take_members(base, shape));
            }
        }
        return true;
    }

    // member = string ":" value, the cursor on the key's opening quote. The
    // key is decoded only when the value may be built.
    // With a shape, the key is first checked against the shape's key at
    // `index`; `*matched` is cleared when it is not that key.
    template <class Sink>
    bool parse_member(std::size_t depth, const Sink& sink, Context context, const Shape* shape = nullptr,
                      std::size_t index = 0, bool* matched = nullptr) {
        const auto expect_colon = [this] {
            skip_white_space();
            if (cur_ == end_) return fail_eof(Fault::eof_object);
            if (*cur_ != ':') return fail(Fault::expected_colon, cur_);
            ++cur_;
            return true;
        };
        if constexpr (kDiscards<Sink>) {
            return skip_string() && expect_colon() && parse_value(depth, sink, context);
        } else {
            JsonString key;
            if (shape != nullptr && shape->key_at(cur_, end_, index)) {
                key = shape->keys[index];
                cur_ += shape->sizes[index] + 2;
            } else {
                if (matched != nullptr) *matched = false;
                key = parse_string();
            }
            if (failed_ || !expect_colon()) return false;
            const Context inner = planner_.member(context, key);
            if (inner == ReadPlan::kPruned) return parse_value(depth, DiscardSink{}, inner);
            return parse_value(depth, MemberSink{&members_, &key}, inner);
        }
    }

    // Moves the members from `base` up off the stack into an object, in key
    // order, keeping the last value of a repeated key. Only a small record
    // per member is sorted (stably, so that "last" keeps its meaning), keyed
    // by the first eight key bytes so that most comparisons are one integer
    // compare; each member then moves once.
    JsonObject take_members(std::size_t base, Shape* record = nullptr) {
        const std::span<JsonMember> taken = members_.from(base);
        const auto first = taken.begin();
        const std::size_t count = taken.size();
        if (record != nullptr) record->remember_keys(taken);
        order_.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) order_[i] = {detail::key_prefix(first[i].key), i};
        const auto key_less = [&](const SortKey& a, const SortKey& b) {
            if (a.prefix != b.prefix) return a.prefix < b.prefix;
            return first[a.index].key < first[b.index].key;
        };
        const auto not_less = [&](const SortKey& a, const SortKey& b) { return !key_less(a, b); };
        JsonObject object;
        if (std::ranges::adjacent_find(order_, not_less) == order_.end()) {
            // Strictly ascending already, so no repeats either: the common
            // case for text written by a program.
            object = JsonObject::adopt_sorted_members(taken);
            if (record != nullptr) record->remember_order([](std::size_t i) { return static_cast<std::uint32_t>(i); });
            members_.forget_from(base);
        } else if (in_last_sorted_order(key_less)) {
            // A permutation of all of them, as the order's size is the count.
            object = JsonObject::adopt_sorted_members(taken, last_sorted_order_);
            if (record != nullptr) record->remember_order([&](std::size_t i) { return last_sorted_order_[i]; });
            members_.forget_from(base);
        } else {
            if (count <= kInsertionSortLimit) {
                for (std::size_t i = 1; i < count; ++i) {
                    const SortKey moving = order_[i];
                    std::size_t j = i;
                    for (; j > 0 && key_less(moving, order_[j - 1]); --j) order_[j] = order_[j - 1];
                    order_[j] = moving;
                }
            } else {
                std::ranges::stable_sort(order_, key_less);
            }
            remember_sorted_order(key_less);
            // The order just sorted, unless a key repeats: the object then
            // has fewer members than the text keys, and no order of the keys
            // stands for it.
            if (record != nullptr && last_sorted_order_.size() == count && in_last_sorted_order(key_less))
                record->remember_order([&](std::size_t i) { return last_sorted_order_[i]; });
            object.reserve(count);
            for (std::size_t i = 0; i < count; ++i) {
                JsonMember& member = first[order_[i].index];
                if (i + 1 < count && order_[i].prefix == order_[i + 1].prefix &&
                    member.key == first[order_[i + 1].index].key)
                    continue;  // a later member has this key
                object.append_sorted(std::move(member.key), std::move(member.value));
            }
            // Moved from, or of a repeated key: these are still to destroy.
            members_.pop_to(base);
        }
        return object;
    }

    // Records of one kind (the elements of an array of them, most often) are
    // written with their keys in the same order: the order found by the last
    // sort is tried first. It is taken only when the keys come out strictly
    // ascending in it, which also rules out a repeated key, so the result is
    // the one a sort would give.
    template <class KeyLess>
    bool in_last_sorted_order(const KeyLess& key_less) const {
        const std::size_t count = order_.size();
        if (last_sorted_order_.size() != count) return false;
        for (std::size_t i = 1; i < count; ++i)
            if (!key_less(order_[last_sorted_order_[i - 1]], order_[last_sorted_order_[i]])) return false;
        return true;
    }

    // Keeps the order just sorted for the next object, unless a key repeats
    // (the check above could never take it again).
    template <class KeyLess>
    void remember_sorted_order(const KeyLess& key_less) {
        const std::size_t count = order_.size();
        for (std::size_t i = 1; i < count; ++i)
            if (!key_less(order_[i - 1], order_[i])) return;
        last_sorted_order_.resize(count);
        for (std::size_t i = 0; i < count; ++i) last_sorted_order_[i] = order_[i].index;
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
            return JsonString(std::string_view(start, static_cast<std::size_t>(p - start)));
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

    // number = [ "-" ] int [ frac ] [ exp ]
    // The grammar is checked while the digits are gathered; then integers
    // without fraction or exponent stay integers when they fit, short
    // decimals take an exact fast path, and everything else is read by
    // std::from_chars, which rounds correctly.
    template <class Sink>
    bool parse_number(const Sink& sink) {
        const char* const start = cur_;
        const bool negative = *cur_ == '-';
        if (negative) {
            ++cur_;
            if (cur_ == end_) return fail_eof(Fault::eof_value);
        }
        // Digits are gathered into `mantissa` as they are checked; it is
        // trusted only while there are at most nineteen (which always fit).
        std::uint64_t mantissa = 0;
        const char* const int_start = cur_;
        if (*cur_ == '0') {
            ++cur_;
            if (cur_ != end_ && is_digit(*cur_)) return fail(Fault::invalid_number, cur_);
        } else if (is_digit(*cur_)) {
            cur_ = gather_digits(cur_, end_, mantissa);
        } else {
            return fail(Fault::invalid_number, cur_);
        }
        const auto int_digits = static_cast<std::size_t>(cur_ - int_start);
        const bool integral = cur_ == end_ || (*cur_ != '.' && *cur_ != 'e' && *cur_ != 'E');
        if (integral) {
            if (int_digits <= 19) {
                if (!negative) {
                    sink(mantissa);
                    return true;
                }
                if (mantissa == 0) {
                    sink(-0.0);
                    return true;
                }
                constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;  // of INT64_MIN
                if (mantissa <= kMinMagnitude) {
                    // Two's complement negation in unsigned arithmetic, then back.
                    sink(static_cast<std::int64_t>(0 - mantissa));
                    return true;
                }
            } else if (int_digits == 20 && !negative) {
                // Up to 18446744073709551615 is still unsigned.
                std::uint64_t value = 0;
                bool fits = true;
                for (const char* p = int_start; p != cur_; ++p)
                    fits = fits && !__builtin_mul_overflow(value, 10u, &value) &&
                           !__builtin_add_overflow(value, static_cast<std::uint64_t>(*p - '0'), &value);
                if (fits) {
                    sink(value);
                    return true;
                }
            }
            return parse_double(start, negative, sink);
        }
        std::size_t digits = int_digits;
        std::int64_t exponent = 0;
        if (*cur_ == '.') {
            ++cur_;
            if (cur_ == end_) return fail_eof(Fault::eof_value);
            if (!is_digit(*cur_)) return fail(Fault::invalid_number, cur_);
            const char* const frac_start = cur_;
            cur_ = gather_digits(cur_, end_, mantissa);
            digits += static_cast<std::size_t>(cur_ - frac_start);
            exponent = -static_cast<std::int64_t>(cur_ - frac_start);
        }
        if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
            ++cur_;
            bool exponent_negative = false;
            if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) exponent_negative = *cur_++ == '-';
            if (cur_ == end_) return fail_eof(Fault::eof_value);
            if (!is_digit(*cur_)) return fail(Fault::invalid_number, cur_);
            std::int64_t written = 0;
            const char* p = cur_;
            for (; p != end_ && is_digit(*p); ++p)
                written = std::min<std::int64_t>(written * 10 + (*p - '0'), kExponentCap);
            cur_ = p;
            exponent += exponent_negative ? -written : written;
        }
        if (digits <= 19) {
            if (const auto value = exact_decimal(mantissa, exponent)) {
                sink(negative ? -*value : *value);
                return true;
            }
        }
        return parse_double(start, negative, sink);
    }

    // Appends the run of digits at `p` to `mantissa` (which wraps past
    // nineteen digits; callers count them) and returns the end of the run.
    static const char* gather_digits(const char* p, const char* end, std::uint64_t& mantissa) noexcept {
        std::uint64_t m = mantissa;
        for (; p != end && is_digit(*p); ++p) m = m * 10 + static_cast<std::uint64_t>(*p - '0');
        mantissa = m;
        return p;
    }

    // The number from `start` to the cursor, grammar already checked, by
    // std::from_chars. Too large is an error; too small reads as zero.
    template <class Sink>
    bool parse_double(const char* start, bool negative, const Sink& sink) {
        double value = 0;
        const auto [end, ec] = std::from_chars(start, cur_, value);
        if (ec == std::errc::result_out_of_range) {
            if (overflows(start, cur_)) return fail(Fault::number_out_of_range, cur_ - 1);
            value = negative ? -0.0 : 0.0;
        } else if (ec != std::errc() || end != cur_) {
            return fail(Fault::invalid_number, start);  // not reached: the grammar was checked
        }
        sink(value);
        return true;
    }

    // mantissa * 10^exponent when both factors are exact doubles, so that the
    // one rounding of the product or quotient is the correct one (Clinger).
    static std::optional<double> exact_decimal(std::uint64_t mantissa, std::int64_t exponent) noexcept {
#if FLT_EVAL_METHOD == 0
        static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        if (mantissa > (std::uint64_t{1} << 53) || exponent < -22 || exponent > 22) return std::nullopt;
        const auto m = static_cast<double>(mantissa);
        return exponent < 0 ? m / kPowers[-exponent] : m * kPowers[exponent];
#else
        (void)mantissa;
        (void)exponent;
        return std::nullopt;
#endif
    }

    // For a number that std::from_chars found out of range: whether it is too
    // large (rather than too small, which reads as zero). Compares the decimal
    // exponent of its first significant digit with zero.
    static bool overflows(const char* p, const char* end) noexcept {
        if (*p == '-') ++p;
        std::int64_t point = 0;  // decimal exponent of the first significant digit
        bool found = false;
        for (; p != end && is_digit(*p); ++p) {
            if (found) ++point;
            else if (*p != '0') found = true;
        }
        if (p != end && *p == '.') {
            for (++p; p != end && is_digit(*p); ++p) {
                if (!found) {
                    --point;
                    if (*p != '0') found = true;
                }
            }
        }
        if (!found) return false;
        std::int64_t exponent = 0;
        bool exponent_negative = false;
        if (p != end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
            for (; p != end; ++p) exponent = std::min<std::int64_t>(exponent * 10 + (*p - '0'), kExponentCap);
        }
        return point + (exponent_negative ? -exponent : exponent) > 0;
    }

    struct SortKey {
        std::uint64_t prefix;
        std::uint32_t index;
    };

    static constexpr bool kRemembersShapes = std::is_same_v<Planner, BuildEverything>;

    const char* const begin_;
    const char* const end_;
    const char* cur_;
    Planner planner_;
    bool failed_ = false;
    Fault fault_ = Fault::expected_value;
    const char* fault_at_ = nullptr;
    BuildStack<JsonValue> elements_;                // elements of the arrays being read
    BuildStack<JsonMember> members_;                // members of the objects being read
    std::vector<SortKey> order_;                    // scratch for sorting one object's members
    std::vector<std::uint32_t> last_sorted_order_;  // positions, as written, in key order
    std::string scratch_;                           // a string with escapes, as it is decoded
    std::array<Shape, kShapeDepths> shapes_;        // by depth of the object, from 1
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
