#include "analysis/target_tests.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "util/ordered_table.hpp"
#include "util/student_t.hpp"

namespace orvelle {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::size_t distinct(std::vector<std::size_t> lines) {
    std::sort(lines.begin(), lines.end());
    return std::size_t(std::unique(lines.begin(), lines.end()) - lines.begin());
}

double mean_of(const std::vector<double>& v) {
    double s = 0.0;
    for (double x : v) s = s + x;
    return s / double(v.size());
}

// Sample variance (divisor n - 1) about the mean.
double variance_of(const std::vector<double>& v) {
    const double m = mean_of(v);
    double s = 0.0;
    for (double x : v) s = s + (x - m) * (x - m);
    return s / double(v.size() - 1);
}

}  // namespace

TargetBootstrap start_target_bootstrap(const std::vector<std::string>& words, const std::vector<Token>& targets,
                                       const std::vector<std::vector<Token>>& seeds, std::size_t resamples,
                                       std::uint64_t seed) {
    TargetBootstrap boot;
    OrderedTable<std::size_t> index;
    for (const std::string& w : words)
        if (index.find(w) == nullptr) {
            index.insert(w, index.size());
            boot.words.push_back(w);
        }
    std::vector<std::vector<std::size_t>> by_word(boot.words.size());
    std::vector<std::size_t> lines;
    for (const Token& t : targets) {
        lines.push_back(t.line_index);
        if (const std::size_t* w = index.find(t.text)) by_word[*w].push_back(t.line_index);
    }
    for (auto& word_lines : by_word) {
        boot.tokens.push_back(word_lines.size());
        boot.lines.push_back(distinct(std::move(word_lines)));
    }
    boot.seed_lines = std::numeric_limits<std::size_t>::max();
    for (const auto& group : seeds) {
        std::vector<std::size_t> group_lines;
        for (const Token& t : group) group_lines.push_back(t.line_index);
        lines.insert(lines.end(), group_lines.begin(), group_lines.end());
        boot.seed_lines = std::min(boot.seed_lines, distinct(std::move(group_lines)));
    }
    boot.weights = ResampleWeights::of(std::move(lines), resamples, seed);
    return boot;
}

void add_draw(TargetBootstrap& boot, const DrawEffects& effects, const WordRatios& ratios,
              const std::vector<std::string>& spaces) {
    const std::size_t rows = effects.pairs.size() * boot.words.size(), B = boot.weights.resamples;
    if (boot.draws == 0) {
        boot.spaces = spaces;
        boot.replicates.assign(rows * B, 0.0);
        boot.within.assign(rows, 0.0);
        boot.estimates.assign(rows, {});
        boot.token_var.assign(rows, 0.0);
    }
    ++boot.draws;
    std::vector<double> reps(rows * B, 0.0), valid;
    add_replicates(effects, boot.weights, reps);
    for (std::size_t row = 0; row < rows; ++row) {
        valid.clear();
        for (std::size_t b = 0; b < B; ++b) {
            const double v = reps[row * B + b];
            boot.replicates[row * B + b] = boot.replicates[row * B + b] + v;
            if (std::isfinite(v)) valid.push_back(v);
        }
        boot.within[row] = boot.within[row] + (valid.size() >= 2 ? variance_of(valid) : kNaN);
    }
    for (std::size_t p = 0; p < effects.pairs.size(); ++p) {
        const auto [s, o] = effects.pairs[p];
        for (std::size_t w = 0; w < boot.words.size(); ++w) {
            const std::size_t row = p * boot.words.size() + w;
            boot.estimates[row].push_back(ratios.mean[s][w] - ratios.mean[o][w]);
            boot.token_var[row] = boot.token_var[row] + effects.targets[w].token_var[p];
        }
    }
}

std::vector<TargetTest> finish_target_tests(const TargetBootstrap& boot) {
    std::vector<TargetTest> out;
    if (boot.draws == 0) return out;
    const std::size_t B = boot.weights.resamples, words = boot.words.size();
    const double draws = double(boot.draws);
    const double level = 0.95;
    const auto pairs = space_pairs(boot.spaces.size());
    std::vector<double> reps;
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        for (std::size_t w = 0; w < words; ++w) {
            const std::size_t row = p * words + w;
            TargetTest t;
            t.word = boot.words[w];
            t.space = boot.spaces[pairs[p].first];
            t.other = boot.spaces[pairs[p].second];
            t.tokens = boot.tokens[w];
            t.lines = boot.lines[w];
            const std::vector<double>& est = boot.estimates[row];
            t.estimate = mean_of(est);
            t.effect_size = t.estimate / std::sqrt(boot.token_var[row] / draws);
            reps.clear();
            for (std::size_t b = 0; b < B; ++b) {
                const double r = boot.replicates[row * B + b] / draws;
                if (std::isfinite(r)) reps.push_back(r);
            }
            const std::size_t L = std::min(t.lines, boot.seed_lines);
            t.ci_low = t.ci_high = t.p = kNaN;
            if (L >= 2 && reps.size() >= 2 && std::isfinite(t.estimate)) {
                const double l = double(L), scale = l / (l - 1.0), sentences = variance_of(reps);
                // The draws' spread beyond the sentences: their variance less the
                // resamples' own spread between draws (mean within, less that of the mean).
                double beyond = 0.0;
                if (boot.draws > 1) {
                    const double between = boot.within[row] / draws - sentences;
                    beyond = std::max(0.0, variance_of(est) - draws / (draws - 1.0) * scale * between);
                }
                const double se = std::sqrt(scale * sentences + beyond / draws);
                const double half = student_t_central(level, l - 1.0) * se;
                t.ci_low = t.estimate - half;
                t.ci_high = t.estimate + half;
                t.p = student_t_two_sided(t.estimate / se, l - 1.0);
            }
            out.push_back(std::move(t));
        }
    }
    std::vector<double> p(out.size());
    for (std::size_t i = 0; i < out.size(); ++i) p[i] = out[i].p;
    const std::vector<double> q = bh_q_values(p);
    for (std::size_t i = 0; i < out.size(); ++i) out[i].q = q[i];
    return out;
}

std::vector<double> bh_q_values(const std::vector<double>& p) {
    std::vector<double> q(p.size(), kNaN);
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < p.size(); ++i)
        if (!std::isnan(p[i])) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return p[a] < p[b]; });
    const double m = double(order.size());
    double running = 1.0;
    for (std::size_t k = order.size(); k-- > 0;) {
        running = std::min(running, p[order[k]] * m / double(k + 1));
        q[order[k]] = running;
    }
    return q;
}

}  // namespace orvelle
