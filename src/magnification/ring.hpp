// Magnification of a thin uniform ring on the source by a point-mass lens: the
// mean of the point-lens magnification (x^2 + 2) / (x sqrt(x^2 + 4)) around
// the ring, in closed form through K and Pi (Heyrovsky, ApJ 594 (2003) 464),
// and its logarithmic expansion for a ring passing through the lens.  Then
// the ring family, the integral of rings over a star of radial profile I(r):
// the ring kernel as the family evaluates it (RingMagnification), where it is
// singular (LensSingularities), the loop over the pieces of the star and the
// three ways the integral is taken by where the lens is (ring_family_at).
#pragma once

#include <cmath>
#include <vector>

#include "magnification/profile.hpp"
#include "magnification/ring_source.hpp"
#include "magnification/source_integral.hpp"
#include "numeric/constants.hpp"
#include "numeric/graded_rule.hpp"
#include "numeric/lanes.hpp"
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
// with 1 + e_0 and (1 - e_j) / 2 from their own quotients.  (The batch below
// saves a division a step: with t_j = a_j g_j / d_j, d_j = p_j^2 + a_j g_j,
// (1 - e_j) / 2 = t_j and e_j / 2 = 1/2 - t_j.  1/2 - t_j loses digits where
// t_j nears 1/2, but only to an absolute error of order eps: R_{j+1} errs by
// some eps R_j, and R_j t_j, with t_j near 1/2, is itself a term of U, so U
// keeps its relative accuracy.  Its values differ from the single ring's in
// the last bits; the product rules off the star keep the single ring's.)
// Only +, -, *, /
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

    // The same at n <= MAX_BATCH radii at once, with one reciprocal of d_j a
    // step (see above).  One ring's steps form a chain of dependent divisions
    // and square roots; the rings' chains are independent, and run side by
    // side step for step, so that the processor overlaps them, and two at a
    // time in the lanes of a Pack, so that one division or square root serves
    // two rings.  Each ring stops by the same test as a single one: a lane
    // that has stopped keeps its values while the others go on (each update
    // is taken only where the lane is live), so that every lane ends with the
    // bits its ring would have alone, whichever rings share its Pack.
    static constexpr int MAX_BATCH = graded_rule::LOG_POINTS;
    void many(double l, const double* r, int n, double* out) const {
        using namespace lanes;
        constexpr int PACKS = (MAX_BATCH + WIDTH - 1) / WIDTH;
        if (n <= 0) return;
        const int packs = (n + WIDTH - 1) / WIDTH;
        Pack rr[PACKS], root_D[PACKS], e0[PACKS], one_plus_e0[PACKS];
        Pack a[PACKS], gm[PACKS], p[PACKS], ag[PACKS], d[PACKS], R[PACKS], U[PACKS];
        Mask live[PACKS], started[PACKS];
        const Pack L = splat(l), Q4 = splat(q2 * 4), ONE = splat(1.0), HALF = splat(0.5);
        bool alive = false;
        for (int k = 0; k < packs; ++k) {
            // The lanes past n repeat the last radius and are not stored.
            double lanes_r[WIDTH];
            for (int j = 0; j < WIDTH; ++j) lanes_r[j] = r[k * WIDTH + j < n ? k * WIDTH + j : n - 1];
            rr[k] = load(lanes_r);
            const Pack s = L + rr[k];
            const Pack g = L - rr[k];
            const Pack g2 = g * g;
            const Pack D = Q4 + g2;
            const Pack s2 = s * s;
            root_D[k] = sqrt(D);
            gm[k] = sqrt((g2 * (Q4 + s2)) / (s2 * D));
            p[k] = abs(g) / s;
            live[k] = greater(gm[k], splat(0.0));
            started[k] = live[k];
            alive = alive || any(live[k]);
            a[k] = ONE;
            ag[k] = a[k] * gm[k];
            const Pack p2 = p[k] * p[k];
            d[k] = p2 + ag[k];
            const Pack inv0 = ONE / d[k];
            e0[k] = (p2 - ag[k]) * inv0;
            one_plus_e0[k] = (p2 + p2) * inv0;
            R[k] = ONE;
            U[k] = splat(0.0);
        }
        for (int step = 1; alive && step < MAX_STEPS; ++step) {
            alive = false;
            for (int k = 0; k < packs; ++k) {
                const Mask on = live[k];
                if (!any(on)) continue;
                p[k] = d[k] / (p[k] + p[k]);
                const Pack root = sqrt(ag[k]);
                const Pack a_next = (a[k] + gm[k]) / 2;
                const Pack gm_next = root;
                const Pack ag_next = a_next * gm_next;
                const Pack p2 = p[k] * p[k];
                d[k] = p2 + ag_next;
                const Pack t = ag_next / d[k];
                const Pack U_next = U[k] + R[k] * t;
                const Pack R_next = R[k] * (HALF - t);
                const Mask done = both(less(abs(a_next - gm_next), splat(AGM_CLOSE) * a_next),
                                       less(abs(R_next), splat(TOLERANCE) * U_next));
                if (all(on)) {
                    a[k] = a_next;
                    gm[k] = gm_next;
                    ag[k] = ag_next;
                    U[k] = U_next;
                    R[k] = R_next;
                } else {
                    a[k] = select(on, a_next, a[k]);
                    gm[k] = select(on, gm_next, gm[k]);
                    ag[k] = select(on, ag_next, ag[k]);
                    U[k] = select(on, U_next, U[k]);
                    R[k] = select(on, R_next, R[k]);
                }
                live[k] = but_not(on, done);
                alive |= any(live[k]);
            }
        }
        const Pack TWO_Q2 = splat(q2 + q2), TWO_L = splat(l + l), NOT_A_NUMBER = splat(NAN);
        for (int k = 0; k < packs; ++k) {
            const Pack s = L + rr[k];
            const Pack g = L - rr[k];
            const Pack g2 = g * g;
            const Pack S = one_plus_e0[k] - e0[k] * U[k];
            const Pack M = (a[k] + gm[k]) / 2;
            const Pack A = ((TWO_Q2 + g2) + (TWO_L * rr[k]) * S) / ((s * root_D[k]) * M);
            // A ring that failed to start (g = 0 or a NaN) or to converge is NaN.
            const Pack value = select(but_not(started[k], live[k]), A, NOT_A_NUMBER);
            for (int j = 0; j < WIDTH && k * WIDTH + j < n; ++j) out[k * WIDTH + j] = lane(value, j);
        }
    }
};

// Ring magnifications at n radii, out[i] = ring(l, r[i]): through the batch
// above for the closed form, one after another for any other ring.
template <class Ring>
void rings_at(const Ring& ring, double l, const double* r, int n, double* out) {
    for (int i = 0; i < n; ++i) out[i] = ring(l, r[i]);
}
inline void rings_at(const RingMagnification& ring, double l, const double* r, int n, double* out) {
    ring.many(l, r, n, out);
}

// Where the ring magnification, continued to a complex radius r, is singular
// for a lens at l (stellar radii), q = re / rstar: at r = +-l, the ring
// through the lens and its mirror image (logarithms), and at r = +-l +- 2iq,
// where D = 4 q^2 + g^2 or 4 q^2 + s^2 vanishes.  The integral over the star
// is taken in r itself or in theta, r = sin theta; this holds the points in
// either coordinate, those with Im >= 0 (the set is symmetric about the real
// axis), and tells the graded rule where they lie as seen from a piece's end.
class LensSingularities {
public:
    static constexpr int MAX_POINTS = 6;

    // In r: +-l, +-l + 2iq.
    static LensSingularities in_radius(double l, double q) {
        LensSingularities p;
        p.lens_ = l;
        p.add(l, 0.0);
        p.add(-l, 0.0);
        p.add(l, 2.0 * q);
        p.add(-l, 2.0 * q);
        return p;
    }

    // In theta, where sin is entire and r = +-l is reached at theta = +-asin(l)
    // and pi - asin(l) (for l > 1, asin(l) = pi/2 + i acosh l, and pi - asin(l)
    // is its conjugate), and r = l + 2iq at z = asin(l + 2iq), -conj(z) and
    // pi - conj(z) (nothing else lies within pi/2 of [0, pi/2]).  Written with
    // the real functions of the C library (asin, acosh, hypot), not <complex>,
    // whose implementations differ between standard libraries in the last
    // bits and would move the layers, and so the results, from one build to
    // another.
    static LensSingularities in_angle(double l, double q) {
        LensSingularities p;
        if (l <= 1.0) {
            p.lens_ = std::asin(l);
            p.add(p.lens_, 0.0);
            p.add(-p.lens_, 0.0);
            p.add(PI - p.lens_, 0.0);
        } else {
            p.lens_ = HALF_PI;
            p.add(HALF_PI, std::acosh(l));
        }
        // asin(x + i y), x, y >= 0: asin(x / alpha) + i acosh(alpha) with
        // alpha = (|z + 1| + |z - 1|) / 2 (Hull, Fairgrieve & Tang, ACM TOMS
        // 23 (1997) 299).
        const double x = l, y = 2.0 * q;
        const double alpha = 0.5 * (std::hypot(x + 1.0, y) + std::hypot(x - 1.0, y));
        const double z_re = std::asin(std::fmin(x / alpha, 1.0));
        const double z_im = std::acosh(std::fmax(alpha, 1.0));
        p.add(z_re, z_im);
        p.add(-z_re, z_im);
        p.add(PI - z_re, z_im);
        return p;
    }

    // The ring through the lens in this coordinate, or the end of the star
    // nearest to it when it lies off the star: every piece is graded from
    // its end nearest to this.
    double lens() const { return lens_; }

    // The distance from e to the nearest point that is not e itself (NaN if
    // none is known, as for a NaN q).
    double distance(double e) const {
        double d = NAN;
        for (int k = 0; k < count_; ++k) {
            const double dist = std::hypot(re_[k] - e, im_[k]);
            if (dist > 0) d = std::fmin(d, dist);
        }
        return d;
    }

    // The points but e itself as seen from e looking towards o, into `out`
    // (MAX_POINTS long); returns their number.  A point at e is the
    // logarithm that the graded rule integrates exactly: at l = 1 the ring
    // through the lens and its image in the rim both lie at theta = pi/2.
    int seen_from(double e, double o, SingularPoint* out) const {
        const double towards = o > e ? 1.0 : -1.0;
        int n = 0;
        for (int k = 0; k < count_; ++k) {
            const double along = (re_[k] - e) * towards;
            if (along == 0 && im_[k] == 0) continue;
            out[n++] = {along, im_[k]};
        }
        return n;
    }

private:
    void add(double re, double im) {
        re_[count_] = re;
        im_[count_] = im;
        ++count_;
    }
    double re_[MAX_POINTS] = {};
    double im_[MAX_POINTS] = {};
    int count_ = 0;
    double lens_ = 0.0;
};

// The integral over the star [0, 1] in r, cut at the sorted radii `cuts`,
// in the coordinate x = to_x(r) that runs from 0 to `end`: the sum of
// piece(e, o) over the pieces, e the end of each nearest to `lens`, o the
// other.  The pieces are summed from the centre outwards.
template <class ToX, class Piece>
double sum_over_pieces(const SourceCuts& cuts, ToX&& to_x, double end, double lens, Piece&& piece) {
    double a = 0.0, sum = 0.0;
    for (int i = 0; i <= cuts.count; ++i) {
        const double b = i < cuts.count ? to_x(cuts.r[i]) : end;
        if (!(a < b)) continue;
        const bool from_b = std::fabs(b - lens) < std::fabs(a - lens);
        sum += piece(from_b ? b : a, from_b ? a : b);
        a = b;
    }
    return sum;
}

// (-1)^k / (2k + 1)! and (-1)^k / (2k)!, correctly rounded (each factorial
// here is a double exactly).
inline constexpr double SIN_TAYLOR[10] = {
    1.0, -1.0 / 6.0, 1.0 / 120.0, -1.0 / 5040.0, 1.0 / 362880.0, -1.0 / 39916800.0,
    1.0 / 6227020800.0, -1.0 / 1307674368000.0, 1.0 / 355687428096000.0,
    -1.0 / 121645100408832000.0};
inline constexpr double COS_TAYLOR[10] = {
    1.0, -1.0 / 2.0, 1.0 / 24.0, -1.0 / 720.0, 1.0 / 40320.0, -1.0 / 3628800.0,
    1.0 / 479001600.0, -1.0 / 87178291200.0, 1.0 / 20922789888000.0, -1.0 / 6402373705728000.0};

// The integral over the star of the brightness times 2 pi r A_ring, for a
// lens at l < PRODUCT_START, rho = rstar / re, cut at the ring through the
// lens and where `source` says (source.add_cuts); `samples` counts the ring
// evaluations.  Each piece takes a graded rule from its end nearest to the
// ring through the lens, where A_ring diverges like log|r - l|; for l > 1
// that ring lies off the star and the rule grades towards the rim.
// - A smooth source: in theta, r = sin theta, r dr = sin theta cos theta
//   dtheta, which keeps a profile's sqrt(1 - r^2) smooth at the rim (the rim
//   is no singularity in theta); integrate_graded, with the singular points
//   as they lie from each piece's end.
// - A fine table, kinked inside the pieces: in r, where it is linear between
//   its radii, by integrate_graded_kinked; a piece off the table, where the
//   profile is zero, adds nothing.
template <class Source, class Ring>
double integral_on_star(double l, double rho, const Source& source, const Ring& ring, int& samples) {
    SourceCuts cuts;
    cuts.add(l);
    source.add_cuts(cuts);
    cuts.sort();
    const double q = 1.0 / rho;
    if (source.kinked()) {
        const PiecewiseLine table = source.lines();
        const double first = table.x[0], last = table.x[table.n - 1];
        const LensSingularities near = LensSingularities::in_radius(l, q);
        auto G = [&](double r) { return (TWO_PI * r) * ring(l, r); };
        return sum_over_pieces(cuts, [](double r) { return r; }, 1.0, near.lens(), [&](double e, double o) {
            if (!(first <= std::fmin(e, o) && std::fmax(e, o) <= last)) return 0.0;
            return integrate_graded_kinked(G, e, o, near.distance(e), table, samples);
        });
    }
    const LensSingularities near = LensSingularities::in_angle(l, q);
    // sin and cos of a layer's nodes from those of its middle node c (one
    // call of each) and the Taylor series of sin d and cos d: a layer is at
    // most pi/2 wide and no node lies farther than 0.59 of its width from the
    // middle one, so |d| < 0.93, and the series to d^19 / 19! and d^18 / 18!
    // leave out less than 2^-60.  Near the rim, mu = cos c cos d - sin c sin d
    // loses its leading digits, but only to absolute errors of the order of
    // eps, which the factor mu of the integrand makes as small.
    // The two series are Horner chains of dependent steps; they run for all
    // the layer's nodes at once, two nodes to a Pack, step for step.
    auto G = [&](const double* theta, int n, double* v) {
        using namespace lanes;
        constexpr int PACKS = (graded_rule::LOG_POINTS + WIDTH - 1) / WIDTH;
        double r[PACKS * WIDTH], mu[PACKS * WIDTH];
        const double c = theta[n / 2];
        const Pack C = splat(c), SIN_C = splat(std::sin(c)), COS_C = splat(std::cos(c));
        const int packs = (n + WIDTH - 1) / WIDTH;
        Pack d[PACKS], d2[PACKS], sd[PACKS], cd[PACKS];
        for (int k = 0; k < packs; ++k) {
            // The lanes past n repeat the last node.
            double lanes_theta[WIDTH];
            for (int j = 0; j < WIDTH; ++j) lanes_theta[j] = theta[k * WIDTH + j < n ? k * WIDTH + j : n - 1];
            d[k] = load(lanes_theta) - C;
            d2[k] = d[k] * d[k];
            sd[k] = splat(SIN_TAYLOR[9]);
            cd[k] = splat(COS_TAYLOR[9]);
        }
        for (int m = 8; m >= 0; --m) {
            const Pack SIN_M = splat(SIN_TAYLOR[m]), COS_M = splat(COS_TAYLOR[m]);
            for (int k = 0; k < packs; ++k) {
                sd[k] = sd[k] * d2[k] + SIN_M;
                cd[k] = cd[k] * d2[k] + COS_M;
            }
        }
        for (int k = 0; k < packs; ++k) {
            const Pack sin_d = sd[k] * d[k];
            store(r + k * WIDTH, SIN_C * cd[k] + COS_C * sin_d);
            store(mu + k * WIDTH, COS_C * cd[k] - SIN_C * sin_d);
        }
        rings_at(ring, l, r, n, v);
        for (int i = 0; i < n; ++i) v[i] = source.brightness(r[i], mu[i]) * ((TWO_PI * r[i]) * mu[i]) * v[i];
    };
    return sum_over_pieces(cuts, [](double r) { return std::asin(r); }, HALF_PI, near.lens(),
                           [&](double e, double o) {
                               SingularPoint seen[LensSingularities::MAX_POINTS];
                               const int count = near.seen_from(e, o, seen);
                               return integrate_graded(G, e, o, seen, count, samples);
                           });
}

// The magnification of the star `source` for a lens at l (stellar radii),
// rho = rstar / re, with `ring`(l, r) the ring magnification, divided by the
// star's flux.  A NaN or negative l, or a NaN rho, gives NaN; an infinite l
// the point-source limit 1.  Every ring evaluated is a unit of work of
// `stop` (the series far from the star counts as one), asked once the value
// is formed; when it says stop, `halted` is set and NaN returned.
template <class Source, class Ring>
double ring_family_at(double l, double rho, const Source& source, const Ring& ring, StopPoll& stop,
                      bool& halted) {
    if (!(l >= 0) || std::isnan(rho)) return NAN;
    const double* m = source.even_moments();
    if (l == INFINITY) return m[0];
    double value;
    int work;
    if (l >= SERIES_START) {
        value = far_field_series(l * rho, 1.0 / (l * l), m);
        work = 1;
    } else if (l >= PRODUCT_START) {
        const int rule = source.near_rule(l < PRODUCT_24_START ? 2 : l < PRODUCT_16_START ? 1 : 0);
        const double* W = source.near_weights(rule);
        const ChebyshevNode* node = product_rule::nodes(rule);
        work = product_rule::SIZE[rule];
        double sum = 0.0;
        for (int i = 0; i < work; ++i) sum += W[i] * ring(l, node[i].r);
        value = sum;
    } else {
        work = 0;
        value = integral_on_star(l, rho, source, ring, work) / source.flux();
    }
    halted = stop.stop_after(work);
    return halted ? NAN : value;
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
