#include "space/calculator.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

#include "fio/writer/calculator_summary.hpp"
#include "space/geometry.hpp"
#include "space/similarity_table.hpp"
#include "util/panic.hpp"

namespace orvelle {
namespace {

constexpr const char* kLengthMessage = "center1 and center2 should have the same length";

template <class Term>
OrderedTable<double> average_per_space(const OrderedTable<OrderedTable<double>>& bias, Term term) {
    OrderedTable<double> result;
    result.reserve(bias.size());
    for (const auto& [name, ratios] : bias) {
        double s = 0.0;
        for (const auto& [text, v] : ratios) s = s + term(v);
        result.insert(name, s / static_cast<double>(ratios.size()));
    }
    return result;
}

}  // namespace

double cos_similarity(const std::vector<double>& center1, const std::vector<double>& center2) {
    if (center1.size() != center2.size()) {
        assert_eq_failed(center1.size(), center2.size(), kLengthMessage);
    }
    double dot = 0.0;
    double a = 0.0;
    double b = 0.0;
    for (std::size_t i = 0; i < center1.size(); ++i) {
        dot += center1[i] * center2[i];
        a += center1[i] * center1[i];
        b += center2[i] * center2[i];
    }
    return dot / (std::sqrt(b) * std::sqrt(a));
}

Calculator Calculator::new_calculator(Space base_space, std::vector<Space> compare_space) {
    if (compare_space.empty()) panic("compare_space should have at least one space");

    // A centre depends only on its space's tokens: one computation per space,
    // in list order, after which the space's tokens are no longer needed.
    std::vector<std::vector<double>> centres;
    centres.reserve(compare_space.size());
    for (Space& space : compare_space) {
        centres.push_back(get_center(space.tokens));
        std::vector<Token>().swap(space.tokens);
    }

    // Ideal centre: component sums over the spaces in list order, shortened
    // to the shortest centre, then one division per component.
    std::vector<double> sum(centres.front().size(), 0.0);
    for (const auto& c : centres) {
        if (c.size() < sum.size()) sum.resize(c.size());
        for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = sum[i] + c[i];
    }
    const double n = static_cast<double>(compare_space.size());
    std::vector<double> ideal(sum.size());
    for (std::size_t i = 0; i < sum.size(); ++i) ideal[i] = sum[i] / n;
    if (ideal.size() != centres.front().size()) assert_eq_failed(ideal.size(), centres.front().size());

    Calculator calc;
    calc.ideal_similarity.reserve(compare_space.size());
    for (std::size_t s = 0; s < compare_space.size(); ++s) {
        calc.ideal_similarity.insert(compare_space[s].name, cos_similarity(centres[s], ideal));
    }

    // Every centre now has the ideal centre's length; the first token whose
    // embedding differs from it stops the call, as it would against the
    // first space.
    const std::size_t width = ideal.size();
    for (const Token& t : base_space.tokens) {
        if (t.embedding.size() != width) assert_eq_failed(t.embedding.size(), width, kLengthMessage);
    }

    // Each name keeps the last space and the last token that carry it, in the
    // place of its first appearance. Only those ratios are ever stored, so
    // only those are computed.
    OrderedTable<std::size_t> last_space;
    last_space.reserve(compare_space.size());
    for (std::size_t s = 0; s < compare_space.size(); ++s) last_space.insert(compare_space[s].name, s);

    OrderedTable<double> texts;
    std::vector<const double*> rows;
    {
        OrderedTable<std::size_t> last_token;
        last_token.reserve(base_space.tokens.size());
        for (std::size_t j = 0; j < base_space.tokens.size(); ++j) {
            last_token.insert(base_space.tokens[j].text, j);
        }
        texts.reserve(last_token.size());
        rows.reserve(last_token.size());
        for (const auto& [text, j] : last_token) {
            texts.insert(text, 0.0);
            rows.push_back(base_space.tokens[j].embedding.data());
        }
    }

    std::vector<std::vector<double>> kept_centres;
    kept_centres.reserve(last_space.size());
    for (const auto& [name, s] : last_space) kept_centres.push_back(std::move(centres[s]));

    const std::size_t k = rows.size();
    const std::vector<double> sims = cos_similarity_table(
        rows, width, kept_centres, similarity_threads(k * width * (kept_centres.size() + 1)));

    calc.bias.reserve(last_space.size());
    for (std::size_t s = 0; s < last_space.size(); ++s) {
        const std::string& name = last_space.entry(s).first;
        const double* r = calc.ideal_similarity.find(name);
        if (r == nullptr) unwrap_none();
        OrderedTable<double> table = texts;
        for (std::size_t j = 0; j < k; ++j) table.value_at(j) = sims[s * k + j] / *r;
        calc.bias.insert(name, std::move(table));
    }
    return calc;
}

OrderedTable<double> Calculator::bias_sum_average() const {
    return average_per_space(bias, [](double v) { return v; });
}

OrderedTable<double> Calculator::bias_asb_sum_average() const {
    return average_per_space(bias, [](double v) { return std::fabs(v); });
}

void Calculator::save_summary(const std::string& folder) const {
    write_calculator_summary(bias, folder);
}

}  // namespace orvelle
