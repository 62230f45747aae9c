// How much memory this process may still use: the least of what the machine
// has available, what its control group allows and what its address-space
// limit leaves. A container's limit counts, not only the machine's free memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvelle {

// Bytes; the largest uint64 when nothing limits it.
std::uint64_t available_memory();

// The pieces, for tests: "MemAvailable:" of /proc/meminfo in bytes; the
// memory controller's path from /proc/self/cgroup (v1 "N:memory:/p" or v2
// "0::/p"); a limit file's number ("max" and absurdly large values: none).
std::optional<std::uint64_t> meminfo_available(std::string_view meminfo);
std::optional<std::string_view> cgroup_memory_path(std::string_view self_cgroup, bool v2);
std::optional<std::uint64_t> cgroup_limit(std::string_view text);

}  // namespace orvelle
