// Cost of a million inc(1) calls on a disabled and an enabled bar, beside an
// empty loop of the same length. Run with standard error on a terminal to
// include drawing: ./bench_progress_bar
#include <chrono>
#include <cstdio>

#include "util/progress_bar.hpp"

using clock_type = std::chrono::steady_clock;

template <class F>
double seconds(F f) {
    auto t0 = clock_type::now();
    f();
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

int main() {
    constexpr int n = 1'000'000;
    volatile std::uint64_t sink = 0;
    double empty = seconds([&] {
        for (int i = 0; i < n; ++i) sink = sink + 1;
    });
    double disabled = seconds([&] {
        orvelle::ProgressBar bar(n, "Disabled", false);
        for (int i = 0; i < n; ++i) bar.inc(1);
        bar.finish();
    });
    double enabled = seconds([&] {
        orvelle::ProgressBar bar(n, "Enabled", true);
        for (int i = 0; i < n; ++i) bar.inc(1);
        bar.finish();
    });
    std::fprintf(stdout, "\n1e6 inc(1): empty loop %.4f s, disabled bar %.4f s, enabled bar %.4f s\n", empty,
                 disabled, enabled);
    return 0;
}
