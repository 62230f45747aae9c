#include "analysis/measurement.hpp"

#include "util/cancellation.hpp"
#include "util/panic.hpp"

namespace orvelle {

Measurement run_measurement(MeasureRequest request) {
    if (request.draws == 0) panic("draws must be at least 1");
    AnalysisRequest& a = request.analysis;
    const bool user_friendly = a.user_friendly.value_or(false);
    const std::vector<std::string> paths = request.shards.empty() ? std::vector<std::string>{a.path} : request.shards;
    GlobalSpace global = read_global_space(paths, user_friendly, a.pca_dimension);

    Measurement out;
    out.global_space = global.rank();
    out.line_count = global.line_count;
    const std::int64_t count = a.random_token_num ? random_token_count(*a.random_token_num, global.line_count)
                                                  : default_measure_count(global.line_count);
    out.requested = count;
    out.eligible = global.eligible(a.exclude_words);
    out.absent_seeds = absent_words(global, all_words(a.subspace_seeds));
    out.absent_targets = absent_words(global, request.targets);
    const std::uint64_t seed = std::uint64_t(a.random_token_seed.value_or(1));

    // Found once; each draw expresses copies in its own coordinates.
    const std::vector<std::vector<Token>> found = find_groups(global, a.subspace_seeds);
    const std::vector<Token> target_tokens = global.find(request.targets);
    const bool testing = !request.targets.empty();
    TargetBootstrap boot;
    if (testing) boot = start_target_bootstrap(request.targets, target_tokens, found, request.resamples, seed);

    for (std::size_t d = 0; d < request.draws; ++d) {
        checkpoint();
        DrawResult draw;
        draw.seed = std::int64_t(seed + d);
        ReducedSpace random = Space::new_reduced(global.draw(count, draw.seed, a.exclude_words), std::nullopt);
        draw.random_space = rank_report(random.reduction, random.space.tokens.size());
        if (d == 0 && a.subspace_folder_path)
            random.space.write(*a.subspace_folder_path + "/random_subspace.txt", user_friendly);

        std::vector<Space> spaces = seed_spaces(found, a.subspace_seeds);
        std::vector<std::string> names;
        for (const Space& s : spaces) names.push_back(s.name);
        // The tests need each seed space's tokens by line, in this draw's coordinates.
        std::vector<SeedLines> seed_lines;
        SeedCentres::Seen seen;
        if (testing)
            seen = [&](std::size_t, const std::vector<Token>& t) { seed_lines.push_back(SeedLines::of(t, boot.weights)); };
        SeedCentres seeds = SeedCentres::of(std::move(spaces), &random.reduction, seen);
        const std::vector<Token> expressed = express(random.reduction, target_tokens);
        WordRatios targets = word_ratios(expressed, seeds, request.targets);
        if (testing)
            add_draw(boot,
                     line_effects(expressed, boot.words, std::move(seed_lines), names, seeds, boot.weights,
                                  random.space.tokens),
                     targets, seeds.names);
        if (d == 0) {
            out.spaces = seeds.names;
            out.words = word_ratios(random.space.tokens, seeds);
        }
        Calculator calc = Calculator::new_calculator(random.space.tokens, std::move(seeds));
        for (const auto& [name, v] : calc.bias_sum_average()) draw.mean.push_back(v);
        for (const auto& [name, v] : calc.bias_asb_sum_average()) draw.mean_abs.push_back(v);
        if (d == 0) {
            out.calculator = std::move(calc);
            out.targets = targets;
        }
        draw.target_mean = std::move(targets.mean);
        draw.target_sd = std::move(targets.sd);
        out.draws.push_back(std::move(draw));
    }
    out.target_tests = finish_target_tests(boot);
    return out;
}

}  // namespace orvelle
