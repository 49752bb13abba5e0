#include "json/writer.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

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
    for (std::size_t c = 0; c < table.size(); ++c)
        table[c] = {{'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]}, 6};
    table['\b'] = {{'\\', 'b'}, 2};
    table['\t'] = {{'\\', 't'}, 2};
    table['\n'] = {{'\\', 'n'}, 2};
    table['\f'] = {{'\\', 'f'}, 2};
    table['\r'] = {{'\\', 'r'}, 2};
    return table;
}();

// First byte at or after `p` that needs an escape: a quote, a backslash or a
// control character. Eight bytes at a time, as in the reader; bytes from 0x80
// up pass through unchanged.
const char* find_escape(const char* p, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
        constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            const std::uint64_t quote = w ^ (kOnes * '"');
            const std::uint64_t slash = w ^ (kOnes * '\\');
            const std::uint64_t mask =
                (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) | ((slash - kOnes) & ~slash)) &
                kHigh;
            if (mask != 0) return p + std::countr_zero(mask) / 8;
            p += 8;
        }
    }
    for (; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20) return p;
    }
    return end;
}

void write_value(const JsonValue& value, std::string& out) {
    switch (value.kind()) {
        case JsonKind::null: out.append("null"); return;
        case JsonKind::boolean:
            if (*value.if_bool()) out.append("true");
            else out.append("false");
            return;
        case JsonKind::unsigned_integer: write_unsigned(*value.if_unsigned(), out); return;
        case JsonKind::negative_integer: write_signed(*value.if_negative(), out); return;
        case JsonKind::floating: write_double(*value.if_double(), out); return;
        case JsonKind::string: write_string(*value.if_string(), out); return;
        case JsonKind::array: {
            out.push_back('[');
            bool first = true;
            for (const JsonValue& element : *value.if_array()) {
                if (!first) out.push_back(',');
                first = false;
                write_value(element, out);
            }
            out.push_back(']');
            return;
        }
        case JsonKind::object: {
            out.push_back('{');
            bool first = true;
            for (const auto& [key, member] : *value.if_object()) {
                if (!first) out.push_back(',');
                first = false;
                write_string(key, out);
                out.push_back(':');
                write_value(member, out);
            }
            out.push_back('}');
            return;
        }
    }
}

}  // namespace

void write_json(const JsonValue& value, std::string& out) { write_value(value, out); }

std::string to_json_text(const JsonValue& value) {
    std::string out;
    write_value(value, out);
    return out;
}

void write_string(std::string_view text, std::string& out) {
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    const char* run = text.data();
    const char* const end = run + text.size();
    for (;;) {
        const char* special = find_escape(run, end);
        out.append(run, special);
        if (special == end) break;
        const auto c = static_cast<unsigned char>(*special);
        if (c == '"') out.append("\\\"", 2);
        else if (c == '\\') out.append("\\\\", 2);
        else out.append(kControlEscapes[c].text, kControlEscapes[c].length);
        run = special + 1;
    }
    out.push_back('"');
}

void write_unsigned(std::uint64_t n, std::string& out) {
    char buf[20];
    const auto result = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, result.ptr);
}

void write_signed(std::int64_t n, std::string& out) {
    char buf[20];
    const auto result = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, result.ptr);
}

// The shortest digits that read back as `d` (from std::to_chars), laid out by
// the decimal exponent e of the first digit: plain from 1e-5 up to below 1e16,
// with ".0" on integral values so the text still reads as a double; otherwise
// d.ddde+XX.
void write_double(double d, std::string& out) {
    if (!std::isfinite(d)) {
        out.append("null");
        return;
    }
    if (d == 0) {
        out.append(std::signbit(d) ? "-0.0" : "0.0");
        return;
    }
    // Scientific form: [-]d[.ddd]e(+|-)XX[X].
    char sci[32];
    const auto [sci_end, ec] = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    (void)ec;  // 32 bytes always suffice
    const char* p = sci;
    char digits[17];
    int count = 0;
    const bool negative = *p == '-';
    if (negative) ++p;
    for (; *p != 'e'; ++p)
        if (*p != '.') digits[count++] = *p;
    ++p;
    const bool exponent_negative = *p == '-';
    int exponent = 0;
    for (++p; p != sci_end; ++p) exponent = exponent * 10 + (*p - '0');
    if (exponent_negative) exponent = -exponent;

    char buf[40];
    char* w = buf;
    if (negative) *w++ = '-';
    if (exponent >= 0 && exponent <= 15) {
        const int units = exponent + 1;  // digits before the point
        if (count <= units) {
            std::memcpy(w, digits, static_cast<std::size_t>(count));
            w += count;
            std::memset(w, '0', static_cast<std::size_t>(units - count));
            w += units - count;
            *w++ = '.';
            *w++ = '0';
        } else {
            std::memcpy(w, digits, static_cast<std::size_t>(units));
            w += units;
            *w++ = '.';
            std::memcpy(w, digits + units, static_cast<std::size_t>(count - units));
            w += count - units;
        }
    } else if (exponent >= -5 && exponent < 0) {
        *w++ = '0';
        *w++ = '.';
        std::memset(w, '0', static_cast<std::size_t>(-exponent - 1));
        w += -exponent - 1;
        std::memcpy(w, digits, static_cast<std::size_t>(count));
        w += count;
    } else {
        *w++ = digits[0];
        if (count > 1) {
            *w++ = '.';
            std::memcpy(w, digits + 1, static_cast<std::size_t>(count - 1));
            w += count - 1;
        }
        *w++ = 'e';
        *w++ = exponent_negative ? '-' : '+';
        w = std::to_chars(w, buf + sizeof buf, exponent_negative ? -exponent : exponent).ptr;
    }
    out.append(buf, w);
}

}  // namespace zarn::json
