#include "pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "fio/reader/kelvra.hpp"

namespace orvelle {

std::int64_t random_token_count(double ratio, std::size_t lines) {
    double product = ratio * static_cast<double>(lines);
    if (std::isnan(product)) return 0;
    constexpr double two63 = 9223372036854775808.0;
    if (product >= two63) return std::numeric_limits<std::int64_t>::max();
    if (product <= -two63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(product);  // truncates toward zero
}

std::int64_t default_measure_count(std::size_t lines) {
    return std::max(random_token_count(0.8, lines), std::int64_t(4 * kRandomComponents));
}

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

std::vector<std::vector<Token>> find_groups(const Space& global, const std::vector<std::vector<std::string>>& groups) {
    std::vector<std::vector<Token>> found;
    found.reserve(groups.size());
    for (const std::vector<std::string>& group : groups) found.push_back(global.find(group));
    return found;
}

std::vector<std::vector<Token>> find_groups(const GlobalSpace& global,
                                            const std::vector<std::vector<std::string>>& groups) {
    std::vector<std::vector<Token>> found;
    found.reserve(groups.size());
    for (const std::vector<std::string>& group : groups) found.push_back(global.find(group));
    return found;
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

std::vector<Space> seed_spaces(std::vector<std::vector<Token>> found, std::vector<std::vector<std::string>> groups) {
    std::vector<Space> spaces;
    spaces.reserve(groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g)
        spaces.push_back(Space::new_space(std::move(found[g]), std::move(groups[g]), std::nullopt));
    return spaces;
}

Calculator run_analysis(AnalysisRequest request, AnalysisReport* report) {
    const bool user_friendly = request.user_friendly.value_or(false);
    GlobalSpace global = read_global_space({request.path}, user_friendly, request.pca_dimension);

    const std::int64_t count = random_token_count(request.random_token_num.value_or(0.8), global.line_count);
    const std::int64_t seed = request.random_token_seed.value_or(1);
    std::vector<Token> drawn = global.draw(count, seed, request.exclude_words);

    const std::string folder = request.subspace_folder_path.value_or("./");
    ReducedSpace random = Space::new_reduced(std::move(drawn), std::nullopt);
    if (report)
        *report = {global.rank(), rank_report(random.reduction, random.space.tokens.size()), global.line_count,
                   count, global.eligible(request.exclude_words)};

    // Written before the seed spaces are built: it stays on disk when a later
    // step fails.
    random.space.write(folder + "/random_subspace.txt", user_friendly);

    std::vector<std::vector<Token>> found = find_groups(global, request.subspace_seeds);
    global = GlobalSpace{};  // the global space is not needed by the calculator
    std::vector<Space> seeds = seed_spaces(std::move(found), std::move(request.subspace_seeds));
    return Calculator::new_calculator(random.space.tokens, SeedCentres::of(std::move(seeds), &random.reduction));
}

}  // namespace orvelle
