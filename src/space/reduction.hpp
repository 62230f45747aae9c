// The coordinates of a space built without seed words: the PCA it was reduced
// with and the standardisation over its own tokens. Tokens from elsewhere
// (seed words, target words) are compared with the space's tokens only once
// they are expressed in these same coordinates.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "embedding/models.hpp"
#include "space/geometry.hpp"
#include "linalg/pca.hpp"

namespace orvelle {

struct Reduction {
    PCA model{0};
    Scaling scaling;

    // Singular values of the fitted covariance at or below the numerical-rank
    // tolerance (largest singular value x width x 2^-52) carry only rounding
    // noise; standardisation lifts such a kept component to unit variance.
    double rank_tolerance() const;
    std::size_t numerical_rank() const;   // singular values above the tolerance
    std::size_t noise_components() const;  // kept components at or below it
};

// What a reduction kept, against what its tokens can carry.
struct RankReport {
    std::size_t tokens = 0;
    std::size_t width = 0;       // of the reduced input
    std::size_t components = 0;  // kept
    std::size_t rank = 0;        // numerical rank of the covariance
    std::size_t noise = 0;       // kept components at or below the rank tolerance
};
RankReport rank_report(const Reduction& reduction, std::size_t tokens);

// scale_tokens(pca(tokens, pca_dimension)), keeping what it fitted.
Reduction reduce_in_place(std::vector<Token>& tokens, std::optional<std::size_t> pca_dimension,
                          unsigned threads = 0);

// Tokens of the fitted width in the reduction's coordinates: centred with the
// fit's mean and projected on its components by the same product (same order
// of additions) as the fitted tokens, then standardised with the space's
// centre and deviations. Draws no progress bar; an empty list stays empty.
std::vector<Token> express(const Reduction& reduction, std::vector<Token> tokens, unsigned threads = 0);

}  // namespace orvelle
