// The processors the workers are sized by: the affinity mask and the control
// group's CPU quota bound them, not the machine's thread count.
#include <sched.h>

#include <gtest/gtest.h>

#include "util/cpu_count.hpp"

using orvelle::cpu_quota;
using orvelle::usable_cpus;

TEST(CpuCount, QuotaLine) {
    struct Case {
        const char* line;
        std::optional<unsigned> cpus;
    };
    for (const Case& c : {Case{"max 100000", std::nullopt}, Case{"200000 100000", 2u}, Case{"150000 100000", 2u},
                          Case{"50000 100000", 1u}, Case{"", std::nullopt}, Case{"100000", std::nullopt},
                          Case{"0 100000", std::nullopt}}) {
        EXPECT_EQ(cpu_quota(c.line), c.cpus) << '"' << c.line << '"';
    }
}

TEST(CpuCount, FollowsTheAffinityMask) {
    cpu_set_t saved;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    ASSERT_GE(usable_cpus(), 1u);
    EXPECT_LE(usable_cpus(), unsigned(CPU_COUNT(&saved)));
    int first = 0;
    while (!CPU_ISSET(first, &saved)) ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const unsigned n = usable_cpus();
    sched_setaffinity(0, sizeof saved, &saved);
    EXPECT_EQ(n, 1u);
}
