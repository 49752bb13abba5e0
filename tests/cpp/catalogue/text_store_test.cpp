#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "catalogue/text_store.hpp"

namespace zarn::catalogue {
namespace {

// Texts of every size from empty to several blocks, kept in one store: each
// view reads back its text after everything else has been kept and after the
// store has moved twice.
TEST(TextStore, EveryKeptTextReadsBackAfterMoreTextsAndMoves) {
    std::vector<std::string> texts;
    for (std::size_t size : {0, 1, 15, 16, 100, 4095, 4096, 4097, 16383, 16384, 16385, 70000})
        for (int copy = 0; copy < 3; ++copy) texts.push_back(std::string(size, static_cast<char>('a' + copy)) + "z");
    for (int i = 0; i < 5000; ++i) texts.push_back("tool " + std::to_string(i));
    texts.emplace_back();

    TextStore store;
    std::vector<std::string_view> kept;
    for (const std::string& text : texts) kept.push_back(store.keep(text));
    TextStore moved = std::move(store);
    TextStore again;
    again = std::move(moved);
    ASSERT_EQ(kept.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(kept[i], texts[i]) << i;
        if (!texts[i].empty()) {
            EXPECT_NE(kept[i].data(), texts[i].data()) << i;
        }
    }
    // Little room is lost between texts.
    std::size_t total = 0;
    for (const std::string& text : texts) total += text.size();
    EXPECT_LE(again.reserved(), total + total / 4 + 16384);
}

// A text written in place keeps only the bytes written, and the next text
// follows it.
TEST(TextStore, WrittenTextsKeepWhatWasWritten) {
    TextStore store;
    const std::string_view first = store.keep_written(10, [](char* at) {
        at[0] = 'a';
        at[1] = 'b';
        return std::size_t{2};
    });
    const std::string_view second = store.keep("cd");
    EXPECT_EQ(first, "ab");
    EXPECT_EQ(second, "cd");
    EXPECT_EQ(first.data() + 2, second.data());
    EXPECT_TRUE(store.keep("").empty());
}

}  // namespace
}  // namespace zarn::catalogue
