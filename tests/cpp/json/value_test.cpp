#include "json/value.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "json/writer.hpp"

namespace zarn::json {
namespace {

std::string keys_and_values(const JsonObject& object) {
    std::string out;
    for (const auto& [key, value] : object) out += key.str() + "=" + to_json_text(value) + " ";
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
    for (const Case& c : cases) {
        std::vector<JsonObject::Member> members = c.members;
        EXPECT_EQ(keys_and_values(JsonObject::from_members(members)), c.expected);
    }
}

// Members of any count, keys repeated in any order, among them keys that
// share their first eight bytes, keys that differ only past them, and keys
// with zero and high bytes: the object is the map of their keys, last wins.
TEST(JsonObjectMembers, AnyMembersMakeTheMapOfTheirKeys) {
    using namespace std::string_literals;
    const std::vector<std::string> keys = {"",
                                           "a",
                                           "a\0"s,
                                           "a\0b"s,
                                           "abcdefg",
                                           "abcdefgh",
                                           "abcdefgh\0"s,
                                           "abcdefgh1",
                                           "abcdefgi",
                                           "abcdefghijklmnopq",
                                           "abcdefghijklmnopr",
                                           "\xFF",
                                           "\xC3\xA9",
                                           "b",
                                           "query"};
    std::mt19937 random(11);
    for (int round = 0; round < 2000; ++round) {
        const int count = std::uniform_int_distribution(0, round % 2 == 0 ? 16 : 40)(random);
        std::vector<JsonObject::Member> members;
        std::map<std::string, int> expected;
        for (int i = 0; i < count; ++i) {
            const std::string& key = keys[std::uniform_int_distribution<std::size_t>(0, keys.size() - 1)(random)];
            members.emplace_back(key, i);
            expected[key] = i;
        }
        const JsonObject object = JsonObject::from_members(members);
        ASSERT_EQ(object.size(), expected.size());
        auto want = expected.begin();
        for (const auto& [key, value] : object) {
            EXPECT_EQ(key.view(), want->first);
            EXPECT_EQ(value, JsonValue(want->second));
            ++want;
        }
    }
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
    EXPECT_EQ(JsonValue(JsonObject{{"a", JsonArray{1, "x"}}}), JsonValue(JsonObject{{"a", JsonArray{1, "x"}}}));
}

// ---------------------------------------------------------------------------
// Strings: inline up to fifteen bytes, on the heap beyond.

// A text of `n` bytes in which every byte differs from its neighbours, NULs
// included, so that a byte out of place shows.
std::string text_of_size(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text.push_back(static_cast<char>((i * 37) % 256));
    return text;
}

TEST(JsonStrings, HoldTheirTextOnEitherSideOfTheInlineLimit) {
    for (std::size_t n = 0; n <= 40; ++n) {
        const std::string text = text_of_size(n);
        JsonString s(text);
        EXPECT_EQ(s.view(), text) << n;
        EXPECT_EQ(s.size(), n);
        EXPECT_EQ(s.is_inline(), n <= JsonString::kInlineCapacity) << n;

        JsonString copy(s);
        EXPECT_EQ(copy.view(), text);
        JsonString moved(std::move(s));
        EXPECT_EQ(moved.view(), text);
        EXPECT_TRUE(s.empty());  // NOLINT: a moved-from string is empty

        // Assignment over texts of the other kind frees the old one.
        JsonString target(text_of_size(40 - n));
        target = copy;
        EXPECT_EQ(target.view(), text);
        target = JsonString(text_of_size(n + 20));
        EXPECT_EQ(target.view(), text_of_size(n + 20));
        target = std::as_const(target);
        EXPECT_EQ(target.view(), text_of_size(n + 20));

        EXPECT_EQ(JsonValue(text).as_string(), text);
        EXPECT_EQ(JsonValue(text).kind(), JsonKind::string);
    }
}

TEST(JsonStrings, CompareByBytes) {
    const std::vector<std::string> texts = {
        "", "a", "ab", "b", std::string(15, 'z'), std::string(16, 'z'), std::string(1, '\0'), "\xC3\xA9", "\xFF"};
    for (const std::string& a : texts) {
        for (const std::string& b : texts) {
            EXPECT_EQ(JsonString(a) == JsonString(b), a == b);
            EXPECT_EQ(JsonString(a) <=> JsonString(b), std::string_view(a) <=> std::string_view(b)) << a << " " << b;
            EXPECT_EQ(JsonString(a) <=> std::string_view(b), std::string_view(a) <=> std::string_view(b));
        }
    }
}

// ---------------------------------------------------------------------------
// Values move by their bytes and copy deeply.

std::vector<JsonValue> one_of_each_kind() {
    return {JsonValue(),
            JsonValue(true),
            JsonValue(std::uint64_t{18446744073709551615ULL}),
            JsonValue(std::int64_t{-5}),
            JsonValue(-0.0),
            JsonValue("short"),
            JsonValue(std::string(64, 'x')),
            JsonValue(JsonArray{1, "two", JsonArray{std::string(20, 'y')}}),
            JsonValue(JsonObject{{"k", JsonObject{{std::string(30, 'k'), 1}}}, {"a", JsonArray{}}})};
}

TEST(JsonValues, CopyMoveAndAssignOverEveryKind) {
    const std::vector<JsonValue> values = one_of_each_kind();
    for (const JsonValue& from : values) {
        for (const JsonValue& over : values) {
            JsonValue target = over;
            target = from;
            EXPECT_EQ(target, from);
            JsonValue source = from;
            target = over;
            target = std::move(source);
            EXPECT_EQ(target, from);
            EXPECT_TRUE(source.is_null());  // NOLINT: a moved-from value is null
            JsonValue moved(std::move(target));
            EXPECT_EQ(moved, from);
            moved = std::as_const(moved);
            EXPECT_EQ(moved, from);
        }
    }
}

TEST(JsonValues, CopiesAreIndependent) {
    JsonValue original(JsonObject{{"list", JsonArray{1, 2}}, {"text", std::string(40, 't')}});
    JsonValue copy = original;
    copy.as_object().find("list")->as_array().push_back(3);
    copy.as_object().insert_or_assign("new", true);
    EXPECT_EQ(original.as_object().find("list")->as_array().size(), 2U);
    EXPECT_FALSE(original.as_object().contains("new"));
    EXPECT_NE(copy, original);
}

// ---------------------------------------------------------------------------
// Arrays and objects grow by moving their elements' bytes.

TEST(JsonArrays, GrowKeepingEveryElement) {
    JsonArray array;
    std::vector<JsonValue> expected;
    for (int i = 0; i < 100; ++i) {
        JsonValue value = i % 3 == 0   ? JsonValue(std::string(static_cast<std::size_t>(i), 'q'))
                          : i % 3 == 1 ? JsonValue(JsonArray{i})
                                       : JsonValue(i);
        expected.push_back(value);
        array.push_back(std::move(value));
    }
    ASSERT_EQ(array.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(array[i], expected[i]) << i;
    array.pop_back();
    EXPECT_EQ(array.size(), 99U);
    EXPECT_EQ(array.back(), expected[98]);
    array.clear();
    EXPECT_TRUE(array.empty());
}

// A capacity whose bytes cannot be counted is refused, not wrapped round.
TEST(JsonArrays, RefuseACapacityBeyondMemory) {
    JsonArray array{1};
    EXPECT_THROW(array.reserve(static_cast<std::size_t>(-1) / 8), std::bad_alloc);
    JsonObject object;
    EXPECT_THROW(object.reserve(static_cast<std::size_t>(-1) / 16), std::bad_alloc);
    EXPECT_EQ(array, JsonArray{1});
}

// An element of the array itself, given while the array is full, is read
// before the storage moves.
TEST(JsonArrays, AppendAnElementOfTheirOwnWhileFull) {
    for (std::size_t size = 1; size <= 9; ++size) {
        JsonArray array;
        for (std::size_t i = 0; i < size; ++i) array.push_back(std::string(20, static_cast<char>('a' + i)));
        while (array.size() < array.capacity()) array.push_back(1);
        const JsonValue first = array.front();
        array.push_back(array.front());
        EXPECT_EQ(array.back(), first) << size;
        const JsonValue last = array.back();
        array.emplace_back(array.back());
        EXPECT_EQ(array.back(), last);
    }
}

TEST(JsonArrays, BuiltFromARangeByMoving) {
    std::vector<JsonValue> source = {JsonValue(std::string(30, 's')), JsonValue(JsonObject{{"a", 1}}), JsonValue(2)};
    const std::vector<JsonValue> expected = source;
    const JsonArray array(std::make_move_iterator(source.begin()), std::make_move_iterator(source.end()));
    EXPECT_TRUE(std::ranges::equal(array, expected));
    for (const JsonValue& moved : source) EXPECT_TRUE(moved.is_null());
}

// Inserting at the front, the middle and the end, across growth, and finding
// by scan (up to eight members) and by binary search (more).
TEST(JsonObjectMembers, InsertAnywhereAndFindByScanOrSearch) {
    JsonObject object;
    std::vector<std::string> keys;
    for (int i = 0; i < 40; ++i) {
        // 20, 19, 21, 18, 22, ...: each lands at one end or in the middle.
        const int k = i % 2 == 0 ? 20 + i / 2 : 20 - (i + 1) / 2;
        std::string key = "key" + std::to_string(k) + std::string(static_cast<std::size_t>(k % 3) * 10, '_');
        keys.push_back(key);
        object.insert_or_assign(key, k);
        for (const std::string& present : keys) ASSERT_NE(object.find(present), nullptr) << present;
        EXPECT_EQ(object.find("absent"), nullptr);
        EXPECT_TRUE(std::ranges::is_sorted(object, {}, &JsonMember::key));
    }
    EXPECT_EQ(object.size(), keys.size());
}

TEST(JsonObjectMembers, AdoptMembersInOrder) {
    std::vector<JsonMember> members;
    members.emplace_back("a", std::string(20, 'a'));
    members.emplace_back("b", JsonArray{1});
    const JsonObject object = JsonObject::from_members(members);
    EXPECT_EQ(keys_and_values(object), R"(a="aaaaaaaaaaaaaaaaaaaa" b=[1] )");
    EXPECT_TRUE(members[0].value.is_null());
}

// Deep and wide trees are freed whole (the sanitizer builds see a leak or a
// double free).
TEST(JsonValues, DeepAndWideTreesAreFreed) {
    JsonValue deep = JsonArray{};
    for (int i = 0; i < 500; ++i) deep = JsonArray{std::move(deep), JsonObject{{"level", i}}};
    JsonValue copy = deep;
    EXPECT_EQ(copy, deep);
    JsonArray wide;
    for (int i = 0; i < 10000; ++i) wide.push_back(JsonObject{{std::string(20, 'w'), std::string(20, 'v')}});
    JsonValue moved = std::move(wide);
    EXPECT_EQ(moved.as_array().size(), 10000U);
}

}  // namespace
}  // namespace zarn::json
