#!/usr/bin/env python3
"""Reference magnifications of a point-mass lens for extended sources, to high precision.

Writes tests/data/magnification_reference.json with four tables:

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
  A_LD(l) = int_0^1 I(r) A_ring(l rho, r rho) 2 pi r dr / int_0^1 I(r) 2 pi r dr.

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
  int I dM = I(1) M(1) - int I'(r) M(r) dr with M(r) = pi r^2 A_disk(l rho, r rho).

Run from anywhere:  python3 tests/data/make_magnification_reference.py
(about five minutes on two cores).
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
    t0 = time.time()
    _init()
    rings, disks, lds, fars = ring_grid(), disk_grid(), ld_grid(), disk_far_grid()
    with multiprocessing.Pool(2, initializer=_init) as pool:
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

    data = {
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
    with open(OUT, "w") as fh:
        json.dump(data, fh, indent=0, separators=(",", ":"))
        fh.write("\n")
    print(f"wrote {OUT}: {len(rings)} ring, {len(disks)} disk, {len(fars)} far disk, "
          f"{len(lds)} limb-darkened values "
          f"in {time.time() - t0:.0f} s")


if __name__ == "__main__":
    main()
