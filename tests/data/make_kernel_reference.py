"""Reference values for the elliptic-integral kernels, computed with mpmath.

Writes kernel_reference.json beside this file.  Every value is computed from
the double-precision arguments taken exactly, at 60 significant digits or more
(see "Reference evaluation" below), confirmed to 25 digits by a second,
independent evaluation, and stored as a 30-digit decimal string, so a test can
measure the error of a 64-bit result in units in the last place (ulps).

Each kernel gets a list of points {"tag", "args", "ref"} and, where the
closed form or combination that a double-precision evaluation must use is
ill-conditioned, "cond": the sum of the magnitudes of the terms divided by the
magnitude of the result (the factor by which rounding errors of the terms are
amplified).  Tags name the regime of the point: the degenerate argument
patterns of DLMF 19.20, the arithmetic-geometric-mean cases (DLMF 19.22), the
duplication regime (DLMF 19.26.18), the principal values (DLMF 19.20.14 and
19.2.20) and the extremes of magnitude.

K(m) and E(m) are evaluated in double precision by fixed polynomial-logarithmic
approximations in 1 - m (Hastings' form, the coefficients tabulated by Cody,
Math. Comp. 19 (1965) 105-112).  Their points also carry "approx": the
approximation itself evaluated exactly at 50 digits, so the tests can tell the
approximation error (a property of the formula) from the rounding error of
its evaluation.

mpmath conventions checked here:
- ellipk(m), ellipe(m), ellippi(n, m) take the parameter m = k^2 (checked
  against the integrals over t = tan(theta));
- elliprc(x, y, pv=True) returns the Cauchy principal value for y < 0 as its
  real part (checked against the closed form of DLMF 19.2.20);
- elliprj(x, y, z, p) with p < 0 returns a complex number whose real part is
  the principal value (the mean of the limits from either side of the cut),
  but it is slow there (tens of seconds when an argument is 0).  The principal
  values are therefore computed by quadrature of
  3/2 PV int_0^inf dt / ((t + p) sqrt((t+x)(t+y)(t+z))) with the pole
  subtracted, checked against DLMF 19.20.14 on every point and against
  mpmath's elliprj on the first forty quick ones; the script stops at any
  disagreement.

Limits of the kernels' formulas that bound the magnitudes used here:
R_J's (p-x)(p-y)(p-z) over- or underflows beyond about 1e+-100 and its
duplication needs about log4(p / max(x, y, z)) of its 100 steps; R_D's
one-zero form divides by z (y - z), which under- or overflows beyond about
1e+-154; R_F's 11 duplication steps end only while the arguments span less
than about 245 decades.

Runs in about five minutes.
Usage: python tests/data/make_kernel_reference.py
"""
import functools
import json
import math
import os
import random
import sys

import mpmath
from mpmath import mp, mpf

mp.dps = 50

EPS = 2.0 ** -52

# Cody's coefficients as stored in double precision, highest power first.
K_P = [0.00013798286460627325, 0.002280257240058756, 0.007974040132204152, 0.00985821379021226,
       0.006874896874499499, 0.006189010336376876, 0.008790782739527438, 0.014938044891680526,
       0.0308851465246712, 0.09657359028116902, 1.3862943611198906]
K_Q = [2.940789550485985e-05, 0.0009141847238659173, 0.005940583037531678, 0.01548505166497624,
       0.023908960271592488, 0.030120471522760404, 0.037377431417382326, 0.04882803475709983,
       0.07031249969639575, 0.12499999999987083, 0.5]
E_P = [0.0001535525773010133, 0.0025088849216360204, 0.008687868165658896, 0.010735094905607619,
       0.007773954925167871, 0.007583952894135147, 0.011568843681057412, 0.021831799601555724,
       0.05680519456178606, 0.44314718056099084, 1.0]
E_Q = [3.2795489857648585e-05, 0.0010096279267935672, 0.006506094899769275, 0.016886216399331133,
       0.026176974245449364, 0.03348339048882249, 0.04271809265189315, 0.0585936634471101,
       0.09374999971976443, 0.2499999999998883]
LN_4 = 1.3862943611198906  # ln 4 rounded to double, the constant of K's logarithmic tail


def s(v):
    """A 30-significant-digit decimal string of a real mpf."""
    return mpmath.nstr(v, 30, min_fixed=1, max_fixed=0) if v != 0 else "0"


def horner(coefficients, x):
    acc = mpf(coefficients[0])
    for c in coefficients[1:]:
        acc = acc * x + mpf(c)
    return acc


def approx_k(m):
    """Cody's approximation for K evaluated exactly; also |P| + |ln(x) Q|."""
    x = 1 - mpf(m)
    if x < EPS:
        terms = (mpf(LN_4), -mpf(0.5) * mpmath.log(x))
    else:
        terms = (horner(K_P, x), -mpmath.log(x) * horner(K_Q, x))
    value = terms[0] + terms[1]
    return value, (abs(terms[0]) + abs(terms[1])) / abs(value)


def approx_e(m):
    """Cody's approximation for E, through E(m) = sqrt(1-m) E(m/(m-1)) for m < 0."""
    m = mpf(m)
    f = mpf(1)
    if m < 0:
        f = mpmath.sqrt(1 - m)
        m = m / (m - 1)
    x = 1 - m
    return f * (horner(E_P, x) - x * mpmath.log(x) * horner(E_Q, x))


# ---------------------------------------------------------------------------
# Reference evaluation.
#
# mpmath's Carlson routines lose digits when the arguments spread over many
# decades (at 50 digits, mpmath.elliprj(1, 2, 3, 1e-300) is wrong in the first
# digit), so each value is computed with the arguments scaled to a largest
# magnitude of 1 (R_F and R_C are homogeneous of degree -1/2, R_D and R_J of
# degree -3/2) at 60 digits plus the number of decades spanned by the
# arguments, and then checked to 25 digits against an independent evaluation:
# the defining integral by tanh-sinh quadrature in the variable u = ln t,
# split at the logarithm of every argument, or a closed form.  A disagreement
# stops the script.

CHECK_DIGITS = 25


def decades(*values):
    """Decades between the largest and smallest non-zero magnitude."""
    mags = [abs(mpf(v)) for v in values if v != 0]
    return int(mpmath.log10(max(mags) / min(mags))) + 1 if mags else 0


def quad_log(h, lo, hi, breaks):
    """int_lo^hi h(t) dt (0 <= lo < hi <= inf) in the variable u = ln t."""
    # Each break is a kink of the integrand in u, which falls off exponentially
    # on either side: subdivide around it so that every piece is smooth.
    logs = [mpmath.log(b) for b in breaks if b > 0]
    inner = sorted({v + d for v in logs for d in (-20, -6, -2, 0, 2, 6, 20)
                    if lo < mpmath.exp(v + d) < hi})
    a = mpmath.log(lo) if lo > 0 else None
    b = mpmath.log(hi) if hi < mpmath.inf else None
    first = inner[0] if inner else (a if a is not None else b)
    last = inner[-1] if inner else (b if b is not None else a)
    pts = ([a] if a is not None else [-mpmath.inf, first - 40]) + inner + \
          ([b] if b is not None else [last + 40, mpmath.inf])
    pts = [pts[0]] + [v for prev, v in zip(pts, pts[1:]) if v > prev]
    g = lambda u: h(mpmath.exp(u)) * mpmath.exp(u)
    # mpmath.quad stops on an absolute error estimate: scale the integrand to a
    # peak of order 1 so that tiny integrals keep their relative accuracy.
    peak = max(abs(g(v)) for v in pts if mpmath.isfinite(v))
    if peak == 0:  # a difference quotient that vanished to working precision
        return mpf(0)
    return mpmath.quad(lambda u: g(u) / peak, pts) * peak


def agree(kernel, args, value, check):
    tol = mpf(10) ** -CHECK_DIGITS
    if abs(value - check) > tol * abs(check) and not (value == 0 and check == 0):
        sys.exit(f"{kernel}{tuple(args)}: mpmath gives {value}, the check gives {check}")


def carlson_integral(x, y, z, p=None, weight=mpf(1) / 2):
    """weight * int_0^inf dt / ((t + p) sqrt((t+x)(t+y)(t+z))) (no (t + p) if p is None),
    DLMF 19.16.1, 19.16.2 and 19.16.5."""
    if p is None:
        h = lambda t: 1 / mpmath.sqrt((t + x) * (t + y) * (t + z))
        breaks = (x, y, z)
    else:
        h = lambda t: 1 / ((t + p) * mpmath.sqrt((t + x) * (t + y) * (t + z)))
        breaks = (x, y, z, p)
    with mp.workdps(CHECK_DIGITS + 10):
        return weight * quad_log(h, 0, mpmath.inf, breaks)


def rj_pv_integral(x, y, z, p, digits=CHECK_DIGITS + 10):
    """3/2 PV int_0^inf dt / ((t - q) sqrt((t+x)(t+y)(t+z))), q = -p > 0.

    The pole at t = q is removed by subtracting f(q) on [0, 2q], where the
    principal value of int dt / (t - q) vanishes by symmetry."""
    q = -p
    f = lambda t: 1 / mpmath.sqrt((t + x) * (t + y) * (t + z))
    with mp.workdps(digits):
        fq = f(q)
        sub = lambda t: (f(t) - fq) / (t - q)
        near = (quad_log(sub, 0, q / 2, (x, y, z)) +
                mpmath.quad(sub, [q / 2, q, 3 * q / 2, 2 * q]))
        far = quad_log(lambda t: f(t) / (t - q), 2 * q, mpmath.inf, (x, y, z))
        return mpf(1.5) * (near + far)


def scaled(args, degree, compute):
    """compute(*normalised args) * scale^degree, at 60 digits plus the decades spanned."""
    scale = max(abs(mpf(a)) for a in args)
    with mp.workdps(60 + decades(*args)):
        value = compute(*(mpf(a) / scale for a in args))
        return value * scale ** degree


def rf_ref(x, y, z):
    def compute(x, y, z):
        value = mpmath.elliprf(x, y, z)
        agree("elliprf", (x, y, z), value, carlson_integral(x, y, z))
        return value
    return scaled((x, y, z), mpf(-0.5), compute)


def rd_ref(x, y, z):
    def compute(x, y, z):
        value = mpmath.elliprd(x, y, z)
        agree("elliprd", (x, y, z), value, carlson_integral(x, y, z, z, mpf(3) / 2))
        return value
    return scaled((x, y, z), mpf(-1.5), compute)


def rj_ref(x, y, z, p):
    """R_J; for p < 0 the Cauchy principal value."""
    if p < 0:
        return rj_pv_ref(x, y, z, p)

    def compute(x, y, z, p):
        v = mpmath.elliprj(x, y, z, p)
        assert abs(mpmath.im(v)) <= abs(v) * mpf(10) ** -45, (x, y, z, p, v)
        value = mpmath.re(v)
        agree("elliprj", (x, y, z, p), value, carlson_integral(x, y, z, p, mpf(3) / 2))
        return value
    return scaled((x, y, z, p), mpf(-1.5), compute)


def rj_pv_dlmf(x, y, z, p):
    """The principal value by DLMF 19.20.14, with x <= y <= z:
    (z - p) R_J(x,y,z,p) = (p1 - z) R_J(x,y,z,p1) - 3 R_F + 3 sqrt(xyz / (xy + w)) R_C(xy + w, w),
    p1 = ((x + y - p) z - xy) / (z - p) > 0, w = -p p1.  Returns the value and
    the condition of the combination (sum of |terms| over |sum|), which bounds
    how far rounding errors of the terms are amplified."""
    x, y, z = sorted(mpf(v) for v in (x, y, z))
    p = mpf(p)
    p1 = ((x + y - p) * z - x * y) / (z - p)
    w = -p * p1
    terms = ((p1 - z) * rj_ref(x, y, z, p1), -3 * rf_ref(x, y, z),
             3 * mpmath.sqrt(x * y * z / (x * y + w)) * rc_ref(x * y + w, w))
    total = sum(terms)
    return total / (z - p), sum(abs(t) for t in terms) / abs(total)


# mpmath's elliprj is slow for p < 0 (tens of seconds when an argument is 0);
# its real part, the mean of the limits on either side of the cut, is compared
# with the quadrature only where it is quick.
MPMATH_PV_CHECKS = 40


def rj_pv_ref(x, y, z, p):
    """The principal value by the quadrature of rj_pv_integral at 45 digits,
    checked against DLMF 19.20.14 and, for the first points with all arguments
    non-zero and within three decades, against mpmath's elliprj."""
    global MPMATH_PV_CHECKS
    scale = max(abs(mpf(a)) for a in (x, y, z, p))
    with mp.workdps(45):
        normalised = [mpf(a) / scale for a in (x, y, z, p)]
        unit_value = rj_pv_integral(*normalised, digits=45)
        if MPMATH_PV_CHECKS > 0 and 0 not in (x, y, z) and decades(x, y, z, p) <= 3:
            MPMATH_PV_CHECKS -= 1
            agree("elliprj", normalised, unit_value, mpmath.re(mpmath.elliprj(*normalised)))
    with mp.workdps(60 + decades(x, y, z, p)):
        value = unit_value * scale ** mpf(-1.5)
        agree("elliprj", (x, y, z, p), value, rj_pv_dlmf(x, y, z, p)[0])
    return value


def rc_ref(x, y):
    """R_C; for y < 0 the Cauchy principal value, the real part of mpmath's value
    with pv=True (pure imaginary for x = 0).  Checked against the closed forms
    of DLMF 19.2.18 to 19.2.20 in the forms free of cancellation."""
    def compute(x, y):
        value = mpmath.re(mpmath.elliprc(x, y, pv=True))
        with mp.workdps(CHECK_DIGITS + 10):
            if y < 0:
                check = mpmath.asinh(mpmath.sqrt(x / -y)) / mpmath.sqrt(x - y)
            elif x < y:
                check = mpmath.atan(mpmath.sqrt((y - x) / x)) / mpmath.sqrt(y - x) if x > 0 \
                    else mpmath.pi / (2 * mpmath.sqrt(y))
            elif x > y:
                check = mpmath.atanh(mpmath.sqrt((x - y) / x)) / mpmath.sqrt(x - y)
            else:
                check = 1 / mpmath.sqrt(x)
        agree("elliprc", (x, y), value, check)
        return value
    return scaled((x, y), mpf(-0.5), compute)


def legendre_integral(n, m, kind):
    """K, E or Pi by the substitution t = tan(theta) of DLMF 19.2.4-19.2.7:
    K = int_0^inf dt / sqrt((1 + t^2)(1 + (1-m) t^2)),
    E = int_0^inf sqrt(1 + (1-m) t^2) / (1 + t^2)^(3/2) dt,
    Pi = int_0^inf sqrt(1 + t^2) / ((1 + (1-n) t^2) sqrt(1 + (1-m) t^2)) dt."""
    # The integrands are positive: no digits cancel, whatever the magnitudes.
    with mp.workdps(CHECK_DIGITS + 10):
        n, m = mpf(n), mpf(m)
        a, c = 1 - m, 1 - n
        if kind == "k":
            h = lambda t: 1 / mpmath.sqrt((1 + t * t) * (1 + a * t * t))
        elif kind == "e":
            h = lambda t: mpmath.sqrt(1 + a * t * t) / (1 + t * t) ** mpf(1.5)
        else:
            h = lambda t: mpmath.sqrt(1 + t * t) / ((1 + c * t * t) * mpmath.sqrt(1 + a * t * t))
        return quad_log(h, 0, mpmath.inf, (mpf(1), 1 / mpmath.sqrt(a), 1 / mpmath.sqrt(c)))


@functools.lru_cache(maxsize=None)
def legendre_ref(kind, n, m):
    with mp.workdps(60 + decades(n, m, 1 - mpf(m), 1 - mpf(n))):
        if kind == "k":
            value = mpmath.ellipk(m)
        elif kind == "e":
            value = mpmath.ellipe(m)
        else:
            value = mpmath.re(mpmath.ellippi(n, m))
        agree("ellip" + kind, (n, m) if kind == "pi" else (m,), value, legendre_integral(n, m, kind))
        return +value


# ---------------------------------------------------------------------------

rng = random.Random(20240518)


def loguniform(lo, hi):
    return 10.0 ** rng.uniform(lo, hi)


def nextup(v, k=1):
    for _ in range(k):
        v = math.nextafter(v, math.inf)
    return v


def nextdown(v, k=1):
    for _ in range(k):
        v = math.nextafter(v, -math.inf)
    return v


points = {name: [] for name in
          ("elliprf", "elliprd", "elliprj", "elliprc", "ellipk", "ellipe", "ellippi")}


def add(kernel, tag, args, ref, **extra):
    entry = {"tag": tag, "args": [float(a) for a in args], "ref": s(ref)}
    for key, value in extra.items():
        entry[key] = float(value) if key == "cond" else s(value)
    points[kernel].append(entry)


MAGNITUDES = [-300, -250, -200, -150, -100, -50, -20, -5, 5, 20, 50, 100, 150, 200, 250, 300]


# --- R_C ----------------------------------------------------------------------

def rc(tag, x, y):
    add("elliprc", tag, (x, y), rc_ref(x, y))


for k in MAGNITUDES + [0]:
    v = 10.0 ** k
    rc("x_zero", 0.0, v)
    rc("x_zero", 0.0, 3.7 * v)
    rc("equal", v, v)
    rc("equal", 0.3 * v, 0.3 * v)
    rc("atan", v, 2.5 * v)           # y > x
    rc("log1p", 1.5 * v, v)          # 1/2 < y/x < 1
    rc("log", 5.0 * v, v)            # y/x <= 1/2
    rc("pv", v, -0.25 * v)           # y < 0: prefix, then the log branch
    rc("pv", v, -4.0 * v)            # y < 0: prefix, then the log1p branch
    rc("pv_x_zero", 0.0, -v)         # principal value vanishes
for _ in range(40):
    x, y = loguniform(-3, 3), loguniform(-3, 3)
    rc("atan" if y > x else ("log1p" if y / x > 0.5 else "log"), x, y)
    rc("pv", x, -y)
# The switch between the two logarithmic forms at y/x = 1/2 and its neighbours.
for x in (2.0, 7.0, 1e-150, 3e200):
    y = x / 2
    for yy in (nextdown(y, 2), nextdown(y), y, nextup(y), nextup(y, 2)):
        rc("log_switch", x, yy)
# Near-equal arguments on both sides of x == y.
for d in (1, 2, 1000, 2 ** 20, 2 ** 40):
    rc("near_equal", 1.0, 1.0 + d * EPS)
    rc("near_equal", 1.0 + d * EPS, 1.0)
    rc("near_equal", 1.0, 1.0 - d * EPS / 2)
# Extreme ratios: each form meets under- or overflow of its intermediate terms.
for x, y in ((1e-300, 1e300), (1e300, 1e-300), (1e-300, 1.0), (1.0, 1e-300), (1e300, 1.0),
             (1.0, 1e300), (5e-324, 1.0), (1.0, -1e300), (1e300, -1e-300), (1e-300, -1e300)):
    rc("extreme", x, y)

# --- R_F ----------------------------------------------------------------------


def rf(tag, x, y, z):
    add("elliprf", tag, (x, y, z), rf_ref(x, y, z))


for _ in range(60):
    rf("general", loguniform(-3, 3), loguniform(-3, 3), loguniform(-3, 3))
for k in MAGNITUDES:
    v = 10.0 ** k
    rf("magnitude", v, 2 * v, 4 * v)
    rf("magnitude", 0.3 * v, 1.7 * v, 5.1 * v)
    rf("equal_xyz", v, v, v)
    rf("two_equal", v, v, 3 * v)
    rf("one_zero", 0.0, v, 2 * v)
    rf("one_zero_two_equal", 0.0, v, v)
# Mixed magnitudes inside one call: the duplication ends within its 11 steps for
# argument ratios up to about 1e245 (the limit of An is about 4 z / ln^2(4 z / x)
# while the stop level falls only as 4^-n).
for x, y, z in ((1e-100, 1.0, 1e100), (1e-200, 1.0, 1e200), (1e-200, 2e-200, 1e40),
                (1e-300, 1.0, 1e-60), (1.0, 1e100, 2e100), (1e-300, 1.0, 2.0), (1e-10, 1.0, 1e10)):
    rf("mixed_magnitude", x, y, z)
for _ in range(30):
    x, z = loguniform(-3, 3), loguniform(-3, 3)
    rf("two_equal", x, x, z)
    rf("two_equal", x, z, x)
    rf("two_equal", z, x, x)
for _ in range(10):
    y = loguniform(-3, 3)
    rf("one_zero_two_equal", 0.0, y, y)
    rf("one_zero_two_equal", y, 0.0, y)
    rf("one_zero_two_equal", y, y, 0.0)
for _ in range(20):
    a, b = loguniform(-3, 3), loguniform(-3, 3)
    rf("one_zero", 0.0, a, b)
    rf("one_zero", a, 0.0, b)
    rf("one_zero", a, b, 0.0)
for a, b in ((1e-300, 1e300), (1.0, 1e300), (1e-300, 1.0), (1.0, nextup(1.0)), (5e-324, 1.0)):
    rf("one_zero_extreme", 0.0, a, b)
# Near-equal triples stay in the duplication regime.
for d in (1e-15, 1e-12, 1e-8, 1e-4, 1e-2):
    rf("near_equal", 1.0, 1.0 + d, 1.0 - d)
    rf("near_equal", 1.0 + d, 1.0, 1.0 + 2 * d)
for v in (1e-300, 1e-20, 1e-5):
    rf("near_zero", v, 1.0, 2.0)
    rf("near_zero", 1.0, v, 2.0)

# --- R_D ----------------------------------------------------------------------


def rd(tag, x, y, z, cond=None):
    ref = rd_ref(x, y, z)
    if cond is None:
        add("elliprd", tag, (x, y, z), ref)
    else:
        add("elliprd", tag, (x, y, z), ref, cond=cond)


def rd_agm_cond(y, z):
    """Cancellation in 3 R_F ((x0 + 3 y0) / (4 z (x0 + y0)) - s / (z (y - z))) for x = 0:
    s / (y - z) equals the difference of the two terms at the limit, so the
    condition is |first term| + |second term| over the result."""
    y, z = mpf(y), mpf(z)
    x0, y0 = mpmath.sqrt(y), mpmath.sqrt(z)
    first = (x0 + 3 * y0) / (4 * z * (x0 + y0))
    value = rd_ref(0, y, z) / (3 * rf_ref(0, y, z))
    second = first - value
    return (abs(first) + abs(second)) / abs(value)


RD_MAGNITUDES = [k for k in MAGNITUDES if abs(k) <= 200]
for _ in range(80):
    rd("general", loguniform(-3, 3), loguniform(-3, 3), loguniform(-3, 3))
for k in RD_MAGNITUDES:
    v = 10.0 ** k
    rd("magnitude", v, 2 * v, 4 * v)
    rd("magnitude", 0.3 * v, 1.7 * v, 5.1 * v)
    rd("equal_xyz", v, v, v)
    rd("zero_two_equal", 0.0, v, v)
    if abs(k) <= 150:  # z (y - z) in the one-zero form must neither under- nor overflow
        rd("x_zero", 0.0, v, 2 * v, cond=rd_agm_cond(v, 2 * v))
    rd("x_is_z", v, 3 * v, v)
for _ in range(30):
    x, y, z = loguniform(-3, 3), loguniform(-3, 3), loguniform(-3, 3)
    rd("x_is_z", x, y, x)
    rd("y_is_z", x, y, y)
    rd("x_is_y", x, x, z)
    rd("y_zero", x, 0.0, z)
    rd("x_zero", 0.0, y, z, cond=rd_agm_cond(y, z))
    rd("zero_two_equal", 0.0, y, y)
    rd("zero_two_equal", y, 0.0, y)
# y == z < x: the signed maximum in the stopping level (A0 - y = (x - y)/5 while
# A0 - x = -4 (x - y)/5) lets the duplication stop a step early.
for ratio in (1.02, 1.05, 1.1, 1.13, 1.16, 1.2, 1.3, 1.5, 2.0, 3.0):
    for y in (1.0, 0.0025705102414950976, 7.3e4):
        rd("y_is_z_below_x", ratio * y, y, y)
for d in (1e-15, 1e-10, 1e-6, 1e-3):
    rd("x_zero", 0.0, 1.0, 1.0 + d, cond=rd_agm_cond(1.0, 1.0 + d))
    rd("x_zero", 0.0, 1.0 + d, 1.0, cond=rd_agm_cond(1.0 + d, 1.0))
    rd("near_equal", 1.0, 1.0 + d, 1.0 - d)
for x, y, z in ((1e-100, 1.0, 1e100), (1e-200, 1.0, 1e100), (1.0, 2.0, 1e-200),
                (1.0, 2.0, 1e200), (1e-300, 1.0, 2.0), (1e-300, 1e-300, 1.0)):
    rd("mixed_magnitude", x, y, z)

# --- R_J ----------------------------------------------------------------------


def rj(tag, x, y, z, p, cond=None):
    ref = rj_ref(x, y, z, p)
    if cond is None:
        add("elliprj", tag, (x, y, z, p), ref)
    else:
        add("elliprj", tag, (x, y, z, p), ref, cond=cond)


def rj_all_equal_cond(x, p):
    """R_J(x, x, x, p) = 3 (R_C(x, p) - x^(-1/2)) / (x - p), DLMF 19.20.5."""
    a, b = rc_ref(x, p), 1 / mpmath.sqrt(x)
    return (abs(a) + abs(b)) / abs(a - b)


def rj_rc_difference_cond(x, y, p):
    """R_J(x, y, y, p) = 3 (R_C(x, y) - R_C(x, p)) / (p - y), DLMF 19.20.6."""
    a, b = rc_ref(x, y), rc_ref(x, p)
    return (abs(a) + abs(b)) / abs(a - b)


def rj_pv_cond(x, y, z, p):
    return rj_pv_dlmf(x, y, z, p)[1]


def en0(x, y, z, p):
    """E_0 = (p-x)(p-y)(p-z) / ((sqrt p + sqrt x)(sqrt p + sqrt y)(sqrt p + sqrt z))^2,
    the quantity whose value selects the form of R_C(1, 1 + E_0) at the first
    duplication step."""
    x, y, z, p = (mpf(v) for v in (x, y, z, p))
    d = (mpmath.sqrt(p) + mpmath.sqrt(x)) * (mpmath.sqrt(p) + mpmath.sqrt(y)) * (mpmath.sqrt(p) + mpmath.sqrt(z))
    return (p - x) * (p - y) * (p - z) / d ** 2


# Scaling beyond about 1e+-100 overflows or underflows (p-x)(p-y)(p-z) and the
# square of its denominator in the duplication, so the magnitudes stop there.
RJ_MAGNITUDES = [k for k in MAGNITUDES if abs(k) <= 100]
for _ in range(80):
    rj("general", loguniform(-3, 3), loguniform(-3, 3), loguniform(-3, 3), loguniform(-3, 3))
for k in RJ_MAGNITUDES:
    v = 10.0 ** k
    rj("magnitude", v, 2 * v, 3 * v, 4 * v)
    rj("magnitude", 0.3 * v, 1.7 * v, 5.1 * v, 0.9 * v)
    rj("magnitude", 0.0, v, 2 * v, 3 * v)
    rj("equal_xyzp", v, v, v, v)
    rj("pv", v, 2 * v, 3 * v, -0.5 * v, cond=rj_pv_cond(v, 2 * v, 3 * v, -0.5 * v))
for _ in range(20):
    x, y, z, p = loguniform(-3, 3), loguniform(-3, 3), loguniform(-3, 3), loguniform(-3, 3)
    rj("all_equal", x, x, x, p, cond=rj_all_equal_cond(x, p))
    rj("all_equal", x, x, x, -p, cond=rj_all_equal_cond(x, -p))
    rj("x_is_y", x, x, z, p)
    rj("y_is_z_is_p", x, y, y, y)
    rj("y_is_z_is_p", 0.0, y, y, y)
    rj("z_is_p", x, y, z, z)
    rj("z_is_p", 0.0, y, z, z)
    rj("pv", x, y, z, -p, cond=rj_pv_cond(x, y, z, -p))
    rj("pv_one_zero", 0.0, y, z, -p, cond=rj_pv_cond(0.0, y, z, -p))
    rj("pv", x, y, y, -p, cond=rj_pv_cond(x, y, y, -p))
# R_J(x, y, y, p): the R_C-difference form when max(y,p)/min(y,p) > 1.2, else duplication.
for _ in range(15):
    x, y = loguniform(-3, 3), loguniform(-3, 3)
    for ratio in (0.01, 1 / 1.5, 1 / 1.2001, 1.2001, 1.5, 100.0):
        p = y * ratio
        rj("y_is_z", x, y, y, p, cond=rj_rc_difference_cond(x, y, p))
    for ratio in (1 / 1.19, 0.95, 1.05, 1.19):
        rj("y_is_z_near", x, y, y, y * ratio)
# All equal but p: 3 (R_C(x, p) - x^(-1/2)) / (x - p) cancels as p -> x.
for d in (1e-12, 1e-8, 1e-4, 0.1):
    for p in (1.0 + d, 1.0 - d):
        rj("all_equal", 1.0, 1.0, 1.0, p, cond=rj_all_equal_cond(1.0, p))
# Principal values with structure: arguments in every order, one zero, p tiny or
# large, p near -x.
for x, y, z, p in ((2.0, 3.0, 4.0, -0.5), (4.0, 3.0, 2.0, -0.5), (3.0, 4.0, 2.0, -0.5),
                   (1.0, 1.0, 1.0, -1.0), (0.0, 1.0, 2.0, -1.0), (2.0, 0.0, 1.0, -1.0),
                   (1.0, 2.0, 2.0, -1.0), (1.0, 2.0, 3.0, -1e-10), (1.0, 2.0, 3.0, -1e10),
                   (1.0, 2.0, 3.0, -1e-100), (1.0, 2.0, 3.0, -1e100), (0.0, 1e-3, 1e3, -1.0),
                   (1e-3, 1.0, 1e3, -1.0), (1.0, 2.0, 3.0, -2.0), (1.0, 2.0, 3.0, -3.0)):
    rj("pv", x, y, z, p, cond=rj_pv_cond(x, y, z, p))
# E_0 windows of the duplication: p -> 0 gives E_0 -> -1 (the product form of
# 1 + E_0); E_0 = -1/2 at one p below min(x, y, z) (the switch between the
# logarithmic forms); E_0 = 0 at p == x; E_0 > 0 for p between x and y or
# above z.
for x, y, z in ((1.0, 2.0, 3.0), (0.5, 4.0, 9.0), (1e-3, 1.0, 1e3)):
    # p far above x, y, z needs about log4(p / z) duplication steps out of the
    # 100 allowed, so the window above stops at 1e40.
    for p in (1e-300, 1e-100, 1e-20, 1e-6 * x, 0.1 * x, 0.5 * x, 0.9 * x, x, nextup(x),
              nextdown(x), 0.5 * (x + y), 0.5 * (y + z), 2 * z, 1e6 * z, 1e40):
        rj("en_window", x, y, z, p)
    root = mpmath.findroot(lambda q: en0(x, y, z, q) + mpf(0.5), (mpf(x) * 1e-6, mpf(x)),
                           solver="anderson")
    p0 = float(root)
    for k in range(-3, 4):
        p = nextup(p0, k) if k >= 0 else nextdown(p0, -k)
        rj("en_half", x, y, z, p)
for x, y, z, p in ((1e-100, 1.0, 1e100, 1.0), (1e-100, 1e-100, 1.0, 1e100), (1.0, 2.0, 3.0, 1e-300),
                   (0.0, 1e-100, 1e100, 1.0), (1e-300, 1.0, 2.0, 3.0)):
    rj("mixed_magnitude", x, y, z, p)

# --- K, E ---------------------------------------------------------------------

M_FITTED = sorted({rng.random() for _ in range(60)} |
                  {0.1 * k for k in range(1, 10)} |
                  {1e-300, 1e-100, 1e-20, 2.0 ** -60, 1e-10, 1e-5, 0.5})
# 1 - m below eps (m = 1 - 2^-53) switches K to its logarithmic tail.
M_NEAR_ONE = [1.0 - 2.0 ** -k for k in range(1, 54)] + [nextdown(1.0, 2), nextdown(1.0, 3),
                                                        1.0 - 3 * EPS, 1.0 - 3 * 2.0 ** -50]
M_NEGATIVE = [-1e-300, -1e-100, -1e-20, -1e-10, -1e-5, -1e-3, -0.01, -0.1, -0.25, -0.5, -0.75,
              -1.0, -2.0, -3.0, -5.0, -10.0]
M_NEGATIVE_LARGE = [-1e2, -1e4, -1e6, -1e8, -1e10, -1e12, -1e15, -2.0 ** 52 / 4]

for m in M_FITTED + M_NEAR_ONE:
    tag = "fitted" if m < 0.999 else "near_one"
    ak, ck = approx_k(m)
    add("ellipk", tag, (m,), legendre_ref("k", 0.0, m), approx=ak, cond=ck)
    add("ellipe", tag, (m,), legendre_ref("e", 0.0, m), approx=approx_e(m))
for m in M_NEGATIVE:
    ak, ck = approx_k(m)
    add("ellipk", "negative", (m,), legendre_ref("k", 0.0, m), approx=ak, cond=ck)
for m in M_NEGATIVE + M_NEGATIVE_LARGE + [-rng.uniform(0, 20) for _ in range(20)]:
    add("ellipe", "negative", (m,), legendre_ref("e", 0.0, m), approx=approx_e(m))

# --- Pi -----------------------------------------------------------------------


def pi_ref(n, m):
    return legendre_ref("pi", n, m)


def pi_negative_cond(n, m):
    """For n < 0 the value is m K/(m - n) - m1 n (F + (m - n)/(1 - n) J/3) / ((1 - n)(m - n))
    (DLMF 19.7.10 with 19.25.2): the condition of that difference."""
    k_true = legendre_ref("k", 0.0, m)
    value = pi_ref(n, m)
    n, m = mpf(n), mpf(m)
    first = m * k_true / (m - n)
    second = first - value
    return (abs(first) + abs(second)) / abs(value)


def pi_point(tag, n, m):
    if n < 0:
        add("ellippi", tag, (n, m), pi_ref(n, m), cond=pi_negative_cond(n, m))
    else:
        add("ellippi", tag, (n, m), pi_ref(n, m))


M_GRID = [-10.0, -1.0, -1e-10, 0.0, 1e-300, 0.1, 0.5, 0.9, 1.0 - 2.0 ** -20, 1.0 - 2.0 ** -52]
N_POSITIVE = [1e-300, 1e-20, 1e-5, 0.1, 0.3, 0.5, 0.9, 1.0 - 2.0 ** -10, 1.0 - 2.0 ** -30,
              1.0 - 2.0 ** -52]
N_NEGATIVE = [-1e-300, -1e-10, -0.1, -0.7, -1.0, -10.0, -1e5, -1e20, -1e100, -1e150]
for n in N_POSITIVE:
    for m in M_GRID:
        pi_point("n_positive", n, m)
for n in N_NEGATIVE:
    for m in M_GRID:
        if m != n:  # n == m < 0 has no finite value in this form
            pi_point("n_negative", n, m)
for _ in range(40):
    pi_point("n_positive", rng.random(), rng.uniform(-2, 1))
    pi_point("n_negative", -loguniform(-3, 3), rng.uniform(-2, 1))
# n close to m < 0, where the two terms of the n < 0 combination cancel.
for m in (-0.5, -2.0):
    for d in (1e-10, 1e-6, 1e-3, 0.1):
        pi_point("n_near_m", m * (1 + d), m)
        pi_point("n_near_m", m * (1 - d), m)


def main():
    total = sum(len(v) for v in points.values())
    data = {
        "generator": "tests/data/make_kernel_reference.py",
        "mpmath": mpmath.__version__,
        "digits": mp.dps,
        "points": points,
    }
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kernel_reference.json")
    with open(path, "w") as fh:
        json.dump(data, fh, indent=0, separators=(",", ":"))
        fh.write("\n")
    print(f"wrote {total} points to {path}: " +
          ", ".join(f"{k} {len(v)}" for k, v in points.items()))


if __name__ == "__main__":
    main()
