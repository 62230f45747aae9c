// Timings of the decomposition of one square matrix, for bench_svd.py to set
// beside numpy on the same matrix.
//
//   bench_svd A.bin [threads] [--stages | --bidiagonal] [--out OUT.bin]
//     A.bin: u64 m, then m x m f64 row by row. Prints "name seconds" lines for
//     the whole decomposition (wall and CPU) and, with --stages, for the
//     bidiagonal stage alone (--bidiagonal: that stage and nothing else);
//     --out writes the singular values then U (row by row), so two builds can
//     be compared byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "linalg/svd.hpp"
#include "stage_timer.hpp"

using namespace orvelle;
using bench::Stage;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_svd A.bin [threads] [--stages | --bidiagonal] [--out OUT.bin]\n");
        return 2;
    }
    unsigned threads = 0;
    bool stages = false, only_bidiagonal = false;
    const char* out_path = nullptr;
    for (int k = 2; k < argc; ++k) {
        if (std::strcmp(argv[k], "--stages") == 0)
            stages = true;
        else if (std::strcmp(argv[k], "--bidiagonal") == 0)
            stages = only_bidiagonal = true;
        else if (std::strcmp(argv[k], "--out") == 0 && k + 1 < argc)
            out_path = argv[++k];
        else
            threads = unsigned(std::strtoul(argv[k], nullptr, 10));
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::uint64_t m = 0;
    in.read(reinterpret_cast<char*>(&m), sizeof m);
    Matrix a(m, m);
    in.read(reinterpret_cast<char*>(a.data.data()), std::streamsize(a.data.size() * 8));
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    std::printf("m %llu\n", static_cast<unsigned long long>(m));
    if (stages) {
        Stage st{"bidiagonal"};
        bidiagonalize(a, threads);
    }
    if (only_bidiagonal) return 0;
    Svd dec;
    {
        Stage st{"svd"};
        dec = svd(a, threads);
    }
    if (out_path) {
        std::ofstream out(out_path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(dec.singular_values.data()), std::streamsize(m * 8));
        out.write(reinterpret_cast<const char*>(dec.u.data.data()), std::streamsize(m * m * 8));
    }
    return 0;
}
