#include "space/calculator.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

#include "fio/writer/calculator_summary.hpp"
#include "space/geometry.hpp"
#include "space/reduction.hpp"
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

SeedCentres SeedCentres::of(std::vector<Space> compare_space, const Reduction* coordinates, const Seen& seen) {
    if (compare_space.empty()) panic("compare_space should have at least one space");

    // A centre depends only on its space's tokens: one computation per space,
    // in list order, after which the space's tokens are no longer needed.
    // The checks read the tokens as given (global-space values, finite for
    // any file the global space accepted); their images in other coordinates
    // may be non-finite where a random-space component has no variance, and
    // then carry NaN into the ratios instead of failing the call.
    std::vector<std::vector<double>> centres;
    centres.reserve(compare_space.size());
    for (Space& space : compare_space) {
        check_center_input(space.tokens);
        if (coordinates) space.tokens = express(*coordinates, std::move(space.tokens));
        centres.push_back(mean_vector(space.tokens));
        if (seen) seen(centres.size() - 1, space.tokens);
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

    SeedCentres seeds;
    seeds.ideal_similarity.reserve(compare_space.size());
    for (std::size_t s = 0; s < compare_space.size(); ++s) {
        seeds.ideal_similarity.insert(compare_space[s].name, cos_similarity(centres[s], ideal));
    }
    seeds.width = ideal.size();

    // Each name keeps the last space that carries it, in the place of its
    // first appearance.
    OrderedTable<std::size_t> last_space;
    last_space.reserve(compare_space.size());
    for (std::size_t s = 0; s < compare_space.size(); ++s) last_space.insert(compare_space[s].name, s);
    for (const auto& [name, s] : last_space) {
        const double* r = seeds.ideal_similarity.find(name);
        if (r == nullptr) unwrap_none();
        seeds.names.push_back(name);
        seeds.centres.push_back(std::move(centres[s]));
        seeds.divisors.push_back(*r);
    }
    return seeds;
}

Calculator Calculator::new_calculator(Space base_space, std::vector<Space> compare_space) {
    return new_calculator(base_space.tokens, SeedCentres::of(std::move(compare_space)));
}

Calculator Calculator::new_calculator(const std::vector<Token>& base_tokens, SeedCentres seeds) {
    // Every centre has the ideal centre's length; the first token whose
    // embedding differs from it stops the call, as it would against the
    // first space.
    const std::size_t width = seeds.width;
    for (const Token& t : base_tokens) {
        if (t.embedding.size() != width) assert_eq_failed(t.embedding.size(), width, kLengthMessage);
    }

    // Each text keeps its last token, in the place of its first appearance.
    // Only those ratios are ever stored, so only those are computed.
    OrderedTable<double> texts;
    std::vector<const double*> rows;
    {
        OrderedTable<std::size_t> last_token;
        last_token.reserve(base_tokens.size());
        for (std::size_t j = 0; j < base_tokens.size(); ++j) last_token.insert(base_tokens[j].text, j);
        texts.reserve(last_token.size());
        rows.reserve(last_token.size());
        for (const auto& [text, j] : last_token) {
            texts.insert(text, 0.0);
            rows.push_back(base_tokens[j].embedding.data());
        }
    }

    const std::size_t k = rows.size();
    const std::vector<double> sims = cos_similarity_table(
        rows, width, seeds.centres, similarity_threads(k * width * (seeds.centres.size() + 1)));

    Calculator calc;
    calc.ideal_similarity = std::move(seeds.ideal_similarity);
    calc.bias.reserve(seeds.names.size());
    for (std::size_t s = 0; s < seeds.names.size(); ++s) {
        OrderedTable<double> table = texts;
        for (std::size_t j = 0; j < k; ++j) table.value_at(j) = sims[s * k + j] / seeds.divisors[s];
        calc.bias.insert(seeds.names[s], std::move(table));
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
