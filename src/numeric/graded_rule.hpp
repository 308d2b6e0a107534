// Graded Gaussian quadrature over a piece [e, o] (or [o, e]) whose integrand
// is analytic except, at most, for a logarithmic singularity at the end e,
//   f(e + t) = p(t) + q(t) log t,  p and q analytic near t = 0,
// and for singularities off the piece.
//
// The piece is cut into layers that grow away from e:
//   [0, h0], [h0, h1], [h1, h2], ...,
// up to the other end.  The first layer takes the Gaussian rule for
// p(t) + q(t) log t (J. Ma, V. Rokhlin and S. Wandzura, SIAM J. Sci. Comput.
// 17 (1996) 120), exact for p and q of degree below its 14 points: on
// [0, h0] the log h0 that scaling adds to log t is a polynomial term.  Its n
// points integrate 2n functions, so, unlike an n-point Gauss-Legendre rule,
// it is exact for p only up to degree n - 1: its error is that of the best
// approximation of p and q by polynomials of degree 13, and falls only like
// rho^(-14), rho the sum of the half-axes, over the layer's half-width, of
// the largest ellipse with foci at the layer's ends inside which p and q are
// analytic.  Every later layer sees the logarithm at e from outside and takes
// Gauss-Legendre, exact to twice its number of points, whose error falls
// like rho^(-2n).
//
// How far a layer may reach is set by the singular points themselves, as
// seen from e: a point at distance D ahead of a layer's near end allows less
// than one behind it (the ellipse of a layer [s, s + w] excludes a point z,
// relative to s, when |z| + |z - w| >= c w, that is for
//   w <= 2 (c |z| - Re z) / (c^2 - 1),
// with z measured along the piece: D behind gives w = 2 D / (c - 1), D ahead
// only 2 D / (c + 1)).  Two rules share this file:
// - integrate_graded, for a smooth weight: the first layer keeps every
//   singular point but e outside its ellipse of c = 2.5 (rho = 4.79), and
//   each later layer keeps e and every other point outside its ellipse of
//   c = 1.8 (rho = 3.30; with e alone, b = 3.5 a), for its 12-point
//   Gauss-Legendre rule: 3.30^-24 = 3.5e-13 on the layer.  A layer that
//   would leave less than 15 % of its width to the end takes the rest with
//   it.  The first layer's bound, 4.79^-14 = 3e-10, is far from what it does:
//   the logarithms at the points it keeps out are weak beside the integrand,
//   and the integral over the star, against mpmath references, errs by at
//   most about 3e-14 (lens on the star's rim, l = 1 exactly, included).
// - integrate_graded_kinked, for a piecewise-linear weight: only the distance
//   d from e to the nearest other singularity is known, and the layers are
//   [0, h0], [h0, R h0], [R h0, R^2 h0], ..., h0 = min(d, length), R = 2.5:
//   the first layer by the 14-point rule, seeing the nearest point at no
//   less than its length (rho >= 5.83 when it lies behind e: a bound of
//   5.83^-14 = 2e-11, not the 1e-13 of the later layers), each later one by
//   10-point Gauss-Legendre, whose ellipse through e has rho = 4.44
//   (4.44^-20 = 1.2e-13).  (Merging a short remainder into the layer before
//   it saves about 4 % of the samples but lets that layer's ratio reach 3.4,
//   and cost the ring family 1e-11 just outside the star's rim.)
// Either way the error stays near that of the smooth case however close the
// singularities come to e, at the cost of a number of layers logarithmic in
// the piece's length over their distance.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "numeric/product_rule.hpp"

namespace tarnivox {
namespace graded_rule {

constexpr int LOG_POINTS = 14;
constexpr int LEGENDRE_POINTS = 10;
// The growth of the layers of the rule for kinked weights.
constexpr double RATIO = 2.5;
// The rule for smooth weights: its later layers' Gauss-Legendre rule, and the
// ellipses (sum of the distances to the foci over the layer's length) that
// its first and later layers keep the singular points out of.
constexpr int SMOOTH_LEGENDRE_POINTS = 12;
constexpr double FIRST_ELLIPSE = 2.5;
constexpr double LAYER_ELLIPSE = 1.8;
// A layer that would end closer than this fraction of its width to the end
// of the piece reaches the end.
constexpr double STRETCH = 0.15;
// h0 is at least this fraction of the piece: a singularity closer to e than
// that is taken as lying at e (its share of the integral is of the order of
// the fraction), which bounds the layers at about 30.
constexpr double SMALLEST_FIRST = 1e-12;

// On [0, 1], in increasing x.
extern const GaussNode LOG_GAUSS[LOG_POINTS];
extern const GaussNode LEGENDRE[LEGENDRE_POINTS];
extern const GaussNode SMOOTH_LEGENDRE[SMOOTH_LEGENDRE_POINTS];
// LEGENDRE_RAMP[m][i]: the coefficient of y^m in
//   R(y) = integral_y^1 (s - y) p(s) ds,  y in [-1, 1],
// per unit sample i of the polynomial p of degree below LEGENDRE_POINTS
// through the samples at the nodes LEGENDRE (mapped to [-1, 1]).
extern const double LEGENDRE_RAMP[LEGENDRE_POINTS + 2][LEGENDRE_POINTS];

}  // namespace graded_rule

// A singular point of an integrand seen from the end e of a piece: `along`,
// its distance from e in the direction of the piece (negative behind e), and
// `across`, its distance from the piece's line.
struct SingularPoint {
    double along, across;
};

// The widest layer [s, s + w] whose ellipse (foci s and s + w, sum of the
// distances c w) leaves out the point z = along + i across, relative to s:
// |z| + |z - w| >= c w for every w up to 2 (c |z| - along) / (c^2 - 1).
inline double layer_reach(double along, double across, double c) {
    // |z| scaled by its larger part, so that no square underflows.
    const double big = std::fmax(std::fabs(along), across), small = std::fmin(std::fabs(along), across);
    const double ratio = big > 0 ? small / big : 0.0;
    const double modulus = big * std::sqrt(1.0 + ratio * ratio);
    return 2.0 * (c * modulus - along) / (c * c - 1.0);
}

// The integral of f over the piece between e and o (either order), f singular
// at e as above, and elsewhere only at the `count` points `seen` (none of them
// e itself).  f(x, n, v) sets v[i] to the integrand at x[i], i < n (at most
// LOG_POINTS): a layer's samples are asked for together, so that f may
// overlap their work.  `evaluations` is increased by the number of samples.
// A sample that is not finite counts as 0, as in the tanh-sinh rule.
template <class F>
double integrate_graded(F&& f, double e, double o, const SingularPoint* seen, int count,
                        int& evaluations) {
    using namespace graded_rule;
    static_assert(SMOOTH_LEGENDRE_POINTS <= LOG_POINTS, "one buffer for every layer");
    const double length = std::fabs(o - e);
    if (!(length > 0)) return 0.0;
    const double towards = o > e ? 1.0 : -1.0;
    double x[LOG_POINTS], v[LOG_POINTS];
    auto finite = [](double value) { return std::isfinite(value) ? value : 0.0; };
    double h0 = length;
    for (int k = 0; k < count; ++k)
        h0 = std::fmin(h0, layer_reach(seen[k].along, seen[k].across, FIRST_ELLIPSE));
    // (fmin passes over a NaN reach, as for a NaN l or q.)
    if (h0 * (1.0 + STRETCH) > length) h0 = length;
    if (!(h0 >= SMALLEST_FIRST * length)) h0 = SMALLEST_FIRST * length;
    if (!(h0 > 0)) h0 = length;  // a piece of a few subnormals, whose fraction is 0
    for (int i = 0; i < LOG_POINTS; ++i) x[i] = e + towards * (h0 * LOG_GAUSS[i].x);
    f(x, LOG_POINTS, v);
    double sum = 0.0;
    for (int i = 0; i < LOG_POINTS; ++i) sum += LOG_GAUSS[i].w * finite(v[i]);
    sum *= h0;
    evaluations += LOG_POINTS;
    double a = h0;
    while (a < length) {
        // e itself, at a behind the layer, allows 2 a / (c - 1); a layer is
        // never narrower than an eighth of its distance from e, which bounds
        // the layers where a point comes close to the piece.
        double width = 2.0 * a / (LAYER_ELLIPSE - 1.0);
        for (int k = 0; k < count; ++k)
            width = std::fmin(width, layer_reach(seen[k].along - a, seen[k].across, LAYER_ELLIPSE));
        width = std::fmax(width, 0.125 * a);
        // The last layer, or one that would not move a (subnormal widths).
        if (a + width * (1.0 + STRETCH) >= length || !(a + width > a)) width = length - a;
        for (int i = 0; i < SMOOTH_LEGENDRE_POINTS; ++i)
            x[i] = e + towards * (a + width * SMOOTH_LEGENDRE[i].x);
        f(x, SMOOTH_LEGENDRE_POINTS, v);
        double layer = 0.0;
        for (int i = 0; i < SMOOTH_LEGENDRE_POINTS; ++i) layer += SMOOTH_LEGENDRE[i].w * finite(v[i]);
        sum += layer * width;
        evaluations += SMOOTH_LEGENDRE_POINTS;
        a = a + width;
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
// for integrate_graded (a logarithm at e), its other singularities at least d
// from e.  The graded rule again, with two changes that make it exact for
// the weight's kinks:
// - the first layer, where f is p + q log t, ends at the knot nearest to e,
//   so that the weight is one line on it;
// - on each later layer [lo, hi] the weight is the line of its first segment,
//   L, plus a ramp c_k (r - x_k)_+ at each knot x_k inside, c_k the change of
//   slope there.  With P the polynomial of degree 9 through f's samples,
//     integral w f ~ integral L f + sum_k c_k integral_{x_k}^{hi} (r - x_k) P dr,
//   the first term by Gauss-Legendre (exact for L P, degree 10), each ramp in
//   closed form (LEGENDRE_RAMP): product integration (Sloan & Smith) of the
//   kinks.  Gauss-Legendre integrates J f to the graded rule's accuracy for
//   any smooth J, and J P exactly, so the error is that of (w - J)(f - P)
//   for the best such J: P's interpolation error (about 3e-7 of f on a
//   layer of ratio 2.5) times the weight's departure from a smooth curve,
//   which for a fine table of a smooth law is about its tabulation error,
//   ~1e-7 of it: 1e-12 to 2e-11 in all, the most where a layer reaches the
//   sqrt(1 - r^2) of a limb-darkening law at the rim (5e-10 for a table of
//   random values).
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
        double samples[LEGENDRE_POINTS];
        double layer = 0.0;
        for (int i = 0; i < LEGENDRE_POINTS; ++i) {
            const double r = lo + width * LEGENDRE[i].x;
            samples[i] = g(r);
            layer += LEGENDRE[i].w * ((w.slope[k] * r + w.intercept[k]) * samples[i]);
        }
        layer *= width;
        evaluations += LEGENDRE_POINTS;
        if (first < end) {
            double c[LEGENDRE_POINTS + 2];
            for (int m = 0; m < LEGENDRE_POINTS + 2; ++m) {
                double cm = 0.0;
                for (int i = 0; i < LEGENDRE_POINTS; ++i) cm += LEGENDRE_RAMP[m][i] * samples[i];
                c[m] = cm;
            }
            // Four kinks at a time, each by Horner's rule, in four running
            // sums: independent chains that the processor overlaps.
            double ramps4[4] = {0.0, 0.0, 0.0, 0.0};
            std::size_t j = first;
            for (; j + 4 <= end; j += 4) {
                double y[4], R[4];
                for (int u = 0; u < 4; ++u) {
                    y[u] = ((w.x[j + u] - lo) - (hi - w.x[j + u])) / width;
                    R[u] = c[LEGENDRE_POINTS + 1];
                }
                for (int m = LEGENDRE_POINTS; m >= 0; --m)
                    for (int u = 0; u < 4; ++u) R[u] = R[u] * y[u] + c[m];
                for (int u = 0; u < 4; ++u) ramps4[u] += (w.slope[j + u] - w.slope[j + u - 1]) * R[u];
            }
            for (int u = 0; j < end; ++j, ++u) {
                const double y = ((w.x[j] - lo) - (hi - w.x[j])) / width;
                double R = c[LEGENDRE_POINTS + 1];
                for (int m = LEGENDRE_POINTS; m >= 0; --m) R = R * y + c[m];
                ramps4[u] += (w.slope[j] - w.slope[j - 1]) * R;
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
