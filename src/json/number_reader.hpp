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

#include "json/read_fault.hpp"
#include "json/value.hpp"

namespace zarn::json::detail {

// A number as read: an unsigned or a negative integer, or a double.
struct Number {
    JsonKind kind = JsonKind::floating;
    union {
        std::uint64_t unsigned_value;
        std::int64_t negative_value;
        double double_value = 0;
    };
};

// The digits read so far: while there are at most nineteen (which always
// fit), their value is `mantissa`; the number is mantissa * 10^exponent.
struct Decimal {
    std::uint64_t mantissa = 0;
    std::size_t digits = 0;
    std::int64_t exponent = 0;
};

// Exponents are read up to this size; beyond it every mantissa over- or
// underflows anyway.
inline constexpr std::int64_t kExponentCap = 1'000'000'000;

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Records `fault` at `at` and returns nullptr, for the helpers below.
inline const char* fail_at(ReadFailure& failure, Fault fault, const char* at) noexcept {
    failure = {fault, at};
    return nullptr;
}

// Appends the run of digits at `p` to `mantissa` (which wraps past nineteen
// digits; callers count them) and returns the end of the run.
inline const char* gather_digits(const char* p, const char* end, std::uint64_t& mantissa) noexcept {
    std::uint64_t m = mantissa;
    for (; p != end && is_digit(*p); ++p) m = m * 10 + static_cast<std::uint64_t>(*p - '0');
    mantissa = m;
    return p;
}

// The integer of `decimal`, its digits from `first` to `last`, when it fits
// an integer kind: unsigned up to 2^64 - 1, negative down to -2^63. "-0" is
// the double -0.0.
inline bool integer_value(const Decimal& decimal, const char* first, const char* last, bool negative,
                          Number& number) noexcept {
    if (decimal.digits <= 19) {
        if (!negative) {
            number.kind = JsonKind::unsigned_integer;
            number.unsigned_value = decimal.mantissa;
        } else if (decimal.mantissa == 0) {
            number.double_value = -0.0;
        } else if (decimal.mantissa <= std::uint64_t{1} << 63) {  // the magnitude of INT64_MIN
            number.kind = JsonKind::negative_integer;
            // Two's complement negation in unsigned arithmetic, then back.
            number.negative_value = static_cast<std::int64_t>(0 - decimal.mantissa);
        } else {
            return false;
        }
        return true;
    }
    if (decimal.digits != 20 || negative) return false;
    std::uint64_t value = 0;
    for (const char* p = first; p != last; ++p)
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<std::uint64_t>(*p - '0'), &value))
            return false;
    number.kind = JsonKind::unsigned_integer;
    number.unsigned_value = value;
    return true;
}

// frac = "." 1*DIGIT, `p` on the point.
inline const char* read_fraction(const char* p, const char* end, Decimal& decimal, ReadFailure& failure) noexcept {
    if (++p == end) return fail_at(failure, Fault::eof_value, end);
    if (!is_digit(*p)) return fail_at(failure, Fault::invalid_number, p);
    const char* const first = p;
    p = gather_digits(p, end, decimal.mantissa);
    decimal.digits += static_cast<std::size_t>(p - first);
    decimal.exponent = -static_cast<std::int64_t>(p - first);
    return p;
}

// exp = ( "e" / "E" ) [ "-" / "+" ] 1*DIGIT, `p` on the e.
inline const char* read_exponent(const char* p, const char* end, Decimal& decimal, ReadFailure& failure) noexcept {
    ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end) return fail_at(failure, Fault::eof_value, end);
    if (!is_digit(*p)) return fail_at(failure, Fault::invalid_number, p);
    std::int64_t written = 0;
    for (; p != end && is_digit(*p); ++p) written = std::min<std::int64_t>(written * 10 + (*p - '0'), kExponentCap);
    decimal.exponent += negative ? -written : written;
    return p;
}

// mantissa * 10^exponent when both factors are exact doubles, so that the
// one rounding of the product or quotient is the correct one (Clinger).
inline std::optional<double> exact_decimal(const Decimal& decimal) noexcept {
#if FLT_EVAL_METHOD == 0
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (decimal.digits > 19 || decimal.mantissa > (std::uint64_t{1} << 53) || decimal.exponent < -22 ||
        decimal.exponent > 22)
        return std::nullopt;
    const auto m = static_cast<double>(decimal.mantissa);
    return decimal.exponent < 0 ? m / kPowers[-decimal.exponent] : m * kPowers[decimal.exponent];
#else
    (void)decimal;
    return std::nullopt;
#endif
}

// The number from `start` to `last`, grammar already checked, by
// std::from_chars: the end of the number, or nullptr with the fault. Too
// large is an error; too small reads as zero.
const char* read_double(const char* start, const char* last, bool negative, Number& number,
                        ReadFailure& failure) noexcept;

// Reads the number at `p`, which is on a minus sign or a digit: returns the
// byte after it with its value in `number`, or nullptr with the fault in
// `failure`.
[[gnu::always_inline]] inline const char* read_number(const char* p, const char* end, Number& number,
                                                      ReadFailure& failure) noexcept {
    const char* const start = p;
    const bool negative = *p == '-';
    if (negative && ++p == end) return fail_at(failure, Fault::eof_value, end);
    Decimal decimal;
    const char* const int_start = p;
    if (*p == '0') {
        if (++p != end && is_digit(*p)) return fail_at(failure, Fault::invalid_number, p);
    } else if (is_digit(*p)) {
        p = gather_digits(p, end, decimal.mantissa);
    } else {
        return fail_at(failure, Fault::invalid_number, p);
    }
    decimal.digits = static_cast<std::size_t>(p - int_start);
    if (p == end || (*p != '.' && *p != 'e' && *p != 'E')) {
        if (integer_value(decimal, int_start, p, negative, number)) return p;
        return read_double(start, p, negative, number, failure);
    }
    if (*p == '.' && (p = read_fraction(p, end, decimal, failure)) == nullptr) return nullptr;
    if (p != end && (*p == 'e' || *p == 'E') && (p = read_exponent(p, end, decimal, failure)) == nullptr)
        return nullptr;
    if (const auto value = exact_decimal(decimal)) {
        number.double_value = negative ? -*value : *value;
        return p;
    }
    return read_double(start, p, negative, number, failure);
}

}  // namespace zarn::json::detail
