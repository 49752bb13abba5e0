#include "query/field_parser.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <format>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "common/stop.hpp"
#include "json/reader.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zarn::query {
namespace {

using json::JsonArray;
using json::JsonObject;
using json::JsonValue;

// --- Messages: every text this scanner reports is built here. -------------

constexpr std::string_view kNameAtEnd = "expected GraphQL name, found end of input";
constexpr std::string_view kUnterminatedString = "unterminated GraphQL string literal";
constexpr std::string_view kValueAtEnd = "unexpected end of GraphQL argument value";
constexpr std::string_view kNestingTooDeep = "GraphQL argument value nesting exceeds 127 levels";
constexpr std::string_view kUnterminatedSelectionSet = "unterminated GraphQL selection set";
constexpr std::string_view kFragments = "GraphQL fragments are not supported by zarn-lite yet";

static_assert(kMaxValueNesting == 127, "kNestingTooDeep names the bound");

// A byte is shown as the character whose code point is the byte's value, so
// the lead byte of a multi-byte character still gives valid UTF-8 (0xC3: "Ã").
void append_byte(std::string& out, unsigned char byte) {
    if (byte < 0x80) {
        out.push_back(static_cast<char>(byte));
    } else {
        out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
        out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
}

std::string name_expected_message(unsigned char found) {
    std::string message = "expected GraphQL name, found ";
    append_byte(message, found);
    return message;
}

std::string byte_expected_at_end_message(unsigned char expected) {
    std::string message = "expected ";
    append_byte(message, expected);
    message += ", found end of input";
    return message;
}

std::string byte_expected_message(unsigned char expected, unsigned char found) {
    std::string message = "expected ";
    append_byte(message, expected);
    message += ", found ";
    append_byte(message, found);
    return message;
}

std::string unterminated_block_message(unsigned char open) {
    std::string message = "unterminated GraphQL balanced block: ";
    append_byte(message, open);
    return message;
}

std::string unexpected_character_message(unsigned char found) {
    std::string message = "unexpected character in GraphQL argument value: ";
    append_byte(message, found);
    return message;
}

std::string missing_variable_message(std::string_view name) {
    return std::format("missing GraphQL variable: ${}", name);
}

std::string invalid_literal_message(std::string_view kind, const json::JsonReadError& error) {
    return std::format("invalid GraphQL {} literal: {}", kind, error.to_string());
}

// --- Byte classes. -----------------------------------------------------------

enum ByteClass : std::uint8_t { kIgnored = 1, kNameStart = 2, kDigit = 4 };

// Vertical tab, the byte-order mark and non-ASCII spaces are deliberately not
// ignored: GraphQL does not ignore them.
constexpr std::array<std::uint8_t, 256> kByteClasses = [] {
    std::array<std::uint8_t, 256> classes{};
    for (const unsigned char c : {'\t', '\n', '\f', '\r', ' ', ','}) classes[c] = kIgnored;
    for (int c = 'A'; c <= 'Z'; ++c) classes[c] = kNameStart;
    for (int c = 'a'; c <= 'z'; ++c) classes[c] = kNameStart;
    classes['_'] = kNameStart;
    for (int c = '0'; c <= '9'; ++c) classes[c] = kDigit;
    return classes;
}();

constexpr bool is_ignored(unsigned char c) noexcept { return kByteClasses[c] == kIgnored; }
constexpr bool is_name_start(unsigned char c) noexcept { return kByteClasses[c] == kNameStart; }
constexpr bool is_digit(unsigned char c) noexcept { return kByteClasses[c] == kDigit; }
constexpr bool is_name_continue(unsigned char c) noexcept { return (kByteClasses[c] & (kNameStart | kDigit)) != 0; }

// The end of the name whose first byte is at `p`: the first byte from `p` on
// that cannot continue a name, or `limit`. Sixteen bytes at a time with SSE2.
const char* name_end(const char* p, const char* limit) noexcept {
#if defined(__SSE2__)
    // x in [low, low + count) as unsigned bytes, as a signed compare after a shift.
    const auto in_range = [](__m128i x, char low, int count) {
        const __m128i shifted = _mm_add_epi8(x, _mm_set1_epi8(static_cast<char>(0x80 - low)));
        return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(count - 0x80)));
    };
    while (limit - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i letter = in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 26);
        const __m128i digit = in_range(v, '0', 10);
        const __m128i underscore = _mm_cmpeq_epi8(v, _mm_set1_epi8('_'));
        const auto mask =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(letter, digit), underscore)));
        if (mask != 0xFFFF) return p + std::countr_one(mask);
        p += 16;
    }
#endif
    while (p != limit && is_name_continue(static_cast<unsigned char>(*p))) ++p;
    return p;
}

// Where a comment starting at `hash` ends: after the first LF or CR, or at
// the end of the text.
std::size_t comment_end(std::string_view text, std::size_t hash) noexcept {
    const std::size_t line_end = text.find_first_of("\n\r", hash + 1);
    return line_end == std::string_view::npos ? text.size() : line_end + 1;
}

// Most literals are short and plain; these read them without the JSON
// reader and give exactly what it would. Anything else goes to the reader.

// An integer of at most 18 digits without a leading zero ("0" itself aside):
// it always fits, as unsigned or as a negative signed value. "-0" is a double
// and is left to the reader.
std::optional<JsonValue> short_integer(std::string_view literal) noexcept {
    const bool negative = !literal.empty() && literal.front() == '-';
    const std::string_view digits = literal.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 18) return std::nullopt;
    if (digits.front() == '0' && (digits.size() > 1 || negative)) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (!is_digit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (negative) return JsonValue(-static_cast<std::int64_t>(value));
    return JsonValue(value);
}

// Members of an argument list or input object as they are read: the first
// few in room on the stack, and all of them in a list once there are more.
// The object is built once, at the end, in key order; of repeated names the
// value given last is kept.
class MemberCollector {
public:
    MemberCollector() noexcept = default;
    MemberCollector(const MemberCollector&) = delete;
    MemberCollector& operator=(const MemberCollector&) = delete;
    ~MemberCollector() { std::destroy_n(held(), held_count_); }

    void add(std::string_view name, JsonValue&& value) {
        if (spilled_.empty() && held_count_ < kHeld) {
            ::new (static_cast<void*>(held() + held_count_)) json::JsonMember(json::JsonString(name), std::move(value));
            ++held_count_;
            return;
        }
        if (spilled_.empty()) {
            spilled_.reserve(2 * kHeld);
            for (json::JsonMember& member : std::span(held(), held_count_)) spilled_.push_back(std::move(member));
        }
        spilled_.emplace_back(json::JsonString(name), std::move(value));
    }

    JsonObject take() {
        if (!spilled_.empty()) return JsonObject::from_members(std::span(spilled_));
        return JsonObject::from_members(std::span(held(), held_count_));
    }

private:
    static constexpr std::size_t kHeld = 8;
    json::JsonMember* held() noexcept { return std::launder(reinterpret_cast<json::JsonMember*>(held_bytes_)); }

    alignas(json::JsonMember) std::byte held_bytes_[kHeld * sizeof(json::JsonMember)];
    std::size_t held_count_ = 0;
    std::vector<json::JsonMember> spilled_;
};

}  // namespace

bool GraphqlFieldParser::at_name_start() const noexcept { return !at_end() && is_name_start(current()); }

// Cursor on `"`: consumes a quoted string through its closing quote; a
// backslash always takes the byte after it.
Status GraphqlFieldParser::skip_string() {
    std::size_t i = position_ + 1;
    while ((i = input_.find_first_of("\"\\", i)) != std::string_view::npos) {
        if (input_[i] == '"') {
            position_ = i + 1;
            return {};
        }
        i += 2;
    }
    position_ = input_.size();
    return fail(std::string(kUnterminatedString));
}

void GraphqlFieldParser::skip_ignored_run() noexcept {
    std::size_t i = position_;
    const std::size_t size = input_.size();
    while (i < size) {
        const auto c = static_cast<unsigned char>(input_[i]);
        if (is_ignored(c)) {
            ++i;
        } else if (c == '#') {
            i = comment_end(input_, i);
        } else {
            break;
        }
    }
    position_ = i;
}

Result<std::string_view> GraphqlFieldParser::parse_name_view() {
    skip_ignored();
    if (at_end()) return fail(std::string(kNameAtEnd));
    if (!is_name_start(current())) return fail(name_expected_message(current()));
    const char* const start = input_.data() + position_;
    const char* const end = name_end(start + 1, input_.data() + input_.size());
    position_ = static_cast<std::size_t>(end - input_.data());
    return std::string_view(start, static_cast<std::size_t>(end - start));
}

Status GraphqlFieldParser::byte_missing(char expected) const {
    const auto wanted = static_cast<unsigned char>(expected);
    if (at_end()) return fail(byte_expected_at_end_message(wanted));
    return fail(byte_expected_message(wanted, current()));
}

Status GraphqlFieldParser::skip_balanced(char open, char close) {
    if (open == close || open == '"' || open == '#' || close == '"' || close == '#')
        stop("skip_balanced needs a pair of distinct brackets");
    if (auto opened = expect_byte(open); !opened) return opened;
    const char stops[] = {'"', '#', open, close};
    const std::string_view stop_bytes(stops, sizeof stops);
    std::size_t depth = 1;
    for (std::size_t found; (found = input_.find_first_of(stop_bytes, position_)) != std::string_view::npos;) {
        position_ = found;
        const char c = input_[position_];
        if (c == '"') {
            if (auto skipped = skip_string(); !skipped) return skipped;
        } else if (c == '#') {
            position_ = comment_end(input_, position_);
        } else if (c == open) {
            ++position_;
            ++depth;
        } else {
            ++position_;
            if (--depth == 0) return {};
        }
    }
    position_ = input_.size();
    return fail(unterminated_block_message(static_cast<unsigned char>(open)));
}

// directives := ( "@" name arguments? )*
// Cursor on the first `@`.
Status GraphqlFieldParser::skip_directive_run() {
    for (;; skip_ignored()) {
        if (!at('@')) return {};
        ++position_;
        if (auto name = parse_name_view(); !name) return fail(std::move(name).error());
        skip_ignored();
        if (at('(')) {
            if (auto skipped = skip_balanced('(', ')'); !skipped) return skipped;
        }
    }
}

Result<JsonValue> GraphqlFieldParser::parse_value() { return parse_value_at(0); }

// value := object | list | string | variable | number | name
// `depth` counts the lists and objects that enclose the value.
Result<JsonValue> GraphqlFieldParser::parse_value_at(std::size_t depth) {
    skip_ignored();
    if (at_end()) return fail(std::string(kValueAtEnd));
    const unsigned char c = current();
    switch (c) {
        case '{':
        case '[':
            // Checked before descending, so the recursion depth is bounded by
            // the constant rather than by the input.
            if (depth == kMaxValueNesting) return fail(std::string(kNestingTooDeep));
            return c == '{' ? parse_object(depth + 1) : parse_list(depth + 1);
        case '"': return parse_string_literal();
        case '$': return parse_variable();
        case '-': return parse_number_literal();
        default:
            if (is_digit(c)) return parse_number_literal();
            if (is_name_start(c)) return parse_named_value();
            return fail(unexpected_character_message(c));
    }
}

// list := "[" value* "]"
Result<JsonValue> GraphqlFieldParser::parse_list(std::size_t depth) {
    ++position_;
    JsonArray items;
    for (;;) {
        skip_ignored();
        if (at(']')) {
            ++position_;
            return JsonValue(std::move(items));
        }
        auto item = parse_value_at(depth);
        if (!item) return item;
        items.push_back(std::move(*item));
    }
}

// object := "{" ( name ":" value )* "}"
Result<JsonValue> GraphqlFieldParser::parse_object(std::size_t depth) {
    ++position_;
    MemberCollector members;
    for (;;) {
        skip_ignored();
        if (at('}')) {
            ++position_;
            return JsonValue(members.take());
        }
        const auto name = parse_name_view();
        if (!name) return fail(name.error());
        if (auto colon = expect_byte(':'); !colon) return fail(std::move(colon).error());
        auto value = parse_value_at(depth);
        if (!value) return value;
        members.add(*name, std::move(*value));
    }
}

// variable := "$" name
Result<JsonValue> GraphqlFieldParser::parse_variable() {
    ++position_;
    const auto name = parse_name_view();
    if (!name) return fail(name.error());
    const JsonValue* value = variables_->find(*name);
    if (value == nullptr) return fail(missing_variable_message(*name));
    if (takeable_variables_ != nullptr) {
        const auto ahead =
            std::ranges::lower_bound(references_ahead_, *name, {}, &std::pair<std::string_view, std::size_t>::first);
        if (ahead == references_ahead_.end() || ahead->first != *name) stop("every reference was counted");
        if (--ahead->second == 0) return std::move(*takeable_variables_->find(*name));
    }
    return *value;
}

// The name a `$` at `dollar` introduces, read as parse_variable reads it.
std::optional<std::string_view> GraphqlFieldParser::name_after_dollar(std::size_t dollar) const noexcept {
    GraphqlFieldParser scout(input_, *variables_);
    scout.position_ = dollar + 1;
    scout.skip_ignored();
    if (!scout.at_name_start()) return std::nullopt;
    const char* const start = input_.data() + scout.position_;
    const char* const end = name_end(start + 1, input_.data() + input_.size());
    return std::string_view(start, static_cast<std::size_t>(end - start));
}

void GraphqlFieldParser::take_variable_values_at_last_reference(JsonObject& variables) {
    if (&variables != variables_) stop("the variables taken from are the ones the parser reads");
    takeable_variables_ = &variables;
    references_ahead_.clear();
    for (std::size_t dollar = input_.find('$', position_); dollar != std::string_view::npos;
         dollar = input_.find('$', dollar + 1)) {
        if (const auto name = name_after_dollar(dollar)) references_ahead_.emplace_back(*name, 1);
    }
    std::ranges::sort(references_ahead_);
    // Adjacent entries of one name become one entry with their count.
    std::size_t kept = 0;
    for (const auto entry : references_ahead_) {
        if (kept > 0 && references_ahead_[kept - 1].first == entry.first) {
            ++references_ahead_[kept - 1].second;
        } else {
            references_ahead_[kept++] = entry;
        }
    }
    references_ahead_.resize(kept);
}

// The literal's exact text, quotes included, is a JSON string: the JSON
// reader decides which escapes are valid and decodes them.
Result<JsonValue> GraphqlFieldParser::parse_string_literal() {
    // Most literals are printable ASCII without escapes: one scan finds their
    // closing quote and shows that the body is the value.
    const char* const body = input_.data() + position_ + 1;
    const char* const limit = input_.data() + input_.size();
    if (const char* stop = json::plain_string_end(body, limit)) {
        position_ = static_cast<std::size_t>(stop + 1 - input_.data());
        return JsonValue(std::string_view(body, static_cast<std::size_t>(stop - body)));
    }
    const std::size_t start = position_;
    if (auto skipped = skip_string(); !skipped) return fail(std::move(skipped).error());
    const std::string_view literal = input_.substr(start, position_ - start);
    auto decoded = json::read_json(literal);
    if (!decoded) return fail(invalid_literal_message("string", decoded.error()));
    return std::move(*decoded);
}

// number := "-"? digit* ( "." digit* )? ( [eE] [+-]? digit* )?
// Deliberately looser than JSON: the JSON reader rejects what is malformed
// ("-", "1.", "01") with its own description.
Result<JsonValue> GraphqlFieldParser::parse_number_literal() {
    const std::size_t start = position_;
    const auto skip_digits = [this] {
        while (!at_end() && is_digit(current())) ++position_;
    };
    if (at('-')) ++position_;
    skip_digits();
    if (at('.')) {
        ++position_;
        skip_digits();
    }
    if (at('e') || at('E')) {
        ++position_;
        if (at('+') || at('-')) ++position_;
        skip_digits();
    }
    const std::string_view literal = input_.substr(start, position_ - start);
    if (auto integer = short_integer(literal)) return std::move(*integer);
    auto number = json::read_json(literal);
    if (!number) return fail(invalid_literal_message("number", number.error()));
    return std::move(*number);
}

// true, false and null are exact and case-sensitive; any other name is an
// enum value, given as its text.
Result<JsonValue> GraphqlFieldParser::parse_named_value() {
    const auto name = parse_name_view();
    if (!name) return fail(name.error());
    if (*name == "true") return Result<JsonValue>(std::in_place, true);
    if (*name == "false") return Result<JsonValue>(std::in_place, false);
    if (*name == "null") return Result<JsonValue>(std::in_place, nullptr);
    return Result<JsonValue>(std::in_place, *name);
}

// arguments := "(" ( name ":" value )* ")"
Result<JsonObject> GraphqlFieldParser::parse_arguments() {
    ++position_;
    MemberCollector members;
    for (;;) {
        skip_ignored();
        if (at(')')) {
            ++position_;
            return members.take();
        }
        const auto name = parse_name_view();
        if (!name) return fail(name.error());
        if (auto colon = expect_byte(':'); !colon) return fail(std::move(colon).error());
        auto value = parse_value();
        if (!value) return fail(std::move(value).error());
        members.add(*name, std::move(*value));
    }
}

// selection_set := "{" ( ( name ":" )? name arguments? directives selection_set? )* "}"
Status GraphqlFieldParser::parse_selection_set(std::vector<SelectedField>& fields) {
    if (auto opened = expect_byte('{'); !opened) return fail(std::move(opened).error());
    for (;;) {
        skip_ignored();
        if (at_end()) return fail(std::string(kUnterminatedSelectionSet));
        if (at('}')) {
            ++position_;
            return {};
        }
        if (input_.substr(position_, 3) == "...") return fail(std::string(kFragments));

        const auto first = parse_name_view();
        if (!first) return fail(first.error());
        skip_ignored();
        const std::string_view alias = *first;
        std::string_view name = *first;
        if (at(':')) {
            ++position_;
            const auto second = parse_name_view();
            if (!second) return fail(second.error());
            name = *second;
        }
        // Filled in place: a failure below fails the whole list anyway.
        if (fields.capacity() == 0) fields.reserve(8);
        SelectedField& field = fields.emplace_back();
        field.alias = alias;
        field.name = name;

        skip_ignored();
        if (at('(')) {
            auto arguments = parse_arguments();
            if (!arguments) return fail(std::move(arguments).error());
            field.arguments = std::move(*arguments);
        }
        // Field directives, @skip and @include included, have no effect.
        if (auto skipped = skip_directives(); !skipped) return fail(std::move(skipped).error());
        // Fields are flat: a sub-selection is only checked for balance.
        if (at('{')) {
            if (auto skipped = skip_balanced('{', '}'); !skipped) return fail(std::move(skipped).error());
        }
    }
}

}  // namespace zarn::query
