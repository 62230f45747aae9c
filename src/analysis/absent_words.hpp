// Words asked for (seed words, target words) that no token of the corpus
// carries, and of those the ones that word pieces spell: a feature file
// extracted piece by piece holds "ph", "arm", "ac", "ist" (the reader has
// removed their markers) where a word-level one holds "pharmacist".
#pragma once

#include <string>
#include <vector>

#include "analysis/global_space.hpp"

namespace orvelle {

struct AbsentWords {
    std::vector<std::string> words;    // without a token, in the order asked, once each
    std::vector<std::string> spelled;  // of those, the ones consecutive pieces spell
};

// A run of two or more consecutive tokens of one line (in the layer of the
// line's first token) spells a word when their texts, joined, are the word.
AbsentWords absent_words(const GlobalSpace& global, const std::vector<std::string>& words);

}  // namespace orvelle
