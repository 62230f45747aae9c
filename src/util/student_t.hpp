// Student's t distribution, for the tests of the measurement: the two-sided
// tail of a statistic and the half-width of a central interval.
#pragma once

namespace orvelle {

// P(|T| >= |t|) for T with `df` degrees of freedom (df > 0); NaN for a NaN t.
double student_t_two_sided(double t, double df);

// The q with P(|T| <= q) = level, for 0 < level < 1.
double student_t_central(double level, double df);

}  // namespace orvelle
