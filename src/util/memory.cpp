#include "util/memory.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

#include "util/platform.hpp"

namespace orvelle {

namespace {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

std::optional<std::uint64_t> number(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    return v;
}

// What the control group leaves: its limit less its usage.
std::uint64_t cgroup_headroom() {
    const std::optional<std::string> self = platform::proc_file("self/cgroup");
    if (!self) return kNone;
    for (bool v2 : {true, false}) {
        const std::optional<std::string_view> path = cgroup_memory_path(*self, v2);
        if (!path) continue;
        const std::string base = v2 ? "" : "/memory";
        const char* limit_file = v2 ? "/memory.max" : "/memory.limit_in_bytes";
        const char* usage_file = v2 ? "/memory.current" : "/memory.usage_in_bytes";
        // Inside a container the group's own folder is often the mount's root.
        for (const std::string& dir : {base + std::string(*path), base}) {
            const std::optional<std::string> limit = platform::cgroup_file(dir + limit_file);
            if (!limit) continue;
            const std::optional<std::uint64_t> l = cgroup_limit(*limit);
            if (!l) return kNone;
            const std::optional<std::string> usage = platform::cgroup_file(dir + usage_file);
            const std::uint64_t u = usage ? number(*usage).value_or(0) : 0;
            return *l > u ? *l - u : 0;
        }
    }
    return kNone;
}

// What the address-space limit leaves beside what is mapped already.
std::uint64_t rlimit_headroom() {
    rlimit r{};
    if (getrlimit(RLIMIT_AS, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return kNone;
    std::uint64_t mapped = 0;
    // statm counts pages, 64 KiB each on some aarch64 kernels.
    if (const std::optional<std::string> statm = platform::proc_file("self/statm"))
        mapped = number(*statm).value_or(0) * platform::page_bytes();
    return r.rlim_cur > mapped ? r.rlim_cur - mapped : 0;
}

}  // namespace

std::optional<std::uint64_t> meminfo_available(std::string_view meminfo) {
    const std::size_t at = meminfo.find("MemAvailable:");
    if (at == std::string_view::npos) return std::nullopt;
    const std::optional<std::uint64_t> kib = number(meminfo.substr(at + 13));
    if (!kib) return std::nullopt;
    return *kib * 1024;
}

std::optional<std::string_view> cgroup_memory_path(std::string_view self_cgroup, bool v2) {
    while (!self_cgroup.empty()) {
        const std::size_t eol = std::min(self_cgroup.find('\n'), self_cgroup.size());
        std::string_view line = self_cgroup.substr(0, eol);
        self_cgroup.remove_prefix(std::min(eol + 1, self_cgroup.size()));
        const std::size_t c1 = line.find(':'), c2 = line.find(':', c1 + 1);
        if (c1 == std::string_view::npos || c2 == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(c1 + 1, c2 - c1 - 1);
        const bool match = v2 ? line.substr(0, c1) == "0" && controllers.empty() : controllers == "memory";
        if (match) return line.substr(c2 + 1);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> cgroup_limit(std::string_view text) {
    const std::optional<std::uint64_t> v = number(text);
    // v1 writes "no limit" as the largest page-aligned signed value.
    if (!v || *v >= (std::uint64_t{1} << 62)) return std::nullopt;
    return v;
}

std::uint64_t available_memory() {
    std::uint64_t best = kNone;
    if (const std::optional<std::string> info = platform::proc_file("meminfo"))
        best = meminfo_available(*info).value_or(kNone);
    else
        best = platform::free_memory().value_or(kNone);
    return std::min({best, cgroup_headroom(), rlimit_headroom()});
}

}  // namespace orvelle
