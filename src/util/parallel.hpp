// Worker threads for the dense kernels. Workers always own different output
// elements, so the thread count changes the speed and never the bits.
#pragma once

#include <cstddef>
#include <thread>
#include <utility>
#include <vector>

namespace orvelle {

// 0 asks for one worker per hardware thread.
inline unsigned worker_count(unsigned requested) {
    if (requested > 0) return requested;
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : hw;
}

// Runs body(t) for t in [0, threads): t = 0 on the calling thread, the others
// on fresh threads; returns when all have finished. body must not throw.
template <class F>
void run_workers(unsigned threads, F&& body) {
    if (threads <= 1) {
        body(0u);
        return;
    }
    std::vector<std::jthread> pool;
    pool.reserve(threads - 1);
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back([&body, t] { body(t); });
    body(0u);
}

// The contiguous share [first, second) of `count` items that worker t takes.
inline std::pair<std::size_t, std::size_t> share(std::size_t count, unsigned t, unsigned threads) {
    std::size_t base = count / threads, extra = count % threads;
    std::size_t begin = t * base + (t < extra ? t : extra);
    return {begin, begin + base + (t < extra ? 1 : 0)};
}

}  // namespace orvelle
