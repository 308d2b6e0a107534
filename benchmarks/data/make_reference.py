#!/usr/bin/env python3
"""Exact magnifications on the accuracy grid of the benchmarks, computed with mpmath.

Writes benchmarks/data/reference.json: for every source radius rho in
{1e-3, 1e-2, 0.1, 1} (Einstein radii) and every separation l (stellar radii,
u = l rho in Einstein radii) of GRID_L, both

* ``uniform``: the magnification of a uniform disk, by the closed form of
  Witt & Mao (1994, ApJ 430, 505), t = sqrt(4 + (u - rho)^2),
    A = (1/2pi) [ (u + rho) t E(m) / rho^2 - (u - rho)(8 + u^2 - rho^2) K(m) / (rho^2 t)
                  + 4 (u - rho)^2 (1 + rho^2) Pi(n|m) / (rho^2 (u + rho) t) ],
  n = 4 u rho / (u + rho)^2, m = 4 n / t^2, and on the rim u = rho
    A = (2/rho + (1 + rho^2)/rho^2 (pi/2 + asin((rho^2 - 1)/(rho^2 + 1)))) / pi;
* ``limb_darkened``: the magnification of a star with the linear law
  I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)) (Gamma = 0.5 in the convention of
  An et al. 2002, ApJ 572, 521),
    A_LD(l) = int_0^1 I(r) A_ring(u, r rho) 2 pi r dr / int_0^1 I(r) 2 pi r dr,
  the integral split at the singular radius r = l when 0 < l < 1, with the
  ring magnification of Heyrovsky (2003, ApJ 594, 464)
    A_ring(u, a) = (2/pi) (2 K(m) + (u - a)^2 Pi(n|m)) / ((u + a) sqrt(4 + (u - a)^2)),
  n = 4 u a / (u + a)^2, m = 4 n / (4 + (u - a)^2).

mpmath's ellipk, ellipe and ellippi take the parameter m and the
characteristic n as Pi(n|m).  The inputs are the binary64 numbers l and rho
that the benchmark passes, taken exactly (u = l rho without rounding).  Close
to the rim and to the singular ring, 1 - n and 1 - m are of the order of the
squared relative distance, and the three Witt & Mao terms are each of order
(u + rho)^2 / rho^2 while their sum is of order 1/rho: the working precision
is raised by the digits that cancel.

Independent checks (the script stops if one fails):

* the uniform closed form against the direct quadrature of its definition,
  A = (1 / (pi rho^2)) int A_point(x) 2 x theta(x) dx, where 2 theta(x) is the
  angle of the circle of radius x about the lens that lies inside the disk
  and A_point(x) = (x^2 + 2) / (x sqrt(x^2 + 4));
* A_LD from rings against the same quantity from disks by parts,
  int_0^1 I dM = I(1) M(1) - int_0^1 I'(r) M(r) dr, M(r) = pi r^2 A_uniform(u, r rho),
  with r = sin(theta) taking the square root out of I';
* where tests/data/magnification_reference.json holds the same (l, rho), its
  values (made by another script) are compared and the largest difference is
  reported.

Run:  python3 benchmarks/data/make_reference.py   (a few minutes on two cores)
"""
from __future__ import annotations

import json
import multiprocessing
import sys
import time
from pathlib import Path

import mpmath as mp

HERE = Path(__file__).resolve().parent
OUT = HERE / "reference.json"
OTHER = HERE.parent.parent / "tests" / "data" / "magnification_reference.json"

DPS = 40              # base working precision, decimal digits
STORE_DIGITS = 30     # significant digits stored
CHECK_TOL = mp.mpf(10) ** -28   # relative agreement required of the independent checks

RHOS = [1e-3, 1e-2, 0.1, 1.0]

# Separations in stellar radii: an even spread over [0, 3], points near the
# centre, and points on both sides of the rim l = 1 down to 1e-7 from it
# (inside the 1e-5 window where a code may switch to the rim limit).
_NEAR_ZERO = [0.0, 1e-6, 1e-4, 1e-3, 1e-2, 0.03]
_EVEN = [k / 10 for k in range(1, 31)]
_RIM_OFFSETS = [3e-2, 1e-2, 3e-3, 1e-3, 3e-4, 1e-4, 3e-5, 1.5e-5, 5e-6, 1e-7]
GRID_L = sorted(set(_NEAR_ZERO + _EVEN + [1.0] + [1.0 + s * e for e in _RIM_OFFSETS for s in (1, -1)]))

# Points of the independent checks.
CHECK_UNIFORM = [(l, rho) for rho in RHOS for l in (1e-4, 0.5, 1.0 - 1e-4, 1.0, 1.0 + 1e-7, 2.0)]
CHECK_LD = [(l, rho) for rho in (1e-3, 1.0) for l in (0.0, 0.5, 1.0 - 3e-5, 1.0, 1.3)]


# ---------------------------------------------------------------- magnifications


def point(x):
    """Point-lens magnification at distance x (Einstein radii) from the lens."""
    return (x * x + 2) / (x * mp.sqrt(x * x + 4))


def exact_product(x, y):
    """x * y of two binary64 numbers, without rounding (at most 106 bits)."""
    with mp.workprec(2 * mp.mp.prec + 10):
        return mp.mpf(x) * mp.mpf(y)


def _lost_digits(d, s):
    """Digits lost in forming 1 - n ~ (d / s)^2: twice -log10(|d| / s), plus a margin."""
    return max(0, int(-2 * mp.log10(abs(d) / abs(s)))) + 10


def ring(u, a):
    """Mean point-lens magnification over the ring of radius a centred at distance u."""
    if u == 0 or a == 0:
        return point(u + a)
    with mp.extraprec(int(3.33 * _lost_digits(u - a, u + a))):
        d, s = u - a, u + a
        n = 4 * u * a / (s * s)
        m = 4 * n / (4 + d * d)
        value = (2 / mp.pi) * (2 * mp.ellipk(m) + d * d * mp.ellippi(n, m)) / (s * mp.sqrt(4 + d * d))
    return +value


def uniform(u, rho):
    """Witt & Mao: mean point-lens magnification over the uniform disk of radius rho at distance u."""
    if u == rho:
        r2 = rho * rho
        return (2 / rho + (1 + r2) / r2 * (mp.pi / 2 + mp.asin((r2 - 1) / (r2 + 1)))) / mp.pi
    cancel = max(0, int(mp.log10(((u + rho) ** 2 + 4) / (rho * rho))))
    with mp.extraprec(int(3.33 * (_lost_digits(u - rho, u + rho) + cancel))):
        d, s, r2 = u - rho, u + rho, rho * rho
        t = mp.sqrt(4 + d * d)
        n = 4 * u * rho / (s * s)
        m = 4 * n / (t * t)
        if n == 0:
            E = K = P = mp.pi / 2
        else:
            E, K, P = mp.ellipe(m), mp.ellipk(m), mp.ellippi(n, m)
        value = (s * t * E / r2 - d * (8 + u * u - r2) * K / (r2 * t) + 4 * d * d * (1 + r2) * P / (r2 * s * t)) / (
            2 * mp.pi
        )
    return +value


def brightness(r):
    return 1 - mp.mpf("0.6") * (1 - mp.sqrt(1 - r * r))


def flux():
    """2 pi int_0^1 r I(r) dr = 2 pi (0.2 + 0.2) = 0.8 pi."""
    return mp.mpf("0.8") * mp.pi


def _splits(l):
    """Subintervals of [0, 1] for an integrand singular at r = l: split at l
    inside, and a geometric cluster of points towards l when it lies close to
    an end of the interval (inside or outside)."""
    points = {mp.mpf(0), mp.mpf(1)}
    if 0 < l < 1:
        points.add(l)
    for end in (mp.mpf(0), mp.mpf(1)):
        delta = abs(l - end)
        if 0 < delta < mp.mpf("0.05"):
            for k in range(12):
                for p in (l - delta * 4**k, l + delta * 4**k):
                    if 0 < p < 1 and p != l:
                        points.add(p)
    return sorted(points)


def limb_darkened_from_rings(l, rho):
    l, rho = mp.mpf(l), mp.mpf(rho)
    u = exact_product(l, rho)

    def integrand(r):
        a = exact_product(r, rho)
        if a == u:
            return mp.mpf(0)  # a single point of an integrable (logarithmic) singularity
        return brightness(r) * 2 * mp.pi * r * ring(u, a)

    value, error = mp.quad(integrand, _splits(l), error=True)
    return value / flux(), error / flux()


def limb_darkened_from_disks(l, rho):
    """By parts: int_0^1 I dM = I(1) M(1) + int 0.6 r M(r) / sqrt(1 - r^2) dr, r = sin(theta)."""
    l, rho = mp.mpf(l), mp.mpf(rho)
    u = exact_product(l, rho)

    def M(r):
        return mp.pi * r * r * uniform(u, exact_product(r, rho))

    def integrand(theta):
        r = mp.sin(theta)
        return mp.mpf("0.6") * r * M(r)

    integral = mp.quad(integrand, [mp.asin(p) for p in _splits(l)])
    return (brightness(mp.mpf(1)) * M(mp.mpf(1)) + integral) / flux()


def uniform_direct(u, rho):
    """(1 / (pi rho^2)) int_|u - rho|^{u + rho} A_point(x) 2 x theta(x) dx (plus the full
    circles when the lens is inside the disk), by quadrature of the definition."""
    inner = abs(u - rho)

    def theta(x):
        if x <= rho - u:
            return mp.pi
        c = (x * x + u * u - rho * rho) / (2 * x * u)
        return mp.acos(max(-1, min(1, c)))

    def integrand(x):
        return point(x) * 2 * x * theta(x)

    points = {mp.mpf(0), u + rho}
    if inner > 0:
        points.add(inner)
    w = max(inner, rho * mp.mpf(10) ** -12) * 4
    while w < u + rho:  # geometric cluster towards the kink at |u - rho| and the 1/x peak at 0
        points.add(w)
        w *= 4
    return mp.quad(integrand, sorted(points)) / (mp.pi * rho * rho)


# ---------------------------------------------------------------- work


def _init():
    mp.mp.dps = DPS


def uniform_row(item):
    l, rho = item
    rho_ = mp.mpf(rho)
    return uniform(exact_product(l, rho_), rho_)


def ld_row(item):
    return limb_darkened_from_rings(*item)


def check_uniform(item):
    l, rho = item
    rho_ = mp.mpf(rho)
    u = exact_product(l, rho_)
    closed, direct = uniform(u, rho_), uniform_direct(u, rho_)
    return item, abs(closed - direct) / abs(direct)


def check_ld(item):
    a, _ = limb_darkened_from_rings(*item)
    b = limb_darkened_from_disks(*item)
    return item, abs(a - b) / abs(a)


def _worst(results, name):
    item, diff = max(results, key=lambda t: t[1])
    print(f"check {name}: {len(results)} points, largest relative difference {mp.nstr(diff, 3)} "
          f"at (l, rho) = {item}", flush=True)
    if not diff < CHECK_TOL:
        sys.exit(f"check {name} failed at (l, rho) = {item}: {mp.nstr(diff, 5)} >= {mp.nstr(CHECK_TOL, 3)}")


def compare_with_other(values):
    """Largest relative difference from tests/data where the same (l, rho) appears."""
    try:
        other = json.loads(OTHER.read_text())
    except (OSError, ValueError):
        return None
    out = {}
    for kind, table, columns in (("uniform", "disk", ("l", "rho")), ("limb_darkened", "limb_darkened", ("l", "rho"))):
        section = other.get(table, {})
        cols = section.get("columns", [])
        if not all(c in cols for c in (*columns, "value")):
            continue
        worst, count = mp.mpf(0), 0
        for row in section["rows"]:
            key = (row[cols.index("l")], row[cols.index("rho")])
            mine = values[kind].get(key)
            if mine is None:
                continue
            theirs = mp.mpf(row[cols.index("value")])
            worst = max(worst, abs(mine - theirs) / abs(theirs))
            count += 1
        out[kind] = (count, worst)
    return out


def main():
    start = time.time()
    _init()
    items = [(l, rho) for rho in RHOS for l in GRID_L]
    with multiprocessing.Pool(2, initializer=_init) as pool:
        _worst(pool.map(check_uniform, CHECK_UNIFORM, chunksize=1), "uniform closed form vs direct quadrature")
        _worst(pool.map(check_ld, CHECK_LD, chunksize=1), "limb-darkened from rings vs from disks by parts")
        uniform_values = pool.map(uniform_row, items, chunksize=8)
        ld_results = pool.map(ld_row, items, chunksize=1)
    for item, (value, error) in zip(items, ld_results):
        if not abs(error) < abs(value) * CHECK_TOL:
            sys.exit(f"quadrature error estimate too large at (l, rho) = {item}: {mp.nstr(error, 3)}")
    values = {
        "uniform": dict(zip(items, uniform_values)),
        "limb_darkened": {item: v for item, (v, _) in zip(items, ld_results)},
    }
    compared = compare_with_other(values)
    if compared:
        for kind, (count, worst) in compared.items():
            print(f"against {OTHER.name} ({kind}): {count} common points, largest relative difference "
                  f"{mp.nstr(worst, 3)}", flush=True)
            if count and not worst < CHECK_TOL:
                sys.exit(f"{kind} values disagree with {OTHER}")

    data = {
        "about": (f"Exact magnifications of a point-mass lens (mpmath, {DPS}+ digits, stored to {STORE_DIGITS}) "
                  "made by make_reference.py. re = 1, rstar = rho: l in stellar radii, u = l rho. uniform: "
                  "Witt & Mao uniform disk; limb_darkened: I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), i.e. linear "
                  "u = 0.6, Gamma = 0.5."),
        "rho": RHOS,
        "l": GRID_L,
        "uniform": {repr(rho): [mp.nstr(values["uniform"][l, rho], STORE_DIGITS) for l in GRID_L] for rho in RHOS},
        "limb_darkened": {
            repr(rho): [mp.nstr(values["limb_darkened"][l, rho], STORE_DIGITS) for l in GRID_L] for rho in RHOS
        },
    }
    OUT.write_text(json.dumps(data, indent=1) + "\n", encoding="utf-8")
    print(f"wrote {OUT}: {len(GRID_L)} separations x {len(RHOS)} rho, {time.time() - start:.0f} s")


if __name__ == "__main__":
    main()
