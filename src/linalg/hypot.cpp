#include "linalg/hypot.hpp"

#include <cmath>
#include <limits>

namespace orvelle {

namespace {

// C. F. Borges, "An Improved Algorithm for hypot(a, b)" (2019): the rounded
// sqrt(ax² + ay²), then one correction step from the rounding error of the
// sum of squares, written out without fused operations. ax >= ay > 0, both in
// a range where no square over- or underflows.
double corrected(double ax, double ay) {
    double h = std::sqrt(ax * ax + ay * ay);
    double t1, t2;
    if (h <= 2.0 * ay) {
        const double delta = h - ay;
        t1 = ax * (2.0 * delta - ax);
        t2 = (delta - 2.0 * (ax - ay)) * delta;
    } else {
        const double delta = h - ax;
        t1 = 2.0 * delta * (ax - 2.0 * ay);
        t2 = (4.0 * delta - ay) * ay + delta * delta;
    }
    return h - (t1 + t2) / (2.0 * h);
}

// Powers of two: scaling by them is exact.
constexpr double kScale = 0x1p-600;
constexpr double kLarge = 0x1p+511;
constexpr double kTiny = 0x1p-459;
// Below ax * kEps, ay no longer moves the rounded result off ax + ay.
constexpr double kEps = 0x1p-54;

}  // namespace

double hypot(double x, double y) {
    if (std::isinf(x) || std::isinf(y)) return std::numeric_limits<double>::infinity();
    if (std::isnan(x) || std::isnan(y)) return x + y;
    x = std::fabs(x);
    y = std::fabs(y);
    const double ax = x < y ? y : x, ay = x < y ? x : y;
    if (ax > kLarge) {
        if (ay <= ax * kEps) return ax + ay;
        return corrected(ax * kScale, ay * kScale) / kScale;
    }
    if (ay < kTiny) {
        if (ax >= ay / kEps) return ax + ay;
        return corrected(ax / kScale, ay / kScale) * kScale;
    }
    if (ay <= ax * kEps) return ax + ay;
    return corrected(ax, ay);
}

}  // namespace orvelle
