// Reading speed and memory of the feature-file reader.
//
//   bench_reader FILE [THREADS]
//
// Prints the time `cat FILE > /dev/null` takes (run before and after, the
// first also brings the file into the page cache), the time and MB/s of
// read(), the ratio of the two, and the process's peak resident memory
// against the size the resulting lines occupy. THREADS defaults to one per
// usable core. Timings on a shared machine are noisy: compare the ratios, and
// the CPU time, which other processes disturb less than the wall clock.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fio/reader/kelvra.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct CpuTimes {
    double user, system;
};

CpuTimes cpu_times() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6, u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6};
}

double time_cat(const std::string& path) {
    auto start = std::chrono::steady_clock::now();
    std::string cmd = "cat " + shell_quote(path) + " > /dev/null";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cat failed\n");
    return seconds_since(start);
}

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

// Heap bytes the lines occupy: vectors at their capacity, texts beyond the
// inline buffer of a string.
std::size_t lines_bytes(const std::vector<orvelle::Line>& lines) {
    std::size_t n = lines.capacity() * sizeof(orvelle::Line);
    for (const orvelle::Line& line : lines) {
        n += line.tokens.capacity() * sizeof(orvelle::Token);
        for (const orvelle::Token& t : line.tokens) {
            n += t.embedding.capacity() * sizeof(double);
            if (t.text.capacity() > 15) n += t.text.capacity() + 1;
        }
    }
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [THREADS]\n", argv[0]);
        return 2;
    }
    std::string path = argv[1];
    orvelle::ReadOptions options;
    if (argc > 2) options.threads = static_cast<unsigned>(std::atoi(argv[2]));
    unsigned threads = options.threads ? options.threads : orvelle::default_thread_count();

    double cat_before = time_cat(path);
    long rss_before = resident_kib();

    CpuTimes cpu_start = cpu_times();
    auto start = std::chrono::steady_clock::now();
    std::vector<orvelle::Line> lines = orvelle::read_feature_file(path, false, options);
    double read_s = seconds_since(start);
    CpuTimes cpu_end = cpu_times();
    double read_user = cpu_end.user - cpu_start.user, read_system = cpu_end.system - cpu_start.system;
    double read_cpu = read_user + read_system;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    double peak_mb = usage.ru_maxrss * 1024.0 / 1e6;
    double cat_after = time_cat(path);

    std::size_t tokens = 0, values = 0;
    for (const auto& line : lines) {
        tokens += line.tokens.size();
        for (const auto& t : line.tokens) values += t.embedding.size();
    }
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    double file_mb = static_cast<double>(f.tellg()) / 1e6;
    double final_mb = static_cast<double>(lines_bytes(lines)) / 1e6;
    double cat_s = std::min(cat_before, cat_after);

    std::printf("file            %.1f MB, %zu lines, %zu tokens, %zu values\n", file_mb, lines.size(), tokens,
                values);
    std::printf("cat > /dev/null %.3f s before, %.3f s after (%.0f MB/s best)\n", cat_before, cat_after,
                file_mb / cat_s);
    std::printf("read            %.3f s with %u threads: %.0f MB/s, %.1fx the time of cat\n", read_s, threads,
                file_mb / read_s, read_s / cat_s);
    std::printf("cpu time        %.3f s on all threads together (user %.3f, system %.3f): %.0f MB per CPU second\n",
                read_cpu, read_user, read_system, file_mb / read_cpu);
    std::printf("memory          lines %.1f MB; peak RSS %.1f MB = %.3fx lines (%.1f MB resident before read)\n",
                final_mb, peak_mb, peak_mb / final_mb, rss_before * 1024.0 / 1e6);
    return 0;
}
