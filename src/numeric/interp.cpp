#include "numeric/interp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tarnivox {
namespace {

double segment_slope(const std::vector<double>& x, const std::vector<double>& y, std::size_t k) {
    return (y[k + 1] - y[k]) / (x[k + 1] - x[k]);
}

double apply_boundary(double xp, double point, double first_x, double last_x, double first_y,
                      double last_y, BoundaryMode mode) {
    if (xp < first_x) {
        switch (mode.kind) {
            case BoundaryMode::Kind::Extend: return point;
            case BoundaryMode::Kind::HoldEnds: return first_y;
            case BoundaryMode::Kind::Fill: return mode.fill;
        }
    } else if (xp > last_x) {
        switch (mode.kind) {
            case BoundaryMode::Kind::Extend: return point;
            case BoundaryMode::Kind::HoldEnds: return last_y;
            case BoundaryMode::Kind::Fill: return mode.fill;
        }
    }
    return point;
}

}  // namespace

double interp(const std::vector<double>& x, const std::vector<double>& y, double xp, BoundaryMode mode) {
    const std::size_t L = std::min(x.size(), y.size());
    if (L == 0) return 0.0;
    if (L == 1) return y[0];
    std::size_t n = 0;  // leading entries of the whole of x below xp
    while (n < x.size() && x[n] < xp) ++n;
    const std::size_t k = std::min(n == 0 ? 0 : n - 1, L - 2);
    const double s = segment_slope(x, y, k);
    const double c = y[k] - x[k] * s;
    const double point = s * xp + c;
    return apply_boundary(xp, point, x[0], x[L - 1], y[0], y[L - 1], mode);
}

PiecewiseLinear::PiecewiseLinear(const std::vector<double>& x, const std::vector<double>& y,
                                 BoundaryMode mode, StopPoll* stop)
    : count_(std::min(x.size(), y.size())), mode_(mode) {
    if (count_ == 0) return;
    first_y_ = y[0];
    if (count_ == 1) return;
    first_x_ = x[0];
    last_x_ = x[count_ - 1];
    last_y_ = y[count_ - 1];
    // One unit of work per POINTS_PER_UNIT points; the vectors grow as they
    // are filled, so their first touch is paced by the same questions.
    constexpr std::size_t POINTS_PER_UNIT = 64;
    auto stop_here = [&](std::size_t j) {
        stopped_ = stop && j % POINTS_PER_UNIT == POINTS_PER_UNIT - 1 && stop->stop_after();
        return stopped_;
    };
    slope_.reserve(count_ - 1);
    intercept_.reserve(count_ - 1);
    for (std::size_t k = 0; k + 1 < count_; ++k) {
        if (stop_here(k)) return;
        slope_.push_back(segment_slope(x, y, k));
        intercept_.push_back(y[k] - x[k] * slope_[k]);
    }
    running_max_.reserve(x.size());
    double m = -std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < x.size(); ++j) {
        if (stop_here(j)) return;
        m = std::isnan(x[j]) ? std::numeric_limits<double>::infinity() : std::max(m, x[j]);
        running_max_.push_back(m);
    }
}

double PiecewiseLinear::operator()(double xp) const {
    if (count_ == 0) return 0.0;
    if (count_ == 1) return first_y_;
    // n = number of leading abscissae strictly below xp (0 for a NaN xp).
    std::size_t n = 0;
    if (!std::isnan(xp)) {
        n = static_cast<std::size_t>(
            std::lower_bound(running_max_.begin(), running_max_.end(), xp) - running_max_.begin());
    }
    const std::size_t k = std::min(n == 0 ? 0 : n - 1, count_ - 2);
    const double point = slope_[k] * xp + intercept_[k];
    return apply_boundary(xp, point, first_x_, last_x_, first_y_, last_y_, mode_);
}

}  // namespace tarnivox
