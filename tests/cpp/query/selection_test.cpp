#include "query/selection.hpp"

#include <gtest/gtest.h>

#include <string>

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
