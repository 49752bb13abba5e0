#include "common/utf8_transcode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support/utf8_reference.hpp"

namespace zarn {
namespace {

using testing::reference_utf8;
using testing::to_utf8;
using testing::transcode;

template <class Unit>
class Utf8Transcode : public ::testing::Test {
protected:
    static constexpr std::uint32_t kMax = std::numeric_limits<Unit>::max();

    static void expect_as_reference(const std::vector<Unit>& units) {
        const std::span<const Unit> text(units);
        const auto expected = reference_utf8(text);
        EXPECT_EQ(transcode(text), expected);
        EXPECT_EQ(to_utf8(text), expected);
    }
};

using UnitTypes = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(Utf8Transcode, UnitTypes);

TYPED_TEST(Utf8Transcode, EmptyText) {
    const std::span<const TypeParam> empty;
    EXPECT_EQ(utf8_length(empty), 0u);
    EXPECT_EQ(to_utf8(empty), std::string());
}

TYPED_TEST(Utf8Transcode, EveryCodePointOfTheWidth) {
    // Latin-1 and UCS-2 whole, UCS-4 up to U+10FFFF: every length of UTF-8
    // sequence and every boundary between them, in one text.
    std::vector<TypeParam> units;
    const std::uint32_t last = std::min<std::uint32_t>(this->kMax, 0x10FFFF);
    for (std::uint32_t c = 0; c <= last; ++c)
        if (c < 0xD800 || c > 0xDFFF) units.push_back(static_cast<TypeParam>(c));
    this->expect_as_reference(units);
}

TYPED_TEST(Utf8Transcode, RandomTextsAsTheReference) {
    std::mt19937 rng(20261208);
    // Mostly ASCII with scattered others (the common case), then dense, at
    // lengths around the length scan's inner steps (only 70000 crosses one of
    // its 8192-unit blocks).
    for (const unsigned ascii_percent : {100u, 97u, 50u, 0u}) {
        for (const std::size_t size : {1u, 7u, 127u, 128u, 129u, 255u, 256u, 1000u, 70000u}) {
            std::vector<TypeParam> units(size);
            for (auto& unit : units) {
                std::uint32_t c =
                    rng() % 100 < ascii_percent ? rng() % 0x80 : rng() % (std::min(this->kMax, 0x10FFFFu) + 1);
                if (c >= 0xD800 && c <= 0xDFFF) c = 0xE9;
                unit = static_cast<TypeParam>(c);
            }
            this->expect_as_reference(units);
        }
    }
}

// Code points without a UTF-8 form, alone or in runs, at every position near
// the ends of a text and of the blocks of 8,192 units it is checked in, with
// ASCII or wider text around them and a second run after the first: the
// first run is reported.
template <class Unit>
void expect_runs_found_everywhere(std::span<const std::vector<std::uint32_t>> runs, std::uint32_t filler) {
    constexpr std::size_t kBlock = 8192;
    constexpr std::size_t kSize = 2 * kBlock + 100;
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; at < 140; ++at) starts.push_back(at);
    for (const std::size_t edge : {kBlock, 2 * kBlock, kSize})
        for (std::size_t at = edge - 70; at < edge + 70 && at < kSize; ++at) starts.push_back(at);
    for (const auto& run : runs) {
        for (const std::size_t at : starts) {
            if (at + run.size() > kSize) continue;
            std::vector<Unit> units(kSize, static_cast<Unit>(filler));
            for (std::size_t k = 0; k < run.size(); ++k) units[at + k] = static_cast<Unit>(run[k]);
            if (at + run.size() + 2 < kSize) units[kSize - 1] = static_cast<Unit>(0xDC00);
            const std::span<const Unit> text(units);
            const Unencodable expected{at, at + run.size()};
            EXPECT_EQ(utf8_length(text), std::unexpected(expected)) << "at " << at << " run of " << run.size();
        }
    }
}

// A high and a low surrogate stored as two code points are refused, never
// joined into one astral character as UTF-16 would.
TEST(Utf8TranscodeUnencodable, Ucs2SurrogatesAloneInPairsAndInRuns) {
    const std::vector<std::vector<std::uint32_t>> runs{
        {0xD800}, {0xDBFF}, {0xDC00}, {0xDFFF}, {0xD83D, 0xDE00}, {0xDC00, 0xD800}, {0xD800, 0xD800, 0xDFFF},
    };
    for (const std::uint32_t filler : {0x61u, 0xE9u, 0x4E2Du, 0xFFFFu, 0xD7FFu, 0xE000u})
        expect_runs_found_everywhere<std::uint16_t>(runs, filler);
}

TEST(Utf8TranscodeUnencodable, Ucs4SurrogatesAndValuesPastTheLastCodePoint) {
    const std::vector<std::vector<std::uint32_t>> runs{
        {0xD800}, {0xDFFF}, {0xD83D, 0xDE00}, {0x110000}, {0xFFFFFFFF}, {0xD800, 0x110000, 0x80000000},
    };
    for (const std::uint32_t filler : {0x61u, 0x4E2Du, 0x1F600u, 0x10FFFFu})
        expect_runs_found_everywhere<std::uint32_t>(runs, filler);
}

TEST(Utf8TranscodeUnencodable, HugeTexts) {
    // 3 Mi units: a surrogate only in the very last one, then none.
    std::vector<std::uint16_t> units(3u << 20, 0x4E2D);
    units.back() = 0xDFFF;
    EXPECT_EQ(utf8_length(std::span<const std::uint16_t>(units)),
              std::unexpected(Unencodable{units.size() - 1, units.size()}));
    units.back() = 0x41;
    const auto text = transcode(std::span<const std::uint16_t>(units));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 3 * units.size() - 2);
    EXPECT_EQ(text->substr(text->size() - 4),
              "\xE4\xB8\xAD"
              "A");
}

}  // namespace
}  // namespace zarn
