// The JSONTestSuite parsing cases: y_ files are accepted, n_ files rejected,
// i_ files only read without harm. Every accepted file, cut at every length,
// must end in a clean end-of-input error (or still be a whole document).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace zarn::json {
namespace {

namespace fs = std::filesystem;

struct Case {
    std::string name;
    std::string text;
};

std::vector<Case> cases_with_prefix(std::string_view prefix) {
    const fs::path dir = fs::path(ZARN_TESTDATA_DIR) / "JSONTestSuite" / "test_parsing";
    std::vector<Case> cases;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix) || !name.ends_with(".json")) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        cases.push_back({name, std::string(std::istreambuf_iterator<char>(file), {})});
    }
    std::ranges::sort(cases, {}, &Case::name);
    return cases;
}

TEST(JsonTestSuite, AcceptsEveryYesCase) {
    const auto cases = cases_with_prefix("y_");
    ASSERT_EQ(cases.size(), 95u) << "test data missing under " << ZARN_TESTDATA_DIR;
    for (const Case& c : cases) {
        const auto value = read_json(c.text);
        EXPECT_TRUE(value.has_value()) << c.name << ": " << value.error().to_string();
    }
}

TEST(JsonTestSuite, RejectsEveryNoCase) {
    const auto cases = cases_with_prefix("n_");
    ASSERT_EQ(cases.size(), 188u);
    for (const Case& c : cases) EXPECT_FALSE(read_json(c.text).has_value()) << c.name;
}

// Either outcome is fine; what matters is that reading ends (under the
// sanitizers: without touching memory it must not). The decisions are pinned
// so that a change of behaviour is seen.
TEST(JsonTestSuite, DecidesEveryImplementationCase) {
    const auto cases = cases_with_prefix("i_");
    ASSERT_EQ(cases.size(), 35u);
    std::vector<std::string> accepted;
    for (const Case& c : cases)
        if (read_json(c.text)) accepted.push_back(c.name);
    // Huge and tiny exponents read as doubles (underflow to zero); huge
    // integers as doubles. Everything else (lone surrogates, ill-formed UTF-8,
    // a byte order mark, 500 levels) is rejected.
    const std::vector<std::string> expected = {"i_number_double_huge_neg_exp.json", "i_number_real_underflow.json",
                                               "i_number_too_big_neg_int.json", "i_number_too_big_pos_int.json",
                                               "i_number_very_big_negative_int.json"};
    EXPECT_EQ(accepted, expected);
}

// Writing what was read and reading it again gives the same value and text.
TEST(JsonTestSuite, AcceptedCasesSurviveAWriteAndReread) {
    for (const Case& c : cases_with_prefix("y_")) {
        const auto first = read_json(c.text);
        ASSERT_TRUE(first.has_value()) << c.name;
        const std::string text = to_json_text(*first);
        const auto second = read_json(text);
        ASSERT_TRUE(second.has_value()) << c.name << ": " << text;
        EXPECT_EQ(*second, *first) << c.name;
        EXPECT_EQ(to_json_text(*second), text) << c.name;
    }
}

TEST(JsonTestSuite, TruncatedAcceptedCasesEndCleanly) {
    for (const Case& c : cases_with_prefix("y_")) {
        for (std::size_t length = 0; length < c.text.size(); ++length) {
            const std::string_view cut = std::string_view(c.text).substr(0, length);
            const auto value = read_json(cut);
            if (value) continue;  // e.g. "12" cut from "123", or trailing white space dropped
            const JsonReadError& error = value.error();
            EXPECT_TRUE(error.description.starts_with("EOF while parsing"))
                << c.name << " cut at " << length << ": " << error.to_string();
            // The position is that of the last byte of the cut text.
            const std::size_t last = length == 0 ? 0 : length - 1;
            const std::string_view before = cut.substr(0, last);
            const std::size_t newline = before.rfind('\n');
            const std::size_t column =
                length == 0 ? 0 : last + 1 - (newline == std::string_view::npos ? 0 : newline + 1);
            EXPECT_EQ(error.line, 1 + static_cast<std::size_t>(std::ranges::count(before, '\n')))
                << c.name << " cut at " << length;
            EXPECT_EQ(error.column, column) << c.name << " cut at " << length;
        }
    }
}

// Every other case cut at every length only has to be read without harm
// (this is for the sanitizer builds); each outcome must carry a position
// inside the text.
TEST(JsonTestSuite, TruncatedOtherCasesAreReadSafely) {
    for (const std::string_view prefix : {"n_", "i_"}) {
        for (const Case& c : cases_with_prefix(prefix)) {
            for (std::size_t length = 0; length <= c.text.size(); ++length) {
                const auto value = read_json(std::string_view(c.text).substr(0, length));
                if (!value) {
                    EXPECT_LE(value.error().column, length) << c.name;
                }
            }
        }
    }
}

}  // namespace
}  // namespace zarn::json
