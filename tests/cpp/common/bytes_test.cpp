#include "common/bytes.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace zarn::bytes {
namespace {

// Every length the short helpers take, at every offset inside a buffer, so
// that an overlap computed wrongly reads or writes a byte it must not.
TEST(Bytes, ShortCopiesAndComparesCoverExactlyTheirBytes) {
    const std::string source = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (std::size_t n = 0; n <= 16; ++n) {
        for (std::size_t at = 0; at + n <= 20; ++at) {
            std::string out(24, '.');
            copy_short(out.data() + 2, source.data() + at, n);
            EXPECT_EQ(out, std::string(2, '.') + source.substr(at, n) + std::string(22 - n, '.')) << n << " " << at;
            std::string same = source.substr(at, n);
            EXPECT_TRUE(equal_short(same.data(), source.data() + at, n)) << n;
            for (std::size_t i = 0; i < n; ++i) {
                std::string other = same;
                other[i] ^= 0x20;
                EXPECT_FALSE(equal_short(other.data(), source.data() + at, n)) << n << " byte " << i;
            }
        }
    }
}

TEST(Bytes, FourToEightBytesFoldIntoOneWordThatSeesEachByte) {
    const std::string text = "0123456789";
    for (std::size_t n = 4; n <= 8; ++n) {
        for (std::size_t i = 0; i < n; ++i) {
            std::string changed = text;
            changed[i] = '#';
            EXPECT_NE(load_4_to_8(changed.data(), n), load_4_to_8(text.data(), n)) << n << " byte " << i;
        }
    }
}

// The lowest flagged byte is the first match, and a word without a match
// has no flag, whatever the bytes around the match (a borrow runs upwards).
TEST(Bytes, SwarTestsFindTheFirstMatch) {
    for (std::size_t first = 0; first < 8; ++first) {
        for (const std::uint8_t after :
             {std::uint8_t{0x00}, std::uint8_t{0x01}, std::uint8_t{'"'}, std::uint8_t{0xFF}}) {
            std::uint8_t word_bytes[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
            word_bytes[first] = '"';
            for (std::size_t i = first + 1; i < 8; ++i) word_bytes[i] = after;
            const auto w = load<std::uint64_t>(word_bytes);
            const std::uint64_t flags = bytes_equal(w, '"') & kHighBits;
            ASSERT_NE(flags, 0u);
            EXPECT_EQ(first_flagged(flags), first);
            word_bytes[first] = 0x1F;
            const std::uint64_t below = bytes_below(load<std::uint64_t>(word_bytes), 0x20) & kHighBits;
            ASSERT_NE(below, 0u);
            EXPECT_EQ(first_flagged(below), first);
        }
    }
    EXPECT_EQ(bytes_equal(load<std::uint64_t>("abcdefgh"), '"') & kHighBits, 0u);
    EXPECT_EQ(bytes_below(load<std::uint64_t>(" ~\x7F\x80\xFF !A"), 0x20) & kHighBits, 0u);
}

TEST(Bytes, InsertionSortIsStable) {
    std::vector<std::pair<int, int>> items = {{3, 0}, {1, 1}, {3, 2}, {2, 3}, {1, 4}, {3, 5}, {0, 6}};
    insertion_sort(std::span(items), [](const auto& a, const auto& b) { return a.first < b.first; });
    const std::vector<std::pair<int, int>> expected = {{0, 6}, {1, 1}, {1, 4}, {2, 3}, {3, 0}, {3, 2}, {3, 5}};
    EXPECT_EQ(items, expected);
}

}  // namespace
}  // namespace zarn::bytes
