// Storage starting on a cache line: SIMD lanes load whole lines, and workers
// writing neighbouring ranges of 8 values never share a line.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace orvelle {

template <class T>
struct LineAligned {
    using value_type = T;
    LineAligned() = default;
    template <class U>
    LineAligned(const LineAligned<U>&) {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{64})); }
    void deallocate(T* p, std::size_t) { ::operator delete(p, std::align_val_t{64}); }
    template <class U>
    bool operator==(const LineAligned<U>&) const { return true; }
};

using Doubles = std::vector<double, LineAligned<double>>;

}  // namespace orvelle
