// The public kernels of a portable build: each forwards to the copy of the
// active level (linalg/kernel_level.hpp). Compiled only when the build holds
// several levels; otherwise the kernel files define these names themselves.
#include <cstddef>
#include <utility>

#include "linalg/pca.hpp"
#include "linalg/products.hpp"
#include "linalg/simd_level.hpp"
#include "linalg/svd.hpp"
#include "space/similarity_table.hpp"

// Declared from the public functions' own types, so a copy that drifts from
// its header fails to link instead of being called through the wrong type.
#define ORVELLE_LEVEL_KERNELS(ns)                                              \
    namespace orvelle::ns {                                                    \
    decltype(orvelle::centred_gram) centred_gram;                              \
    decltype(orvelle::centred_gram_add) centred_gram_add;                      \
    decltype(orvelle::complete_gram) complete_gram;                            \
    decltype(orvelle::centred_product) centred_product;                        \
    Svd svd(Matrix a, unsigned threads);                                       \
    Svd svd(Matrix a, unsigned threads, std::size_t max_iterations);           \
    decltype(orvelle::bidiagonalize) bidiagonalize;                            \
    decltype(orvelle::column_means) column_means;                              \
    decltype(orvelle::cos_similarity_table) cos_similarity_table;              \
    }

ORVELLE_LEVEL_KERNELS(simd_baseline)
ORVELLE_LEVEL_KERNELS(simd_avx2)
ORVELLE_LEVEL_KERNELS(simd_avx512)

namespace orvelle {

namespace {

struct Kernels {
    decltype(&orvelle::centred_gram) centred_gram;
    decltype(&orvelle::centred_gram_add) centred_gram_add;
    decltype(&orvelle::complete_gram) complete_gram;
    decltype(&orvelle::centred_product) centred_product;
    Svd (*svd)(Matrix, unsigned);
    Svd (*svd_limited)(Matrix, unsigned, std::size_t);
    decltype(&orvelle::bidiagonalize) bidiagonalize;
    decltype(&orvelle::column_means) column_means;
    decltype(&orvelle::cos_similarity_table) cos_similarity_table;
};

#define ORVELLE_LEVEL_TABLE(ns)                                                                    \
    Kernels {                                                                                      \
        &ns::centred_gram, &ns::centred_gram_add, &ns::complete_gram, &ns::centred_product, &ns::svd, &ns::svd, &ns::bidiagonalize,           \
            &ns::column_means, &ns::cos_similarity_table                                           \
    }

// Indexed by SimdLevel.
const Kernels kTables[] = {ORVELLE_LEVEL_TABLE(simd_baseline), ORVELLE_LEVEL_TABLE(simd_avx2),
                           ORVELLE_LEVEL_TABLE(simd_avx512)};

const Kernels& kernels() { return kTables[std::size_t(simd_level())]; }

}  // namespace

Matrix centred_gram(const RowView& x, const std::vector<double>& mean, unsigned threads, const RowTick& tick) {
    return kernels().centred_gram(x, mean, threads, tick);
}

void centred_gram_add(const RowView& x, const std::vector<double>& mean, Matrix& s, bool first, unsigned threads) {
    kernels().centred_gram_add(x, mean, s, first, threads);
}

void complete_gram(Matrix& s) { kernels().complete_gram(s); }

void centred_product(const RowView& x, const std::vector<double>& mean, const Matrix& w, unsigned threads,
                     const RowTick& tick, const RowSink& sink) {
    kernels().centred_product(x, mean, w, threads, tick, sink);
}

Svd svd(Matrix a, unsigned threads) { return kernels().svd(std::move(a), threads); }

Svd svd(Matrix a, unsigned threads, std::size_t max_iterations) {
    return kernels().svd_limited(std::move(a), threads, max_iterations);
}

Bidiagonal bidiagonalize(Matrix a, unsigned threads) { return kernels().bidiagonalize(std::move(a), threads); }

std::vector<double> column_means(const RowView& x, unsigned threads) { return kernels().column_means(x, threads); }

std::vector<double> cos_similarity_table(const std::vector<const double*>& rows, std::size_t width,
                                         const std::vector<std::vector<double>>& centres, unsigned threads) {
    return kernels().cos_similarity_table(rows, width, centres, threads);
}

}  // namespace orvelle
