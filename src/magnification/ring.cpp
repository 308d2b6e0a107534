#include "magnification/ring.hpp"

#include <cmath>

#include "magnification/profile.hpp"
#include "numeric/constants.hpp"
#include "numeric/legendre.hpp"

namespace tarnivox {

Numeric<double> heyrovsky_magnification(double l, double r, double re, double rstar) {
    const double q = re / rstar;  // Einstein radius in stellar radii
    const double q2 = q * q;
    const double g = l - r;
    // A ring through the lens (or l = r = 0, which has no finite value) takes
    // the expansion; a NaN g takes the closed form.
    if (std::fabs(g) < NEAR_RING_FRACTION * l || g == 0) {
        // Expansion of the closed form about r = l to first order in
        // dr = r - l (K(m) ~ ln(4 / sqrt(1 - m)) as m -> 1):
        //   A ~ [ (2q/l)(1 - dr/(2l)) ln(8 q l / (sqrt(l^2 + q^2) |dr|)) + 4 atan(l/q)
        //         + q (2 l^2 + q^2) / (l^2 (l^2 + q^2)) dr ] / (2 pi).
        const double dr = r - l;
        const double l2 = l * l;
        const double T1 = (1 - dr / (l + l)) * ((q + q) / l);
        const double L = std::log(((8 * q) * l) / (std::sqrt(l2 + q2) * std::fabs(g)));
        const double T2 = std::atan(l / q) * 4;
        const double T3 = ((((l2 + l2) + q2) * q) / ((l2 + q2) * l2)) * dr;
        return ((L * T1 + T2) + T3) / TWO_PI;
    }
    const double s = l + r;
    const double g2 = g * g;
    const double D = q2 * 4 + g2;
    const double k = std::sqrt((l * r) / D) * ((q * 4) / s);
    const double m = k * k;
    const auto K = ellipk(m);
    if (!K) return K;
    const double n = ((l * 4) * r) / (s * s);
    const auto P = ellippi(n, m);
    if (!P) return P;
    return ((((q2 + q2) * *K) + g2 * *P) * (4 / (s * std::sqrt(D)))) / TWO_PI;
}

Numeric<std::vector<double>> discrete_ring_sum(const std::vector<double>& l, double re, double rstar,
                                               const std::vector<double>& bl,
                                               const std::vector<double>& bf, StopPoll stop) {
    std::vector<double> out;
    if (l.empty()) return out;
    out.reserve(l.size());
    if (bl.empty()) {
        out.assign(l.size(), 0.0);
        return out;
    }
    for (const double li : l) {
        double S = 0.0;
        for (std::size_t j = 0; j < bl.size(); ++j) {
            if (stop.stop_after()) return stopped();
            const auto A = heyrovsky_magnification(li, bl[j], re, rstar);
            if (!A) return A.error();
            S = S + *A * bf[j];
        }
        out.push_back(S);
    }
    return out;
}

Numeric<std::vector<double>> integrated_heyrovsky_magnification(const std::vector<double>& l,
                                                                double re, double rstar,
                                                                StopPoll stop) {
    return _integrated_heyrovsky_magnification(l, re, rstar, LinearLawSource(),
                                               RingMagnification(re, rstar), stop);
}

Numeric<std::vector<double>> integrated_flux_map_heyrovsky_magnification(
    const std::vector<double>& l, double re, double rstar, const std::vector<double>& bl,
    const std::vector<double>& bf, StopPoll stop) {
    const PiecewiseLinear profile = tabulated_profile(bl, bf, &stop);
    if (profile.stopped()) return stopped();
    const TableSource source(profile, bl, bf, stop);
    if (source.stopped()) return stopped();
    if (!source.regular()) {
        return integrated_heyrovsky_by_quadrature(l, re, rstar, profile, flux_normalisation(profile),
                                                  stop);
    }
    return _integrated_heyrovsky_magnification(l, re, rstar, source, RingMagnification(re, rstar),
                                               stop);
}

}  // namespace tarnivox
