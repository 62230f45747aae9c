// Bias ratios gathered per word over all of its tokens, where the
// Calculator keeps one token per text: for every seed space, each word's mean
// ratio, the sample standard deviation of its ratios and its token count.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "space/calculator.hpp"

namespace orvelle {

struct WordRatios {
    std::vector<std::string> words;
    std::vector<std::size_t> count;
    std::vector<std::vector<double>> mean;  // [space][word]; NaN for a word without tokens
    std::vector<std::vector<double>> sd;    // [space][word]; divisor count - 1, NaN below two tokens
};

// Every text among the tokens, in order of first appearance. Sums run over a
// word's tokens in list order, so the figures are the same on every run.
WordRatios word_ratios(const std::vector<Token>& tokens, const SeedCentres& seeds);

// The listed words only, in list order (a repeated word once), words without
// a token included.
WordRatios word_ratios(const std::vector<Token>& tokens, const SeedCentres& seeds,
                       const std::vector<std::string>& words);

}  // namespace orvelle
