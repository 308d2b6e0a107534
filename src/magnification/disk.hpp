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
Numeric<std::vector<double>> witt_mao_magnification(std::vector<double> l, double re, double rstar);

}  // namespace tarnivox
