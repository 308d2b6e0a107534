// Radial brightness profiles of the source and the pieces that the
// profile-integrated magnifications share: the built-in limb-darkening law,
// the step scale of the central difference, the flux normalisation of a table
// and the quadrature over the source radius.
#pragma once

#include <cmath>
#include <utility>
#include <vector>

#include "numeric/interp.hpp"
#include "numeric/tanh_sinh.hpp"

namespace tarnivox {

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

// Radii inside (0, 1) where the integrand over the source is not smooth.
// The tanh-sinh rule copes with singularities at the ends of its interval
// only, so the integral over [0, 1] is cut at each of them.
struct SourceCuts {
    double r[3];
    int count = 0;
    void add(double x) {
        if (0 < x && x < 1) r[count++] = x;
    }
};

// The ring through the lens, r = l, when the lens lies inside the star: there
// the ring magnification diverges logarithmically.
inline SourceCuts lens_cut(double l) {
    SourceCuts cuts;
    cuts.add(l);
    return cuts;
}

// Integral over the source radius r in [0, 1], cut at the given radii; the
// pieces are summed from the centre outwards.
template <class G>
double integrate_over_source(G&& g, SourceCuts cuts) {
    for (int i = 1; i < cuts.count; ++i)  // at most three: insertion sort
        for (int j = i; j > 0 && cuts.r[j] < cuts.r[j - 1]; --j) std::swap(cuts.r[j], cuts.r[j - 1]);
    double a = 0.0;
    double sum = 0.0;
    for (int i = 0; i < cuts.count; ++i) {
        if (cuts.r[i] == a) continue;
        const double piece = integrate(g, a, cuts.r[i], SOURCE_TOLERANCE).value;
        sum = (a == 0.0) ? piece : sum + piece;
        a = cuts.r[i];
    }
    const double last = integrate(g, a, 1.0, SOURCE_TOLERANCE).value;
    return (a == 0.0) ? last : sum + last;
}

// A tabulated profile is zero off its table, so it jumps at the table's end
// radii when they lie inside the star.
inline void add_jumps(const PiecewiseLinear& profile, SourceCuts& cuts) {
    if (profile.size() < 2) return;  // one point: constant everywhere
    cuts.add(profile.first_x());
    if (profile.last_x() != profile.first_x()) cuts.add(profile.last_x());
}
inline void add_jumps(const LinearLimbDarkening&, SourceCuts&) {}

// Flux of a tabulated profile, 2 pi * integral_0^1 r P(r) dr.
double flux_normalisation(const PiecewiseLinear& profile);

// The tabulated profile of a flux map: interpolated, zero off the table.
inline PiecewiseLinear tabulated_profile(const std::vector<double>& bl, const std::vector<double>& bf,
                                         StopPoll* stop = nullptr) {
    return PiecewiseLinear(bl, bf, BoundaryMode::filled(0.0), stop);
}

}  // namespace tarnivox
