#include "util/cpu_count.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <thread>

#include "util/memory.hpp"
#include "util/platform.hpp"

namespace orvelle {

namespace {

std::optional<unsigned> cgroup_quota() {
    const std::optional<std::string> self = platform::proc_file("self/cgroup");
    if (!self) return std::nullopt;
    const std::optional<std::string_view> path = cgroup_memory_path(*self, true);
    if (!path) return std::nullopt;
    // Inside a container the group's own folder is often the mount's root.
    for (const std::string& dir : {std::string(*path), std::string()})
        if (const std::optional<std::string> text = platform::cgroup_file(dir + "/cpu.max"))
            return cpu_quota(std::string_view(*text).substr(0, text->find('\n')));
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
    unsigned n = platform::scheduler_cpus();
    if (n == 0) n = std::thread::hardware_concurrency();
    if (n == 0) n = 1;
    // Kernels ask on every call; the group's quota is read once per process.
    static const std::optional<unsigned> quota = cgroup_quota();
    if (quota) n = std::min(n, *quota);
    return n;
}

}  // namespace orvelle
