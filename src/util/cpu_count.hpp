// How many processors this process may use: the CPUs its affinity mask allows
// (taskset, a container's cpuset), no more than its control group's CPU quota
// (cgroup v2 cpu.max, rounded up). The thread count of the machine alone
// would start more workers than can run, and the workers meet often.
#pragma once

#include <optional>
#include <string_view>

namespace orvelle {

// At least 1.
unsigned usable_cpus();

// For tests: the CPUs a cpu.max line ("QUOTA PERIOD", or "max PERIOD") allows,
// rounded up; none when unlimited or unreadable.
std::optional<unsigned> cpu_quota(std::string_view cpu_max);

}  // namespace orvelle
