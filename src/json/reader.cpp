#include "json/reader.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <format>
#include <iterator>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

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
        case Fault::control_character:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case Fault::key_must_be_string: return "key must be a string";
        case Fault::lone_leading_surrogate: return "lone leading surrogate in hex escape";
        case Fault::trailing_comma: return "trailing comma";
        case Fault::trailing_characters: return "trailing characters";
        case Fault::unexpected_end_of_hex_escape: return "unexpected end of hex escape";
        case Fault::recursion_limit: return "recursion limit exceeded";
    }
    return "expected value";
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// First byte at or after `p` that a string scan must look at: a quote, a
// backslash, a control character or the start of a multi-byte sequence.
// Eight bytes at a time; the lowest flagged byte of each mask is always a true
// match (a borrow only propagates upwards from one), which is all we need.
const char* find_string_special(const char* p, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
        constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            const std::uint64_t quote = w ^ (kOnes * '"');
            const std::uint64_t slash = w ^ (kOnes * '\\');
            const std::uint64_t mask = (w | ((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) |
                                        ((slash - kOnes) & ~slash)) &
                                       kHigh;
            if (mask != 0) return p + std::countr_zero(mask) / 8;
            p += 8;
        }
    }
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return p;
    }
    return end;
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

// Recursive descent over one cursor. Every parse_* function returns false after
// recording the first fault; the caller then unwinds without touching the input.
class Reader {
public:
    explicit Reader(std::string_view text) noexcept
        : begin_(text.data()), end_(text.data() + text.size()), cur_(begin_) {}

    std::expected<JsonValue, JsonReadError> read() {
        JsonValue value;
        if (!parse_value(value, 0)) return std::unexpected(error());
        skip_white_space();
        if (cur_ != end_) {
            fail(Fault::trailing_characters, cur_);
            return std::unexpected(error());
        }
        return value;
    }

private:
    // Records `fault` at the byte `at` points to.
    bool fail(Fault fault, const char* at) noexcept {
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

    void skip_white_space() noexcept {
        while (cur_ != end_ && (*cur_ == ' ' || *cur_ == '\n' || *cur_ == '\r' || *cur_ == '\t'))
            ++cur_;
    }

    // value = object / array / string / number / true / false / null
    // `depth` is the number of arrays and objects around the value.
    bool parse_value(JsonValue& out, std::size_t depth) {
        skip_white_space();
        if (cur_ == end_) return fail_eof(Fault::eof_value);
        switch (*cur_) {
            case '{': return parse_object(out, depth + 1);
            case '[': return parse_array(out, depth + 1);
            case '"': {
                std::string text;
                if (!parse_string(text)) return false;
                out = JsonValue(std::move(text));
                return true;
            }
            case 't': return parse_literal("true", JsonValue(true), out);
            case 'f': return parse_literal("false", JsonValue(false), out);
            case 'n': return parse_literal("null", JsonValue(), out);
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
            case '9': return parse_number(out);
            default: return fail(Fault::expected_value, cur_);
        }
    }

    // The cursor is on the first letter, which matches `word`.
    bool parse_literal(std::string_view word, JsonValue value, JsonValue& out) noexcept {
        for (std::size_t i = 1; i < word.size(); ++i) {
            if (cur_ + i == end_) return fail_eof(Fault::eof_value);
            if (cur_[i] != word[i]) return fail(Fault::expected_ident, cur_ + i);
        }
        cur_ += word.size();
        out = std::move(value);
        return true;
    }

    // array = "[" [ value *( "," value ) ] "]"
    // Elements collect on one stack shared by all arrays, so each array is
    // allocated once at its final size.
    bool parse_array(JsonValue& out, std::size_t depth) {
        if (depth > kMaxNestingDepth) return fail(Fault::recursion_limit, cur_);
        ++cur_;
        skip_white_space();
        if (cur_ == end_) return fail_eof(Fault::eof_list);
        if (*cur_ == ']') {
            ++cur_;
            out = JsonValue(JsonArray());
            return true;
        }
        const std::size_t base = elements_.size();
        for (;;) {
            JsonValue element;
            if (!parse_value(element, depth)) return false;
            elements_.push_back(std::move(element));
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
        const auto first = elements_.begin() + static_cast<std::ptrdiff_t>(base);
        JsonArray array(std::make_move_iterator(first), std::make_move_iterator(elements_.end()));
        elements_.erase(first, elements_.end());
        out = JsonValue(std::move(array));
        return true;
    }

    // object = "{" [ member *( "," member ) ] "}";  member = string ":" value
    // Members collect on a shared stack too and are sorted once at the end.
    bool parse_object(JsonValue& out, std::size_t depth) {
        if (depth > kMaxNestingDepth) return fail(Fault::recursion_limit, cur_);
        ++cur_;
        skip_white_space();
        if (cur_ == end_) return fail_eof(Fault::eof_object);
        if (*cur_ == '}') {
            ++cur_;
            out = JsonValue(JsonObject());
            return true;
        }
        const std::size_t base = members_.size();
        for (;;) {
            if (*cur_ != '"') return fail(Fault::key_must_be_string, cur_);
            std::string key;
            if (!parse_string(key)) return false;
            skip_white_space();
            if (cur_ == end_) return fail_eof(Fault::eof_object);
            if (*cur_ != ':') return fail(Fault::expected_colon, cur_);
            ++cur_;
            JsonValue value;
            if (!parse_value(value, depth)) return false;
            members_.emplace_back(std::move(key), std::move(value));
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
        const auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
        std::vector<JsonObject::Member> members(std::make_move_iterator(first),
                                                std::make_move_iterator(members_.end()));
        members_.erase(first, members_.end());
        out = JsonValue(JsonObject::from_members(std::move(members)));
        return true;
    }

    // string = quotation-mark *char quotation-mark, the cursor on the opening
    // quote. Runs without escapes are copied whole; multi-byte sequences are
    // checked to be well-formed UTF-8.
    bool parse_string(std::string& out) {
        ++cur_;
        const char* run = cur_;
        for (;;) {
            cur_ = find_string_special(cur_, end_);
            if (cur_ == end_) return fail_eof(Fault::eof_string);
            const auto c = static_cast<unsigned char>(*cur_);
            if (c == '"') {
                out.append(run, cur_);
                ++cur_;
                return true;
            }
            if (c >= 0x80) {
                if (!skip_utf8_sequence()) return false;
                continue;
            }
            if (c != '\\') return fail(Fault::control_character, cur_);
            out.append(run, cur_);
            if (!parse_escape(out)) return false;
            run = cur_;
        }
    }

    // Moves past one well-formed multi-byte UTF-8 sequence (RFC 3629: no
    // overlong forms, no surrogates, nothing above U+10FFFF). A sequence cut
    // short by the end of input is an unfinished string, not a bad one.
    bool skip_utf8_sequence() noexcept {
        const auto lead = static_cast<unsigned char>(*cur_);
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
            return fail(Fault::invalid_code_point, cur_);
        }
        for (std::size_t i = 1; i < length; ++i) {
            if (cur_ + i == end_) return fail_eof(Fault::eof_string);
            const auto c = static_cast<unsigned char>(cur_[i]);
            if (c < low || c > high) return fail(Fault::invalid_code_point, cur_ + i);
            low = 0x80;
            high = 0xBF;
        }
        cur_ += length;
        return true;
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
            if (trail < 0xDC00 || trail > 0xDFFF)
                return fail(Fault::lone_leading_surrogate, cur_ - 1);
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
    // Integers without fraction or exponent stay integers when they fit;
    // everything else is read by std::from_chars, which rounds correctly.
    bool parse_number(JsonValue& out) {
        const char* const start = cur_;
        const bool negative = *cur_ == '-';
        if (negative) {
            ++cur_;
            if (cur_ == end_) return fail_eof(Fault::eof_value);
        }
        std::uint64_t magnitude = 0;
        bool fits = true;
        if (*cur_ == '0') {
            ++cur_;
            if (cur_ != end_ && is_digit(*cur_)) return fail(Fault::invalid_number, cur_);
        } else if (is_digit(*cur_)) {
            for (; cur_ != end_ && is_digit(*cur_); ++cur_) {
                const auto digit = static_cast<std::uint64_t>(*cur_ - '0');
                fits = fits && !__builtin_mul_overflow(magnitude, 10u, &magnitude) &&
                       !__builtin_add_overflow(magnitude, digit, &magnitude);
            }
        } else {
            return fail(Fault::invalid_number, cur_);
        }
        bool integral = true;
        if (cur_ != end_ && *cur_ == '.') {
            integral = false;
            ++cur_;
            if (!skip_digits()) return false;
        }
        if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E')) {
            integral = false;
            ++cur_;
            if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) ++cur_;
            if (!skip_digits()) return false;
        }
        if (integral && fits) {
            if (!negative) {
                out = JsonValue(magnitude);
                return true;
            }
            constexpr auto kMinMagnitude =
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
            if (magnitude == 0) {
                out = JsonValue(-0.0);
                return true;
            }
            if (magnitude <= kMinMagnitude) {
                // Two's complement negation in unsigned arithmetic, then back.
                out = JsonValue(static_cast<std::int64_t>(0 - magnitude));
                return true;
            }
        }
        double value = 0;
        const auto [end, ec] = std::from_chars(start, cur_, value);
        if (ec == std::errc::result_out_of_range) {
            if (overflows(start, cur_)) return fail(Fault::number_out_of_range, cur_ - 1);
            value = negative ? -0.0 : 0.0;
        } else if (ec != std::errc() || end != cur_) {
            return fail(Fault::invalid_number, start);  // not reached: the grammar was checked
        }
        out = JsonValue(value);
        return true;
    }

    // One or more digits, as the fraction and the exponent require.
    bool skip_digits() noexcept {
        if (cur_ == end_) return fail_eof(Fault::eof_value);
        if (!is_digit(*cur_)) return fail(Fault::invalid_number, cur_);
        while (cur_ != end_ && is_digit(*cur_)) ++cur_;
        return true;
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
            for (; p != end; ++p) exponent = std::min<std::int64_t>(exponent * 10 + (*p - '0'), 1'000'000'000);
        }
        return point + (exponent_negative ? -exponent : exponent) > 0;
    }

    const char* const begin_;
    const char* const end_;
    const char* cur_;
    Fault fault_ = Fault::expected_value;
    const char* fault_at_ = nullptr;
    std::vector<JsonValue> elements_;
    std::vector<JsonObject::Member> members_;
};

}  // namespace

std::expected<JsonValue, JsonReadError> read_json(std::string_view text) {
    return Reader(text).read();
}

}  // namespace zarn::json
