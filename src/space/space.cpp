// Building spaces from the file's lines or from a token list, and the
// seed-word search.
#include "space/space.hpp"

#include <algorithm>

#include "space/geometry.hpp"
#include "util/panic.hpp"

namespace orvelle {

namespace {

constexpr std::size_t kDefaultComponents = 512;

// Reduced and standardised: what every space built without seed words holds.
std::vector<Token> reduce(std::vector<Token> tokens, std::optional<std::size_t> pca_dimension) {
    return scale_tokens(pca(std::move(tokens), pca_dimension.value_or(kDefaultComponents)));
}

Space build(std::vector<Token> tokens, std::optional<std::vector<std::string>> words,
            std::optional<std::size_t> pca_dimension) {
    if (tokens.empty()) panic("The space is empty!");
    Space space;
    if (words) {
        space.name = "Space of " + at(*words, 0);
    } else {
        space.name = "Global Space";
        tokens = reduce(std::move(tokens), pca_dimension);
    }
    space.tokens = std::move(tokens);
    space.words = std::move(words);
    return space;
}

}  // namespace

// The tokens are moved out of the lines, in line order and then stored order,
// and the lines are released before the reduction needs its memory.
Space Space::new_space(std::vector<Line> lines, std::optional<std::vector<std::string>> words,
                       std::optional<std::size_t> pca_dimension) {
    std::size_t n = 0;
    for (const Line& line : lines) n += line.tokens.size();
    std::vector<Token> tokens;
    tokens.reserve(n);
    for (Line& line : lines)
        for (Token& t : line.tokens) tokens.push_back(std::move(t));
    std::vector<Line>().swap(lines);
    return build(std::move(tokens), std::move(words), pca_dimension);
}

Space Space::new_space(std::vector<Token> tokens, std::optional<std::vector<std::string>> words,
                       std::optional<std::size_t> pca_dimension) {
    return build(std::move(tokens), std::move(words), pca_dimension);
}

// Each token at most once, in the space's order, whatever the order or
// repetitions of `words`; texts compare byte for byte.
std::vector<Token> Space::find(const std::vector<std::string>& words) const {
    std::vector<Token> found;
    for (const Token& t : tokens)
        if (std::find(words.begin(), words.end(), t.text) != words.end()) found.push_back(t);
    return found;
}

}  // namespace orvelle
