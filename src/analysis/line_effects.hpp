// What each line of the corpus contributes, in one draw, to the ratio
// differences of the target words: the differences of the target tokens it
// holds, and through its seed tokens the shift of the seed centres (and with
// them of the ideal centre and the divisors). The bootstrap of the target
// tests resamples lines over these contributions.
//
// A target's ratio in space s is R_s = |m| (T.C_s) / (C_s.m): T the mean of
// its tokens' unit vectors, C_s the space's centre, m the ideal centre (the
// mean of every seed space's centre c_j). The centres are means of seed
// tokens, so a resample of lines moves them by the weighted mean of its seed
// lines' deviations from the centre; the centres enter the resampled ratio
// through the first-order term dR/dc_j of that shift, while the target's own
// tokens are averaged exactly.
//
// The random space is fitted to the drawn tokens, which are lines' tokens
// too: a resample that counts a line twice weighs its drawn tokens twice. The
// random space keeps as many components as its tokens are wide, so its
// coordinates whiten them: in its coordinates the drawn tokens z have mean 0
// and covariance I, and a resample shifts them to mean dmu and covariance
// I + dS (weighted means of z and of zz' - I). Every inner product <a, b> of
// the ratios then moves by -dmu.(a + b) - a'dS b to first order, and so does
// the ratio, through <t, C_s>, <C_s, m>, <m, m> and each token's own norm
// <t, t>. Of the last, the part along the word's mean direction T is kept
// exactly; the rest, spread over the tokens' own directions, averages out over
// a word's tokens in a wide space and is left out.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "analysis/resample_weights.hpp"
#include "embedding/models.hpp"
#include "space/calculator.hpp"

namespace orvelle {

// One seed space's tokens by line, in its draw's coordinates.
struct SeedLines {
    std::vector<double> centre;     // mean of the tokens
    std::vector<std::size_t> at;    // positions among the resampled lines, ascending
    std::vector<double> tokens;     // per line: the space's tokens in it
    std::vector<double> deviation;  // [line * width + i]: the line's token sum minus tokens x centre

    static SeedLines of(const std::vector<Token>& tokens, const ResampleWeights& weights);
};

// The random space's own tokens by line, with their products with the centres
// and the ideal centre, for the first-order refit of the space.
struct DrawnLines {
    ResampleWeights weights;               // the same counts, over these lines
    std::vector<std::size_t> first;        // line l holds rows first[l] .. first[l + 1] - 1
    std::vector<const double*> rows;       // the drawn tokens, line by line
    std::vector<std::vector<double>> zc;   // [space][row]: z . C_s
    std::vector<double> zm;                // [row]: z . m
};

// One target word in one draw; pairs of spaces (s, o) with s before o.
struct TargetLines {
    std::size_t tokens = 0;
    std::vector<double> unit;              // T, the mean of its tokens' unit vectors
    std::vector<double> ratio;             // [space]: R_s
    std::vector<double> unit_centre;       // [space]: T . C_s
    double inverse_norm = 0.0;             // mean of 1 / |t| over its tokens
    std::vector<std::size_t> at;           // positions among the resampled lines, ascending
    std::vector<double> count;             // per line: the word's tokens in it
    std::vector<std::vector<double>> sum;  // [pair][line]: its tokens' ratio differences, summed
    std::vector<std::vector<std::vector<double>>> gradient;  // [pair][seed space]: d difference / d centre
    std::vector<double> token_var;         // [pair]: sample variance of the per-token differences
    // [pair], for the norms' refit: with d_k the token's difference and u_k its
    // unit vector, S = sum d_k, V = sum d_k u_k - S T, U = sum d_k u_k / |t_k|.
    std::vector<double> norm_sum;
    std::vector<std::vector<double>> norm_along, norm_inverse;
};

struct DrawEffects {
    std::size_t width = 0;
    double ideal_norm2 = 0.0;                                // m . m
    std::vector<double> centre_ideal;                        // [space]: C_s . m
    DrawnLines drawn;
    std::vector<std::pair<std::size_t, std::size_t>> pairs;  // indexes into the seed centres' names
    std::vector<SeedLines> seeds;                            // per seed space, in group order
    std::vector<TargetLines> targets;                        // per word
};

// `targets` in the draw's coordinates, `words` the target words (distinct),
// `seeds` the centres SeedCentres::of computed from the same seed spaces
// (`names` in group order) as `seed_lines`, `drawn` the random space's own
// tokens (kept alive while the effects are used; none holds the space fixed).
DrawEffects line_effects(const std::vector<Token>& targets, const std::vector<std::string>& words,
                         std::vector<SeedLines> seed_lines, const std::vector<std::string>& names,
                         const SeedCentres& seeds, const ResampleWeights& weights, const std::vector<Token>& drawn);

// Every space pair (s, o), s before o, in the order of the target table.
std::vector<std::pair<std::size_t, std::size_t>> space_pairs(std::size_t spaces);

// For every pair, then word (row = pair * words + word), and resample b: the
// draw's difference on that resample, added to sums[row * resamples + b]; NaN
// where the resample holds no token of the word or of a seed space. Workers
// take different words: the sums are the same on every thread count (0: sized
// by the work).
void add_replicates(const DrawEffects& effects, const ResampleWeights& weights, std::vector<double>& sums,
                    unsigned threads = 0);

}  // namespace orvelle
