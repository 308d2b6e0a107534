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

#include <cmath>

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

// On [0, 1], in increasing x.
extern const GaussNode LOG_GAUSS[LOG_POINTS];
extern const GaussNode LEGENDRE[LEGENDRE_POINTS];

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

}  // namespace tarnivox
