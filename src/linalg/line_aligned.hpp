// Storage starting on a cache line: SIMD lanes load whole lines, and workers
// writing neighbouring ranges of 8 values never share a line. Large blocks
// (the decomposition's working matrices) also ask for huge pages: their
// kernels walk columns tens of kilobytes apart, one small page each, and with
// 4 KiB pages a 4096-wide sweep misses the TLB at every column.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace orvelle {

template <class T>
struct LineAligned {
    using value_type = T;
    static constexpr std::size_t kHugeBytes = std::size_t{2} << 20;

    LineAligned() = default;
    template <class U>
    LineAligned(const LineAligned<U>&) {}
    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < 2 * kHugeBytes) return static_cast<T*>(::operator new(bytes, std::align_val_t{64}));
        // Whole huge pages, advised before the first touch so that the
        // faults take huge pages where the system allows.
        void* p = ::operator new(round_huge(bytes), std::align_val_t{kHugeBytes});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        ::madvise(p, round_huge(bytes), MADV_HUGEPAGE);  // advice only: without huge pages it still works
#endif
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < 2 * kHugeBytes) ::operator delete(p, std::align_val_t{64});
        else ::operator delete(p, std::align_val_t{kHugeBytes});
    }
    // Doubles(n) and resize(n) leave the values unset, so that a large block
    // is first touched where its owner chooses: by its workers, each faulting
    // in its own pages (zero_parallel). Values given are constructed as usual.
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const LineAligned<U>&) const { return true; }

private:
    static std::size_t round_huge(std::size_t bytes) { return (bytes + kHugeBytes - 1) / kHugeBytes * kHugeBytes; }
};

using Doubles = std::vector<double, LineAligned<double>>;

}  // namespace orvelle
