#include <gtest/gtest.h>

#include "util/memory.hpp"

namespace orvelle {
namespace {

TEST(Memory, ReadsTheKernelsFigures) {
    EXPECT_EQ(meminfo_available("MemTotal: 100 kB\nMemAvailable:   2048 kB\n"), 2048u * 1024);
    EXPECT_EQ(meminfo_available("MemTotal: 100 kB\n"), std::nullopt);
    // v1 names the controller, v2 has one line "0::path".
    const char* v1 = "5:devices:/\n4:memory:/box/a\n0::/\n";
    EXPECT_EQ(cgroup_memory_path(v1, false), "/box/a");
    EXPECT_EQ(cgroup_memory_path("0::/user.slice/x\n", true), "/user.slice/x");
    EXPECT_EQ(cgroup_memory_path("4:cpu:/\n", false), std::nullopt);
    EXPECT_EQ(cgroup_limit("1073741824\n"), 1073741824u);
    EXPECT_EQ(cgroup_limit("max\n"), std::nullopt);
    EXPECT_EQ(cgroup_limit("9223372036854771712\n"), std::nullopt);  // v1's "no limit"
    EXPECT_GT(available_memory(), 0u);
}

}  // namespace
}  // namespace orvelle
