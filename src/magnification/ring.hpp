// Magnification of a thin uniform ring on the source by a point-mass lens: the
// mean of the point-lens magnification (x^2 + 2) / (x sqrt(x^2 + 4)) around
// the ring, in closed form through K and Pi (Heyrovsky, ApJ 594 (2003) 464),
// and its logarithmic expansion for a ring passing through the lens.
#pragma once

#include <cmath>
#include <vector>

#include "magnification/profile.hpp"
#include "magnification/source_integral.hpp"
#include "numeric/constants.hpp"
#include "numeric/numeric_result.hpp"
#include "numeric/stop_poll.hpp"

namespace tarnivox {

// The logarithmic expansion about the lens holds for |l - r| small against l;
// beyond this fraction the closed form is exact to rounding.
inline constexpr double NEAR_RING_FRACTION = 1e-5;

// l: lens to ring centre, r: ring radius, both in stellar radii;
// re and rstar enter through q = re / rstar.
Numeric<double> heyrovsky_magnification(double l, double r, double re, double rstar);

// Magnification of a star with radial brightness profile I(r):
//   integral_0^1 I(r) 2 pi r A_ring(l, r) dr / norm,
// norm being the star's flux 2 pi integral_0^1 r I(r) dr.  A ring evaluation
// that fails counts as a NaN sample, which the quadrature takes as 0, so this
// family fails only when `stop` asks it to.
template <class Profile>
Numeric<std::vector<double>> _integrated_heyrovsky_magnification(const std::vector<double>& l,
                                                                 double re, double rstar,
                                                                 const Profile& profile, double norm,
                                                                 StopPoll stop = StopPoll()) {
    std::vector<double> out;
    out.reserve(l.size());
    for (const double li : l) {
        if (stop.stop_after(StopPoll::PERIOD)) return stopped();  // ~1 ms a separation
        // Flux of the annulus at r times its magnification; a failed ring is a
        // NaN sample.
        auto G = [&](double r) {
            const auto A = heyrovsky_magnification(li, r, re, rstar);
            const double f = A ? *A : NAN;
            return profile(r) * ((TWO_PI * r) * f);
        };
        SourceCuts cuts = lens_cut(li);
        add_jumps(profile, cuts);
        out.push_back(integrate_over_source(G, cuts) / norm);
    }
    return out;
}

// With the built-in linear limb-darkening law.
Numeric<std::vector<double>> integrated_heyrovsky_magnification(const std::vector<double>& l,
                                                                double re, double rstar,
                                                                StopPoll stop = StopPoll());

// With a tabulated profile bl -> bf (equal lengths, checked by the caller).
Numeric<std::vector<double>> integrated_flux_map_heyrovsky_magnification(
    const std::vector<double>& l, double re, double rstar, const std::vector<double>& bl,
    const std::vector<double>& bf, StopPoll stop = StopPoll());

// Weighted sum over rings of radii bl[j] and weights bf[j] (equal lengths,
// checked by the caller), one value per separation.
Numeric<std::vector<double>> discrete_ring_sum(const std::vector<double>& l, double re, double rstar,
                                               const std::vector<double>& bl,
                                               const std::vector<double>& bf,
                                               StopPoll stop = StopPoll());

}  // namespace tarnivox
