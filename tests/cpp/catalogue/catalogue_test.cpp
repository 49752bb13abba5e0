#include <gtest/gtest.h>

#include <deque>
#include <format>
#include <string>
#include <vector>

#include "catalogue/catalogue.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "support/reference.hpp"

namespace zarn::catalogue {
namespace {

// The tools read from a text, held with the catalogue that keeps their texts.
struct ReadTools {
    Catalogue catalogue;
    [[nodiscard]] std::size_t size() const { return catalogue.size(); }
    const ToolMetadata& operator[](std::size_t i) const { return catalogue.tools()[i]; }
    operator const std::vector<ToolMetadata>&() const { return catalogue.tools(); }
};

ReadTools read(std::string_view text) {
    auto catalogue = Catalogue::from_json(text);
    EXPECT_TRUE(catalogue.has_value()) << catalogue.error();
    return {catalogue ? std::move(*catalogue) : Catalogue{}};
}

// server/tool pairs, in catalogue order
std::vector<std::string> names(const std::vector<ToolMetadata>& tools) {
    std::vector<std::string> out;
    for (const auto& tool : tools) out.push_back(std::format("{}/{}", tool.server, tool.tool));
    return out;
}

TEST(CatalogueShapes, ServerListWithToolsAndAnnotations) {
    const auto tools = read(
        R"([{"server":"tracker","tools":[{"name":"create-issue","description":" Open an issue ","annotations":{"readOnlyHint":false}}]}])");
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0],
              (ToolMetadata{"tracker", std::nullopt, "create-issue", "Open an issue", "tracker_create_issue", false}));
}

struct ShapeCase {
    const char* text;
    std::vector<std::string> expected;  // server/tool pairs
};

class CatalogueWalk : public testing::TestWithParam<ShapeCase> {};

TEST_P(CatalogueWalk, FindsExactlyTheseTools) {
    EXPECT_EQ(names(read(GetParam().text)), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CatalogueWalk,
    testing::Values(
        ShapeCase{R"({"server":{"value":"files"},"name":"list files"})", {"files/list files"}},
        ShapeCase{R"([{"serverId":"a","name":"x"},{"name":"y"}])", {"a/x"}},
        ShapeCase{R"({"servers":[{"server":"a","tools":[{"name":"x"}]}]})", {}},
        ShapeCase{R"({"server":"a","serverDescription":"S","tools":[{"name":"x"},{"name":"y","server":"b"}]})",
                  {"a/x", "b/y"}},
        ShapeCase{R"({"server":"a","tools":[]})", {}}, ShapeCase{R"({"server":"a","name":"x","tools":{}})", {"a/x"}},
        ShapeCase{R"({"server":"  ","server_id":"b","name":"x"})", {"b/x"}},
        ShapeCase{R"({"server":5,"name":"x"})", {}},
        ShapeCase{R"({"server":"a","tool":" t ","tool_name":"u"})", {"a/t"}},
        ShapeCase{R"({"server_name":"s","toolName":"t"})", {"s/t"}},
        ShapeCase{R"({"server":"a","name":{"value":"  "},"tool":{"value":"v"}})", {"a/v"}},
        ShapeCase{R"({"server":"a","name":{"other":"x"}})", {}},
        ShapeCase{R"([[[{"server":"deep","name":"x"}]], 1, "s", null, true])", {"deep/x"}},
        ShapeCase{R"({"server":"a","tools":[{"tools":[{"name":"inner"}]},{"name":"outer"}]})", {"a/inner", "a/outer"}},
        ShapeCase{R"({"server":"a","name":"first","name":"second"})", {"a/second"}},
        ShapeCase{R"({"server":"a","meta":{"server":"b","name":"hidden"},"name":"x"})", {"a/x"}}, ShapeCase{"42", {}},
        ShapeCase{"[]", {}}, ShapeCase{R"({"other":1})", {}}));

TEST(CatalogueWalk, InheritsServerDescriptionUnlessOwnGiven) {
    const auto tools = read(
        R"({"server":"a","serverDescription":"S","tools":[{"name":"x"},{"name":"y","server_description":"own"}]})");
    ASSERT_EQ(tools.size(), 2u);
    EXPECT_EQ(tools[0].server_description, "S");
    EXPECT_EQ(tools[1].server_description, "own");
    EXPECT_EQ(read(R"({"server":"a","name":"x"})")[0].server_description, std::nullopt);
}

struct ReadOnlyCase {
    const char* members;
    bool expected;
};

class ReadOnlyFlag : public testing::TestWithParam<ReadOnlyCase> {};

TEST_P(ReadOnlyFlag, FollowsTheKeyOrder) {
    const std::string text = std::string(R"({"server":"s","name":"t")") + GetParam().members + "}";
    const auto tools = read(text);
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0].read_only, GetParam().expected) << text;
}

INSTANTIATE_TEST_SUITE_P(Keys, ReadOnlyFlag,
                         testing::Values(ReadOnlyCase{"", true}, ReadOnlyCase{R"(,"readOnly":false)", false},
                                         ReadOnlyCase{R"(,"readOnly":"false")", true},
                                         ReadOnlyCase{R"(,"readOnly":0,"read_only":false)", false},
                                         ReadOnlyCase{R"(,"read_only":true,"readOnlyHint":false)", true},
                                         ReadOnlyCase{R"(,"readOnlyHint":false,"annotations":{"readOnlyHint":true})",
                                                      false},
                                         ReadOnlyCase{R"(,"annotations":{"readOnlyHint":false})", false},
                                         ReadOnlyCase{R"(,"annotations":{"readOnlyHint":"no"})", true},
                                         ReadOnlyCase{R"(,"annotations":[false])", true}));

struct SanitizeCase {
    const char* input;
    const char* expected;
};

class Sanitize : public testing::TestWithParam<SanitizeCase> {};

TEST_P(Sanitize, MakesAGraphqlName) { EXPECT_EQ(sanitize_graphql_name(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Names, Sanitize,
                         testing::Values(SanitizeCase{"", "_"}, SanitizeCase{"abc_XYZ09", "abc_XYZ09"},
                                         SanitizeCase{"3d-tools", "_3d_tools"}, SanitizeCase{"a b--c", "a_b__c"},
                                         SanitizeCase{"\xC3\xA9", "_"}, SanitizeCase{"caf\xC3\xA9!", "caf__"},
                                         SanitizeCase{"\xF0\x9F\x98\x80x", "_x"},
                                         SanitizeCase{"__typename", "__typename"}, SanitizeCase{"9", "_9"}));

TEST(CatalogueFields, FieldNameJoinsSanitizedParts) {
    const auto tools = read(R"({"server_id":" 3d-tools ","tools":[{"tool":"2d-view"}]})");
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0].server, "3d-tools");
    EXPECT_EQ(tools[0].tool, "2d-view");
    EXPECT_EQ(tools[0].field, "_3d_tools__2d_view");
}

TEST(CatalogueFields, UnicodeWhiteSpaceIsTrimmedAtTheEndsOnly) {
    // no-break space, ideographic space and a line separator around "a b"
    const auto tools = read(
        "{\"server\":\"\xC2\xA0"
        "a b\xE3\x80\x80\",\"name\":\"\xE2\x80\xA8t\\t\"}");
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0].server, "a b");
    EXPECT_EQ(tools[0].tool, "t");
}

TEST(CatalogueFields, DuplicateFieldsStayAndTheFirstIsFound) {
    auto catalogue = Catalogue::from_json(
        "{\"server\":\"srv\",\"tools\":[{\"name\":\"\xC3\xA9\"},{\"name\":\"\xC3\xBC\"},{\"name\":\"x\"}]}");
    ASSERT_TRUE(catalogue);
    ASSERT_EQ(catalogue->size(), 3u);
    EXPECT_EQ(catalogue->tools()[0].field, "srv__");
    EXPECT_EQ(catalogue->tools()[1].field, "srv__");
    EXPECT_EQ(catalogue->find_field("srv__"), &catalogue->tools()[0]);
    EXPECT_EQ(catalogue->find_field("srv_x"), &catalogue->tools()[2]);
    EXPECT_EQ(catalogue->find_field("srv_"), nullptr);
    EXPECT_EQ(catalogue->find_field("srv_y"), nullptr);
}

// Many fields, each given twice at different places: every lookup finds the
// first of its pair, and names that are not fields (prefixes, extensions)
// find nothing; a default or moved-from catalogue finds nothing at all.
TEST(CatalogueFields, EveryFieldOfALargeCatalogueFindsItsFirstTool) {
    std::vector<ToolMetadata> tools;
    std::deque<std::string> texts;  // what the records view, until the catalogue has copied it
    constexpr std::size_t kDistinct = 3000;
    for (std::size_t round = 0; round < 2; ++round) {
        for (std::size_t i = 0; i < kDistinct; ++i) {
            const std::string& name = texts.emplace_back("tool" + std::to_string(i));
            tools.push_back({"s", std::nullopt, name, texts.emplace_back(std::to_string(round)),
                             texts.emplace_back("s_" + name), true});
        }
    }
    Catalogue catalogue(std::move(tools));
    texts.assign(texts.size(), std::string(64, '?'));  // the catalogue holds copies of its own
    for (std::size_t i = 0; i < kDistinct; ++i) {
        const std::string field = "s_tool" + std::to_string(i);
        const ToolMetadata* found = catalogue.find_field(field);
        ASSERT_NE(found, nullptr) << field;
        EXPECT_EQ(found, &catalogue.tools()[i]) << field;
        EXPECT_EQ(catalogue.find_field(field + "x"), nullptr);
        EXPECT_EQ(catalogue.find_field(field.substr(0, field.size() - 1) + "_"), nullptr);
    }
    EXPECT_EQ(catalogue.find_field(""), nullptr);
    EXPECT_EQ(Catalogue{}.find_field("s_tool1"), nullptr);
    const Catalogue moved = std::move(catalogue);
    EXPECT_NE(moved.find_field("s_tool1"), nullptr);
}

// The catalogue is read building only what the walk looks at; walking the
// whole tree must find the same tools, field for field.
TEST(CatalogueText, PrunedReadFindsWhatAWalkOfTheWholeTreeFinds) {
    const std::vector<std::string_view> texts = {
        R"([{"server":"a","tools":[{"name":"x","inputSchema":{"tools":[{"name":"no"}]},"annotations":{"title":"t","readOnlyHint":false,"x":{"y":[1]}}}]}])",
        R"({"server_id":{"value":" s ","other":[1]},"serverDescription":{"value":"d"},"tools":[{"toolName":{"value":"t"},"description":{"value":" about ","junk":{}},"read_only":false}]})",
        R"([[{"server":"a","name":"flat","readOnly":true,"readOnlyHint":false}],{"servers":[{"server":"hidden","name":"no"}]}])",
        R"({"server":"a","tools":{"name":"not an array"},"name":"self"})",
        R"({"server":"a","tools":[{"name":"x","tools":"not an array","readOnly":{"nested":true}}],"server":"b"})",
        R"({"server":["a"],"tools":[{"server":"s","name":["x"],"tool":"y","description":["no"]}]})",
        R"([{"server":"a","tools":[{"name":"x","annotations":[{"readOnlyHint":false}]}]},{"tools":[{"name":"orphan"}]}])",
    };
    for (const std::string_view text : texts) {
        const auto whole = json::read_json(text);
        ASSERT_TRUE(whole.has_value()) << text;
        std::vector<ToolMetadata> walked;
        TextStore texts;
        collect_tool_metadata(*whole, std::nullopt, std::nullopt, texts, walked);
        EXPECT_EQ(read(text).catalogue.tools(), walked) << text;
        EXPECT_FALSE(walked.empty()) << text;
    }
}

// A fault inside a member the walk never reads is still a fault.
TEST(CatalogueText, FaultsInUnreadMembersAreReported) {
    const auto catalogue = Catalogue::from_json(R"([{"server":"a","inputSchema":{"type":"obj\ect"},"name":"x"}])");
    ASSERT_FALSE(catalogue.has_value());
    EXPECT_EQ(catalogue.error(), "invalid catalogue JSON: invalid escape at line 1 column 43");
}

TEST(CatalogueText, BlankOrAbsentTextGivesAnEmptyCatalogue) {
    for (std::optional<std::string_view> text :
         {std::optional<std::string_view>{}, std::optional<std::string_view>{""},
          std::optional<std::string_view>{" \n\t\r "}, std::optional<std::string_view>{"\xC2\xA0\xE3\x80\x80"}}) {
        auto catalogue = Catalogue::from_json(text);
        ASSERT_TRUE(catalogue);
        EXPECT_EQ(catalogue->size(), 0u);
    }
}

TEST(CatalogueText, NonJsonIsTheOneError) {
    auto catalogue = Catalogue::from_json("[1, 2");
    ASSERT_FALSE(catalogue);
    EXPECT_EQ(catalogue.error(), "invalid catalogue JSON: EOF while parsing a list at line 1 column 5");
    // the position is counted in the untrimmed text
    catalogue = Catalogue::from_json("\n\n  {\"a\" 1}");
    ASSERT_FALSE(catalogue);
    EXPECT_EQ(catalogue.error(), "invalid catalogue JSON: expected `:` at line 3 column 8");
}

TEST(CatalogueText, DeepNestingIsAnErrorNotACrash) {
    const std::string text(1'000'000, '[');
    auto catalogue = Catalogue::from_json(text);
    ASSERT_FALSE(catalogue);
    EXPECT_EQ(catalogue.error().rfind("invalid catalogue JSON: recursion limit exceeded", 0), 0u);
}

TEST(Summaries, GroupByServerInByteOrder) {
    auto catalogue = Catalogue::from_json(R"([
        {"server":"beta","name":"x","readOnly":false},
        {"server":"alpha","name":"y"},
        {"server":"Alpha","name":"z","serverDescription":"Upper"},
        {"server":"alpha","name":"w","serverDescription":"Second"},
        {"server":"alpha","name":"v","serverDescription":"Third","readOnly":false}])");
    ASSERT_TRUE(catalogue);
    EXPECT_EQ(json::to_json_text(json::JsonValue(reference::server_summaries(*catalogue))),
              R"([{"description":"Upper","name":"Alpha","readOnlyCount":1,"toolCount":1},)"
              R"({"description":"Second","name":"alpha","readOnlyCount":2,"toolCount":3},)"
              R"({"description":"","name":"beta","readOnlyCount":0,"toolCount":1}])");
}

TEST(Summaries, SearchHitsListEveryToolInOrder) {
    auto catalogue = Catalogue::from_json(
        R"([{"server":"a","name":"x","description":"d"},{"server":"b","name":"y","readOnly":false},{"server":"a","name":"x"}])");
    ASSERT_TRUE(catalogue);
    EXPECT_EQ(json::to_json_text(json::JsonValue(reference::search_hits(*catalogue))),
              R"([{"description":"d","field":"a_x","readOnly":true,"server":"a","tool":"x"},)"
              R"({"description":"","field":"b_y","readOnly":false,"server":"b","tool":"y"},)"
              R"({"description":"","field":"a_x","readOnly":true,"server":"a","tool":"x"}])");
    EXPECT_TRUE(reference::search_hits(Catalogue{}).empty());
    EXPECT_TRUE(reference::server_summaries(Catalogue{}).empty());
}

// The cached texts are written from the records, not from the lists: they
// must be the lists' own text, names and descriptions that need escaping too.
TEST(Summaries, CachedTextIsTheWrittenListsAndSurvivesAMove) {
    for (const std::string_view text : {
             std::string_view(R"([{"server":"b","name":"x"},{"server":"a","name":"y","readOnly":false}])"),
             std::string_view(R"([{"server":"q\"t\\","serverDescription":"tab\there \u00e9\u2028","tools":[
                 {"name":"n\u0001","description":"line\nbreak \"quoted\" \ud83d\ude00","readOnly":false},
                 {"name":"plain","description":"/slash/"}]},
                 {"server":"\u00e9t\u00e9","tools":[{"name":"z","annotations":{"readOnlyHint":false}}]},
                 {"server":"a","serverDescription":"first","name":"one"},
                 {"server":"a","serverDescription":"second","name":"two","readOnly":true}])"),
         }) {
        auto catalogue = Catalogue::from_json(text);
        ASSERT_TRUE(catalogue) << catalogue.error();
        const std::string servers = json::to_json_text(json::JsonValue(reference::server_summaries(*catalogue)));
        const std::string search = json::to_json_text(json::JsonValue(reference::search_hits(*catalogue)));
        EXPECT_EQ(catalogue->server_summaries_text(), servers) << text;
        const Catalogue moved = std::move(*catalogue);
        EXPECT_EQ(moved.server_summaries_text(), servers) << text;
        EXPECT_EQ(moved.search_hits_text(), search) << text;
    }
    EXPECT_EQ(Catalogue{}.search_hits_text(), "[]");
    EXPECT_EQ(Catalogue{}.server_summaries_text(), "[]");
}

TEST(Placeholder, NamesServerAndToolVerbatim) {
    const ToolMetadata tool{"alpha", std::nullopt, "look \"up\"", "", "alpha_look__up_", true};
    EXPECT_EQ(
        json::to_json_text(reference::placeholder_result(tool)),
        R"({"isError":true,"json":null,"text":"SchemaEngine stub resolved alpha.look \"up\" but CallBridge is not wired yet"})");
}

// The text written straight from the record is the value's own text, for
// names that need escaping too; its size is known ahead when they need none.
TEST(Placeholder, WrittenTextIsTheValueWritten) {
    const std::string quotes(200, '"');
    const std::string long_server(40, 's');
    for (const ToolMetadata& tool : {ToolMetadata{"alpha", std::nullopt, "look \"up\"", "", "f", true},
                                     ToolMetadata{"s\\\x01\n", "d", "caf\xC3\xA9\t", "", "f", false},
                                     ToolMetadata{quotes, std::nullopt, "", "", "f", true},
                                     ToolMetadata{"docs", std::nullopt, "search", "", "docs_search", true},
                                     ToolMetadata{long_server, std::nullopt, "caf\xC3\xA9", "", "f", true},
                                     ToolMetadata{"", std::nullopt, "", "", "_", true}}) {
        std::string out = "[";
        tool.write_placeholder_result(out);
        EXPECT_EQ(out, "[" + json::to_json_text(reference::placeholder_result(tool))) << tool.server;
        if (!json::needs_escape(tool.server) && !json::needs_escape(tool.tool)) {
            EXPECT_EQ(out.size(), 1 + tool.placeholder_result_size()) << tool.server;
        }
        EXPECT_LE(tool.placeholder_result_size() + 1, out.size()) << tool.server;
    }
}

// A catalogue marks the records whose names need no escaping, and writes
// the placeholder of every record as its value, marked or not.
TEST(Placeholder, CatalogueRecordsWriteTheirValue) {
    const Catalogue catalogue(std::vector<ToolMetadata>{
        {"docs", std::nullopt, "search", "", "docs_search", true},
        {"docs", std::nullopt, "look \"up\"", "", "docs_look__up_", true},
        {"s\\x", std::nullopt, "t", "", "s_x_t", true},
        {"tab\tserver", std::nullopt, "t", "", "tab_server_t", true},
        {"caf\xC3\xA9", std::nullopt, "\xE2\x80\xA8", "", "caf__", true},
    });
    const std::vector<bool> plain = {true, false, false, false, true};
    ASSERT_EQ(catalogue.tools().size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        const ToolMetadata& tool = catalogue.tools()[i];
        EXPECT_EQ(tool.plain_names, plain[i]) << tool.field;
        std::string out;
        tool.write_placeholder_result(out);
        EXPECT_EQ(out, json::to_json_text(reference::placeholder_result(tool))) << tool.field;
    }
}

}  // namespace
}  // namespace zarn::catalogue
