#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "space/random.hpp"
#include "space/space.hpp"

namespace orvelle {
namespace {

using Words = std::optional<std::vector<std::string>>;

// Ten tokens; with seed 1 the shuffled walk visits positions
// 8 7 2 0 4 6 1 3 9 5 (texts g f c a d b b a a e).
Space ten_tokens(Words words = std::nullopt) {
    const char* texts[] = {"a", "b", "c", "a", "d", "e", "b", "f", "g", "a"};
    Space s;
    s.name = "Global Space";
    for (std::size_t i = 0; i < 10; ++i)
        s.tokens.push_back(Token{texts[i], {double(i), -double(i)}, i % 3, 100 + i});
    s.words = std::move(words);
    return s;
}

struct DrawCase {
    const char* label;
    std::int64_t seed;
    std::int64_t count;
    Words exclude;
    Words space_words;
    std::vector<std::size_t> want;  // positions in the space, in selection order
};

class RandomTokens : public ::testing::TestWithParam<DrawCase> {};

TEST_P(RandomTokens, SelectsInShuffledOrder) {
    const DrawCase& c = GetParam();
    const Space s = ten_tokens(c.space_words);
    std::vector<Token> want;
    for (std::size_t i : c.want) want.push_back(s.tokens[i]);
    EXPECT_EQ(s.get_random_tokens(c.count, c.seed, c.exclude), want) << c.label;
}

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Cases, RandomTokens,
    ::testing::Values(
        DrawCase{"first three", 1, 3, std::nullopt, std::nullopt, {8, 7, 2}},
        DrawCase{"excluded token replaced further along", 1, 3, Words{{"f"}}, std::nullopt,
                 {8, 2, 0}},
        DrawCase{"exclusion never reached", 1, 3, Words{{"a"}}, std::nullopt, {8, 7, 2}},
        DrawCase{"every token of an excluded text skipped", 1, 5, Words{{"a"}}, std::nullopt,
                 {8, 7, 2, 4, 6}},
        DrawCase{"more than eligible", 1, 100, std::nullopt, std::nullopt,
                 {8, 7, 2, 0, 4, 6, 1, 3, 9, 5}},
        DrawCase{"zero selects every eligible", 1, 0, Words{{"a", "b"}}, std::nullopt,
                 {8, 7, 2, 4, 5}},
        DrawCase{"negative selects all", 1, -1, std::nullopt, std::nullopt,
                 {8, 7, 2, 0, 4, 6, 1, 3, 9, 5}},
        DrawCase{"most negative selects all", 1, kMin, std::nullopt, std::nullopt,
                 {8, 7, 2, 0, 4, 6, 1, 3, 9, 5}},
        DrawCase{"count compared on 64 bits", 1, (std::int64_t{1} << 32) + 1, std::nullopt,
                 std::nullopt, {8, 7, 2, 0, 4, 6, 1, 3, 9, 5}},
        DrawCase{"exclusion is case-sensitive", 1, 2, Words{{"G", "F"}}, std::nullopt, {8, 7}},
        DrawCase{"exclusion does not trim", 1, 2, Words{{"g "}}, std::nullopt, {8, 7}},
        DrawCase{"repeated exclusion", 1, 2, Words{{"g", "g"}}, std::nullopt, {7, 2}},
        DrawCase{"everything excluded", 1, 0, Words{{"a", "b", "c", "d", "e", "f", "g"}},
                 std::nullopt, {}},
        DrawCase{"empty exclusion list", 1, 1, Words{std::vector<std::string>{}}, std::nullopt,
                 {8}},
        DrawCase{"the space's own words are excluded too", 1, 3, Words{{"c"}}, Words{{"g"}},
                 {7, 0, 4}},
        DrawCase{"seed 7", 7, 2, std::nullopt, std::nullopt, {5, 4}},
        DrawCase{"negative seed as its bit pattern", -3, 4, std::nullopt, std::nullopt,
                 {8, 4, 7, 9}}));

struct SmallCase {
    const char* label;
    std::size_t n;
    std::int64_t count;
    Words exclude;
    std::size_t want;
};

class RandomTokensSmall : public ::testing::TestWithParam<SmallCase> {};

TEST_P(RandomTokensSmall, Count) {
    const SmallCase& c = GetParam();
    Space s;
    for (std::size_t i = 0; i < c.n; ++i) s.tokens.push_back(Token{"w", {1.0}, 0, i});
    for (std::int64_t seed : {0, 1, -1}) {
        auto got = s.get_random_tokens(c.count, seed, c.exclude);
        EXPECT_EQ(got.size(), c.want) << c.label;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RandomTokensSmall,
    ::testing::Values(SmallCase{"empty space", 0, 5, std::nullopt, 0},
                      SmallCase{"one token, no draw needed", 1, 1, std::nullopt, 1},
                      SmallCase{"one token, zero count", 1, 0, std::nullopt, 1},
                      SmallCase{"one token excluded", 1, 1, Words{{"w"}}, 0},
                      SmallCase{"equal texts each selected once", 5, 0, std::nullopt, 5}));

// The walk follows the shuffled index list whatever the count: a prefix of a
// larger selection is the smaller one, and no token comes twice.
TEST(RandomTokensWalk, SelectionsArePrefixesOfTheShuffle) {
    Space s;
    for (std::size_t i = 0; i < 1000; ++i)
        s.tokens.push_back(Token{"t" + std::to_string(i % 37), {double(i)}, 0, i});
    const auto order = shuffled_indexes(1000, 42);
    const auto all = s.get_random_tokens(0, 42, Words{{"t5"}});
    std::vector<Token> want;
    for (std::uint32_t i : order)
        if (s.tokens[i].text != "t5") want.push_back(s.tokens[i]);
    ASSERT_EQ(all, want);
    for (std::int64_t count : {1, 10, 500, 972, 973}) {
        auto some = s.get_random_tokens(count, 42, Words{{"t5"}});
        ASSERT_EQ(some.size(), std::min<std::size_t>(count, all.size()));
        EXPECT_TRUE(std::equal(some.begin(), some.end(), all.begin()));
    }
    EXPECT_EQ(s.get_random_tokens(7, 42, std::nullopt), s.get_random_tokens(7, 42, std::nullopt));
}

}  // namespace
}  // namespace orvelle
