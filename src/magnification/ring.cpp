#include "magnification/ring.hpp"

#include <cmath>
#include <vector>

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

namespace {

// The star's size in Einstein radii, rho = rstar / re, where it leaves the
// integrals no meaning.  A NaN or negative radius describes no star (-0.0 is
// zero).  rho = 0 (rstar = 0 or re = inf, or a quotient that underflows) is a
// point source; at a fixed l in stellar radii it lies at u = l rho -> 0 from
// the lens, where the point lens magnifies without bound: the mean of
// (u^2 + 2) / (u sqrt(u^2 + 4)) over the star grows like 1 / rho for every l,
// the lens at the centre (l = 0) included, so the limit is +inf.  rho = inf
// (re = 0 or rstar = inf) is a lens of no mass: every point of the star keeps
// its brightness, and the magnification is 1 for every l >= 0.
enum class Radii { star, none, point, unlensed };

Radii radii(double re, double rstar) {
    if (!(re >= 0) || !(rstar >= 0)) return Radii::none;
    const double rho = rstar / std::fabs(re);  // NaN for 0 / 0 and inf / inf; re = -0.0 as 0
    if (std::isnan(rho)) return Radii::none;
    if (rho == 0) return Radii::point;
    return rho == INFINITY ? Radii::unlensed : Radii::star;
}

// The same value for every l >= 0 (inf included), NaN for a NaN or negative l.
std::vector<double> for_each_separation(const std::vector<double>& l, double value) {
    std::vector<double> out;
    out.reserve(l.size());
    for (const double li : l) out.push_back(li >= 0 ? value : NAN);
    return out;
}

// The point source's limit for each separation: +inf for a finite l >= 0;
// NaN for a NaN or negative l, and for l = inf, where u = l rho is 0 * inf.
// `bright` says the profile is nowhere negative and has a positive flux, so
// that the growth is towards +inf; for any other profile the sign of the
// divergence depends on its shape (or its flux is zero), and the limit is NaN.
std::vector<double> point_source_limit(const std::vector<double>& l, bool bright) {
    std::vector<double> out;
    out.reserve(l.size());
    for (const double li : l)
        out.push_back(bright && li >= 0 && li < INFINITY ? INFINITY : NAN);
    return out;
}

// Whether a tabulated profile is nowhere negative on the star and has a
// positive flux (NaN values fail both).  Between its radii the profile is
// linear, so its least value on [0, 1] is at a radius of the table or at an
// end of the star.
bool bright_profile(const PiecewiseLinear& profile, const std::vector<double>& bl) {
    if (!(profile(0.0) >= 0) || !(profile(1.0) >= 0)) return false;
    for (const double x : bl)
        if (x >= 0 && x <= 1 && !(profile(x) >= 0)) return false;
    return flux_normalisation(profile) > 0;
}

// Below this rho the Einstein radius in stellar radii, q = 1 / rho, squared
// overflows (from rho ~ 1e-154), and the rules near and on the star lose the
// star.  There, with u = l rho below 3 rho, the magnification is C(l) / rho
// up to a relative (l rho)^2, C(l) the mean of 1 / |lens - point| over the
// star in stellar radii; so a lens at l < SERIES_START is computed at
// rho = TINY_RHO and scaled by TINY_RHO / rho, exact to rounding.  The
// far-field series serves any rho.
constexpr double TINY_RHO = 1e-100;

template <class Family>
Numeric<std::vector<double>> with_tiny_stars(const std::vector<double>& l, double re, double rstar,
                                             const Family& family) {
    const double rho = rstar / re;
    auto all = family(l, re, rstar);
    if (!all || !(rho < TINY_RHO)) return all;
    std::vector<double> near;
    for (const double li : l)
        if (li < SERIES_START) near.push_back(li);
    if (near.empty()) return all;
    const auto at_tiny = family(near, 1.0, TINY_RHO);
    if (!at_tiny) return at_tiny;
    const double scale = TINY_RHO / rho;
    std::vector<double> out = *all;
    std::size_t j = 0;
    for (std::size_t i = 0; i < l.size(); ++i)
        if (l[i] < SERIES_START) out[i] = (*at_tiny)[j++] * scale;
    return out;
}

}  // namespace

Numeric<std::vector<double>> integrated_heyrovsky_magnification(const std::vector<double>& l,
                                                                double re, double rstar,
                                                                StopPoll stop) {
    switch (radii(re, rstar)) {
        case Radii::none: return std::vector<double>(l.size(), NAN);
        case Radii::point: return point_source_limit(l, true);
        case Radii::unlensed: return for_each_separation(l, 1.0);
        case Radii::star: break;
    }
    auto family = [&](const std::vector<double>& ls, double q_re, double q_rstar) {
        return _integrated_heyrovsky_magnification(ls, q_re, q_rstar, LinearLawSource(),
                                                   RingMagnification(q_re, q_rstar), stop);
    };
    return with_tiny_stars(l, re, rstar, family);
}

Numeric<std::vector<double>> integrated_flux_map_heyrovsky_magnification(
    const std::vector<double>& l, double re, double rstar, const std::vector<double>& bl,
    const std::vector<double>& bf, StopPoll stop) {
    const Radii kind = radii(re, rstar);
    if (kind == Radii::none) return std::vector<double>(l.size(), NAN);
    const PiecewiseLinear profile = tabulated_profile(bl, bf, &stop);
    if (profile.stopped()) return stopped();
    if (kind == Radii::point) return point_source_limit(l, bright_profile(profile, bl));
    if (kind == Radii::unlensed) {
        // A star of no light (zero flux, as for an empty table) has no mean.
        const double flux = flux_normalisation(profile);
        return for_each_separation(l, flux != 0 && std::isfinite(flux) ? 1.0 : NAN);
    }
    const TableSource source(profile, bl, bf, stop);
    if (source.stopped()) return stopped();
    auto family = [&](const std::vector<double>& ls, double q_re,
                      double q_rstar) -> Numeric<std::vector<double>> {
        if (!source.regular()) {
            return integrated_heyrovsky_by_quadrature(ls, q_re, q_rstar, profile,
                                                      flux_normalisation(profile), stop);
        }
        return _integrated_heyrovsky_magnification(ls, q_re, q_rstar, source,
                                                   RingMagnification(q_re, q_rstar), stop);
    };
    return with_tiny_stars(l, re, rstar, family);
}

}  // namespace tarnivox
