// Radial brightness profiles of the source and the pieces that the
// profile-integrated magnifications share: the built-in limb-darkening law,
// the central difference and its step, the flux normalisation of a table and
// the quadrature over the source radius.
#pragma once

#include <cmath>

#include "numeric/interp.hpp"
#include "numeric/tanh_sinh.hpp"

namespace tarnivox {

inline constexpr double TWO_PI = 6.283185307179586;

// Requested absolute accuracy of every integral over the source radius.
inline constexpr double SOURCE_TOLERANCE = 1e-16;

// Cube root of the machine epsilon 2^-52, the step scale of a central
// difference that balances truncation (h^2) against rounding (eps / h).
// Made once per process at first use (a thread-safe local static).
double cbrt_eps();

// Linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)): 1 at the centre,
// 0.4 at the rim, NaN beyond it.
struct LinearLimbDarkening {
    double operator()(double r) const {
        const double r2 = r * r;
        const double w = std::sqrt(1.0 - r2);
        return (1.0 - w) * (-0.6) + 1.0;
    }
    // Stands for 2 pi * integral_0^1 r I(r) dr = 0.8 pi (but is not 0.8 pi to the last bit).
    static constexpr double NORM = 2.5132741228717936;
};

// Integral over the source radius r in [0, 1].  A lens inside the star
// (0 < l < 1) makes the integrand singular on the ring through the lens,
// r = l; the rule converges at end-point singularities only, so the interval
// is split there.
template <class G>
double integrate_over_source(G&& g, double l) {
    if (0 < l && l < 1) {
        return integrate(g, 0.0, l, SOURCE_TOLERANCE).value +
               integrate(g, l, 1.0, SOURCE_TOLERANCE).value;
    }
    return integrate(g, 0.0, 1.0, SOURCE_TOLERANCE).value;
}

// Flux of a tabulated profile, 2 pi * integral_0^1 r P(r) dr.
double flux_normalisation(const PiecewiseLinear& profile);

// The tabulated profile of a flux map: interpolated, zero off the table.
inline PiecewiseLinear tabulated_profile(const std::vector<double>& bl, const std::vector<double>& bf) {
    return PiecewiseLinear(bl, bf, BoundaryMode::filled(0.0));
}

}  // namespace tarnivox
