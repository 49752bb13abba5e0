#include "query/field_parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "json/writer.hpp"

namespace zarn::query {
namespace {

enum class Op { name, expect_colon, skip_parens, skip_braces, skip_directives, value };

// What the operation gave: "ok", "name ...", a value as JSON text (which
// tells integers, negatives and doubles apart), or the message.
std::string run(GraphqlFieldParser& parser, Op op) {
    const auto status = [](const Status& s) { return s ? "ok" : s.error(); };
    switch (op) {
        case Op::name: {
            const auto name = parser.parse_name_view();
            return name ? "name " + std::string(*name) : name.error();
        }
        case Op::expect_colon: return status(parser.expect_byte(':'));
        case Op::skip_parens: return status(parser.skip_balanced('(', ')'));
        case Op::skip_braces: return status(parser.skip_balanced('{', '}'));
        case Op::skip_directives: return status(parser.skip_directives());
        case Op::value: {
            const auto value = parser.parse_value();
            return value ? json::to_json_text(*value) : value.error();
        }
    }
    return "unknown operation";
}

TEST(GraphqlFieldParser, Operations) {
    const json::JsonObject variables{{"v", json::JsonObject{{"k", json::JsonArray{1, "x"}}}}, {"n", nullptr}};
    const struct {
        Op op;
        std::string_view input;
        std::string_view expected;
        std::size_t position;  // of the cursor afterwards
    } cases[] = {
        {Op::name, "_x9 rest", "name _x9", 3},
        {Op::name, " ,\t\r\n\fa", "name a", 7},  // form feed is ignored
        {Op::name, "# c ( } \" \nb", "name b", 12},
        {Op::name, "# c\rb", "name b", 5},  // a lone CR ends a comment
        {Op::name, "", "expected GraphQL name, found end of input", 0},
        {Op::name, " # only a comment", "expected GraphQL name, found end of input", 17},
        {Op::name, "9x", "expected GraphQL name, found 9", 0},
        {Op::name, " \vname", "expected GraphQL name, found \v", 1},
        {Op::name, "\xEF\xBB\xBFname", "expected GraphQL name, found ï", 0},  // byte-order mark
        {Op::name, "\xC2\xA0x", "expected GraphQL name, found Â", 0},         // no-break space
        {Op::name, "\xFF", "expected GraphQL name, found ÿ", 0},

        {Op::expect_colon, " , :x", "ok", 4},
        {Op::expect_colon, ")", "expected :, found )", 0},
        {Op::expect_colon, "  ", "expected :, found end of input", 2},
        {Op::expect_colon, "\xC3\xA9", "expected :, found Ã", 0},

        {Op::skip_parens, "(s: \")\", l: [1, 2] # )\n) rest", "ok", 24},
        {Op::skip_parens, " ({ (a) ) x", "ok", 9},  // braces are ordinary inside ( )
        {Op::skip_parens, "(a: \"\\\")\")", "ok", 10},
        {Op::skip_parens, "(# )\r)", "ok", 6},
        {Op::skip_parens, "(\xC3\xA9)", "ok", 4},
        {Op::skip_parens, "(a) # (", "ok", 3},
        {Op::skip_parens, "(a: 1", "unterminated GraphQL balanced block: (", 5},
        {Op::skip_parens, "( # )", "unterminated GraphQL balanced block: (", 5},
        {Op::skip_parens, "(a: \"x)", "unterminated GraphQL string literal", 7},
        {Op::skip_parens, "(a: \"x\\", "unterminated GraphQL string literal", 7},
        {Op::skip_parens, "x", "expected (, found x", 0},
        {Op::skip_braces, "{ a(x: \"}\") ( } ) }", "ok", 15},  // parentheses are ordinary inside { }
        {Op::skip_braces, "", "expected {, found end of input", 0},

        {Op::skip_directives, "@a @b(if: $x) {", "ok", 14},  // $x is never looked up
        {Op::skip_directives, " @ skip (if: true) , x", "ok", 21},
        {Op::skip_directives, "@1", "expected GraphQL name, found 1", 1},
        {Op::skip_directives, "@a(", "unterminated GraphQL balanced block: (", 3},

        {Op::value, "true", "true", 4},
        {Op::value, " # c\n null", "null", 10},
        {Op::value, "TRUE", R"("TRUE")", 4},
        {Op::value, "nullable", R"("nullable")", 8},
        {Op::value, "ACTIVE)", R"("ACTIVE")", 6},
        {Op::value, "\"plain ~\x7F\" x", "\"plain ~\x7F\"", 10},
        {Op::value, R"("a body longer than sixteen bytes"])", R"("a body longer than sixteen bytes")", 34},
        {Op::value, "\"unterminated", "unterminated GraphQL string literal", 13},
        {Op::value, "\"\"", R"("")", 2},
        {Op::value, R"("a\"b\u00e9" x)", R"("a\"bé")", 12},
        {Op::value, R"("é \ud83d\ude00 \/")", R"("é 😀 /")", 20},
        {Op::value, "-12", "-12", 3},
        {Op::value, "12abc", "12", 2},
        {Op::value, "1.0", "1.0", 3},
        {Op::value, "1.5E+3", "1500.0", 6},
        {Op::value, "-0", "-0.0", 2},
        {Op::value, "18446744073709551615", "18446744073709551615", 20},
        {Op::value, "18446744073709551616", "1.8446744073709552e+19", 20},
        {Op::value, "-9223372036854775808", "-9223372036854775808", 20},
        {Op::value, "-9223372036854775809", "-9.223372036854776e+18", 20},
        {Op::value, "[1, [2], {a: $v, a: 3}]", R"([1,[2],{"a":3}])", 23},
        {Op::value, "{b: 1, a: {c: $n}}", R"({"a":{"c":null},"b":1})", 18},
        {Op::value, "[,1,,2,]", "[1,2]", 8},
        {Op::value, "$ v", R"({"k":[1,"x"]})", 3},
        {Op::value, "", "unexpected end of GraphQL argument value", 0},
        {Op::value, "[1, ", "unexpected end of GraphQL argument value", 4},
        {Op::value, "{a: 1", "expected GraphQL name, found end of input", 5},
        {Op::value, "{a 1}", "expected :, found 1", 3},
        {Op::value, "{a: ]}", "unexpected character in GraphQL argument value: ]", 4},
        {Op::value, " .5", "unexpected character in GraphQL argument value: .", 1},
        {Op::value, "\xC3\xA9", "unexpected character in GraphQL argument value: Ã", 0},
        {Op::value, "$V", "missing GraphQL variable: $V", 2},
        {Op::value, "$", "expected GraphQL name, found end of input", 1},
        {Op::value, "[\"ab\\\"]", "unterminated GraphQL string literal", 7},
        // Line and column count within the literal, not within the query.
        {Op::value, R"([1, "a\qb"])", "invalid GraphQL string literal: invalid escape at line 1 column 4", 10},
        {Op::value, R"("\u{41}")", "invalid GraphQL string literal: unexpected end of hex escape at line 1 column 4",
         8},
        {Op::value, "\"a\n\"",
         "invalid GraphQL string literal: control character (\\u0000-\\u001F) found while parsing a string "
         "at line 1 column 3",
         4},
        {Op::value, "[-]", "invalid GraphQL number literal: EOF while parsing a value at line 1 column 1", 2},
        {Op::value, "01", "invalid GraphQL number literal: invalid number at line 1 column 2", 2},
        {Op::value, "1ex", "invalid GraphQL number literal: EOF while parsing a value at line 1 column 2", 2},
        {Op::value, "-.5", "invalid GraphQL number literal: invalid number at line 1 column 2", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        GraphqlFieldParser parser(c.input, variables);
        EXPECT_EQ(run(parser, c.op), c.expected);
        EXPECT_EQ(parser.position(), c.position);
    }
}

// Names are scanned sixteen bytes at a time: every length, each class of name
// byte at every offset, and each byte that ends a name, including the bytes
// either side of the letter and digit ranges.
TEST(GraphqlFieldParser, NamesEndAtTheFirstByteThatCannotContinueThem) {
    const json::JsonObject no_variables;
    for (std::size_t length = 1; length < 40; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            for (const char inside : {'a', 'z', 'A', 'Z', '_', '0', '9'}) {
                std::string name(length, 'n');
                name[at] = inside;
                if (at == 0 && inside >= '0' && inside <= '9') continue;  // not a name start
                for (const char after : {' ', '/', ':', '@', '[', '`', '{', '-', '.', '\x7F', '\x80', '\xC3'}) {
                    const std::string input = name + after + std::string(20, 'x');
                    GraphqlFieldParser parser(input, no_variables);
                    EXPECT_EQ(run(parser, Op::name), "name " + name) << input;
                    EXPECT_EQ(parser.position(), length) << input;
                }
                const std::string input = name;  // a name that ends the text
                GraphqlFieldParser parser(input, no_variables);
                EXPECT_EQ(run(parser, Op::name), "name " + name);
            }
        }
    }
}

TEST(GraphqlFieldParser, NestingIsBounded) {
    const json::JsonObject variables;
    const std::string deepest = std::string(127, '[') + std::string(127, ']');
    const std::string too_deep = "GraphQL argument value nesting exceeds 127 levels";
    std::string mixed;
    for (int i = 0; i < 64; ++i) mixed += "{a: [";
    const std::pair<std::string, std::string> cases[] = {
        {deepest, deepest},
        {std::string(128, '[') + std::string(128, ']'), too_deep},
        {mixed, too_deep},
        {std::string(1'000'000, '['), too_deep},  // must not exhaust the stack
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input.size());
        GraphqlFieldParser parser(input, variables);
        EXPECT_EQ(run(parser, Op::value), expected);
    }
}

}  // namespace
}  // namespace zarn::query
