// Reading with a plan: what is pruned is checked exactly as a full read checks
// it (same verdict, same error, same position), and what is kept is exactly
// the full tree with the pruned members taken out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace zarn::json {
namespace {

namespace fs = std::filesystem;
using Context = ReadPlan::Context;

// Keeps members whose key starts with a letter after 'l' (and, below such a
// member, nothing but "x"); the others are pruned.
Context keep_late_keys(Context object, std::string_view key) noexcept {
    if (object == 2) return key == "x" ? 2 : ReadPlan::kPruned;
    if (!key.empty() && key.front() > 'l') return key.front() == 'z' ? 2 : 1;
    return ReadPlan::kPruned;
}

Context prune_every_member(Context, std::string_view) noexcept { return ReadPlan::kPruned; }

constexpr ReadPlan kLateKeys{1, &keep_late_keys};
constexpr ReadPlan kNoMembers{1, &prune_every_member};
constexpr ReadPlan kNothing{ReadPlan::kPruned, &prune_every_member};

// The plan applied to a full tree: the reference the reader must match.
JsonValue prune(const JsonValue& value, const ReadPlan& plan, Context context) {
    if (const JsonArray* array = value.if_array()) {
        JsonArray kept;
        for (const JsonValue& element : *array) kept.push_back(prune(element, plan, context));
        return kept;
    }
    if (const JsonObject* object = value.if_object()) {
        JsonObject kept;
        for (const auto& [key, member] : *object) {
            const Context inner = plan.member(context, key);
            if (inner != ReadPlan::kPruned) kept.append_sorted(key, prune(member, plan, inner));
        }
        return kept;
    }
    return value;
}

JsonValue expected_under(const JsonValue& full, const ReadPlan& plan) {
    return plan.root == ReadPlan::kPruned ? JsonValue() : prune(full, plan, plan.root);
}

std::vector<std::string> suite_texts() {
    const fs::path dir = fs::path(ZARN_TESTDATA_DIR) / "JSONTestSuite" / "test_parsing";
    std::vector<std::string> texts;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream file(entry.path(), std::ios::binary);
        texts.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    return texts;
}

// Documents with members at several depths, escapes, non-ASCII text, numbers
// out of range and faults placed inside members that a plan prunes.
const std::vector<std::string> kHandWritten = {
    R"({"a":1,"m":2,"z":{"x":[1,{"x":2,"b":3}],"y":"\u00e9"},"b":{"n":"kept?"}})",
    R"([{"b":"\ud83d\ude00","n":[{"q":1}]},{"a":{"deep":[[[{"o":null}]]]}}])",
    R"({"a":"bad \x escape","n":1})",
    R"({"a":"\ud800 lone","n":1})",
    R"({"a":"tab	inside","n":1})",
    R"({"a":1e999,"n":1})",
    R"({"a":1e-999,"n":-0})",
    R"({"a":[1,2,],"n":1})",
    R"({"a":{"b" 1},"n":1})",
    R"({"a":{"b":1,},"n":1})",
    R"({"a":{1:2},"n":1})",
    R"({"a":tru,"n":1})",
    "{\"a\":\"\xC3\x28\",\"n\":1}",
    "{\"a\":\"\xE2\x82",
    R"({"n":{"z":{"x":"\u12"}}})",
    R"({"o":1} trailing)",
    R"({"a":1,"a":2,"n":1,"n":2,"z":{"x":1},"z":{"x":2}})",
};

std::string nested(std::size_t depth, std::string_view key) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += "{\"" + std::string(key) + "\":";
    text += "1";
    text.append(depth, '}');
    return text;
}

// Collects what a streamed read hands over.
class Collector final : public ElementConsumer {
public:
    void take(JsonValue element) override { taken.push_back(std::move(element)); }
    JsonArray taken;
};

// A streamed read put back together: a root array's elements as the consumer
// took them, any other root as it came back.
std::expected<JsonValue, JsonReadError> read_streamed(std::string_view text, const ReadPlan& plan) {
    Collector collector;
    auto value = read_json(text, plan, collector);
    if (!value) return value;
    if (const JsonArray* array = value->if_array()) {
        EXPECT_TRUE(array->empty()) << text;
        return JsonValue(std::move(collector.taken));
    }
    EXPECT_TRUE(collector.taken.empty()) << text;
    return value;
}

class ReadPlanCase : public testing::TestWithParam<const ReadPlan*> {};

TEST_P(ReadPlanCase, MatchesTheFullReadOnEveryText) {
    const ReadPlan& plan = *GetParam();
    std::vector<std::string> texts = suite_texts();
    ASSERT_GT(texts.size(), 300u) << "test data missing under " << ZARN_TESTDATA_DIR;
    texts.insert(texts.end(), kHandWritten.begin(), kHandWritten.end());
    // The nesting bound holds inside pruned members too.
    for (const std::string_view key : {"a", "n"}) {
        texts.push_back(nested(kMaxNestingDepth, key));
        texts.push_back(nested(kMaxNestingDepth + 1, key));
    }
    for (const std::string& whole : texts) {
        for (std::size_t length = 0; length <= whole.size(); ++length) {
            const std::string_view text = std::string_view(whole).substr(0, length);
            const auto full = read_json(text);
            for (const auto& planned : {read_json(text, plan), read_streamed(text, plan)}) {
                ASSERT_EQ(full.has_value(), planned.has_value()) << text;
                if (full) {
                    EXPECT_EQ(*planned, expected_under(*full, plan)) << text;
                } else {
                    EXPECT_EQ(planned.error().to_string(), full.error().to_string()) << text;
                }
            }
        }
    }
}

TEST_P(ReadPlanCase, MatchesTheFullReadOnRandomDocuments) {
    const ReadPlan& plan = *GetParam();
    std::mt19937 random(20261208);
    const std::vector<std::string> keys = {"a", "b", "m", "n", "x", "z", "zz", "value", "\\u00e9"};
    // Random trees written as text, with repeated keys and any member order.
    const auto document = [&](auto&& self, int depth) -> std::string {
        switch (std::uniform_int_distribution(0, depth > 4 ? 2 : 4)(random)) {
            case 0: return std::to_string(std::uniform_int_distribution(-5, 5)(random));
            case 1: return "\"s\\n\\u00e9\"";
            case 2: return std::uniform_int_distribution(0, 1)(random) ? "1.5e3" : "null";
            case 3: {
                std::string text = "[";
                for (int i = std::uniform_int_distribution(0, 3)(random); i > 0; --i)
                    text += self(self, depth + 1) + (i > 1 ? "," : "");
                return text + "]";
            }
            default: {
                std::string text = "{";
                for (int i = std::uniform_int_distribution(0, 4)(random); i > 0; --i) {
                    text += "\"" + keys[std::uniform_int_distribution<std::size_t>(0, keys.size() - 1)(random)] +
                            "\":" + self(self, depth + 1) + (i > 1 ? "," : "");
                }
                return text + "}";
            }
        }
    };
    for (int round = 0; round < 2000; ++round) {
        const std::string text = document(document, 0);
        const auto full = read_json(text);
        ASSERT_TRUE(full.has_value()) << text;
        for (const auto& planned : {read_json(text, plan), read_streamed(text, plan)}) {
            ASSERT_TRUE(planned.has_value()) << text;
            EXPECT_EQ(*planned, expected_under(*full, plan)) << text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Plans, ReadPlanCase, testing::Values(&kLateKeys, &kNoMembers, &kNothing));

TEST(ReadPlan, KeepsOnlyWhatThePlanAsksFor) {
    const auto value = read_json(R"({"a":[1,2],"n":{"x":1,"y":2},"z":{"x":{"x":3,"q":4},"y":5}})", kLateKeys);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(to_json_text(*value), R"({"n":{"x":1,"y":2},"z":{"x":{"x":3}}})");
}

// Each element is handed over once it is read, not when the array closes:
// the elements ahead of a fault have been taken when the error comes back.
TEST(ReadPlan, AStreamedReadHandsOverEachElementAsItIsRead) {
    class Recorder final : public ElementConsumer {
    public:
        void take(JsonValue element) override { texts.push_back(to_json_text(element)); }
        std::vector<std::string> texts;
    } recorder;
    const auto value = read_json(R"([{"n":1,"a":2}, [3], "s", {"n":4} x])", kLateKeys, recorder);
    ASSERT_FALSE(value.has_value());
    EXPECT_EQ(value.error().to_string(), "expected `,` or `]` at line 1 column 35");
    EXPECT_EQ(recorder.texts, (std::vector<std::string>{R"({"n":1})", "[3]", R"("s")", R"({"n":4})"}));
}

}  // namespace
}  // namespace zarn::json
