#include "query/field_parser.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "query/test_support.hpp"

namespace zarn::query {
namespace {

using namespace std::literals;
using json::JsonArray;
using json::JsonObject;
using json::JsonValue;
using testing::json_object;
using testing::json_value;
using testing::outcome;

struct Case {
    std::string_view input;
    std::string expected;   // outcome(): "ok", "name ...", or the message
    std::size_t position;   // where the cursor must be afterwards
};

const JsonObject& variables() {
    static const JsonObject kVariables = json_object(R"({"v": {"k": [1, "x"]}, "n": null})");
    return kVariables;
}

TEST(GraphqlFieldParser, ParseName) {
    const Case cases[] = {
        {"_x9 rest", "name _x9", 3},
        {" ,\t\r\n\fa", "name a", 7},
        {"# c ( } \" \nb", "name b", 12},
        {"# c\rb", "name b", 5},  // a lone CR ends a comment
        {"", "expected GraphQL name, found end of input", 0},
        {" , # only a comment", "expected GraphQL name, found end of input", 19},
        {"9x", "expected GraphQL name, found 9", 0},
        {" \vname", "expected GraphQL name, found \v", 1},
        {"\xEF\xBB\xBFname", "expected GraphQL name, found ï", 0},  // byte-order mark
        {"\xC3\xA9", "expected GraphQL name, found Ã", 0},
        {"\x80", "expected GraphQL name, found \u0080", 0},
        {"\xFF", "expected GraphQL name, found ÿ", 0},
        {"\xC2\xA0x", "expected GraphQL name, found Â", 0},  // no-break space is not ignored
        {"\0x"sv, "expected GraphQL name, found \0"s, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        GraphqlFieldParser parser(c.input, variables());
        EXPECT_EQ(outcome(parser.parse_name()), c.expected);
        EXPECT_EQ(parser.position(), c.position);
    }
}

TEST(GraphqlFieldParser, FormFeedSeparatesNames) {
    GraphqlFieldParser parser("a\f b", variables());
    EXPECT_EQ(outcome(parser.parse_name()), "name a");
    EXPECT_EQ(outcome(parser.parse_name()), "name b");
    EXPECT_TRUE(parser.at_end());
}

TEST(GraphqlFieldParser, ExpectByte) {
    const Case cases[] = {
        {" , :x", "ok", 4},
        {"# :\n:", "ok", 5},
        {")", "expected :, found )", 0},
        {"  ", "expected :, found end of input", 2},
        {"\xC3\xA9", "expected :, found Ã", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        GraphqlFieldParser parser(c.input, variables());
        EXPECT_EQ(outcome(parser.expect_byte(':')), c.expected);
        EXPECT_EQ(parser.position(), c.position);
    }
}

TEST(GraphqlFieldParser, SkipBalanced) {
    const Case cases[] = {
        {"(s: \")\", l: [1, 2] # )\n) rest", "ok", 24},
        {" ({ (a) ) x", "ok", 9},   // braces are ordinary inside ( )
        {"(a: \"\\\")\")", "ok", 10},  // an escaped quote does not end the string
        {"(# )\r)", "ok", 6},
        {"(\xC3\xA9)", "ok", 4},
        {"()", "ok", 2},
        {"(a: 1", "unterminated GraphQL balanced block: (", 5},
        {"(", "unterminated GraphQL balanced block: (", 1},
        {"(a) # (", "ok", 3},
        {"( # )", "unterminated GraphQL balanced block: (", 5},
        {"(a: \"x)", "unterminated GraphQL string literal", 7},
        {"(a: \"x\\", "unterminated GraphQL string literal", 7},
        {"x", "expected (, found x", 0},
        {"", "expected (, found end of input", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        GraphqlFieldParser parser(c.input, variables());
        EXPECT_EQ(outcome(parser.skip_balanced('(', ')')), c.expected);
        EXPECT_EQ(parser.position(), c.position);
    }
    GraphqlFieldParser braces("{ a(x: \"}\") ( } ) }", variables());
    EXPECT_EQ(outcome(braces.skip_balanced('{', '}')), "ok");
    EXPECT_EQ(braces.position(), 15u);  // parentheses are ordinary inside { }
}

TEST(GraphqlFieldParser, SkipDirectives) {
    const Case cases[] = {
        {"@a @b(if: $x) {", "ok", 14},  // `x` is not a variable and is never looked up
        {" @ skip (if: $missing) , x", "ok", 25},
        {"", "ok", 0},
        {"@", "expected GraphQL name, found end of input", 1},
        {"@1", "expected GraphQL name, found 1", 1},
        {"@a(", "unterminated GraphQL balanced block: (", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        GraphqlFieldParser parser(c.input, variables());
        EXPECT_EQ(outcome(parser.skip_directives()), c.expected);
        EXPECT_EQ(parser.position(), c.position);
    }
}

TEST(GraphqlFieldParser, ParseValue) {
    struct ValueCase {
        std::string_view input;
        JsonValue expected;
        std::size_t position;
    };
    const ValueCase cases[] = {
        {"true", true, 4},
        {"false", false, 5},
        {" # c\n null", nullptr, 10},
        {"TRUE", "TRUE", 4},
        {"NULL", "NULL", 4},
        {"nullable", "nullable", 8},
        {"ACTIVE)", "ACTIVE", 6},
        {R"("a\"b\u00e9" x)", "a\"bé", 12},
        {R"("é \ud83d\ude00 \/")", "é 😀 /", 20},
        {"\"\"", "", 2},
        {"-12", std::int64_t{-12}, 3},
        {"7", 7u, 1},
        {"12abc", 12u, 2},
        {"1.0", 1.0, 3},
        {"1.5e3", 1500.0, 5},
        {"2E-1", 0.2, 4},
        {"1e+2", 100.0, 4},
        {"-0", -0.0, 2},
        {"18446744073709551615", std::numeric_limits<std::uint64_t>::max(), 20},
        {"18446744073709551616", 18446744073709551616.0, 20},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min(), 20},
        {"-9223372036854775809", -9223372036854775809.0, 20},
        {"[1, [2], {a: $v, a: 3}]", json_value(R"([1, [2], {"a": 3}])"), 23},
        {"{b: 1, a: {c: $n}}", json_value(R"({"a": {"c": null}, "b": 1})"), 18},
        {"[,1,,2,]", json_value("[1, 2]"), 8},
        {"[]", JsonArray{}, 2},
        {"{}", JsonObject{}, 2},
        {"$ v", json_value(R"({"k": [1, "x"]})"), 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        GraphqlFieldParser parser(c.input, variables());
        const auto value = parser.parse_value();
        ASSERT_TRUE(value) << value.error();
        EXPECT_EQ(*value, c.expected);
        EXPECT_EQ(parser.position(), c.position);
    }
}

TEST(GraphqlFieldParser, ParseValueFailures) {
    const Case cases[] = {
        {"", "unexpected end of GraphQL argument value", 0},
        {"[1, ", "unexpected end of GraphQL argument value", 4},
        {"{a: 1", "expected GraphQL name, found end of input", 5},
        {"{a 1}", "expected :, found 1", 3},
        {"{1: 2}", "expected GraphQL name, found 1", 1},
        {"{a: ]}", "unexpected character in GraphQL argument value: ]", 4},
        {")", "unexpected character in GraphQL argument value: )", 0},
        {" .5", "unexpected character in GraphQL argument value: .", 1},
        {"+1", "unexpected character in GraphQL argument value: +", 0},
        {"\xC3\xA9", "unexpected character in GraphQL argument value: Ã", 0},
        {"$w", "missing GraphQL variable: $w", 2},
        {"$V", "missing GraphQL variable: $V", 2},
        {"$", "expected GraphQL name, found end of input", 1},
        {"\"abc", "unterminated GraphQL string literal", 4},
        {"[\"ab\\\"]", "unterminated GraphQL string literal", 7},
        // The JSON reader judges each literal on its own text, so line and
        // column count within the literal, not within the query.
        {R"([1, "a\qb"])", "invalid GraphQL string literal: invalid escape at line 1 column 4", 10},
        {R"("\u{41}")",
         "invalid GraphQL string literal: unexpected end of hex escape at line 1 column 4", 8},
        {"\"a\n\"",
         "invalid GraphQL string literal: control character (\\u0000-\\u001F) found while parsing a "
         "string at line 1 column 3",
         4},
        {R"("\ud800")",
         "invalid GraphQL string literal: lone leading surrogate in hex escape at line 1 column 8", 8},
        {"\"\xFF\"", "invalid GraphQL string literal: invalid unicode code point at line 1 column 2", 3},
        {"[-]", "invalid GraphQL number literal: EOF while parsing a value at line 1 column 1", 2},
        {"01", "invalid GraphQL number literal: invalid number at line 1 column 2", 2},
        {"[1.]", "invalid GraphQL number literal: EOF while parsing a value at line 1 column 2", 3},
        {"1ex", "invalid GraphQL number literal: EOF while parsing a value at line 1 column 2", 2},
        {"-.5", "invalid GraphQL number literal: invalid number at line 1 column 2", 3},
        {"1e400", "invalid GraphQL number literal: number out of range at line 1 column 5", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        GraphqlFieldParser parser(c.input, variables());
        const auto value = parser.parse_value();
        EXPECT_EQ(value ? "a value" : value.error(), c.expected);
        EXPECT_EQ(parser.position(), c.position);
    }
}

TEST(GraphqlFieldParser, NestingIsBounded) {
    const auto nested = [](std::size_t levels) {
        return std::string(levels, '[') + std::string(levels, ']');
    };
    const std::string deepest_input = nested(kMaxValueNesting);
    GraphqlFieldParser deepest(deepest_input, variables());
    const auto value = deepest.parse_value();
    ASSERT_TRUE(value) << value.error();
    std::size_t levels = 0;
    for (const JsonValue* v = &*value; v != nullptr && v->is_array(); ++levels)
        v = v->as_array().empty() ? nullptr : &v->as_array().front();
    EXPECT_EQ(levels, kMaxValueNesting);

    std::string mixed;
    for (int i = 0; i < 64; ++i) mixed += "{a: [";
    for (const std::string& input : {nested(kMaxValueNesting + 1), std::string(1'000'000, '['), mixed}) {
        SCOPED_TRACE(input.size());
        GraphqlFieldParser parser(input, variables());
        const auto too_deep = parser.parse_value();
        EXPECT_EQ(too_deep ? "a value" : too_deep.error(),
                  "GraphQL argument value nesting exceeds 127 levels");
    }
}

}  // namespace
}  // namespace zarn::query
