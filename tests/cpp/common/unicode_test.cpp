#include <gtest/gtest.h>
#include <string>

#include "common/unicode.hpp"

namespace zarn {
namespace {

struct TrimCase {
    std::string_view input;
    std::string_view expected;
};

class Trim : public testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesWhiteSpaceAtBothEndsOnly) {
    EXPECT_EQ(trim_unicode_whitespace(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, Trim,
                         testing::Values(TrimCase{"", ""}, TrimCase{" \t\n\v\f\r", ""}, TrimCase{"  a b  ", "a b"},
                                         TrimCase{"\xC2\x85x\xC2\xA0", "x"},          // NEL, no-break space
                                         TrimCase{"\xE1\x9A\x80x\xE2\x80\x8A", "x"},  // ogham, hair space
                                         TrimCase{"\xE2\x80\xA8x\xE2\x80\xA9", "x"},  // line/paragraph separators
                                         TrimCase{"\xE2\x80\xAFx\xE2\x81\x9F\xE3\x80\x80", "x"},
                                         TrimCase{"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // zero-width space is not
                                         TrimCase{"\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},  // nor the byte-order mark
                                         TrimCase{"\xC2\xA1", "\xC2\xA1"}, TrimCase{"\xC2", "\xC2"},
                                         TrimCase{"x\xA0", "x\xA0"},  // a stray continuation byte stays
                                         TrimCase{"a\xE3\x80\x80"
                                                  "b",
                                                  "a\xE3\x80\x80"
                                                  "b"},
                                         // ASCII and other white space taking turns at both ends
                                         TrimCase{" \xC2\xA0\t x y\n\xE3\x80\x80 \r\xC2\x85", "x y"}));

TEST(Blank, OnlyWhiteSpaceIsBlank) {
    EXPECT_TRUE(is_unicode_blank(""));
    EXPECT_TRUE(is_unicode_blank("\xC2\xA0 \n"));
    EXPECT_FALSE(is_unicode_blank("\xC2\xA0{}"));
}

// Every length through two of the four-word blocks and a tail, with one high
// byte at every position, so that no block, word or tail byte goes unchecked.
TEST(Ascii, ABytePastSevenBitsAnywhereIsFound) {
    for (std::size_t size = 0; size <= 75; ++size) {
        std::string text(size, 'a');
        EXPECT_TRUE(is_ascii(text)) << size;
        for (std::size_t at = 0; at < size; ++at) {
            for (const char high : {'\x80', '\xFF'}) {
                text[at] = high;
                EXPECT_FALSE(is_ascii(text)) << size << " " << at;
            }
            text[at] = '\x7F';
            EXPECT_TRUE(is_ascii(text)) << size << " " << at;
            text[at] = 'a';
        }
    }
    EXPECT_TRUE(is_ascii(std::string_view("\0\0", 2)));
}

}  // namespace
}  // namespace zarn
