// Whether the steps of the bidiagonalisation leave their updates pending.
// Pending steps stream the matrix fewer times and do more arithmetic on
// every element they read; which costs less depends on the machine (a 2-core
// EPYC with AVX-512 ran a 4096-wide matrix faster with them, a 2-core Xeon
// with a larger last-level cache 15% slower) and on what its other tenants
// do, so it is measured as the work goes. Each window of steps starts with a
// few steps each way and runs the rest the way that has cost less per
// element: every timed step counts for its way, the earlier windows' steps
// at half weight per window, so one trial slowed by a neighbour does not
// decide a window. Both ways give the same bits; only the time differs.
#pragma once

namespace orvelle {

class PendingChoice {
public:
    // Two rounds of pending steps (two left pending, one writing all three).
    static constexpr int kTrial = 6;
    static constexpr int kWindow = 120;  // the rest is a whole number of rounds

    // Whether the next step may leave its updates pending.
    bool pending() const { return pos_ < kTrial || (pos_ >= 2 * kTrial && choice_); }

    // The step just taken (as pending() said): its wall time and the
    // elements it went through.
    void taken(double seconds, double elements) {
        Cost& c = pending() ? with_ : without_;
        c.seconds += seconds;
        c.elements += elements;
        if (++pos_ == 2 * kTrial) choice_ = with_.seconds * without_.elements <= without_.seconds * with_.elements;
        if (pos_ == kWindow) {
            pos_ = 0;
            with_.halve();
            without_.halve();
        }
    }

private:
    struct Cost {
        double seconds = 0.0, elements = 0.0;
        void halve() { seconds /= 2, elements /= 2; }
    };
    int pos_ = 0;  // steps taken in this window
    bool choice_ = true;
    Cost with_, without_;
};

}  // namespace orvelle
