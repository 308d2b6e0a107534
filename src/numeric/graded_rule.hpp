// Graded Gaussian quadrature over a piece [e, o] (or [o, e]) whose integrand
// is analytic except, at most, for a logarithmic singularity at the end e,
//   f(e + t) = p(t) + q(t) log t,  p and q analytic near t = 0,
// and for singularities off the piece at a known distance d from e.
//
// The piece is cut into layers that grow geometrically away from e:
//   [0, h0], [h0, R h0], [R h0, R^2 h0], ...,  h0 = min(d, length),
// up to the other end, which cuts the last one short.  (Merging a short
// remainder into the layer before it saves about 4 % of the samples but lets
// that layer's ratio reach 3.4, and cost the ring family 1e-11 just outside
// the star's rim.)  The first layer takes the Gaussian rule for
// p(t) + q(t) log t (J. Ma, V. Rokhlin and S. Wandzura, SIAM J. Sci. Comput.
// 17 (1996) 120), exact for p and q of degree below its 14 points: on
// [0, h0] the log h0 that scaling adds to log t is a polynomial term.  Every
// later layer [a, R a] sees the singularity at e at distance a from its near
// end and takes 10-point Gauss-Legendre, whose error on a function analytic
// inside the ellipse with foci at the layer's ends through e falls like
// rho^(-20), rho the sum of that ellipse's half-axes over the layer's
// half-width: 4.4 for R = 2.5 (1e-13).  A singularity at distance d from e
// is seen by the first layer at no less than its length and by the layers
// after it at no less than their distance from e; so the error stays near
// that of the smooth case however close the singularities come to e, at the
// cost of log_R(length / d) layers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "numeric/product_rule.hpp"

namespace tarnivox {
namespace graded_rule {

constexpr int LOG_POINTS = 14;
constexpr int LEGENDRE_POINTS = 10;
// The growth of the layers.
constexpr double RATIO = 2.5;
// h0 is at least this fraction of the piece: a singularity closer to e than
// that is taken as lying at e (its share of the integral is of the order of
// the fraction), which bounds the layers at about 30.
constexpr double SMALLEST_FIRST = 1e-12;

// The rule of a layer that holds kinks of a weight (integrate_graded_kinked).
constexpr int KINK_POINTS = 24;

// On [0, 1], in increasing x.
extern const GaussNode LOG_GAUSS[LOG_POINTS];
extern const GaussNode LEGENDRE[LEGENDRE_POINTS];
extern const GaussNode KINK_LEGENDRE[KINK_POINTS];
// KINK_RAMP[k][i]: the coefficient of the Chebyshev polynomial T_k(y) in
//   R(y) = integral_y^1 (s - y) p(s) ds,  y in [-1, 1],
// per unit sample i of the polynomial p of degree below KINK_POINTS through
// the samples at the nodes KINK_LEGENDRE (mapped to [-1, 1]).
extern const double KINK_RAMP[KINK_POINTS + 2][KINK_POINTS];

}  // namespace graded_rule

// The integral of f over the piece between e and o (either order),
// with f singular at e as above and its other singularities at least d from
// e.  `evaluations` is increased by the number of samples.  A sample that is
// not finite counts as 0, as in the tanh-sinh rule.
template <class F>
double integrate_graded(F&& f, double e, double o, double d, int& evaluations) {
    using namespace graded_rule;
    const double length = std::fabs(o - e);
    if (!(length > 0)) return 0.0;
    const double towards = o > e ? 1.0 : -1.0;
    auto g = [&](double t) {
        const double v = f(e + towards * t);
        return std::isfinite(v) ? v : 0.0;
    };
    double h0 = std::fmin(d, length);  // a NaN d gives the whole piece
    if (!(h0 >= SMALLEST_FIRST * length)) h0 = SMALLEST_FIRST * length;
    double sum = 0.0;
    for (int i = 0; i < LOG_POINTS; ++i) sum += LOG_GAUSS[i].w * g(h0 * LOG_GAUSS[i].x);
    sum *= h0;
    evaluations += LOG_POINTS;
    double a = h0;
    while (a < length) {
        const double b = std::fmin(a * RATIO, length);
        const double width = b - a;
        double layer = 0.0;
        for (int i = 0; i < LEGENDRE_POINTS; ++i) layer += LEGENDRE[i].w * g(a + width * LEGENDRE[i].x);
        sum += layer * width;
        evaluations += LEGENDRE_POINTS;
        a = b;
    }
    return sum;
}

// A piecewise-linear weight: knots x[0] < x[1] < ... < x[n - 1], n >= 2, and
// on segment k, from x[k] to x[k + 1], the line slope[k] r + intercept[k].
struct PiecewiseLine {
    const double* x;
    const double* slope;
    const double* intercept;
    std::size_t n;
    // The segment that holds just above r, for r in [x[0], x[n - 1]).
    std::size_t segment_above(double r, std::size_t from, std::size_t to) const {
        const std::size_t k = static_cast<std::size_t>(std::upper_bound(x + from, x + to, r) - x);
        return std::min(std::max(k, std::size_t{1}), n - 1) - 1;
    }
};

// The integral of w f over the piece between e and o (either order), w a
// piecewise-linear weight with any number of knots inside the piece, f as
// for integrate_graded (a logarithm at e, its other singularities at least d
// from e).  The graded rule again, with two changes that make it exact for
// the weight's kinks:
// - the first layer, where f is p + q log t, ends at the knot nearest to e,
//   so that the weight is one line on it;
// - a later layer [lo, hi] without knots inside takes the LEGENDRE_POINTS
//   rule, as in integrate_graded, on f times its one line; on a layer with
//   knots inside, the weight is the line of its first segment, L, plus a ramp
//   c_k (r - x_k)_+ at each knot x_k inside, c_k the change of slope there.
//   With P the polynomial of degree below N = KINK_POINTS through f's samples
//   at the N Gauss-Legendre nodes,
//     integral w f ~ integral L f + sum_k c_k integral_{x_k}^{hi} (r - x_k) P dr,
//   the first term by that Gauss-Legendre rule, each ramp in closed form
//   (KINK_RAMP): product integration (Sloan & Smith) of the kinks.
// The error is that of (w - J)(f - P) for the best smooth J: P's
// interpolation error times the weight's departure from a smooth curve.  On a
// layer [a, R a] from e, f is analytic inside the ellipse with foci at the
// layer's ends through e, whose half-axes sum to 4.4 times the layer's
// half-width for R = 2.5; P errs by about 4.4^-N there, 3e-16 of f for
// N = 24 (the 10 points of a smooth layer would leave 3e-7, which a table of
// random values, all departure, keeps whole).
// The knots nearest e set the depth of the layers: log_R(length / distance)
// of them.
template <class F>
double integrate_graded_kinked(F&& f, double e, double o, double d, const PiecewiseLine& w,
                               int& evaluations) {
    using namespace graded_rule;
    const double length = std::fabs(o - e);
    if (!(length > 0)) return 0.0;
    const bool up = o > e;
    const double lo_piece = up ? e : o, hi_piece = up ? o : e;
    // The knots strictly inside the piece: kb .. ke - 1.
    const std::size_t kb = static_cast<std::size_t>(std::upper_bound(w.x, w.x + w.n, lo_piece) - w.x);
    const std::size_t ke = static_cast<std::size_t>(std::lower_bound(w.x, w.x + w.n, hi_piece) - w.x);
    auto g = [&](double r) {
        const double v = f(r);
        return std::isfinite(v) ? v : 0.0;
    };
    double h0 = std::fmin(d, length);  // a NaN d gives the whole piece
    if (kb < ke) h0 = std::fmin(h0, up ? w.x[kb] - e : e - w.x[ke - 1]);
    if (!(h0 >= SMALLEST_FIRST * length)) h0 = SMALLEST_FIRST * length;
    double sum = 0.0;
    {
        const double towards = up ? 1.0 : -1.0;
        const std::size_t k = w.segment_above(up ? e : e - h0, 0, w.n);
        for (int i = 0; i < LOG_POINTS; ++i) {
            const double r = e + towards * (h0 * LOG_GAUSS[i].x);
            sum += LOG_GAUSS[i].w * ((w.slope[k] * r + w.intercept[k]) * g(r));
        }
        sum *= h0;
        evaluations += LOG_POINTS;
    }
    double a = h0;
    while (a < length) {
        const double b = std::fmin(a * RATIO, length);
        const double lo = up ? e + a : (b == length ? o : e - b);
        const double hi = up ? (b == length ? o : e + b) : e - a;
        const double width = hi - lo;
        // The knots inside the layer, first .. end - 1; the first is the one
        // just above lo (no knot of the table lies in [hi_piece, x[ke])), so
        // the segment holding just above lo is the one before it.
        const std::size_t first = static_cast<std::size_t>(std::upper_bound(w.x + kb, w.x + ke, lo) - w.x);
        const std::size_t end = static_cast<std::size_t>(std::lower_bound(w.x + first, w.x + ke, hi) - w.x);
        const std::size_t k = std::min(std::max(first, std::size_t{1}), w.n - 1) - 1;
        const double sk = w.slope[k], ck = w.intercept[k];
        double layer = 0.0;
        if (first == end) {
            for (int i = 0; i < LEGENDRE_POINTS; ++i) {
                const double r = lo + width * LEGENDRE[i].x;
                layer += LEGENDRE[i].w * ((sk * r + ck) * g(r));
            }
            layer *= width;
            evaluations += LEGENDRE_POINTS;
        } else {
            double samples[KINK_POINTS];
            for (int i = 0; i < KINK_POINTS; ++i) {
                const double r = lo + width * KINK_LEGENDRE[i].x;
                samples[i] = g(r);
                layer += KINK_LEGENDRE[i].w * ((sk * r + ck) * samples[i]);
            }
            layer *= width;
            evaluations += KINK_POINTS;
            constexpr int TERMS = KINK_POINTS + 2;
            double c[TERMS];
            for (int m = 0; m < TERMS; ++m) {
                double cm = 0.0;
                for (int i = 0; i < KINK_POINTS; ++i) cm += KINK_RAMP[m][i] * samples[i];
                c[m] = cm;
            }
            // R(y) = sum_m c_m T_m(y) by Clenshaw's recurrence
            //   u_m = c_m + 2 y u_(m+1) - u_(m+2),  R = c_0 + y u_1 - u_2,
            // four kinks at a time in four running sums: independent chains
            // that the processor overlaps.
            double ramps4[4] = {0.0, 0.0, 0.0, 0.0};
            std::size_t j = first;
            for (; j + 4 <= end; j += 4) {
                double y[4], u1[4], u2[4];
                for (int v = 0; v < 4; ++v) {
                    y[v] = ((w.x[j + v] - lo) - (hi - w.x[j + v])) / width;
                    u1[v] = 0.0;
                    u2[v] = 0.0;
                }
                for (int m = TERMS - 1; m >= 1; --m)
                    for (int v = 0; v < 4; ++v) {
                        const double u = (c[m] + (y[v] + y[v]) * u1[v]) - u2[v];
                        u2[v] = u1[v];
                        u1[v] = u;
                    }
                for (int v = 0; v < 4; ++v)
                    ramps4[v] += (w.slope[j + v] - w.slope[j + v - 1]) * ((c[0] + y[v] * u1[v]) - u2[v]);
            }
            for (int v = 0; j < end; ++j, ++v) {
                const double y = ((w.x[j] - lo) - (hi - w.x[j])) / width;
                double u1 = 0.0, u2 = 0.0;
                for (int m = TERMS - 1; m >= 1; --m) {
                    const double u = (c[m] + (y + y) * u1) - u2;
                    u2 = u1;
                    u1 = u;
                }
                ramps4[v] += (w.slope[j] - w.slope[j - 1]) * ((c[0] + y * u1) - u2);
            }
            const double ramps = (ramps4[0] + ramps4[1]) + (ramps4[2] + ramps4[3]);
            // dr = (width / 2) dy, twice.
            layer += ramps * ((width * width) / 4);
        }
        sum += layer;
        a = b;
    }
    return sum;
}

}  // namespace tarnivox
