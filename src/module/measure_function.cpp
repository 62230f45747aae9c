// _measure(...): the analysis over several draws, with per-word and target
// results, as plain Python values for the package's measurement layer.
#include <algorithm>
#include <array>

#include "module/host/args.hpp"
#include "module/host/calculator_object.hpp"
#include "module/host/functions.hpp"
#include "module/host/released.hpp"
#include "module/host/space_warnings.hpp"
#include "analysis/measurement.hpp"

namespace orvelle::host {

namespace {

constexpr const char* kParams[] = {"path",           "subspace_seeds",       "random_token_num",
                                   "random_token_seed", "subspace_folder_path", "exclude_words",
                                   "user_friendly",  "pca_dimension",        "targets",
                                   "draws",          "shards",               "resamples"};
constexpr Signature kSignature{"_measure()", kParams, 2};

MeasureRequest convert(std::span<PyObject*> a) {
    MeasureRequest m;
    m.analysis = convert_analysis(a.first(8));
    m.targets = optional_argument("targets", a[8], to_string_list).value_or(std::vector<std::string>{});
    m.draws = optional_argument("draws", a[9], to_u64).value_or(10);
    m.shards = optional_argument("shards", a[10], to_string_list).value_or(std::vector<std::string>{});
    m.resamples = optional_argument("resamples", a[11], to_u64).value_or(1000);
    return m;
}

Ref text(const std::string& s) {
    return own(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

template <class T, class F>
Ref list(const std::vector<T>& values, F item) {
    Ref out = own(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        check_status(PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item(values[i]).release()));
    return out;
}

Ref number(double v) { return own(PyFloat_FromDouble(v)); }
Ref count(std::size_t v) { return own(PyLong_FromSize_t(v)); }
Ref numbers(const std::vector<double>& v) { return list(v, number); }
Ref tables(const std::vector<std::vector<double>>& v) { return list(v, numbers); }

class Dict {
public:
    Dict() : d_(own(PyDict_New())) {}
    Dict& set(const char* key, Ref value) {
        check_status(PyDict_SetItemString(d_.get(), key, value.get()));
        return *this;
    }
    Ref done() { return std::move(d_); }

private:
    Ref d_;
};

Ref words(const WordRatios& w) {
    return Dict()
        .set("words", list(w.words, text))
        .set("count", list(w.count, count))
        .set("mean", tables(w.mean))
        .set("sd", tables(w.sd))
        .done();
}

Ref rank(const RankReport& r) {
    return Dict()
        .set("tokens", count(r.tokens))
        .set("width", count(r.width))
        .set("components", count(r.components))
        .set("rank", count(r.rank))
        .set("noise", count(r.noise))
        .done();
}

Ref draw(const DrawResult& d) {
    return Dict()
        .set("seed", own(PyLong_FromLongLong(d.seed)))
        .set("random_space", rank(d.random_space))
        .set("mean", numbers(d.mean))
        .set("mean_abs", numbers(d.mean_abs))
        .set("target_mean", tables(d.target_mean))
        .set("target_sd", tables(d.target_sd))
        .done();
}

// Absent seed and target words that pieces spell, each once.
std::vector<std::string> spelled(const Measurement& m) {
    std::vector<std::string> out = m.absent_seeds.spelled;
    for (const std::string& w : m.absent_targets.spelled)
        if (std::find(out.begin(), out.end(), w) == out.end()) out.push_back(w);
    return out;
}

// Column by column: one list per field, rows in order.
Ref target_tests(const std::vector<TargetTest>& rows) {
    auto column = [&](auto field) { return list(rows, field); };
    return Dict()
        .set("word", column([](const TargetTest& t) { return text(t.word); }))
        .set("space", column([](const TargetTest& t) { return text(t.space); }))
        .set("other", column([](const TargetTest& t) { return text(t.other); }))
        .set("estimate", column([](const TargetTest& t) { return number(t.estimate); }))
        .set("ci_low", column([](const TargetTest& t) { return number(t.ci_low); }))
        .set("ci_high", column([](const TargetTest& t) { return number(t.ci_high); }))
        .set("p", column([](const TargetTest& t) { return number(t.p); }))
        .set("q", column([](const TargetTest& t) { return number(t.q); }))
        .set("effect_size", column([](const TargetTest& t) { return number(t.effect_size); }))
        .set("tokens", column([](const TargetTest& t) { return count(t.tokens); }))
        .set("lines", column([](const TargetTest& t) { return count(t.lines); }))
        .done();
}

}  // namespace

PyObject* measure(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded("_measure()", [&]() -> PyObject* {
        std::array<PyObject*, std::size(kParams)> given{};
        bind_arguments(kSignature, args, kwargs, given);
        MeasureRequest request = convert(given);
        Measurement m = with_lock_released([&] { return run_measurement(std::move(request)); });
        // Level 2: the caller of the package's measure(), not the package itself.
        warn_rank_deficiency("global space", m.global_space, 2);
        std::size_t deficient = 0;
        const DrawResult* first = nullptr;
        for (const DrawResult& d : m.draws)
            if (d.random_space.noise > 0 && deficient++ == 0) first = &d;
        if (first) warn_rank_deficiency("random space", first->random_space, 2, deficient, m.draws.size());
        // Every draw asks for the same count from the same eligible tokens:
        // one size, one warning.
        warn_sparse_space(m.draws.front().random_space, m.line_count, m.eligible, 2);
        warn_absent_words("seed", m.absent_seeds, 2);
        warn_absent_words("target", m.absent_targets, 2);
        return Dict()
            .set("spaces", list(m.spaces, text))
            .set("words", words(m.words))
            .set("targets", words(m.targets))
            .set("global_space", rank(m.global_space))
            .set("lines", count(m.line_count))
            .set("requested", own(PyLong_FromLongLong(m.requested)))
            .set("eligible", count(m.eligible))
            .set("absent", Dict()
                               .set("seeds", list(m.absent_seeds.words, text))
                               .set("targets", list(m.absent_targets.words, text))
                               .set("spelled", list(spelled(m), text))
                               .done())
            .set("draws", list(m.draws, draw))
            .set("target_tests", target_tests(m.target_tests))
            .set("calculator", Ref::steal(wrap_calculator(std::move(m.calculator))))
            .done()
            .release();
    });
}

}  // namespace orvelle::host
