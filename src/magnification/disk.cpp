#include "magnification/disk.hpp"

#include <cmath>

#include "numeric/legendre.hpp"

namespace tarnivox {
namespace {

constexpr double PI = 3.141592653589793;
constexpr double TWO_PI = 6.283185307179586;
constexpr double HALF_PI = 1.5707963267948966;

// The rim limit is used within a fixed fraction of the radius of the rim,
// |l - 1| < 1e-5: there the general form cancels (its error grows like
// eps / (l - 1)^2) while the rim value is off by only O(|l - 1| log|l - 1|).
constexpr double RIM_FRACTION = 1e-5;

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
      rim_window(RIM_FRACTION * rho) {}

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

Numeric<std::vector<double>> witt_mao_magnification(std::vector<double> l, double re, double rstar) {
    std::vector<double> out;
    if (l.empty()) return out;
    out.reserve(l.size());
    const DiskConstants c(rstar / re);
    for (const double li : l) {
        const auto A = uniform_disk(li * c.rho, c);
        if (!A) return std::unexpected(A.error());
        out.push_back(*A);
    }
    return out;
}

}  // namespace tarnivox
