#include "pipeline.hpp"

#include <cmath>
#include <limits>

#include "fio/reader/kelvra.hpp"
#include "space/space.hpp"

namespace orvelle {

std::int64_t random_token_count(double ratio, std::size_t lines) {
    double product = ratio * static_cast<double>(lines);
    if (std::isnan(product)) return 0;
    constexpr double two63 = 9223372036854775808.0;
    if (product >= two63) return std::numeric_limits<std::int64_t>::max();
    if (product <= -two63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(product);  // truncates toward zero
}

Calculator run_analysis(AnalysisRequest request) {
    const bool user_friendly = request.user_friendly.value_or(false);

    std::vector<Line> lines = KelvraReader{}.read(request.path, user_friendly);
    const std::size_t line_count = lines.size();

    // Only the line count is used after this point, so the lines move into
    // the global space instead of being copied: one copy of the vectors fewer.
    Space global = Space::new_space(std::move(lines), std::nullopt, request.pca_dimension);

    const std::int64_t count = random_token_count(request.random_token_num.value_or(0.8), line_count);
    const std::int64_t seed = request.random_token_seed.value_or(1);
    std::vector<Token> drawn = global.get_random_tokens(count, seed, std::move(request.exclude_words));

    const std::string folder = request.subspace_folder_path.value_or("./");
    Space random_space = Space::new_space(std::move(drawn), std::nullopt, std::nullopt);

    // Written before the seed spaces are built: it stays on disk when a later
    // step fails.
    random_space.write(folder + "/random_subspace.txt", user_friendly);

    std::vector<Space> seed_spaces;
    seed_spaces.reserve(request.subspace_seeds.size());
    for (std::vector<std::string>& group : request.subspace_seeds) {
        std::vector<Token> found = global.find(group);
        seed_spaces.push_back(Space::new_space(std::move(found), std::move(group), std::nullopt));
    }
    global = Space{};  // the global space is not needed by the calculator

    return Calculator::new_calculator(std::move(random_space), std::move(seed_spaces));
}

}  // namespace orvelle
