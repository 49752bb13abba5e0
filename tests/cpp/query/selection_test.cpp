#include "query/selection.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "json/writer.hpp"

namespace zarn::query {
namespace {

// The fields as "alias/name{arguments} ...", or the message.
std::string parse(std::string_view query, const json::JsonObject& variables) {
    const auto fields = parse_top_level_fields(query, variables);
    if (!fields) return "error: " + fields.error();
    std::string text;
    for (const auto& field : *fields)
        text += std::string(field.alias) + "/" + std::string(field.name) + json::to_json_text(field.arguments) + " ";
    return text;
}

// Argument lists and input objects of any length, names repeated and in any
// order: the members are those of the list sorted, the last of equal names
// winning, whether the list is short enough to be kept in order as it is read
// or long enough to be sorted at the end.
TEST(ParseTopLevelFields, MembersAreSortedAndTheLastOfEqualNamesWins) {
    std::mt19937 random(7);
    const std::vector<std::string> names = {"a", "b", "ab", "ba", "z", "_", "A", "aa", "query", "limit"};
    for (int round = 0; round < 500; ++round) {
        const int count = std::uniform_int_distribution(0, round % 2 == 0 ? 12 : 40)(random);
        std::vector<json::JsonObject::Member> members;
        std::string list;
        for (int i = 0; i < count; ++i) {
            const std::string& name = names[std::uniform_int_distribution<std::size_t>(0, names.size() - 1)(random)];
            members.emplace_back(name, json::JsonValue(i));
            list += name + ": " + std::to_string(i) + " ";
        }
        const std::string expected = json::to_json_text(json::JsonObject::from_members(members));
        EXPECT_EQ(parse("{ f(" + list + ") }", {}), "f/f" + expected + " ") << list;
        EXPECT_EQ(parse("{ f(o: {" + list + "}) }", {}), "f/f{\"o\":" + expected + "} ") << list;
    }
}

// A caller that gives its variables up gets the same fields as one that keeps
// them, however the references fall: repeated, spaced from their `$`, after
// `$` signs in strings and comments, in skipped directives and sub-selections.
TEST(ParseTopLevelFields, TakingVariablesGivesWhatCopyingGives) {
    const json::JsonObject variables{{"a", json::JsonArray{1, "two", json::JsonObject{{"k", 3}}}},
                                     {"b", json::JsonObject{{"deep", json::JsonArray{json::JsonArray{}}}}},
                                     {"c", "text"}};
    const std::vector<std::string> pieces = {
        "f(x: $a)",  "f(x: $b, y: $a)", "g(x: [$a, {k: $c}])", "f(x: $ a)",   "f(x: $\n# c\n b)", "f(s: \"$a $b\")",
        "# $a $c\n", "f @d(x: $a)",     "f { g(x: $b) }",      "h(x: \"$\")", "f(x: $c)",
    };
    std::mt19937 random(11);
    for (int round = 0; round < 400; ++round) {
        std::string query = round % 3 == 0 ? "query Q($a: T, $b: T) { " : "{ ";
        for (int i = std::uniform_int_distribution(1, 6)(random); i > 0; --i)
            query += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)] + " ";
        query += "}";
        const std::string copied = parse(query, variables);
        json::JsonObject given_up = variables;
        const auto taken = parse_top_level_fields(query, std::move(given_up));
        std::string text = taken ? "" : "error: " + taken.error();
        if (taken) {
            for (const auto& field : *taken)
                text += std::string(field.alias) + "/" + std::string(field.name) + json::to_json_text(field.arguments) +
                        " ";
        }
        EXPECT_EQ(text, copied) << query;
    }
}

TEST(ParseTopLevelFields, Queries) {
    const json::JsonObject variables{{"id", json::JsonObject{{"k", json::JsonArray{1}}}}};
    const struct {
        std::string_view query;
        std::string_view expected;
    } cases[] = {
        {"{ a }", "a/a{} "},
        {R"({ x: a(n: 1, s: "t") b })", R"(x/a{"n":1,"s":"t"} b/b{} )"},
        {"{a(x:1)b : c}", R"(a/a{"x":1} b/c{} )"},
        {"{}", ""},
        {"{ a a }", "a/a{} a/a{} "},
        {"{ a() }", "a/a{} "},
        {"{ a(x: 1, x: 2) }", R"(a/a{"x":2} )"},
        {"{ a(b: 2, a: 1) }", R"(a/a{"a":1,"b":2} )"},
        {"{ a(id: $id, l: [$id]) }", R"(a/a{"id":{"k":[1]},"l":[{"k":[1]}]} )"},
        {"mutation { a }", "a/a{} "},
        {"subscription{a}", "a/a{} "},
        {"query Q($v: [Int] = [1]) @live(x: $nope) { a }", "a/a{} "},
        {"query ($v: Int) { a }", "a/a{} "},
        {"{ a { b(x: $nope) { c } } d }", "a/a{} d/d{} "},
        {"{ a { s(x: \"}\") # }\n } b }", "a/a{} b/b{} "},
        {"{ a @include(if: false) b @skip(if: $nope) { c } e }", "a/a{} b/b{} e/e{} "},
        {"{ a } garbage", "a/a{} "},
        {"{ a } { b }", "a/a{} "},
        {"", "error: expected GraphQL name, found end of input"},
        {" # only a comment", "error: expected GraphQL name, found end of input"},
        {"\xEF\xBB\xBF{ a }", "error: expected GraphQL name, found ï"},
        {"Query { a }", "error: unsupported GraphQL operation: Query"},
        {"fragment F on T { a }", "error: unsupported GraphQL operation: fragment"},
        {"queryX { a }", "error: unsupported GraphQL operation: queryX"},
        {"query", "error: expected {, found end of input"},
        {"query 5 { a }", "error: expected {, found 5"},
        {"query Q($nope: ID = 5) @live { a(id: $nope) }", "error: missing GraphQL variable: $nope"},
        {"query ($a: Int { a }", "error: unterminated GraphQL balanced block: ("},
        {"{ ...F }", "error: GraphQL fragments are not supported by zarn-lite yet"},
        {"{ a ... on T { a } }", "error: GraphQL fragments are not supported by zarn-lite yet"},
        {"{ .. }", "error: expected GraphQL name, found ."},
        {"{ a", "error: unterminated GraphQL selection set"},
        {"{ a { b }", "error: unterminated GraphQL selection set"},
        {"{ a(x: 1) @d", "error: unterminated GraphQL selection set"},
        {"{ a { b ", "error: unterminated GraphQL balanced block: {"},
        {"{ a: }", "error: expected GraphQL name, found }"},
        {"{ a(x: 1 }", "error: expected GraphQL name, found }"},
        {"{ a(x 1) }", "error: expected :, found 1"},
        {"{ a(x: ) }", "error: unexpected character in GraphQL argument value: )"},
        {"{ a @ }", "error: expected GraphQL name, found }"},
        {"{ \xC3\xA9 }", "error: expected GraphQL name, found Ã"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(parse(c.query, variables), c.expected);
    }
}

}  // namespace
}  // namespace zarn::query
