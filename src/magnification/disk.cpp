#include "magnification/disk.hpp"

#include <cmath>

#include "magnification/profile.hpp"
#include "numeric/constants.hpp"
#include "numeric/legendre.hpp"

namespace tarnivox {

namespace {

bool is_small_disk(double u, double a) { return SMALL_DISK_DISTANCE * a < u; }

// Beyond u = 2^14 the mean exceeds 1 by less than 2.1 / u^4 < 2^-54, so it
// rounds to 1 (A(u) = 1 + 2 / u^4 + O(u^-6) far from the lens).
constexpr double POINT_SOURCE_DISTANCE = 16384.0;

// Mean of the point-lens magnification A(u) = (u^2 + 2) / (u sqrt(u^2 + 4))
// over a disk of radius a centred at distance u.  For a function of the plane
// that is smooth over the disk,
//   mean = sum_k (a^2 / 4)^k Lap^k A / (k! (k + 1)!)
//        = A + (a^2 / 8) Lap A + (a^4 / 192) Lap^2 A + (a^6 / 9216) Lap^3 A + ...
// (the mean over the circle of radius r, sum_k (r^2 / 4)^k Lap^k A / k!^2,
// averaged over the disk).  With s = u^2 + 4, w = sqrt(s) and x = (a / (u s))^2,
// the k-th term is x^k C_k / (u w), C_k a polynomial in u^2 with
//   C_1 = 4 (u^2 + 1),
//   C_2 = 2 (3 u^6 + 6 u^4 + 14 u^2 + 12),
//   C_3 = 4 (2 u^10 + 2 u^8 + 22 u^6 + 57 u^4 + 82 u^2 + 50).
// For a < u / 50 the three terms are at most 5e-5, 7.5e-9 and 1.6e-12 of the
// mean, and the first one left out (k = 4) at most 3.9e-16.  Every term is
// positive for u > 0, so nothing cancels; below the cut at u = 2^14 the
// largest intermediate, C_3 ~ 8 u^10, is far from overflowing.
double small_disk_mean(double u, double a) {
    if (u > POINT_SOURCE_DISTANCE) return 1.0;
    const double u2 = u * u;
    const double s = u2 + 4.0;
    const double w = std::sqrt(s);
    const double uw = u * w;
    const double A = (u2 + 2.0) / uw;
    const double v = a / (u * s);
    const double x = v * v;
    const double c1 = 4.0 * (u2 + 1.0);
    const double c2 = 2.0 * (((3.0 * u2 + 6.0) * u2 + 14.0) * u2 + 12.0);
    const double c3 = 4.0 * (((((2.0 * u2 + 2.0) * u2 + 22.0) * u2 + 57.0) * u2 + 82.0) * u2 + 50.0);
    // (x C_1 + x^2 C_2 + x^3 C_3) / (u w)
    return A + (x * (c1 + x * (c2 + x * c3))) / uw;
}

}  // namespace

DiskConstants::DiskConstants(double rho_)
    : rho(rho_),
      rho2(rho * rho),
      four_rho(4.0 * rho),
      two_rho2(rho2 + rho2),
      one_plus_rho2(1.0 + rho2),
      two_over_rho(2.0 / rho),
      rim_factor(one_plus_rho2 / rho2),
      rim_sine((-1.0 + rho2) / one_plus_rho2),
      rim_window(RIM_FRACTION * std::fabs(rho)) {}

Numeric<double> uniform_disk(double u, const DiskConstants& c) {
    // A lens far from the disk (l > 50): the mean-value expansion.  The radius
    // must be positive for 50 rho < u to mean that.
    if (c.rho > 0.0 && is_small_disk(u, c.rho)) return small_disk_mean(u, c.rho);
    const double d = u - c.rho;
    if (std::fabs(d) < c.rim_window) {
        // Lens on the rim: A = (2/rho + (1 + rho^2)/rho^2 (pi/2 + asin((rho^2 - 1)/(rho^2 + 1)))) / pi.
        return ((std::asin(c.rim_sine) + HALF_PI) * c.rim_factor + c.two_over_rho) / PI;
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
    const double term_P = *P * ((c.one_plus_rho2 * (d2 + d2)) / ((c.rho2 * s) * t));
    const double X = term_P + (term_E - term_K);
    // X / pi, formed as the sum of the two halves (X + pi)/2pi + (X - pi)/2pi.
    // Not simplified: X / pi differs from this in the last bit for some u and
    // rho, and every value this function has returned is the two halves' sum.
    const double A_plus = (X + PI) / TWO_PI;
    const double A_minus = (X - PI) / TWO_PI;
    return A_minus + A_plus;
}

double concentric_disk_magnification(double u, double a) {
    if (is_small_disk(u, a)) return small_disk_mean(u, a);
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
    return with_flux_map(bl, bf, stop, [&](const PiecewiseLinear& profile, double norm) {
        return _integrated_witt_mao_magnification(l, re, rstar, profile, norm, stop);
    });
}

}  // namespace tarnivox
