// Magnification of a source disk of uniform brightness by a point-mass lens:
// the closed form of Witt & Mao (ApJ 430 (1994) 505) in complete elliptic
// integrals of the three kinds, with its separate limit for a lens on the rim.
#pragma once

#include <cmath>
#include <vector>

#include "magnification/profile.hpp"
#include "magnification/source_integral.hpp"
#include "numeric/constants.hpp"
#include "numeric/numeric_result.hpp"
#include "numeric/stop_poll.hpp"

namespace tarnivox {

// Per-source constants of the closed form, for a disk of radius rho in
// Einstein radii, formed once and in this order.
struct DiskConstants {
    double rho;
    double rho2;           // rho^2
    double four_rho;       // 4 rho, of the characteristic n = 4 u rho / (u + rho)^2
    double two_rho2;       // 2 rho^2, the denominator of the E term
    double one_plus_rho2;  // 1 + rho^2, of the Pi term and the rim limit
    double two_over_rho;   // 2 / rho, the first term of the rim limit
    double rim_factor;     // (1 + rho^2) / rho^2, the factor of pi/2 + asin(rim_sine) in the rim limit
    double rim_sine;       // (rho^2 - 1) / (rho^2 + 1), whose arcsine enters the rim limit
    double rim_window;     // |u - rho| below this takes the rim limit
    explicit DiskConstants(double rho);
};

// Magnification of the uniform disk of DiskConstants' radius, for a lens at
// distance u (Einstein radii) from its centre: the closed form, or its
// small-disk expansion when rho > 0 and u > 50 rho.
Numeric<double> uniform_disk(double u, const DiskConstants& c);

// Magnification of the uniform disk of radius a (Einstein radii) centred at
// distance u from the lens: the closed form, or its small-disk expansion when
// 50 a < u.  A failure of the closed form gives NaN.
double concentric_disk_magnification(double u, double a);

// f(r) of the disk family: the magnification of the uniform disk of radius r
// (stellar radii) concentric with the source, for a lens at distance u
// (Einstein radii) from its centre, rho = rstar / re.  Nothing is seen inside
// a negative radius.
inline double concentric_disk_at(double u, double rho, double r) {
    return r < 0 ? 0.0 : concentric_disk_magnification(u, r * rho);
}

// Cube root of the machine epsilon, 2^(-52/3), rounded to nearest: the step
// scale of the central difference below, which balances truncation (h^2)
// against rounding (eps / h).  Written out rather than taken from the C
// library's cbrt, which need not round correctly: the exact value lies 0.49
// ulp above this double, so close to halfway that another cbrt may return the
// next one, and with it another step and other bits in the disk family.
inline constexpr double CBRT_EPS = 6.0554544523933395e-06;

// The rim limit is used within a fixed fraction of the radius of the rim,
// |l - 1| < 1e-5: there the general form cancels (its error grows like
// eps / (l - 1)^2) while the rim value is off by only O(|l - 1| log|l - 1|).
inline constexpr double RIM_FRACTION = 1e-5;

// A disk of radius a at distance u from the lens with u > 50 a: there the
// closed form cancels terms of order (u/a)^2 and loses eps (u/a)^2 (1e-12 at
// u = 50 a), while the mean-value expansion is within 4e-16.  The test is
// written 50 a < u with the exact factor 50, so that for the whole disk
// (a = rho, u = l rho) it holds only for l > 50, never at l = 50 itself.
inline constexpr double SMALL_DISK_DISTANCE = 50.0;

// d/dr [pi r^2 f(r)] = 2 pi r (f + r f'/2) at radius r: the flux of the annulus
// at r, weighted with f.  f' is the central difference with step
// h = (|r| + 1) CBRT_EPS, f(r + h)
// evaluated before f(r - h); inside a negative radius f is not evaluated and
// the derivative is 0.  The disk family's integrand and the benchmarks' count
// of its evaluations share this step.
template <class F>
double annulus_flux(F&& f, double r) {
    double fr = 0.0, D = 0.0;
    if (!(r < 0)) {
        fr = f(r);
        const double h = (std::fabs(r) + 1.0) * CBRT_EPS;
        const double f_up = f(r + h);
        const double f_down = f(r - h);
        D = (f_up - f_down) / (h + h);
    }
    return (TWO_PI * r) * ((0.5 * r) * D + fr);
}

// One magnification per separation l[i] (in stellar radii), rho = rstar / re.
Numeric<std::vector<double>> witt_mao_magnification(const std::vector<double>& l, double re,
                                                    double rstar, StopPoll stop = StopPoll());

// Magnification of a star with radial brightness profile I(r), as the
// integral over r of I(r) d/dr[pi r^2 f(r)] / norm, f(r) being the
// magnification of the concentric uniform disk of radius r.  Fails only if the
// whole-disk magnification does, or when `stop` asks it to.
template <class Profile>
Numeric<std::vector<double>> _integrated_witt_mao_magnification(const std::vector<double>& l,
                                                                double re, double rstar,
                                                                const Profile& profile,
                                                                double norm,
                                                                StopPoll stop = StopPoll()) {
    // The whole-disk magnification decides whether the call can succeed: the
    // integrand cannot fail (a failed concentric disk is a NaN sample, which
    // the quadrature drops), so the call fails exactly where
    // witt_mao_magnification fails, before any quadrature.  Its values are
    // not needed.
    const auto whole = witt_mao_magnification(l, re, rstar, stop);
    if (!whole) return whole.error();
    std::vector<double> out;
    out.reserve(l.size());
    const double rho = rstar / re;
    for (const double li : l) {
        if (stop.stop_after(StopPoll::PERIOD)) return stopped();  // ~1 ms a separation
        const double u = li * rho;
        auto f = [&](double r) { return concentric_disk_at(u, rho, r); };
        auto G = [&](double r) {
            const double W = annulus_flux(f, r);
            return profile(r) * W;
        };
        SourceCuts cuts = lens_cut(li);
        add_jumps(profile, cuts);
        out.push_back(integrate_over_source(G, cuts) / norm);
    }
    return out;
}

// With the built-in linear limb-darkening law.
Numeric<std::vector<double>> integrated_witt_mao_magnification(const std::vector<double>& l,
                                                               double re, double rstar,
                                                               StopPoll stop = StopPoll());

// With a tabulated profile bl -> bf (equal lengths, checked by the caller).
Numeric<std::vector<double>> integrated_flux_map_witt_mao_magnification(
    const std::vector<double>& l, double re, double rstar, const std::vector<double>& bl,
    const std::vector<double>& bf, StopPoll stop = StopPoll());

}  // namespace tarnivox
