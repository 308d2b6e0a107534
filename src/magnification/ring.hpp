// Magnification of a thin uniform ring on the source by a point-mass lens: the
// mean of the point-lens magnification (x^2 + 2) / (x sqrt(x^2 + 4)) around
// the ring, in closed form through K and Pi (Heyrovsky, ApJ 594 (2003) 464),
// and its logarithmic expansion for a ring passing through the lens.
#pragma once

#include <cmath>
#include <vector>

#include "magnification/profile.hpp"
#include "magnification/ring_source.hpp"
#include "magnification/source_integral.hpp"
#include "numeric/constants.hpp"
#include "numeric/graded_rule.hpp"
#include "numeric/numeric_result.hpp"
#include "numeric/product_rule.hpp"
#include "numeric/stop_poll.hpp"

namespace tarnivox {

// The logarithmic expansion about the lens holds for |l - r| small against l;
// beyond this fraction the closed form is exact to rounding.
inline constexpr double NEAR_RING_FRACTION = 1e-5;

// l: lens to ring centre, r: ring radius, both in stellar radii;
// re and rstar enter through q = re / rstar.
Numeric<double> heyrovsky_magnification(double l, double r, double re, double rstar);

// Where the ring family changes its method, by the lens's distance l from the
// star's centre (stellar radii); see ring_source.hpp.
inline constexpr double SERIES_START = 3.0;     // l >= 3: the mean-value series
inline constexpr double PRODUCT_START = 1.05;   // 1.05 <= l < 3: product rules in mu
inline constexpr double PRODUCT_24_START = 1.2;  // 24 points from here, 32 below
inline constexpr double PRODUCT_16_START = 1.5;  // 16 points from here

// The ring magnification as the ring family's integrand evaluates it, from
// the complete integrals K(m) and Pi(n, m) of the closed form, both through
// one arithmetic-geometric mean.  With k' = sqrt(1 - m), p0 = sqrt(1 - n),
//   K(m) = pi / (2 M),  M = AGM(1, k')                           (DLMF 19.8.5)
//   Pi(n, m) = pi / (4 M) (2 + n / (1 - n) S),  S = sum_j Q_j     (DLMF 19.8.6)
// where a_j, g_j are the AGM's means and p_{j+1} = (p_j^2 + a_j g_j) / (2 p_j),
// e_j = (p_j^2 - a_j g_j) / (p_j^2 + a_j g_j), Q_0 = 1, Q_{j+1} = Q_j e_j / 2
// (DLMF 19.8.7).  With s = l + r, g = l - r, D = 4 q^2 + g^2 and
// n / (1 - n) = 4 l r / g^2,
//   2 q^2 K + g^2 Pi = pi / (4 M) (4 q^2 + 2 g^2 + 4 l r S),
//   A = (2 q^2 + g^2 + 2 l r S) / (s sqrt(D) M),
// with k' = |g| sqrt(4 q^2 + s^2) / (s sqrt(D)) and p0 = |g| / s formed
// without cancellation: near the ring through the lens (g -> 0) both go to 0
// like g, and the value stays exact to rounding where 1 - m formed as one
// minus m would lose every digit.
//
// There p0^2 is far below k', so e_0 is near -1 and p_1 far above M; p_j then
// halves down to M with e_j near 1, and the terms 1, -1/2, -1/4, ... of S
// cancel down to S ~ 2^-j.  So S is summed in the form
//   S = (1 + e_0) - e_0 U,  U = sum_{j>=1} R_j (1 - e_j) / 2,
//   R_1 = 1, R_{j+1} = R_j e_j / 2,
// (U = 1 - (sum_{j>=1} R_j) / 2), whose terms are all positive while e_j > 0,
// with 1 + e_0 and (1 - e_j) / 2 from their own quotients.  Only +, -, *, /
// and sqrt: the same bits on every correctly rounded platform.  A ring
// through the lens itself (g = 0), or a NaN, gives NaN.
struct RingMagnification {
    // The AGM and the sum converge quadratically once p_j is near M; before
    // that p_j halves down to it from p_1 ~ sqrt(4 q^2 + s^2) / (2 sqrt(D)),
    // at most about s / (4 q): 15 steps in all with g ~ 1e-14 and
    // rho = rstar / re up to 100, 45 with rho = 1e12.  A ring that has not
    // converged by then (rho beyond about 1e20) gives NaN.
    static constexpr int MAX_STEPS = 64;
    // The loop stops once the sum's next term is below 2.7 eps of it and
    // |a - g| < AGM_CLOSE a: M then lies between the next two means, within
    // (a - g)^2 / (8 a) < a eps / 8 of (a + g) / 2, which is taken for it.
    static constexpr double TOLERANCE = 5.995204332975846e-16;  // 2.7 eps
    static constexpr double AGM_CLOSE = 1e-8;
    double q2;  // (re / rstar)^2
    RingMagnification(double re, double rstar) : q2((re / rstar) * (re / rstar)) {}
    double operator()(double l, double r) const {
        const double s = l + r;
        const double g = l - r;
        const double g2 = g * g;
        const double D = q2 * 4 + g2;
        const double s2 = s * s;
        double gm = std::sqrt((g2 * (q2 * 4 + s2)) / (s2 * D));  // k'
        double p = std::fabs(g) / s;                             // p0
        if (!(gm > 0)) return NAN;
        double a = 1.0;
        double ag = a * gm;
        double p2 = p * p;
        double d = p2 + ag;
        const double e0 = (p2 - ag) / d;
        const double one_plus_e0 = (p2 + p2) / d;
        double R = 1.0, U = 0.0;
        for (int step = 1;; ++step) {
            if (step == MAX_STEPS) return NAN;
            p = d / (p + p);
            const double root = std::sqrt(ag);
            a = (a + gm) / 2;
            gm = root;
            ag = a * gm;
            p2 = p * p;
            d = p2 + ag;
            const double e = (p2 - ag) / d;
            U += R * (ag / d);  // R (1 - e) / 2
            R = (R * e) / 2;
            if (std::fabs(a - gm) < AGM_CLOSE * a && std::fabs(R) < TOLERANCE * U) break;
        }
        const double S = one_plus_e0 - e0 * U;
        const double M = (a + gm) / 2;
        return (((q2 + q2) + g2) + ((l + l) * r) * S) / ((s * std::sqrt(D)) * M);
    }
};

// Where the integrand over the star, in theta (r = sin theta), is singular
// for a lens at l < PRODUCT_START (stellar radii), q = re / rstar: where r is
// one of +-l (the ring through the lens and its mirror image, a logarithm)
// or +-l +- 2iq (where D = 4 q^2 + g^2 or 4 q^2 + s^2 vanishes), that is at
// theta = +-asin(l), pi - asin(l), and, with z = asin(l + 2iq), at +-z,
// pi - z and their conjugates; for l > 1, asin(l) = pi/2 + i acosh l.
// sin is entire, so nothing else is singular within pi/2 of [0, pi/2].
struct OnStarSingularities {
    // Each as theta = re + i im.  Written with the real functions of the C
    // library (asin, acosh, hypot), not <complex>, whose implementations
    // differ between standard libraries in the last bits and would move the
    // layers, and so the results, from one build to another.
    double lens_re, lens_im, z_re, z_im;
    OnStarSingularities(double l, double q) {
        if (l <= 1.0) {
            lens_re = std::asin(l);
            lens_im = 0.0;
        } else {
            lens_re = HALF_PI;
            lens_im = std::acosh(l);
        }
        // asin(x + i y), x, y >= 0: asin(x / alpha) + i acosh(alpha) with
        // alpha = (|z + 1| + |z - 1|) / 2 (Hull, Fairgrieve & Tang, ACM TOMS
        // 23 (1997) 299).
        const double x = l, y = 2.0 * q;
        const double alpha = 0.5 * (std::hypot(x + 1.0, y) + std::hypot(x - 1.0, y));
        z_re = std::asin(std::fmin(x / alpha, 1.0));
        z_im = std::acosh(std::fmax(alpha, 1.0));
    }
    // The distance from theta = e, on [0, pi/2], to the nearest of them that
    // is not e itself (NaN if none is known, as for a NaN q).
    double distance(double e) const {
        const double at[6][2] = {{lens_re, lens_im}, {-lens_re, lens_im}, {PI - lens_re, lens_im},
                                 {z_re, z_im},       {-z_re, z_im},       {PI - z_re, z_im}};
        double d = NAN;
        for (const auto& s : at) {
            const double dist = std::hypot(s[0] - e, s[1]);
            if (dist > 0) d = std::fmin(d, dist);
        }
        return d;
    }
};

// The integral over the star of a table, linear in r between its radii
// (`table`), times 2 pi r A_ring, for a lens at l < PRODUCT_START: in r, cut
// at `cuts` (the ring through the lens and where the table starts or ends),
// each piece inside the table by the graded rule for kinked weights from its
// end nearest the lens.  In r the integrand 2 pi r A_ring is singular at
// r = l and its mirror r = -l (logarithms) and at r = +-l +- 2iq (where D or
// 4 q^2 + s^2 vanishes); the rim is no singularity of it, nor of the table.
template <class Ring>
double kinked_on_star(double l, double rho, const PiecewiseLine& table, const Ring& ring,
                      const SourceCuts& cuts, int& samples) {
    const double two_q = 2.0 / rho;
    auto G = [&](double r) { return (TWO_PI * r) * ring(l, r); };
    auto distance = [&](double e) {  // to the nearest singularity that is not e
        const double at[4] = {std::fabs(e - l), std::fabs(e + l), std::hypot(e - l, two_q),
                              std::hypot(e + l, two_q)};
        double d = NAN;
        for (const double x : at)
            if (x > 0) d = std::fmin(d, x);
        return d;
    };
    const double first = table.x[0], last = table.x[table.n - 1];
    double a = 0.0, sum = 0.0;
    for (int i = 0; i <= cuts.count; ++i) {
        const double b = i < cuts.count ? cuts.r[i] : 1.0;
        if (!(a < b)) continue;
        // A piece off the table, where the profile is zero, adds nothing.
        if (first <= a && b <= last) {
            const bool from_b = std::fabs(b - l) < std::fabs(a - l);
            const double e = from_b ? b : a;
            sum += integrate_graded_kinked(G, e, from_b ? a : b, distance(e), table, samples);
        }
        a = b;
    }
    return sum;
}

// The magnification of the star `source` for a lens at l (stellar radii),
// rho = rstar / re, with `ring`(l, r) the ring magnification, divided by the
// star's flux.  A NaN or negative l, or a NaN rho, gives NaN; an infinite l
// the point-source limit 1.  Every ring evaluated counts as one unit of work
// of `stop`; when it says stop, `halted` is set and the value is meaningless.
template <class Source, class Ring>
double ring_family_at(double l, double rho, const Source& source, const Ring& ring, StopPoll& stop,
                      bool& halted) {
    if (!(l >= 0) || std::isnan(rho)) return NAN;
    const double* m = source.even_moments();
    if (l == INFINITY) return m[0];
    if (l >= SERIES_START) {
        halted = stop.stop_after();
        return far_field_series(l * rho, 1.0 / (l * l), m);
    }
    if (l >= PRODUCT_START) {
        const int rule = source.near_rule(l < PRODUCT_24_START ? 2 : l < PRODUCT_16_START ? 1 : 0);
        const double* W = source.near_weights(rule);
        const int points = product_rule::SIZE[rule];
        halted = stop.stop_after(points);
        if (halted) return NAN;
        const ChebyshevNode* node = product_rule::nodes(rule);
        double sum = 0.0;
        for (int i = 0; i < points; ++i) sum += W[i] * ring(l, node[i].r);
        return sum;
    }
    // On the star: in theta (r = sin theta, r dr = sin theta cos theta dtheta),
    // which keeps the profile's sqrt(1 - r^2) smooth at the rim, cut at the
    // ring through the lens and at a coarse table's radii.  Each piece takes
    // the graded rule from its end nearest the ring through the lens, where
    // A_ring diverges like log|r - l|; for l > 1 that ring is the complex
    // theta = pi/2 + i acosh l, and the rule grades towards the rim.  A fine
    // table, with kinks inside the pieces, is integrated in r, where it is
    // linear between its radii, by the graded rule for kinked weights.
    SourceCuts cuts;
    cuts.add(l);
    const bool smooth = source.add_cuts(cuts);
    cuts.sort();
    double sum = 0.0;
    int samples = 0;
    if (!smooth) {
        sum = kinked_on_star(l, rho, source.lines(), ring, cuts, samples);
    } else {
        const OnStarSingularities near(l, 1.0 / rho);  // q = 1 / rho
        auto G = [&](double theta) {
            const double r = std::sin(theta);
            const double mu = std::cos(theta);
            return source.brightness(r, mu) * ((TWO_PI * r) * mu) * ring(l, r);
        };
        const double lens = near.lens_re;  // asin(l), or pi/2 for l >= 1
        double a = 0.0;
        for (int i = 0; i <= cuts.count; ++i) {
            const double b = i < cuts.count ? std::asin(cuts.r[i]) : HALF_PI;
            if (!(a < b)) continue;
            const bool from_b = std::fabs(b - lens) < std::fabs(a - lens);
            const double e = from_b ? b : a;
            sum += integrate_graded(G, e, from_b ? a : b, near.distance(e), samples);
            a = b;
        }
    }
    halted = stop.stop_after(samples);
    return sum / source.flux();
}

// Magnification of a star with radial brightness profile I(r):
//   integral_0^1 I(r) 2 pi r A_ring(l, r) dr / flux,
// one value per separation.  A ring evaluation that fails is a NaN sample:
// dropped on the star, where the quadrature takes it as 0; a NaN result off
// it.  The family fails only when `stop` asks it to.
template <class Source, class Ring>
Numeric<std::vector<double>> _integrated_heyrovsky_magnification(const std::vector<double>& l,
                                                                 double re, double rstar,
                                                                 const Source& source,
                                                                 const Ring& ring,
                                                                 StopPoll stop = StopPoll()) {
    std::vector<double> out;
    out.reserve(l.size());
    const double rho = rstar / re;
    bool halted = false;
    for (const double li : l) {
        out.push_back(ring_family_at(li, rho, source, ring, stop, halted));
        if (halted) return stopped();
    }
    return out;
}

// The same for a profile known only through its values (a table whose radii
// do not increase, or with values that are not finite): the tanh-sinh rule
// over the whole star, cut where the lens or the table's ends make the
// integrand singular, divided by the profile's flux by the same rule.
template <class Profile>
Numeric<std::vector<double>> integrated_heyrovsky_by_quadrature(const std::vector<double>& l,
                                                                double re, double rstar,
                                                                const Profile& profile, double norm,
                                                                StopPoll stop = StopPoll()) {
    std::vector<double> out;
    out.reserve(l.size());
    const double rho = rstar / re;
    for (const double li : l) {
        if (stop.stop_after(StopPoll::PERIOD)) return stopped();  // ~1 ms a separation
        if (!(li >= 0) || std::isnan(rho)) {
            out.push_back(NAN);
            continue;
        }
        if (li == INFINITY) {
            out.push_back(1.0);
            continue;
        }
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
