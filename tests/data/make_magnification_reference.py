#!/usr/bin/env python3
"""Reference magnifications of a point-mass lens for extended sources, to high precision.

Writes tests/data/magnification_reference.json with six tables:

* ``ring``: the mean point-lens magnification over a thin uniform ring,
  A_ring(u, a) = (1/2pi) * int_0^2pi A(|u - a e^{i phi}|) dphi,
  on a grid of (l, r, re/rstar), including points whose radius approaches the
  separation (|l - r| / l from 1e-3 down to 1e-9), r = 0 and l = 0;
* ``disk``: the mean point-lens magnification over a uniform disk of radius
  rho centred at distance u = l * rho, for rho in {1e-3, 1e-2, 0.1, 1, 10}, with
  separations clustered near the centre and near the rim l = 1;
* ``disk_far``: the same for a lens far from the star, l from 1.1 to 1e8 with
  rho from 1e-6 to 1e2 and u = l rho up to 1e4, thickest about l = 50 and
  including a pseudo-random sample;
* ``limb_darkened``: the magnification of a star with the linear limb-darkening
  law I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)),
  A_LD(l) = int_0^1 I(r) A_ring(l rho, r rho) 2 pi r dr / int_0^1 I(r) 2 pi r dr;
* ``limb_darkened_wide``: the same for rho from 1e-6 to 1e2 and l from 0 to
  1e8, with both neighbouring doubles of 1.1, 2, 3, 4, 5, 6, 8 and 10;
* ``table_wide``: the same with a piecewise-linear tabulated profile P(r)
  (zero outside its first and last radius) in the place of I(r): the exact
  integral of the interpolated table, for five tables stored with it.

Here A(x) = (x^2 + 2) / (x sqrt(x^2 + 4)) is the point-lens magnification at
distance x from the lens, lengths are in Einstein radii, and l, r are in
stellar radii (rho = rstar / re).  The inputs are stored as the exact binary64
numbers that a test passes to the module; every reference is evaluated at
those exact numbers.

The closed forms used (mpmath's ellipk/ellipe/ellippi take the parameter m and
the characteristic n as Pi(n | m)):

* ring (Heyrovsky 2003, ApJ 594, 464):
  A_ring = (2/pi) (2 K(m) + (u - a)^2 Pi(n|m)) / ((u + a) sqrt(4 + (u - a)^2)),
  n = 4ua / (u + a)^2, m = 4n / (4 + (u - a)^2);
* disk (Witt & Mao 1994, ApJ 430, 505), t = sqrt(4 + (u - rho)^2):
  A_disk = (1/2pi) [ (u + rho) t E(m) / rho^2 - (u - rho)(8 + u^2 - rho^2) K(m) / (rho^2 t)
                     + 4 (u - rho)^2 (1 + rho^2) Pi(n|m) / (rho^2 (u + rho) t) ],
  n = 4u rho / (u + rho)^2, m = 4n / t^2, and on the rim u = rho
  A_disk = (2/rho + (1 + rho^2)/rho^2 (pi/2 + asin((rho^2 - 1)/(rho^2 + 1)))) / pi.

Near the ring line (u -> a) and the rim (u -> rho), 1 - n and 1 - m are of the
order of the squared relative distance, so the working precision is raised
there by twice the number of digits that cancel.

For the wide tables the integral over the radius is cut at the table's radii,
at r = l and geometrically towards r = l; a piece that ends at a singularity
(r = l, or the rim for the limb-darkening law) is integrated by tanh-sinh, any
other by Gauss-Legendre with as many points as the Bernstein ellipse of the
nearest complex singularity of A_ring(l rho, r rho) in r (r = +-l and
+-l +- 2i/rho, where the range of |x|^2 over the ring reaches 0 or -4) needs
for 40 digits, at 34 digits of working precision.

Far from the star (l >= 2.9 here, both sides of 3) the mean of the point-lens magnification over
a star of radial profile I centred at distance u is the mean-value series
  A_I(u) = sum_k <r^2k>_I (rho/2)^2k Lap^k A(u) / (k!)^2,
<r^2k>_I = int_0^1 I(r) r^2k 2 r dr / int_0^1 I(r) 2 r dr, Lap the radial
Laplacian (1/u) d/du (u d/du) = 4 d/ds (s d/ds) in s = u^2 (the mean of
Lap^k A over a ring of radius a weighs (a/2)^2k / (k!)^2, the series of
J0).  It converges as l^-2k.  Lap^k A(u) comes from the Taylor series of
A = (s + 2) (s (s + 4))^(-1/2) about s = u^2, whose coefficients follow from a
three-term recurrence; the moments are exact (a beta function for the
limb-darkening law, sums over segments of polynomials for a table).

Independent validation (the script stops if any check fails):

* the ring closed form against the direct quadrature of its definition over
  the angle, at sample points including near-ring ones;
* the disk closed form (and its rim limit) against the direct quadrature of
  its definition, written as an integral over the distance x from the lens of
  A(x) times the length of the arc of radius x inside the disk (far from the
  star that arc is found from a cosine within (rho/u)^2 of 1, so the
  precision is raised by twice the digits of u/rho);
* A_LD, computed from rings (split at the singular radius r = l), against the
  same quantity computed from disks by parts:
  int I dM = I(1) M(1) - int I'(r) M(r) dr with M(r) = pi r^2 A_disk(l rho, r rho);
* a table's integral from rings against the same by parts, segment by segment:
  int_a^b P dM = P(b) M(b) - P(a) M(a) - P' int_a^b M dr, the jumps of P at
  the table's ends included;
* the mean-value series against the integral from rings at a sample of
  l >= 2.9 (3, 5, 10, 20, 1e4 for four rho); the wide tables store the series
  for l >= 2.9 and the integral below.

Run from anywhere:  python3 tests/data/make_magnification_reference.py
(about five minutes on two cores for the first four tables).  With
``--only limb_darkened_wide,table_wide`` (any of the table names) only those
tables are computed and the others are kept as the file has them;
``--processes N`` sets the size of the pool (default 2).
"""
import json
import math
import multiprocessing
import os
import random
import sys
import time

import mpmath as mp

DPS = 40            # base working precision, decimal digits
STORE_DIGITS = 30   # significant digits stored
VALIDATION_TOL = mp.mpf(10) ** -30   # closed form against quadrature, relative

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "magnification_reference.json")


# ---------------------------------------------------------------- closed forms

def write_json(path, data):
    """The reference file as every generator here writes it: compact, one value a line."""
    with open(path, "w") as fh:
        json.dump(data, fh, indent=0, separators=(",", ":"))
        fh.write("\n")


def point(x):
    """Point-lens magnification at distance x (Einstein radii) from the lens."""
    x = mp.mpf(x)
    return (x * x + 2) / (x * mp.sqrt(x * x + 4))


def _extra_digits(d, s):
    """Digits lost when 1 - n ~ (d/s)^2 is formed: twice -log10(|d|/s)."""
    if d == 0:
        raise ValueError("singular point")
    return max(0, int(2 * -mp.log10(abs(d) / abs(s)))) + 10


def _exact_product(x, y):
    """x * y without rounding (the product of two p-bit numbers has at most 2p bits)."""
    with mp.workprec(2 * mp.mp.prec + 10):
        return x * y


def ring(u, a):
    """Mean point-lens magnification over the ring of radius a centred at distance u."""
    u = mp.mpf(u)
    a = mp.mpf(a)
    if u == 0 or a == 0:
        return point(u + a)
    with mp.extraprec(int(3.33 * _extra_digits(u - a, u + a))):
        d = u - a
        s = u + a
        n = 4 * u * a / (s * s)
        m = 4 * n / (4 + d * d)
        val = (2 / mp.pi) * (2 * mp.ellipk(m) + d * d * mp.ellippi(n, m)) / (s * mp.sqrt(4 + d * d))
    return +val


def disk_rim(rho):
    rho = mp.mpf(rho)
    r2 = rho * rho
    return (2 / rho + (1 + r2) / r2 * (mp.pi / 2 + mp.asin((r2 - 1) / (r2 + 1)))) / mp.pi


def disk(u, rho):
    """Mean point-lens magnification over the uniform disk of radius rho centred at distance u."""
    u = mp.mpf(u)
    rho = mp.mpf(rho)
    if u == rho:
        return disk_rim(rho)
    # the three terms are of order (u + rho)^2 / rho^2 each and cancel to O(1)
    cancel = max(0, int(mp.log10(((u + rho) ** 2 + 4) / (rho * rho))))
    with mp.extraprec(int(3.33 * (_extra_digits(u - rho, u + rho) + cancel))):
        d = u - rho
        s = u + rho
        r2 = rho * rho
        t = mp.sqrt(4 + d * d)
        n = 4 * u * rho / (s * s)
        m = 4 * n / (t * t)
        if n == 0:
            E = K = P = mp.pi / 2
        else:
            E, K, P = mp.ellipe(m), mp.ellipk(m), mp.ellippi(n, m)
        val = (s * t * E / r2
               - d * (8 + u * u - r2) * K / (r2 * t)
               + 4 * d * d * (1 + r2) * P / (r2 * s * t)) / (2 * mp.pi)
    return +val


def profile(r):
    return 1 - mp.mpf("0.6") * (1 - mp.sqrt(1 - r * r))


def profile_flux():
    # 2 pi int_0^1 r (0.4 + 0.6 sqrt(1 - r^2)) dr = 2 pi (0.2 + 0.2) = 0.8 pi
    return mp.mpf("0.8") * mp.pi


def _breaks(l):
    """Split points on [0, 1] for an integrand singular (logarithmically, or with a kink) at r = l."""
    l = mp.mpf(l)
    pts = [mp.mpf(0), mp.mpf(1)]
    if 0 < l < 1:
        pts.append(l)
    # a singular point just outside [0, 1] (or close to its ends) gets a geometric
    # cluster of split points towards it
    for end in (mp.mpf(0), mp.mpf(1)):
        delta = abs(l - end)
        if 0 < delta < mp.mpf("0.05"):
            for k in range(0, 12):
                for p in (l - delta * 4 ** k, l + delta * 4 ** k):
                    if 0 < p < 1 and abs(p - l) > 0:
                        pts.append(p)
    return sorted(set(pts))


def limb_darkened_from_rings(l, rho):
    l = mp.mpf(l)
    rho = mp.mpf(rho)
    u = _exact_product(l, rho)

    def f(r):
        a = _exact_product(r, rho)
        if a == u:
            return mp.mpf(0)   # measure zero; the log singularity is integrable
        return profile(r) * 2 * mp.pi * r * ring(u, a)

    val, err = mp.quad(f, _breaks(l), error=True)
    return val / profile_flux(), err / profile_flux()


def limb_darkened_from_disks(l, rho):
    """Same quantity by parts: int_0^1 I dM = I(1) M(1) - int_0^1 I'(r) M(r) dr,
    M(r) = pi r^2 A_disk(l rho, r rho), I'(r) = -0.6 r / sqrt(1 - r^2); with r = sin(theta)."""
    l = mp.mpf(l)
    rho = mp.mpf(rho)
    u = _exact_product(l, rho)

    def M(r):
        return mp.pi * r * r * disk(u, _exact_product(r, rho))   # disk() takes the rim limit at u = r rho

    def g(th):
        r = mp.sin(th)
        return mp.mpf("0.6") * r * M(r)   # -I'(r) M(r) dr = 0.6 r M(r) dtheta

    pts = [mp.asin(p) for p in _breaks(l)]
    integral, err = mp.quad(g, pts, error=True)
    val = (profile(mp.mpf(1)) * M(mp.mpf(1)) + integral) / profile_flux()
    return val, err / profile_flux()


# ------------------------------------------------ wide grids: series and tables

SERIES_FROM = 2.9   # l from which the mean-value series is used (it converges as l^-2k)


def laplacians_of_point(u, kmax):
    """[Lap^k A(u) for k = 0..kmax], Lap = 4 d/ds (s d/ds) in s = u^2, A = (s + 2) (s (s + 4))^(-1/2).

    With t = s - s0, h = (P(t))^(-1/2), P = p0 + p1 t + t^2 = (s0 + t)(s0 + 4 + t),
    the Taylor coefficients of h follow from P h' = -(1/2) P' h:
      p0 (j + 1) h_{j+1} = -(j + 1/2) p1 h_j - j h_{j-1},
    and A = (s0 + 2 + t) h.  On a Taylor series c_j about s0, s d/ds gives
    s0 (j + 1) c_{j+1} + j c_j and 4 d/ds gives 4 (j + 1) c_{j+1}; each Laplacian
    uses up two coefficients.  Far from the lens A - 1 ~ 2/s^2, so the
    coefficients of A cancel by s0^2 against those of h: the precision is raised
    by 4 log10(u) digits, and by the digits that (k!)^2 4^k brings."""
    u = mp.mpf(u)
    n = 2 * kmax + 2
    extra = 4 * max(0, int(mp.log10(u)) + 1) + 2 * kmax + 20
    with mp.extraprec(int(3.33 * extra)):
        s0 = u * u
        p0, p1 = s0 * (s0 + 4), 2 * s0 + 4
        h = [1 / mp.sqrt(p0)]
        h.append(-p1 * h[0] / (2 * p0))
        for j in range(1, n):
            h.append((-(j + mp.mpf(1) / 2) * p1 * h[j] - j * h[j - 1]) / (p0 * (j + 1)))
        c = [(s0 + 2) * h[0]] + [(s0 + 2) * h[j] + h[j - 1] for j in range(1, n + 1)]
        laps = [c[0]]
        for k in range(kmax):
            v = [s0 * (j + 1) * c[j + 1] + j * c[j] for j in range(len(c) - 1)]
            c = [4 * (j + 1) * v[j + 1] for j in range(len(v) - 1)]
            laps.append(c[0])
    return [+x for x in laps]


def ld_moment(k):
    """<r^2k> over the linear law I = 0.4 + 0.6 sqrt(1 - r^2), weight 2 r dr:
    int_0^1 r^2k 2 r dr = 1/(k + 1), int_0^1 sqrt(1 - r^2) r^2k 2 r dr = B(k + 1, 3/2),
    and the flux (k = 0) is 0.8."""
    return (mp.mpf("0.4") / (k + 1) + mp.mpf("0.6") * mp.beta(k + 1, mp.mpf(3) / 2)) / mp.mpf("0.8")


def _segments(table):
    """The segments (x0, y0, x1, y1) of a table, as exact multiprecision numbers."""
    bl, bf = table
    return [(mp.mpf(bl[i]), mp.mpf(bf[i]), mp.mpf(bl[i + 1]), mp.mpf(bf[i + 1]))
            for i in range(len(bl) - 1)]


def table_raw_moment(table, k):
    """int P(r) r^2k 2 r dr over the table, P(r) = y0 + (y1 - y0) (r - x0)/(x1 - x0) on
    each segment: exact polynomial integrals (the differences x1^n - x0^n of a short
    segment cancel, hence the extra precision)."""
    with mp.extraprec(200):
        total = mp.mpf(0)
        for x0, y0, x1, y1 in _segments(table):
            m = (y1 - y0) / (x1 - x0)
            alpha = y0 - m * x0
            total += (2 * alpha * (x1 ** (2 * k + 2) - x0 ** (2 * k + 2)) / (2 * k + 2)
                      + 2 * m * (x1 ** (2 * k + 3) - x0 ** (2 * k + 3)) / (2 * k + 3))
    return +total


def series_terms(l):
    """Terms for a relative truncation below 10^-(DPS + 5): the k-th is of order l^-2k."""
    return int((DPS + 5) / (2 * math.log10(l))) + 8


def mean_value_series(l, rho, moment):
    """sum_k <r^2k> (rho/2)^2k Lap^k A(u) / (k!)^2 at u = l rho, moment(k) = <r^2k>;
    returns the sum and its last term (the size of the truncation)."""
    l = mp.mpf(l)
    rho = mp.mpf(rho)
    u = _exact_product(l, rho)
    kmax = series_terms(float(l))
    laps = laplacians_of_point(u, kmax)
    total = mp.mpf(0)
    term = mp.mpf(0)
    for k in range(kmax + 1):
        term = moment(k) * (rho / 2) ** (2 * k) * laps[k] / mp.factorial(k) ** 2
        total += term
    return total, term


def _split_points(l, knots, rho):
    """Split points on [0, 1] for the integrand P(r) 2 pi r A_ring(l rho, r rho) of a
    profile with kinks or jumps at `knots`: the knots, the singular radius r = l when
    it lies inside, geometric clusters towards l from the two split points around it
    when l lies within 0.05 of one (inside or just outside), and, for a star larger
    than the Einstein ring, clusters on the scale 2/rho at which A varies near r = l
    (A(x) is singular at x = +-2i)."""
    l = mp.mpf(l)
    rho = mp.mpf(rho)
    pts = {mp.mpf(0), mp.mpf(1)} | {mp.mpf(x) for x in knots if 0 < x < 1}
    if 0 < l < 1:
        pts.add(l)
    below = [p for p in pts if p < l]
    above = [p for p in pts if p > l]
    scales = []
    for p in ([max(below)] if below else []) + ([min(above)] if above else []):
        if abs(l - p) < mp.mpf("0.05"):
            scales.append((abs(l - p), 12))
    if rho > 1 and l < 1 + 2 / rho:
        scales.append((2 / rho, 8))
    for d, count in scales:
        for k in range(count):
            for p in (l - d * 4 ** k, l + d * 4 ** k):
                if 0 < p < 1 and p != l:
                    pts.add(p)
    return sorted(pts)


_GL_CACHE = {}


def _gauss_legendre(degree):
    """Nodes and weights on [-1, 1] of mpmath's Gauss-Legendre rule of 3 2^(degree-1) points."""
    key = (degree, mp.mp.prec)
    if key not in _GL_CACHE:
        from mpmath.calculus.quadrature import GaussLegendre
        _GL_CACHE[key] = GaussLegendre(mp.mp).calc_nodes(degree, mp.mp.prec + 20)
    return _GL_CACHE[key]


def _ellipse(x0, x1, z):
    """Bernstein ellipse parameter of the point z for the interval [x0, x1]: the n-point
    Gauss-Legendre rule errs by O(rho^-2n) for an integrand analytic inside the ellipse."""
    t = (2 * z - x0 - x1) / (x1 - x0)
    s = mp.sqrt(t * t - 1)
    return max(abs(t + s), abs(t - s))


GL_TARGET = 40   # digits aimed at by a Gauss-Legendre piece
WIDE_DPS = 34    # working precision of the wide tables (30 digits stored, 25 validated)


def integrate_piece(f, x0, x1, singular):
    """int_x0^x1 f: by Gauss-Legendre with enough points for the nearest of the complex
    points `singular` (where f is not analytic) to leave GL_TARGET digits, or by
    mpmath's tanh-sinh when one lies on or near the interval (rho < 2.5).
    Returns (value, error estimate); for Gauss-Legendre the estimate is the a-priori
    bound 10^-GL_TARGET times the largest |f| at the nodes times the length."""
    rho = min([_ellipse(x0, x1, z) for z in singular] + [mp.inf])
    if rho < mp.mpf("2.5"):
        return mp.quad(f, [x0, x1], error=True)
    need = GL_TARGET / (2 * mp.log10(rho))
    degree = 1
    while 3 * 2 ** (degree - 1) < need and degree < 6:
        degree += 1
    if 3 * 2 ** (degree - 1) < need:
        return mp.quad(f, [x0, x1], error=True)
    half, mid = (x1 - x0) / 2, (x1 + x0) / 2
    total, big = mp.mpf(0), mp.mpf(0)
    for x, wt in _gauss_legendre(degree):
        v = f(mid + half * x)
        total += wt * v
        big = max(big, abs(v))
    return total * half, big * (x1 - x0) * mp.mpf(10) ** -GL_TARGET


def _singular_points(l, rho):
    """Where A_ring(l rho, r rho), as a function of complex r, is not analytic: the ends
    of the range of |x|^2 over the ring reach 0 or -4 at r = +-l and r = +-l +- 2i/rho."""
    l = mp.mpf(l)
    rho = mp.mpf(rho)
    return [l, -l] + [s * l + t * 2j / rho for s in (1, -1) for t in (1, -1)]


def integrals_from_rings(l, rho, profiles):
    """[(int P A_ring 2 pi r dr, error estimate)] for each profile, a list of pieces
    (x0, x1, P, singular) with P analytic on [x0, x1] but at the complex points
    `singular`; the ring values are shared between profiles (every piece end is a
    split point, so the nodes coincide where the rules do)."""
    l = mp.mpf(l)
    rho = mp.mpf(rho)
    u = _exact_product(l, rho)
    memo = {}

    def w(r):
        v = memo.get(r)
        if v is None:
            a = _exact_product(r, rho)
            v = mp.mpf(0) if a == u else 2 * mp.pi * r * ring(u, a)   # r = l: measure zero
            memo[r] = v
        return v

    knots = sorted({x for pieces in profiles for x0, x1, P, sing in pieces for x in (x0, x1)})
    pts = _split_points(l, knots, rho)
    near = _singular_points(l, rho)
    out = []
    for pieces in profiles:
        total, err = mp.mpf(0), mp.mpf(0)
        for x0, x1, P, sing in pieces:
            sub = [p for p in pts if x0 <= p <= x1]
            for a, b in zip(sub, sub[1:]):
                v, e = integrate_piece(lambda r: P(r) * w(r), a, b, near + sing)
                total += v
                err += abs(e)
        out.append((total, err))
    return out


def _line(x0, y0, x1, y1):
    m = (y1 - y0) / (x1 - x0)
    return lambda r: y0 + m * (r - x0)


def table_pieces(table):
    return [(x0, x1, _line(x0, y0, x1, y1), []) for x0, y0, x1, y1 in _segments(table)]


LD_PIECES = [(mp.mpf(0), mp.mpf(1), profile, [mp.mpf(1), mp.mpf(-1)])]   # sqrt(1 - r^2)


def table_flux(table):
    return 2 * mp.pi * table_raw_moment(table, 0) / 2   # raw moments carry the weight 2 r


def table_from_disks(l, rho, table):
    """int_0^1 P dM by parts, M(r) = pi r^2 A_disk(l rho, r rho):
    on each segment P(b) M(b) - P(a) M(a) - P' int_a^b M dr (the jumps of P to 0 at
    the table's ends are the end terms of the first and last segments)."""
    l = mp.mpf(l)
    rho = mp.mpf(rho)
    u = _exact_product(l, rho)

    def M(r):
        if r == 0:
            return mp.mpf(0)
        return mp.pi * r * r * disk(u, _exact_product(r, rho))

    pts = _split_points(l, [x for x in table[0]], rho)
    near = _singular_points(l, rho)
    total, err = mp.mpf(0), mp.mpf(0)
    for x0, y0, x1, y1 in _segments(table):
        m = (y1 - y0) / (x1 - x0)
        sub = [p for p in pts if x0 <= p <= x1]
        for a, b in zip(sub, sub[1:]):
            v, e = integrate_piece(M, a, b, near)
            total -= m * v
            err += abs(m * e)
        total += y1 * M(x1) - y0 * M(x0)
    return total / table_flux(table), err / table_flux(table)


def _graded_table(n):
    """n radii graded towards the rim, r = sin(pi/2 (1 - (1 - s)^2)) for s evenly spaced
    on [0, 1] (ends exactly 0 and 1), with the linear law 1 - 0.6 (1 - mu) at
    mu = sqrt(1 - r^2); in binary64 as numpy makes it."""
    import numpy as np
    s = np.linspace(0.0, 1.0, n)
    r = np.sin(0.5 * np.pi * (1.0 - (1.0 - s) ** 2))
    r[0], r[-1] = 0.0, 1.0
    mu = np.sqrt(np.clip(1.0 - r * r, 0.0, None))
    return [float(x) for x in r], [float(x) for x in 1 - 0.6 * (1 - mu)]


def wide_tables():
    return {
        "uniform": ([0.0, 1.0], [1.0, 1.0]),
        "limb11": ([i / 10 for i in range(11)],
                   [1 - 0.6 * (1 - math.sqrt(1 - (i / 10) ** 2)) for i in range(11)]),
        "kinks": ([0.0, 0.3, 0.6, 0.85, 1.0], [1.0, 0.2, 0.9, 0.1, 0.6]),
        "inner": ([0.2, 0.5, 0.9], [0.5, 1.0, 0.3]),
        "graded101": _graded_table(101),
    }


WIDE_RHOS = [1e-6, 1e-4, 1e-3, 1e-2, 0.1, 1.0, 10.0, 100.0]
ZONE_EDGES = [1.1, 2.0, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0]


def wide_ls():
    inside = [0.0, 1e-3, 0.1, 0.3, 0.5, 0.7, 0.9, 0.99, 0.999, 1.0]
    rim = [1.001, 1.01, 1.05]
    edges = [y for x in ZONE_EDGES for y in (math.nextafter(x, 0.0), x, math.nextafter(x, math.inf))]
    spread = [1.3, 1.5, 2.5, 7.0, 12.0, 15.0, 20.0, 30.0, 50.0, 100.0, 300.0,
              1e3, 1e4, 1e5, 1e6, 1e7, 1e8]
    return sorted(set(inside + rim + edges + spread))


# The tables' separations below SERIES_FROM, where each is an integral over the
# table's segments (the series serves every l from SERIES_FROM on)
TABLE_NEAR = [0.0, 0.5, 0.9, 0.99, 0.999, 1.0, 1.001, 1.01, math.nextafter(1.1, 0.0), 1.1,
              math.nextafter(1.1, math.inf), 1.5, math.nextafter(2.0, 0.0), 2.0,
              math.nextafter(2.0, math.inf)]
GRADED_NEAR = [1e-3, 0.1, 0.3, 0.5, 0.7, 0.9, 0.99, 0.999, 1.0, 1.001, 1.01, math.nextafter(1.1, 0.0),
               math.nextafter(1.1, math.inf), 2.0]


def wide_unit(task):
    """One separation and star size: the built-in law and the tables from rings below
    SERIES_FROM (the tables at TABLE_NEAR and GRADED_NEAR), by the series from it
    on; with check = True also from rings where the series is stored (the 101-point
    table only when check == "all")."""
    with mp.workdps(WIDE_DPS):
        return _wide_unit(task)


def _wide_unit(task):
    l, rho, check = task
    tables = wide_tables()
    if l < SERIES_FROM:
        names = [n for n in tables if l in (GRADED_NEAR if n == "graded101" else TABLE_NEAR)]
    else:
        names = list(tables)
    out = {"l": l, "rho": rho}
    if l < SERIES_FROM or check:
        (v, e), = integrals_from_rings(l, rho, [LD_PIECES])
        out["ld" if l < SERIES_FROM else "ld_rings"] = (v / profile_flux(), e / profile_flux())

    def from_rings(group):
        # the tables of a group share their ring values; the 101-point table goes alone
        for part in ([n for n in group if n != "graded101"], [n for n in group if n == "graded101"]):
            if part:
                res = integrals_from_rings(l, rho, [table_pieces(tables[n]) for n in part])
                for n, (v, e) in zip(part, res):
                    yield n, (v / table_flux(tables[n]), e / table_flux(tables[n]))

    if l < SERIES_FROM:
        out.update(from_rings(names))
        return out
    out["ld"] = mean_value_series(l, rho, ld_moment)
    for n in names:
        raw0 = table_raw_moment(tables[n], 0)
        out[n] = mean_value_series(l, rho, lambda k, t=tables[n]: table_raw_moment(t, k) / raw0)
    if check:
        out["rings"] = dict(from_rings([n for n in names if n != "graded101" or check == "all"]))
    return out


def wide_disk_check(task):
    """The built-in law and the tables by parts from disks, for comparison with rings."""
    with mp.workdps(WIDE_DPS):
        return _wide_disk_check(task)


def _wide_disk_check(task):
    l, rho, graded = task
    tables = wide_tables()
    out = {"l": l, "rho": rho, "ld": limb_darkened_from_disks(l, rho)}
    for n in tables:
        if n != "graded101" or graded:
            out[n] = table_from_disks(l, rho, tables[n])
    return out


def wide_tasks():
    ls = wide_ls()
    checks = {(l, rho): True for l in (3.0, 5.0, 10.0, 20.0, 1e4) for rho in (1e-4, 1e-2, 1.0, 100.0)}
    checks.update({(l, rho): "all" for l in (3.0,) for rho in (1e-2, 100.0)})
    tasks = [(l, rho, checks.get((l, rho), False)) for rho in WIDE_RHOS for l in ls]
    # the costly ones first, so that the pool ends together
    tasks.sort(key=lambda t: (t[0] >= SERIES_FROM, t[0] not in GRADED_NEAR))
    disk_tasks = [(0.0, 1e-6, False), (0.5, 1e-2, True), (1.001, 1.0, False), (1.1, 100.0, False),
                  (0.99, 10.0, False), (2.0, 1e-4, False)]
    return tasks, disk_tasks


WIDE_TOL = mp.mpf(10) ** -25   # independent routes to the wide tables, relative


def wide_tables_data(pool):
    """Compute, validate and format limb_darkened_wide and table_wide."""
    tasks, disk_tasks = wide_tasks()
    results = pool.map(wide_unit, tasks, chunksize=1)
    disks = pool.map(wide_disk_check, disk_tasks, chunksize=1)
    by_key = {(r["l"], r["rho"]): r for r in results}
    worst = {}

    def note(kind, err, where):
        if kind not in worst or err > worst[kind][0]:
            worst[kind] = (err, where)

    tables = wide_tables()
    for r in results:
        where = (r["l"], r["rho"])
        for name in ["ld"] + list(tables):
            if name in r:
                v, e = r[name]
                note("truncation or error estimate", abs(e) / abs(v), (name,) + where)
        if "ld_rings" in r:
            note("limb-darkening law: series against rings",
                 abs(r["ld_rings"][0] - r["ld"][0]) / abs(r["ld"][0]), where)
        for name, (v, e) in r.get("rings", {}).items():
            note("tables: series against rings", abs(r[name][0] - v) / abs(v), (name,) + where)
    for d in disks:
        where = (d["l"], d["rho"])
        r = by_key[where]
        for name in ["ld"] + list(tables):
            if name in d:
                note("rings against disks by parts", abs(d[name][0] - r[name][0]) / abs(r[name][0]),
                     (name,) + where)
                note("truncation or error estimate", abs(d[name][1]) / abs(r[name][0]), (name,) + where)
    for kind, (err, where) in worst.items():
        print(f"validation of the wide tables, {kind}: worst relative {mp.nstr(err, 3)} at {where}",
              flush=True)
        if not err < WIDE_TOL:
            sys.exit(f"validation of the wide tables failed ({kind}) at {where}: {err}")

    order = sorted(by_key, key=lambda k: (k[1], k[0]))
    ld_rows = [[l, rho, fmt(by_key[(l, rho)]["ld"][0])] for l, rho in order]
    table_rows = [[name, l, rho, fmt(by_key[(l, rho)][name][0])]
                  for name in tables for l, rho in order if name in by_key[(l, rho)]]
    return {
        "limb_darkened_wide": {
            "note": ("re = 1, rstar = rho; I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), normalised by its "
                     "exact flux 0.8 pi"),
            "columns": ["l", "rho", "value"],
            "rows": ld_rows,
        },
        "table_wide": {
            "note": ("re = 1, rstar = rho; the profile is the table's piecewise-linear "
                     "interpolant, 0 outside its first and last radius, normalised by its exact "
                     f"flux; from the mean-value series for l >= {SERIES_FROM}"),
            "tables": {name: {"bl": bl, "bf": bf} for name, (bl, bf) in tables.items()},
            "columns": ["table", "l", "rho", "value"],
            "rows": table_rows,
        },
    }


# -------------------------------------------------- direct quadrature of definitions

def ring_direct(u, a):
    """(1/pi) int_0^pi A(x) dphi, x^2 = (u - a)^2 + 4ua sin^2(phi/2)."""
    u = mp.mpf(u)
    a = mp.mpf(a)
    d2 = (u - a) ** 2

    def f(phi):
        return point(mp.sqrt(d2 + 4 * u * a * mp.sin(phi / 2) ** 2))

    pts = [mp.mpf(0)]
    if u * a > 0:
        w = abs(u - a) / mp.sqrt(u * a)   # angular width of the peak at phi = 0
        while w < 1:
            pts.append(w)
            w *= 4
    pts.append(mp.pi)
    return mp.quad(f, pts) / mp.pi


def disk_direct(u, rho):
    """(1/(pi rho^2)) int A(x) L(x) dx, L(x) the length of the arc of radius x (about the lens) inside the disk."""
    u = mp.mpf(u)
    rho = mp.mpf(rho)
    inner = abs(u - rho)

    def theta(x):
        if x <= rho - u:
            return mp.pi
        c = (x * x + u * u - rho * rho) / (2 * x * u)
        return mp.acos(max(-1, min(1, c)))

    def f(x):
        return point(x) * 2 * x * theta(x)

    pts = [mp.mpf(0)]
    if u == 0:
        pts.append(rho)
    else:
        if inner > 0:
            pts.append(inner)
        w = max(inner, rho * mp.mpf(10) ** -12) * 4
        while w < u + rho:
            pts.append(w)
            w *= 4
        pts.append(u + rho)
    pts = sorted(set(pts))
    return mp.quad(f, pts) / (mp.pi * rho * rho)


# ------------------------------------------------------------------------- grids

def ring_grid():
    rows = []
    qs = [1e-2, 0.1, 1.0, 10.0, 100.0]
    # general positions (l, r) away from the ring line, r = 0 and l = 0
    ls = [0.0, 1e-4, 0.01, 0.1, 0.5, 0.9, 1.0, 1.5, 2.0, 5.0, 20.0, 100.0, 3000.0]
    rs = [0.0, 1e-3, 0.1, 0.3, 0.5, 0.99, 1.0]
    for q in qs:
        for l in ls:
            for r in rs:
                if l == r:
                    continue
                rows.append(("general", l, r, q, 1.0))
    # near the ring line, r = l (1 + e), on both sides of the expansion window 1e-5
    offsets = [1e-3, 1e-4, 3e-5, 1.5e-5, 1.0001e-5, 0.9999e-5, 7e-6, 3e-6, 1e-6, 1e-7, 1e-8, 1e-9]
    for q in qs:
        for l in [1e-4, 1e-3, 1e-2, 0.1, 0.5, 1.0, 2.0, 10.0, 100.0, 3000.0]:
            for e in offsets:
                for sgn in (1, -1):
                    r = l * (1 + sgn * e)
                    rows.append(("near", l, r, q, 1.0))
    return rows


def disk_grid():
    rows = []
    ls = [0.0, 1e-8, 1e-6, 1e-4, 1e-3, 1e-2, 0.05, 0.1, 0.2, 0.3, 0.5, 0.7, 0.9, 0.95, 0.98,
          1.02, 1.05, 1.1, 1.2, 1.5, 2.0, 3.0, 5.0, 7.0, 10.0, 15.0, 20.0]
    rim = [1e-2, 3e-3, 1e-3, 3e-4, 1e-4, 3e-5, 1.5e-5, 1.0001e-5, 0.9999e-5, 5e-6, 1e-6, 1e-7, 1e-8]
    for rho in [1e-3, 1e-2, 0.1, 1.0, 10.0]:
        for l in ls:
            rows.append(("general", l, rho))
        rows.append(("rim", 1.0, rho))
        for e in rim:
            rows.append(("rim", 1.0 + e, rho))
            rows.append(("rim", 1.0 - e, rho))
    # two sources of intermediate size: (u, rho) = (0.8, 0.5) and (0.6, 0.2)
    rows += [("general", 1.6, 0.5), ("general", 3.0, 0.2)]
    return rows


def disk_far_grid():
    """A lens far from the star: l in [1.1, 1e8], rho in [1e-6, 1e2], u = l rho <= 1e4."""
    rows = []
    ls = [1.1, 2.0, 10.0, 30.0, 45.0, 49.9, 50.0, 50.000001, 50.1, 51.0, 60.0, 75.0, 100.0,
          300.0, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8]
    for rho in [1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 0.1, 1.0, 10.0, 100.0]:
        rows += [("far", l, rho) for l in ls if l * rho <= 1e4]
    # log-uniform in rho and in l, six significant digits
    rnd = random.Random(20240611)
    for _ in range(150):
        rho = float(f"{10 ** rnd.uniform(-6, 2):.6g}")
        l_max = min(1e8, 1e4 / rho)
        l = float(f"{10 ** rnd.uniform(math.log10(1.1), math.log10(l_max)):.6g}")
        if l * rho <= 1e4:
            rows.append(("far", l, rho))
    return rows


def ld_grid():
    ls = [0.0, 1e-3, 0.1, 0.3, 0.5, 0.7, 0.9, 0.99, 0.999, 1.0, 1.001, 1.01, 1.05, 1.1,
          1.2, 1.5, 2.0, 3.0, 5.0, 10.0, 20.0]
    return [(l, rho) for rho in [1e-3, 1e-2, 0.1, 1.0] for l in ls]


# ------------------------------------------------------------------------- work

def _init():
    mp.mp.dps = DPS


def ring_row(row):
    kind, l, r, re, rstar = row
    # Einstein radius in stellar radii, as the module forms it; rstar = 1 makes it exact
    with mp.extraprec(60):
        q = mp.mpf(re) / mp.mpf(rstar)
        u, a = mp.mpf(l) / q, mp.mpf(r) / q
    return ring(u, a)


def disk_row(row):
    kind, l, rho = row
    rho_ = mp.mpf(rho)          # re = 1, rstar = rho
    return disk(_exact_product(mp.mpf(l), rho_), rho_)


def ld_row(row):
    l, rho = row
    v, e = limb_darkened_from_rings(l, rho)
    return v, e


def check_ring(row):
    kind, l, r, re, rstar = row
    with mp.extraprec(60):
        q = mp.mpf(re) / mp.mpf(rstar)
        u, a = mp.mpf(l) / q, mp.mpf(r) / q
    c = ring(u, a)
    d = ring_direct(u, a)
    return row, abs(c - d) / abs(d)


def check_disk(row):
    kind, l, rho = row
    rho_ = mp.mpf(rho)
    u = _exact_product(mp.mpf(l), rho_)
    c = disk(u, rho_)
    with mp.extraprec(int(3.33 * 2 * max(0, mp.log10(abs(u) / rho_)))):
        d = disk_direct(u, rho_)
    return row, abs(c - d) / abs(d)


def check_ld(row):
    l, rho = row
    a, ea = limb_darkened_from_rings(l, rho)
    b, eb = limb_darkened_from_disks(l, rho)
    return row, abs(a - b) / abs(a)


def fmt(x):
    return mp.nstr(x, STORE_DIGITS)


def main():
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", default="",
                        help="comma-separated table names to compute; the others are kept from the file")
    parser.add_argument("--processes", type=int, default=2)
    args = parser.parse_args()
    names = ["ring", "disk", "disk_far", "limb_darkened", "limb_darkened_wide", "table_wide"]
    only = [n for n in args.only.split(",") if n] or names
    unknown = set(only) - set(names)
    if unknown:
        sys.exit(f"unknown tables: {sorted(unknown)}")
    t0 = time.time()
    _init()
    if set(only) & set(names[:4]):
        if not set(names[:4]) <= set(only):
            sys.exit("ring, disk, disk_far and limb_darkened are computed together")
    data = {}
    if os.path.exists(OUT) and set(only) != set(names):
        with open(OUT) as fh:
            data = json.load(fh)
    with multiprocessing.Pool(args.processes, initializer=_init) as pool:
        if "ring" in only:
            data.update(classic_tables_data(pool))
        if "limb_darkened_wide" in only or "table_wide" in only:
            wide = wide_tables_data(pool)
            data.update({k: v for k, v in wide.items() if k in only})
    data = {k: data[k] for k in ["about"] + names if k in data}
    write_json(OUT, data)
    print(f"wrote {OUT}: " + ", ".join(f"{len(data[k]['rows'])} {k}" for k in names if k in data)
          + f" values in {time.time() - t0:.0f} s")


def classic_tables_data(pool):
    """Compute, validate and format ring, disk, disk_far and limb_darkened."""
    rings, disks, lds, fars = ring_grid(), disk_grid(), ld_grid(), disk_far_grid()
    # validation of the closed forms against the definitions
    ring_samples = [row for i, row in enumerate(rings) if i % 23 == 0]
    ring_samples += [("near", l, l * (1 + s * e), q, 1.0)
                     for (l, q) in [(0.5, 1.0), (3000.0, 0.01), (1e-4, 100.0)]
                     for e in (1e-5, 1e-9) for s in (1, -1)]
    disk_samples = [row for i, row in enumerate(disks) if i % 7 == 0]
    disk_samples += [("rim", 1.0, rho) for rho in (1e-3, 1.0, 10.0)]
    disk_samples += [("rim", 1.0 + s * 1e-8, rho) for rho in (1e-2, 1.0) for s in (1, -1)]
    disk_samples += [row for i, row in enumerate(fars) if i % 5 == 0]
    ld_samples = [(l, rho) for (l, rho) in lds
                  if l in (0.0, 0.5, 0.999, 1.0, 1.01, 1.1, 5.0) and rho in (1e-2, 1.0)]
    worst = {}
    for name, fn, samples in (("ring", check_ring, ring_samples),
                              ("disk", check_disk, disk_samples),
                              ("limb_darkened", check_ld, ld_samples)):
        res = pool.map(fn, samples)
        row, err = max(res, key=lambda t: t[1])
        worst[name] = (row, err)
        print(f"validation {name}: {len(samples)} points, worst relative difference "
              f"{mp.nstr(err, 3)} at {row}", flush=True)
        if not err < VALIDATION_TOL:
            sys.exit(f"validation of {name} failed at {row}: {err}")
    ring_vals = pool.map(ring_row, rings, chunksize=20)
    disk_vals = pool.map(disk_row, disks, chunksize=10)
    far_vals = pool.map(disk_row, fars, chunksize=10)
    ld_vals = pool.map(ld_row, lds, chunksize=1)
    for (l, rho), (v, e) in zip(lds, ld_vals):
        if not abs(e) < abs(v) * VALIDATION_TOL:
            sys.exit(f"limb-darkened quadrature error estimate too large at l={l}, rho={rho}: {e}")

    return {
        "about": ("Point-lens magnifications of extended sources, computed with mpmath at "
                  f"{DPS}+ digits by make_magnification_reference.py; values carry "
                  f"{STORE_DIGITS} significant digits. l, r in stellar radii; "
                  "rho = rstar / re."),
        "ring": {
            "columns": ["kind", "l", "r", "re", "rstar", "value"],
            "rows": [[k, l, r, re, rs, fmt(v)] for (k, l, r, re, rs), v in zip(rings, ring_vals)],
        },
        "disk": {
            "note": "re = 1, rstar = rho",
            "columns": ["kind", "l", "rho", "value"],
            "rows": [[k, l, rho, fmt(v)] for (k, l, rho), v in zip(disks, disk_vals)],
        },
        "disk_far": {
            "note": "re = 1, rstar = rho",
            "columns": ["l", "rho", "value"],
            "rows": [[l, rho, fmt(v)] for (k, l, rho), v in zip(fars, far_vals)],
        },
        "limb_darkened": {
            "note": "re = 1, rstar = rho; I(r) = 1 - 0.6 (1 - sqrt(1 - r^2))",
            "columns": ["l", "rho", "value"],
            "rows": [[l, rho, fmt(v)] for (l, rho), (v, e) in zip(lds, ld_vals)],
        },
    }


if __name__ == "__main__":
    main()
