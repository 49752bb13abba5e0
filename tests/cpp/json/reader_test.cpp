#include "json/reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "json/writer.hpp"

namespace zarn::json {
namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

// The reader's message for `text`, or "ok" when it is read.
std::string outcome(std::string_view text) {
    const auto value = read_json(text);
    return value ? "ok" : value.error().to_string();
}

JsonValue read_ok(std::string_view text) {
    auto value = read_json(text);
    EXPECT_TRUE(value.has_value()) << "input: " << text << "\nerror: " << value.error().to_string();
    return value ? std::move(*value) : JsonValue();
}

// ---------------------------------------------------------------------------
// Every fault, with its exact message. The comment above an entry marks the
// reported byte with a caret where that helps.

struct FaultCase {
    std::string text;
    std::string message;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class ReaderFaults : public testing::TestWithParam<FaultCase> {};

TEST_P(ReaderFaults, GivesExactMessage) { EXPECT_EQ(outcome(GetParam().text), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(EndOfInput, ReaderFaults,
                         testing::Values(FaultCase{"", "EOF while parsing a value at line 1 column 0"},
                                         FaultCase{"   ", "EOF while parsing a value at line 1 column 3"},
                                         FaultCase{" \n ", "EOF while parsing a value at line 2 column 1"},
                                         FaultCase{"[1, 2", "EOF while parsing a list at line 1 column 5"},
                                         FaultCase{"[", "EOF while parsing a list at line 1 column 1"},
                                         FaultCase{"[[]  ", "EOF while parsing a list at line 1 column 5"},
                                         FaultCase{"[1,", "EOF while parsing a value at line 1 column 3"},
                                         // the last byte read is the line feed that ends line 3
                                         FaultCase{"[\n  1,\n  2\n", "EOF while parsing a list at line 3 column 4"},
                                         FaultCase{"{", "EOF while parsing an object at line 1 column 1"},
                                         FaultCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
                                         FaultCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
                                         FaultCase{"{\"a\":1,", "EOF while parsing an object at line 1 column 7"},
                                         FaultCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
                                         FaultCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
                                         FaultCase{"[\"a\\", "EOF while parsing a string at line 1 column 4"},
                                         FaultCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
                                         FaultCase{"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
                                         FaultCase{"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
                                         FaultCase{"\"\\uD800\\u00", "EOF while parsing a string at line 1 column 11"},
                                         FaultCase{"\"\xE2\x82", "EOF while parsing a string at line 1 column 3"},
                                         FaultCase{"nul", "EOF while parsing a value at line 1 column 3"},
                                         FaultCase{"[f", "EOF while parsing a value at line 1 column 2"},
                                         FaultCase{"-", "EOF while parsing a value at line 1 column 1"},
                                         FaultCase{"1.", "EOF while parsing a value at line 1 column 2"},
                                         FaultCase{"1e+", "EOF while parsing a value at line 1 column 3"}));

INSTANTIATE_TEST_SUITE_P(Structure, ReaderFaults,
                         testing::Values(
                             //       ^ column 6
                             FaultCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
                             FaultCase{"{\"a\",1}", "expected `:` at line 1 column 5"},
                             FaultCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
                             FaultCase{"[1}", "expected `,` or `]` at line 1 column 3"},
                             FaultCase{"[\"a\":1]", "expected `,` or `]` at line 1 column 5"},
                             FaultCase{"{\"a\":1]", "expected `,` or `}` at line 1 column 7"},
                             FaultCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
                             FaultCase{"{1:2}", "key must be a string at line 1 column 2"},
                             FaultCase{"{,}", "key must be a string at line 1 column 2"},
                             FaultCase{"{\"a\":1,b:2}", "key must be a string at line 1 column 8"},
                             FaultCase{"{'a':1}", "key must be a string at line 1 column 2"},
                             FaultCase{"[1,]", "trailing comma at line 1 column 4"},
                             FaultCase{"[1, \n]", "trailing comma at line 2 column 1"},
                             FaultCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
                             FaultCase{"1 x", "trailing characters at line 1 column 3"},
                             FaultCase{"[]]", "trailing characters at line 1 column 3"},
                             FaultCase{"{}\n\n}", "trailing characters at line 3 column 1"},
                             FaultCase{"truex", "trailing characters at line 1 column 5"},
                             FaultCase{"\"a\"\"b\"", "trailing characters at line 1 column 4"},
                             FaultCase{"0x1", "trailing characters at line 1 column 2"}));

INSTANTIATE_TEST_SUITE_P(Values, ReaderFaults,
                         testing::Values(FaultCase{"[}", "expected value at line 1 column 2"},
                                         FaultCase{"[,1]", "expected value at line 1 column 2"},
                                         FaultCase{"{\"a\":}", "expected value at line 1 column 6"},
                                         FaultCase{"'a'", "expected value at line 1 column 1"},
                                         FaultCase{"[.5]", "expected value at line 1 column 2"},
                                         FaultCase{"+1", "expected value at line 1 column 1"},
                                         FaultCase{"\n\n  @", "expected value at line 3 column 3"},
                                         FaultCase{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
                                         FaultCase{"\f[]", "expected value at line 1 column 1"},
                                         FaultCase{"Infinity", "expected value at line 1 column 1"},
                                         FaultCase{"[tru]", "expected ident at line 1 column 5"},
                                         FaultCase{"nulL", "expected ident at line 1 column 4"},
                                         FaultCase{"[txue]", "expected ident at line 1 column 3"},
                                         FaultCase{"fals e", "expected ident at line 1 column 5"},
                                         FaultCase{"nan", "expected ident at line 1 column 2"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, ReaderFaults,
    testing::Values(
        FaultCase{"-a", "invalid number at line 1 column 2"}, FaultCase{"[-]", "invalid number at line 1 column 3"},
        FaultCase{"01", "invalid number at line 1 column 2"}, FaultCase{"-01", "invalid number at line 1 column 3"},
        FaultCase{"[1.]", "invalid number at line 1 column 4"}, FaultCase{"1.e5", "invalid number at line 1 column 3"},
        FaultCase{"1e+x", "invalid number at line 1 column 4"}, FaultCase{"1ee2", "invalid number at line 1 column 3"},
        FaultCase{"- 1", "invalid number at line 1 column 2"},
        FaultCase{"-Infinity", "invalid number at line 1 column 2"},
        // the last byte of the number
        FaultCase{"1e400", "number out of range at line 1 column 5"},
        FaultCase{"[-1e309]", "number out of range at line 1 column 7"},
        FaultCase{"1.7976931348623159e308", "number out of range at line 1 column 22"},
        FaultCase{"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
        FaultCase{"0.00001e99999999999999999999", "number out of range at line 1 column 28"}));

INSTANTIATE_TEST_SUITE_P(
    Strings, ReaderFaults,
    testing::Values(
        FaultCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        FaultCase{"\"\\U0041\"", "invalid escape at line 1 column 3"},
        FaultCase{"\"ab\\'\"", "invalid escape at line 1 column 5"},
        FaultCase{"\"\\\xC3\xA9\"", "invalid escape at line 1 column 3"},
        FaultCase{"\"\\u12x4\"", "unexpected end of hex escape at line 1 column 6"},
        FaultCase{"\"\\u\"", "unexpected end of hex escape at line 1 column 4"},
        FaultCase{"\"\\uD800\\u12\"", "unexpected end of hex escape at line 1 column 12"},
        FaultCase{"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        FaultCase{"\"\0\""s, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        FaultCase{"\"\x1F\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        // a raw line feed belongs to the line it ends
        FaultCase{"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        FaultCase{"[\"ok\",\n\"a\rb\"]",
                  "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 3"},
        // a trailing surrogate on its own: its last hex digit
        FaultCase{"\"\\uDC00\"", "invalid unicode code point at line 1 column 7"},
        FaultCase{"\"\\uDFFF\\uDFFF\"", "invalid unicode code point at line 1 column 7"},
        FaultCase{"\"\\uD800\"", "lone leading surrogate in hex escape at line 1 column 8"},
        FaultCase{"\"\\uD800x\"", "lone leading surrogate in hex escape at line 1 column 8"},
        FaultCase{"\"\\uD800\\n\"", "lone leading surrogate in hex escape at line 1 column 9"},
        FaultCase{"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        FaultCase{"\"\\uDBFF\\uE000\"", "lone leading surrogate in hex escape at line 1 column 13"},
        FaultCase{"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"}));

// Ill-formed UTF-8 inside a string; the position is the first byte that
// cannot belong to a well-formed sequence.
INSTANTIATE_TEST_SUITE_P(
    Utf8, ReaderFaults,
    testing::Values(FaultCase{"\"\x80\"", "invalid unicode code point at line 1 column 2"},
                    FaultCase{"\"\xC0\x80\"", "invalid unicode code point at line 1 column 2"},
                    FaultCase{"\"\xC1\xBF\"", "invalid unicode code point at line 1 column 2"},
                    FaultCase{"\"\xC3(\"", "invalid unicode code point at line 1 column 3"},
                    FaultCase{"\"\xE0\x80\x80\"", "invalid unicode code point at line 1 column 3"},
                    FaultCase{"\"\xE0\x9F\xBF\"", "invalid unicode code point at line 1 column 3"},
                    FaultCase{"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 3"},
                    FaultCase{"\"\xE2\x82\"", "invalid unicode code point at line 1 column 4"},
                    FaultCase{"\"\xF0\x80\x80\x80\"", "invalid unicode code point at line 1 column 3"},
                    FaultCase{"\"\xF4\x90\x80\x80\"", "invalid unicode code point at line 1 column 3"},
                    FaultCase{"\"\xF5\x80\x80\x80\"", "invalid unicode code point at line 1 column 2"},
                    FaultCase{"\"\xFF\"", "invalid unicode code point at line 1 column 2"},
                    FaultCase{"\"abcdefgh\xC3\xA9\xFF\"", "invalid unicode code point at line 1 column 12"},
                    FaultCase{"{\"k\x80\":1}", "invalid unicode code point at line 1 column 4"}));

INSTANTIATE_TEST_SUITE_P(
    Nesting, ReaderFaults,
    testing::Values(FaultCase{std::string(128, '['), "recursion limit exceeded at line 1 column 128"},
                    FaultCase{std::string(127, '[') + "{}", "recursion limit exceeded at line 1 column 128"},
                    FaultCase{std::string(1'000'000, '['), "recursion limit exceeded at line 1 column 128"}));

// ---------------------------------------------------------------------------
// Nesting depth: arrays and objects count alike.

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string nested_objects(std::size_t depth) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += "{\"a\":";
    text += "1";
    text += std::string(depth, '}');
    return text;
}

TEST(ReaderNesting, AcceptsTheDeepestAllowedLevel) {
    EXPECT_EQ(outcome(nested_arrays(kMaxNestingDepth)), "ok");
    EXPECT_EQ(outcome(nested_objects(kMaxNestingDepth)), "ok");
}

TEST(ReaderNesting, RejectsOneLevelMore) {
    EXPECT_EQ(outcome(nested_arrays(kMaxNestingDepth + 1)), "recursion limit exceeded at line 1 column 128");
    // the 128th `{` is the first byte of the 128th `{"a":`
    EXPECT_EQ(outcome(nested_objects(kMaxNestingDepth + 1)), "recursion limit exceeded at line 1 column 636");
}

TEST(ReaderNesting, SiblingsDoNotAddDepth) {
    std::string text = "[";
    for (int i = 0; i < 1000; ++i) text += nested_arrays(100) + ",";
    text += "[]]";
    EXPECT_EQ(outcome(text), "ok");
}

// ---------------------------------------------------------------------------
// Numbers at the integer and double boundaries.

TEST(ReaderNumbers, UnsignedIntegers) {
    EXPECT_EQ(read_ok("0"), JsonValue(std::uint64_t{0}));
    EXPECT_EQ(read_ok("7"), JsonValue(std::uint64_t{7}));
    EXPECT_EQ(read_ok("9223372036854775808"), JsonValue(std::uint64_t{1} << 63));
    EXPECT_EQ(read_ok("18446744073709551615"), JsonValue(std::numeric_limits<std::uint64_t>::max()));
    EXPECT_EQ(read_ok("9007199254740993"), JsonValue(std::uint64_t{9007199254740993}));
}

TEST(ReaderNumbers, NegativeIntegers) {
    EXPECT_EQ(read_ok("-1").kind(), JsonKind::negative_integer);
    EXPECT_EQ(read_ok("-1").as_negative(), -1);
    EXPECT_EQ(read_ok("-9223372036854775807").as_negative(), -9223372036854775807);
    EXPECT_EQ(read_ok("-9223372036854775808").as_negative(), std::numeric_limits<std::int64_t>::min());
}

TEST(ReaderNumbers, IntegersOutsideTheIntegerRangesBecomeDoubles) {
    EXPECT_EQ(read_ok("18446744073709551616"), JsonValue(18446744073709551616.0));
    EXPECT_EQ(read_ok("-9223372036854775809"), JsonValue(-9223372036854775809.0));
    EXPECT_EQ(read_ok("123456789012345678901234567890"), JsonValue(1.2345678901234568e29));
    EXPECT_EQ(read_ok("-123456789012345678901234567890"), JsonValue(-1.2345678901234568e29));
}

TEST(ReaderNumbers, MinusZeroIsTheNegativeZeroDouble) {
    for (const char* text : {"-0", "-0.0", "-0e5", "-1e-400"}) {
        const JsonValue value = read_ok(text);
        ASSERT_EQ(value.kind(), JsonKind::floating) << text;
        EXPECT_EQ(value.as_double(), 0.0) << text;
        EXPECT_TRUE(std::signbit(value.as_double())) << text;
    }
    const JsonValue zero = read_ok("0.0");
    ASSERT_EQ(zero.kind(), JsonKind::floating);
    EXPECT_FALSE(std::signbit(zero.as_double()));
}

TEST(ReaderNumbers, FractionOrExponentMakesADouble) {
    EXPECT_EQ(read_ok("1.0"), JsonValue(1.0));
    EXPECT_EQ(read_ok("1e2"), JsonValue(100.0));
    EXPECT_EQ(read_ok("1E2"), JsonValue(100.0));
    EXPECT_EQ(read_ok("1e+2"), JsonValue(100.0));
    EXPECT_EQ(read_ok("1e-2"), JsonValue(0.01));
    EXPECT_EQ(read_ok("-1.5E-3"), JsonValue(-0.0015));
    EXPECT_EQ(read_ok("0e0"), JsonValue(0.0));
}

TEST(ReaderNumbers, DoublesAreCorrectlyRounded) {
    EXPECT_EQ(read_ok("0.1"), JsonValue(0.1));
    EXPECT_EQ(read_ok("2.2250738585072011e-308"), JsonValue(2.2250738585072011e-308));
    EXPECT_EQ(read_ok("4.9e-324"), JsonValue(std::numeric_limits<double>::denorm_min()));
    EXPECT_EQ(read_ok("1.7976931348623157e308"), JsonValue(std::numeric_limits<double>::max()));
    // 2^53 + 1 is halfway between two doubles: ties go to the even one.
    EXPECT_EQ(read_ok("9007199254740993.0"), JsonValue(9007199254740992.0));
    // Exactly halfway between 1 and the next double, then just above it.
    EXPECT_EQ(read_ok("1.00000000000000011102230246251565404236316680908203125"), JsonValue(1.0));
    EXPECT_EQ(read_ok("1.00000000000000011102230246251565404236316680908203126"), JsonValue(std::nextafter(1.0, 2.0)));
}

TEST(ReaderNumbers, UnderflowReadsAsZeroOfTheSameSign) {
    EXPECT_EQ(read_ok("1e-400"), JsonValue(0.0));
    EXPECT_EQ(read_ok("123.456e-789"), JsonValue(0.0));
    EXPECT_EQ(read_ok("2e-324"), JsonValue(0.0));
    EXPECT_EQ(read_ok("-2e-324"), JsonValue(-0.0));
    EXPECT_EQ(read_ok("0e99999999999999999999"), JsonValue(0.0));
}

// Short decimals are computed exactly (mantissa and power of ten both exact
// doubles) rather than by std::from_chars; both must agree bit for bit, on
// either side of the limits of that shortcut (2^53, 10^22, nineteen digits).
TEST(ReaderNumbers, ShortDecimalsAgreeWithFromChars) {
    std::mt19937_64 random(11);
    const std::uint64_t mantissa_limits[] = {999, 999'999, std::uint64_t{1} << 53, (std::uint64_t{1} << 53) + 2,
                                             9'999'999'999'999'999'999u};
    for (int i = 0; i < 100'000; ++i) {
        const std::uint64_t limit = mantissa_limits[i % std::size(mantissa_limits)];
        const std::string digits = std::to_string(random() % (limit + 1));
        const auto point = static_cast<std::size_t>(random() % (digits.size() + 1));
        std::string text = (random() % 2 ? "-" : "") + digits.substr(0, point);
        if (point == 0) text += "0";
        if (point < digits.size()) text += "." + digits.substr(point);
        if (random() % 2) text += "e" + std::to_string(static_cast<int>(random() % 61) - 30);
        if (text.find_first_of(".e") == std::string::npos) text += ".0";
        double expected = 0;
        std::from_chars(text.data(), text.data() + text.size(), expected);
        const JsonValue value = read_ok(text);
        ASSERT_EQ(value.kind(), JsonKind::floating) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(value.as_double()), std::bit_cast<std::uint64_t>(expected)) << text;
    }
}

// ---------------------------------------------------------------------------
// Strings.

TEST(ReaderStrings, DecodesEveryEscape) {
    EXPECT_EQ(read_ok(R"("\"\\\/\b\f\n\r\t")"), JsonValue("\"\\/\b\f\n\r\t"));
    EXPECT_EQ(read_ok(R"("\u0000")"), JsonValue("\0"s));
    EXPECT_EQ(read_ok(R"("\u0041\u00e9\u00E9\u20AC\uFFFF")"), JsonValue("Aéé€\xEF\xBF\xBF"));
    EXPECT_EQ(read_ok(R"("a\"b\u00e9")"), JsonValue("a\"bé"));
}

TEST(ReaderStrings, CombinesSurrogatePairs) {
    EXPECT_EQ(read_ok(R"("\uD834\uDD1E")"), JsonValue("\xF0\x9D\x84\x9E"));
    EXPECT_EQ(read_ok(R"("\ud83d\ude00x")"), JsonValue("😀x"));
    EXPECT_EQ(read_ok(R"("\uD800\uDC00\uDBFF\uDFFF")"), JsonValue("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"));
}

TEST(ReaderStrings, KeepsWellFormedUtf8AndDelete) {
    const std::string text = "é€😀\xF4\x8F\xBF\xBF\x7F/";
    EXPECT_EQ(read_ok("\"" + text + "\""), JsonValue(text));
}

// The string scan works eight bytes at a time: put each special byte at every
// offset of strings of many lengths, so that each lane and the tail are hit.
TEST(ReaderStrings, FindsSpecialBytesAtEveryOffset) {
    struct Special {
        std::string source;   // as written inside the JSON string
        std::string decoded;  // what it reads as
    };
    const Special specials[] = {{"\\n", "\n"},    {"\\\"", "\""}, {"\\\\", "\\"},
                                {"\\u00e9", "é"}, {"é", "é"},     {"😀", "😀"}};
    for (std::size_t length = 0; length < 24; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            for (const Special& special : specials) {
                const std::string before(at, 'a');
                const std::string after(length - at, 'b');
                const std::string text = "\"" + before + special.source + after + "\"";
                EXPECT_EQ(read_ok(text), JsonValue(before + special.decoded + after)) << text;
            }
            std::string bad = "\"" + std::string(length + 1, 'a') + "\"";
            bad[1 + at] = '\x01';
            EXPECT_EQ(outcome(bad),
                      "control character (\\u0000-\\u001F) found while parsing a "
                      "string at line 1 column " +
                          std::to_string(2 + at));
        }
    }
}

// ---------------------------------------------------------------------------
// Objects, arrays and white space.

TEST(ReaderObjects, StoresMembersInByteOrderAndKeepsTheLastOfARepeatedKey) {
    const JsonValue value = read_ok(R"({"b":1,"a":2,"é":3,"Z":4,"b":5,"":6})");
    std::string keys;
    for (const auto& [key, member] : value.as_object()) keys += "[" + key.str() + "]";
    EXPECT_EQ(keys, "[][Z][a][b][é]");
    EXPECT_EQ(*value.as_object().find("b"), JsonValue(5));
}

TEST(ReaderObjects, LargeObjectsSortStablyToo) {
    // More members than the small-object sort handles, in reverse order, with
    // every key given twice: the second value must win.
    std::string text = "{";
    for (int round = 0; round < 2; ++round)
        for (int i = 40; i > 0; --i)
            text += "\"k" + std::to_string(100 + i) + "\":" + std::to_string(i * 10 + round) + ",";
    text.back() = '}';
    const JsonValue value = read_ok(text);
    const JsonObject& object = value.as_object();
    ASSERT_EQ(object.size(), 40u);
    int i = 1;
    for (const auto& [key, member] : object) {
        EXPECT_EQ(key, "k" + std::to_string(100 + i));
        EXPECT_EQ(member, JsonValue(i * 10 + 1));
        ++i;
    }
}

// Members are ordered by their first eight bytes first; keys that share those
// must still be ordered, and told apart, by the whole key.
// Keys are sorted by a prefix of their first eight bytes and then by the
// rest: every short length, NUL and bytes from 0x80 up included, in any
// order of the text, sorts as plain byte order does, and a repeated key keeps
// its last value.
TEST(ReaderObjects, SortsKeysOfEveryShortLengthByBytes) {
    std::vector<std::string> keys{""};
    for (std::size_t begin = 0, length = 0; length < 4; ++length) {
        const std::size_t end = keys.size();
        for (std::size_t i = begin; i < end; ++i)
            for (const std::string_view symbol : {"\0"sv, "a"sv, "\x7F"sv, "\xC3\xA9"sv})
                keys.push_back(keys[i] + std::string(symbol));
        begin = end;
    }
    keys.push_back("abcdefgh\xC3\xA9");
    keys.push_back("abcdefgh");
    std::mt19937 random(7);
    for (int round = 0; round < 5; ++round) {
        std::ranges::shuffle(keys, random);
        std::string text = "{";
        for (std::size_t i = 0; i < keys.size(); ++i) {
            std::string key;
            write_string(keys[i], key);
            text += key + ":" + std::to_string(i) + ",";
        }
        std::string first_key;
        write_string(keys.front(), first_key);
        text += first_key + ":\"last\"}";
        const JsonValue value = read_ok(text);
        std::vector<std::string> sorted = keys;
        std::ranges::sort(sorted);
        std::vector<std::string> read;
        for (const auto& [key, member] : value.as_object()) read.push_back(key.str());
        EXPECT_EQ(read, sorted);
        EXPECT_EQ(*value.as_object().find(keys.front()), JsonValue("last"));
    }
}

TEST(ReaderObjects, OrdersKeysThatShareTheirFirstEightBytes) {
    const JsonValue value = read_ok(R"({"abcdefghZ":1,"abcdefgh":2,"abcdefghA":3,"abcdefgh\u0000":4,)"
                                    R"("abcdefghA":5,"abcdefg":6,"abcdefghZ":7})");
    std::string keys;
    for (const auto& [key, member] : value.as_object()) keys += "[" + key.str() + "]=" + to_json_text(member);
    EXPECT_EQ(keys, "[abcdefg]=6[abcdefgh]=2[abcdefgh"s + '\0' + "]=4[abcdefghA]=5[abcdefghZ]=7");
}

// Objects in a row often share their key order, and the reader tries the
// order it sorted last before sorting again: objects of the same size in the
// same order, in another order, with a key repeated or with other keys, in
// any succession, must each read as a map of their keys would give them.
TEST(ReaderObjects, ObjectsInARowReadAsMapsOfTheirKeys) {
    // Keys as written and as they read: prefixes of each other, the longest
    // that is held inline and one byte more, the empty key, a key with a
    // multi-byte character, and the same keys written with escapes.
    const std::vector<std::pair<std::string, std::string>> pool{{"id", "id"},
                                                                {"a", "a"},
                                                                {"b", "b"},
                                                                {"name", "name"},
                                                                {"abcdefghX", "abcdefghX"},
                                                                {"abcdefghY", "abcdefghY"},
                                                                {"abcdefgh", "abcdefgh"},
                                                                {"fifteen-bytes-k", "fifteen-bytes-k"},
                                                                {"sixteen-bytes-ke", "sixteen-bytes-ke"},
                                                                {"", ""},
                                                                {"\\u00e9t\\u00e9", "\xC3\xA9t\xC3\xA9"},
                                                                {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
                                                                {"n\\u0061me", "name"},
                                                                {"a\\\\", "a\\"},
                                                                {"a\\\"", "a\""}};
    std::mt19937 random(11);
    std::vector<std::pair<std::string, std::string>> keys;
    std::string text = "[";
    std::vector<std::map<std::string, int>> expected;
    for (int object = 0; object < 3000; ++object) {
        const auto roll = std::uniform_int_distribution<int>(0, 3)(random);
        if (roll == 0 && !keys.empty()) {
            std::ranges::shuffle(keys, random);  // the same keys in another order
        } else if (roll == 1 || keys.empty()) {  // new keys, any of them repeated
            keys.resize(std::uniform_int_distribution<std::size_t>(1, 5)(random));
            for (auto& key : keys) key = pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(random)];
        }  // else the same keys in the same order
        std::map<std::string, int> members;
        text += object == 0 ? "{" : ",{";
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const int value = object * 10 + static_cast<int>(i);
            text += (i == 0 ? "\"" : ",\"") + keys[i].first + "\":" + std::to_string(value);
            members[keys[i].second] = value;
        }
        text += "}";
        expected.push_back(std::move(members));
    }
    text += "]";
    const JsonValue value = read_ok(text);
    const JsonArray& objects = value.as_array();
    ASSERT_EQ(objects.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        std::vector<std::pair<std::string, JsonValue>> read;
        for (const auto& [key, member] : objects[i].as_object()) read.emplace_back(key.str(), member);
        std::vector<std::pair<std::string, JsonValue>> wanted;
        for (const auto& [key, member] : expected[i]) wanted.emplace_back(key, JsonValue(member));
        ASSERT_EQ(read, wanted) << "object " << i;
    }
}

// An object's keys are compared with those of the object before it at the
// same depth. Text that only looks like those keys (a key that needed an
// escape, written raw; a longer key; a cut-off one; keys at many depths)
// must read, or fail, exactly as a reader that compares nothing.
TEST(ReaderObjects, KeysLikeThoseBeforeReadAsThemselves) {
    const auto keep_all = [](ReadPlan::Context, std::string_view) noexcept -> ReadPlan::Context { return 1; };
    const ReadPlan plan{1, keep_all};
    std::string deep_objects;
    for (int i = 0; i < 12; ++i) deep_objects += R"({"k":1,"n":)";
    deep_objects += "0" + std::string(12, '}');
    const std::vector<std::string> texts = {
        R"([{"a\"":1},{"a"":2}])",
        R"([{"a\\":1},{"a\":2}])",
        R"([{"a\n":1},{"a)"
        "\n"
        R"(":2}])",
        R"([{"ab":1},{"abc":2},{"ab":3},{"a":4}])",
        R"([{"ab":1,"cd":2},{"ab":1,"cd":2,"ab":3},{"ab":1},{"cd":1,"ab":2},{"ab":5,"cd":6}])",
        R"([{"x":1,"x":2},{"x":3,"x":4},{"x":5}])",
        R"([{"":1},{"":2},{"\u0000":3},{"":4}])",
        R"([{"ab":{"ab":1}},{"ab":{"ab":2}},{"ab":{"cd":3}}])",
        "[" + deep_objects + "," + deep_objects + "]",
        R"([{"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"k":11,"l":12,"m":13,"n":14,"o":15,"p":16,"q":17},)"
        R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"k":11,"l":12,"m":13,"n":14,"o":15,"p":16,"q":17}])",
        R"([{"p":16,"o":15,"n":14,"m":13,"l":12,"k":11,"j":10,"i":9,"h":8,"g":7,"f":6,"e":5,"d":4,"c":3,"b":2,"a":1},)"
        R"({"p":16,"o":15,"n":14,"m":13,"l":12,"k":11,"j":10,"i":9,"h":8,"g":7,"f":6,"e":5,"d":4,"c":3,"b":2,"a":1}])",
    };
    for (const std::string& whole : texts) {
        for (std::size_t length = 0; length <= whole.size(); ++length) {
            const std::string_view text = std::string_view(whole).substr(0, length);
            const auto compared = read_json(text);
            const auto plain = read_json(text, plan);
            ASSERT_EQ(compared.has_value(), plain.has_value()) << text;
            if (compared) {
                EXPECT_EQ(*compared, *plain) << text;
            } else {
                EXPECT_EQ(compared.error().to_string(), plain.error().to_string()) << text;
            }
        }
    }
}

TEST(ReaderStructure, ReadsNestedValuesAndWhiteSpace) {
    const JsonValue value = read_ok(
        " \t\r\n{ \"list\" : [ 1 , -2 , 3.5 , true , false , null , "
        "\"s\" , [ ] , { } ] , \"n\" : { \"x\" : [ [ 0 ] ] } } \n");
    const JsonValue expected = JsonObject{
        {"list", JsonArray{1, -2, 3.5, true, false, nullptr, "s", JsonArray{}, JsonObject{}}},
        {"n", JsonObject{{"x", JsonArray{JsonArray{0}}}}},
    };
    EXPECT_EQ(value, expected);
}

TEST(ReaderStructure, ScalarsStandAlone) {
    EXPECT_EQ(read_ok("true"), JsonValue(true));
    EXPECT_EQ(read_ok(" false "), JsonValue(false));
    EXPECT_EQ(read_ok("null"), JsonValue());
    EXPECT_EQ(read_ok("\"\""), JsonValue(""));
    EXPECT_EQ(read_ok("42"), JsonValue(42));
}

TEST(ReaderStructure, ReadsOnlyTheViewGiven) {
    // The byte after the view must not be looked at.
    const std::string text = "[1,2]]";
    EXPECT_EQ(read_ok(std::string_view(text).substr(0, 5)), JsonValue(JsonArray{1, 2}));
    EXPECT_EQ(outcome(std::string_view(text).substr(0, 4)), "EOF while parsing a list at line 1 column 4");
}

}  // namespace
}  // namespace zarn::json
