#include "util/student_t.hpp"

#include <cmath>
#include <limits>

#include "util/fixed_math.hpp"

namespace orvelle {
namespace {

// Continued fraction of the incomplete beta function (modified Lentz).
double beta_fraction(double a, double b, double x) {
    constexpr double tiny = 1e-300, eps = 1e-16;
    const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
    double c = 1.0;
    double d = 1.0 - qab * x / qap;
    if (std::fabs(d) < tiny) d = tiny;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m <= 100000; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < tiny) d = tiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        h *= d * c;
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < tiny) d = tiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        const double step = d * c;
        h *= step;
        if (std::fabs(step - 1.0) < eps) break;
    }
    return h;
}

// The regularised incomplete beta I_x(a, b), given x and 1 - x separately so
// that neither loses digits to a subtraction.
double incomplete_beta(double a, double b, double x, double one_minus_x) {
    if (x <= 0.0) return 0.0;
    if (one_minus_x <= 0.0) return 1.0;
    // The library's exp, log and lgamma differ between machines in their last bits.
    const double front = fixed_exp(fixed_lgamma(a + b) - fixed_lgamma(a) - fixed_lgamma(b) + a * fixed_log(x) +
                                   b * fixed_log(one_minus_x));
    // The fraction converges fast below the mean of the distribution; above
    // it, the symmetry I_x(a, b) = 1 - I_{1-x}(b, a).
    if (x < (a + 1.0) / (a + b + 2.0)) return front * beta_fraction(a, b, x) / a;
    return 1.0 - front * beta_fraction(b, a, one_minus_x) / b;
}

}  // namespace

double student_t_two_sided(double t, double df) {
    if (std::isnan(t) || !(df > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    if (std::isinf(t)) return 0.0;
    const double t2 = t * t;
    return incomplete_beta(0.5 * df, 0.5, df / (df + t2), t2 / (df + t2));
}

double student_t_central(double level, double df) {
    if (!(level > 0.0 && level < 1.0) || !(df > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    const double tail = 1.0 - level;
    double lo = 0.0, hi = 2.0;
    while (student_t_two_sided(hi, df) > tail) {
        lo = hi;
        hi *= 2.0;
    }
    // Bisection to the last bit: the tail falls as the bound grows.
    for (;;) {
        const double mid = lo + (hi - lo) / 2.0;
        if (mid <= lo || mid >= hi) return hi;
        (student_t_two_sided(mid, df) > tail ? lo : hi) = mid;
    }
}

}  // namespace orvelle
