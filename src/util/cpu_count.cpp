#include "util/cpu_count.hpp"

#include <sched.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "util/memory.hpp"

namespace orvelle {

namespace {

std::optional<std::string> first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

std::optional<unsigned> cgroup_quota() {
    std::ifstream in("/proc/self/cgroup");
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    const std::string self = s.str();
    const std::optional<std::string_view> path = cgroup_memory_path(self, true);
    if (!path) return std::nullopt;
    // Inside a container the group's own folder is often the mount's root.
    for (const std::string& dir : {"/sys/fs/cgroup" + std::string(*path), std::string("/sys/fs/cgroup")})
        if (const std::optional<std::string> line = first_line(dir + "/cpu.max")) return cpu_quota(*line);
    return std::nullopt;
}

}  // namespace

std::optional<unsigned> cpu_quota(std::string_view cpu_max) {
    const std::size_t space = cpu_max.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const std::string_view q = cpu_max.substr(0, space), p = cpu_max.substr(space + 1);
    unsigned long long quota = 0, period = 0;
    if (std::from_chars(q.data(), q.data() + q.size(), quota).ec != std::errc() ||
        std::from_chars(p.data(), p.data() + p.size(), period).ec != std::errc() || quota == 0 || period == 0)
        return std::nullopt;
    return unsigned(std::min<unsigned long long>((quota + period - 1) / period, 1u << 16));
}

unsigned usable_cpus() {
    unsigned n = 0;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) n = unsigned(CPU_COUNT(&set));
    if (n == 0) n = std::thread::hardware_concurrency();
    if (n == 0) n = 1;
    // Kernels ask on every call; the group's quota is read once per process.
    static const std::optional<unsigned> quota = cgroup_quota();
    if (quota) n = std::min(n, *quota);
    return n;
}

}  // namespace orvelle
