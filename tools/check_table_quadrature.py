"""How exactly the ring family integrates tables with the lens on the star.

A table is linear in r between its radii, so its exact magnification is a sum
of integrals over its segments, each of a smooth function except where the
ring through the lens (r = l) makes it logarithmic.  This script takes that
sum with scipy's adaptive quadrature (QUADPACK, split at every radius and at
l, relative tolerance 2e-14 per piece) over the ring magnification as the
integrand evaluates it (`_tarnivox_testing.ring_integrand`, itself checked
against mpmath in the tests), divides by the table's exact flux, and reports
the largest relative difference of `integrated_flux_map_heyrovsky_magnification`
from it, per table.

Usage:  PYTHONPATH=<build dir> python3 tools/check_table_quadrature.py
(about a minute; needs numpy and scipy)
"""
import math
import warnings

import numpy as np
from scipy.integrate import quad

import _tarnivox_testing as testing
import tarnivox


def graded(law, n):
    """The README's radii: even in r near the centre, even in sqrt(mu) near the rim."""
    s = np.linspace(0.0, 1.0, n)
    r = np.sin(0.5 * np.pi * (1.0 - (1.0 - s) ** 2))
    r[0], r[-1] = 0.0, 1.0
    return r.tolist(), law(np.sqrt(np.clip(1.0 - r * r, 0.0, None))).tolist()


def linear(mu):
    return 1.0 - 0.6 * (1.0 - mu)


def exact(l, rho, bl, bf):
    def f(r):
        return float(np.interp(r, bl, bf)) * (2.0 * math.pi * r) * testing.ring_integrand(l, r, 1.0, rho)

    knots = sorted({0.0, 1.0, *(x for x in bl if 0.0 < x < 1.0), *([l] if 0.0 < l < 1.0 else [])})
    total = 0.0
    for a, b in zip(knots, knots[1:]):
        if bl[0] <= a and b <= bl[-1]:
            total += quad(f, a, b, epsabs=0.0, epsrel=2e-14, limit=200)[0]
    flux = 0.0
    for x0, x1, y0, y1 in zip(bl, bl[1:], bf, bf[1:]):
        a, b = max(x0, 0.0), min(x1, 1.0)
        if a < b:
            slope = (y1 - y0) / (x1 - x0)
            flux += 2.0 * math.pi * ((y0 - x0 * slope) * (b * b - a * a) / 2.0 + slope * (b ** 3 - a ** 3) / 3.0)
    return total / flux


def main():
    warnings.simplefilter("ignore")  # QUADPACK's roundoff notes at the logarithm
    rng = np.random.default_rng(5)
    even = np.linspace(0.0, 1.0, 501)
    rough_r = np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0.0, 1.0, 60)]))
    tables = {
        "linear law, 101 graded radii": graded(linear, 101),
        "linear law, 501 graded radii": graded(linear, 501),
        "linear law, 501 even radii": (even.tolist(), linear(np.sqrt(1.0 - even * even)).tolist()),
        "62 random radii, random values": (rough_r.tolist(), rng.uniform(0.1, 1.0, rough_r.size).tolist()),
        "1 + 0.5 cos 9r on 0.2 <= r <= 0.8, 100 radii": (np.linspace(0.2, 0.8, 100).tolist(),
                                                        (1.0 + 0.5 * np.cos(9.0 * np.linspace(0.2, 0.8, 100))).tolist()),
    }
    ls = [0.0, 1e-3, 0.3, 0.5, 0.7, 0.9, 0.99, 0.999, 1.0, 1.001, 1.02] + rng.uniform(0.0, 1.0, 6).tolist()
    for name, (bl, bf) in tables.items():
        worst = (0.0, None)
        for rho in (1e-3, 0.1, 10.0):
            got = tarnivox.integrated_flux_map_heyrovsky_magnification(ls, 1.0, rho, bl, bf)
            for l, g in zip(ls, got):
                ref = exact(l, rho, bl, bf)
                err = abs(g - ref) / abs(ref)
                if err > worst[0]:
                    worst = (err, (l, rho))
        print(f"{name:46s} worst relative difference {worst[0]:.1e} at (l, rho) = {worst[1]}")


if __name__ == "__main__":
    main()
