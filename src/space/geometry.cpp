#include "space/geometry.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/matrix.hpp"
#include "util/panic.hpp"
#include "linalg/pca.hpp"

namespace orvelle {

#include "linalg/simd.hpp"  // lane helpers; the header goes inside a namespace

std::vector<Token> pca(std::vector<Token> tokens, std::optional<std::size_t> pca_dimension, unsigned threads) {
    pca_in_place(tokens, pca_dimension, threads);
    return tokens;
}

PCA pca_in_place(std::vector<Token>& tokens, std::optional<std::size_t> pca_dimension, unsigned threads) {
    const std::size_t k = pca_dimension.value_or(512);
    if (tokens.empty()) panic("At least one row must be given.");
    const std::size_t n = tokens.size(), d = tokens[0].embedding.size();
    for (const Token& t : tokens)
        if (t.embedding.size() != d) panic("The provided rows must all have the same dimension.");

    // The tokens' own vectors are the data rows: the fit reads them in place,
    // and each is replaced by its coordinates once the projection has read
    // it for the last time. Nothing holds the data twice.
    RowView x(n, d);
    for (std::size_t i = 0; i < n; ++i) x.row[i] = tokens[i].embedding.data();
    PCA model(k);
    model.fit(x, threads);
    model.transform_rows(
        x, [&](std::size_t i, const double* row) { tokens[i].embedding = std::vector<double>(row, row + k); },
        threads);
    return model;
}

void check_center_input(const std::vector<Token>& tokens) {
    const std::size_t n = tokens.size();
    // Each token's component sum, in component order. The sums are only
    // ordered (an ascending sort that refuses NaN) and two quartiles read;
    // nothing depends on the result but its failures: with two or more
    // tokens every sum is compared, so any NaN sum stops here.
    if (n >= 2) {
        for (const Token& t : tokens) {
            double s = 0.0;
            for (double v : t.embedding) s = s + v;
            if (std::isnan(s)) unwrap_none();
        }
    }
    if (n == 0) index_out_of_bounds(0, 0);

    // Component j is read from every token, j-major: the first read past
    // the end of a shorter vector is at its own length.
    const std::size_t d = tokens[0].embedding.size();
    std::size_t shortest = d;
    for (const Token& t : tokens) shortest = std::min(shortest, t.embedding.size());
    if (shortest < d) index_out_of_bounds(shortest, shortest);
}

std::vector<double> mean_vector(const std::vector<Token>& tokens) {
    const std::size_t d = tokens.empty() ? 0 : tokens[0].embedding.size();
    // Token-major walk, lanes on different components: each component is
    // still summed over the tokens in order.
    std::vector<double> c(d, 0.0);
    for (const Token& t : tokens) {
        const double* e = t.embedding.data();
        std::size_t j = 0;
        for (; j + 8 <= d; j += 8) simd::store(c.data() + j, simd::load(c.data() + j) + simd::load(e + j));
        for (; j < d; ++j) c[j] = c[j] + e[j];
    }
    const double nf = double(tokens.size());
    for (double& v : c) v = v / nf;
    return c;
}

std::vector<double> get_center(const std::vector<Token>& tokens) {
    check_center_input(tokens);
    return mean_vector(tokens);
}

std::vector<Token> scale_tokens(std::vector<Token> tokens) {
    scale_in_place(tokens);
    return tokens;
}

Scaling scale_in_place(std::vector<Token>& tokens) {
    Scaling s{get_center(tokens), {}};
    const std::vector<double>& c = s.centre;
    const std::size_t d = c.size();
    const double nf = double(tokens.size());

    // Population deviation per component, over the tokens in order; the
    // mean is c[j], computed the same way.
    std::vector<double>& sd = s.sd;
    sd.assign(d, 0.0);
    for (const Token& t : tokens) {
        const double* e = t.embedding.data();
        std::size_t j = 0;
        for (; j + 8 <= d; j += 8) {
            const simd::v8d dv = simd::load(e + j) - simd::load(c.data() + j);
            simd::store(sd.data() + j, simd::load(sd.data() + j) + dv * dv);
        }
        for (; j < d; ++j) sd[j] = sd[j] + (e[j] - c[j]) * (e[j] - c[j]);
    }
    for (double& v : sd) v = std::sqrt(v / nf);

    // A vector longer than the first one has components without a centre.
    for (const Token& t : tokens)
        if (t.embedding.size() > d) index_out_of_bounds(d, d);
    standardise(tokens, s);
    return s;
}

void standardise(std::vector<Token>& tokens, const Scaling& scaling) {
    const double* c = scaling.centre.data();
    const double* sd = scaling.sd.data();
    const std::size_t d = scaling.centre.size();
    for (Token& t : tokens) {
        double* e = t.embedding.data();
        std::size_t j = 0;
        for (; j + 8 <= d; j += 8)
            simd::store(e + j, (simd::load(e + j) - simd::load(c + j)) / simd::load(sd + j));
        for (; j < d; ++j) e[j] = (e[j] - c[j]) / sd[j];
    }
}

}  // namespace orvelle
