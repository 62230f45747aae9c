#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "space/space.hpp"

namespace orvelle {
namespace {

using test::panic_message;
using Words = std::optional<std::vector<std::string>>;

Token tok(std::string text, std::size_t line, std::size_t layer, std::vector<double> v = {1, 2}) {
    return Token{std::move(text), std::move(v), layer, line};
}

// Two lines of three tokens: the space keeps line order, then stored order,
// and a seed-word space keeps its tokens as they are (two-wide vectors would
// not survive a 512-component reduction).
TEST(SpaceNew, SeedSpaceFromLinesKeepsEveryTokenInOrder) {
    std::vector<Line> lines = {
        {{tok("a", 0, 1, {0.5, -1}), tok("b", 0, 1), tok("a", 0, 2)}, 0},
        {{tok("c", 1, 1), tok("a", 1, 1), tok("d", 1, 1, {})}, 1},
    };
    std::vector<Token> want;
    for (const Line& l : lines) want.insert(want.end(), l.tokens.begin(), l.tokens.end());

    Space s = Space::new_space(std::move(lines), Words{{"he", "him"}}, std::nullopt);
    EXPECT_EQ(s.name, "Space of he");
    EXPECT_EQ(s.tokens, want);
    EXPECT_EQ(s.words, Words({"he", "him"}));
}

TEST(SpaceNew, SeedSpaceFromTokensIgnoresDimension) {
    std::vector<Token> tokens = {tok("x", 3, 0, {7}), tok("y", 4, 0, {8})};
    Space s = Space::new_space(tokens, Words{{" He\t"}}, 1);
    EXPECT_EQ(s.name, "Space of  He\t");
    EXPECT_EQ(s.tokens, tokens);
}

struct EmptyCase {
    const char* label;
    std::vector<Line> lines;
    bool from_lines;
    Words words;
    const char* message;
};

class SpaceNewFails : public ::testing::TestWithParam<EmptyCase> {};

TEST_P(SpaceNewFails, WithMessage) {
    EmptyCase c = GetParam();
    std::string got = panic_message([&] {
        if (c.from_lines)
            Space::new_space(std::move(c.lines), c.words, std::nullopt);
        else
            Space::new_space(get_all_tokens(c.lines), c.words, std::nullopt);
    });
    EXPECT_EQ(got, c.message) << c.label;
}

const char* const kEmpty = "The space is empty!";
const char* const kNoFirstWord = "index out of bounds: the len is 0 but the index is 0";

INSTANTIATE_TEST_SUITE_P(
    Cases, SpaceNewFails,
    ::testing::Values(
        EmptyCase{"no lines, global", {}, true, std::nullopt, kEmpty},
        EmptyCase{"lines without tokens, global", {{{}, 0}, {{}, 1}}, true, std::nullopt, kEmpty},
        EmptyCase{"no tokens, global", {}, false, std::nullopt, kEmpty},
        EmptyCase{"no tokens, seed words", {}, false, Words{{"he"}}, kEmpty},
        // Emptiness is checked before the name is formed.
        EmptyCase{"no tokens, empty word list", {}, false, Words{std::vector<std::string>{}}, kEmpty},
        EmptyCase{"tokens, empty word list", {{{tok("he", 0, 0)}, 0}}, false,
                  Words{std::vector<std::string>{}}, kNoFirstWord},
        EmptyCase{"lines, empty word list", {{{tok("he", 0, 0)}, 0}}, true,
                  Words{std::vector<std::string>{}}, kNoFirstWord}));

// find: each token at most once, in the space's order, texts compared byte
// for byte.
struct FindCase {
    const char* label;
    std::vector<std::string> words;
    std::vector<std::size_t> want;  // positions in the space
};

class SpaceFind : public ::testing::TestWithParam<FindCase> {};

Space find_space() {
    Space s;
    s.name = "Global Space";
    s.tokens = {tok("him", 0, 1, {0.25}), tok("she", 0, 1), tok("He", 1, 1), tok("him", 1, 2),
                tok("he", 2, 1),          tok("she", 2, 2), tok("héé", 3, 1),
                tok(std::string("he\0", 3), 3, 2), tok("him", 4, 1)};
    return s;
}

TEST_P(SpaceFind, TakesMatchingTokensInSpaceOrder) {
    const FindCase& c = GetParam();
    const Space s = find_space();
    std::vector<Token> want;
    for (std::size_t i : c.want) want.push_back(s.tokens[i]);
    EXPECT_EQ(s.find(c.words), want) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SpaceFind,
    ::testing::Values(
        FindCase{"only the second word occurs", {"her", "him"}, {0, 3, 8}},
        FindCase{"case-sensitive", {"He"}, {2}},
        FindCase{"lowercase does not match capital", {"HIM"}, {}},
        FindCase{"repeated word taken once", {"she", "she"}, {1, 5}},
        FindCase{"space order, not word order", {"she", "him"}, {0, 1, 3, 5, 8}},
        FindCase{"empty word list", {}, {}},
        FindCase{"absent word contributes nothing", {"they", "he"}, {4}},
        FindCase{"bytes, no normalisation", {"héé"}, {6}},
        FindCase{"embedded NUL is part of the text", {std::string("he\0", 3)}, {7}},
        FindCase{"no trimming", {"he "}, {}}));

}  // namespace
}  // namespace orvelle
