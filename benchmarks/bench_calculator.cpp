// Calculator construction on 100000 random-space tokens x 512 components
// against 4 seed-word spaces, next to a plain single-threaded loop (one
// cos_similarity call per token and space, inserted into the table) in the
// same run. Texts are all distinct, so no token is skipped as a duplicate.
//
//   build/tests/bench_calculator [tokens] [width] [spaces]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "space/calculator.hpp"
#include "space/geometry.hpp"
#include "space/similarity_table.hpp"

using namespace orvelle;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

Token make_token(std::string text, std::size_t width, std::mt19937_64& rng) {
    std::normal_distribution<double> normal(0.0, 1.0);
    Token t;
    t.text = std::move(text);
    t.embedding.resize(width);
    for (double& x : t.embedding) x = normal(rng);
    return t;
}

// The construction written as plainly as possible, on one thread.
Calculator plain_loop(const Space& base, const std::vector<Space>& compare) {
    std::vector<std::vector<double>> centres;
    for (const Space& s : compare) centres.push_back(get_center(s.tokens));
    std::vector<double> m(centres[0].size(), 0.0);
    for (const auto& c : centres) {
        for (std::size_t i = 0; i < m.size(); ++i) m[i] = m[i] + c[i];
    }
    for (double& v : m) v = v / static_cast<double>(compare.size());
    Calculator calc;
    for (std::size_t s = 0; s < compare.size(); ++s) calc.ideal_similarity.insert(compare[s].name, cos_similarity(centres[s], m));
    for (std::size_t s = 0; s < compare.size(); ++s) {
        const double r = *calc.ideal_similarity.find(compare[s].name);
        OrderedTable<double> t;
        for (const Token& tok : base.tokens) t.insert(tok.text, cos_similarity(tok.embedding, centres[s]) / r);
        calc.bias.insert(compare[s].name, std::move(t));
    }
    return calc;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const std::size_t width = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 512;
    const std::size_t spaces = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 4;
    std::mt19937_64 rng(1);

    Space base{"random", {}, std::nullopt};
    base.tokens.reserve(n);
    for (std::size_t j = 0; j < n; ++j) base.tokens.push_back(make_token(std::to_string(j), width, rng));
    std::vector<Space> compare;
    for (std::size_t s = 0; s < spaces; ++s) {
        Space sp{std::string("Space of w").append(std::to_string(s)), {}, std::nullopt};
        for (int k = 0; k < 50; ++k) sp.tokens.push_back(make_token(std::string("w").append(std::to_string(s)), width, rng));
        compare.push_back(std::move(sp));
    }
    std::printf("calculator: %zu tokens x %zu against %zu spaces, %u hardware threads\n", n, width, spaces,
                std::max(1u, std::thread::hardware_concurrency()));

    auto t0 = std::chrono::steady_clock::now();
    const Calculator reference = plain_loop(base, compare);
    const double t_plain = seconds_since(t0);

    double t_new = 1e300;
    Calculator calc;
    for (int rep = 0; rep < 3; ++rep) {
        Space b = base;  // copies are not timed
        std::vector<Space> c = compare;
        t0 = std::chrono::steady_clock::now();
        calc = Calculator::new_calculator(std::move(b), std::move(c));
        t_new = std::min(t_new, seconds_since(t0));
    }

    // The similarity kernel alone, one thread and all threads.
    std::vector<const double*> rows;
    for (const Token& t : base.tokens) rows.push_back(t.embedding.data());
    std::vector<std::vector<double>> centres;
    for (const Space& s : compare) centres.push_back(get_center(s.tokens));
    double t_k1 = 1e300;
    double t_kn = 1e300;
    const unsigned hw = std::max(1u, std::thread::hardware_concurrency());
    for (int rep = 0; rep < 3; ++rep) {
        t0 = std::chrono::steady_clock::now();
        volatile double sink = cos_similarity_table(rows, width, centres, 1)[0];
        t_k1 = std::min(t_k1, seconds_since(t0));
        t0 = std::chrono::steady_clock::now();
        sink = cos_similarity_table(rows, width, centres, hw)[0];
        t_kn = std::min(t_kn, seconds_since(t0));
        (void)sink;
    }

    // Same tables, same bits.
    std::size_t differ = 0;
    for (std::size_t s = 0; s < calc.bias.size(); ++s) {
        const auto& got = calc.bias.entry(s).second;
        const auto& want = *reference.bias.find(calc.bias.entry(s).first);
        for (std::size_t j = 0; j < got.size(); ++j) {
            const double a = got.entry(j).second;
            const double b = want.entry(j).second;
            differ += std::memcmp(&a, &b, sizeof a) != 0;
        }
    }

    std::printf("plain loop, 1 thread          %8.1f ms\n", t_plain * 1e3);
    std::printf("new_calculator                %8.1f ms   (%.2fx faster)\n", t_new * 1e3, t_plain / t_new);
    std::printf("  similarity kernel, 1 thread %8.1f ms\n", t_k1 * 1e3);
    std::printf("  similarity kernel, %u threads%7.1f ms\n", hw, t_kn * 1e3);
    std::printf("ratios differing from the plain loop: %zu\n", differ);
    return differ == 0 ? 0 : 1;
}
