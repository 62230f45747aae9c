// The result of one analysis: bias ratios of the random space's tokens
// against every seed-word space.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "space/reduction.hpp"
#include "space/space.hpp"
#include "util/ordered_table.hpp"

namespace orvelle {

// What every ratio is taken against: the seed spaces' centres and their
// similarity to the ideal centre (the mean of all centres).
struct SeedCentres {
    OrderedTable<double> ideal_similarity;     // per name; a later space replaces an earlier one
    std::vector<std::string> names;            // distinct names, in order of first appearance
    std::vector<std::vector<double>> centres;  // per name, the last space carrying it
    std::vector<double> divisors;              // per name, its ideal similarity
    std::size_t width = 0;                     // every centre's length

    // Consumes the spaces' tokens; fails as the Calculator's construction does.
    // With `coordinates`, each space's tokens are checked as given, then
    // expressed in those coordinates before their centre is taken. `seen`,
    // when given, is shown each space's tokens (as the centre is taken from
    // them) before they are released.
    using Seen = std::function<void(std::size_t space, const std::vector<Token>& tokens)>;
    static SeedCentres of(std::vector<Space> compare_space, const Reduction* coordinates = nullptr,
                          const Seen& seen = {});
};

struct Calculator {
    OrderedTable<OrderedTable<double>> bias;
    OrderedTable<double> ideal_similarity;

    // SpaceCalculator
    static Calculator new_calculator(Space base_space, std::vector<Space> compare_space);
    // The same, from centres computed before.
    static Calculator new_calculator(const std::vector<Token>& base_tokens, SeedCentres seeds);

    OrderedTable<double> bias_sum_average() const;
    OrderedTable<double> bias_asb_sum_average() const;
    void save_summary(const std::string& folder) const;
};

double cos_similarity(const std::vector<double>& center1, const std::vector<double>& center2);

}  // namespace orvelle
