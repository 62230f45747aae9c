// One whole analysis on a feature file (the in-memory global space), stage by
// stage, or whole.
//
//   bench_pipeline FILE OUT_FOLDER stages [RATIO]   the stages below, one by one
//   bench_pipeline FILE OUT_FOLDER whole [RATIO]    run_analysis, as calculator() runs it
//
// The stages are the pipeline's own steps in its order, each reduction split
// into column means, covariance, decomposition, projection and scaling; each
// prints "name seconds" and "name_cpu seconds" (stage_timer.hpp). Both modes
// write the same random_subspace.txt and calculator_summary.txt.
#include <sys/resource.h>

#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include "analysis/pipeline.hpp"
#include "fio/reader/kelvra.hpp"
#include "linalg/pca.hpp"
#include "linalg/svd.hpp"
#include "space/calculator.hpp"
#include "space/geometry.hpp"
#include "space/reduction.hpp"
#include "space/space.hpp"
#include "stage_timer.hpp"

using namespace orvelle;

namespace {

double peak_rss_mb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;  // KiB on Linux
}

using bench::Stage;

const std::vector<std::vector<std::string>> kSeeds = {{"his", "they"}, {"she", "her"}};

// The reduction of one space as reduce_in_place runs it, stage by stage.
Reduction reduce_staged(std::vector<Token>& tokens, const char* means_name, const char* cov_name,
                        const char* svd_name, const char* proj_name, const char* scale_name) {
    const std::size_t n = tokens.size(), d = tokens[0].embedding.size(), k = 512;
    RowView x(n, d);
    for (std::size_t i = 0; i < n; ++i) x.row[i] = tokens[i].embedding.data();
    Reduction r;
    PCA& model = r.model;
    model = PCA(k);
    Matrix s;
    {
        Stage st{means_name};
        model.mean = column_means(x);
    }
    {
        Stage st{cov_name};
        s = covariance(x, model.mean);
    }
    {
        Stage st{svd_name};
        Svd dec = svd(std::move(s));
        model.components = Matrix(d, k);
        for (std::size_t i = 0; i < d; ++i) std::copy(dec.u.row(i), dec.u.row(i) + k, model.components.row(i));
        model.singular_values = std::move(dec.singular_values);
    }
    {
        Stage st{proj_name};
        model.transform_rows(x, [&](std::size_t i, const double* row) {
            tokens[i].embedding = std::vector<double>(row, row + k);
        });
    }
    {
        Stage st{scale_name};
        r.scaling = scale_in_place(tokens);
    }
    return r;
}

// run_analysis's steps (in-memory global space), each timed on its own, with
// the same outputs.
void stages(const std::string& path, const std::string& folder, double ratio) {
    const double t0 = bench::now();
    std::vector<Line> lines;
    {
        Stage st{"read"};
        lines = read_corpus({path}, false);
    }
    const std::size_t line_count = lines.size();
    std::vector<Token> tokens;
    {
        Stage st{"gather"};
        std::size_t n = 0;
        for (const Line& l : lines) n += l.tokens.size();
        tokens.reserve(n);
        for (Line& l : lines)
            for (Token& t : l.tokens) tokens.push_back(std::move(t));
        std::vector<Line>().swap(lines);
    }
    const std::size_t n = tokens.size(), width = tokens.empty() ? 0 : tokens[0].embedding.size();
    std::printf("tokens %zu\nwidth %zu\n", n, width);
    ReducedSpace global;
    global.reduction = reduce_staged(tokens, "means", "covariance", "decomposition", "projection", "scaling");
    global.space = Space{"Global Space", std::move(tokens), std::nullopt};
    std::vector<Token> drawn;
    {
        Stage st{"draw"};
        drawn = global.space.get_random_tokens(random_token_count(ratio, line_count), 1, std::nullopt);
    }
    ReducedSpace random;
    random.reduction = reduce_staged(drawn, "random_means", "random_covariance", "random_decomposition",
                                     "random_projection", "random_scaling");
    random.space = Space{"Global Space", std::move(drawn), std::nullopt};
    {
        Stage st{"listing"};
        random.space.write(folder + "/random_subspace.txt", false);
    }
    {
        Stage st{"seeds_calculator"};
        std::vector<Space> seeds;
        for (const auto& group : kSeeds)
            seeds.push_back(Space::new_space(global.space.find(group), group, std::nullopt));
        global = ReducedSpace{};
        Calculator calc = Calculator::new_calculator(random.space.tokens,
                                                     SeedCentres::of(std::move(seeds), &random.reduction));
        calc.save_summary(folder);
    }
    std::printf("total %.4f\npeak_rss_mb %.1f\n", bench::now() - t0, peak_rss_mb() * 1.048576);
}

void whole(const std::string& path, const std::string& folder, double ratio) {
    const double t0 = bench::now();
    AnalysisRequest request;
    request.path = path;
    request.subspace_seeds = kSeeds;
    request.subspace_folder_path = folder;
    request.random_token_num = ratio;
    Calculator calc = run_analysis(std::move(request));
    calc.save_summary(folder);
    std::printf("total %.4f\npeak_rss_mb %.1f\n", bench::now() - t0, peak_rss_mb() * 1.048576);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s FILE OUT_FOLDER stages|whole [RATIO]\n", argv[0]);
        return 2;
    }
    const double ratio = argc == 5 ? std::atof(argv[4]) : 0.8;
    try {
        if (std::strcmp(argv[3], "stages") == 0)
            stages(argv[1], argv[2], ratio);
        else
            whole(argv[1], argv[2], ratio);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
