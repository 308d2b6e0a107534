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

The closed forms, the quadratures and their precision rules are those of
tests/data/make_magnification_reference.py, imported from there.  mpmath's
ellipk, ellipe and ellippi take the parameter m and the characteristic n as
Pi(n|m).  The inputs are the binary64 numbers l and rho
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
  stored values are compared and the largest difference is reported.

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
TESTS_DATA = HERE.parent.parent / "tests" / "data"
OTHER = TESTS_DATA / "magnification_reference.json"

sys.path.insert(0, str(TESTS_DATA))
from make_magnification_reference import (  # noqa: E402
    _exact_product,
    disk,
    disk_direct,
    limb_darkened_from_disks,
    limb_darkened_from_rings,
)

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


# ---------------------------------------------------------------- work


def _init():
    mp.mp.dps = DPS


def uniform_row(item):
    l, rho = item
    rho_ = mp.mpf(rho)
    return disk(_exact_product(mp.mpf(l), rho_), rho_)


def ld_row(item):
    return limb_darkened_from_rings(*item)


def check_uniform(item):
    l, rho = item
    rho_ = mp.mpf(rho)
    u = _exact_product(mp.mpf(l), rho_)
    closed, direct = disk(u, rho_), disk_direct(u, rho_)
    return item, abs(closed - direct) / abs(direct)


def check_ld(item):
    a, _ = limb_darkened_from_rings(*item)
    b, _ = limb_darkened_from_disks(*item)
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
