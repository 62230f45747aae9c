// Building spaces from the file's lines or from a token list, and the
// seed-word search.
#include "space/space.hpp"

#include <algorithm>

#include "space/geometry.hpp"
#include "util/panic.hpp"

namespace orvelle {

namespace {

constexpr std::size_t kDefaultComponents = 512;

// Every space built without seed words is reduced and standardised; the
// reduction is handed to `reduction` when the caller keeps it.
Space build(std::vector<Token> tokens, std::optional<std::vector<std::string>> words,
            std::optional<std::size_t> pca_dimension, Reduction* reduction = nullptr) {
    if (tokens.empty()) panic("The space is empty!");
    Space space;
    if (words) {
        space.name = "Space of " + at(*words, 0);
    } else {
        space.name = "Global Space";
        Reduction r = reduce_in_place(tokens, pca_dimension.value_or(kDefaultComponents));
        if (reduction) *reduction = std::move(r);
    }
    space.tokens = std::move(tokens);
    space.words = std::move(words);
    return space;
}

// The tokens are moved out of the lines, in line order and then stored order,
// and the lines are released before the reduction needs its memory.
std::vector<Token> take_tokens(std::vector<Line> lines) {
    std::size_t n = 0;
    for (const Line& line : lines) n += line.tokens.size();
    std::vector<Token> tokens;
    tokens.reserve(n);
    for (Line& line : lines)
        for (Token& t : line.tokens) tokens.push_back(std::move(t));
    return tokens;
}

}  // namespace

Space Space::new_space(std::vector<Line> lines, std::optional<std::vector<std::string>> words,
                       std::optional<std::size_t> pca_dimension) {
    return build(take_tokens(std::move(lines)), std::move(words), pca_dimension);
}

Space Space::new_space(std::vector<Token> tokens, std::optional<std::vector<std::string>> words,
                       std::optional<std::size_t> pca_dimension) {
    return build(std::move(tokens), std::move(words), pca_dimension);
}

ReducedSpace Space::new_reduced(std::vector<Line> lines, std::optional<std::size_t> pca_dimension) {
    return new_reduced(take_tokens(std::move(lines)), pca_dimension);
}

ReducedSpace Space::new_reduced(std::vector<Token> tokens, std::optional<std::size_t> pca_dimension) {
    ReducedSpace r;
    r.space = build(std::move(tokens), std::nullopt, pca_dimension, &r.reduction);
    return r;
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
