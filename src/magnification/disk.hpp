// Magnification of a source disk of uniform brightness by a point-mass lens:
// the closed form of Witt & Mao (ApJ 430 (1994) 505) in complete elliptic
// integrals of the three kinds, with its separate limit for a lens on the rim.
#pragma once

#include <vector>

#include "numeric/numeric_result.hpp"

namespace tarnivox {

// Per-source constants of the closed form, for a disk of radius rho in
// Einstein radii, formed once and in this order.
struct DiskConstants {
    double rho, rho2, four_rho, two_rho2, one_p, two_over_rho, g, x;
    double rim_window;  // |u - rho| below this takes the rim limit
    explicit DiskConstants(double rho);
};

// Magnification of the uniform disk of DiskConstants' radius, for a lens at
// distance u (Einstein radii) from its centre.
Numeric<double> uniform_disk(double u, const DiskConstants& c);

// One magnification per separation l[i] (in stellar radii), rho = rstar / re.
Numeric<std::vector<double>> witt_mao_magnification(const std::vector<double>& l, double re,
                                                    double rstar);

// Magnification of a star with radial brightness profile I(r), as the
// integral over r of I(r) d/dr[pi r^2 f(r)] / norm, f(r) being the
// magnification of the concentric uniform disk of radius r.  Fails only if the
// whole-disk magnification does.
template <class Profile>
Numeric<std::vector<double>> _integrated_witt_mao_magnification(const std::vector<double>& l,
                                                                double re, double rstar,
                                                                const Profile& profile,
                                                                double norm);

// With the built-in linear limb-darkening law.
Numeric<std::vector<double>> integrated_witt_mao_magnification(const std::vector<double>& l,
                                                               double re, double rstar);

// With a tabulated profile bl -> bf (equal lengths, checked by the caller).
Numeric<std::vector<double>> integrated_flux_map_witt_mao_magnification(
    const std::vector<double>& l, double re, double rstar, const std::vector<double>& bl,
    const std::vector<double>& bf);

}  // namespace tarnivox
