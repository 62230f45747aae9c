// Worker threads for the dense kernels. Workers always own different output
// elements, so the thread count changes the speed and never the bits.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "util/cancellation.hpp"
#include "util/cpu_count.hpp"

namespace orvelle {

// 0 asks for one worker per processor this process may use.
inline unsigned worker_count(unsigned requested) { return requested > 0 ? requested : usable_cpus(); }

// Runs body(t) for t in [0, threads): t = 0 on the calling thread, the others
// on fresh threads; returns when all have finished. body must not throw. The
// workers see the caller's cancellation token (stop_requested()); only worker
// 0 may poll it.
template <class F>
void run_workers(unsigned threads, F&& body) {
    if (threads <= 1) {
        body(0u);
        return;
    }
    std::vector<std::jthread> pool;
    pool.reserve(threads - 1);
    Cancellation* const token = current_cancellation();
    for (unsigned t = 1; t < threads; ++t)
        pool.emplace_back([&body, t, token] {
            CancelScope scope(token, false);
            body(t);
        });
    body(0u);
}

// A meeting point for a fixed set of workers, used many times per second:
// the phases between meetings are often shorter than a wake-up from sleep,
// so waiting workers spin briefly, then yield their core until released.
class SpinBarrier {
public:
    explicit SpinBarrier(unsigned workers) : workers_(workers) {}

    void arrive_and_wait() {
        const unsigned phase = phase_.load(std::memory_order_acquire);
        if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == workers_) {
            arrived_.store(0, std::memory_order_relaxed);
            phase_.fetch_add(1, std::memory_order_release);
            return;
        }
        for (int spin = 0; spin < 2000; ++spin) {
            if (phase_.load(std::memory_order_acquire) != phase) return;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        // The others may share this core: let them run.
        while (phase_.load(std::memory_order_acquire) == phase) std::this_thread::yield();
    }

private:
    const unsigned workers_;
    std::atomic<unsigned> arrived_{0};
    std::atomic<unsigned> phase_{0};
};

// The contiguous share [first, second) of `count` items that worker t takes.
inline std::pair<std::size_t, std::size_t> share(std::size_t count, unsigned t, unsigned threads) {
    std::size_t base = count / threads, extra = count % threads;
    std::size_t begin = t * base + (t < extra ? t : extra);
    return {begin, begin + base + (t < extra ? 1 : 0)};
}

// Runs item(i) for every i in [0, count) on `threads` workers (run_workers):
// each takes its own share from the front, then what is left of the others'
// from the back. Neighbouring items stay on one worker where they can (they
// may share cache lines, which two cores writing them at once pass back and
// forth), and a worker that loses its core for a while to another thread
// leaves the rest of its share to the others instead of holding them up.
template <class F>
void run_stealing(std::size_t count, unsigned threads, F&& item) {
    struct Span {
        std::atomic<std::uint64_t> v{0};  // front << 32 | back: items [front, back) not yet taken
    };
    const auto spans = std::make_unique<Span[]>(threads);
    for (unsigned t = 0; t < threads; ++t) {
        auto [b, e] = share(count, t, threads);
        spans[t].v.store(std::uint64_t(b) << 32 | e, std::memory_order_relaxed);
    }
    auto take = [&](unsigned t, bool front, std::size_t& i) {
        std::uint64_t cur = spans[t].v.load(std::memory_order_relaxed);
        for (;;) {
            const std::uint64_t f = cur >> 32, b = cur & 0xffffffffu;
            if (f >= b) return false;
            const std::uint64_t next = front ? (f + 1) << 32 | b : f << 32 | (b - 1);
            if (spans[t].v.compare_exchange_weak(cur, next, std::memory_order_relaxed)) {
                i = front ? f : b - 1;
                return true;
            }
        }
    };
    run_workers(threads, [&](unsigned t) {
        std::size_t i;
        while (take(t, true, i)) item(i);
        for (unsigned k = 1; k < threads; ++k)
            while (take((t + k) % threads, false, i)) item(i);
    });
}

// Sets [p, p + n) to zero, the workers taking runs of 2 MiB (a huge page
// each). The first touch of a large fresh block faults its pages in, and on
// a virtual machine whose host hands out memory lazily each huge page costs
// up to a millisecond: a 4096-wide decomposition's working copy took 1.4 s
// on one thread, about half that on two.
inline void zero_parallel(double* p, std::size_t n, unsigned threads) {
    constexpr std::size_t kRun = (std::size_t{2} << 20) / sizeof(double);
    const std::size_t runs = (n + kRun - 1) / kRun;
    const unsigned nt = unsigned(std::min<std::size_t>(worker_count(threads), std::max<std::size_t>(1, runs / 2)));
    run_workers(nt, [&](unsigned t) {
        auto [r0, r1] = share(runs, t, nt);
        const std::size_t b = std::min(n, r0 * kRun), e = std::min(n, r1 * kRun);
        if (e > b) std::memset(p + b, 0, (e - b) * sizeof(double));
    });
}

}  // namespace orvelle
