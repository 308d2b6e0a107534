#include "magnification/profile.hpp"

namespace tarnivox {

double cbrt_eps() {
    static const double value = std::cbrt(2.220446049250313e-16);
    return value;
}

double flux_normalisation(const PiecewiseLinear& profile) {
    auto Q = [&](double r) { return profile(r) * (TWO_PI * r); };
    return integrate(Q, 0.0, 1.0, SOURCE_TOLERANCE).value;
}

}  // namespace tarnivox
