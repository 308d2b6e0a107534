#!/usr/bin/env python3
"""Reference magnifications of stars with fine, rough or rim-concentrated tabulated
profiles, to high precision: writes tests/data/fine_table_reference.json.

The profiles, each the piecewise-linear interpolant of its table (zero outside its
first and last radius):

* ``zigzag17``, ``zigzag18``, ``zigzag19``: n evenly spaced radii from 0 to 1 with
  values alternating 1 and 0.25, so n - 2 kinks inside the star, each as sharp as
  the table allows;
* ``random19``, ``random101`` and ``random1001``: 0, 1 and n - 2 pseudo-random radii
  between them, pseudo-random values in [0.1, 1] (seeded, so the same table on
  every run);
* ``clustered257``: 0, 1 and 255 radii drawn about 0.5 with a spread of 0.01 (narrow
  segments down to some 1e-7, next to the two of nearly half the star), each value
  0 or pseudo-random in [0, 1] at even odds: steep narrow segments among wide ones;
* ``shell1e-2``, ``shell1e-3``, ``shell1e-4``: a thin uniform shell [1 - w, 1] -> [1, 1],
  a bright rim;
* ``band`` and ``peak``: a thin bright band inside the star, [0.7, 0.7001] -> [1, 1],
  and a narrow peak near its rim, [0.99, 0.9905, 0.991] -> [0, 1, 0];
* ``overflow``: [0, 5e-324, 1e-320, 1] -> [1, 0, 1, 1], whose first two slopes
  overflow a double (the dip is 1e-320 wide: the star is uniform to 1e-320);
* ``law2049``: the linear limb-darkening law 1 - 0.6 (1 - sqrt(1 - r^2)) at 2049
  evenly spaced radii, long enough for its knots to be summed by groups.

Each value is the integral of the table times the ring magnification,
int P(r) A_ring(l rho, r rho) 2 pi r dr / int P 2 pi r dr, computed by the machinery of
make_magnification_reference.py (split at every radius of the table, at r = l and
geometrically towards it, each piece by Gauss-Legendre sized for the nearest
complex singularity, or tanh-sinh where one lies on or near it) at 34 digits, and
checked, for a sample, against the same integral by parts from uniform disks.

Run from anywhere:  python3 tests/data/make_fine_table_reference.py  (a few minutes)
"""
import math
import multiprocessing
import os
import random
import sys

import mpmath as mp

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_magnification_reference as ref  # noqa: E402

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fine_table_reference.json")
CHECK_TOL = mp.mpf(10) ** -25


def zigzag(n):
    return [i / (n - 1) for i in range(n)], [1.0 if i % 2 == 0 else 0.25 for i in range(n)]


def random_table(n, seed):
    g = random.Random(seed)
    inner = sorted(g.random() for _ in range(n - 2))
    return [0.0] + inner + [1.0], [0.1 + 0.9 * g.random() for _ in range(n)]


def clustered_table(n, seed):
    g = random.Random(seed)
    radii = sorted({abs(g.gauss(0.5, 0.01)) for _ in range(n - 2)})
    bl = [0.0] + radii + [1.0]
    return bl, [g.random() if g.random() < 0.5 else 0.0 for _ in bl]


def shell(w):
    return [1.0 - w, 1.0], [1.0, 1.0]


def tables():
    t = {f"zigzag{n}": zigzag(n) for n in (17, 18, 19)}
    t["random19"] = random_table(19, 19)
    t["random101"] = random_table(101, 101)
    t["random1001"] = random_table(1001, 1001)
    t["clustered257"] = clustered_table(257, 10)
    for w in ("1e-2", "1e-3", "1e-4"):
        t[f"shell{w}"] = shell(float(w))
    t["band"] = ([0.7, 0.7001], [1.0, 1.0])
    t["peak"] = ([0.99, 0.9905, 0.991], [0.0, 1.0, 0.0])
    t["overflow"] = ([0.0, 5e-324, 1e-320, 1.0], [1.0, 0.0, 1.0, 1.0])
    n = 2049
    bl = [i / (n - 1) for i in range(n)]
    t["law2049"] = (bl, [1 - 0.6 * (1 - math.sqrt(max(0.0, 1 - r * r))) for r in bl])
    return t


def around(x):
    """One ulp either side of x, and x."""
    return [math.nextafter(x, 0.0), x, math.nextafter(x, math.inf)]


SWITCHES = [1.05, 1.2, 1.5, 3.0]


def cases():
    out = []
    for n in ("zigzag17", "zigzag18", "zigzag19", "random19"):
        for rho in (1e-3, 10.0):
            for l in (0.15, 1.01):
                out.append((n, l, rho))
    for rho in (1e-3, 10.0):
        for l in [0.15, 0.5, 1 - 1e-7, 1.01] + around(1.05) + [1.1, 1.3, 2.0]:
            out.append(("random101", l, rho))
    for w in ("1e-2", "1e-3", "1e-4"):
        for rho in (1e-2, 10.0):
            for l in sorted({0.5, 0.999, 1.5} | {x for s in SWITCHES[:3] for x in around(s)}):
                out.append((f"shell{w}", l, rho))
    for name in ("band", "peak"):
        for rho in (1e-2, 10.0):
            for l in sorted({0.5, 0.995, 1.5} | {x for s in SWITCHES[:3] for x in around(s)}):
                out.append((name, l, rho))
    for l in (0.0, 0.5, 1.5):
        out.append(("overflow", l, 1e-2))
    for l in (0.3, 0.999):
        out.append(("law2049", l, 1e-2))
    for l in (0.5, 1.01):
        out.append(("random1001", l, 1e-2))
    for rho in (4e-3, 0.9):
        for l in (0.0, 0.5, 1.0):
            out.append(("clustered257", l, rho))
    return out


def unit(case):
    name, l, rho = case
    with mp.workdps(ref.WIDE_DPS):
        t = tables()[name]
        (v, e), = ref.integrals_from_rings(l, rho, [ref.table_pieces(t)])
        flux = ref.table_flux(t)
        return v / flux, e / flux


def by_parts(case):
    name, l, rho = case
    with mp.workdps(ref.WIDE_DPS):
        t = tables()[name]
        v, e = ref.table_from_disks(l, rho, t)
        return v, e


def main():
    all_cases = cases()
    checks = [c for c in all_cases if c[1] in (0.15, 1 - 1e-7, 1.01, 1.5)
              and c[0] in ("zigzag19", "random101", "shell1e-4")]
    with multiprocessing.Pool(2, initializer=ref._init) as pool:
        values = pool.map(unit, all_cases, chunksize=1)
        parts = pool.map(by_parts, checks, chunksize=1)
    found = dict(zip(all_cases, values))
    worst = mp.mpf(0)
    for c, (v, e) in zip(checks, parts):
        worst = max(worst, abs(v - found[c][0]) / abs(v))
    worst_e = max(abs(e) / abs(v) for v, e in values)
    print(f"rings against disks by parts: worst relative {mp.nstr(worst, 3)} over {len(checks)} cases; "
          f"largest error estimate {mp.nstr(worst_e, 3)}")
    if not (worst < CHECK_TOL and worst_e < CHECK_TOL):
        sys.exit("validation failed")
    data = {
        "note": ("re = 1, rstar = rho; the profile is the table's piecewise-linear interpolant, "
                 "0 outside its first and last radius, normalised by its exact flux"),
        "tables": {n: {"bl": bl, "bf": bf} for n, (bl, bf) in tables().items()},
        "columns": ["table", "l", "rho", "value"],
        "rows": [[n, l, rho, ref.fmt(found[(n, l, rho)][0])] for n, l, rho in all_cases],
    }
    ref.write_json(OUT, data)
    print(f"wrote {OUT}: {len(all_cases)} values")


if __name__ == "__main__":
    main()
