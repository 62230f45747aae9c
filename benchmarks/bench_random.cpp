// The random selection over 10 million indexes: the shuffle alone against
// std::shuffle with std::mt19937_64 on the same list, and the whole selection
// (shuffle + walk) against a plain in-order copy of the same tokens.
//   bench_random [n]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "space/random.hpp"
#include "space/space.hpp"

using namespace orvelle;
using Clock = std::chrono::steady_clock;

template <class F>
double seconds(F&& f) {
    auto t0 = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
    std::printf("n = %zu indexes\n", n);

    // Shuffle alone.
    std::vector<std::uint32_t> ours;
    const double t_ours = seconds([&] { ours = shuffled_indexes(n, 1); });
    std::vector<std::uint32_t> ref(n);
    const double t_ref = seconds([&] {
        std::iota(ref.begin(), ref.end(), 0u);
        std::mt19937_64 gen(1);
        std::shuffle(ref.begin(), ref.end(), gen);
    });
    std::printf("shuffle (ChaCha8):             %8.3f s\n", t_ours);
    std::printf("reference std::shuffle mt19937_64: %8.3f s   ratio %.2f\n", t_ref, t_ours / t_ref);
    ref = {};
    ours = {};

    // A space of n tokens over 1000 texts; vectors empty to keep it in memory.
    Space space;
    space.tokens.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        space.tokens.push_back(Token{"w" + std::to_string(i % 1000), {}, i % 13, i / 13});
    const std::vector<std::string> exclude = {"w0", "w1"};

    double t_copy;
    {
        std::vector<Token> copy;
        t_copy = seconds([&] { copy = space.tokens; });
    }
    std::vector<Token> all;
    const double t_all = seconds([&] { all = space.get_random_tokens(0, 1, exclude); });
    std::printf("selection, every eligible (%zu copied): %8.3f s\n", all.size(), t_all);
    std::printf("reference in-order copy of all tokens:  %8.3f s   ratio %.2f\n", t_copy,
                t_all / t_copy);
    all = {};

    const std::int64_t count = static_cast<std::int64_t>(n / 10);
    std::vector<Token> some;
    const double t_some = seconds([&] { some = space.get_random_tokens(count, 1, exclude); });
    std::printf("selection of %lld tokens:              %8.3f s\n", static_cast<long long>(count),
                t_some);

    // Every token excluded: the walk visits all n indexes and copies nothing.
    std::vector<std::string> everything;
    for (int i = 0; i < 1000; ++i) everything.push_back("w" + std::to_string(i));
    const std::vector<std::string> one_word(1, "w0");
    Space narrow;
    narrow.tokens.assign(space.tokens.begin(), space.tokens.end());
    for (Token& t : narrow.tokens) t.text = "w0";
    space = {};
    std::vector<Token> none;
    const double t_none = seconds([&] { none = narrow.get_random_tokens(0, 1, one_word); });
    std::printf("shuffle + full walk, all excluded (%zu): %8.3f s   (target < 1 s)\n", none.size(),
                t_none);
    return 0;
}
