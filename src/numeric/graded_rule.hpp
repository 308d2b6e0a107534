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
#include <type_traits>
#include <vector>

#include "numeric/product_rule.hpp"
#include "numeric/stop_poll.hpp"

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

// The rule of a layer that holds kinks of a weight (integrate_graded_kinked).
constexpr int KINK_POINTS = 24;
// The rule of one segment of a piecewise-linear weight times a polynomial of
// degree below KINK_POINTS (LineTree): exact to degree 2 SEGMENT_POINTS - 1.
constexpr int SEGMENT_POINTS = 13;
static_assert(2 * SEGMENT_POINTS > KINK_POINTS, "a line times a polynomial of degree KINK_POINTS - 1");

// On [0, 1], in increasing x.
extern const GaussNode LOG_GAUSS[LOG_POINTS];
extern const GaussNode LEGENDRE[LEGENDRE_POINTS];
extern const GaussNode SMOOTH_LEGENDRE[SMOOTH_LEGENDRE_POINTS];
extern const GaussNode SEGMENT_LEGENDRE[SEGMENT_POINTS];
extern const GaussNode KINK_LEGENDRE[KINK_POINTS];
// LEGENDRE_RAMP[k][i]: the coefficient of the Chebyshev polynomial T_k(y) in
//   R(y) = integral_y^1 (s - y) p(s) ds,  y in [-1, 1],
// per unit sample i of the polynomial p of degree below LEGENDRE_POINTS
// through the samples at the nodes LEGENDRE (mapped to [-1, 1]).
extern const double LEGENDRE_RAMP[LEGENDRE_POINTS + 2][LEGENDRE_POINTS];
// KINK_INTERPOLANT[k][i]: the coefficient of T_k(y) in the polynomial of
// degree below KINK_POINTS through the samples at the nodes KINK_LEGENDRE.
extern const double KINK_INTERPOLANT[KINK_POINTS][KINK_POINTS];

// Chebyshev series f = sum_k p[k] T_k(z), k < N, on [-1, 1].
namespace chebyshev {

// out = the series of f(alpha + beta z), N terms, for |alpha| + |beta| <= 1
// (an interval inside [-1, 1]): Clenshaw's recurrence with series for values,
//   u_k = p_k + 2 x u_(k+1) - u_(k+2),  f = p_0 + x u_1 - u_2,  x = alpha + beta z,
// each product by z from z T_0 = T_1, z T_k = (T_(k+1) + T_(k-1)) / 2.
template <int N>
void compose_affine(const double* p, double alpha, double beta, double* out) {
    // Three buffers in turn: u_(k+2), u_(k+1) and the u_k being formed, of
    // degree N - 1 - k; all zero beyond their degree.
    double buffer[3][N + 1] = {};
    double* u2 = buffer[0];
    double* u1 = buffer[1];
    double* u0 = buffer[2];
    const double a2 = alpha + alpha, b2 = beta + beta;
    int degree = -1;  // of u1
    for (int k = N - 1; k >= 1; --k) {
        // u0 = p_k + 2 (alpha + beta z) u1 - u2.
        for (int j = 0; j <= degree + 1; ++j) u0[j] = a2 * u1[j] - u2[j];
        if (degree >= 0) {
            u0[1] += b2 * u1[0];
            for (int j = 1; j <= degree; ++j) {
                u0[j + 1] += beta * u1[j];
                u0[j - 1] += beta * u1[j];
            }
        }
        u0[0] += p[k];
        double* t = u2;
        u2 = u1;
        u1 = u0;
        u0 = t;
        ++degree;
    }
    // f = p_0 + (alpha + beta z) u1 - u2.
    for (int j = 0; j < N; ++j) out[j] = alpha * u1[j] - u2[j];
    if (degree >= 0) {
        out[1] += beta * u1[0];
        for (int j = 1; j <= degree; ++j) {
            if (j + 1 < N) out[j + 1] += (0.5 * beta) * u1[j];
            out[j - 1] += (0.5 * beta) * u1[j];
        }
    }
    out[0] += p[0];
}

// out = the series of integral_z^1 f, N + 1 terms: the antiderivative
// F = sum b_k T_k, b_1 = p_0 - p_2 / 2, b_k = (p_(k-1) - p_(k+1)) / (2k)
// (DLMF 18.9.22 in this form), less F(1) = sum b_k.
template <int N>
void integral_to_one(const double* p, double* out) {
    auto at = [&](int k) { return k < N ? p[k] : 0.0; };
    double F1 = 0.0;
    out[0] = 0.0;
    for (int k = 1; k <= N; ++k) {
        const double b = k == 1 ? at(0) - 0.5 * at(2) : (at(k - 1) - at(k + 1)) / (2 * k);
        out[k] = -b;
        F1 += b;
    }
    out[0] = F1;
}

// S[k] += sum_q c[q] T_k(z[q]), k < TERMS, over COUNT points, by the
// three-term recurrence (stable on [-1, 1]).  The points' recurrences run
// side by side: one point's is a chain of dependent multiplications, COUNT
// of them are independent chains that the processor overlaps; each S[k]
// still receives the points' terms in their order.
template <int COUNT, int TERMS>
void add_sums(const double* z, const double* c, double* S) {
    double z2[COUNT], t_prev[COUNT], t[COUNT];
    for (int q = 0; q < COUNT; ++q) {
        z2[q] = z[q] + z[q];
        t_prev[q] = 1.0;
        t[q] = z[q];
    }
    for (int q = 0; q < COUNT; ++q) S[0] += c[q];
    for (int k = 1; k < TERMS; ++k) {
        for (int q = 0; q < COUNT; ++q) S[k] += c[q] * t[q];
        for (int q = 0; q < COUNT; ++q) {
            const double t_next = z2[q] * t[q] - t_prev[q];
            t_prev[q] = t[q];
            t[q] = t_next;
        }
    }
}

// integral_(-1)^1 (A + B z) f dz, from integral T_k = 2 / (1 - k^2) for even
// k (0 for odd) and z T_k = (T_(k+1) + T_(k-1)) / 2.
template <int N>
double line_moment(const double* p, double A, double B) {
    auto I = [](int k) { return k % 2 == 0 ? 2.0 / (1.0 - double(k) * k) : 0.0; };
    double sa = 0.0, sb = 0.0;
    for (int k = 0; k < N; ++k) {
        sa += p[k] * I(k);
        if (k >= 1) sb += p[k] * (0.5 * (I(k + 1) + I(k - 1)));
    }
    return A * sa + B * sb;
}

}  // namespace chebyshev

// A layer's kinks may take the LEGENDRE_POINTS rule when the weight's
// departure from a smooth curve there is below this fraction of its integral:
// the interpolant of LEGENDRE_POINTS samples errs by at most about 3e-7 of f
// on a layer (below), 1e-7 as seen on the 101-radius tabulated law, which
// leaves 1e-13 to 3e-13 of the layer.
constexpr double SMOOTH_KINKS = 1e-6;
// How far a rough region's ramps may exceed its weight (its rounding errors
// are about this many ulps of it), and the most knots of a region when the
// weight has no running sums to tell.
constexpr double ROUGH_CONDITION = 256.0;
constexpr std::size_t ROUGH_REGION = 16;

// Sum_j c_j R(y_j) for the ramp integral R = sum_m c[m] T_m of TERMS terms
// and the points x_j (j < count) of a layer [lo, hi], y_j = (2 x_j - lo - hi)
// / (hi - lo), c_j = change(j): by Clenshaw's recurrence
//   u_m = c_m + 2 y u_(m+1) - u_(m+2),  R = c_0 + y u_1 - u_2,
// four points at a time in four running sums: independent chains that the
// processor overlaps.
template <int TERMS, class X, class Change>
double ramp_sum(const double* c, X&& x, Change&& change, std::size_t count, double lo, double hi) {
    const double width = hi - lo;
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        double y[4], u1[4], u2[4];
        for (int v = 0; v < 4; ++v) {
            const double xv = x(j + v);
            y[v] = ((xv - lo) - (hi - xv)) / width;
            u1[v] = 0.0;
            u2[v] = 0.0;
        }
        for (int m = TERMS - 1; m >= 1; --m)
            for (int v = 0; v < 4; ++v) {
                const double u = (c[m] + (y[v] + y[v]) * u1[v]) - u2[v];
                u2[v] = u1[v];
                u1[v] = u;
            }
        for (int v = 0; v < 4; ++v) sums[v] += change(j + v) * ((c[0] + y[v] * u1[v]) - u2[v]);
    }
    for (int v = 0; j < count; ++j, ++v) {
        const double xj = x(j);
        const double y = ((xj - lo) - (hi - xj)) / width;
        double u1 = 0.0, u2 = 0.0;
        for (int m = TERMS - 1; m >= 1; --m) {
            const double u = (c[m] + (y + y) * u1) - u2;
            u2 = u1;
            u1 = u;
        }
        sums[v] += change(j) * ((c[0] + y * u1) - u2);
    }
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

// Sum_i W_i P(y_i) over the COUNT points x_i of a group, P = sum_m c[m] T_m
// of TERMS terms on the layer [lo, hi], y_i = (2 x_i - lo - hi) / (hi - lo):
// Clenshaw's recurrence, u_m = (c_m - u_(m+2)) + 2 y u_(m+1), so that only a
// product and a sum wait on the step before, at eight points at a time: one
// point's recurrence is a chain of dependent steps, eight are independent
// chains that the processor overlaps.
template <int TERMS, int COUNT>
double proxy_sum(const double* c, const double* x, const double* W, double lo, double hi) {
    constexpr int LANES = 8;
    static_assert(COUNT % LANES == 0, "whole rounds of points");
    const double width = hi - lo;
    double sums[LANES] = {};
    for (int j = 0; j < COUNT; j += LANES) {
        double y[LANES], y2[LANES], u1[LANES], u2[LANES];
        for (int v = 0; v < LANES; ++v) {
            y[v] = ((x[j + v] - lo) - (hi - x[j + v])) / width;
            y2[v] = y[v] + y[v];
            u1[v] = 0.0;
            u2[v] = 0.0;
        }
        for (int m = TERMS - 1; m >= 1; --m)
            for (int v = 0; v < LANES; ++v) {
                const double u = (c[m] - u2[v]) + y2[v] * u1[v];
                u2[v] = u1[v];
                u1[v] = u;
            }
        for (int v = 0; v < LANES; ++v) sums[v] += W[j + v] * ((c[0] - u2[v]) + y[v] * u1[v]);
    }
    double total = 0.0;
    for (int v = 0; v < LANES; ++v) total += sums[v];
    return total;
}

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

// Weighted sums over a run of consecutive items (points or segments) of a
// fixed increasing set, for any polynomial p of degree below PROXY, in time
// logarithmic in the run's length.  The items are grouped in blocks of
// BLOCK, the blocks in pairs, the pairs in pairs, and so on; each group,
// spanning [lo, hi], stands for its items by PROXY proxies at the Chebyshev
// points z_i of the first kind mapped onto it (the product rule's nodes),
// with weights W_i such that sum_i W_i p(z_i) is the group's sum for every
// such p: for weights c_j at points x_j,
//   W_i = sum_j c_j l_i(x_j),  l_i the Lagrange basis of the z_i,
// and for a weight w over segments, W_i = integral w l_i.  A group's proxies
// are formed from its two halves' proxies, as if these were its points.  The
// Lebesgue constant of Chebyshev points is below 3 for up to 24 of them, so a
// proxy weight is at most that times the group's sum of |c_j| (or integral of
// |w|), and a group's sum is as accurate as the direct one.  A run is covered
// by whole groups save for less than BLOCK items at either end, with at most
// two groups of each size: 2 log2(n / BLOCK) groups in all.
template <int P, std::size_t B>
class ProxyTree {
public:
    static constexpr int PROXY = P;
    static constexpr std::size_t BLOCK = B;
    // The PROXY Chebyshev points of the first kind, decreasing.
    static const double* proxy_z();
    // Calls items(j0, j1) for the runs [j0, j1) of single items and
    // group(j0, j1, lo, hi, w) for the groups (their items, their span and
    // their PROXY weights) that together make up [first, end), in order.
    template <class Items, class Group>
    void visit(std::size_t first, std::size_t end, Items&& items, Group&& group) const {
        if (levels_.empty() || end - first < 2 * BLOCK) {
            items(first, end);
            return;
        }
        const std::size_t aligned = (first + BLOCK - 1) / BLOCK * BLOCK;
        items(first, aligned);
        std::size_t j = aligned;
        while (j + BLOCK <= end) {
            std::size_t level = 0;
            while (level + 1 < levels_.size() && j % (BLOCK << (level + 1)) == 0 &&
                   j + (BLOCK << (level + 1)) <= end)
                ++level;
            const std::size_t index = j / (BLOCK << level);
            const double* G = levels_[level].group(index);
            group(j, j + (BLOCK << level), G[0], G[1], G + 2);
            j += BLOCK << level;
        }
        items(j, end);
    }

protected:
    // Per group, side by side (one group's sum reads one stretch of
    // memory): its span lo, hi and its PROXY weights.
    struct Level {
        static constexpr std::size_t STRIDE = 2 + P;
        std::vector<double> data;
        std::size_t size() const { return data.size() / STRIDE; }
        void resize(std::size_t groups) { data.assign(groups * STRIDE, 0.0); }
        double* group(std::size_t g) { return &data[g * STRIDE]; }
        const double* group(std::size_t g) const { return &data[g * STRIDE]; }
    };
    // Forms the levels above the first (levels_[0], the blocks): each
    // group's proxy weights from its halves', by the barycentric formula at
    // their proxies, or from the Chebyshev moments of their proxy weights
    // (then the product rule's weights), which asks for no divisions.
    // False, with no levels kept, when `stop` says stop.
    enum class Merge { barycentric, moments };
    bool merge_levels(Merge how, StopPoll& stop);
    std::vector<Level> levels_;
};

// Both trees are formed in graded_rule.cpp.
extern template class ProxyTree<16, 64>;
extern template class ProxyTree<24, 16>;

// The knots of a table with their changes of slope as weights: the ramps
// sum_j c_j R(x_j) of a layer of integrate_graded_kinked's smooth rule.
class RampTree : public ProxyTree<16, 64> {
public:
    // c_j, j < n, the weights of the points x_j (increasing).  Fewer than
    // 2 BLOCK points are never grouped.  False, with nothing kept, when
    // `stop` says stop.
    bool build(const double* x, const double* c, std::size_t n, StopPoll& stop);
};

// The segments of a piecewise-linear weight w (PiecewiseLine's knots x,
// slopes and intercepts, n knots): integral w p over a run of segments, for
// a polynomial p of degree below 24, the degree of the interpolant of
// integrate_graded_kinked's rough rule.  A block's proxy weights come from
// its Chebyshev moments, formed as a rough region's integral is (see there:
// the line of its first segment plus the ramps of its fifteen inner knots)
// where that form is as well conditioned, and segment by segment by
// Gauss-Legendre (SEGMENT_POINTS, exact) where a narrow steep segment would
// make its terms cancel.  Its levels are merged through their moments.
class LineTree : public ProxyTree<24, 16> {
public:
    // Fewer than 2 BLOCK segments are never grouped.  False, with nothing
    // kept, when `stop` says stop.
    bool build(const double* x, const double* slope, const double* intercept, std::size_t n, StopPoll& stop);
};

// A piecewise-linear weight: knots x[0] < x[1] < ... < x[n - 1], n >= 2, and
// on segment k, from x[k] to x[k + 1], the line slope[k] r + intercept[k].
// Optionally, for integrate_graded_kinked's choice of rule, three running
// sums over the knots: departure[j], of |slope[i] - slope[i - 1]| (x[i + 1] -
// x[i - 1])^2 / 32 for 0 < i < j (the area between the weight and a smooth
// curve through it is about that near knot i: h^2 / 8 times the change of
// slope, h the spacing); bend[j], of |slope[i] - slope[i - 1]| for 0 < i < j;
// and area[j], of the integral of |weight| over the segments i < j (by the
// trapezoidal rule).
struct PiecewiseLine {
    const double* x;
    const double* slope;
    const double* intercept;
    std::size_t n;
    const double* departure = nullptr;  // n entries
    const double* area = nullptr;       // n entries
    const double* bend = nullptr;       // n entries
    // Optionally, the knots grouped (RampTree) with their changes of slope
    // c_j = slope[j] - slope[j - 1] as weights (0 at both ends): the sum of the
    // ramps of a layer's knots then takes time logarithmic in their number.
    const RampTree* ramps = nullptr;
    // Optionally, the segments grouped (LineTree): the integral of the weight
    // times a polynomial over a layer then takes time logarithmic in its
    // knots.
    const LineTree* segments = nullptr;
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
// - each later layer [lo, hi] takes N Gauss-Legendre samples of f, and
//   integral w f ~ integral w P, P the polynomial of degree below N through
//   them, in closed form: product integration (Sloan & Smith) of the kinks.
// The weight there is the line of its first segment, L, plus a ramp
// c_k (r - x_k)_+ at each knot x_k inside, c_k the change of slope there.
// Gauss-Legendre integrates J f to the graded rule's accuracy for any smooth
// J, and J P exactly, so the error is that of (w - J)(f - P) for the best
// such J: P's interpolation error times the weight's departure from a smooth
// curve.  On a layer [a, R a] from e, f is analytic inside the ellipse with
// foci at the layer's ends through e, whose half-axes sum to 4.4 times the
// layer's half-width for R = 2.5, and P errs by about 4.4^-N of f: 3e-7 for
// N = LEGENDRE_POINTS, 3e-16 for N = KINK_POINTS.
// - A fine table of a smooth law departs from it by its tabulation error,
//   1e-7 of it or less (SMOOTH_KINKS decides, from w's running sums when it
//   has them): its layers take LEGENDRE_POINTS, integral L f by that rule and
//   each ramp in closed form (LEGENDRE_RAMP), the ramps' sum by groups of
//   knots (RampTree) when w has them.  Its changes of slope are small, and so
//   are the ramps.
// - A rough table (random values, a zigzag) departs by as much as it weighs:
//   its layers take KINK_POINTS, and are cut into regions of a few
//   segments, each with its own expansion of P (see below), since its ramps,
//   as large as the changes of slope times the layer's width squared, would
//   cancel to n^1.5 eps of the result for n knots.  When w has them, the
//   groups of segments of LineTree, whose proxy weights were formed region
//   by region alike, stand for all but a few of a layer's regions.
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
        // The layer's departure from a smooth weight, against its weight over
        // the segments that hold it, decides the rule.
        const bool smooth = first == end ||
                            (w.departure && w.departure[end] - w.departure[first] <=
                                                SMOOTH_KINKS * (w.area[end] - w.area[first - 1]));
        // Sum_j c_j R(y_j) over the layer's knots, R = sum_m c[m] T_m: knot by
        // knot, or by the groups of RampTree for all but a few.
        auto ramps = [&](const double* c, auto terms) {
            constexpr int TERMS = decltype(terms)::value;
            double total = 0.0;
            auto points = [&](std::size_t j0, std::size_t j1) {
                if (j0 >= j1) return;
                auto knot = [&](std::size_t i) { return w.x[j0 + i]; };
                auto change = [&](std::size_t i) { return w.slope[j0 + i] - w.slope[j0 + i - 1]; };
                total += ramp_sum<TERMS>(c, knot, change, j1 - j0, lo, hi);
            };
            if (!w.ramps) {
                points(first, end);
                return total;
            }
            static_assert(TERMS <= RampTree::PROXY, "the groups' proxies hold R");
            const double* z = RampTree::proxy_z();
            w.ramps->visit(first, end, points, [&](std::size_t, std::size_t, double glo, double ghi,
                                                   const double* gw) {
                const double mid = 0.5 * (glo + ghi), half = 0.5 * (ghi - glo);
                auto at = [&](std::size_t i) { return mid + half * z[i]; };
                auto weight = [&](std::size_t i) { return gw[i]; };
                total += ramp_sum<TERMS>(c, at, weight, RampTree::PROXY, lo, hi);
            });
            return total;
        };
        double layer = 0.0;
        if (smooth) {
            double samples[LEGENDRE_POINTS];
            for (int i = 0; i < LEGENDRE_POINTS; ++i) {
                const double r = lo + width * LEGENDRE[i].x;
                samples[i] = g(r);
                layer += LEGENDRE[i].w * ((sk * r + ck) * samples[i]);
            }
            layer *= width;
            evaluations += LEGENDRE_POINTS;
            if (first < end) {
                constexpr int TERMS = LEGENDRE_POINTS + 2;
                double c[TERMS];
                for (int m = 0; m < TERMS; ++m) {
                    double cm = 0.0;
                    for (int i = 0; i < LEGENDRE_POINTS; ++i) cm += LEGENDRE_RAMP[m][i] * samples[i];
                    c[m] = cm;
                }
                // dr = (width / 2) dy, twice.
                layer += ramps(c, std::integral_constant<int, TERMS>()) * ((width * width) / 4);
            }
        } else {
            // A rough weight: the ramps' form above would add and cancel terms
            // as large as the kinks' changes of slope times the layer's width
            // squared, up to n^1.5 times the result for n random values.  So
            // the layer is cut into regions (direct, below), on each of which
            // the interpolant P is expanded afresh (compose_affine) and the
            // weight is the line of the segment that holds its start plus the
            // ramps of its own knots, integrated in closed form: each term is
            // then at most ROUGH_CONDITION times the region's share.
            double samples[KINK_POINTS];
            for (int i = 0; i < KINK_POINTS; ++i) samples[i] = g(lo + width * KINK_LEGENDRE[i].x);
            evaluations += KINK_POINTS;
            double p[KINK_POINTS];
            for (int k = 0; k < KINK_POINTS; ++k) {
                double pk = 0.0;
                for (int i = 0; i < KINK_POINTS; ++i) pk += KINK_INTERPOLANT[k][i] * samples[i];
                p[k] = pk;
            }
            constexpr int TERMS = KINK_POINTS + 2;
            // The region [u, v] on the line of segment `seg`, with the ramps
            // sum_j c_j (r - x_j)_+ that ramp_terms(R, u, v) sums against R.
            auto region = [&](double u, double v, std::size_t seg, auto&& ramp_terms) {
                const double m = 0.5 * (u + v), h = 0.5 * (v - u);
                if (!(h > 0)) return;
                const double alpha = ((m - lo) - (hi - m)) / width, beta = (h + h) / width;
                double local[KINK_POINTS], Q[KINK_POINTS + 1], R[TERMS];
                chebyshev::compose_affine<KINK_POINTS>(p, alpha, beta, local);
                // integral_(x_j)^v (r - x_j) P dr = h^2 R(z_j), R(z) = int_z^1 (s - z) P ds.
                chebyshev::integral_to_one<KINK_POINTS>(local, Q);
                chebyshev::integral_to_one<KINK_POINTS + 1>(Q, R);
                const double A = w.slope[seg] * m + w.intercept[seg], B = w.slope[seg] * h;
                layer += h * chebyshev::line_moment<KINK_POINTS>(local, A, B) + (h * h) * ramp_terms(R, u, v);
            };
            // [u, v], the knots k0 .. k1 - 1 strictly inside it, on the line of
            // segment k0 - 1 (the one that holds u) and the ramps of those
            // knots: one region while its terms, at most (sum_j |c_j| + |s|)
            // (v - u)^2 / 2 for the line's slope s, stay below ROUGH_CONDITION
            // times the weight there (a fine table of a law near its rim,
            // where sqrt(1 - r^2) bends it, is often one region).  Otherwise
            // it is cut at evenly spread knots into as many parts as the
            // square root of the excess (the terms grow like the square of
            // the knots), and each part is judged again, down to single
            // segments: a narrow steep segment among wide ones (radii at
            // random) ends with a region of its own, and never stands in a
            // wide one as a large slope and ramps that cancel it.  Without
            // the running sums, regions of ROUGH_REGION knots.
            auto direct = [&](auto&& self, double u, double v, std::size_t k0, std::size_t k1) -> void {
                if (!(u < v)) return;
                std::size_t pieces = 1;
                if (k1 > k0) {
                    if (w.bend) {
                        const double span = v - u;
                        const double terms = (w.bend[k1] - w.bend[k0] + std::fabs(w.slope[k0 - 1])) *
                                             (0.5 * span * span);
                        const double limit = ROUGH_CONDITION * (w.area[k1] - w.area[k0 - 1]);
                        if (terms > limit)
                            pieces = terms < 1e6 * limit ? static_cast<std::size_t>(std::ceil(std::sqrt(terms / limit)))
                                                         : k1 - k0 + 1;
                    } else {
                        pieces = (k1 - k0 + ROUGH_REGION - 1) / ROUGH_REGION;
                    }
                }
                if (pieces > 1) {
                    // Cut at `pieces - 1` knots spread evenly, each part seen again.
                    pieces = std::min(pieces, k1 - k0 + 1);
                    double from = u;
                    std::size_t kf = k0;
                    for (std::size_t i = 1; i < pieces; ++i) {
                        const std::size_t kc = k0 + i * (k1 - k0) / pieces;
                        self(self, from, w.x[kc], kf, kc);
                        from = w.x[kc];
                        kf = kc + 1;
                    }
                    self(self, from, v, kf, k1);
                    return;
                }
                auto ramp_terms = [&](const double* R, double ru, double rv) {
                    auto knot = [&](std::size_t i) { return w.x[k0 + i]; };
                    auto change = [&](std::size_t i) { return w.slope[k0 + i] - w.slope[k0 + i - 1]; };
                    return ramp_sum<TERMS>(R, knot, change, k1 - k0, ru, rv);
                };
                region(u, v, k0 - 1, ramp_terms);
            };
            if (!w.segments) {
                direct(direct, lo, hi, first, end);
            } else {
                // The segments that lie whole inside the layer, first .. end - 2,
                // by groups (LineTree) where they are many: integral w P over a
                // group is sum_i W_i P(z_i) (proxy_sum).  What lies between
                // the groups, at most 2 LineTree::BLOCK segments, goes directly.
                static_assert(KINK_POINTS <= LineTree::PROXY, "the groups' proxies hold P");
                const double* z = LineTree::proxy_z();
                double at[LineTree::PROXY];
                double u = lo;
                std::size_t k0 = first;
                w.segments->visit(
                    first, end - 1, [](std::size_t, std::size_t) {},
                    [&](std::size_t g0, std::size_t g1, double glo, double ghi, const double* gw) {
                        direct(direct, u, glo, k0, g0);
                        const double mid = 0.5 * (glo + ghi), half = 0.5 * (ghi - glo);
                        for (int i = 0; i < LineTree::PROXY; ++i) at[i] = mid + half * z[i];
                        layer += proxy_sum<KINK_POINTS, LineTree::PROXY>(p, at, gw, lo, hi);
                        u = ghi;
                        k0 = g1 + 1;
                    });
                direct(direct, u, hi, k0, end);
            }
        }
        sum += layer;
        a = b;
    }
    return sum;
}

}  // namespace tarnivox
