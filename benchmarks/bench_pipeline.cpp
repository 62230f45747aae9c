// One whole analysis on a feature file, stage by stage: wall time of each
// stage, peak RSS, and the raw size of the vectors (tokens x width x 8 bytes).
//
//   bench_pipeline FILE OUT_FOLDER stages   the stages below, one by one
//   bench_pipeline FILE OUT_FOLDER whole    run_analysis, as calculator() runs it
//
// The stages are the pipeline's own steps in its order; the global space's
// reduction is split into fit, projection and scaling.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "fio/reader/kelvra.hpp"
#include "analysis/pipeline.hpp"
#include "space/geometry.hpp"
#include "space/space.hpp"
#include "linalg/pca.hpp"

using namespace orvelle;
using clock_type = std::chrono::steady_clock;

namespace {

double peak_rss_mb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;  // KiB on Linux
}

struct Stopwatch {
    clock_type::time_point t = clock_type::now();
    void lap(const char* stage) {
        auto now = clock_type::now();
        std::printf("  %-22s %8.3f s   peak RSS so far %8.1f MB\n", stage,
                    std::chrono::duration<double>(now - t).count(), peak_rss_mb());
        std::fflush(stdout);
        t = clock_type::now();
    }
};

const std::vector<std::vector<std::string>> kSeeds = {{"his", "he"}, {"her", "she"}};

void stages(const std::string& path, const std::string& folder) {
    Stopwatch w;
    std::vector<Line> lines = KelvraReader{}.read(path, false);
    const std::size_t line_count = lines.size();
    std::size_t n = 0, width = 0;
    for (const Line& l : lines) {
        n += l.tokens.size();
        if (width == 0 && !l.tokens.empty()) width = l.tokens[0].embedding.size();
    }
    w.lap("read");

    std::vector<Token> tokens;
    tokens.reserve(n);
    for (Line& l : lines)
        for (Token& t : l.tokens) tokens.push_back(std::move(t));
    std::vector<Line>().swap(lines);
    RowView x(tokens.size(), width);
    for (std::size_t i = 0; i < tokens.size(); ++i) x.row[i] = tokens[i].embedding.data();
    PCA model(512);
    model.fit(x);
    w.lap("global PCA fit");
    model.transform_rows(x, [&](std::size_t i, const double* row) {
        tokens[i].embedding = std::vector<double>(row, row + 512);
    });
    w.lap("global PCA transform");
    Space global{"Global Space", scale_tokens(std::move(tokens)), std::nullopt};
    w.lap("global scaling");

    std::vector<Token> drawn = global.get_random_tokens(random_token_count(0.8, line_count), 1, std::nullopt);
    w.lap("random draw");
    Space random_space = Space::new_space(std::move(drawn), std::nullopt, std::nullopt);
    w.lap("random-space PCA+scale");
    random_space.write(folder + "/random_subspace.txt", false);
    w.lap("listing");

    std::vector<Space> seeds;
    for (auto group : kSeeds) seeds.push_back(Space::new_space(global.find(group), group, std::nullopt));
    global = Space{};
    Calculator calc = Calculator::new_calculator(std::move(random_space), std::move(seeds));
    w.lap("seed spaces+calculator");
    calc.save_summary(folder);

    const double raw_mb = static_cast<double>(n) * static_cast<double>(width) * 8.0 / 1e6;
    std::printf("  tokens %zu x width %zu: raw vectors %.1f MB; peak RSS %.1f MB = %.2f x raw\n", n, width,
                raw_mb, peak_rss_mb() * 1.048576, peak_rss_mb() * 1.048576 / raw_mb);
}

void whole(const std::string& path, const std::string& folder) {
    auto t0 = clock_type::now();
    AnalysisRequest request;
    request.path = path;
    request.subspace_seeds = kSeeds;
    request.subspace_folder_path = folder;
    Calculator calc = run_analysis(std::move(request));
    double seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    std::printf("  whole analysis %.3f s, peak RSS %.1f MB\n", seconds, peak_rss_mb() * 1.048576);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE OUT_FOLDER stages|whole\n", argv[0]);
        return 2;
    }
    try {
        if (std::strcmp(argv[3], "stages") == 0)
            stages(argv[1], argv[2]);
        else
            whole(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
