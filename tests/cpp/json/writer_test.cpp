#include "json/writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace zarn::json {
namespace {

using namespace std::string_literals;

std::string string_text(std::string_view text) {
    std::string out;
    write_string(text, out);
    return out;
}

std::string double_text(double d) {
    std::string out;
    write_double(d, out);
    return out;
}

// ---------------------------------------------------------------------------
// Strings.

TEST(WriterStrings, EscapesQuoteBackslashAndControlCharacters) {
    EXPECT_EQ(string_text(""), R"("")");
    EXPECT_EQ(string_text("say \"hi\"\\"), R"("say \"hi\"\\")");
    EXPECT_EQ(string_text("\b\t\n\f\r"), R"("\b\t\n\f\r")");
    EXPECT_EQ(string_text("\0\x01\x07\x0B\x0E\x1F"s), R"("\u0000\u0001\u0007\u000b\u000e\u001f")");
}

TEST(WriterStrings, EveryControlCharacterHasOneForm) {
    for (int c = 0; c < 0x20; ++c) {
        const std::string text = string_text(std::string(1, static_cast<char>(c)));
        switch (c) {
            case '\b': EXPECT_EQ(text, R"("\b")"); break;
            case '\t': EXPECT_EQ(text, R"("\t")"); break;
            case '\n': EXPECT_EQ(text, R"("\n")"); break;
            case '\f': EXPECT_EQ(text, R"("\f")"); break;
            case '\r': EXPECT_EQ(text, R"("\r")"); break;
            default: {
                char expected[9];
                std::snprintf(expected, sizeof expected, "\"\\u%04x\"", c);
                EXPECT_EQ(text, expected) << c;
            }
        }
    }
}

TEST(WriterStrings, WritesEverythingElseUnchanged) {
    const std::string raw = "/ \x7F é € 😀 \xEF\xBF\xBF ' < > &";
    EXPECT_EQ(string_text(raw), "\"" + raw + "\"");
}

// The escape scan works eight bytes at a time: every lane and the tail.
TEST(WriterStrings, EscapesAtEveryOffset) {
    for (std::size_t length = 1; length < 24; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            for (const char c : {'"', '\\', '\n', '\x1F', '\0'}) {
                std::string text(length, 'a');
                text[at] = c;
                const std::string expected = string_text(std::string(1, c));
                EXPECT_EQ(string_text(text), "\"" + std::string(at, 'a') + expected.substr(1, expected.size() - 2) +
                                                 std::string(length - at - 1, 'a') + "\"")
                    << "length " << length << " at " << at << " byte " << int(c);
            }
        }
    }
}

// Bytes next to the escaped ones, and bytes from 0x7F up, pass through the
// short-text check and the long scan alike, at every offset.
TEST(WriterStrings, NeighboursOfEscapedBytesStayAtEveryOffset) {
    for (std::size_t length = 0; length < 40; ++length) {
        EXPECT_FALSE(needs_escape(std::string(length, 'a'))) << length;
        for (std::size_t at = 0; at < length; ++at) {
            for (const char c : {' ', '!', '#', '[', ']', '\x7F', '\x80', '\xFF'}) {
                std::string text(length, 'a');
                text[at] = c;
                EXPECT_FALSE(needs_escape(text)) << "length " << length << " at " << at << " byte " << int(c);
                EXPECT_EQ(string_text(text), "\"" + text + "\"");
            }
            for (const char c : {'"', '\\', '\x1F', '\0'}) {
                std::string text(length, '\xFF');
                text[at] = c;
                EXPECT_TRUE(needs_escape(text)) << "length " << length << " at " << at << " byte " << int(c);
            }
        }
    }
}

// The output grows while a string is written: many escapes in a row, after
// text already in the buffer.
TEST(WriterStrings, GrowsTheOutputInsideAString) {
    std::string text;
    std::string expected = "prefix\"";
    for (int i = 0; i < 5000; ++i) {
        text += static_cast<char>(i % 0x20);
        text += "a\"";
        const std::string one = string_text(std::string(1, static_cast<char>(i % 0x20)));
        expected += one.substr(1, one.size() - 2) + "a\\\"";
    }
    expected += '"';
    std::string out = "prefix";
    write_string(text, out);
    EXPECT_EQ(out, expected);
}

// A string written in parts between two quotes is the string written whole,
// wherever the escapes fall and however often the output grows on the way.
TEST(WriterStrings, BodiesInPartsWriteAsTheirJoinedText) {
    const std::string long_run(300, 'x');
    const std::vector<std::vector<std::string_view>> cases = {
        {},
        {"", ""},
        {"SchemaEngine stub resolved ", "srv", ".", "tool", " but CallBridge is not wired yet"},
        {"\"", "\\", "\n\x01", ""},
        {long_run, "\"", long_run, "\x1f", long_run},
        {"caf\xC3\xA9 ", "\xF0\x9F\x98\x80", "\t"},
    };
    for (const auto& pieces : cases) {
        std::string joined;
        for (const std::string_view piece : pieces) joined += piece;
        for (const std::string& before : {""s, "prefix "s}) {
            std::string out = before + '"';
            for (const std::string_view piece : pieces) write_string_body(piece, out);
            out += '"';
            EXPECT_EQ(out, before + string_text(joined)) << joined;
        }
    }
}

// ---------------------------------------------------------------------------
// Numbers.

TEST(WriterNumbers, IntegersArePlainDecimal) {
    std::string out;
    write_unsigned(0, out);
    out += ' ';
    write_unsigned(std::numeric_limits<std::uint64_t>::max(), out);
    out += ' ';
    write_signed(-1, out);
    out += ' ';
    write_signed(std::numeric_limits<std::int64_t>::min(), out);
    EXPECT_EQ(out, "0 18446744073709551615 -1 -9223372036854775808");
}

struct DoubleCase {
    double value;
    std::string text;
};

void PrintTo(const DoubleCase& c, std::ostream* os) { *os << c.text; }

class WriterDoubles : public testing::TestWithParam<DoubleCase> {};

TEST_P(WriterDoubles, UseTheShortestDigitsInTheirLayout) { EXPECT_EQ(double_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Integral, WriterDoubles,
    testing::Values(DoubleCase{2.0, "2.0"}, DoubleCase{100.0, "100.0"}, DoubleCase{-7.0, "-7.0"},
                    DoubleCase{123456789.0, "123456789.0"}, DoubleCase{9007199254740991.0, "9007199254740991.0"},
                    DoubleCase{9007199254740992.0, "9007199254740992.0"},
                    DoubleCase{-9007199254740994.0, "-9007199254740994.0"}, DoubleCase{1e15, "1000000000000000.0"},
                    DoubleCase{1.5e15, "1500000000000000.0"}, DoubleCase{9999999999999998.0, "9999999999999998.0"},
                    DoubleCase{1e16, "1e+16"}, DoubleCase{1.5e16, "1.5e+16"}, DoubleCase{1e21, "1e+21"},
                    DoubleCase{18446744073709551616.0, "1.8446744073709552e+19"}, DoubleCase{1e100, "1e+100"},
                    DoubleCase{std::numeric_limits<double>::max(), "1.7976931348623157e+308"}));

INSTANTIATE_TEST_SUITE_P(Fractional, WriterDoubles,
                         testing::Values(DoubleCase{123.456, "123.456"}, DoubleCase{1.5, "1.5"},
                                         DoubleCase{-1.5, "-1.5"}, DoubleCase{1000000000000000.5, "1000000000000000.5"},
                                         DoubleCase{0.5, "0.5"}, DoubleCase{0.1, "0.1"}, DoubleCase{0.0001, "0.0001"},
                                         DoubleCase{0.00001, "0.00001"}, DoubleCase{1.2345e-5, "0.000012345"},
                                         DoubleCase{-0.00025, "-0.00025"}, DoubleCase{0.000001, "1e-6"},
                                         DoubleCase{1.5e-7, "1.5e-7"}, DoubleCase{2.5e-6, "2.5e-6"},
                                         DoubleCase{-1.25e-100, "-1.25e-100"}, DoubleCase{5e-324, "5e-324"},
                                         DoubleCase{2.2250738585072014e-308, "2.2250738585072014e-308"}));

INSTANTIATE_TEST_SUITE_P(Special, WriterDoubles,
                         testing::Values(DoubleCase{0.0, "0.0"}, DoubleCase{-0.0, "-0.0"},
                                         DoubleCase{std::numeric_limits<double>::infinity(), "null"},
                                         DoubleCase{-std::numeric_limits<double>::infinity(), "null"},
                                         DoubleCase{std::numeric_limits<double>::quiet_NaN(), "null"}));

// ---------------------------------------------------------------------------
// Whole values.

TEST(WriterValues, WritesCompactTextInKeyOrder) {
    const JsonValue value = JsonObject{
        {"b", JsonArray{1, -2, 2.0, nullptr, true, false, JsonObject{}, JsonArray{}}},
        {"a", "x\"y"},
        {"é", JsonObject{{"z", 1}, {"y", JsonArray{JsonArray{}}}}},
    };
    EXPECT_EQ(to_json_text(value), R"({"a":"x\"y","b":[1,-2,2.0,null,true,false,{},[]],"é":{"y":[[]],"z":1}})");
}

TEST(WriterValues, AppendsToTheTextGiven) {
    std::string out = "{\"data\":";
    write_json(JsonArray{1, "two"}, out);
    out += '}';
    EXPECT_EQ(out, R"({"data":[1,"two"]})");
}

TEST(WriterValues, WritesLargeValuesWhole) {
    JsonArray array;
    std::string expected = "[";
    for (int i = 0; i < 20000; ++i) {
        if (i > 0) expected += ',';
        switch (i % 4) {
            case 0:
                array.emplace_back(i);
                expected += std::to_string(i);
                break;
            case 1:
                array.emplace_back(-i);
                expected += std::to_string(-i);
                break;
            case 2:
                array.emplace_back(i + 0.5);
                expected += std::to_string(i) + ".5";
                break;
            default: array.emplace_back(std::string(i % 40, 'x')); expected += '"' + std::string(i % 40, 'x') + '"';
        }
    }
    expected += ']';
    EXPECT_EQ(to_json_text(array), expected);
}

TEST(WriterValues, ScalarsStandAlone) {
    EXPECT_EQ(to_json_text(JsonValue()), "null");
    EXPECT_EQ(to_json_text(true), "true");
    EXPECT_EQ(to_json_text(std::uint64_t{18446744073709551615u}), "18446744073709551615");
    EXPECT_EQ(to_json_text(std::int64_t{-5}), "-5");
    // A non-negative signed integer is stored, and written, as unsigned.
    EXPECT_EQ(to_json_text(std::int64_t{5}), "5");
    EXPECT_EQ(to_json_text(std::nan("")), "null");
    EXPECT_EQ(to_json_text("é\n"), "\"é\\n\"");
}

}  // namespace
}  // namespace zarn::json
