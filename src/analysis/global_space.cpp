#include "analysis/global_space.hpp"

#include <algorithm>
#include <unordered_set>

#include "fio/reader/kelvra.hpp"

namespace orvelle {

GlobalSpace read_global_space(const std::vector<std::string>& paths, bool user_friendly,
                              std::optional<std::size_t> pca_dimension) {
    GlobalSpace global;
    if (should_stream(paths)) {
        global.streamed = stream_global_space(paths, user_friendly, pca_dimension);
        global.line_count = global.streamed->line_count;
        return global;
    }
    std::vector<Line> lines = read_corpus(paths, user_friendly);
    global.line_count = lines.size();
    // Only the line count is used after this point, so the lines move into
    // the global space instead of being copied: one copy of the vectors fewer.
    global.reduced = Space::new_reduced(std::move(lines), pca_dimension);
    return global;
}

std::size_t GlobalSpace::size() const { return streamed ? streamed->texts.size() : reduced.space.tokens.size(); }

RankReport GlobalSpace::rank() const {
    return rank_report(streamed ? streamed->reduction : reduced.reduction, size());
}

std::vector<Token> GlobalSpace::draw(std::int64_t count, std::int64_t seed,
                                     const std::optional<std::vector<std::string>>& exclude_words) const {
    if (!streamed) return reduced.space.get_random_tokens(count, seed, exclude_words);
    // The global space has no seed words: the exclusions are the caller's alone.
    return streamed->tokens(
        random_token_positions(streamed->texts, count, seed, exclude_words.value_or(std::vector<std::string>{})));
}

std::vector<Token> GlobalSpace::find(const std::vector<std::string>& words) const {
    return streamed ? streamed->tokens(streamed->find(words)) : reduced.space.find(words);
}

std::size_t GlobalSpace::eligible(const std::optional<std::vector<std::string>>& exclude_words) const {
    std::unordered_set<std::string> out;
    if (exclude_words) out.insert(exclude_words->begin(), exclude_words->end());
    const auto keep = [&](const std::string& text) { return !out.contains(text); };
    if (streamed) return std::size_t(std::count_if(streamed->texts.begin(), streamed->texts.end(), keep));
    return std::size_t(std::count_if(reduced.space.tokens.begin(), reduced.space.tokens.end(),
                                     [&](const Token& t) { return keep(t.text); }));
}

}  // namespace orvelle
