#include "space/reduction.hpp"

#include <algorithm>
#include <cmath>

#include "util/panic.hpp"
#include "linalg/products.hpp"

namespace orvelle {

Reduction reduce_in_place(std::vector<Token>& tokens, std::optional<std::size_t> pca_dimension,
                          unsigned threads) {
    Reduction r;
    r.model = pca_in_place(tokens, pca_dimension, threads);
    r.scaling = scale_in_place(tokens);
    return r;
}

std::vector<Token> express(const Reduction& reduction, std::vector<Token> tokens, unsigned threads) {
    if (tokens.empty()) return tokens;
    const PCA& m = reduction.model;
    const std::size_t d = m.mean.size(), k = m.components.cols;
    RowView x(tokens.size(), d);
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (tokens[i].embedding.size() != d)
            panic(assert_eq_message("(1, " + std::to_string(tokens[i].embedding.size()) + ")",
                                    "(1, " + std::to_string(d) + ")",
                                    "Matrix addition/subtraction dimensions mismatch."));
        x.row[i] = tokens[i].embedding.data();
    }
    centred_product(
        x, m.mean, m.components, threads, [] {},
        [&](std::size_t i, const double* row) { tokens[i].embedding = std::vector<double>(row, row + k); });
    standardise(tokens, reduction.scaling);
    return tokens;
}

RankReport rank_report(const Reduction& reduction, std::size_t tokens) {
    return {tokens, reduction.model.mean.size(), reduction.model.n_components, reduction.numerical_rank(),
            reduction.noise_components()};
}

double Reduction::rank_tolerance() const {
    const std::vector<double>& s = model.singular_values;
    const double largest = s.empty() ? 0.0 : *std::max_element(s.begin(), s.end());
    return largest * double(s.size()) * 0x1p-52;
}

std::size_t Reduction::numerical_rank() const {
    const double tol = rank_tolerance();
    return std::size_t(std::count_if(model.singular_values.begin(), model.singular_values.end(),
                                     [tol](double v) { return v > tol; }));
}

std::size_t Reduction::noise_components() const {
    const double tol = rank_tolerance();
    const std::size_t k = std::min(model.n_components, model.singular_values.size());
    return std::size_t(std::count_if(model.singular_values.begin(), model.singular_values.begin() + k,
                                     [tol](double v) { return !(v > tol); }));
}

}  // namespace orvelle
