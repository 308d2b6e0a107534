#include "magnification/disk.hpp"

#include <cmath>

#include "magnification/profile.hpp"
#include "numeric/legendre.hpp"

namespace tarnivox {
namespace {

constexpr double PI = 3.141592653589793;
constexpr double HALF_PI = 1.5707963267948966;

// The rim limit is used within a fixed fraction of the radius of the rim,
// |l - 1| < 1e-5: there the general form cancels (its error grows like
// eps / (l - 1)^2) while the rim value is off by only O(|l - 1| log|l - 1|).
constexpr double RIM_FRACTION = 1e-5;

// A disk of radius a far smaller than its distance u from the lens: the
// closed form cancels terms of order (u/a)^2 and loses eps (u/a)^2, while the
// mean-value expansion below is within 1e-12 for a < 0.02 u.
constexpr double SMALL_DISK = 0.02;

// Mean of the point-lens magnification A(u) = (u^2 + 2) / (u sqrt(u^2 + 4))
// over a disk of radius a centred at distance u: for a function of the plane,
//   mean = A + (a^2 / 8) Lap A + (a^4 / 192) Lap^2 A + O(a^6),
// with  Lap A   = 32 (u^2 + 1) / (u^3 (u^2 + 4)^(5/2))
// and   Lap^2 A = 384 (3 u^6 + 6 u^4 + 14 u^2 + 12) / (u^5 (u^2 + 4)^(9/2)).
double small_disk_mean(double u, double a) {
    const double u2 = u * u;
    const double s = u2 + 4.0;
    const double w = std::sqrt(s);
    const double s2 = s * s;
    const double a2 = a * a;
    const double A = (u2 + 2.0) / (u * w);
    const double second = 4.0 * a2 * (u2 + 1.0) / (u2 * u * s2 * w);
    const double fourth = 2.0 * (a2 * a2) * (((3.0 * u2 + 6.0) * u2 + 14.0) * u2 + 12.0) /
                          ((u2 * u2 * u) * (s2 * s2) * w);
    return A + (second + fourth);
}


}  // namespace

DiskConstants::DiskConstants(double rho_)
    : rho(rho_),
      rho2(rho * rho),
      four_rho(4.0 * rho),
      two_rho2(rho2 + rho2),
      one_p(1.0 + rho2),
      two_over_rho(2.0 / rho),
      g(one_p / rho2),
      x((-1.0 + rho2) / one_p),
      rim_window(RIM_FRACTION * std::fabs(rho)) {}

Numeric<double> uniform_disk(double u, const DiskConstants& c) {
    const double d = u - c.rho;
    if (std::fabs(d) < c.rim_window) {
        // Lens on the rim: A = (2/rho + (1 + rho^2)/rho^2 (pi/2 + asin((rho^2 - 1)/(rho^2 + 1)))) / pi.
        return ((std::asin(c.x) + HALF_PI) * c.g + c.two_over_rho) / PI;
    }
    const double s = c.rho + u;
    const double d2 = d * d;
    const double t = std::sqrt(d2 + 4.0);
    const double n = (c.four_rho * u) / (s * s);  // 4 u rho / (u + rho)^2
    const double k = std::sqrt(n * 4.0) / t;
    const double m = k * k;  // 4n / (4 + (u - rho)^2)
    const double h = (u * u - c.rho2) * 0.5;
    const auto E = ellipe(m);
    if (!E) return E;
    const auto K = ellipk(m);
    if (!K) return K;
    const auto P = ellippi(n, m);
    if (!P) return P;
    const double term_K = ((d * (h + 4.0)) / (c.rho2 * t)) * *K;
    const double term_E = *E * ((t * s) / c.two_rho2);
    const double term_P = *P * ((c.one_p * (d2 + d2)) / ((c.rho2 * s) * t));
    const double X = term_P + (term_E - term_K);
    // X / pi, formed as the sum of the two halves (X + pi)/2pi + (X - pi)/2pi.
    const double A_plus = (X + PI) / TWO_PI;
    const double A_minus = (X - PI) / TWO_PI;
    return A_minus + A_plus;
}

double concentric_disk_magnification(double u, double a) {
    if (a < SMALL_DISK * u) return small_disk_mean(u, a);
    const auto A = uniform_disk(u, DiskConstants(a));
    return A ? *A : NAN;
}

Numeric<std::vector<double>> witt_mao_magnification(const std::vector<double>& l, double re,
                                                    double rstar, StopPoll stop) {
    std::vector<double> out;
    if (l.empty()) return out;
    out.reserve(l.size());
    const DiskConstants c(rstar / re);
    for (const double li : l) {
        if (stop.stop_after()) return stopped();
        const auto A = uniform_disk(li * c.rho, c);
        if (!A) return A.error();
        out.push_back(*A);
    }
    return out;
}

Numeric<std::vector<double>> integrated_witt_mao_magnification(const std::vector<double>& l,
                                                               double re, double rstar,
                                                               StopPoll stop) {
    return _integrated_witt_mao_magnification(l, re, rstar, LinearLimbDarkening{},
                                              LinearLimbDarkening::NORM, stop);
}

Numeric<std::vector<double>> integrated_flux_map_witt_mao_magnification(
    const std::vector<double>& l, double re, double rstar, const std::vector<double>& bl,
    const std::vector<double>& bf, StopPoll stop) {
    const PiecewiseLinear profile = tabulated_profile(bl, bf, &stop);
    if (profile.stopped()) return stopped();
    const double norm = flux_normalisation(profile);
    return _integrated_witt_mao_magnification(l, re, rstar, profile, norm, stop);
}

}  // namespace tarnivox
