// RankDeficiencyWarning: a reduced space keeps components that hold only
// rounding noise. Issued through the warnings module, so callers can filter
// it or escalate it to an error.
#pragma once

#include "host/errors.hpp"
#include "space/reduction.hpp"

namespace orvelle::host {

// The category (a UserWarning subclass), created once with the module.
PyObject* rank_warning_type();

// Warns when the report shows noise components. `space` names the space in
// the message ("global space", "random space"); `draws` > 1 adds in how many
// of them it happened; `stacklevel` as the warnings module counts it. Throws
// PythonError when the warning was escalated.
void warn_rank_deficiency(const char* space, const RankReport& report, int stacklevel = 1,
                          std::size_t deficient = 1, std::size_t draws = 1);

}  // namespace orvelle::host
