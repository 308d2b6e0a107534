"""Reference values for the elliptic-integral kernels, computed with mpmath.

Writes kernel_reference.json beside this file.  Every value is computed at 50
significant digits from the double-precision arguments taken exactly, and
stored as a 30-digit decimal string, so a test can measure the error of a
64-bit result in units in the last place (ulps) without mpmath's help beyond
parsing.

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
- ellipk(m), ellipe(m), ellippi(n, m) take the parameter m = k^2;
- elliprc(x, y, pv=True) returns the Cauchy principal value for y < 0;
- elliprj(x, y, z, p) with p < 0 returns a complex number whose real part is
  the principal value (the mean of the limits from above and below the cut).
  Every such point is checked against an independent evaluation of the
  principal-value integral 3/2 PV int_0^inf dt / ((t + p) sqrt((t+x)(t+y)(t+z)))
  by singularity subtraction; the script stops if the two disagree.

Usage: python tests/data/make_kernel_reference.py
"""
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
# Principal value of R_J for p < 0, independent of mpmath's elliprj.


def rj_pv_by_quadrature(x, y, z, p):
    """3/2 PV int_0^inf dt / ((t - q) sqrt((t+x)(t+y)(t+z))), q = -p > 0.

    The pole at t = q is removed by subtracting f(q) on [0, 2q], where the
    principal value of int dt / (t - q) vanishes by symmetry."""
    scale = max(x, y, z, -p)
    x, y, z, q = (mpf(v) / scale for v in (x, y, z, -p))
    f = lambda t: 1 / mpmath.sqrt((t + x) * (t + y) * (t + z))
    fq = f(q)
    with mp.workdps(60):
        near = mpmath.quad(lambda t: (f(t) - fq) / (t - q), [0, q / 2, q, 3 * q / 2, 2 * q])
        far = mpmath.quad(lambda t: f(t) / (t - q), [2 * q, 4 * q, mpmath.inf])
    return mpf(1.5) * (near + far) / mpf(scale) ** mpf(1.5)


def rj_ref(x, y, z, p):
    v = mpmath.elliprj(x, y, z, p)
    if p >= 0:
        assert abs(mpmath.im(v)) <= abs(v) * mpf(10) ** -45, (x, y, z, p, v)
        return mpmath.re(v)
    pv = mpmath.re(v)
    check = rj_pv_by_quadrature(x, y, z, p)
    size = max(abs(pv), abs(mpmath.im(v)), abs(check))
    if abs(pv - check) > size * mpf(10) ** -30:
        sys.exit(f"mpmath's principal value of R_J{(x, y, z, p)} = {pv} disagrees with "
                 f"quadrature {check}")
    return pv


def rc_ref(x, y):
    v = mpmath.elliprc(x, y, pv=True)
    if y > 0:
        assert abs(mpmath.im(v)) <= abs(v) * mpf(10) ** -45, (x, y, v)
        return mpmath.re(v)
    # y < 0: the principal value is the real part (pure imaginary for x = 0);
    # check it against the closed form of DLMF 19.2.20,
    # R_C(x, y) = (x - y)^(-1/2) ln((sqrt x + sqrt(x - y)) / sqrt(-y)), written as
    # asinh(sqrt(x / -y)) / sqrt(x - y) so that no digits cancel.
    x, y = mpf(x), mpf(y)
    closed = mpmath.asinh(mpmath.sqrt(x / -y)) / mpmath.sqrt(x - y)
    pv = mpmath.re(v)
    if abs(pv - closed) > abs(closed) * mpf(10) ** -40 + mpf(10) ** -40 * abs(v):
        sys.exit(f"mpmath's principal value of R_C{(x, y)} = {pv} disagrees with {closed}")
    return pv


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
    add("elliprf", tag, (x, y, z), mpmath.elliprf(x, y, z))


for _ in range(80):
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
for _ in range(20):
    y = loguniform(-3, 3)
    rf("one_zero_two_equal", 0.0, y, y)
    rf("one_zero_two_equal", y, 0.0, y)
    rf("one_zero_two_equal", y, y, 0.0)
for _ in range(30):
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
    ref = mpmath.elliprd(x, y, z)
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
    value = mpmath.elliprd(0, y, z) / (3 * mpmath.elliprf(0, y, z))
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
    """The combination of DLMF 19.20.14 for p < 0, with x <= y <= z:
    (z - p) R_J(x,y,z,p) = (p1 - z) R_J(x,y,z,p1) - 3 R_F + 3 sqrt(xyz / (xy + w)) R_C(xy + w, w),
    p1 = ((x + y - p) z - xy) / (z - p), w = -p p1."""
    x, y, z = sorted(mpf(v) for v in (x, y, z))
    p = mpf(p)
    p1 = ((x + y - p) * z - x * y) / (z - p)
    w = -p * p1
    terms = ((p1 - z) * mpmath.elliprj(x, y, z, p1), -3 * mpmath.elliprf(x, y, z),
             3 * mpmath.sqrt(x * y * z / (x * y + w)) * rc_ref(x * y + w, w))
    total = sum(terms)
    return sum(abs(mpmath.re(t)) for t in terms) / abs(mpmath.re(total))


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
for _ in range(25):
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
for _ in range(25):
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
    for p in (1e-300, 1e-100, 1e-20, 1e-6 * x, 0.1 * x, 0.5 * x, 0.9 * x, x, nextup(x),
              nextdown(x), 0.5 * (x + y), 0.5 * (y + z), 2 * z, 1e6 * z, 1e100):
        rj("en_window", x, y, z, p)
    root = mpmath.findroot(lambda q: en0(x, y, z, q) + mpf(0.5), mpf(x) / 4)
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
    add("ellipk", tag, (m,), mpmath.ellipk(m), approx=ak, cond=ck)
    add("ellipe", tag, (m,), mpmath.ellipe(m), approx=approx_e(m))
for m in M_NEGATIVE:
    ak, ck = approx_k(m)
    add("ellipk", "negative", (m,), mpmath.ellipk(m), approx=ak, cond=ck)
for m in M_NEGATIVE + M_NEGATIVE_LARGE + [-rng.uniform(0, 20) for _ in range(20)]:
    add("ellipe", "negative", (m,), mpmath.ellipe(m), approx=approx_e(m))

# --- Pi -----------------------------------------------------------------------


def pi_ref(n, m):
    return mpmath.re(mpmath.ellippi(n, m))


def pi_negative_n(n, m):
    """For n < 0 the value is m K/(m - n) - m1 n (F + (m - n)/(1 - n) J/3) / ((1 - n)(m - n))
    (DLMF 19.7.10 with 19.25.2), with K the polynomial approximation: returns the
    condition of the combination and the error carried by the approximate K."""
    n, m = mpf(n), mpf(m)
    m1 = 1 - m
    k_true = mpmath.ellipk(m)
    first = m * k_true / (m - n)
    value = pi_ref(n, m)
    second = first - value
    cond = (abs(first) + abs(second)) / abs(value)
    k_error = m / (m - n) * (approx_k(m)[0] - k_true)
    return cond, k_error


def pi_point(tag, n, m):
    if n < 0:
        cond, k_error = pi_negative_n(n, m)
        add("ellippi", tag, (n, m), pi_ref(n, m), cond=cond, k_error=k_error)
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
