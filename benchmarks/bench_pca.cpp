// Timings of the PCA stages on one data matrix, for bench_pca.py to set beside
// numpy on the same data.
//
//   bench_pca X.bin OUT_DIR [k] [threads]
//     X.bin: u64 n, u64 d, then n x d f64 row by row. Prints "name seconds"
//     lines for the column means, the covariance, the decomposition (and its
//     bidiagonal stage) and the projection to k components; writes S.bin
//     (d x d) and W.bin (d x k) into OUT_DIR for the reference run.
//   bench_pca --memory X.bin [k]
//     Peak resident memory of pca() over the rows of X.bin as tokens, then
//     the time of scale_tokens on the result.
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "space/geometry.hpp"
#include "linalg/pca.hpp"
#include "linalg/svd.hpp"
#include "stage_timer.hpp"

using namespace orvelle;
using bench::now;
using bench::Stage;

namespace {

Matrix read_matrix(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::uint64_t head[2];
    in.read(reinterpret_cast<char*>(head), sizeof head);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    Matrix x;
    x.rows = head[0];
    x.cols = head[1];
    x.data.resize(x.rows * x.cols);
    in.read(reinterpret_cast<char*>(x.data.data()), std::streamsize(x.data.size() * 8));
    return x;
}

void write_matrix(const std::string& path, const Matrix& m) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(m.data.data()), std::streamsize(m.data.size() * 8));
}

// Resident set size and its peak, in bytes.
std::pair<double, double> rss() {
    std::ifstream f("/proc/self/status");
    std::string line;
    double cur = 0, peak = 0;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) cur = std::atof(line.c_str() + 6) * 1024;
        if (line.rfind("VmHWM:", 0) == 0) peak = std::atof(line.c_str() + 6) * 1024;
    }
    return {cur, peak};
}

int memory(const char* path, std::size_t k) {
    std::vector<Token> tokens;
    double raw;
    {
        Matrix x = read_matrix(path);
        raw = double(x.data.size()) * 8;
        tokens.resize(x.rows);
        for (std::size_t i = 0; i < x.rows; ++i) {
            tokens[i].line_index = i;
            tokens[i].embedding.assign(x.row(i), x.row(i) + x.cols);
        }
    }
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
    const double base = rss().first;
    std::ofstream("/proc/self/clear_refs") << "5";  // restart the peak count
    const double t0 = now();
    tokens = pca(std::move(tokens), k);
    const double t1 = now();
    const double peak = rss().second;
    std::printf("raw_mib %.1f\n", raw / (1 << 20));
    std::printf("rss_before_mib %.1f\n", base / (1 << 20));
    std::printf("peak_mib %.1f\n", peak / (1 << 20));
    std::printf("peak_over_raw %.3f\n", peak / raw);
    std::printf("pca_tokens %.4f\n", t1 - t0);
    {
        Stage st{"scale_tokens"};
        tokens = scale_tokens(std::move(tokens));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--memory") == 0)
        return memory(argv[2], argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 512);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_pca X.bin OUT_DIR [k] [threads] | --memory X.bin [k]\n");
        return 2;
    }
    const std::string out = argv[2];
    const std::size_t k = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 512;
    const unsigned threads = argc > 4 ? unsigned(std::strtoul(argv[4], nullptr, 10)) : 0;
    const Matrix x = read_matrix(argv[1]);
    std::printf("n %zu\nd %zu\nk %zu\n", x.rows, x.cols, k);

    std::vector<double> mean;
    Matrix s;
    Bidiagonal b;
    Svd dec;
    {
        Stage st{"means"};
        mean = column_means(x, threads);
    }
    {
        Stage st{"covariance"};
        s = covariance(x, mean, threads);
    }
    write_matrix(out + "/S.bin", s);
    {
        Stage st{"bidiagonal"};
        b = bidiagonalize(s, threads);
    }
    {
        Stage st{"svd"};
        dec = svd(s, threads);
    }

    PCA model(k);
    model.mean = mean;
    model.components = Matrix(x.cols, k);
    for (std::size_t i = 0; i < x.cols; ++i)
        for (std::size_t j = 0; j < k; ++j) model.components(i, j) = dec.u(i, j);
    write_matrix(out + "/W.bin", model.components);
    double checksum = 0;
    {
        Stage st{"projection"};
        model.transform_rows(x, [&](std::size_t, const double* row) { checksum += row[0]; }, threads);
    }
    std::fprintf(stderr, "checksum %g %g\n", checksum, b.diagonal[0]);
    return 0;
}
