#!/usr/bin/env python3
"""Reference magnifications of the two profiles every linear limb-darkening law is made of.

Writes tests/data/linear_law_reference.json with the magnification of a star of
surface brightness

* ``uniform``: I = 1, the uniform disk (the closed form of Witt & Mao, with its
  rim limit, as make_magnification_reference.py evaluates it), and
* ``mu``: I = mu = sqrt(1 - r^2), integrated over rings of the closed form of
  Heyrovsky below l = 2.9 and summed as the mean-value series from there on,

each normalised by its own flux (pi and 2 pi / 3).  The linear law
I = 1 - u (1 - mu) = (1 - u) + u mu then has the magnification

    A_u = ((1 - u) A[1] + (2u/3) A[mu]) / (1 - u/3)

for any u, exactly.  The grid: rho from 1e-4 to 3 and l from the centre through
the rim (l = 1 exactly, and 1 +- 1e-8, 1e-5, ...) to 1e5, with the edges where
the closed form of the disk or the ring family change their method.

Independent validation (the script stops if any check fails): the uniform disk
from rings against its closed form, and I = mu from rings against the same by
parts from disks, int mu dM = int r M(r) / mu dr with M(r) = pi r^2 A_disk
(r = sin theta: int sin(theta) M(sin theta) dtheta), at a sample of the grid;
the series against rings at l = 3 and 10.

Run from anywhere:  python3 tests/data/make_linear_law_reference.py [--processes N]
(about ten minutes on two cores).
"""
import multiprocessing
import os
import sys
import time

import mpmath as mp

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_magnification_reference as R  # noqa: E402

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "linear_law_reference.json")
TOL = mp.mpf(10) ** -25  # independent routes, relative

RHOS = [1e-4, 1e-3, 1e-2, 0.1, 0.3, 1.0, 3.0]
LS = [0.0, 1e-3, 0.1, 0.3, 0.5, 0.7, 0.85, 0.9, 0.95, 0.99, 0.999, 1 - 1e-5, 1 - 1e-8, 1.0, 1 + 1e-8,
      1 + 1e-5, 1.001, 1.01, 1.03, 1.05, 1.1, 1.2, 1.5, 2.0, 2.5, 3.0, 5.0, 10.0, 30.0, 47.0, 50.0,
      100.0, 1e3, 1e4, 1e5]
CHECKS = [(l, rho) for l in (0.3, 0.99, 1.0, 1 + 1e-5, 1.2) for rho in (1e-3, 0.3, 3.0)]
SERIES_CHECKS = [(l, rho) for l in (3.0, 10.0) for rho in (1e-2, 3.0)]


def mu(r):
    return mp.sqrt(1 - r * r)


MU_PIECES = [(mp.mpf(0), mp.mpf(1), mu, [mp.mpf(1), mp.mpf(-1)])]
UNIFORM_PIECES = [(mp.mpf(0), mp.mpf(1), lambda r: mp.mpf(1), [])]


def mu_flux():
    """2 pi / 3, at the working precision of the call."""
    return 2 * mp.pi / 3


def mu_moment(k):
    """<r^2k> over I = mu, weight 2 r dr: B(k + 1, 3/2) / B(1, 3/2), B(1, 3/2) = 2/3."""
    return mp.beta(k + 1, mp.mpf(3) / 2) * mp.mpf(3) / 2


def uniform_value(l, rho):
    rho_ = mp.mpf(rho)
    return R.disk(R._exact_product(mp.mpf(l), rho_), rho_)


def mu_from_rings(l, rho):
    (v, e), = R.integrals_from_rings(l, rho, [MU_PIECES])
    return v / mu_flux(), e / mu_flux()


def mu_value(l, rho):
    if l < R.SERIES_FROM:
        return mu_from_rings(l, rho)
    return R.mean_value_series(l, rho, mu_moment)


def mu_from_disks(l, rho):
    rho_ = mp.mpf(rho)
    u = R._exact_product(mp.mpf(l), rho_)

    def g(th):
        r = mp.sin(th)
        return r * mp.pi * r * r * R.disk(u, R._exact_product(r, rho_))

    pts = [mp.asin(p) for p in R._breaks(l)]
    return mp.quad(g, pts) / mu_flux()


def unit(task):
    l, rho = task
    with mp.workdps(R.WIDE_DPS):
        v, e = mu_value(l, rho)
        return l, rho, R.fmt(uniform_value(l, rho)), R.fmt(v), e / v


def check(task):
    l, rho = task
    with mp.workdps(R.WIDE_DPS):
        closed = uniform_value(l, rho)
        (rings, _), = R.integrals_from_rings(l, rho, [UNIFORM_PIECES])
        rings /= mp.pi
        m_rings, _ = mu_from_rings(l, rho)
        if l < R.SERIES_FROM:
            m_other = mu_from_disks(l, rho)
        else:
            m_other, _ = R.mean_value_series(l, rho, mu_moment)
        return task, abs(rings / closed - 1), abs(m_other / m_rings - 1)


def main():
    import argparse
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--processes", type=int, default=2)
    args = parser.parse_args()
    t0 = time.time()
    tasks = [(l, rho) for rho in RHOS for l in LS]
    with multiprocessing.Pool(args.processes) as pool:
        checks = pool.map(check, CHECKS + SERIES_CHECKS, chunksize=1)
        for task, e_uniform, e_mu in checks:
            print(f"validation at (l, rho) = {task}: uniform rings vs closed form {mp.nstr(e_uniform, 3)}, "
                  f"mu second route {mp.nstr(e_mu, 3)}", flush=True)
            if not (e_uniform < TOL and e_mu < TOL):
                sys.exit(f"validation failed at {task}")
        rows = pool.map(unit, tasks, chunksize=1)
    worst = max(abs(e) for *_, e in rows)
    if not worst < TOL:
        sys.exit(f"error estimate too large: {worst}")
    data = {
        "about": ("Magnifications of a uniform star (I = 1) and of I = mu = sqrt(1 - r^2), each "
                  "normalised by its own flux, computed with mpmath by make_linear_law_reference.py; "
                  f"{R.STORE_DIGITS} significant digits. l in stellar radii, re = 1, rstar = rho. "
                  "The linear law I = 1 - u (1 - mu) has A_u = ((1 - u) A[1] + (2u/3) A[mu]) / (1 - u/3)."),
        "columns": ["l", "rho", "uniform", "mu"],
        "rows": [[l, rho, a1, amu] for l, rho, a1, amu, e in rows],
    }
    R.write_json(OUT, data)
    print(f"wrote {OUT}: {len(rows)} rows in {time.time() - t0:.0f} s (worst error estimate {mp.nstr(worst, 3)})")


if __name__ == "__main__":
    main()
