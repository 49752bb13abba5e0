#include <gtest/gtest.h>

#include <random>
#include <string>

#include "json/reader.hpp"
#include "query/field_parser.hpp"

namespace zarn::query {
namespace {

// Literals are read on a fast path where that is possible; whatever path a
// literal takes, it must read exactly as the JSON reader reads its text.
void expect_same_as_reader(const std::string& literal) {
    const json::JsonObject no_variables;
    GraphqlFieldParser parser(literal, no_variables);
    const auto value = parser.parse_value();
    const auto reference = json::read_json(literal);
    ASSERT_EQ(value.has_value(), reference.has_value()) << literal;
    if (value) {
        EXPECT_EQ(*value, *reference) << literal;
        EXPECT_EQ(value->kind(), reference->kind()) << literal;
        EXPECT_EQ(parser.position(), literal.size()) << literal;
    }
}

TEST(Literals, IntegersOfEveryLengthReadAsTheReaderReadsThem) {
    std::mt19937_64 random(20261208);
    for (int digits = 1; digits <= 22; ++digits) {
        for (int round = 0; round < 200; ++round) {
            std::string text;
            for (int i = 0; i < digits; ++i) text.push_back(static_cast<char>('0' + random() % 10));
            expect_same_as_reader(text);
            expect_same_as_reader("-" + text);
        }
    }
    for (const char* edge : {"0", "-0", "00", "-00", "01", "-01", "999999999999999999", "-999999999999999999",
                             "9223372036854775807", "9223372036854775808", "-9223372036854775808",
                             "-9223372036854775809", "18446744073709551615", "18446744073709551616"})
        expect_same_as_reader(edge);
}

TEST(Literals, StringsReadAsTheReaderReadsThem) {
    for (const char* literal : {R"("")", R"("plain text 123 ~!@")", "\"tab\there\"", "\"del\x7f\"", "\"caf\xC3\xA9\"",
                                R"("esc\"aped\\")", R"("\u00e9")", "\"nul\x01\""})
        expect_same_as_reader(literal);
}

}  // namespace
}  // namespace zarn::query
