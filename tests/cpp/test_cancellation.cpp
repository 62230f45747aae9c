// Stopping an analysis on request: wherever it is stopped, it ends with
// Interrupted, its workers joined and its files closed, leaving no listing
// that passes for a whole one; a request that never comes changes nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "analysis/pipeline.hpp"
#include "linalg/pca.hpp"
#include "linalg/svd.hpp"
#include "space/similarity_table.hpp"
#include "test_support.hpp"
#include "util/cancellation.hpp"

using namespace orvelle;
namespace fs = std::filesystem;

namespace {

std::size_t entries(const char* folder) {  // open descriptors, or threads
    return std::size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// 150 lines of he, she, nurse and the, 520 values each.
std::string feature_file() {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    std::string out;
    for (int i = 0; i < 150; ++i) {
        out += "{\"linex_index\":" + std::to_string(i) + ",\"features\":[";
        for (const char* word : {"he", "she", "nurse", "the"}) {
            out += std::string(out.back() == '[' ? "" : ",") + "{\"token\":\"" + word + "\",\"layers\":[{\"index\":0,\"values\":[";
            for (int j = 0; j < 520; ++j) out += (j ? "," : "") + std::to_string(normal(rng));
            out += "]}]}";
        }
        out += "]}\n";
    }
    return out;
}

std::vector<double> ratios(const std::string& path, const std::string& folder) {
    AnalysisRequest r{path, {{"he"}, {"she"}}, -1.0, std::nullopt, folder, std::nullopt, std::nullopt, std::nullopt};
    std::vector<double> out;
    for (const auto& [name, v] : run_analysis(r).bias_sum_average()) out.push_back(v);
    return out;
}

// The analysis under a token polled at every safe point, stopped at poll
// `stop_at` (0: never); `watch` sees each poll.
std::vector<double> run_polled(const std::string& path, const std::string& folder, std::size_t stop_at,
                               const std::function<void(std::size_t)>& watch = [](std::size_t) {}) {
    std::size_t polls = 0;
    Cancellation token([&] { return watch(++polls), polls == stop_at; }, std::chrono::nanoseconds(0));
    CancelScope scope(&token);
    return ratios(path, folder);
}

class AnalysisInterruption : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { ::setenv("ORVELLE_STREAM", GetParam(), 1); }
    void TearDown() override { ::unsetenv("ORVELLE_STREAM"); }
};

TEST_P(AnalysisInterruption, StopsAnywhereLeavingNothingBehind) {
    test::TempDir dir;
    const std::string path = dir.write("f.jsonl", feature_file()), listing = dir.file("random_subspace.txt");
    std::size_t polls = 0, writing = 0;  // writing: the first poll that finds the listing begun
    const std::vector<double> whole_ratios = run_polled(path, dir.path(), 0, [&](std::size_t poll) {
        polls = poll;
        if (!writing && fs::exists(listing) && fs::file_size(listing) > 0) writing = poll;
    });
    const std::string whole = test::read_file(listing);
    fs::remove(listing);
    EXPECT_EQ(ratios(path, dir.path()), whole_ratios);
    ASSERT_GT(writing, 100u);

    const std::size_t fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
    // Reading, the global fit, the random space's fit and projection, the listing, the ratios.
    for (std::size_t k : {std::size_t{1}, std::size_t{3}, writing / 3, writing - 100, writing - 4, writing + 3,
                          polls - 1}) {
        fs::remove(listing);
        EXPECT_THROW(run_polled(path, dir.path(), k), Interrupted) << "poll " << k;
        // Stopped while written, the listing goes: truncated, it would pass
        // for the listing of a smaller draw. Written before, it stays whole.
        if (k == writing + 3) {
            EXPECT_FALSE(fs::exists(listing));
        } else if (fs::exists(listing)) {
            EXPECT_EQ(test::read_file(listing), whole) << "poll " << k;
        }
        EXPECT_EQ(entries("/proc/self/fd"), fds) << "poll " << k;  // spill files included
        EXPECT_EQ(entries("/proc/self/task"), threads) << "poll " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, AnalysisInterruption, ::testing::Values("0", "1"),
                         [](const auto& info) { return std::string(info.param[0] == '1' ? "Streamed" : "InMemory"); });

// A token cancelled from another thread stops each kernel on every worker; a
// call the request missed returns the whole result, never a part of one.
TEST(Stopping, KernelsStopWithoutPartialResults) {
    const std::size_t n = 3000, d = 600;
    std::mt19937_64 rng(1);
    std::normal_distribution<double> normal;
    Matrix x(n, d), square(d, d);
    for (double& v : x.data) v = normal(rng);
    for (double& v : square.data) v = normal(rng);
    const RowView rows = x;
    const std::vector<double> mean = column_means(rows, 2);
    const std::vector<std::function<std::vector<double>()>> kernels = {
        [&] { return centred_gram(rows, mean, 2, [] {}).data; },
        [&] {
            std::vector<double> out;
            centred_product(rows, mean, square, 2, [] {}, [&](std::size_t, const double* r) { out.insert(out.end(), r, r + d); });
            return out;
        },
        [&] { return column_means(rows, 2); },
        [&] { return svd(square, 2).u.data; },
        [&] { return cos_similarity_table(rows.row, d, {mean, mean}, 2); },
    };
    for (std::size_t i = 0; i < kernels.size(); ++i) {
        const std::vector<double> whole = kernels[i]();
        Cancellation token;
        CancelScope scope(&token);
        std::jthread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            token.cancel();
        });
        bool stopped = false;
        for (int call = 0; call < 1000 && !stopped; ++call) {
            try {
                EXPECT_EQ(kernels[i](), whole) << "kernel " << i;
            } catch (const Interrupted&) {
                stopped = true;
            }
        }
        EXPECT_TRUE(stopped) << "kernel " << i;
    }
}

}  // namespace
