#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "linalg/parallel.hpp"

namespace {

using orvelle::run_stealing;

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

}  // namespace
