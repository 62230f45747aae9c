// Token lists as clouds of vectors: PCA reduction, standardisation, centre.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "embedding/models.hpp"
#include "linalg/pca.hpp"

namespace orvelle {

// Each token's vector replaced by its coordinates on the first k principal
// components of the list (k = pca_dimension, 512 when absent). Works on the
// tokens' own vectors: no copy of the data is made, and each token's vector
// is replaced by its coordinates as soon as they are known.
std::vector<Token> pca(std::vector<Token> tokens, std::optional<std::size_t> pca_dimension,
                       unsigned threads = 0);

// pca, in place: the tokens' vectors become their coordinates, and the
// fitted model is returned so other vectors can be projected the same way.
PCA pca_in_place(std::vector<Token>& tokens, std::optional<std::size_t> pca_dimension, unsigned threads = 0);

// What standardisation subtracts and divides by, per component: the centre
// and the population standard deviation of the list it was computed over.
struct Scaling {
    std::vector<double> centre;
    std::vector<double> sd;
};

// scale_tokens, in place, returning the statistics it applied.
Scaling scale_in_place(std::vector<Token>& tokens);

// (component j - centre[j]) / sd[j] for every token, subtraction first: the
// values scale_tokens would give for tokens of the list the statistics came
// from. Every vector must have the statistics' length.
void standardise(std::vector<Token>& tokens, const Scaling& scaling);

// Every component standardised to zero mean and unit population deviation,
// in place on the list it is given.
std::vector<Token> scale_tokens(std::vector<Token> tokens);

// Component-wise mean of the vectors: check_center_input, then mean_vector.
std::vector<double> get_center(const std::vector<Token>& tokens);

// The failures get_center reports before it sums: a NaN component sum among
// two or more tokens, an empty list, a vector shorter than the first.
void check_center_input(const std::vector<Token>& tokens);

// The mean alone, for vectors of one length: non-finite values pass through.
std::vector<double> mean_vector(const std::vector<Token>& tokens);

}  // namespace orvelle
