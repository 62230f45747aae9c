// Spaces built without seed words go through the reduction and the scaling.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "space/space.hpp"

namespace orvelle {
namespace {

using test::panic_message;

std::vector<Line> three_wide_lines() {
    return {
        {{Token{"a", {1, 2, 4}, 1, 0}, Token{"b", {3, 6, 1}, 1, 0}, Token{"a", {0, 1, 1}, 2, 0}}, 0},
        {{Token{"c", {5, 1, 2}, 1, 1}}, 1},
    };
}

TEST(SpaceNewGlobal, ReducedToTheGivenDimensionKeepingTokenOrder) {
    Space s = Space::new_space(three_wide_lines(), std::nullopt, 2);
    EXPECT_EQ(s.name, "Global Space");
    EXPECT_FALSE(s.words.has_value());
    ASSERT_EQ(s.tokens.size(), 4u);
    const char* texts[] = {"a", "b", "a", "c"};
    const std::size_t layers[] = {1, 1, 2, 1}, lines[] = {0, 0, 0, 1};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(s.tokens[i].text, texts[i]);
        EXPECT_EQ(s.tokens[i].layer_index, layers[i]);
        EXPECT_EQ(s.tokens[i].line_index, lines[i]);
        EXPECT_EQ(s.tokens[i].embedding.size(), 2u);
    }
}

// Without a dimension the reduction asks for 512 components, more than
// three-wide vectors have.
TEST(SpaceNewGlobal, DefaultDimensionIs512) {
    EXPECT_EQ(panic_message([] { Space::new_space(three_wide_lines(), std::nullopt, std::nullopt); }),
              "Matrix slicing out of bounds.");
    std::vector<Token> wide = {Token{"x", std::vector<double>(512, 0.0), 0, 0},
                               Token{"y", std::vector<double>(512, 1.0), 0, 1}};
    wide[0].embedding[3] = 2.5;
    Space s = Space::new_space(std::move(wide), std::nullopt, std::nullopt);
    ASSERT_EQ(s.tokens.size(), 2u);
    EXPECT_EQ(s.tokens[0].embedding.size(), 512u);
}

}  // namespace
}  // namespace orvelle
