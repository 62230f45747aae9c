// The result of one analysis: bias ratios of the random space's tokens
// against every seed-word space.
#pragma once

#include <string>
#include <vector>

#include "space/space.hpp"
#include "util/ordered_table.hpp"

namespace orvelle {

struct Calculator {
    OrderedTable<OrderedTable<double>> bias;
    OrderedTable<double> ideal_similarity;

    // SpaceCalculator
    static Calculator new_calculator(Space base_space, std::vector<Space> compare_space);

    OrderedTable<double> bias_sum_average() const;
    OrderedTable<double> bias_asb_sum_average() const;
    void save_summary(const std::string& folder) const;
};

double cos_similarity(const std::vector<double>& center1, const std::vector<double>& center2);

}  // namespace orvelle
