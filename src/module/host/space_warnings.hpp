// Warnings about spaces too small for what they keep: RankDeficiencyWarning
// (kept components that hold only rounding noise) and SparseSpaceWarning (too
// few drawn tokens per kept component). Issued through the warnings module,
// so callers can filter them or escalate them to errors.
#pragma once

#include "module/host/errors.hpp"
#include "analysis/absent_words.hpp"
#include "space/reduction.hpp"

namespace orvelle::host {

// The categories (UserWarning subclasses), created once with the module.
PyObject* rank_warning_type();
PyObject* sparse_warning_type();
PyObject* missing_word_warning_type();

// Warns when the report shows noise components. `space` names the space in
// the message ("global space", "random space"); `draws` > 1 adds in how many
// of them it happened; `stacklevel` as the warnings module counts it. Throws
// PythonError when the warning was escalated.
void warn_rank_deficiency(const char* space, const RankReport& report, int stacklevel = 1,
                          std::size_t deficient = 1, std::size_t draws = 1);

// Below this many drawn tokens per kept component a random space is sparse;
// the advice aims at kAdvisedPerComponent.
inline constexpr std::size_t kSparsePerComponent = 3;
inline constexpr std::size_t kAdvisedPerComponent = 4;

// Warns when a random space holds fewer than kSparsePerComponent tokens per
// kept component, naming the random_token_num (and --ratio) that would draw
// kAdvisedPerComponent per component from the file's `lines`, or saying that
// the file's `eligible` tokens are too few for that.
void warn_sparse_space(const RankReport& random_space, std::size_t lines, std::size_t eligible, int stacklevel = 1);

// Warns when words asked for have no token in the file: `kind` is "seed" or
// "target"; names the ones word pieces spell, with the way to whole words.
void warn_absent_words(const char* kind, const AbsentWords& absent, int stacklevel = 1);

}  // namespace orvelle::host
