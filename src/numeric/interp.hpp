// Piecewise-linear interpolation of a tabulated function, with a rule for
// abscissae outside the tabulated range.
#pragma once

#include <vector>

#include "numeric/stop_poll.hpp"

namespace tarnivox {

struct BoundaryMode {
    enum class Kind { Extend, HoldEnds, Fill };
    Kind kind;
    double fill;  // the value returned outside the range when kind == Fill

    static constexpr BoundaryMode extend() { return {Kind::Extend, 0.0}; }
    static constexpr BoundaryMode hold_ends() { return {Kind::HoldEnds, 0.0}; }
    static constexpr BoundaryMode filled(double v) { return {Kind::Fill, v}; }
};

// Only the first min(len x, len y) points form the table; x is expected to be
// increasing but is not checked.  Segment k joins points k and k + 1 with
// slope s_k = (y[k+1] - y[k]) / (x[k+1] - x[k]) and intercept
// c_k = y[k] - x[k] s_k; the value is s_k * xp + c_k on the segment chosen by
// the number of leading abscissae below xp.
double interp(const std::vector<double>& x, const std::vector<double>& y, double xp, BoundaryMode mode);

// The same function with the slopes and intercepts formed once per table and
// the segment found by bisection: every value is bit-identical to interp().
// The preparation takes time linear in the table's length (about 40 ns a
// point); given a StopPoll it asks it now and then and, told to stop, leaves
// the table unusable and stopped() true.
class PiecewiseLinear {
public:
    PiecewiseLinear(const std::vector<double>& x, const std::vector<double>& y, BoundaryMode mode,
                    StopPoll* stop = nullptr);
    double operator()(double xp) const;
    bool stopped() const { return stopped_; }

    std::size_t size() const { return count_; }  // points in the table
    double first_x() const { return first_x_; }
    double last_x() const { return last_x_; }

private:
    std::size_t count_;  // L = min(len x, len y)
    double first_y_ = 0, last_y_ = 0, first_x_ = 0, last_x_ = 0;
    BoundaryMode mode_;
    bool stopped_ = false;
    std::vector<double> slope_, intercept_;
    // Running maximum of x over the whole array (NaN counts as +inf): the
    // leading run of abscissae below xp ends at the first running maximum
    // that is not below xp.
    std::vector<double> running_max_;
};

}  // namespace tarnivox
