// Stopping an analysis on request: at whatever point it is stopped, it ends
// with Interrupted, its workers joined and its files closed, and leaves no
// listing that passes for a whole one; a request that never comes changes
// nothing.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "analysis/pipeline.hpp"
#include "linalg/pca.hpp"
#include "linalg/svd.hpp"
#include "space/similarity_table.hpp"
#include "test_support.hpp"
#include "util/cancellation.hpp"
#include "util/environment.hpp"

using namespace orvelle;

namespace {

// Entries of a /proc folder: open descriptors, or threads of the process.
std::size_t entries(const char* folder) {
    std::size_t n = 0;
    DIR* d = ::opendir(folder);
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
    return n;
}

// `lines` lines of 4 tokens, 520 values each: he, she and two other words.
std::string feature_file(std::size_t lines) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    const char* words[] = {"he", "she", "nurse", "the"};
    std::string out;
    for (std::size_t i = 0; i < lines; ++i) {
        out += "{\"linex_index\":" + std::to_string(i) + ",\"features\":[";
        for (int t = 0; t < 4; ++t) {
            out += std::string(t ? "," : "") + "{\"token\":\"" + words[t] + "\",\"layers\":[{\"index\":0,\"values\":[";
            for (int j = 0; j < 520; ++j) out += (j ? "," : "") + std::to_string(normal(rng));
            out += "]}]}";
        }
        out += "]}\n";
    }
    return out;
}

std::vector<std::pair<std::string, double>> entries_of(const OrderedTable<double>& table) {
    std::vector<std::pair<std::string, double>> out;
    for (const auto& [name, v] : table) out.emplace_back(name, v);
    return out;
}

AnalysisRequest request(const std::string& path, const std::string& folder) {
    AnalysisRequest r;
    r.path = path;
    r.subspace_seeds = {{"he"}, {"she"}};
    r.random_token_num = -1.0;  // every token: a listing long enough to stop in
    r.subspace_folder_path = folder;
    return r;
}

// Runs the analysis under a token polled at every safe point, stopping at
// the poll `stop_at` (0: never); `watch` sees every poll. Returns the polls
// made, or throws.
std::size_t run_polled(const AnalysisRequest& r, std::size_t stop_at, Calculator* out = nullptr,
                       const std::function<void(std::size_t)>& watch = {}) {
    std::size_t polls = 0;
    Cancellation token(
        [&] {
            if (watch) watch(polls + 1);
            return ++polls == stop_at;
        },
        std::chrono::nanoseconds(0));
    CancelScope scope(&token);
    Calculator c = run_analysis(r);
    if (out) *out = std::move(c);
    return polls;
}

class AnalysisInterruption : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { ::setenv("ORVELLE_STREAM", GetParam(), 1); }
    void TearDown() override { ::unsetenv("ORVELLE_STREAM"); }
};

// Every stage, reading to the listing and the ratios, in memory and streamed.
TEST_P(AnalysisInterruption, StopsAnywhereLeavingNothingBehind) {
    test::TempDir dir;
    const std::string path = dir.write("f.jsonl", feature_file(150));
    const std::string listing = dir.path() + "/random_subspace.txt";

    Calculator reference, polled;
    reference = run_analysis(request(path, dir.path()));
    const std::string whole = test::read_file(listing);
    std::filesystem::remove(listing);
    std::size_t writing = 0;  // the first poll that finds the listing begun
    const std::size_t polls = run_polled(request(path, dir.path()), 0, &polled, [&](std::size_t poll) {
        if (!writing && std::filesystem::exists(listing) && std::filesystem::file_size(listing) > 0) writing = poll;
    });
    EXPECT_EQ(entries_of(polled.bias_sum_average()), entries_of(reference.bias_sum_average()));
    ASSERT_GT(writing, 100u);

    const std::size_t fds = entries("/proc/self/fd"), threads = entries("/proc/self/task");
    // Reading, the global fit, the random space's fit, its projection, the
    // listing, and the ratios.
    for (std::size_t k : {std::size_t{1}, std::size_t{3}, writing / 3, writing - 100, writing - 4, writing + 3,
                          polls - 1}) {
        std::filesystem::remove(listing);
        EXPECT_THROW(run_polled(request(path, dir.path()), k), Interrupted) << "poll " << k;
        // Stopped while it was written, the listing goes: truncated, it would
        // pass for the listing of a smaller draw.
        if (k == writing + 3) {
            EXPECT_FALSE(std::filesystem::exists(listing)) << "poll " << k;
        } else if (std::filesystem::exists(listing)) {
            EXPECT_EQ(test::read_file(listing), whole) << "poll " << k;
        }
        EXPECT_EQ(entries("/proc/self/fd"), fds) << "poll " << k;  // the spill files too
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
    const std::vector<const double*> pointers(rows.row.begin(), rows.row.end());
    auto product = [&] {
        std::vector<double> out;
        centred_product(rows, mean, square, 2, [] {}, [&](std::size_t, const double* r) { out.insert(out.end(), r, r + d); });
        return out;
    };
    const std::vector<std::function<std::vector<double>()>> kernels = {
        [&] { return centred_gram(rows, mean, 2, [] {}).data; },
        product,
        [&] { return column_means(rows, 2); },
        [&] { return svd(square, 2).u.data; },
        [&] { return cos_similarity_table(pointers, d, {mean, mean}, 2); },
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

// The poll runs on its owner's thread alone, at most once per interval, and
// at once after an interrupted system call.
TEST(Stopping, PollsOnItsOwnThreadAtItsInterval) {
    std::size_t polls = 0;
    Cancellation token([&] { return ++polls, false; }, std::chrono::hours(1));
    CancelScope scope(&token);
    for (int i = 0; i < 100; ++i) EXPECT_FALSE(stop_requested());
    std::jthread([&] {
        CancelScope worker(&token, false);
        EXPECT_FALSE(stop_requested());
    }).join();
    EXPECT_EQ(polls, 0u);
    checkpoint_after_eintr();
    EXPECT_EQ(polls, 1u);
    token.cancel();
    EXPECT_THROW(checkpoint(), Interrupted);
}

// The work reads the environment its host saw when it started, whatever
// another thread changes meanwhile.
TEST(Stopping, SnapshotHoldsTheEnvironment) {
    ::setenv("ORVELLE_STREAM", "1", 1);
    const EnvironmentSnapshot snapshot = EnvironmentSnapshot::take();
    ::setenv("ORVELLE_STREAM", "0", 1);
    {
        EnvironmentScope scope(snapshot);
        EXPECT_STREQ(environment("ORVELLE_STREAM"), "1");
    }
    EXPECT_STREQ(environment("ORVELLE_STREAM"), "0");
    ::unsetenv("ORVELLE_STREAM");
}

}  // namespace
