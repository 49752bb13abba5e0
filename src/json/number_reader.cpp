#include "json/number_reader.hpp"

#include <charconv>
#include <system_error>

namespace zarn::json::detail {
namespace {

// The decimal exponent of the first significant digit of the number from `p`
// to `end` (grammar checked), or nothing when every digit is zero; `p` is
// left after the digits and the fraction.
std::optional<std::int64_t> leading_digit_exponent(const char*& p, const char* end) noexcept {
    if (*p == '-') ++p;
    std::int64_t point = 0;
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
    if (!found) return std::nullopt;
    return point;
}

// For a number that std::from_chars found out of range: whether it is too
// large (rather than too small, which reads as zero). Compares the decimal
// exponent of its first significant digit with zero.
bool overflows(const char* p, const char* end) noexcept {
    const auto point = leading_digit_exponent(p, end);
    if (!point) return false;
    std::int64_t exponent = 0;
    bool exponent_negative = false;
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
        for (; p != end; ++p) exponent = std::min<std::int64_t>(exponent * 10 + (*p - '0'), kExponentCap);
    }
    return *point + (exponent_negative ? -exponent : exponent) > 0;
}

}  // namespace

std::optional<ReadFailure> read_double(const char* start, const char* last, bool negative, double& value) noexcept {
    const auto [end, ec] = std::from_chars(start, last, value);
    if (ec == std::errc::result_out_of_range) {
        if (overflows(start, last)) return ReadFailure{Fault::number_out_of_range, last - 1};
        value = negative ? -0.0 : 0.0;
    } else if (ec != std::errc() || end != last) {
        return ReadFailure{Fault::invalid_number, start};  // not reached: the grammar was checked
    }
    return std::nullopt;
}

}  // namespace zarn::json::detail
