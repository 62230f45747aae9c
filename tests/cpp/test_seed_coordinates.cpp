#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "calc_support.hpp"
#include "analysis/pipeline.hpp"
#include "space/word_ratios.hpp"

namespace orvelle {
namespace {

using test::space;
using test::token;

// 700 tokens of a 520-wide space with a little structure, texts cycling
// through a small vocabulary.
std::vector<Token> cloud() {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> g;
    const char* words[] = {"he", "him", "she", "her", "nurse", "the", "a"};
    std::vector<Token> tokens;
    for (std::size_t i = 0; i < 700; ++i) {
        Token t = token(words[i % 7], std::vector<double>(520));
        for (std::size_t j = 0; j < 520; ++j) t.embedding[j] = g(rng) * (1.0 + double(j % 13));
        t.line_index = i;
        tokens.push_back(std::move(t));
    }
    return tokens;
}

// A seed token that was also drawn must carry, in its seed space, exactly the
// vector the random space gave it: both are the same global-space vector in
// the random space's coordinates.
TEST(SeedCoordinates, DrawnSeedTokensMatchTheirRandomSpaceVectors) {
    ReducedSpace global = Space::new_reduced(cloud(), std::nullopt);
    ReducedSpace random = Space::new_reduced(global.space.get_random_tokens(600, 3, std::nullopt), std::nullopt);
    const std::vector<std::vector<std::string>> groups = {{"he", "him"}, {"nurse"}};
    std::vector<Space> seeds = seed_spaces(find_groups(global.space, groups), groups);

    ASSERT_EQ(seeds.size(), 2u);
    std::size_t shared = 0;
    for (const Space& s : seeds) {
        for (const Token& t : express(random.reduction, s.tokens)) {
            ASSERT_EQ(t.embedding.size(), 512u);
            for (const Token& r : random.space.tokens) {
                if (r.line_index != t.line_index) continue;
                ++shared;
                EXPECT_EQ(std::memcmp(r.embedding.data(), t.embedding.data(), 512 * sizeof(double)), 0)
                    << s.name << " line " << t.line_index;
            }
        }
    }
    EXPECT_GT(shared, 100u);
}

// A group of five tokens or fewer takes the products' short path, whose order
// of additions differs: the same coordinates up to rounding.
TEST(SeedCoordinates, SmallGroupsGetTheSameCoordinatesUpToRounding) {
    std::vector<Token> tokens = cloud();
    ReducedSpace random = Space::new_reduced(tokens, std::nullopt);
    tokens.resize(4);
    std::vector<Token> again = express(random.reduction, tokens);
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 512; ++j)
            EXPECT_NEAR(again[i].embedding[j], random.space.tokens[i].embedding[j], 1e-9);
}

// A random space with a component of no variance maps seed tokens to
// non-finite coordinates: their centre carries NaN into every ratio, where
// the seed tokens' own (global-space) values still decide the centre's
// failures.
TEST(SeedCoordinates, NonFiniteImagesGiveNanCentresNotFailures) {
    Reduction r;
    r.model.mean = {0.0, 0.0};
    r.model.components = Matrix(2, 2);
    r.model.components(0, 0) = r.model.components(1, 1) = 1.0;
    r.model.n_components = 2;
    r.scaling = {{0.0, 0.0}, {1.0, 0.0}};  // the second component has no spread

    std::vector<Space> seeds;
    seeds.push_back(space("Space of he", {token("he", {1, 2}), token("he", {3, 4})}));
    const SeedCentres centres = SeedCentres::of(std::move(seeds), &r);
    EXPECT_EQ(centres.centres[0][0], 2.0);
    EXPECT_TRUE(std::isinf(centres.centres[0][1]));
    EXPECT_TRUE(std::isnan(centres.divisors[0]));

    std::vector<Space> bad;
    bad.push_back(space("Space of he", {token("he", {1, NAN}), token("he", {3, 4})}));
    EXPECT_EQ(test::panic_message([&] { SeedCentres::of(std::move(bad), &r); }),
              "called `Option::unwrap()` on a `None` value");
}

TEST(WordRatios, MeanDeviationAndCountPerWord) {
    std::vector<Space> one;
    one.push_back(space("Space of he", {token("he", {2, 0}), token("he", {1, 0})}));
    SeedCentres seeds = SeedCentres::of(std::move(one));
    const std::vector<Token> tokens = {token("a", {1, 0}), token("b", {1, 1}), token("a", {0, 3})};

    WordRatios all = word_ratios(tokens, seeds);
    EXPECT_EQ(all.words, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(all.count, (std::vector<std::size_t>{2, 1}));
    EXPECT_EQ(all.mean[0][0], 0.5);  // ratios 1 and 0
    EXPECT_EQ(all.sd[0][0], std::sqrt(0.5));
    EXPECT_DOUBLE_EQ(all.mean[0][1], std::sqrt(0.5));
    EXPECT_TRUE(std::isnan(all.sd[0][1]));  // one token: no deviation

    // Listed words keep the list's order, once each, absent ones counted 0.
    WordRatios listed = word_ratios(tokens, seeds, {"b", "zz", "b", "a"});
    EXPECT_EQ(listed.words, (std::vector<std::string>{"b", "zz", "a"}));
    EXPECT_EQ(listed.count, (std::vector<std::size_t>{1, 0, 2}));
    EXPECT_TRUE(std::isnan(listed.mean[0][1]));
    EXPECT_EQ(listed.mean[0][2], 0.5);
}

}  // namespace
}  // namespace orvelle
