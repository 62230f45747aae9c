// A named collection of tokens: the global space, a seed-word space, or the
// random space.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "embedding/models.hpp"
#include "space/reduction.hpp"

namespace orvelle {

struct ReducedSpace;

struct Space {
    std::string name;
    std::vector<Token> tokens;
    std::optional<std::vector<std::string>> words;

    // SpaceGenerator
    static Space new_space(std::vector<Line> lines, std::optional<std::vector<std::string>> words,
                           std::optional<std::size_t> pca_dimension);
    static Space new_space(std::vector<Token> tokens, std::optional<std::vector<std::string>> words,
                           std::optional<std::size_t> pca_dimension);
    // A space without seed words, with the reduction that gave its
    // coordinates, so other tokens can be expressed in them.
    static ReducedSpace new_reduced(std::vector<Line> lines, std::optional<std::size_t> pca_dimension);
    static ReducedSpace new_reduced(std::vector<Token> tokens, std::optional<std::size_t> pca_dimension);
    std::vector<Token> find(const std::vector<std::string>& words) const;
    std::vector<Token> get_random_tokens(std::int64_t count, std::int64_t seed,
                                         std::optional<std::vector<std::string>> exclude_words) const;

    // WriterOperator: the random-subspace listing.
    void write(const std::string& path, bool user_friendly) const;
};

// The positions get_random_tokens selects, in selection order, for a space
// whose token i has texts[i] (the exclusions already include its seed words).
std::vector<std::size_t> random_token_positions(const std::vector<std::string>& texts, std::int64_t count,
                                                std::int64_t seed, const std::vector<std::string>& exclusions);

struct ReducedSpace {
    Space space;
    Reduction reduction;
};

}  // namespace orvelle
