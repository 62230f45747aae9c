// calculator(path, subspace_seeds, ...): argument binding and conversion, then
// the analysis.
#include <array>

#include "module/host/args.hpp"
#include "module/host/calculator_object.hpp"
#include "module/host/functions.hpp"
#include "module/host/released.hpp"
#include "module/host/space_warnings.hpp"
#include "analysis/pipeline.hpp"

namespace orvelle::host {

namespace {

constexpr const char* kParams[] = {"path",           "subspace_seeds",       "random_token_num",
                                   "random_token_seed", "subspace_folder_path", "exclude_words",
                                   "user_friendly",  "pca_dimension"};
constexpr Signature kSignature{"calculator()", kParams, 2};

}  // namespace

// Converts in parameter order; the first failure raises.
AnalysisRequest convert_analysis(std::span<PyObject*> a) {
    AnalysisRequest c;
    c.path = argument("path", a[0], to_string);
    c.subspace_seeds = argument("subspace_seeds", a[1], to_string_lists);
    c.random_token_num = optional_argument("random_token_num", a[2], to_f64);
    c.random_token_seed = optional_argument("random_token_seed", a[3], to_i64);
    c.subspace_folder_path = optional_argument("subspace_folder_path", a[4], to_string);
    c.exclude_words = optional_argument("exclude_words", a[5], to_string_list);
    c.user_friendly = optional_argument("user_friendly", a[6], to_bool);
    c.pca_dimension = optional_argument("pca_dimension", a[7], to_u64);
    return c;
}

PyObject* calculator(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded("calculator()", [&]() -> PyObject* {
        std::array<PyObject*, std::size(kParams)> given{};
        bind_arguments(kSignature, args, kwargs, given);
        AnalysisRequest request = convert_analysis(given);
        AnalysisReport report;
        Calculator result = with_lock_released([&] { return run_analysis(std::move(request), &report); });
        // After the work: the call completes, unless the caller escalated a warning.
        warn_rank_deficiency("global space", report.global_space);
        warn_rank_deficiency("random space", report.random_space);
        warn_sparse_space(report.random_space, report.line_count, report.eligible);
        warn_absent_words("seed", report.absent_seeds);
        return wrap_calculator(std::move(result));
    });
}

}  // namespace orvelle::host
