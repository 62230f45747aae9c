// The random subspace: a seeded selection of tokens from a space.
#include <algorithm>
#include <cstdint>

#include "space/random.hpp"
#include "space/space.hpp"

namespace orvelle {

namespace {

bool excluded(const std::vector<std::string>& exclusions, const std::string& text) {
    return std::find(exclusions.begin(), exclusions.end(), text) != exclusions.end();
}

// The positions the draw selects, in selection order; text(i) is the text of
// token i of n, prefetch(i) warms what text(i) will read.
template <class Text, class Prefetch>
std::vector<std::size_t> select(std::size_t n, Text text, Prefetch prefetch, std::int64_t count, std::int64_t seed,
                                const std::vector<std::string>& exclusions) {
    // Every draw happens here, over all n indexes: the order depends on n and
    // the seed alone, never on count or the exclusions.
    const std::vector<std::uint32_t> index = shuffled_indexes(n, static_cast<std::uint64_t>(seed));
    std::vector<std::size_t> selected;
    const auto wanted = static_cast<std::uint64_t>(count);  // <= 0 never matches
    if (count > 0) selected.reserve(std::min<std::uint64_t>(wanted, index.size()));
    std::uint64_t taken = 0;
    constexpr std::size_t kAhead = 16;  // random reads over a large space miss the cache
    for (std::size_t j = 0; j < index.size(); ++j) {
        if (j + kAhead < index.size()) prefetch(index[j + kAhead], false);
        if (j + kAhead / 2 < index.size()) prefetch(index[j + kAhead / 2], true);
        if (excluded(exclusions, text(index[j]))) continue;
        selected.push_back(index[j]);
        if (++taken == wanted) break;
    }
    return selected;
}

}  // namespace

std::vector<std::size_t> random_token_positions(const std::vector<std::string>& texts, std::int64_t count,
                                                std::int64_t seed, const std::vector<std::string>& exclusions) {
    return select(
        texts.size(), [&](std::size_t i) -> const std::string& { return texts[i]; },
        [&](std::size_t i, bool deep) {
            if (deep) __builtin_prefetch(texts[i].data());
            else __builtin_prefetch(&texts[i]);
        },
        count, seed, exclusions);
}

std::vector<Token> Space::get_random_tokens(
    std::int64_t count, std::int64_t seed,
    std::optional<std::vector<std::string>> exclude_words) const {
    std::vector<std::string> exclusions;
    if (exclude_words) exclusions = std::move(*exclude_words);
    if (words) exclusions.insert(exclusions.end(), words->begin(), words->end());

    // The space is never modified, so the walk reads its tokens in place and
    // copies only the ones it selects.
    const std::vector<std::size_t> positions = select(
        tokens.size(), [&](std::size_t i) -> const std::string& { return tokens[i].text; },
        [&](std::size_t i, bool deep) {
            if (deep) __builtin_prefetch(tokens[i].text.data());
            else __builtin_prefetch(&tokens[i]);
        },
        count, seed, exclusions);
    std::vector<Token> selected;
    selected.reserve(positions.size());
    for (std::size_t i : positions) selected.push_back(tokens[i]);
    return selected;
}

}  // namespace orvelle
