#include "json/writer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#include "json/string_scan.hpp"

namespace zarn::json {
namespace {

// How each byte below 0x20 is written inside a string.
struct Escape {
    char text[6];
    std::uint8_t length;
};

constexpr std::array<Escape, 0x20> kControlEscapes = [] {
    constexpr char kHex[] = "0123456789abcdef";
    std::array<Escape, 0x20> table{};
    for (std::size_t c = 0; c < table.size(); ++c) table[c] = {{'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]}, 6};
    table['\b'] = {{'\\', 'b'}, 2};
    table['\t'] = {{'\\', 't'}, 2};
    table['\n'] = {{'\\', 'n'}, 2};
    table['\f'] = {{'\\', 'f'}, 2};
    table['\r'] = {{'\\', 'r'}, 2};
    return table;
}();

// Appends to a std::string through a raw cursor: the string is grown ahead of
// the cursor and cut back to what was written when the Output goes away, so a
// throwing allocation leaves only whole output behind. Growing fills the new
// bytes, so it is geometric in what this Output writes, not in the size of
// the string: a response is written by one short-lived Output per member,
// and each must cost what it writes.
class Output {
public:
    explicit Output(std::string& text) : text_(text), written_(text.size()) {
        text_.resize(written_ + kMinimumRoom);
        cursor_ = text_.data() + written_;
        limit_ = text_.data() + text_.size();
    }
    ~Output() { text_.resize(static_cast<std::size_t>(cursor_ - text_.data())); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Makes room for `n` more bytes and returns where they go; the caller
    // writes them and then calls commit.
    [[gnu::always_inline]] char* room(std::size_t n) {
        if (static_cast<std::size_t>(limit_ - cursor_) < n) grow(n);
        return cursor_;
    }
    [[gnu::always_inline]] void commit(char* end) noexcept { cursor_ = end; }

    [[gnu::always_inline]] void put(char c) { *room(1) = c, ++cursor_; }
    [[gnu::always_inline]] void put(const char* data, std::size_t n) {
        std::memcpy(room(n), data, n);
        cursor_ += n;
    }

    void value(const JsonValue& value);
    void string(std::string_view text);
    void string_body(std::string_view text);
    template <class Integer>
    void integer(Integer n) {
        char* const out = room(20);  // before reading limit_, which room may move
        commit(std::to_chars(out, limit_, n).ptr);
    }
    void floating(double d);

private:
    static constexpr std::size_t kMinimumRoom = 64;

    // Writes `text` escaped, without quotes, at `out`, which has room for the
    // text as it is and `tail` bytes more; returns the end of what was
    // written, with room for `tail` bytes after it.
    char* escaped(char* out, std::string_view text, std::size_t tail);

    [[gnu::noinline]] void grow(std::size_t n) {
        const auto used = static_cast<std::size_t>(cursor_ - text_.data());
        text_.resize(used + std::max(n + kMinimumRoom, 2 * (used - written_)));
        cursor_ = text_.data() + used;
        limit_ = text_.data() + text_.size();
    }

    std::string& text_;
    std::size_t written_;  // bytes in the string before this Output began
    char* cursor_;
    char* limit_;
};

void Output::value(const JsonValue& value) {
    switch (value.kind()) {
        case JsonKind::null: put("null", 4); return;
        case JsonKind::boolean:
            if (*value.if_bool()) put("true", 4);
            else put("false", 5);
            return;
        case JsonKind::unsigned_integer: integer(*value.if_unsigned()); return;
        case JsonKind::negative_integer: integer(*value.if_negative()); return;
        case JsonKind::floating: floating(*value.if_double()); return;
        case JsonKind::string: string(*value.if_string()); return;
        case JsonKind::array: {
            const JsonArray& array = *value.if_array();
            put('[');
            for (std::size_t i = 0; i < array.size(); ++i) {
                if (i > 0) put(',');
                this->value(array[i]);
            }
            put(']');
            return;
        }
        case JsonKind::object: {
            put('{');
            bool first = true;
            for (const auto& [key, member] : *value.if_object()) {
                if (!first) put(',');
                first = false;
                string(key);
                put(':');
                this->value(member);
            }
            put('}');
            return;
        }
    }
}

void Output::string(std::string_view text) {
    char* out = room(text.size() + 2);
    *out++ = '"';
    out = escaped(out, text, 1);
    *out++ = '"';
    commit(out);
}

void Output::string_body(std::string_view text) { commit(escaped(room(text.size()), text, 0)); }

char* Output::escaped(char* out, std::string_view text, std::size_t tail) {
    const char* run = text.data();
    const char* const end = run + text.size();
    for (;;) {
        const char* special = detail::find_string_special<detail::StopAt::escapes>(run, end);
        const auto length = static_cast<std::size_t>(special - run);
        std::memcpy(out, run, length);
        out += length;
        if (special == end) return out;
        // Room for this escape, the rest of the text and the tail.
        commit(out);
        out = room(6 + static_cast<std::size_t>(end - special) + tail);
        const auto c = static_cast<unsigned char>(*special);
        if (c == '"' || c == '\\') {
            *out++ = '\\';
            *out++ = static_cast<char>(c);
        } else {
            std::memcpy(out, kControlEscapes[c].text, 6);  // copies 6, keeps `length`
            out += kControlEscapes[c].length;
        }
        run = special + 1;
    }
}

// The shortest digits that read back as `d` (from std::to_chars), laid out by
// the decimal exponent e of the first digit: plain from 1e-5 up to below 1e16,
// with ".0" on integral values so the text still reads as a double; otherwise
// d.ddde+XX.
void Output::floating(double d) {
    if (!std::isfinite(d)) {
        put("null", 4);
        return;
    }
    char* out = room(32);
    if (d == 0) {
        commit(std::signbit(d) ? std::copy_n("-0.0", 4, out) : std::copy_n("0.0", 3, out));
        return;
    }
    // An integral value below 2^53 is its integer digits: no digit search needed.
    constexpr double kExactIntegers = 9007199254740992.0;  // 2^53
    if (std::fabs(d) < kExactIntegers && d == std::trunc(d)) {
        out = std::to_chars(out, limit_, static_cast<std::int64_t>(d)).ptr;
        *out++ = '.';
        *out++ = '0';
        commit(out);
        return;
    }
    // Scientific form: [-]d[.ddd]e(+|-)XX[X].
    char sci[32];
    const char* const sci_end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
    const char* p = sci;
    char digits[17];
    int count = 0;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    for (; *p != 'e'; ++p)
        if (*p != '.') digits[count++] = *p;
    ++p;
    const bool exponent_negative = *p == '-';
    int exponent = 0;
    for (++p; p != sci_end; ++p) exponent = exponent * 10 + (*p - '0');
    if (exponent_negative) exponent = -exponent;

    if (exponent >= 0 && exponent <= 15) {
        const int units = exponent + 1;  // digits before the point
        if (count <= units) {
            out = std::copy_n(digits, count, out);
            out = std::fill_n(out, units - count, '0');
            *out++ = '.';
            *out++ = '0';
        } else {
            out = std::copy_n(digits, units, out);
            *out++ = '.';
            out = std::copy_n(digits + units, count - units, out);
        }
    } else if (exponent >= -5 && exponent < 0) {
        *out++ = '0';
        *out++ = '.';
        out = std::fill_n(out, -exponent - 1, '0');
        out = std::copy_n(digits, count, out);
    } else {
        *out++ = digits[0];
        if (count > 1) {
            *out++ = '.';
            out = std::copy_n(digits + 1, count - 1, out);
        }
        *out++ = 'e';
        *out++ = exponent_negative ? '-' : '+';
        out = std::to_chars(out, limit_, exponent_negative ? -exponent : exponent).ptr;
    }
    commit(out);
}

}  // namespace

void write_json(const JsonValue& value, std::string& out) { Output(out).value(value); }

std::string to_json_text(const JsonValue& value) {
    std::string out;
    write_json(value, out);
    return out;
}

// Most strings written on their own (keys, names) need no escape: one check
// finds that, and a plain append follows, without setting up an Output.
bool needs_escape(std::string_view text) noexcept { return detail::needs_escape(text.data(), text.size()); }

void write_string(std::string_view text, std::string& out) {
    if (needs_escape(text)) {
        Output(out).string(text);
        return;
    }
    out.push_back('"');
    out.append(text);
    out.push_back('"');
}

void write_string_body(std::string_view text, std::string& out) {
    if (needs_escape(text)) Output(out).string_body(text);
    else out.append(text);
}
void write_unsigned(std::uint64_t n, std::string& out) { Output(out).integer(n); }
void write_signed(std::int64_t n, std::string& out) { Output(out).integer(n); }
void write_double(double d, std::string& out) { Output(out).floating(d); }

}  // namespace zarn::json
