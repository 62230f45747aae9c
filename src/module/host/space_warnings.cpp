#include "module/host/space_warnings.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <string>

namespace orvelle::host {

namespace {

PyObject* new_warning(const char* name, const char* doc) {
    return PyErr_NewExceptionWithDoc(name, doc, PyExc_UserWarning, nullptr);
}

std::atomic<PyObject*> g_rank_warning{nullptr}, g_sparse_warning{nullptr};

// Two decimals at most, trailing zeros dropped: 2.85, 4, 0.5.
std::string short_decimal(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

}  // namespace

PyObject* rank_warning_type() {
    return created_once(g_rank_warning, [] {
        return new_warning(
            "orvelle.RankDeficiencyWarning",
            "A reduced space keeps components whose singular value is below the numerical-rank tolerance: "
            "rounding noise that standardisation lifts to unit variance, so the bias ratios measured in that "
            "space are dominated by noise.");
    });
}

PyObject* sparse_warning_type() {
    return created_once(g_sparse_warning, [] {
        return new_warning(
            "orvelle.SparseSpaceWarning",
            "A random space holds fewer than 3 drawn tokens per component it keeps: its last components are "
            "mostly sampling noise, which standardisation lifts to the weight of a real direction, so the bias "
            "ratios measured in it carry little signal. Draw more tokens (random_token_num, --ratio).");
    });
}

PyObject* missing_word_warning_type() {
    static PyObject* type = new_warning(
        "orvelle.MissingWordWarning",
        "Seed or target words have no token in the feature file: their seed group counts without them, and a "
        "target's ratios are NaN. A file extracted as word pieces holds pieces where words were asked for: "
        "extract it with --pool words.");
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

void warn_sparse_space(const RankReport& r, std::size_t lines, std::size_t eligible, int stacklevel) {
    if (r.components == 0 || r.tokens >= kSparsePerComponent * r.components) return;
    const std::size_t need = kAdvisedPerComponent * r.components;
    const std::string per = " (" + std::to_string(kAdvisedPerComponent) + " per component)";
    std::string m = "random space of " + std::to_string(r.tokens) + " tokens keeps " +
                    std::to_string(r.components) + " components: " +
                    // Rounded down: 1535 tokens are 2.99 per component, not 3.
                    short_decimal(std::floor(double(r.tokens) * 100.0 / double(r.components)) / 100.0) +
                    " tokens per component, fewer than " +
                    std::to_string(kSparsePerComponent) +
                    ", so its last components are mostly sampling noise lifted to full weight by the "
                    "standardisation; ";
    if (eligible < need) {
        m += "the file holds only " + std::to_string(eligible) + " tokens to draw, and " + std::to_string(need) +
             " tokens" + per + " need a larger corpus";
        if (r.tokens < eligible) m += " (random_token_num -1, --ratio -1, draws them all)";
    } else {
        // The smallest ratio of two decimals whose count, truncated as the
        // draw truncates it, reaches `need`.
        double ratio = std::ceil(double(need) * 100.0 / double(lines)) / 100.0;
        while (std::trunc(ratio * double(lines)) < double(need)) ratio += 0.01;
        m += "random_token_num " + short_decimal(ratio) + " (--ratio " + short_decimal(ratio) + ") draws " +
             std::to_string(need) + " tokens" + per + " from the " + std::to_string(lines) + " lines";
    }
    check_status(PyErr_WarnEx(sparse_warning_type(), m.c_str(), stacklevel));
}

void warn_absent_words(const char* kind, const AbsentWords& absent, int stacklevel) {
    if (absent.words.empty()) return;
    auto joined = [](const std::vector<std::string>& words) {
        std::string out;
        for (const std::string& w : words) out += (out.empty() ? "" : ", ") + w;
        return out;
    };
    std::string m = std::string(kind) + (absent.words.size() == 1 ? " word" : " words") +
                    " with no token in the file: " + joined(absent.words);
    if (std::string_view(kind) == "target") m += " (their ratios are NaN)";
    if (!absent.spelled.empty())
        m += "; the file holds word pieces that spell " + joined(absent.spelled) +
             ": extract it with --pool words (whole words) to find them";
    check_status(PyErr_WarnEx(missing_word_warning_type(), m.c_str(), stacklevel));
}

}  // namespace orvelle::host
