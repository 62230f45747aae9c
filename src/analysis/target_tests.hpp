// A verdict per target word and pair of seed spaces: is the word's ratio in
// one space rather than the other different from zero, given the sentences?
//
// The estimate is the difference averaged over the draws. Its uncertainty has
// two sources: the sentences are a sample, and the draw decides the random
// space. The first comes from a Poisson bootstrap of lines (line_effects.hpp),
// every draw resampled with the same line counts, so that the mean over draws
// is resampled as one figure. The second
// is what the draws' differences vary by beyond the sentences: their spread,
// less the part the resamples already carry (the same sentences seen through
// different random spaces), over the number of draws. The interval and the
// p-value use Student's t with L - 1 degrees of freedom, L the fewest lines
// holding the word or any one seed space, and the bootstrap variances are
// scaled by L / (L - 1), the bias of a resampled mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/line_effects.hpp"
#include "analysis/resample_weights.hpp"
#include "space/word_ratios.hpp"

namespace orvelle {

struct TargetTest {
    std::string word, space, other;
    double estimate = 0.0;  // ratio in `space` minus ratio in `other`, mean over the draws
    double ci_low = 0.0, ci_high = 0.0;  // 95 % confidence interval
    double p = 0.0;         // two-sided, against a difference of zero
    double q = 0.0;         // Benjamini-Hochberg, over every row of the run
    double effect_size = 0.0;  // estimate over the pooled sd of the per-token differences
    std::size_t tokens = 0, lines = 0;
};

struct TargetBootstrap {
    std::vector<std::string> words;  // distinct, in the order asked
    std::vector<std::string> spaces;  // the seed centres' names
    ResampleWeights weights;
    std::vector<std::size_t> tokens, lines;  // per word
    std::size_t seed_lines = 0;              // fewest lines holding one seed space's tokens
    std::size_t draws = 0;
    std::vector<double> replicates;              // [row * resamples + b], summed over the draws
    std::vector<double> within;                  // [row]: each draw's variance over the resamples, summed
    std::vector<std::vector<double>> estimates;  // [row][draw]
    std::vector<double> token_var;               // [row], summed over the draws
};

// `targets`: every token of the target words; `seeds`: each group's tokens.
TargetBootstrap start_target_bootstrap(const std::vector<std::string>& words, const std::vector<Token>& targets,
                                       const std::vector<std::vector<Token>>& seeds, std::size_t resamples,
                                       std::uint64_t seed);

// One draw: its line effects and its target ratios (the same words).
void add_draw(TargetBootstrap& boot, const DrawEffects& effects, const WordRatios& ratios,
              const std::vector<std::string>& spaces);

// Rows pair by pair (in space order), words in order within a pair.
std::vector<TargetTest> finish_target_tests(const TargetBootstrap& boot);

// Benjamini-Hochberg adjusted p-values over the non-NaN entries; NaN stays NaN.
std::vector<double> bh_q_values(const std::vector<double>& p);

}  // namespace orvelle
