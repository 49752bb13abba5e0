#pragma once

// Numbers for the reader: number = [ "-" ] int [ frac ] [ exp ]. The grammar
// is checked while the digits are gathered; then integers without fraction or
// exponent stay integers when they fit, short decimals take an exact fast
// path, and everything else is read by std::from_chars, which rounds
// correctly. The common paths are inline here; the rare ones are in the .cpp.

#include <algorithm>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "json/read_cursor.hpp"

namespace zarn::json::detail {

// Exponents are read up to this size; beyond it every mantissa over- or
// underflows anyway.
inline constexpr std::int64_t kExponentCap = 1'000'000'000;

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// The number from `start` to `last`, grammar already checked, by
// std::from_chars into `value`; the failure when it is too large (too small
// reads as zero).
[[nodiscard]] std::optional<ReadFailure> read_double(const char* start, const char* last, bool negative,
                                                     double& value) noexcept;

// The reader's cursor with the number grammar on it; the reader derives from
// it. Each sink is called with std::uint64_t, std::int64_t or double.
class NumberReader : protected ReadCursor {
protected:
    explicit NumberReader(std::string_view text) noexcept : ReadCursor(text) {}

    // number = [ "-" ] int [ frac ] [ exp ], the cursor on the minus sign or
    // the first digit.
    template <class Sink>
    [[gnu::always_inline]] bool parse_number(const Sink& sink) {
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
        const auto digits = static_cast<std::size_t>(cur_ - int_start);
        if (cur_ == end_ || (*cur_ != '.' && *cur_ != 'e' && *cur_ != 'E'))
            return parse_integer(start, negative, mantissa, digits, sink);
        return parse_fraction_and_exponent(start, negative, mantissa, digits, sink);
    }

private:
    // An integer without fraction or exponent: an integer kind when it fits
    // (unsigned up to 2^64 - 1, negative down to -2^63; "-0" is the double
    // -0.0), else a double.
    template <class Sink>
    [[gnu::always_inline]] bool parse_integer(const char* start, bool negative, std::uint64_t mantissa,
                                              std::size_t digits, const Sink& sink) {
        if (digits <= 19) {
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
        } else if (digits == 20 && !negative) {
            // Up to 18446744073709551615 is still unsigned.
            if (const auto value = twenty_digits(cur_ - 20)) {
                sink(*value);
                return true;
            }
        }
        return parse_double(start, negative, sink);
    }

    // [ frac ] [ exp ] after the integer part, the cursor on `.`, `e` or `E`.
    template <class Sink>
    [[gnu::always_inline]] bool parse_fraction_and_exponent(const char* start, bool negative, std::uint64_t mantissa,
                                                            std::size_t digits, const Sink& sink) {
        std::int64_t exponent = 0;
        if (*cur_ == '.' && !parse_fraction(mantissa, digits, exponent)) return false;
        if (cur_ != end_ && (*cur_ == 'e' || *cur_ == 'E') && !parse_exponent(exponent)) return false;
        if (digits <= 19) {
            if (const auto value = exact_decimal(mantissa, exponent)) {
                sink(negative ? -*value : *value);
                return true;
            }
        }
        return parse_double(start, negative, sink);
    }

    // frac = "." 1*DIGIT, the cursor on the point.
    [[gnu::always_inline]] bool parse_fraction(std::uint64_t& mantissa, std::size_t& digits,
                                               std::int64_t& exponent) noexcept {
        ++cur_;
        if (cur_ == end_) return fail_eof(Fault::eof_value);
        if (!is_digit(*cur_)) return fail(Fault::invalid_number, cur_);
        const char* const first = cur_;
        cur_ = gather_digits(cur_, end_, mantissa);
        digits += static_cast<std::size_t>(cur_ - first);
        exponent = -static_cast<std::int64_t>(cur_ - first);
        return true;
    }

    // exp = ( "e" / "E" ) [ "-" / "+" ] 1*DIGIT, the cursor on the e.
    [[gnu::always_inline]] bool parse_exponent(std::int64_t& exponent) noexcept {
        ++cur_;
        bool negative = false;
        if (cur_ != end_ && (*cur_ == '+' || *cur_ == '-')) negative = *cur_++ == '-';
        if (cur_ == end_) return fail_eof(Fault::eof_value);
        if (!is_digit(*cur_)) return fail(Fault::invalid_number, cur_);
        std::int64_t written = 0;
        const char* p = cur_;
        for (; p != end_ && is_digit(*p); ++p)
            written = std::min<std::int64_t>(written * 10 + (*p - '0'), kExponentCap);
        cur_ = p;
        exponent += negative ? -written : written;
        return true;
    }

    // The number from `start` to the cursor by std::from_chars.
    template <class Sink>
    bool parse_double(const char* start, bool negative, const Sink& sink) {
        double value = 0;
        if (const auto failure = read_double(start, cur_, negative, value)) return fail(failure->fault, failure->at);
        sink(value);
        return true;
    }

    // Appends the run of digits at `p` to `mantissa` (which wraps past
    // nineteen digits; callers count them) and returns the end of the run.
    [[gnu::always_inline]] static const char* gather_digits(const char* p, const char* end,
                                                            std::uint64_t& mantissa) noexcept {
        std::uint64_t m = mantissa;
        for (; p != end && is_digit(*p); ++p) m = m * 10 + static_cast<std::uint64_t>(*p - '0');
        mantissa = m;
        return p;
    }

    // The twenty digits at `p` as an unsigned integer, when they fit.
    static std::optional<std::uint64_t> twenty_digits(const char* p) noexcept {
        std::uint64_t value = 0;
        for (const char* const end = p + 20; p != end; ++p)
            if (__builtin_mul_overflow(value, 10u, &value) ||
                __builtin_add_overflow(value, static_cast<std::uint64_t>(*p - '0'), &value))
                return std::nullopt;
        return value;
    }

    // mantissa * 10^exponent when both factors are exact doubles, so that the
    // one rounding of the product or quotient is the correct one (Clinger).
    [[gnu::always_inline]] static std::optional<double> exact_decimal(std::uint64_t mantissa,
                                                                      std::int64_t exponent) noexcept {
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
};

}  // namespace zarn::json::detail
