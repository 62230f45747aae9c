#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "analysis/line_effects.hpp"
#include "analysis/target_tests.hpp"
#include "calc_support.hpp"
#include "space/word_ratios.hpp"
#include "util/student_t.hpp"

namespace orvelle {
namespace {

// Reference values from an independent implementation (SciPy's t distribution).
TEST(StudentT, MatchesReferenceTailsAndQuantiles) {
    struct Tail { double t, df, p; };
    for (const Tail& c : {Tail{2.0, 10, 0.07338803477074037}, Tail{1.0, 1, 0.5}, Tail{3.0, 5, 0.030099247897462586},
                          Tail{0.5, 2, 0.6666666666666667}, Tail{-10.0, 3, 0.0021283990584141503},
                          Tail{2.5, 100000, 0.012420919192559051}, Tail{40.0, 30, 1.3726045194406417e-27}})
        EXPECT_NEAR(student_t_two_sided(c.t, c.df) / c.p, 1.0, 1e-9) << c.t << " " << c.df;
    struct Quantile { double df, q; };
    for (const Quantile& c : {Quantile{1, 12.706204736174694}, Quantile{2, 4.302652729749462},
                              Quantile{10, 2.228138851986274}, Quantile{29, 2.045229642132703},
                              Quantile{1000, 1.9623390808264083}, Quantile{100000, 1.9599877075346095}})
        EXPECT_NEAR(student_t_central(0.95, c.df) / c.q, 1.0, 1e-10) << c.df;
    EXPECT_EQ(student_t_two_sided(0.0, 4), 1.0);
    EXPECT_EQ(student_t_two_sided(INFINITY, 4), 0.0);
}

TEST(BenjaminiHochberg, AdjustsSortedPValuesAndKeepsNaN) {
    const double nan = std::nan("");
    const std::vector<double> q = bh_q_values({0.01, 0.04, 0.03, 0.005, nan, 0.5});
    const std::vector<double> want = {0.025, 0.05, 0.05, 0.025, nan, 0.5};
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(want[i])) EXPECT_TRUE(std::isnan(q[i]));
        else EXPECT_NEAR(q[i], want[i], 1e-15) << i;
    }
}

TEST(ResampleWeights, PoissonOneCountsFixedByLineAlone) {
    double sum = 0, sq = 0, zeros = 0;
    const std::size_t n = 200000;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = poisson_weight(7, i % 1000, i / 1000);
        sum += w;
        sq += w * w;
        zeros += w == 0;
    }
    EXPECT_NEAR(sum / n, 1.0, 0.01);
    EXPECT_NEAR(sq / n - (sum / n) * (sum / n), 1.0, 0.02);
    EXPECT_NEAR(zeros / n, std::exp(-1.0), 0.005);
    // A line's count does not depend on the other lines held.
    const ResampleWeights a = ResampleWeights::of({5, 9, 2}, 50, 3), b = ResampleWeights::of({9, 1000}, 50, 3);
    for (std::size_t r = 0; r < 50; ++r) EXPECT_EQ(a.row(a.position(9))[r], b.row(b.position(9))[r]);
    EXPECT_NE(std::vector<std::uint8_t>(a.row(0), a.row(0) + 50), std::vector<std::uint8_t>(a.row(1), a.row(1) + 50));
}

Token at(std::string text, std::size_t line, std::vector<double> v) {
    Token t = test::token(std::move(text), std::move(v));
    t.line_index = line;
    return t;
}

// Seed groups "a" (lines 1000...) and "b" (lines 2000...), each line holding
// one or two tokens around its group's centre, noise `seed_noise`; target
// "w", one token per line on lines 0...; vectors `width` wide.
struct Corpus {
    std::vector<std::vector<Token>> seeds{2};
    std::vector<Token> targets;
    std::vector<Token> drawn;  // the random space's tokens; none holds the space fixed

    Corpus(std::size_t seed_lines, double seed_noise, std::size_t target_lines, std::uint64_t rng_seed,
           std::size_t width = 6) {
        std::mt19937_64 rng(rng_seed);
        std::normal_distribution<double> g;
        auto around = [&](std::vector<double> v, double noise) {
            v.resize(width, 0.0);
            for (double& x : v) x += noise * g(rng);
            return v;
        };
        for (std::size_t s = 0; s < 2; ++s)
            for (std::size_t l = 0; l < seed_lines; ++l)
                for (std::size_t k = 0; k < 1 + l % 2; ++k)
                    seeds[s].push_back(at(s ? "b" : "a", (s + 1) * 1000 + l, around(s ? std::vector<double>{1, 3, 1} : std::vector<double>{3, 1, 1}, seed_noise)));
        for (std::size_t l = 0; l < target_lines; ++l) targets.push_back(at("w", l, around({2, 2, 1}, 1.0)));
    }

    std::vector<std::size_t> lines() const {
        std::vector<std::size_t> out;
        for (const auto& g : seeds)
            for (const Token& t : g) out.push_back(t.line_index);
        for (const Token& t : targets) out.push_back(t.line_index);
        for (const Token& t : drawn) out.push_back(t.line_index);
        return out;
    }

    // Each line's tokens repeated as often as resample b counts the line.
    Corpus resampled(const ResampleWeights& w, std::size_t b) const {
        Corpus out = *this;
        auto repeat = [&](std::vector<Token>& tokens) {
            std::vector<Token> kept;
            for (const Token& t : tokens)
                for (std::size_t k = 0; k < w.row(w.position(t.line_index))[b]; ++k) kept.push_back(t);
            tokens = std::move(kept);
        };
        for (auto& g : out.seeds) repeat(g);
        repeat(out.targets);
        repeat(out.drawn);
        return out;
    }

    struct Draw {
        SeedCentres seeds;
        DrawEffects effects;
        WordRatios ratios;
    };
    Draw draw(const ResampleWeights& weights) const {
        std::vector<Space> spaces;
        spaces.push_back(Space::new_space(seeds[0], std::vector<std::string>{"a"}, std::nullopt));
        spaces.push_back(Space::new_space(seeds[1], std::vector<std::string>{"b"}, std::nullopt));
        std::vector<SeedLines> lines;
        SeedCentres centres = SeedCentres::of(std::move(spaces), nullptr, [&](std::size_t, const std::vector<Token>& t) {
            lines.push_back(SeedLines::of(t, weights));
        });
        WordRatios ratios = word_ratios(targets, centres, {"w"});
        DrawEffects effects =
            line_effects(targets, {"w"}, std::move(lines), {"Space of a", "Space of b"}, centres, weights, drawn);
        return {std::move(centres), std::move(effects), std::move(ratios)};
    }

    TargetTest test(std::size_t resamples) const {
        TargetBootstrap boot = start_target_bootstrap({"w"}, targets, seeds, resamples, 11);
        Draw d = draw(boot.weights);
        add_draw(boot, d.effects, d.ratios, d.seeds.names);
        return finish_target_tests(boot).at(0);
    }
};

// Seed lines all alike leave the centres where they are: the interval is the
// classical one for the mean of independent lines, mean +- t(L-1) s / sqrt(L)
// (the seed spaces hold more lines than the target, so L is its line count).
TEST(TargetTests, WithFixedCentresTheIntervalIsStudentsForTheLineMean) {
    const std::size_t L = 200;
    const Corpus c(250, 0.0, L, 1);
    const Corpus::Draw d = c.draw(ResampleWeights::of(c.lines(), 0, 0));
    std::vector<double> diff;
    for (const Token& t : c.targets)
        diff.push_back(cos_similarity(t.embedding, d.seeds.centres[0]) / d.seeds.divisors[0] -
                       cos_similarity(t.embedding, d.seeds.centres[1]) / d.seeds.divisors[1]);
    double mean = 0, ss = 0;
    for (double x : diff) mean += x / L;
    for (double x : diff) ss += (x - mean) * (x - mean);
    const double se = std::sqrt(ss / (L - 1) / L);

    const TargetTest t = c.test(20000);
    EXPECT_NEAR(t.estimate, mean, 1e-12);
    EXPECT_NEAR((t.ci_high - t.ci_low) / 2 / (student_t_central(0.95, L - 1) * se), 1.0, 0.03);
    EXPECT_NEAR(t.p / student_t_two_sided(mean / se, L - 1), 1.0, 0.1);
    EXPECT_LE(t.p, t.q);
    EXPECT_EQ(t.tokens, L);
    EXPECT_EQ(t.lines, L);
    EXPECT_NEAR(t.effect_size, mean / std::sqrt(ss / (L - 1)), 1e-9);
}

// A resample's difference, with the centres' shift taken to first order,
// against the analysis redone on the resampled tokens.
TEST(TargetTests, ResampledDifferenceFollowsTheRecomputedAnalysis) {
    const Corpus c(300, 0.3, 50, 2);
    ResampleWeights w = ResampleWeights::of(c.lines(), 1, 0);
    std::mt19937_64 rng(3);
    for (std::uint8_t& k : w.count) k = std::uint8_t(rng() % 3);

    const Corpus::Draw d = c.draw(w);
    std::vector<double> sums(1, 0.0);
    add_replicates(d.effects, w, sums);
    const Corpus::Draw exact = c.resampled(w, 0).draw(ResampleWeights::of(c.lines(), 0, 0));

    const double before = d.ratios.mean[0][0] - d.ratios.mean[1][0];
    const double after = exact.ratios.mean[0][0] - exact.ratios.mean[1][0];
    ASSERT_GT(std::fabs(after - before), 1e-3);
    EXPECT_NEAR(sums[0], after, 0.02 * std::fabs(after - before));
}

// Targets all alike leave the centres as the only source of uncertainty: the
// interval's standard error is the spread of the analysis redone on the
// resampled lines.
TEST(TargetTests, SeedLinesAloneGiveTheSpreadOfTheRecomputedAnalysis) {
    Corpus c(40, 1.0, 30, 4);
    for (Token& t : c.targets) t.embedding = c.targets.front().embedding;
    const std::size_t B = 300, L = 30;
    const TargetTest t = c.test(B);
    const ResampleWeights w = ResampleWeights::of(c.lines(), B, 11);
    std::vector<double> exact;
    for (std::size_t b = 0; b < B; ++b) {
        const Corpus::Draw d = c.resampled(w, b).draw(ResampleWeights::of(c.lines(), 0, 0));
        exact.push_back(d.ratios.mean[0][0] - d.ratios.mean[1][0]);
    }
    double mean = 0, ss = 0;
    for (double x : exact) mean += x / B;
    for (double x : exact) ss += (x - mean) * (x - mean);
    const double se = (t.ci_high - t.ci_low) / 2 / student_t_central(0.95, L - 1) / std::sqrt(L / (L - 1.0));
    EXPECT_NEAR(se / std::sqrt(ss / (B - 1)), 1.0, 0.1);
}

// Coordinates in which `drawn` has mean 0 and covariance I (divisor n), as a
// random space keeping every component gives them: x -> L^-1 (x - mean), L
// the Cholesky factor of the covariance.
std::vector<Token> whitened(std::vector<Token> tokens, const std::vector<Token>& drawn) {
    const std::size_t n = drawn.size(), d = drawn.front().embedding.size();
    std::vector<double> mean(d, 0.0), cov(d * d, 0.0), l(d * d, 0.0);
    for (const Token& t : drawn)
        for (std::size_t i = 0; i < d; ++i) mean[i] += t.embedding[i] / n;
    for (const Token& t : drawn)
        for (std::size_t i = 0; i < d; ++i)
            for (std::size_t j = 0; j < d; ++j) cov[i * d + j] += (t.embedding[i] - mean[i]) * (t.embedding[j] - mean[j]) / n;
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            double v = cov[i * d + j];
            for (std::size_t k = 0; k < j; ++k) v -= l[i * d + k] * l[j * d + k];
            l[i * d + j] = i == j ? std::sqrt(v) : v / l[j * d + j];
        }
    for (Token& t : tokens) {
        std::vector<double> y(d);
        for (std::size_t i = 0; i < d; ++i) {
            double v = t.embedding[i] - mean[i];
            for (std::size_t k = 0; k < i; ++k) v -= l[i * d + k] * y[k];
            y[i] = v / l[i * d + i];
        }
        t.embedding = y;
    }
    return tokens;
}

// The same corpus in the coordinates of a random space fitted to its drawn tokens.
Corpus in_random_space(const Corpus& c) {
    Corpus out = c;
    for (auto& g : out.seeds) g = whitened(g, c.drawn);
    out.targets = whitened(c.targets, c.drawn);
    out.drawn = whitened(c.drawn, c.drawn);
    return out;
}

// The random space is fitted to lines' tokens too: a resample refits it. With
// a few filler lines counted twice or not at all (seed and target tokens
// untouched), the first-order refit follows the analysis redone in a space
// fitted to the reweighted drawn tokens; holding the space fixed predicts no
// change.
TEST(TargetTests, ResampledSpaceFollowsTheRecomputedAnalysis) {
    const std::size_t width = 64;
    Corpus c(400, 0.4, 60, 8, width);
    std::mt19937_64 rng(9);
    std::normal_distribution<double> g;
    for (std::size_t l = 0; l < 600; ++l)
        for (std::size_t k = 0; k < 2; ++k) {
            std::vector<double> v(width);
            for (std::size_t i = 0; i < width; ++i) v[i] = (1.0 + double(i % 6)) * g(rng);
            c.drawn.push_back(at("filler", 5000 + l, v));
        }
    // Some seed and target tokens are drawn too, as in a real draw.
    for (std::size_t k = 0; k < c.seeds[0].size(); k += 4) c.drawn.push_back(c.seeds[0][k]), c.drawn.push_back(c.seeds[1][k]);
    for (std::size_t k = 0; k < c.targets.size(); k += 4) c.drawn.push_back(c.targets[k]);
    auto count = [](std::size_t line) { return line < 5000 ? 1 : (line - 5000) % 40 == 0 ? 2 : (line - 5000) % 40 == 20 ? 0 : 1; };

    ResampleWeights w = ResampleWeights::of(c.lines(), 1, 0);
    for (std::uint8_t& k : w.count) k = 1;
    const Corpus space = in_random_space(c);  // holds the drawn rows the effects point at
    Corpus::Draw d = space.draw(w);
    for (std::size_t l = 0; l < d.effects.drawn.weights.lines.size(); ++l)
        d.effects.drawn.weights.count[l] = std::uint8_t(count(d.effects.drawn.weights.lines[l]));
    std::vector<double> refit(1, 0.0), unmoved(1, 0.0);
    add_replicates(d.effects, w, refit);
    for (std::uint8_t& k : d.effects.drawn.weights.count) k = 1;
    add_replicates(d.effects, w, unmoved);

    Corpus reweighted = c;
    reweighted.drawn.clear();
    for (const Token& t : c.drawn)
        for (int k = 0; k < count(t.line_index); ++k) reweighted.drawn.push_back(t);
    const Corpus again = in_random_space(reweighted);
    const Corpus::Draw exact = again.draw(ResampleWeights::of(c.lines(), 0, 0));
    const double before = d.ratios.mean[0][0] - d.ratios.mean[1][0];
    const double after = exact.ratios.mean[0][0] - exact.ratios.mean[1][0];
    ASSERT_GT(std::fabs(after - before), 1e-4);
    EXPECT_NEAR(refit[0] - unmoved[0], after - before, 0.15 * std::fabs(after - before));
}

// Draws add what their differences vary by beyond the sentences: nothing for
// the same draw twice; for two draws whose resamples agree but whose
// differences lie h either side, h squared to the squared standard error.
TEST(TargetTests, DrawsAddTheirSpreadBeyondTheSentences) {
    const Corpus c(40, 0.5, 30, 6);
    const std::vector<std::string> names = {"Space of a", "Space of b"};
    auto half_width = [&](const std::vector<double>& shifts) {
        TargetBootstrap boot = start_target_bootstrap({"w"}, c.targets, c.seeds, 500, 3);
        const Corpus::Draw d = c.draw(boot.weights);
        for (double h : shifts) {
            WordRatios ratios = d.ratios;
            ratios.mean[0][0] += h;
            add_draw(boot, d.effects, ratios, names);
        }
        const TargetTest t = finish_target_tests(boot).at(0);
        return (t.ci_high - t.ci_low) / 2;
    };
    const double single = half_width({0.0}), q = student_t_central(0.95, 29), h = 0.01;
    EXPECT_NEAR(half_width({0.0, 0.0}), single, 1e-12);
    EXPECT_NEAR(half_width({h, -h}) / q, std::sqrt(single * single / (q * q) + h * h), 1e-12);
}

TEST(TargetTests, ReplicatesAreTheSameOnEveryThreadCount) {
    Corpus c(50, 0.5, 90, 5);
    const std::vector<std::string> words = {"w", "v", "u", "absent"};
    for (std::size_t i = 0; i < c.targets.size(); ++i) c.targets[i].text = words[i % 3];
    const ResampleWeights w = ResampleWeights::of(c.lines(), 64, 9);
    const Corpus::Draw d = c.draw(w);
    const DrawEffects e = line_effects(c.targets, words, d.effects.seeds, {"Space of a", "Space of b"}, d.seeds, w, {});
    std::vector<double> one(words.size() * 64, 0.0);
    add_replicates(e, w, one, 1);
    for (unsigned threads : {2u, 3u, 5u}) {
        std::vector<double> many(one.size(), 0.0);
        add_replicates(e, w, many, threads);
        EXPECT_EQ(std::memcmp(one.data(), many.data(), one.size() * sizeof(double)), 0) << threads;
    }
    EXPECT_TRUE(std::isnan(one.back()));  // a word without tokens
}

}  // namespace
}  // namespace orvelle
