// Writing and reading back: doubles must come back bit for bit, and any value
// must come back equal.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"
#include "support/utf8_reference.hpp"

namespace zarn::json {
namespace {

// Writes `d`, reads the text back and reports any difference in the bits.
::testing::AssertionResult round_trips(double d) {
    std::string text;
    write_double(d, text);
    const auto value = read_json(text);
    if (!value) return ::testing::AssertionFailure() << text << ": " << value.error().to_string();
    if (value->kind() != JsonKind::floating)
        return ::testing::AssertionFailure() << text << " did not read back as a double";
    if (std::bit_cast<std::uint64_t>(value->as_double()) != std::bit_cast<std::uint64_t>(d))
        return ::testing::AssertionFailure() << text << " read back as another double";
    return ::testing::AssertionSuccess();
}

TEST(DoubleRoundTrip, RandomFiniteBitPatterns) {
    std::mt19937_64 random(20261208);
    int checked = 0;
    while (checked < 200'000) {
        const double d = std::bit_cast<double>(random());
        if (!std::isfinite(d)) continue;
        ASSERT_TRUE(round_trips(d));
        ++checked;
    }
}

TEST(DoubleRoundTrip, Subnormals) {
    std::mt19937_64 random(7);
    const std::uint64_t mantissa_mask = (std::uint64_t{1} << 52) - 1;
    for (int i = 0; i < 20'000; ++i) {
        const std::uint64_t bits = (random() & mantissa_mask) | (random() & (std::uint64_t{1} << 63));
        ASSERT_TRUE(round_trips(std::bit_cast<double>(bits)));
    }
    ASSERT_TRUE(round_trips(std::numeric_limits<double>::denorm_min()));
    ASSERT_TRUE(round_trips(std::nextafter(std::numeric_limits<double>::min(), 0.0)));
}

// Powers of ten and their neighbours, across the layout boundaries
// (1e-5, 1e16) and the whole exponent range.
TEST(DoubleRoundTrip, PowersOfTenAndNeighbours) {
    for (int e = -323; e <= 308; ++e) {
        const std::string power = "1e" + std::to_string(e);
        double p = 0;
        std::from_chars(power.data(), power.data() + power.size(), p);
        ASSERT_GT(p, 0.0) << power;
        for (const double d :
             {p, std::nextafter(p, 0.0), std::nextafter(p, HUGE_VAL), -p, 9.999999999999999 * p, 1.5 * p}) {
            if (std::isfinite(d)) {
                ASSERT_TRUE(round_trips(d)) << d;
            }
        }
    }
}

TEST(DoubleRoundTrip, SpecialValues) {
    for (const double d :
         {0.0, -0.0, 1.0, -1.0, 0.1, 1.0 / 3, 9007199254740992.0, 9007199254740994.0, 9223372036854775808.0,
          18446744073709551616.0, std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(),
          std::numeric_limits<double>::min(), std::numeric_limits<double>::epsilon()})
        ASSERT_TRUE(round_trips(d)) << d;
}

// ---------------------------------------------------------------------------
// Random values: read(write(v)) == v.

class ValueMaker {
public:
    explicit ValueMaker(std::uint64_t seed) : random_(seed) {}

    JsonValue value(int depth) {
        switch (pick(depth >= 6 ? 7 : 9)) {
            case 0: return nullptr;
            case 1: return pick(2) == 0;
            case 2: return std::uint64_t{random_()} >> pick(64);
            case 3: return -static_cast<std::int64_t>(random_() >> (1 + pick(63))) - 1;
            case 4: {
                double d;
                do d = std::bit_cast<double>(random_());
                while (!std::isfinite(d));
                return d;
            }
            case 5:
            case 6: return text();
            case 7: {
                JsonArray array;
                for (std::size_t n = pick(5); n > 0; --n) array.push_back(value(depth + 1));
                return array;
            }
            default: {
                std::vector<JsonObject::Member> members;
                for (std::size_t n = pick(6); n > 0; --n) members.emplace_back(text(), value(depth + 1));
                return JsonObject::from_members(std::move(members));
            }
        }
    }

    // Valid UTF-8 over the whole range, controls and the characters that need
    // escapes included.
    std::string text() {
        static constexpr char32_t kPool[] = {U'a',    U'"', U'\\', U'/',  U'\n',         U'\0',     U'\x1F',
                                             U'\x7F', U'é', U'€',  U'😀', U'\U0010FFFF', U'\uFFFF', U' '};
        std::string out;
        for (std::size_t n = pick(12); n > 0; --n) {
            const char32_t c = pick(3) == 0 ? kPool[pick(std::size(kPool))] : static_cast<char32_t>(0x20 + pick(0x5F));
            zarn::testing::append_utf8(out, c);
        }
        return out;
    }

private:
    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

    std::mt19937_64 random_;
};

TEST(ValueRoundTrip, RandomValuesReadBackEqual) {
    ValueMaker maker(42);
    for (int i = 0; i < 3000; ++i) {
        const JsonValue value = maker.value(0);
        const std::string text = to_json_text(value);
        const auto back = read_json(text);
        ASSERT_TRUE(back.has_value()) << text << "\n" << back.error().to_string();
        ASSERT_EQ(*back, value) << text;
        ASSERT_EQ(to_json_text(*back), text);
    }
}

}  // namespace
}  // namespace zarn::json
