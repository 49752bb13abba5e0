#include "query/variables.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "json/writer.hpp"

namespace zarn::query {
namespace {

TEST(ParseVariables, Documents) {
    const struct {
        std::optional<std::string_view> text;
        std::string_view expected;  // the object as JSON text, or the message
    } cases[] = {
        {std::nullopt, "{}"},
        {"", "{}"},
        {" \t\r\n", "{}"},
        {"\u00A0", "{}"},
        {"\u2003\u3000\u2029", "{}"},
        {R"({"b": 2, "a": [1]})", R"({"a":[1],"b":2})"},
        {" \n{\"x y\": null}\t", R"({"x y":null})"},
        {"null", "variables_json must decode to a JSON object"},
        {"[]", "variables_json must decode to a JSON object"},
        {R"("x")", "variables_json must decode to a JSON object"},
        {"3", "variables_json must decode to a JSON object"},
        // A no-break space is blank on its own but is not JSON white space.
        {"\u00A0{}", "invalid variables JSON: expected value at line 1 column 1"},
        {R"({"a": 1} x)", "invalid variables JSON: trailing characters at line 1 column 10"},
        {R"({"a": 1)", "invalid variables JSON: EOF while parsing an object at line 1 column 7"},
        // Untrimmed: the position counts from the start of the text passed.
        {" \n {\"a\" 1}", "invalid variables JSON: expected `:` at line 2 column 7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.value_or("(absent)"));
        const auto variables = parse_variables(c.text);
        EXPECT_EQ(variables ? json::to_json_text(json::JsonValue(*variables)) : variables.error(), c.expected);
    }
}

}  // namespace
}  // namespace zarn::query
