#include "analysis/line_effects.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "linalg/parallel.hpp"
#include "space/geometry.hpp"
#include "space/similarity_table.hpp"
#include "util/ordered_table.hpp"

namespace orvelle {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double dot(const double* a, const double* b, std::size_t n) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + a[i] * b[i];
    return s;
}

// out[j][k] = dot(row(k), v[j], n) for k < rows: four rows at a time, every
// product its own accumulator added in dot()'s order, so the bits are dot()'s
// and only the independent chains overlap.
template <std::size_t N, class Row>
void row_dots(std::size_t rows, Row row, const std::array<const double*, N>& v, std::size_t n,
              const std::array<double*, N>& out) {
    std::size_t k = 0;
    for (; k + 4 <= rows; k += 4) {
        const double* r[4] = {row(k), row(k + 1), row(k + 2), row(k + 3)};
        double s[4][N] = {};
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t q = 0; q < 4; ++q)
                for (std::size_t j = 0; j < N; ++j) s[q][j] = s[q][j] + r[q][i] * v[j][i];
        for (std::size_t q = 0; q < 4; ++q)
            for (std::size_t j = 0; j < N; ++j) out[j][k + q] = s[q][j];
    }
    for (; k < rows; ++k)
        for (std::size_t j = 0; j < N; ++j) out[j][k] = dot(row(k), v[j], n);
}

// The drawn rows' products with each of a worker's words' vectors: the unit
// mean T, then per pair the two vectors of the norms' refit. Rows go in
// blocks of kBlock, transposed so that the lanes take different rows; each
// product is still summed from 0 in increasing index, dot()'s order, and a
// block is read from cache once for every word rather than memory once per word.
constexpr std::size_t kBlock = 32;

std::vector<double> drawn_products(const DrawnLines& d, const std::vector<TargetLines>& targets, std::size_t first,
                                   std::size_t last, std::size_t pairs, std::size_t width) {
    const std::size_t rows = d.rows.size(), per_word = 1 + 2 * pairs;
    std::vector<double> out((last - first) * per_word * rows, 0.0), tile(width * kBlock);
    for (std::size_t k0 = 0; k0 < rows; k0 += kBlock) {
        const std::size_t c = std::min(kBlock, rows - k0);
        for (std::size_t q = 0; q < c; ++q)
            for (std::size_t i = 0; i < width; ++i) tile[i * kBlock + q] = d.rows[k0 + q][i];
        for (std::size_t w = first; w < last; ++w) {
            const TargetLines& t = targets[w];
            if (t.tokens == 0) continue;
            for (std::size_t j = 0; j < per_word; ++j) {
                const double* v = j == 0 ? t.unit.data()
                                         : (j % 2 ? t.norm_along[(j - 1) / 2] : t.norm_inverse[(j - 1) / 2]).data();
                double acc[kBlock] = {};
                for (std::size_t i = 0; i < width; ++i) {
                    const double* z = tile.data() + i * kBlock;
                    for (std::size_t q = 0; q < kBlock; ++q) acc[q] = acc[q] + z[q] * v[i];
                }
                std::copy(acc, acc + c, out.data() + ((w - first) * per_word + j) * rows + k0);
            }
        }
    }
    return out;
}

// Indexes 0..n-1 ordered by line position, token order kept within a line.
template <class At>
std::vector<std::size_t> by_line(std::size_t n, At at) {
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return at(a) < at(b); });
    return order;
}

// The geometry every target's gradient shares: the ideal centre and, per
// named space, its centre's seed space and product with the ideal centre.
struct Ideal {
    std::vector<double> m;
    double norm2 = 0.0, norm = 0.0;
    std::vector<std::size_t> space_of;  // per name: the last seed space carrying it
    std::vector<double> cm;             // per name: C_s . m
};

Ideal ideal_of(const std::vector<SeedLines>& lines, const std::vector<std::string>& names, const SeedCentres& seeds) {
    Ideal g;
    const std::size_t width = seeds.width, nc = lines.size();
    g.m.assign(width, 0.0);
    for (const SeedLines& s : lines)
        for (std::size_t i = 0; i < width; ++i) g.m[i] = g.m[i] + s.centre[i];
    for (std::size_t i = 0; i < width; ++i) g.m[i] = g.m[i] / double(nc);
    g.norm2 = dot(g.m.data(), g.m.data(), width);
    g.norm = std::sqrt(g.norm2);
    for (std::size_t s = 0; s < seeds.names.size(); ++s) {
        std::size_t j = 0;
        for (std::size_t k = 0; k < names.size(); ++k)
            if (names[k] == seeds.names[s]) j = k;
        g.space_of.push_back(j);
        g.cm.push_back(dot(seeds.centres[s].data(), g.m.data(), width));
    }
    return g;
}

// dR_s/dc_j for a target of ratio r and mean unit vector `unit`, written to out.
void ratio_gradient(const Ideal& g, const SeedCentres& seeds, std::size_t s, std::size_t j, std::size_t spaces,
                    double r, const std::vector<double>& unit, double* out) {
    const std::size_t width = seeds.width;
    const double* c = seeds.centres[s].data();
    const double a = r / (g.norm2 * double(spaces)), b = r / (g.cm[s] * double(spaces));
    for (std::size_t i = 0; i < width; ++i) out[i] = a * g.m[i] - b * c[i];
    if (j != g.space_of[s]) return;
    const double own = g.norm / g.cm[s], along = r / g.norm;
    for (std::size_t i = 0; i < width; ++i) out[i] = out[i] + own * (unit[i] - along * g.m[i]);
}

DrawnLines drawn_lines(const std::vector<Token>& drawn, const SeedCentres& seeds, const std::vector<double>& m,
                       const ResampleWeights& weights) {
    DrawnLines out;
    std::vector<std::size_t> lines;
    lines.reserve(drawn.size());
    for (const Token& t : drawn) lines.push_back(t.line_index);
    out.weights = ResampleWeights::of(lines, weights.resamples, weights.seed);
    std::vector<std::size_t> at(drawn.size());
    for (std::size_t k = 0; k < drawn.size(); ++k) at[k] = out.weights.position(drawn[k].line_index);
    const std::vector<std::size_t> order = by_line(drawn.size(), [&](std::size_t k) { return at[k]; });
    out.first.assign(out.weights.lines.size() + 1, 0);
    for (const std::size_t k : order) {
        ++out.first[at[k] + 1];
        out.rows.push_back(drawn[k].embedding.data());
    }
    for (std::size_t l = 0; l + 1 < out.first.size(); ++l) out.first[l + 1] += out.first[l];
    const std::size_t width = seeds.width;
    out.zc.assign(seeds.centres.size(), std::vector<double>(out.rows.size()));
    out.zm.resize(out.rows.size());
    for (std::size_t r = 0; r < out.rows.size(); ++r) {
        for (std::size_t s = 0; s < seeds.centres.size(); ++s) out.zc[s][r] = dot(out.rows[r], seeds.centres[s].data(), width);
        out.zm[r] = dot(out.rows[r], m.data(), width);
    }
    return out;
}

// Per drawn token z, the first-order change of the pair's difference when the
// random space's mean moves by z and its covariance by zz' - I: the tokens'
// norms' term, then minus, for each space s, dmu.g_s + <A_s, C_s> +
// R_s <m, m> / (2 |m|^2) - R_s <C_s, m> / C_s.m evaluated on z, with
// A_s = |m| T / C_s.m (constants dropped: every resample shares them).
void refit_terms(const DrawEffects& e, const TargetLines& t, std::size_t pair, const double* zt, const double* zv,
                 const double* zu, std::vector<double>& out) {
    const DrawnLines& d = e.drawn;
    const double m2 = e.ideal_norm2, norm = std::sqrt(m2);
    // The tokens' norms: (S (z.T)^2 + 2 (z.T)(z.V)) / 2n + z.U / n.
    const double n = double(t.tokens), s_half = t.norm_sum[pair] / (2.0 * n);
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = s_half * zt[k] * zt[k] + zt[k] * zv[k] / n + zu[k] / n;
    for (const std::size_t s : {e.pairs[pair].first, e.pairs[pair].second}) {
        const double sign = s == e.pairs[pair].first ? 1.0 : -1.0;
        const double cm = e.centre_ideal[s], r = t.ratio[s], a = norm / cm;
        const double on_c = a * t.inverse_norm - r / cm, on_m = r / m2 - r / cm;
        const double ac = a * t.unit_centre[s], half = r / (2.0 * m2), across = r / cm;
        const std::vector<double>& zc = d.zc[s];
        for (std::size_t k = 0; k < out.size(); ++k) {
            const double shift = a * zt[k] + on_c * zc[k] + on_m * d.zm[k];
            const double spread = a * zt[k] * zc[k] - ac + half * (d.zm[k] * d.zm[k] - m2) - across * (zc[k] * d.zm[k] - cm);
            out[k] = out[k] - sign * (shift + spread);
        }
    }
}

// One word's lines, means and gradients, from its tokens' rows (file order).
struct Words {
    const std::vector<const double*>& rows;
    const std::vector<std::size_t>& at;  // per row: its line's position
    const std::vector<double>& sims;     // [space * rows + row]
    const SeedCentres& seeds;
    const Ideal& ideal;
    const std::vector<std::pair<std::size_t, std::size_t>>& pairs;
    std::size_t seed_spaces;

    double ratio(std::size_t s, std::size_t r) const { return sims[s * rows.size() + r] / seeds.divisors[s]; }
    TargetLines lines(const std::vector<std::size_t>& tokens) const;
};

TargetLines Words::lines(const std::vector<std::size_t>& tokens) const {
    const std::size_t width = seeds.width, spaces = seeds.names.size(), nc = seed_spaces;
    std::vector<double> unit(width), grad(width), grad_other(width);
    TargetLines t;
    t.tokens = tokens.size();
    const std::vector<std::size_t> order = by_line(tokens.size(), [&](std::size_t k) { return at[tokens[k]]; });
    t.sum.assign(pairs.size(), {});
    t.token_var.assign(pairs.size(), kNaN);
    t.gradient.assign(pairs.size(), std::vector<std::vector<double>>(nc));
    if (tokens.empty()) return t;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::size_t r = tokens[order[i]];
        if (t.at.empty() || t.at.back() != at[r]) {
            t.at.push_back(at[r]);
            t.count.push_back(0.0);
            for (auto& s : t.sum) s.push_back(0.0);
        }
        t.count.back() = t.count.back() + 1.0;
        for (std::size_t p = 0; p < pairs.size(); ++p)
            t.sum[p].back() = t.sum[p].back() + (ratio(pairs[p].first, r) - ratio(pairs[p].second, r));
    }
    // Mean ratio per space, mean unit vector and mean inverse norm, over the tokens in file order.
    const double count = double(tokens.size());
    std::vector<double> mean(spaces, 0.0);
    std::fill(unit.begin(), unit.end(), 0.0);
    double inverse = 0.0;
    for (const std::size_t r : tokens) {
        for (std::size_t s = 0; s < spaces; ++s) mean[s] = mean[s] + ratio(s, r);
        const double norm = std::sqrt(dot(rows[r], rows[r], width));
        for (std::size_t i = 0; i < width; ++i) unit[i] = unit[i] + rows[r][i] / norm;
        inverse = inverse + 1.0 / norm;
    }
    for (double& v : mean) v = v / count;
    for (double& v : unit) v = v / count;
    t.unit = unit;
    t.ratio = mean;
    t.inverse_norm = inverse / count;
    for (std::size_t s = 0; s < spaces; ++s) t.unit_centre.push_back(dot(unit.data(), seeds.centres[s].data(), width));
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const auto [s, o] = pairs[p];
        double mu = 0.0, ss = 0.0;
        for (const std::size_t r : tokens) mu = mu + (ratio(s, r) - ratio(o, r));
        mu = mu / count;
        for (const std::size_t r : tokens) {
            const double d = (ratio(s, r) - ratio(o, r)) - mu;
            ss = ss + d * d;
        }
        if (tokens.size() > 1) t.token_var[p] = ss / (count - 1.0);
        std::vector<double> along(width, 0.0), inverse_sum(width, 0.0);
        double total = 0.0;
        for (const std::size_t r : tokens) {
            const double d = ratio(s, r) - ratio(o, r), norm = std::sqrt(dot(rows[r], rows[r], width));
            total = total + d;
            for (std::size_t i = 0; i < width; ++i) {
                along[i] = along[i] + d * (rows[r][i] / norm);
                inverse_sum[i] = inverse_sum[i] + d * (rows[r][i] / norm) / norm;
            }
        }
        for (std::size_t i = 0; i < width; ++i) along[i] = along[i] - total * unit[i];
        t.norm_sum.push_back(total);
        t.norm_along.push_back(std::move(along));
        t.norm_inverse.push_back(std::move(inverse_sum));
        for (std::size_t j = 0; j < nc; ++j) {
            ratio_gradient(ideal, seeds, s, j, nc, mean[s], unit, grad.data());
            ratio_gradient(ideal, seeds, o, j, nc, mean[o], unit, grad_other.data());
            std::vector<double>& g = t.gradient[p][j];
            g.resize(width);
            for (std::size_t i = 0; i < width; ++i) g[i] = grad[i] - grad_other[i];
        }
    }
    return t;
}

}  // namespace

SeedLines SeedLines::of(const std::vector<Token>& tokens, const ResampleWeights& weights) {
    SeedLines out;
    out.centre = mean_vector(tokens);
    const std::size_t width = out.centre.size();
    std::vector<std::size_t> at(tokens.size());
    for (std::size_t k = 0; k < tokens.size(); ++k) at[k] = weights.position(tokens[k].line_index);
    const std::vector<std::size_t> order = by_line(tokens.size(), [&](std::size_t k) { return at[k]; });
    std::vector<double> sum(width);
    for (std::size_t i = 0; i < order.size();) {
        const std::size_t line = at[order[i]];
        std::fill(sum.begin(), sum.end(), 0.0);
        double n = 0.0;
        for (; i < order.size() && at[order[i]] == line; ++i, n = n + 1.0) {
            const std::vector<double>& v = tokens[order[i]].embedding;
            for (std::size_t c = 0; c < width; ++c) sum[c] = sum[c] + v[c];
        }
        out.at.push_back(line);
        out.tokens.push_back(n);
        for (std::size_t c = 0; c < width; ++c) out.deviation.push_back(sum[c] - n * out.centre[c]);
    }
    return out;
}

std::vector<std::pair<std::size_t, std::size_t>> space_pairs(std::size_t spaces) {
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (std::size_t s = 0; s < spaces; ++s)
        for (std::size_t o = s + 1; o < spaces; ++o) pairs.emplace_back(s, o);
    return pairs;
}

DrawEffects line_effects(const std::vector<Token>& targets, const std::vector<std::string>& words,
                         std::vector<SeedLines> seed_lines, const std::vector<std::string>& names,
                         const SeedCentres& seeds, const ResampleWeights& weights, const std::vector<Token>& drawn) {
    DrawEffects e;
    e.width = seeds.width;
    e.pairs = space_pairs(seeds.names.size());
    e.seeds = std::move(seed_lines);
    const std::size_t width = e.width, nc = e.seeds.size();
    const Ideal ideal = ideal_of(e.seeds, names, seeds);
    e.ideal_norm2 = ideal.norm2;
    e.centre_ideal = ideal.cm;
    e.drawn = drawn_lines(drawn, seeds, ideal.m, weights);

    OrderedTable<std::size_t> index;
    for (const std::string& w : words)
        if (index.find(w) == nullptr) index.insert(w, index.size());
    std::vector<const double*> rows;
    std::vector<std::vector<std::size_t>> members(index.size());
    std::vector<std::size_t> at;
    for (const Token& t : targets) {
        const std::size_t* w = index.find(t.text);
        if (w == nullptr) continue;
        members[*w].push_back(rows.size());
        rows.push_back(t.embedding.data());
        at.push_back(weights.position(t.line_index));
    }
    const std::size_t n = rows.size();
    const std::vector<double> sims = cos_similarity_table(
        rows, width, seeds.centres, similarity_threads(n * width * (seeds.centres.size() + 1)));

    const Words per_word{rows, at, sims, seeds, ideal, e.pairs, nc};
    for (const std::vector<std::size_t>& tokens : members) e.targets.push_back(per_word.lines(tokens));
    return e;
}

void add_replicates(const DrawEffects& e, const ResampleWeights& weights, std::vector<double>& sums,
                    unsigned threads) {
    const std::size_t B = weights.resamples, words = e.targets.size(), width = e.width;
    if (B == 0) return;
    // Seed tokens per resample: the denominators of the centres' shifts.
    std::vector<std::vector<double>> seed_count(e.seeds.size(), std::vector<double>(B, 0.0));
    for (std::size_t j = 0; j < e.seeds.size(); ++j)
        for (std::size_t l = 0; l < e.seeds[j].at.size(); ++l) {
            const std::uint8_t* w = weights.row(e.seeds[j].at[l]);
            for (std::size_t b = 0; b < B; ++b) seed_count[j][b] = seed_count[j][b] + double(w[b]) * e.seeds[j].tokens[l];
        }
    // Drawn tokens per resample: the denominators of the random space's refit.
    const DrawnLines& drawn = e.drawn;
    const std::size_t drawn_lines = drawn.first.size() - 1;
    std::vector<double> drawn_count(B, 0.0);
    for (std::size_t l = 0; l < drawn_lines; ++l) {
        const std::uint8_t* w = drawn.weights.row(l);
        const double n = double(drawn.first[l + 1] - drawn.first[l]);
        for (std::size_t b = 0; b < B; ++b) drawn_count[b] = drawn_count[b] + double(w[b]) * n;
    }
    std::vector<bool> seedless(B, false);
    for (const auto& c : seed_count)
        for (std::size_t b = 0; b < B; ++b) seedless[b] = seedless[b] || c[b] == 0.0;
    if (drawn_lines > 0)
        for (std::size_t b = 0; b < B; ++b) seedless[b] = seedless[b] || drawn_count[b] == 0.0;

    std::size_t seed_lines = 0;
    for (const SeedLines& s : e.seeds) seed_lines += s.at.size();
    const std::size_t work = words * e.pairs.size() * (seed_lines + drawn_lines) * (width + B);
    if (threads == 0) threads = similarity_threads(work);
    run_workers(threads, [&](unsigned worker) {
        const auto [first, last] = share(words, worker, threads);
        std::vector<double> den(B), total(B), acc(B), y, refit(drawn.rows.size());
        const std::vector<double> products =
            drawn_lines > 0 ? drawn_products(drawn, e.targets, first, last, e.pairs.size(), width) : std::vector<double>{};
        for (std::size_t w = first; w < last; ++w) {
            const TargetLines& t = e.targets[w];
            const double* zt =
                products.empty() ? nullptr : products.data() + (w - first) * (1 + 2 * e.pairs.size()) * refit.size();
            std::fill(den.begin(), den.end(), 0.0);
            for (std::size_t l = 0; l < t.at.size(); ++l) {
                const std::uint8_t* row = weights.row(t.at[l]);
                for (std::size_t b = 0; b < B; ++b) den[b] = den[b] + double(row[b]) * t.count[l];
            }
            for (std::size_t p = 0; p < e.pairs.size(); ++p) {
                double* out = sums.data() + (p * words + w) * B;
                if (t.tokens == 0) {
                    for (std::size_t b = 0; b < B; ++b) out[b] = kNaN;
                    continue;
                }
                std::fill(total.begin(), total.end(), 0.0);
                for (std::size_t l = 0; l < t.at.size(); ++l) {
                    const std::uint8_t* row = weights.row(t.at[l]);
                    const double v = t.sum[p][l];
                    for (std::size_t b = 0; b < B; ++b) total[b] = total[b] + double(row[b]) * v;
                }
                for (std::size_t b = 0; b < B; ++b) total[b] = total[b] / den[b];
                for (std::size_t j = 0; j < e.seeds.size(); ++j) {
                    const SeedLines& s = e.seeds[j];
                    const double* g = t.gradient[p][j].data();
                    y.resize(s.at.size());
                    row_dots<1>(s.at.size(), [&](std::size_t l) { return s.deviation.data() + l * width; }, {g}, width,
                                {y.data()});
                    std::fill(acc.begin(), acc.end(), 0.0);
                    for (std::size_t l = 0; l < s.at.size(); ++l) {
                        const std::uint8_t* row = weights.row(s.at[l]);
                        for (std::size_t b = 0; b < B; ++b) acc[b] = acc[b] + double(row[b]) * y[l];
                    }
                    for (std::size_t b = 0; b < B; ++b) total[b] = total[b] + acc[b] / seed_count[j][b];
                }
                // The random space refitted to the resample, to first order: each
                // drawn token's effect on the pair's difference, summed by line.
                if (drawn_lines > 0) {
                    refit_terms(e, t, p, zt, zt + (1 + 2 * p) * refit.size(), zt + (2 + 2 * p) * refit.size(), refit);
                    std::fill(acc.begin(), acc.end(), 0.0);
                    for (std::size_t l = 0; l < drawn_lines; ++l) {
                        double v = 0.0;
                        for (std::size_t r = drawn.first[l]; r < drawn.first[l + 1]; ++r) v = v + refit[r];
                        const std::uint8_t* row = drawn.weights.row(l);
                        for (std::size_t b = 0; b < B; ++b) acc[b] = acc[b] + double(row[b]) * v;
                    }
                    for (std::size_t b = 0; b < B; ++b) total[b] = total[b] + acc[b] / drawn_count[b];
                }
                for (std::size_t b = 0; b < B; ++b)
                    out[b] = out[b] + (den[b] == 0.0 || seedless[b] ? kNaN : total[b]);
            }
        }
    });
}

}  // namespace orvelle
