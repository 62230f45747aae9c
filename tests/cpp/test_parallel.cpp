#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "linalg/parallel.hpp"

namespace {

using orvelle::run_stealing;
using orvelle::zero_parallel;

// Every item exactly once, whatever the split, including workers that find
// their own share empty and a worker slowed enough that the others take
// most of its share.
TEST(RunStealing, RunsEveryItemOnce) {
    for (auto [count, threads] : {std::pair{0u, 2u}, {1u, 3u}, {5u, 8u}, {7u, 2u}, {1000u, 3u}, {129u, 4u}}) {
        const auto seen = std::make_unique<std::atomic<int>[]>(count + 1);
        run_stealing(count, threads, [&](std::size_t i) {
            if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            seen[i].fetch_add(1);
        });
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(seen[i].load(), 1) << count << " items, item " << i;
    }
}

TEST(ZeroParallel, ClearsEveryValue) {
    constexpr std::size_t kRun = (std::size_t{2} << 20) / sizeof(double);
    for (std::size_t n : {std::size_t{0}, std::size_t{5}, kRun - 1, 2 * kRun + 1, 5 * kRun + 3}) {
        for (unsigned threads : {1u, 2u, 3u}) {
            std::vector<double> v(n + 1, -1.0);
            zero_parallel(v.data(), n, threads);
            EXPECT_EQ(std::count(v.begin(), v.begin() + n, 0.0), std::ptrdiff_t(n)) << n << " values, " << threads;
            EXPECT_EQ(v[n], -1.0) << "past the end, " << n << " values";
        }
    }
}

}  // namespace
