#include "analysis/pipeline.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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

std::vector<std::string> all_words(const std::vector<std::vector<std::string>>& groups) {
    std::vector<std::string> words;
    for (const std::vector<std::string>& g : groups) words.insert(words.end(), g.begin(), g.end());
    return words;
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
                   count, global.eligible(request.exclude_words),
                   absent_words(global, all_words(request.subspace_seeds))};

    // Written before the seed spaces are built: it stays on disk when a later
    // step fails.
    random.space.write(folder + "/random_subspace.txt", user_friendly);

    std::vector<std::vector<Token>> found = find_groups(global, request.subspace_seeds);
    global = GlobalSpace{};  // the global space is not needed by the calculator
    std::vector<Space> seeds = seed_spaces(std::move(found), std::move(request.subspace_seeds));
    return Calculator::new_calculator(random.space.tokens, SeedCentres::of(std::move(seeds), &random.reduction));
}

}  // namespace orvelle
