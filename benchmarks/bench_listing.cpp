// The random-subspace listing: 100 000 tokens x 512 standardised values,
// written line by line. Compared in the same run with
//   - the same lines formatted with snprintf("%.17g") (the usual way), and
//   - the bare write() of the same number of bytes in lines of the same size.
//   bench_listing [tokens] [dimensions] [path]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "space/space.hpp"

using namespace orvelle;
using Clock = std::chrono::steady_clock;

namespace {

template <class F>
double seconds(F&& f) {
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::size_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

void write_line(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::write(fd, s.data() + off, s.size() - off);
        if (n <= 0) std::abort();
        off += static_cast<std::size_t>(n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
    const std::size_t d = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 512;
    const std::string path = argc > 3 ? argv[3] : "bench_listing.tmp";

    Space space;
    space.tokens.reserve(n);
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal;
    for (std::size_t i = 0; i < n; ++i) {
        Token t{"token" + std::to_string(i % 5000), std::vector<double>(d), i % 13, i / 13};
        for (double& v : t.embedding) v = normal(gen);
        space.tokens.push_back(std::move(t));
    }

    const double t_ours = seconds([&] { space.write(path, false); });
    const std::size_t bytes = file_size(path);
    const double mb = bytes / 1e6;

    const double t_printf = seconds([&] {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        std::string line;
        char buf[32];
        for (const Token& t : space.tokens) {
            line = t.text;
            line.append(buf, std::snprintf(buf, sizeof buf, " %zu %zu ", t.line_index,
                                           t.layer_index));
            for (double v : t.embedding) {
                line.append(buf, std::snprintf(buf, sizeof buf, "%.17g,", v));
            }
            line += '\n';
            write_line(fd, line);
        }
        ::close(fd);
    });

    const double t_write = seconds([&] {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        std::string line(bytes / n, 'x');
        for (std::size_t i = 0; i < n; ++i) write_line(fd, line);
        ::close(fd);
    });
    ::unlink(path.c_str());

    std::printf("listing of %zu tokens x %zu values: %.1f MB\n", n, d, mb);
    std::printf("Space::write:                 %7.3f s  %7.1f MB/s   (target >= 150 MB/s)\n",
                t_ours, mb / t_ours);
    std::printf("reference snprintf(%%.17g):    %7.3f s  %7.1f MB/s   ratio %.2f\n", t_printf,
                mb / t_printf, t_printf / t_ours);
    std::printf("reference bare write():       %7.3f s  %7.1f MB/s   ratio %.2f\n", t_write,
                mb / t_write, t_write / t_ours);
    return 0;
}
