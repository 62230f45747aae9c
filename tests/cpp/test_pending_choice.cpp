#include "linalg/pending_choice.hpp"

#include <gtest/gtest.h>

#include <string>

using orvelle::PendingChoice;

namespace {

// Runs `windows` windows of steps costing `with` or `without` seconds per
// element each way; `slow_trial` multiplies the cost of the pending trial
// of the last window (a neighbour taking the core). Returns the ways taken,
// one letter per step: P pending, W writing.
std::string run(int windows, double with, double without, double slow_trial = 1.0) {
    PendingChoice choice;
    std::string ways;
    for (int w = 0; w < windows; ++w)
        for (int k = 0; k < PendingChoice::kWindow; ++k) {
            const bool pending = choice.pending();
            ways += pending ? 'P' : 'W';
            const double elements = 1e6 - 100.0 * double(ways.size());  // the matrix shrinks
            const bool trial = k < PendingChoice::kTrial && w == windows - 1;
            choice.taken(elements * (pending ? with : without) * (trial ? slow_trial : 1.0), elements);
        }
    return ways;
}

}  // namespace

TEST(PendingChoice, TriesBothWaysThenKeepsTheCheaper) {
    constexpr int kTrial = PendingChoice::kTrial, kRest = PendingChoice::kWindow - 2 * kTrial;
    const std::string trials = std::string(kTrial, 'P') + std::string(kTrial, 'W');
    struct Case {
        double with, without, slow_trial;
        char kept;
    } cases[] = {
        {1.0, 1.15, 1.0, 'P'},  // pending cheaper
        {1.15, 1.0, 1.0, 'W'},  // writing cheaper
        {1.0, 1.15, 2.0, 'P'},  // one slowed trial does not overturn the windows before
    };
    for (const Case& c : cases) {
        const std::string ways = run(2, c.with, c.without, c.slow_trial);
        const std::string window = trials + std::string(kRest, c.kept);
        EXPECT_EQ(ways, window + window) << c.with << " / " << c.without << ", trial x" << c.slow_trial;
    }
}
