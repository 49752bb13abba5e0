#include "query/selection.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "query/test_support.hpp"

namespace zarn::query {
namespace {

using testing::json_object;

// Fields written as "alias/name{arguments as JSON}", one after the other.
std::string describe(const std::vector<SelectedField>& fields) {
    std::string text;
    for (const auto& field : fields)
        text += field.alias + "/" + field.name + json::to_json_text(field.arguments) + " ";
    return text;
}

std::string parse(std::string_view query, std::string_view variables_json = "{}") {
    const auto fields = parse_top_level_fields(query, json_object(variables_json));
    return fields ? describe(*fields) : "error: " + fields.error();
}

TEST(ParseTopLevelFields, Selections) {
    const struct {
        std::string_view query;
        std::string_view fields;
    } cases[] = {
        {"{ a }", "a/a{} "},
        {R"({ x: a(n: 1, s: "t") b })", R"(x/a{"n":1,"s":"t"} b/b{} )"},
        {"{a(x:1)b:c}", R"(a/a{"x":1} b/c{} )"},
        {"{ a : b }", "a/b{} "},
        {"{}", ""},
        {"{ a a }", "a/a{} a/a{} "},
        {"{ a() }", "a/a{} "},
        {"{ a(x: 1, x: 2) }", R"(a/a{"x":2} )"},
        {"{ a(b: 2, a: 1) }", R"(a/a{"a":1,"b":2} )"},
        {"query { a }", "a/a{} "},
        {"mutation { a }", "a/a{} "},
        {"subscription{a}", "a/a{} "},
        {"query Q($v: [Int] = [1]) @live(x: $nope) { a }", "a/a{} "},
        {"query ($v: Int) { a }", "a/a{} "},
        {"query @d { a }", "a/a{} "},
        {"{ a { b(x: $nope) { c } } d }", "a/a{} d/d{} "},
        {"{ a { s(x: \"}\") # }\n } b }", "a/a{} b/b{} "},
        {"{ a @include(if: false) b @skip(if: $nope) { c } e }", "a/a{} b/b{} e/e{} "},
        {"{ a } garbage", "a/a{} "},
        {"{ a } { b }", "a/a{} "},
        {"# c\n{ a }", "a/a{} "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(parse(c.query), c.fields);
    }
}

TEST(ParseTopLevelFields, VariablesAreCopiedIn) {
    EXPECT_EQ(parse("query Q($id: ID) { a(id: $id, l: [$id]) }", R"({"id": {"k": [1]}})"),
              R"(a/a{"id":{"k":[1]},"l":[{"k":[1]}]} )");
    EXPECT_EQ(parse("query Q($id: ID = 5) @live { a(id: $id) }"), "error: missing GraphQL variable: $id");
}

TEST(ParseTopLevelFields, Failures) {
    const struct {
        std::string_view query;
        std::string_view message;
    } cases[] = {
        {"", "expected GraphQL name, found end of input"},
        {" # only a comment", "expected GraphQL name, found end of input"},
        {"\xEF\xBB\xBF{ a }", "expected GraphQL name, found ï"},
        {"} a", "expected GraphQL name, found }"},
        {"Query { a }", "unsupported GraphQL operation: Query"},
        {"fragment F on T { a }", "unsupported GraphQL operation: fragment"},
        {"queryX { a }", "unsupported GraphQL operation: queryX"},
        {"query", "expected {, found end of input"},
        {"query Q", "expected {, found end of input"},
        {"query 5 { a }", "expected {, found 5"},
        {"query ($a: Int { a }", "unterminated GraphQL balanced block: ("},
        {"query @d(x: { a }", "unterminated GraphQL balanced block: ("},
        {"{ ...F }", "GraphQL fragments are not supported by zarn-lite yet"},
        {"{ a ... on T { a } }", "GraphQL fragments are not supported by zarn-lite yet"},
        {"{ .. }", "expected GraphQL name, found ."},
        {"{", "unterminated GraphQL selection set"},
        {"{ a", "unterminated GraphQL selection set"},
        {"{ a { b }", "unterminated GraphQL selection set"},
        {"{ a(x: 1) @d", "unterminated GraphQL selection set"},
        {"{ a { b ", "unterminated GraphQL balanced block: {"},
        {"{ a: }", "expected GraphQL name, found }"},
        {"{ a(x: 1 }", "expected GraphQL name, found }"},
        {"{ a(x 1) }", "expected :, found 1"},
        {"{ a(x: ) }", "unexpected character in GraphQL argument value: )"},
        {"{ a(x: \"s) }", "unterminated GraphQL string literal"},
        {"{ a @ }", "expected GraphQL name, found }"},
        {"{ a(x: $nope) }", "missing GraphQL variable: $nope"},
        {"{ \xC3\xA9 }", "expected GraphQL name, found Ã"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(parse(c.query), "error: " + std::string(c.message));
    }
}

}  // namespace
}  // namespace zarn::query
