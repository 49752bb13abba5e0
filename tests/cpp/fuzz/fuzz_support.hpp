#pragma once

// Shared by the fuzz targets: input splitting, an independent JSON syntax
// check without a nesting bound, and a loud failure.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace zarn::fuzz {

// Aborts (so libFuzzer records a crash) when an expectation does not hold.
inline void expect(bool holds, const char* what, std::string_view detail = {}) {
    if (holds) return;
    std::fprintf(stderr, "fuzz expectation failed: %s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) noexcept {
    return {reinterpret_cast<const char*>(data), size};
}

// A line holding only "%%" separates the parts of a multi-part input, so the
// seeds stay readable text. At most `parts` pieces: the last takes the rest.
inline constexpr std::string_view kSeparator = "\n%%\n";

inline std::vector<std::string_view> split_parts(std::string_view input, std::size_t parts) {
    std::vector<std::string_view> out;
    while (out.size() + 1 < parts) {
        const std::size_t at = input.find(kSeparator);
        if (at == std::string_view::npos) break;
        out.push_back(input.substr(0, at));
        input.remove_prefix(at + kSeparator.size());
    }
    out.push_back(input);
    return out;
}

// Well-formed UTF-8 (RFC 3629: no overlong forms, surrogates or values above
// U+10FFFF): what Python needs to turn a result into a str.
inline bool is_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p != end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;
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
            return false;
        }
        if (static_cast<std::size_t>(end - p) < length) return false;
        for (std::size_t i = 1; i < length; ++i) {
            if (p[i] < low || p[i] > high) return false;
            low = 0x80;
            high = 0xBF;
        }
        p += length;
    }
    return true;
}

// RFC 8259 syntax, checked with an explicit stack, so any depth is accepted:
// the engine's own reader stops at 127 levels, but a response may wrap a
// reply that is already that deep. Compactness is checked too: the engine
// never writes white space outside strings.
class CompactJsonChecker {
public:
    explicit CompactJsonChecker(std::string_view text) noexcept : p_(text.data()), end_(text.data() + text.size()) {}

    bool check() {
        if (!value()) return false;
        while (!stack_.empty()) {
            const char open = stack_.back();
            if (p_ == end_) return false;
            if (*p_ == (open == '[' ? ']' : '}')) {
                ++p_;
                stack_.pop_back();
                continue;
            }
            if (*p_ != ',') return false;
            ++p_;
            if (open == '{' && !key()) return false;
            if (!value()) return false;
        }
        return p_ == end_;
    }

private:
    // One value; a container is only opened (its first member read), the
    // caller's loop reads the rest.
    bool value() {
        for (;;) {
            if (p_ == end_) return false;
            const char c = *p_;
            if (c == '[' || c == '{') {
                ++p_;
                const char close = c == '[' ? ']' : '}';
                if (p_ != end_ && *p_ == close) {
                    ++p_;
                    return true;
                }
                stack_.push_back(c);
                if (c == '{' && !key()) return false;
                continue;  // the first element or member value
            }
            if (c == '"') return string();
            if (c == '-' || (c >= '0' && c <= '9')) return number();
            return literal("true") || literal("false") || literal("null");
        }
    }

    bool key() {
        if (p_ == end_ || *p_ != '"' || !string()) return false;
        if (p_ == end_ || *p_ != ':') return false;
        ++p_;
        return true;
    }

    bool literal(std::string_view word) noexcept {
        if (static_cast<std::size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
            return false;
        p_ += word.size();
        return true;
    }

    bool digits() noexcept {
        const char* start = p_;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        return p_ != start;
    }

    bool number() noexcept {
        if (*p_ == '-') ++p_;
        if (p_ == end_) return false;
        if (*p_ == '0') {
            ++p_;
        } else if (!digits()) {
            return false;
        }
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (!digits()) return false;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (!digits()) return false;
        }
        return true;
    }

    bool string() noexcept {
        ++p_;
        while (p_ != end_) {
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\') {
                ++p_;
                if (p_ == end_) return false;
                const char e = *p_;
                if (e == 'u') {
                    for (int i = 0; i < 4; ++i) {
                        ++p_;
                        if (p_ == end_) return false;
                        const char h = *p_;
                        if (!((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F'))) return false;
                    }
                } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                    return false;
                }
            }
            ++p_;
        }
        return false;
    }

    const char* p_;
    const char* const end_;
    std::vector<char> stack_;
};

inline bool is_compact_json(std::string_view text) { return is_utf8(text) && CompactJsonChecker(text).check(); }

}  // namespace zarn::fuzz
