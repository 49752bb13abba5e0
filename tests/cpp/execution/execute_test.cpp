#include <gtest/gtest.h>

#include <string>

#include "execution/engine_state.hpp"
#include "execution/response.hpp"

namespace zarn::execution {
namespace {

constexpr std::string_view kCatalogue = R"([
  {"server":"alpha","serverDescription":"First","tools":[
    {"name":"lookup","description":"Look up"},
    {"name":"store","annotations":{"readOnlyHint":false}}]},
  {"server":"beta","tools":[{"name":"echo"}]},
  {"server":"_","name":"typename"}
])";

EngineState make_engine(std::string_view catalogue = kCatalogue) {
    auto engine = from_catalogue_json(catalogue);
    EXPECT_TRUE(engine) << engine.error();
    return std::move(*engine);
}

std::string error_doc(std::string_view message) {
    return R"({"data":null,"errors":[{"message":")" + std::string(message) + R"("}]})";
}

std::string placeholder(std::string_view server, std::string_view tool) {
    return R"({"isError":true,"json":null,"text":"SchemaEngine stub resolved )" +
           std::string(server) + "." + std::string(tool) + R"( but CallBridge is not wired yet"})";
}

TEST(Response, Documents) {
    EXPECT_EQ(graphql_error("GraphQL query must not be blank"),
              R"({"data":null,"errors":[{"message":"GraphQL query must not be blank"}]})");
    EXPECT_EQ(graphql_error("q\"b\\n\n\x07 \xC3\xA9"),
              R"({"data":null,"errors":[{"message":"q\"b\\n\n\u0007 )" "\xC3\xA9" R"("}]})");
    EXPECT_EQ(graphql_success(json::JsonObject{}), R"({"data":{},"errors":[]})");
    EXPECT_EQ(graphql_success(json::JsonObject{{"b", 1}, {"a", 2.0}}),
              R"({"data":{"a":2.0,"b":1},"errors":[]})");
}

struct QueryCase {
    const char* query;
    const char* variables;  // nullptr: none given
    std::string expected;
};

class Execute : public testing::TestWithParam<QueryCase> {};

TEST_P(Execute, AnswersWithTheDocument) {
    static const EngineState engine = make_engine();
    const QueryCase& c = GetParam();
    EXPECT_EQ(execute_json(engine, c.query,
                           c.variables ? std::optional<std::string_view>(c.variables) : std::nullopt),
              c.expected)
        << c.query;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, Execute,
    testing::Values(
        QueryCase{"", nullptr, error_doc("GraphQL query must not be blank")},
        QueryCase{" \n\xC2\xA0\t", "{", error_doc("GraphQL query must not be blank")},
        QueryCase{"{ a }", "[]", error_doc("variables_json must decode to a JSON object")},
        QueryCase{"{ a", "{", error_doc("invalid variables JSON: EOF while parsing an object at line 1 column 1")},
        QueryCase{"# only a comment", nullptr, error_doc("expected GraphQL name, found end of input")},
        QueryCase{"{}", nullptr, error_doc("GraphQL query must select at least one top-level field")},
        QueryCase{"{ alpha_lookup nope }", nullptr, error_doc("unknown GraphQL field: nope")},
        QueryCase{"{ x: nope }", nullptr, error_doc("unknown GraphQL field: nope")},
        QueryCase{"{ __schema { types { name } } }", nullptr, error_doc("unknown GraphQL field: __schema")},
        QueryCase{"{ alpha_lookup(id: $id) }", "{}", error_doc("missing GraphQL variable: $id")},
        QueryCase{"Query { a }", nullptr, error_doc("unsupported GraphQL operation: Query")}));

INSTANTIATE_TEST_SUITE_P(
    BuiltIns, Execute,
    testing::Values(
        QueryCase{"{ __typename }", nullptr, R"({"data":{"__typename":"Query"},"errors":[]})"},
        QueryCase{"{ kind: __typename }", nullptr, R"({"data":{"kind":"Query"},"errors":[]})"},
        QueryCase{"{ b: __typename a: __typename }", nullptr,
                  R"({"data":{"a":"Query","b":"Query"},"errors":[]})"},
        QueryCase{"{ servers { name } }", nullptr,
                  R"({"data":{"servers":[{"description":"","name":"_","readOnlyCount":1,"toolCount":1},)"
                  R"({"description":"First","name":"alpha","readOnlyCount":1,"toolCount":2},)"
                  R"({"description":"","name":"beta","readOnlyCount":1,"toolCount":1}]},"errors":[]})"},
        QueryCase{"query { s: search(anything: 1) }", nullptr,
                  R"({"data":{"s":[{"description":"Look up","field":"alpha_lookup","readOnly":true,"server":"alpha","tool":"lookup"},)"
                  R"({"description":"","field":"alpha_store","readOnly":false,"server":"alpha","tool":"store"},)"
                  R"({"description":"","field":"beta_echo","readOnly":true,"server":"beta","tool":"echo"},)"
                  R"({"description":"","field":"__typename","readOnly":true,"server":"_","tool":"typename"}]},"errors":[]})"}));

INSTANTIATE_TEST_SUITE_P(
    Placeholders, Execute,
    testing::Values(
        QueryCase{"{ alpha_lookup }", nullptr,
                  R"({"data":{"alpha_lookup":)" + placeholder("alpha", "lookup") + R"(},"errors":[]})"},
        QueryCase{"mutation { y: beta_echo(x: 1) x: alpha_store }", nullptr,
                  R"({"data":{"x":)" + placeholder("alpha", "store") + R"(,"y":)" +
                      placeholder("beta", "echo") + R"(},"errors":[]})"},
        // a tool field replaces a built-in under the same key, wherever it stands
        QueryCase{"{ k: beta_echo k: __typename }", nullptr,
                  R"({"data":{"k":)" + placeholder("beta", "echo") + R"(},"errors":[]})"},
        // the catalogue's own field "__typename" (server "_", tool "typename")
        // cannot be reached: the built-in answers
        QueryCase{"{ __typename }", nullptr, R"({"data":{"__typename":"Query"},"errors":[]})"}));

TEST(ExecuteEmptyEngine, SearchAndServersAreEmptyArrays) {
    const EngineState engine = make_engine("");
    EXPECT_EQ(execute_json(engine, "{ search servers }", std::nullopt),
              R"({"data":{"search":[],"servers":[]},"errors":[]})");
}

TEST(ExecuteDetached, NothingIsQueued) {
    const EngineState engine = make_engine();
    (void)execute_json(engine, "{ alpha_lookup beta_echo }", std::nullopt);
    EXPECT_FALSE(engine.bridge->receive_json(*engine.runtime, 0).value().has_value());
}

}  // namespace
}  // namespace zarn::execution
