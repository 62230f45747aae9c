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

}  // namespace

std::vector<Token> Space::get_random_tokens(
    std::int64_t count, std::int64_t seed,
    std::optional<std::vector<std::string>> exclude_words) const {
    std::vector<std::string> exclusions;
    if (exclude_words) exclusions = std::move(*exclude_words);
    if (words) exclusions.insert(exclusions.end(), words->begin(), words->end());

    // Every draw happens here, over all n indexes: the order depends on n and
    // the seed alone, never on count or the exclusions.
    const std::vector<std::uint32_t> index =
        shuffled_indexes(tokens.size(), static_cast<std::uint64_t>(seed));

    // The space is never modified, so the walk reads its tokens in place and
    // copies only the ones it selects.
    std::vector<Token> selected;
    const auto wanted = static_cast<std::uint64_t>(count);  // <= 0 never matches
    if (count > 0) selected.reserve(std::min<std::uint64_t>(wanted, index.size()));
    std::uint64_t taken = 0;
    constexpr std::size_t kAhead = 16;  // random reads over a large space miss the cache
    for (std::size_t j = 0; j < index.size(); ++j) {
        if (j + kAhead < index.size()) __builtin_prefetch(&tokens[index[j + kAhead]]);
        if (j + kAhead / 2 < index.size())
            __builtin_prefetch(tokens[index[j + kAhead / 2]].text.data());
        const Token& t = tokens[index[j]];
        if (excluded(exclusions, t.text)) continue;
        selected.push_back(t);
        if (++taken == wanted) break;
    }
    return selected;
}

}  // namespace orvelle
