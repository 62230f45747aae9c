#include "analysis/streamed_global.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "fio/reader/feature_file.hpp"
#include "fio/reader/kelvra.hpp"
#include "fio/reader/normalise.hpp"
#include "fio/reader/parallel_decode.hpp"
#include "linalg/pca.hpp"
#include "linalg/products.hpp"
#include "linalg/svd.hpp"
#include "util/cancellation.hpp"
#include "util/environment.hpp"
#include "util/memory.hpp"
#include "util/panic.hpp"
#include "util/progress_bar.hpp"

namespace orvelle {

namespace {

constexpr std::size_t kDefaultComponents = 512;
constexpr std::size_t kChunk = 4096;  // rows per pass step: a multiple of the products' 256-row blocks

// Rows [first, first + count) of a spill, as a row view over `buffer`.
RowView load(const SpillFile& spill, std::size_t first, std::size_t count, std::vector<double>& buffer) {
    const std::size_t w = spill.width();
    buffer.resize(count * w);
    spill.read(first, count, buffer.data());
    RowView view(count, w);
    for (std::size_t i = 0; i < count; ++i) view.row[i] = buffer.data() + i * w;
    return view;
}

// Calls step(first, count) over [0, n) in kChunk steps. A last step of five
// rows or fewer would take the products' short path, with another order of
// additions than the in-memory product over all rows: it starts earlier
// (skip says how many of its rows were done already).
template <class Step>
void chunks(std::size_t n, Step step) {
    for (std::size_t first = 0; first < n; first += kChunk) {
        std::size_t count = std::min(kChunk, n - first), skip = 0;
        if (n > 5 && count <= 5) {
            skip = 6 - count;
            first -= skip;
            count = 6;
        }
        step(first, count, skip);
    }
}

}  // namespace

StreamedGlobal stream_global_space(const std::vector<std::string>& paths, bool user_friendly,
                                   std::optional<std::size_t> pca_dimension, unsigned threads) {
    StreamedGlobal g;
    const std::size_t k = pca_dimension.value_or(kDefaultComponents);

    // Pass 1: decode, keep the texts, spill the vectors, sum the columns.
    std::uint64_t total = 0;
    for (const std::string& path : paths) total += FeatureFile(path).size();
    ProgressBar reading(total, "Reading file", user_friendly);
    std::size_t d = 0;
    bool ragged = false;
    SpillFile raw;
    std::vector<double> sums;
    std::vector<std::size_t> first_bad;  // per column, the first row holding NaN or infinity
    for (const std::string& path : paths) {
        ReadOptions options;
        if (paths.size() > 1) options.source = path;
        FeatureFile file(path);
        decode_file(file, options, reading_progress(file, reading),
                    [&](std::vector<LineKelvra>&& records) {
                        for (LineKelvra& line : records) {
                            ++g.line_count;
                            for (FeatureKelvra& f : line.features) {
                                for (TokenKelvra& layer : f.layers) {
                                    if (g.texts.empty()) {
                                        d = layer.values.size();
                                        raw = SpillFile(d);
                                        sums.assign(d, 0.0);
                                        first_bad.assign(d, std::numeric_limits<std::size_t>::max());
                                    }
                                    if (layer.values.size() != d) {
                                        ragged = true;
                                        continue;
                                    }
                                    const std::size_t row = g.texts.size();
                                    const double* v = layer.values.data();
                                    for (std::size_t j = 0; j < d; ++j) {
                                        sums[j] = sums[j] + v[j];
                                        if (!std::isfinite(v[j]) && first_bad[j] > row) first_bad[j] = row;
                                    }
                                    raw.append(v);
                                    g.texts.push_back(f.token);
                                    g.line_index.push_back(line.linex_index);
                                    g.layer_index.push_back(layer.index);
                                }
                            }
                        }
                    });
    }
    reading.finish();
    const std::size_t n = g.texts.size();
    if (n == 0) panic("The space is empty!");
    if (ragged) panic("The provided rows must all have the same dimension.");
    raw.flush();

    // The fit, failing where PCA::fit fails.
    std::vector<double> mean(d);
    for (std::size_t j = 0; j < d; ++j) mean[j] = sums[j] / double(n);
    ProgressBar fit(n, "PCA Fit", true);
    if (d == 0 || k > d) {
        fit.inc(n);
        fit.finish();
        panic(d == 0 ? "Cannot compute the SVD of an empty matrix." : "Matrix slicing out of bounds.");
    }
    if (n == 1) panic("PCA fit on a single row: the sample covariance needs at least two rows.");
    for (std::size_t j = 0; j < d; ++j) {
        if (std::isfinite(mean[j])) continue;
        if (first_bad[j] < n)
            panic("PCA fit on data that is not finite: feature " + std::to_string(j) + " (counting from 0) of row " +
                  std::to_string(first_bad[j]) + " is NaN or infinite.");
        panic("PCA fit on data too large to average: the sum of feature " + std::to_string(j) +
              " (counting from 0) overflows f64.");
    }

    // Pass 2: the covariance, block by block in row order.
    Matrix s(d, d);
    std::vector<double> buffer;
    if (n <= 5) {
        s = centred_gram(load(raw, 0, n, buffer), mean, threads, [&] { fit.inc(1); });
    } else {
        for (std::size_t first = 0; first < n; first += kChunk) {
            const std::size_t count = std::min(kChunk, n - first);
            centred_gram_add(load(raw, first, count, buffer), mean, s, first == 0, threads);
            fit.inc(count);
        }
        complete_gram(s);
    }
    fit.finish();
    const double divisor = double(n) - 1.0;
    for (double& v : s.data) {
        v = v / divisor;
        if (!std::isfinite(v)) panic("PCA fit on data too large to square: the covariance overflows f64.");
    }
    Svd dec = decompose_covariance(std::move(s), threads);
    PCA& model = g.reduction.model;
    model = PCA(k);
    model.components = Matrix(d, k);
    for (std::size_t i = 0; i < d; ++i) std::copy(dec.u.row(i), dec.u.row(i) + k, model.components.row(i));
    model.mean = mean;
    model.singular_values = std::move(dec.singular_values);

    // Pass 3: the coordinates, spilled; the centre's sums on the way.
    ProgressBar transform(n, "PCA Transform", true);
    g.coordinates = SpillFile(k);
    std::vector<double> centre(k, 0.0);
    bool nan_sum = false;
    chunks(n, [&](std::size_t first, std::size_t count, std::size_t skip) {
        centred_product(load(raw, first, count, buffer), mean, model.components, threads, [] {},
                        [&](std::size_t i, const double* row) {
                            if (i < skip) return;
                            double sum = 0.0;
                            for (std::size_t j = 0; j < k; ++j) {
                                sum = sum + row[j];
                                centre[j] = centre[j] + row[j];
                            }
                            if (std::isnan(sum)) nan_sum = true;
                            g.coordinates.append(row);
                        });
        transform.inc(count - skip);
    });
    transform.finish();
    g.coordinates.flush();
    raw = SpillFile();
    if (n >= 2 && nan_sum) unwrap_none();
    for (double& c : centre) c = c / double(n);

    // Pass 4: the deviations.
    std::vector<double> sd(k, 0.0);
    for (std::size_t first = 0; first < n; first += kChunk) {
        checkpoint();
        const std::size_t count = std::min(kChunk, n - first);
        const RowView rows = load(g.coordinates, first, count, buffer);
        for (std::size_t i = 0; i < count; ++i)
            for (std::size_t j = 0; j < k; ++j) {
                const double dv = rows.row[i][j] - centre[j];
                sd[j] = sd[j] + dv * dv;
            }
    }
    for (double& v : sd) v = std::sqrt(v / double(n));
    g.reduction.scaling = Scaling{std::move(centre), std::move(sd)};
    return g;
}

std::vector<Token> StreamedGlobal::tokens(const std::vector<std::size_t>& positions) const {
    std::vector<Token> out(positions.size());
    const std::size_t k = coordinates.width();
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const std::size_t p = positions[i];
        Token& t = out[i];
        t.text = texts[p];
        t.line_index = line_index[p];
        t.layer_index = layer_index[p];
        t.embedding.resize(k);
        coordinates.read(p, 1, t.embedding.data());
    }
    standardise(out, reduction.scaling);
    return out;
}

std::vector<std::size_t> StreamedGlobal::find(const std::vector<std::string>& words) const {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (std::find(words.begin(), words.end(), texts[i]) != words.end()) found.push_back(i);
    return found;
}

bool should_stream(const std::vector<std::string>& paths) {
    if (const char* env = environment("ORVELLE_STREAM"); env && *env) return std::strcmp(env, "0") != 0;
    std::uint64_t bytes = 0;
    for (const std::string& path : paths) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        // A compressed file's text is several times its size.
        try {
            bytes += FeatureFile(path).text_size_estimate();
        } catch (const Panic&) {
            bytes += std::uint64_t(st.st_size);  // reading it will say what is wrong
        }
    }
    // The in-memory analysis peaks at about 1.3 times the text of the file,
    // and the machine must keep some room besides.
    return double(bytes) * 1.5 > double(available_memory());
}

}  // namespace orvelle
