#include "host/rank_warning.hpp"

#include <string>

namespace orvelle::host {

PyObject* rank_warning_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = check(PyErr_NewExceptionWithDoc(
            "orvelle.RankDeficiencyWarning",
            "A reduced space keeps components whose singular value is below the numerical-rank tolerance: "
            "rounding noise that standardisation lifts to unit variance, so the bias ratios measured in that "
            "space are dominated by noise.",
            PyExc_UserWarning, nullptr));
    }
    return type;
}

void warn_rank_deficiency(const char* space, const RankReport& r, int stacklevel, std::size_t deficient,
                          std::size_t draws) {
    if (r.noise == 0) return;
    std::string m = std::string(space) + " of " + std::to_string(r.tokens) + " tokens keeps " +
                    std::to_string(r.components) + " components, but its covariance has numerical rank " +
                    std::to_string(r.rank) + ": " + std::to_string(r.noise) +
                    " of the kept components are rounding noise, lifted to unit variance by the standardisation";
    if (draws > 1) m += " (in " + std::to_string(deficient) + " of " + std::to_string(draws) + " draws)";
    m += "; the bias ratios are dominated by that noise";
    check_status(PyErr_WarnEx(rank_warning_type(), m.c_str(), stacklevel));
}

}  // namespace orvelle::host
