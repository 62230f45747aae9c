#include "util/fixed_math.hpp"

#include <array>
#include <cmath>
#include <limits>

namespace orvelle {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// ln 2 in two parts: the first has 32 significant bits, so its product with
// any exponent of a double is exact.
constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kInvLn2 = 1.44269504088896338700e+00;
constexpr double kSqrtHalf = 0.70710678118654752440;
constexpr double kHalfLog2Pi = 0.91893853320467274178;
// 1 / n! for n = 0 ... 17.
constexpr std::array<double, 18> kInverseFactorial = [] {
    std::array<double, 18> a{};
    double factorial = 1.0;
    for (int n = 0; n < 18; ++n) {
        if (n > 1) factorial *= double(n);
        a[n] = 1.0 / factorial;
    }
    return a;
}();

}  // namespace

double fixed_log(double x) {
    if (std::isnan(x) || x < 0.0) return kNan;
    if (x == 0.0) return -kInf;
    if (std::isinf(x)) return x;
    int e = 0;
    double m = std::frexp(x, &e);  // x = m 2^e, 0.5 <= m < 1
    if (m < kSqrtHalf) {
        m *= 2.0;
        --e;
    }
    // log m = 2 atanh(f) = 2 f (1 + s/3 + s²/5 + ...) with f = (m - 1) / (m + 1),
    // |f| <= 0.172 and s = f² <= 0.0295: twelve terms leave less than 1e-19.
    const double f = (m - 1.0) / (m + 1.0);
    const double s = f * f;
    double sum = 1.0 / 25.0;
    for (int k = 11; k >= 0; --k) sum = 1.0 / double(2 * k + 1) + s * sum;
    const double de = double(e);
    return de * kLn2Hi + (de * kLn2Lo + 2.0 * f * sum);
}

double fixed_exp(double x) {
    if (std::isnan(x)) return x;
    if (x > 709.782712893384) return kInf;
    if (x < -745.1332191019412) return 0.0;
    // x = k ln 2 + r with |r| <= ln 2 / 2; e^r from its Taylor series to
    // r^17 / 17! (the rest is below 1e-24), then scaled by 2^k.
    const double k = std::floor(x * kInvLn2 + 0.5);
    const double r = (x - k * kLn2Hi) - k * kLn2Lo;
    double p = kInverseFactorial[17];
    for (int n = 16; n >= 0; --n) p = kInverseFactorial[n] + r * p;
    return std::ldexp(p, int(k));
}

double fixed_lgamma(double x) {
    if (!(x > 0.0)) return kNan;
    if (std::isinf(x)) return x;
    // Γ(x) = Γ(x + n) / (x (x + 1) ... (x + n - 1)) lifts x to 16 or more,
    // where Stirling's series reaches the last bit within seven terms.
    double product = 1.0;
    while (x < 16.0) {
        product *= x;
        x += 1.0;
    }
    const double z = 1.0 / x, z2 = z * z;
    const double series =
        z * (1.0 / 12.0 -
             z2 * (1.0 / 360.0 -
                   z2 * (1.0 / 1260.0 -
                         z2 * (1.0 / 1680.0 - z2 * (1.0 / 1188.0 - z2 * (691.0 / 360360.0 - z2 * (1.0 / 156.0)))))));
    return (x - 0.5) * fixed_log(x) - x + kHalfLog2Pi + series - fixed_log(product);
}

}  // namespace orvelle
