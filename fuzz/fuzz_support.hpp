// What the fuzz targets share: a check that stops the run with its condition
// (libFuzzer keeps the input), and record equality with values compared bit
// for bit.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fio/reader/kelvra_decoder.hpp"

#define FUZZ_CHECK(cond)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                         \
        }                                                                         \
    } while (0)

namespace orvelle::fuzz {

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline bool same(const LineKelvra& a, const LineKelvra& b) {
    if (a.linex_index != b.linex_index || a.features.size() != b.features.size()) return false;
    for (std::size_t f = 0; f < a.features.size(); ++f) {
        const FeatureKelvra& x = a.features[f];
        const FeatureKelvra& y = b.features[f];
        if (x.token != y.token || x.layers.size() != y.layers.size()) return false;
        for (std::size_t l = 0; l < x.layers.size(); ++l)
            if (x.layers[l].index != y.layers[l].index || !same_bits(x.layers[l].values, y.layers[l].values))
                return false;
    }
    return true;
}

inline bool same(const std::vector<LineKelvra>& a, const std::vector<LineKelvra>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!same(a[i], b[i])) return false;
    return true;
}

}  // namespace orvelle::fuzz
