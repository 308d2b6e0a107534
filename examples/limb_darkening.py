"""Limb-darkened stars for any coefficient, from tarnivox's exact parts.

tarnivox has one built-in limb-darkening law, the linear law with coefficient
0.6, I_0.6 = 0.4 + 0.6 mu (``integrated_heyrovsky_magnification``), and the
uniform disk, I = 1 (``witt_mao_magnification``, a closed form).  Laws are
written in mu = cos(theta) = sqrt(1 - r^2), r the fractional radius.  A star's
magnification is the flux-weighted mean of its parts' magnifications, and the
fluxes of I = 1 and I = mu are pi and 2 pi / 3, so

    A_0.6 = (A[1] + A[mu]) / 2,  hence  A[mu] = 2 A_0.6 - A[1],

and the linear law I = 1 - u (1 - mu) = (1 - u) + u mu, for any u, is

    A_u = ((1 - u) A[1] + (2u/3) A[mu]) / (1 - u/3)
        = ((3 - 5u) A[1] + 4u A_0.6) / (3 - u).

No table is needed: ``linear_limb_darkening(l, re, rstar, u)``.  The Gamma
form of microlensing, I = 1 - Gamma (1 - 3 mu / 2) (MulensModel's ``gamma``),
is the same law with u = 3 Gamma / (2 + Gamma) (Gamma = 2u / (3 - u)); a
quadratic, square-root or power-2 law is written in the same exact parts plus
one profile that only a table can give (see ``quadratic_limb_darkening`` and
the others below, and limb_darkening_laws.py for the tables' accuracy).

Accuracy.  The two coefficients multiply errors by at most 1 (A[1]) and 2
(A_0.6), so A_u is as exact as its parts.  The built-in law is exact to about
1e-14.  A[1] comes from ``witt_mao_magnification`` (about 0.1 us), whose closed
form is exact to rounding except in two windows of l: near the rim, where it
forms 1 - n and 1 - m by subtraction and its terms cancel (up to 6e-5 within
1e-5 of the rim, beyond 3e-14 for about 0.87 < l < 1.21), and at 8 < l <= 50,
where its three terms of order l^2 cancel (up to 1e-12).  In CARLSON_WINDOW,
A[1] is the same closed form in Carlson's symmetric integrals
(``_uniform_disk_carlson``, scipy.special.elliprf, elliprg, elliprd and
elliprj): the complements formed from their factors, the terms grouped so that
nothing cancels near the rim (about 1e-15 there).  With the lens exactly on
the rim, A[1] is the rim's own closed form, 2/pi (1/rho + (1 + rho^2)
atan(rho) / rho^2).  From l = 3 on it is the ring family's mean-value series of
the uniform star, through the two-point table [0, 1] -> [1, 1], which is
I = 1 exactly (not an approximation of a law): exact to rounding, and cheaper
there than the closed form.  The window was measured against mpmath for rho
from 1e-6 to 10 (benchmarks/measure_uniform_window.py, results in
benchmarks/results/uniform_window.md); a star outside that range takes the
Carlson form at every l < 3.

    python examples/limb_darkening.py      # a demonstration and a check

checks the function against mpmath references (tests/data) for several u.
Needs NumPy and SciPy (1.8 or later, for Carlson's integrals).
"""

from __future__ import annotations

import math
import sys
from collections.abc import Callable
from decimal import Decimal, localcontext
from functools import lru_cache
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.special import elliprd, elliprf, elliprg, elliprj

import tarnivox

Floats = NDArray[np.float64]
Law = Callable[[Floats], Floats]  # brightness as a function of mu

# Where A[1] comes from the Carlson form (_uniform_disk_carlson) rather than
# witt_mao_magnification: l (stellar radii) in [lo, hi).  Near the rim the
# module's closed form cancels (its 1 - n and 1 - m are formed by subtraction).
CARLSON_WINDOW = (0.85, 1.25)
# From l = 3 on, A[1] is the ring family's mean-value series of the uniform
# star, through the two-point table bl = [0, 1], bf = [1, 1], which is I = 1
# exactly: exact to rounding and about as cheap as the built-in law's series
# there, where the module's closed form costs five times as much and, from
# about l = 8, errs by more than 3e-14 (its three terms of order l^2 cancel).
SERIES_FROM = 3.0
UNIFORM_TABLE = ([0.0, 1.0], [1.0, 1.0])
# Star sizes (rho = rstar / re) for which the window was measured; any other
# takes A[1] from the Carlson form at every l < SERIES_FROM.
CLOSED_FORM_RHO = (1e-6, 10.0)
# Below this l the Carlson form is the rim grouping, from it the far grouping.
FAR_GROUPING_FROM = 2.0
# Zones of l, np.searchsorted(edges, l, side="right"): 0 negative, 1 [0, 0.85),
# 2 [0.85, 1), 3 l = 1, 4 (1, 1.25), 5 [1.25, 3), 6 [3, inf), 7 inf or NaN;
# for another star [0, 2) is zones 2 to 4 and [2, 3) zone 5.  _KIND gives each
# zone its route.
_ONE_UP = float(np.nextafter(1.0, 2.0))
_EDGES_MEASURED = np.array([0.0, CARLSON_WINDOW[0], 1.0, _ONE_UP, CARLSON_WINDOW[1], SERIES_FROM, math.inf])
_EDGES_OTHER = np.array([0.0, 0.0, 1.0, _ONE_UP, FAR_GROUPING_FROM, SERIES_FROM, math.inf])
MODULE, RIM_GROUPING, FAR_GROUPING, ON_RIM, SERIES, NOT_A_SEPARATION = range(6)
_KIND_MEASURED = np.array([NOT_A_SEPARATION, MODULE, RIM_GROUPING, ON_RIM, RIM_GROUPING, MODULE, SERIES,
                           NOT_A_SEPARATION])
_KIND_OTHER = np.array([NOT_A_SEPARATION, MODULE, RIM_GROUPING, ON_RIM, RIM_GROUPING, FAR_GROUPING, SERIES,
                        NOT_A_SEPARATION])


def _uniform_disk_carlson(l: Floats, rho: float, far: bool) -> Floats:
    """A[1] at separations l != 1 (stellar radii), finite and >= 0, from the
    closed form of Witt & Mao (1994) in Carlson's symmetric integrals: the far
    grouping below if ``far``, the rim grouping otherwise.

    With u = l rho, d = u - rho, s = u + rho, t = sqrt(d^2 + 4), the closed form
    is pi A = -(d (d s / 2 + 4) / (rho^2 t)) K(m) + (t s / (2 rho^2)) E(m)
    + (2 (1 + rho^2) d^2 / (rho^2 s t)) Pi(n, m), with n = 4 u rho / s^2 and
    m = 4 n / t^2.  Their complements are products, formed without subtraction:

        p = 1 - n = ((l - 1) / (l + 1))^2,   y = 1 - m = p (s^2 + 4) / t^2,

    and with K = RF, E = RF - m RD / 3 = 2 RG, Pi = RF + n RJ(0, y, 1, p) / 3
    (DLMF 19.25.1, 19.25.2; every R below at (0, y, 1), RJ with p), the RF
    terms collect into 2 t / s (their coefficients sum to 4 rho^2 t^2 over
    2 rho^2 s t), leaving, divided by rho,

        pi A rho = 2 t RF / (l + 1) - c RD + c (1 + rho^2) p RJ,   c = 8 l / (3 (l + 1) t)   (far)
                 = t (l + 1) RG - t (l - 1) (l + 3) RF / (2 (l + 1)) + c (1 + rho^2) p RJ       (rim)

    (the second with RD = 3 (RF - 2 RG) / m).  Near the rim p and y vanish as
    (l - 1)^2: RF and RD grow as log|l - 1| and p RJ as 1 / |l - 1|, so the far
    grouping would cancel those logarithms; in the rim grouping they come with
    (l - 1) or (l - 1)^2 and vanish, RG -> 1/2, and nothing cancels.  Far from
    the star (l >= 2) the rim grouping's terms grow as l^3 and cancel, while the
    far one's are of the size of pi A rho (RD - (1 + rho^2) p RJ still loses
    about l times eps, 3e-14 at l = 50).
    """
    lm, lp = l - 1.0, l + 1.0
    d = lm * rho
    t2 = d * d + 4.0
    t = np.sqrt(t2)
    p = lm / lp
    p *= p
    s = lp * rho
    y = p * ((s * s + 4.0) / t2)
    c = (8.0 / 3.0) * l / (lp * t)
    x: Floats = c * ((1.0 + rho * rho) * p) * elliprj(0.0, y, 1.0, p)
    if far:
        x += (2.0 * t / lp) * elliprf(0.0, y, 1.0) - c * elliprd(0.0, y, 1.0)
    else:
        x += (t * lp) * elliprg(0.0, y, 1.0) - (t * lm * (l + 3.0) / (lp + lp)) * elliprf(0.0, y, 1.0)
    x *= 1.0 / (math.pi * rho)
    return x


def _uniform_star(l: Floats, re: float, rstar: float, rho: float) -> Floats:
    """A[1] at every l: witt_mao_magnification below l = 3 outside the rim's
    window, the Carlson form inside it, the rim's own closed form at l = 1, the
    uniform star's mean-value series from l = 3; NaN for a negative or NaN
    l and 1 for an infinite one (as the ring family gives)."""
    if l.size == 0:
        return np.empty(0)
    if CLOSED_FORM_RHO[0] <= rho <= CLOSED_FORM_RHO[1]:
        kind = _KIND_MEASURED[np.searchsorted(_EDGES_MEASURED, l, side="right")]
    else:
        kind = _KIND_OTHER[np.searchsorted(_EDGES_OTHER, l, side="right")]
    count = np.bincount(kind, minlength=6)
    if count[MODULE] == l.size:
        return np.fromiter(tarnivox.witt_mao_magnification(l, re, rstar), np.float64, l.size)
    out = np.empty(l.size)
    if count[MODULE]:
        pick = kind == MODULE
        out[pick] = tarnivox.witt_mao_magnification(l[pick], re, rstar)
    if count[RIM_GROUPING]:
        pick = kind == RIM_GROUPING
        out[pick] = _uniform_disk_carlson(l[pick], rho, False)
    if count[FAR_GROUPING]:
        pick = kind == FAR_GROUPING
        out[pick] = _uniform_disk_carlson(l[pick], rho, True)
    if count[SERIES]:
        pick = kind == SERIES
        out[pick] = tarnivox.integrated_flux_map_heyrovsky_magnification(l[pick], re, rstar, *UNIFORM_TABLE)
    if count[ON_RIM]:
        # The lens on the rim: 2/pi (1/rho + (1 + rho^2) atan(rho) / rho^2), all
        # terms positive (the closed form's pi/2 + asin((rho^2 - 1)/(rho^2 + 1))
        # is this 2 atan(rho), formed without cancellation).
        out[kind == ON_RIM] = (1.0 / rho + ((1.0 + rho * rho) * math.atan(rho)) / (rho * rho)) * (2.0 / math.pi)
    if count[NOT_A_SEPARATION]:
        pick = kind == NOT_A_SEPARATION
        out[pick] = np.where(l[pick] == math.inf, 1.0, math.nan)
    return out


def linear_law_parts(l: ArrayLike, re: float, rstar: float) -> tuple[Floats, Floats]:
    """(A[1], A_0.6) at every l, as float64 arrays: the two curves from which
    mix_linear_law gives any linear law (a fit that varies u alone, or one
    coefficient per band, needs them once per geometry)."""
    l = np.ascontiguousarray(l, dtype=np.float64).reshape(-1)
    a_law = np.fromiter(tarnivox.integrated_heyrovsky_magnification(l, re, rstar), np.float64, l.size)
    rho = rstar / re if re != 0 else math.inf
    return _uniform_star(l, re, rstar, rho), a_law


def _degenerate(re: float, rstar: float) -> bool:
    """Whether rho = rstar / re is not a positive finite number."""
    try:
        rho = float(rstar) / float(re)
    except ZeroDivisionError:
        return True
    return not 0.0 < rho < math.inf


def linear_limb_darkening(l: ArrayLike, re: float, rstar: float, u: float) -> Floats:
    """Magnification of a star with I = 1 - u (1 - mu), for any u in [0, 1].

    ``l`` (separations in stellar radii; any sequence, a NumPy array passes
    without a copy), ``re`` and ``rstar`` as for tarnivox's functions.  Returns a
    float64 array, one value per separation, exact to about 1e-14.

    For the Gamma form I = 1 - Gamma (1 - 3 mu / 2), pass u = 3 Gamma / (2 + Gamma).
    """
    u = float(u)
    if u == 0.6 or _degenerate(re, rstar):
        # The built-in law itself; or a star of no size (inf at every finite l >= 0),
        # no lens (1) or no star (NaN): the same for every law of positive flux,
        # where the mix would meet inf - inf.
        l = np.ascontiguousarray(l, dtype=np.float64).reshape(-1)
        return np.fromiter(tarnivox.integrated_heyrovsky_magnification(l, re, rstar), np.float64, l.size)
    a_uniform, a_law = linear_law_parts(l, re, rstar)
    # mix_linear_law in place (no temporaries)
    a_uniform *= 3.0 - 5.0 * u
    a_law *= 4.0 * u
    a_uniform += a_law
    a_uniform /= 3.0 - u
    return a_uniform


def mix_linear_law(a_uniform: Floats, a_law: Floats, u: float | Floats) -> Floats:
    """The linear law's magnification from A[1] and A_0.6 (linear_law_parts):
    ((1 - u) A[1] + (2u/3) A[mu]) / (1 - u/3) with A[mu] = 2 A_0.6 - A[1].
    ``u`` may be an array (a coefficient per epoch, for its band)."""
    return ((3.0 - 5.0 * u) * a_uniform + (4.0 * u) * a_law) / (3.0 - u)


def gamma_to_u(gamma: float) -> float:
    """The linear coefficient u of the Gamma form: u = 3 Gamma / (2 + Gamma)."""
    return 3.0 * gamma / (2.0 + gamma)


# --- other laws: the exact parts 1 and mu, and one tabulated profile ------------------

def linear(u: float) -> Law:
    """I = 1 - u (1 - mu); tarnivox's built-in law is linear(0.6)."""
    return lambda mu: 1.0 - u * (1.0 - mu)


def linear_gamma(gamma: float) -> Law:
    """I = 1 - Gamma (1 - 3 mu / 2), the flux-normalised form used in microlensing.

    Same shape as linear(u) with u = 3 Gamma / (2 + Gamma), and Gamma = 2 u / (3 - u).
    """
    return lambda mu: 1.0 - gamma * (1.0 - 1.5 * mu)


def quadratic(a: float, b: float) -> Law:
    """I = 1 - a (1 - mu) - b (1 - mu)^2 (Kopal 1950)."""
    return lambda mu: 1.0 - a * (1.0 - mu) - b * (1.0 - mu) ** 2


def square_root(c: float, d: float) -> Law:
    """I = 1 - c (1 - mu) - d (1 - sqrt(mu)) (Diaz-Cordoves & Gimenez 1992)."""
    return lambda mu: 1.0 - c * (1.0 - mu) - d * (1.0 - np.sqrt(mu))


def power_2(c: float, alpha: float) -> Law:
    """I = 1 - c (1 - mu^alpha) (Hestroffer 1997; Maxted 2018)."""
    return lambda mu: 1.0 - c * (1.0 - mu**alpha)


TABLE_POINTS = 501  # a whole law as one table (limb_darkening_laws.py)
# The one profile of a law that its exact parts miss, balanced: 101 radii leave
# 4e-8 (1e-8 for mu^2), 501 about 3e-9; the ring family's cost on the star grows
# with the table's radii (101: about 0.6 times a 501-point table's).
BALANCED_POINTS = 101


def graded_radii(n: int = TABLE_POINTS) -> Floats:
    """n radii from 0 to 1: even in r at the centre, even in sqrt(mu) at the rim.

    r_k = sin(pi/2 (1 - (1 - s_k)^2)), s_k = k / (n - 1): every law falls
    steeply at the rim (dI/dr ~ r / mu), where these radii crowd.
    """
    s = np.linspace(0.0, 1.0, n)
    r = np.sin(0.5 * math.pi * (1.0 - (1.0 - s) ** 2))
    r[0], r[-1] = 0.0, 1.0  # exact ends: the table must cover the whole disk
    return r


def mu_of(r: Floats) -> Floats:
    return np.sqrt(np.clip(1.0 - r * r, 0.0, None))


def tabulate(law: Law, n: int = TABLE_POINTS) -> tuple[list[float], list[float]]:
    """(bl, bf) for integrated_flux_map_*_magnification: the law on graded radii."""
    r = graded_radii(n)
    return r.tolist(), law(mu_of(r)).tolist()


def balanced_values(profile: Law, r: Floats) -> Floats:
    """Table values at radii r for the profile P(r) whose interpolant has P's mean
    on every segment, up to a smoother error.

    A chord of a curved profile lies off it by about P'' h^2 / 12 on average over a
    segment of width h (h^2 / 6 below 1 - r^2).  Each value is raised by the mean
    deficit of its two segments (12-point Gauss-Legendre on each), so that the
    interpolant's error has nearly zero mean on each segment and integrates to far
    less against the smooth ring magnifications: with 501 radii the laws below err
    by about 1e-10 to 3e-9 instead of 6e-8 to 3e-7, with 101 by 1e-8 to 4e-8
    instead of 2e-6 to 8e-6 (benchmarks/bench_linear_law.py).
    """
    x, w = np.polynomial.legendre.leggauss(12)
    a, b = r[:-1], r[1:]
    h = b - a
    nodes = 0.5 * (a + b)[:, None] + (0.5 * h)[:, None] * x[None, :]
    pa, pb = profile(a), profile(b)
    chord = pa[:, None] + (pb - pa)[:, None] * ((nodes - a[:, None]) / h[:, None])
    deficit = 0.5 * np.sum(w[None, :] * (profile(nodes) - chord), axis=1)
    raise_by, width = np.zeros(r.size), np.zeros(r.size)
    raise_by[:-1] += deficit * h
    raise_by[1:] += deficit * h
    width[:-1] += h
    width[1:] += h
    return profile(r) + raise_by / width


@lru_cache(maxsize=None)
def mu_power_table(alpha: float, n: int = BALANCED_POINTS) -> tuple[Floats, Floats]:
    """mu^alpha = (1 - r^2)^(alpha / 2), balanced (see balanced_values), on n radii:
    evenly spaced for alpha = 2 (1 - r^2 is as curved at the rim as at the centre),
    graded towards the rim otherwise, where mu^alpha is steep."""
    r = np.linspace(0.0, 1.0, n) if alpha == 2.0 else graded_radii(n)
    return r, balanced_values(lambda x: np.clip(1.0 - x * x, 0.0, None) ** (0.5 * alpha), r)


def _with_table(l: ArrayLike, re: float, rstar: float, c1: float, cmu: float, ctab: float,
                flux_tab: float, table: tuple[Floats, Floats]) -> Floats:
    """Magnification of I = c1 + cmu mu + ctab P(mu), P tabulated with flux
    flux_tab (in units of pi): the flux-weighted mean of the three parts'."""
    l = np.ascontiguousarray(l, dtype=np.float64).reshape(-1)
    if _degenerate(re, rstar):  # as in linear_limb_darkening (these laws are nowhere negative)
        return np.fromiter(tarnivox.integrated_heyrovsky_magnification(l, re, rstar), np.float64, l.size)
    a_uniform, a_law = linear_law_parts(l, re, rstar)
    a_tab = np.fromiter(tarnivox.integrated_flux_map_heyrovsky_magnification(l, re, rstar, *table),
                        np.float64, l.size)
    w1, wmu, wtab = c1, cmu * (2.0 / 3.0), ctab * flux_tab
    # wmu A[mu] = wmu (2 A_0.6 - A[1])
    return ((w1 - wmu) * a_uniform + (2.0 * wmu) * a_law + wtab * a_tab) / (w1 + wmu + wtab)


def quadratic_limb_darkening(l: ArrayLike, re: float, rstar: float, a: float, b: float,
                             points: int = BALANCED_POINTS) -> Floats:
    """I = 1 - a (1 - mu) - b (1 - mu)^2 = (1 - a - b) + (a + 2b) mu - b mu^2.

    1 and mu are exact; mu^2 = 1 - r^2 (flux pi / 2) is a table (mu_power_table).
    """
    return _with_table(l, re, rstar, 1.0 - a - b, a + 2.0 * b, -b, 0.5, mu_power_table(2.0, points))


def square_root_limb_darkening(l: ArrayLike, re: float, rstar: float, c: float, d: float,
                               points: int = BALANCED_POINTS) -> Floats:
    """I = 1 - c (1 - mu) - d (1 - sqrt(mu)) = (1 - c - d) + c mu + d sqrt(mu).

    1 and mu are exact; sqrt(mu) (flux 4 pi / 5) is a table graded towards the rim.
    """
    return _with_table(l, re, rstar, 1.0 - c - d, c, d, 0.8, mu_power_table(0.5, points))


def power_2_limb_darkening(l: ArrayLike, re: float, rstar: float, c: float, alpha: float,
                           points: int = BALANCED_POINTS) -> Floats:
    """I = 1 - c (1 - mu^alpha) = (1 - c) + c mu^alpha.

    mu^alpha (flux 2 pi / (alpha + 2)) is a table graded towards the rim; alpha = 1
    is the linear law and needs none.
    """
    if alpha == 1.0:
        return linear_limb_darkening(l, re, rstar, c)
    return _with_table(l, re, rstar, 1.0 - c, 0.0, c, 2.0 / (alpha + 2.0), mu_power_table(float(alpha), points))


# --- demonstration ---------------------------------------------------------------------

REFERENCE = Path(__file__).resolve().parents[1] / "tests" / "data" / "linear_law_reference.json"


def reference_values(rows: list[list[Any]], u: float) -> list[float]:
    """A_u from the stored A[1] and A[mu] (30 digits), mixed in 40-digit decimals."""
    with localcontext() as ctx:
        ctx.prec = 40
        du = Decimal(repr(u))
        return [float(((1 - du) * Decimal(a1) + (2 * du / 3) * Decimal(amu)) / (1 - du / 3))
                for _, _, a1, amu in rows]


def main() -> int:
    import json
    import time

    rho = 0.05
    l = np.array([0.0, 0.5, 0.9, 1.0, 1.1, 2.0, 5.0, 30.0])
    print(f"A star of radius rho = {rho} Einstein radii; l in stellar radii (u = l rho).\n")
    print("       l" + "".join(f"   u = {u:<11g}" for u in (0.0, 0.3, 0.6, 1.0)))
    curves = {u: linear_limb_darkening(l, 1.0, rho, u) for u in (0.0, 0.3, 0.6, 1.0)}
    for i, x in enumerate(l):
        print(f"{x:8g}" + "".join(f"  {curves[u][i]:14.10f}" for u in curves))
    gamma = 0.4
    print(f"\nGamma = {gamma} is u = 3 Gamma / (2 + Gamma) = {gamma_to_u(gamma):.6f}.")
    same = np.array_equal(curves[0.6], tarnivox.integrated_heyrovsky_magnification(l, 1.0, rho))
    print(f"u = 0.6 is the built-in law, bit for bit: {same}")

    t = np.linspace(-1.0, 1.0, 4001)
    ls = np.hypot(t / 20.0, 0.5 * rho) / rho
    timing = {}
    for name, f in (("built-in law (u = 0.6)", lambda: tarnivox.integrated_heyrovsky_magnification(ls, 1.0, rho)),
                    ("linear_limb_darkening(u = 0.5)", lambda: linear_limb_darkening(ls, 1.0, rho, 0.5))):
        best = math.inf
        for _ in range(5):
            start = time.perf_counter()
            f()
            best = min(best, time.perf_counter() - start)
        timing[name] = best
    print(f"\nA light curve of {ls.size} epochs (tE = 20 d, u0 = rho / 2, +- 1 d):")
    for name, seconds in timing.items():
        print(f"  {name:32s} {1e3 * seconds:7.3f} ms")

    if not REFERENCE.exists():
        print(f"\n(no reference at {REFERENCE}; the check needs the source tree)")
        return 0
    rows = json.loads(REFERENCE.read_text())["rows"]
    print(f"\nAgainst mpmath ({len(rows)} separations and sizes, rho {min(r[1] for r in rows):g} to "
          f"{max(r[1] for r in rows):g}, l {min(r[0] for r in rows):g} to {max(r[0] for r in rows):g}):")
    # A_u is as exact as its parts: A[1] enters with a weight of at most 1, the
    # built-in law with 4u / (3 - u) (at most 2).  Where the built-in law itself
    # errs, A_u may err by that much more.
    law_err = np.abs(np.concatenate([tarnivox.integrated_heyrovsky_magnification([x], 1.0, r) for x, r, *_ in rows])
                     / np.array(reference_values(rows, 0.6)) - 1.0)
    worst_all, beyond = 0.0, []
    for u in (0.0, 0.3, 0.6, 0.85, 1.0):
        exact = np.array(reference_values(rows, u))
        got = np.concatenate([linear_limb_darkening([x], 1.0, r, u) for x, r, *_ in rows])
        err = np.abs(got / exact - 1.0)
        i = int(np.argmax(err))
        worst_all = max(worst_all, float(err[i]))
        print(f"  u = {u:<5g} worst relative error {err[i]:.1e} at l = {rows[i][0]:.9g}, rho = {rows[i][1]:g}")
        beyond += [(u, k) for k in np.flatnonzero(err > 1e-13 + (4.0 * u / (3.0 - u)) * law_err)]
    if worst_all <= 1e-13:
        print(f"worst {worst_all:.1e}: within 1e-13")
    else:
        k = int(np.argmax(law_err))
        print(f"worst {worst_all:.1e}: ABOVE 1e-13 where the built-in law itself errs (by up to {law_err[k]:.1e}, "
              f"at l = {rows[k][0]:.9g}, rho = {rows[k][1]:g})")
    if beyond:
        print(f"{len(beyond)} value(s) beyond 1e-13 plus the built-in law's own error at the point")
        return 1
    print("every value within 1e-13 plus the built-in law's own error at its point")
    return 0


if __name__ == "__main__":
    sys.exit(main())
