#include "space/word_ratios.hpp"

#include <cmath>
#include <limits>

#include "space/similarity_table.hpp"
#include "util/panic.hpp"

namespace orvelle {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

// word_of[j]: the index of token j's word, or kNone for a token not counted.
WordRatios gather(const std::vector<Token>& tokens, const SeedCentres& seeds, OrderedTable<std::size_t> index,
                  const std::vector<std::size_t>& word_of) {
    WordRatios out;
    const std::size_t w = index.size(), spaces = seeds.centres.size();
    for (const auto& [word, i] : index) out.words.push_back(word);
    out.count.assign(w, 0);

    std::vector<const double*> rows;
    std::vector<std::size_t> row_word;
    for (std::size_t j = 0; j < tokens.size(); ++j) {
        if (word_of[j] == kNone) continue;
        if (tokens[j].embedding.size() != seeds.width)
            assert_eq_failed(tokens[j].embedding.size(), seeds.width, "center1 and center2 should have the same length");
        rows.push_back(tokens[j].embedding.data());
        row_word.push_back(word_of[j]);
        ++out.count[word_of[j]];
    }
    const std::size_t n = rows.size();
    const std::vector<double> sims = cos_similarity_table(
        rows, seeds.width, seeds.centres, similarity_threads(n * seeds.width * (spaces + 1)));

    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    out.mean.assign(spaces, std::vector<double>(w, 0.0));
    out.sd.assign(spaces, std::vector<double>(w, 0.0));
    for (std::size_t s = 0; s < spaces; ++s) {
        std::vector<double>& mean = out.mean[s];
        std::vector<double>& sd = out.sd[s];
        const double* sim = sims.data() + s * n;
        const double divisor = seeds.divisors[s];
        for (std::size_t r = 0; r < n; ++r) mean[row_word[r]] = mean[row_word[r]] + sim[r] / divisor;
        for (std::size_t i = 0; i < w; ++i) mean[i] = out.count[i] == 0 ? nan : mean[i] / double(out.count[i]);
        for (std::size_t r = 0; r < n; ++r) {
            const double dev = sim[r] / divisor - mean[row_word[r]];
            sd[row_word[r]] = sd[row_word[r]] + dev * dev;
        }
        for (std::size_t i = 0; i < w; ++i)
            sd[i] = out.count[i] < 2 ? nan : std::sqrt(sd[i] / double(out.count[i] - 1));
    }
    return out;
}

}  // namespace

WordRatios word_ratios(const std::vector<Token>& tokens, const SeedCentres& seeds) {
    OrderedTable<std::size_t> index;
    std::vector<std::size_t> word_of(tokens.size());
    for (std::size_t j = 0; j < tokens.size(); ++j) {
        const std::size_t* i = index.find(tokens[j].text);
        if (i == nullptr) {
            word_of[j] = index.size();
            index.insert(tokens[j].text, index.size());
        } else {
            word_of[j] = *i;
        }
    }
    return gather(tokens, seeds, std::move(index), word_of);
}

WordRatios word_ratios(const std::vector<Token>& tokens, const SeedCentres& seeds,
                       const std::vector<std::string>& words) {
    OrderedTable<std::size_t> index;
    for (const std::string& word : words)
        if (index.find(word) == nullptr) index.insert(word, index.size());
    std::vector<std::size_t> word_of(tokens.size(), kNone);
    for (std::size_t j = 0; j < tokens.size(); ++j)
        if (const std::size_t* i = index.find(tokens[j].text)) word_of[j] = *i;
    return gather(tokens, seeds, std::move(index), word_of);
}

}  // namespace orvelle
