// Radial brightness profiles of the source: the built-in limb-darkening law,
// and a tabulated profile with its flux normalisation.
#pragma once

#include <cmath>
#include <vector>

#include "numeric/interp.hpp"
#include "numeric/numeric_result.hpp"
#include "numeric/stop_poll.hpp"

namespace tarnivox {

// Linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)): 1 at the centre,
// 0.4 at the rim, NaN beyond it.
struct LinearLimbDarkening {
    double operator()(double r) const {
        const double r2 = r * r;
        const double w = std::sqrt(1.0 - r2);
        return (1.0 - w) * (-0.6) + 1.0;
    }
    // 2 pi * integral_0^1 r I(r) dr = 0.8 pi as the quadrature rule gives it
    // (0.8 pi itself is 2.5132741228718345): the numerator of every integrated
    // magnification is the same rule's integral, so the two share the rule's
    // error (its nodes stop short of the ends), which cancels in the ratio.
    static constexpr double NORM = 2.5132741228717936;
};

// Flux of a tabulated profile, 2 pi * integral_0^1 r P(r) dr.
double flux_normalisation(const PiecewiseLinear& profile);

// The tabulated profile of a flux map: interpolated, zero off the table.
inline PiecewiseLinear tabulated_profile(const std::vector<double>& bl, const std::vector<double>& bf,
                                         StopPoll* stop = nullptr) {
    return PiecewiseLinear(bl, bf, BoundaryMode::filled(0.0), stop);
}

// A family's integrated magnification with the flux map bl -> bf:
// family(profile, norm) with the tabulated profile and its flux, unless `stop`
// asks to stop while the table is prepared.
template <class Family>
Numeric<std::vector<double>> with_flux_map(const std::vector<double>& bl,
                                           const std::vector<double>& bf, StopPoll& stop,
                                           Family&& family) {
    const PiecewiseLinear profile = tabulated_profile(bl, bf, &stop);
    if (profile.stopped()) return stopped();
    return family(profile, flux_normalisation(profile));
}

}  // namespace tarnivox
