// Token lists as clouds of vectors: PCA reduction, standardisation, centre.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "embedding/models.hpp"

namespace orvelle {

// Each token's vector replaced by its coordinates on the first k principal
// components of the list (k = pca_dimension, 512 when absent). Works on the
// tokens' own vectors: no copy of the data is made, and each token's vector
// is replaced by its coordinates as soon as they are known.
std::vector<Token> pca(std::vector<Token> tokens, std::optional<std::size_t> pca_dimension,
                       unsigned threads = 0);

// Every component standardised to zero mean and unit population deviation,
// in place on the list it is given.
std::vector<Token> scale_tokens(std::vector<Token> tokens);

// Component-wise mean of the vectors.
std::vector<double> get_center(const std::vector<Token>& tokens);

}  // namespace orvelle
