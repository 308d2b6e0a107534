#!/usr/bin/env python3
"""Reference magnifications with the lens on the star's rim and on both sides of
the ring family's switches, to high precision.

Writes tests/data/on_star_reference.json with two tables (columns l, rho,
value; re = 1, rstar = rho, l in stellar radii):

* ``limb_darkened``: the star with the linear limb-darkening law
  I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), normalised by its flux 0.8 pi,
  - with the lens on the star, from its centre through the rim: l = 0, 1e-6,
    0.3, 0.9, 0.999, 1 - 1e-5, l = 1 exactly and its two neighbouring doubles,
    1.001 and the double below 1.05, for rho from 1e-12 to 1e6 (1.5, 1.56, 2
    and 3 among them: a star larger than the Einstein ring with the lens on
    its rim);
  - both neighbouring doubles of l = 1.05, 1.2, 1.5 and 3, and those values
    themselves, for rho = 1e-3, 0.1, 1 and 10;
* ``uniform``: the uniform star (the table bl = [0, 1], bf = [1, 1]) at the
  same separations, from the closed form of the uniform disk and its rim
  limit.

The limb-darkened values come from make_magnification_reference.py's routes:
the integral from rings, split at every singularity (r = l and r = +-l +- 2i/rho),
below l = 2.9 and the mean-value series from it on, at 34 digits; the uniform
ones from the Witt & Mao closed form.  Validated (the script stops otherwise)
against the law integrated by parts from disks at a few rim separations, and
the uniform disk against the direct quadrature of its definition.

Run from anywhere:  python3 tests/data/make_on_star_reference.py
(about eight minutes on two cores).
"""
import math
import multiprocessing
import os
import sys
import time

import mpmath as mp

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_magnification_reference as M  # noqa: E402

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "on_star_reference.json")
TOL = mp.mpf(10) ** -25  # independent routes, relative

ON_STAR_L = [0.0, 1e-6, 0.3, 0.9, 0.999, 1 - 1e-5, math.nextafter(1.0, 0.0), 1.0,
             math.nextafter(1.0, 2.0), 1.001, math.nextafter(1.05, 0.0)]
ON_STAR_RHO = [1e-12, 0.3, 1.5, 1.56, 2.0, 3.0, 30.0, 1e3, 1e6]
SWITCHES = [1.05, 1.2, 1.5, 3.0]
SWITCH_RHO = [1e-3, 0.1, 1.0, 10.0]


def rows():
    out = [(l, rho) for rho in ON_STAR_RHO for l in ON_STAR_L]
    for rho in SWITCH_RHO:
        for b in SWITCHES:
            out += [(math.nextafter(b, 0.0), rho), (b, rho), (math.nextafter(b, 4.0), rho)]
    return out


def law(task):
    l, rho = task
    with mp.workdps(M.WIDE_DPS):
        if l >= M.SERIES_FROM:
            value, last = M.mean_value_series(l, rho, M.ld_moment)
            return value, abs(last)
        (value, err), = M.integrals_from_rings(l, rho, [M.LD_PIECES])
        return value / M.profile_flux(), err / M.profile_flux()


def uniform(task):
    l, rho = task
    with mp.workdps(small_star_dps(rho)):
        rho_ = mp.mpf(rho)
        return M.disk(M._exact_product(mp.mpf(l), rho_), rho_)


def small_star_dps(rho):
    """Working precision for the closed form of the disk: on the rim of a small star
    pi/2 + asin((rho^2 - 1) / (rho^2 + 1)) cancels to 2 rho and is then divided by
    rho^2, which costs twice the digits of 1 / rho."""
    return M.WIDE_DPS + 2 * max(0, int(-math.log10(rho))) + 10


def check_law(task):
    l, rho = task
    with mp.workdps(small_star_dps(rho)):
        return M.limb_darkened_from_disks(l, rho)[0]


def check_uniform(task):
    l, rho = task
    with mp.workdps(small_star_dps(rho)):
        rho_ = mp.mpf(rho)
        return M.disk_direct(M._exact_product(mp.mpf(l), rho_), rho_)


def main():
    t0 = time.time()
    tasks = rows()
    checks = [(1.0, 2.0), (1.0, 0.3), (0.999, 1.5), (math.nextafter(1.05, 0.0), 1.0), (1.0, 1e-12)]
    with multiprocessing.Pool(2) as pool:
        laws = pool.map(law, tasks, chunksize=1)
        uniforms = pool.map(uniform, tasks, chunksize=4)
        law_checks = pool.map(check_law, checks, chunksize=1)
        uniform_checks = pool.map(check_uniform, checks, chunksize=1)
    by_task = dict(zip(tasks, laws))
    for task, (v, e) in by_task.items():
        if not abs(e) < abs(v) * TOL:
            sys.exit(f"error estimate too large at {task}: {e}")
    uniform_by_task = dict(zip(tasks, uniforms))
    for task, a, b in zip(checks, law_checks, uniform_checks):
        for name, ref, other in (("law", by_task[task][0], a), ("uniform", uniform_by_task[task], b)):
            err = abs(ref - other) / abs(ref)
            print(f"validation, {name} at l = {task[0]!r}, rho = {task[1]}: {mp.nstr(err, 3)}", flush=True)
            if not err < TOL:
                sys.exit(f"validation of {name} failed at {task}: {err}")
    data = {
        "about": ("Point-lens magnifications of a limb-darkened and a uniform star with the lens on "
                  "the rim and about the ring family's switches, by make_on_star_reference.py with "
                  f"mpmath at {M.WIDE_DPS} digits; {M.STORE_DIGITS} significant digits. "
                  "re = 1, rstar = rho; l in stellar radii."),
        "limb_darkened": {
            "note": "I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)), normalised by its exact flux 0.8 pi",
            "columns": ["l", "rho", "value"],
            "rows": [[l, rho, M.fmt(by_task[(l, rho)][0])] for l, rho in tasks],
        },
        "uniform": {
            "note": "the table bl = [0, 1], bf = [1, 1]: the uniform disk",
            "columns": ["l", "rho", "value"],
            "rows": [[l, rho, M.fmt(uniform_by_task[(l, rho)])] for l, rho in tasks],
        },
    }
    M.write_json(OUT, data)
    print(f"wrote {OUT}: {len(tasks)} rows per table in {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
