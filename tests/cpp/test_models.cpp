#include <gtest/gtest.h>

#include "embedding/models.hpp"

using namespace orvelle;

namespace {
Token tok(std::string text, std::vector<double> e, std::size_t layer, std::size_t line) {
    return Token{std::move(text), std::move(e), layer, line};
}
}  // namespace

TEST(Models, AllTokensOfLinesInOrder) {
    std::vector<Line> lines{
        {{tok("a", {1}, 0, 0), tok("b", {2, 3}, 1, 0)}, 0},
        {{}, 5},
        {{tok("c", {}, 2, 1), tok("d", {4}, 3, 1), tok("e", {5, 6, 7}, 4, 1)}, 1},
    };
    auto all = get_all_tokens(lines);
    ASSERT_EQ(all.size(), 5u);
    std::string texts;
    for (auto& t : all) texts += t.text;
    EXPECT_EQ(texts, "abcde");
    EXPECT_EQ(all[1].embedding, (std::vector<double>{2, 3}));
    EXPECT_EQ(all[4].embedding.size(), 3u);  // lengths kept as they are
}

TEST(Models, CopiesAreDeep) {
    std::vector<Line> lines{{{tok("a", {1, 2}, 0, 0)}, 0}};
    auto all = get_all_tokens(lines);
    all[0].text = "z";
    all[0].embedding[0] = 9;
    EXPECT_EQ(lines[0].tokens[0].text, "a");
    EXPECT_EQ(lines[0].tokens[0].embedding[0], 1);

    auto again = get_all_tokens(all);
    lines[0].tokens[0].embedding[1] = 7;
    again[0].embedding[1] = 8;
    EXPECT_EQ(all[0].embedding[1], 2);
}

TEST(Models, EmptyInputs) {
    EXPECT_TRUE(get_all_tokens(std::vector<Line>{}).empty());
    EXPECT_TRUE(get_all_tokens(std::vector<Line>{{{}, 0}, {{}, 1}}).empty());
    EXPECT_TRUE(get_all_tokens(std::vector<Token>{}).empty());
}
