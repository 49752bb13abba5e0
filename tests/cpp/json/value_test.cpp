#include "json/value.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/writer.hpp"

namespace zarn::json {
namespace {

std::string keys_and_values(const JsonObject& object) {
    std::string out;
    for (const auto& [key, value] : object) out += key + "=" + to_json_text(value) + " ";
    return out;
}

// from_members has three ways through (already in order, small, large); each
// must sort by bytes and keep the value given last for a repeated key.
TEST(JsonObjectMembers, SortAndKeepTheLastOfRepeatedKeys) {
    struct Case {
        std::vector<JsonObject::Member> members;
        std::string expected;
    };
    std::vector<JsonObject::Member> large;
    std::string large_expected;
    for (int i = 0; i < 30; ++i) large.emplace_back("k" + std::to_string(50 - i), i);
    for (int i = 0; i < 30; ++i) large.emplace_back("k" + std::to_string(21 + i), 100 + i);
    for (int i = 21; i <= 50; ++i) large_expected += "k" + std::to_string(i) + "=" + std::to_string(79 + i) + " ";
    const Case cases[] = {
        {{}, ""},
        {{{"a", 1}, {"b", 2}, {"c", 3}}, "a=1 b=2 c=3 "},
        {{{"a", 1}, {"a", 2}}, "a=2 "},
        {{{"b", 1}, {"a", 2}, {"b", 3}, {"a", 4}, {"b", 5}}, "a=4 b=5 "},
        {{{"é", 1}, {"z", 2}, {"Z", 3}, {"", 4}}, "=4 Z=3 z=2 é=1 "},
        {std::move(large), large_expected},
    };
    for (const Case& c : cases)
        EXPECT_EQ(keys_and_values(JsonObject::from_members(c.members)), c.expected);
}

TEST(JsonObjectMembers, InsertOrAssignKeepsOrderAndReplaces) {
    JsonObject object;
    object.insert_or_assign("m", 1);
    object.insert_or_assign("a", 2);
    object.insert_or_assign("z", 3);
    object.insert_or_assign("m", 4);
    EXPECT_EQ(keys_and_values(object), "a=2 m=4 z=3 ");
    ASSERT_NE(object.find("m"), nullptr);
    EXPECT_EQ(*object.find("m"), JsonValue(4));
    EXPECT_EQ(object.find("q"), nullptr);
}

TEST(JsonValueEquality, TellsKindsAndSignedZeroApart) {
    EXPECT_EQ(JsonValue(-0.0), JsonValue(-0.0));
    EXPECT_NE(JsonValue(-0.0), JsonValue(0.0));
    EXPECT_NE(JsonValue(1.0), JsonValue(1));
    EXPECT_EQ(JsonValue(std::int64_t{3}), JsonValue(std::uint64_t{3}));
    EXPECT_EQ(JsonValue(std::int64_t{3}).kind(), JsonKind::unsigned_integer);
    EXPECT_NE(JsonValue(JsonArray{}), JsonValue(JsonObject{}));
    EXPECT_EQ(JsonValue(JsonObject{{"a", JsonArray{1, "x"}}}),
              JsonValue(JsonObject{{"a", JsonArray{1, "x"}}}));
}

}  // namespace
}  // namespace zarn::json
