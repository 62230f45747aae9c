// Two processes hash with different random keys; their summaries of the same
// analysis must still be identical byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

#include "calc_support.hpp"
#include "space/calculator.hpp"

namespace orvelle {
namespace {

constexpr const char* kChildEnv = "ORVELLE_TEST_SUMMARY_DIR";

using test::read_file;

// Runs only inside the child processes started below.
TEST(SummaryProcesses, Child) {
    const char* dir = std::getenv(kChildEnv);
    if (dir == nullptr) GTEST_SKIP() << "started by SummaryProcesses.IdenticalAcrossProcesses";
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    auto vec = [&] {
        std::vector<double> v(16);
        for (double& x : v) x = normal(rng);
        return v;
    };
    std::vector<Token> base;
    for (int j = 0; j < 3000; ++j) base.push_back(test::token(test::numbered("tok", rng() % 2000), vec()));
    std::vector<Space> compare;
    for (const char* w : {"she", "he", "they", "he"}) {
        compare.push_back(test::space(std::string("Space of ") + w, {test::token(w, vec()), test::token(w, vec())}));
    }
    Calculator::new_calculator(test::space("random", base), compare).save_summary(dir);
}

TEST(SummaryProcesses, IdenticalAcrossProcesses) {
    if (std::getenv(kChildEnv) != nullptr) GTEST_SKIP();
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    test::TempDir a;
    test::TempDir b;
    for (const test::TempDir* d : {&a, &b}) {
        const std::string cmd = std::string(kChildEnv) + "='" + d->path() + "' '" + exe +
                                "' --gtest_filter=SummaryProcesses.Child > /dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    const std::string first = read_file(a.path() + "/calculator_summary.txt");
    const std::string second = read_file(b.path() + "/calculator_summary.txt");
    ASSERT_GT(first.size(), 1000u);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.rfind("ideal_similarity: {\"Space of she\": {\"tok", 0), 0u);
}

}  // namespace
}  // namespace orvelle
