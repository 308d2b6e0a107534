#!/usr/bin/env python3
"""Fingerprint of everything the module computes, to compare builds bit for bit.

    PYTHONPATH=<build dir> python3 tools/hash_outputs.py [--json FILE] [--compare FILE]
                                                         [--only NAME,...] [--dump FILE]

Evaluates the seven public functions of `tarnivox`, and every kernel of the
private test-support module `_tarnivox_testing`, on a fixed grid of inputs,
and prints one SHA-256 per function or kernel and one over all of them.  Two
builds of the same source (other compiler, other C++ standard library, other
flags) must print the same hashes: the formulas are evaluated in a fixed order
without contraction, and the mathematics library is the platform's.

What is hashed, per call, in order: the exact bit pattern of every result
(struct '<d'), the length of a list result, and for a call that raises, the
exception's module, qualified name and message.  Every NaN is hashed as the
one pattern 0x7ff8000000000000: IEEE 754 leaves the sign and payload of a NaN
result open when both operands are NaN, and compilers do order the operands
of + and * differently (clang++-19 and g++-12 return NaNs of opposite sign
from a ring sum whose ring and weight are both NaN); --nan-bits hashes them
as they are.  The inputs are not hashed; they are the same on every run:
each function's grid comes from its own random.Random seeded with a fixed
string, and is built from random()/randrange()/getrandbits(), math.ldexp,
math.nextafter and plain IEEE arithmetic only (no libm, no NumPy), so it does
not depend on the Python or NumPy version or the platform.

The grid covers, besides random values over many magnitudes: the rim of the
uniform disk (|rho (l - 1)| on both sides of the switch to the rim formula,
and a few ulps around it), the ring line of the ring formula (|l - r|
likewise), the switch to the small-disk expansion, far separations (up to
1e8, and a few up to 1e300), zeros
of both signs, negative values, NaN, +-inf, subnormal and huge values, and
the branch boundaries of the kernels (m near 0 and 1 and 1 - m below eps,
n near 1, negative n, n == m, the principal values of R_J and R_C, R_C's
y/x = 1/2 switch, R_J's 1.2 ratio shortcut, equal and zero arguments).
The switches are placed where the test-support module says the formulas put
them (RIM_FRACTION, NEAR_RING_FRACTION, SMALL_DISK_DISTANCE), so that a moved
threshold is still probed.
Functions that take a list of separations are called with chunks of it; a
chunk that raises is recorded as the error and then evaluated element by
element, so one failing element does not hide the others.

--json FILE     write the hashes (and the grid version and module paths) as JSON
--compare FILE  compare with a file written by --json; exit 1 naming every
                entry whose hash or count differs
--only NAMES    evaluate only these entries (comma-separated); the total then
                covers those only
--nan-bits      hash the sign and payload of NaNs too
--dump FILE     also write one line per call: entry, call number, arguments
                (repr) and outcome (repr and bits), to find the inputs on which
                two builds differ (diff the two dumps)
"""
import argparse
import array
import hashlib
import json
import math
import os
import random
import struct
import sys
import time

import _tarnivox_testing as T
import tarnivox

GRID_VERSION = 2
CANONICAL_NAN = struct.pack("<d", math.nan)
INF = math.inf
NAN = math.nan
# Where the formulas switch branches (1e-5, 1e-5 and 50 when these hashes
# were first taken).
RIM = T.RIM_FRACTION                  # |l - 1| < RIM: the disk's rim limit
NEAR_RING = T.NEAR_RING_FRACTION      # |l - r| < NEAR_RING l: the ring's expansion
SMALL_DISK = T.SMALL_DISK_DISTANCE    # u > SMALL_DISK a: the small-disk expansion

# Values that every grid mixes in.
SPECIAL = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-5, -1e-5, 1e-8, 1e8, 1e-300, 1e300,
    5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
    -1.7976931348623157e308, INF, -INF, NAN,
]


# ---------------------------------------------------------------------------
# Grid helpers: exact operations only.

def mag(rng, lo, hi):
    """A positive value with binary exponent in [lo, hi): log-uniform in magnitude."""
    return math.ldexp(1.0 + rng.random(), rng.randrange(lo, hi))


def smag(rng, lo, hi):
    """mag with a random sign."""
    x = mag(rng, lo, hi)
    return -x if rng.getrandbits(1) else x


def ulps(x, k):
    """x moved by k ulps (towards +inf for k > 0)."""
    step = INF if k > 0 else -INF
    for _ in range(abs(k)):
        x = math.nextafter(x, step)
    return x


def around(x, k=4):
    """x and its neighbours within k ulps."""
    return [ulps(x, j) for j in range(-k, k + 1)]


def both_sides(x, w, k):
    """The neighbours within k ulps of x + w, then of x - w."""
    return around(x + w, k) + around(x - w, k)


def pick(rng, seq):
    return seq[rng.randrange(len(seq))]


def wide(rng):
    """Any double: special values, tiny to huge magnitudes, either sign."""
    c = rng.randrange(10)
    if c == 0:
        return pick(rng, SPECIAL)
    if c < 3:
        return smag(rng, -1074, 1024)
    return smag(rng, -40, 40)


# ---------------------------------------------------------------------------
# Recording outcomes.

def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return ("err", f"{type(e).__module__}.{type(e).__qualname__}: {e}")


NAN_BITS = False     # --nan-bits


def encode(value):
    """Bytes of a result: floats by their bits, containers with their lengths."""
    if isinstance(value, float):
        if value != value and not NAN_BITS:
            return b"d" + CANONICAL_NAN
        return b"d" + struct.pack("<d", value)
    if isinstance(value, bool):
        return b"b" + bytes([value])
    if isinstance(value, int):
        return b"i" + str(value).encode() + b";"
    if value is None:
        return b"n"
    if isinstance(value, (list, tuple, array.array)):
        return b"l" + struct.pack("<Q", len(value)) + b"".join(encode(v) for v in value)
    raise TypeError(f"cannot encode {type(value).__name__}")


def describe(value):
    if isinstance(value, float):
        return f"{value!r}/{struct.unpack('<Q', struct.pack('<d', value))[0]:016x}"
    if isinstance(value, (list, tuple, array.array)):
        return "[" + ", ".join(describe(v) for v in value) + "]"
    return repr(value)


class Entry:
    def __init__(self, name, dump):
        self.name = name
        self.sha = hashlib.sha256()
        self.calls = 0
        self.inputs = 0
        self.dump = dump

    def call(self, fn, *args, inputs=1):
        kind, value = outcome(fn, *args)
        self.add(kind, value, args, inputs)
        return kind, value

    def add(self, kind, value, args=(), inputs=1):
        if kind == "ok":
            self.sha.update(encode(value))
        else:
            self.sha.update(b"E" + value.encode() + b"\0")
        if self.dump is not None:
            shown = describe(value) if kind == "ok" else "raise " + value.replace("\n", "\\n")
            self.dump.write(f"{self.name}\t{self.calls}\t{args!r}\t{shown}\n")
        self.calls += 1
        self.inputs += inputs

    def chunked(self, fn, ls, rest, size):
        """fn(chunk, *rest) for consecutive chunks of ls; a failing chunk is
        recorded and then evaluated element by element."""
        for i in range(0, len(ls), size):
            chunk = ls[i:i + size]
            kind, _ = self.call(fn, chunk, *rest, inputs=len(chunk))
            if kind == "err":
                for x in chunk:
                    self.call(fn, [x], *rest, inputs=0)


# ---------------------------------------------------------------------------
# Public functions.

# (re, rstar) pairs: rho = rstar / re from 1e-4 to 1e4, the same rho through
# other scales, and degenerate ones.
SCALES = [
    (1.0, 1e-4), (1.0, 1e-3), (1.0, 0.01), (1.0, 0.05), (1.0, 0.1), (1.0, 0.3),
    (1.0, 0.5), (1.0, 1.0), (1.0, 2.0), (1.0, 10.0), (1.0, 100.0), (1.0, 300.0),
    (1.0, 1000.0), (1.0, 1e4), (2.0, 0.2), (7.25e3, 1.5e3), (3e-7, 1.1e-8),
    (1.0, 0.0123456789),
]
ODD_SCALES = [
    (0.0, 1.0), (1.0, 0.0), (0.0, 0.0), (-1.0, 0.1), (1.0, -0.1), (-1.0, -1.0),
    (NAN, 1.0), (1.0, NAN), (INF, 1.0), (1.0, INF), (INF, INF), (5e-324, 1.0),
    (1.0, 5e-324), (1e300, 1e-300),
]


def rim_window(rng, rho, count):
    """Separations l near the rim, l = 1: |rho (l - 1)| and |l - 1| around
    RIM on both sides (a switch to the rim limit may be placed at either),
    and a few ulps around both switches."""
    out = []
    for _ in range(count // 2):
        out.append(1.0 + smag(rng, -20, -13) / rho)
        out.append(1.0 + smag(rng, -20, -13))
    for s in (RIM, -RIM):
        out.extend(around(1.0 + s / rho, 6))
        out.extend(around(1.0 + s, 6))
    out.extend([1.0, ulps(1.0, 1), ulps(1.0, -1)])
    return out


def small_disk_window(rng, count):
    """Separations around l = SMALL_DISK, where the small-disk expansion in
    the radius takes over."""
    out = [(SMALL_DISK - 10.0) + 20.0 * rng.random() for _ in range(count)]
    out += around(SMALL_DISK, 6) + around(SMALL_DISK - 1.0, 1) + around(SMALL_DISK + 1.0, 1)
    return out


def separations(rng, rho, n_uniform, n_log, n_rim, n_special):
    ls = [3.0 * rng.random() for _ in range(n_uniform)]
    ls += [mag(rng, -40, 27) for _ in range(n_log)]           # up to 1.3e8
    ls += rim_window(rng, rho, n_rim)
    ls += small_disk_window(rng, n_rim // 5)
    ls += [wide(rng) for _ in range(n_special)]
    ls += [0.0, -0.0, 1.0, 1e8, 5e7, 1e15, 1e150, 1e300, INF, -INF, NAN, -0.5, -1.0, -3.0]
    return ls


def witt_mao(entry, rng):
    for re, rstar in SCALES:
        rho = rstar / re
        ls = separations(rng, rho, 5000, 4000, 3000, 600)
        entry.chunked(tarnivox.witt_mao_magnification, ls, (re, rstar), 64)
    for re, rstar in ODD_SCALES:
        ls = separations(rng, 0.1, 150, 150, 100, 50)
        entry.chunked(tarnivox.witt_mao_magnification, ls, (re, rstar), 64)
    entry.call(tarnivox.witt_mao_magnification, [], 1.0, 0.1, inputs=0)


def heyrovsky(entry, rng):
    f = tarnivox.heyrovsky_magnification
    for re, rstar in SCALES[::2] + [(1.0, 1.0), (0.1, 1.0)]:
        for _ in range(6000):                     # inside and around the star
            entry.call(f, 3.0 * rng.random(), rng.random(), re, rstar)
        for _ in range(4000):                     # magnitudes far apart
            entry.call(f, mag(rng, -40, 27), mag(rng, -40, 14), re, rstar)
        for _ in range(4000):                     # the ring line, both sides
            r = mag(rng, -30, 14) if rng.getrandbits(1) else rng.random()
            entry.call(f, r + smag(rng, -20, -13), r, re, rstar)
            entry.call(f, r + r * smag(rng, -20, -13), r, re, rstar)
        for _ in range(60):                       # the switches at |l - r| = NEAR_RING (l or r)
            r = rng.random() if rng.getrandbits(1) else mag(rng, -10, 13)
            for s in (NEAR_RING, -NEAR_RING):
                for l in around(r + s, 3) + around(r + r * s, 3) + around(r / (1.0 - s), 3):
                    entry.call(f, l, r, re, rstar)
            entry.call(f, r, r, re, rstar)
        for _ in range(300):                      # far rings just off the line: m, n round to 1
            r = 1e3 + 1e5 * rng.random()
            for g in (NEAR_RING, -NEAR_RING, NEAR_RING * r):
                entry.call(f, r + g * (1.0 + 0.5 * rng.random()), r, re, rstar)
        for _ in range(500):
            entry.call(f, wide(rng), wide(rng), re, rstar)
        for l in (0.0, -0.0, 1.0, 0.5):
            for r in (0.0, -0.0, 1.0, 0.5, 1e-5, 1e-6):
                entry.call(f, l, r, re, rstar)
    for re, rstar in ODD_SCALES:
        for _ in range(200):
            entry.call(f, 3.0 * rng.random(), rng.random(), re, rstar)
        for _ in range(100):
            r = rng.random()
            entry.call(f, r + smag(rng, -20, -13), r, re, rstar)
        for _ in range(100):
            entry.call(f, wide(rng), wide(rng), re, rstar)


# Brightness tables (bl, bf) for the tabulated profiles and ring sums.
def tables(rng):
    grid = [j / 20 for j in range(21)]
    linear = [1.0 - 0.6 * (1.0 - math.sqrt(1.0 - r * r)) for r in grid]
    ragged = sorted(rng.random() for _ in range(13))
    return [
        ("linear-21", grid, linear),
        ("quadratic-41", [j / 40 for j in range(41)],
         [1.0 - 0.5 * (j / 40) - 0.2 * ((j / 40) * (j / 40)) for j in range(41)]),
        ("step", [0.0, 0.5, 0.5, 1.0], [1.0, 1.0, 0.25, 0.25]),
        ("short-0.8", [0.0, 0.4, 0.8], [1.0, 0.9, 0.5]),
        ("wide-1.5", [0.0, 0.7, 1.5], [2.0, 1.0, 0.0]),
        ("ragged", [0.0] + ragged + [1.0], [rng.random() for _ in range(15)]),
        ("one-point", [0.5], [1.0]),
        ("empty", [], []),
        ("negative", [0.0, 0.5, 1.0], [1.0, -0.5, 0.2]),
        ("nan", [0.0, 0.5, 1.0], [1.0, NAN, 0.5]),
        ("inf", [0.0, 0.5, 1.0], [1.0, INF, 0.5]),
        ("zero", [0.0, 1.0], [0.0, 0.0]),
        ("unsorted", [0.0, 0.9, 0.3, 1.0], [1.0, 0.2, 0.7, 0.4]),
        ("mismatched", [0.0, 0.5, 1.0], [1.0, 0.5]),
    ] + rough_tables()


def rough_tables():
    """Long rough tables, whose layers on the star are summed by groups of
    segments: random values at even radii, and at radii at random (narrow steep
    segments among wide ones).  From a generator of their own, so that the other
    tables' draws stay as they were."""
    own = random.Random("rough tables")
    even = [j / 200 for j in range(201)]
    spread = [0.0] + sorted(own.random() for _ in range(199)) + [1.0]
    return [
        ("rough-201", even, [0.1 + 0.9 * own.random() for _ in range(201)]),
        ("scattered-201", spread, [0.1 + 0.9 * own.random() for _ in range(201)]),
    ]


def ring_tables(rng):
    radii = [(j + 0.5) / 10 for j in range(10)]
    many = [(j + 0.5) / 30 for j in range(30)]
    return [
        ("uniform-10", radii, [0.2 * r for r in radii]),
        ("limb-30", many, [(1.0 - 0.6 * (1.0 - math.sqrt(1.0 - r * r))) * r / 9.0 for r in many]),
        ("single", [0.7], [1.0]),
        ("empty", [], []),
        ("odd", [0.0, -0.5, 0.5, 2.0, 1e4], [1.0, -2.0, 0.5, NAN, 1e-3]),
        ("big", [mag(rng, -10, 14) for _ in range(8)], [rng.random() for _ in range(8)]),
        ("mismatched", [0.1, 0.2], [1.0]),
    ]


def discrete(entry, rng):
    f = tarnivox.discrete_flux_map_heyrovsky_magnification
    for re, rstar in [(1.0, 0.1), (1.0, 1.0), (1.0, 0.01), (1.0, 5.0), (2.0, 0.2), (0.0, 1.0)]:
        for _, bl, bf in ring_tables(rng):
            ls = [3.0 * rng.random() for _ in range(250)]
            ls += [mag(rng, -30, 27) for _ in range(100)]
            for r in bl[:10]:
                ls += [r + smag(rng, -20, -13) for _ in range(10)]
                ls += [r + r * smag(rng, -20, -13) for _ in range(5)]
                ls += both_sides(r, NEAR_RING, 2) + [r]
            ls += [wide(rng) for _ in range(40)]
            entry.chunked(f, ls, (re, rstar, bl, bf), 32)


def integrated_separations(rng, rho, n):
    """About n separations for the quadrature-based functions."""
    ls = [2.0 * rng.random() for _ in range(n // 2)]
    ls += [mag(rng, -30, 27) for _ in range(n // 5)]
    ls += rim_window(rng, rho, n // 10)
    ls += [1.0 + smag(rng, -40, -3) for _ in range(n // 10)]
    ls += small_disk_window(rng, n // 40)
    ls += [wide(rng) for _ in range(n // 20)]
    ls += [0.0, -0.0, 1.0, 1e8, 1e300, INF, -INF, NAN, -0.5]
    return ls


INTEGRATED_SCALES = [(1.0, 0.001), (1.0, 0.1), (1.0, 1.0), (1.0, 30.0), (2.0, 0.2)]
INTEGRATED_ODD = [(0.0, 1.0), (1.0, 0.0), (NAN, 1.0), (-1.0, 0.1), (1.0, INF)]


def integrated(fn):
    def run(entry, rng):
        for re, rstar in INTEGRATED_SCALES:
            entry.chunked(fn, integrated_separations(rng, rstar / re, 1500), (re, rstar), 16)
        for re, rstar in INTEGRATED_ODD:
            entry.chunked(fn, integrated_separations(rng, 0.1, 40), (re, rstar), 16)
    return run


def integrated_flux_map(fn):
    def run(entry, rng):
        for name, bl, bf in tables(rng):
            main = name in ("linear-21", "step", "ragged")
            for re, rstar in INTEGRATED_SCALES[1:4] if main else INTEGRATED_SCALES[1:2]:
                ls = integrated_separations(rng, rstar / re, 900 if main else 80)
                entry.chunked(fn, ls, (re, rstar, bl, bf), 16)
    return run


# ---------------------------------------------------------------------------
# Kernels of the test-support module.

def m_values(rng, count):
    """Parameters m (or n): all of (-inf, 1] and beyond, dense near 0 and 1."""
    out = []
    for _ in range(count):
        c = rng.randrange(8)
        if c < 2:
            out.append(rng.random())
        elif c == 2:
            out.append(1.0 - mag(rng, -60, -1))         # 1 - m from 2^-60 up
        elif c == 3:
            out.append(1.0 - math.ldexp(rng.randrange(1, 8), -53))   # 1 - m < eps
        elif c == 4:
            out.append(smag(rng, -1074, -1))             # near 0, both signs
        elif c == 5:
            out.append(-mag(rng, -10, 70))               # negative
        elif c == 6:
            out.append(1.0 + mag(rng, -60, 10))          # beyond 1
        else:
            out.append(wide(rng))
    out += [0.0, -0.0, 0.5, 1.0, ulps(1.0, -1), ulps(1.0, 1), -0.5, -3.0, 1.5,
            INF, -INF, NAN, 5e-324, -5e-324]
    return out


def legendre1(fn):
    def run(entry, rng):
        for m in m_values(rng, 40000):
            entry.call(fn, m)
    return run


def ellippi(entry, rng):
    ms = m_values(rng, 3000)
    ns = m_values(rng, 3000)
    for _ in range(50000):
        entry.call(T.ellippi, pick(rng, ns), pick(rng, ms))
    for _ in range(3000):                                  # n == m
        m = pick(rng, ms)
        entry.call(T.ellippi, m, m)
    for _ in range(3000):                                  # n near 1 with m < n
        n = 1.0 - mag(rng, -55, -1)
        entry.call(T.ellippi, n, n * rng.random())
    for _ in range(3000):                                  # the ring and disk formulas' n, m
        u, rho = rng.random() * 3.0, mag(rng, -14, 10)
        s = u + rho
        n = (4.0 * rho * u) / (s * s)
        d = u - rho
        k = math.sqrt(n * 4.0) / math.sqrt(d * d + 4.0)
        entry.call(T.ellippi, n, k * k)


def ellippi_many(entry, rng):
    good = [(rng.random(), rng.random()) for _ in range(4000)]
    good += [(-mag(rng, -30, 30), 1.0 - mag(rng, -50, -1)) for _ in range(2000)]
    for i in range(0, len(good), 500):
        chunk = good[i:i + 500]
        n = array.array("d", [p[0] for p in chunk])
        m = array.array("d", [p[1] for p in chunk])
        out = array.array("d", bytes(8 * len(chunk)))
        kind, value = outcome(T.ellippi_many, n, m, out)
        entry.add(kind, out if kind == "ok" else value, (n, m), len(chunk))
    for n, m in [([0.5, 1.0], [0.5, 0.5]), ([0.5, 0.2], [0.5, 1.0]), ([NAN], [0.5]), ([0.5], [])]:
        out = array.array("d", bytes(8 * len(n)))
        kind, value = outcome(T.ellippi_many, array.array("d", n), array.array("d", m), out)
        entry.add(kind, out if kind == "ok" else value, (n, m), len(n))


def carlson_args(rng, k):
    """k arguments of R_F, R_D or R_J: moderate, extreme, zero, equal, special."""
    c = rng.randrange(10)
    if c < 4:
        return [mag(rng, -60, 60) for _ in range(k)]
    if c == 4:
        return [mag(rng, -1074, 1024) for _ in range(k)]
    if c == 5:                                              # one zero
        a = [mag(rng, -60, 60) for _ in range(k)]
        a[rng.randrange(min(k, 3))] = 0.0
        return a
    if c == 6:                                              # equal arguments
        v = mag(rng, -60, 60)
        a = [mag(rng, -60, 60) for _ in range(k)]
        for j in rng.sample(range(k), rng.randrange(2, k + 1)):
            a[j] = v
        return a
    if c == 7:                                              # close to each other
        v = mag(rng, -60, 60)
        return [ulps(v, rng.randrange(-3, 4)) if rng.getrandbits(1) else v * (1.0 + 0.01 * rng.random())
                for _ in range(k)]
    if c == 8:                                              # the Legendre reductions
        m = rng.random()
        a = [0.0, 1.0 - m, 1.0]
        if k == 4:
            a.append(1.0 - rng.random() if rng.getrandbits(1) else (1.0 - m) / (1.0 + mag(rng, -30, 30)))
        return a
    return [pick(rng, SPECIAL) if rng.randrange(3) else mag(rng, -10, 10) for _ in range(k)]


def carlson(fn, k, count):
    def run(entry, rng):
        for _ in range(count):
            entry.call(fn, *carlson_args(rng, k))
        for _ in range(count // 20):                        # negatives
            a = carlson_args(rng, k)
            a[rng.randrange(k)] = -mag(rng, -40, 40)
            entry.call(fn, *a)
        specials = [0.0, 1.0, 2.0, INF, NAN, -1.0, 5e-324]
        if k == 3:
            for x in specials:
                for y in specials:
                    for z in specials:
                        entry.call(fn, x, y, z)
    return run


def elliprj(entry, rng):
    carlson(T.elliprj, 4, 50000)(entry, rng)
    for _ in range(6000):                                   # principal value, p < 0
        x, y, z = [mag(rng, -40, 40) if rng.randrange(6) else 0.0 for _ in range(3)]
        entry.call(T.elliprj, x, y, z, -mag(rng, -40, 40))
    for _ in range(2000):                                   # p == z, p == 0
        x, y, z = [mag(rng, -20, 20) for _ in range(3)]
        entry.call(T.elliprj, x, y, z, z)
        entry.call(T.elliprj, x, y, z, 0.0)
    for _ in range(2000):                                   # y == z, p/y around 1.2
        x, y = mag(rng, -20, 20), mag(rng, -20, 20)
        p = y * 1.2 if rng.getrandbits(1) else y / 1.2
        for q in around(p, 2):
            entry.call(T.elliprj, x, y, y, q)
        entry.call(T.elliprj, x, y, y, y * (0.5 + rng.random()))
    for _ in range(1000):                                   # x == y == z
        x = mag(rng, -30, 30)
        entry.call(T.elliprj, x, x, x, x)
        entry.call(T.elliprj, x, x, x, smag(rng, -30, 30))


def elliprc(entry, rng):
    for _ in range(30000):
        c = rng.randrange(6)
        if c == 0:                                          # y/x around 1/2
            x = mag(rng, -60, 60)
            entry.call(T.elliprc, x, ulps(x * 0.5, rng.randrange(-3, 4)))
        elif c == 1:                                        # x == y, x == 0
            x = mag(rng, -60, 60)
            entry.call(T.elliprc, x, x)
            entry.call(T.elliprc, 0.0, smag(rng, -60, 60))
        elif c == 2:                                        # principal value
            entry.call(T.elliprc, mag(rng, -60, 60), -mag(rng, -60, 60))
        elif c == 3:
            entry.call(T.elliprc, mag(rng, -1074, 1024), smag(rng, -1074, 1024))
        elif c == 4:
            x = mag(rng, -20, 20)
            entry.call(T.elliprc, x, x * (0.5 + rng.random()))
        else:
            entry.call(T.elliprc, wide(rng), wide(rng))
    for x in SPECIAL:
        for y in SPECIAL:
            entry.call(T.elliprc, x, y)


def concentric_disk(entry, rng):
    for _ in range(10000):
        a = mag(rng, -20, 14)
        entry.call(T.concentric_disk, a * 3.0 * rng.random(), a)
        entry.call(T.concentric_disk, a + smag(rng, -20, -13), a)          # the rim
        entry.call(T.concentric_disk, mag(rng, -30, 27), a)                # far
    for _ in range(200):
        a = rng.random()
        for u in both_sides(a, RIM, 3) + [a] + around(a * (1.0 + RIM), 3):
            entry.call(T.concentric_disk, u, a)
        u = mag(rng, -10, 10)                     # radius 1 / SMALL_DISK of the distance
        f = 1.0 / SMALL_DISK
        for a in around(f * u, 3) + [u * (0.5 * f + f * rng.random())]:
            entry.call(T.concentric_disk, u, a)
    for _ in range(3000):
        entry.call(T.concentric_disk, wide(rng), wide(rng))


def integrate(entry, rng):
    seen = []

    def recording(x):
        seen.append(x)
        return x * x

    def raising(x):
        if x > 0.7:
            raise ZeroDivisionError("integrand fails above 0.7")
        return x

    integrands = [
        lambda x: 1.0,
        lambda x: x,
        lambda x: math.sqrt(1.0 - x * x) if -1.0 <= x <= 1.0 else NAN,
        lambda x: 1.0 / math.sqrt(x) if x > 0.0 else INF,
        lambda x: NAN if x > 0.9 else x * x * x,
        lambda x: 0.0,
        lambda x: 1.0 / (x - 0.3) if x != 0.3 else INF,
        lambda x: 1e300 * x if x > 0.5 else -1e300,
        recording,
        raising,
    ]
    intervals = [(0.0, 1.0), (-1.0, 1.0), (0.0, 0.0), (1.0, 0.0), (0.0, 1e-300),
                 (-1e300, 1e300), (0.0, INF), (NAN, 1.0), (0.25, 0.75)]
    tolerances = [1e-16, 1e-10, 1e-3, 0.0, -1.0, INF, NAN]
    for f in integrands:
        for a, b in intervals:
            for tol in tolerances:
                del seen[:]
                entry.call(T.integrate, f, a, b, tol)
                if seen:
                    entry.add("ok", list(seen), ("abscissae",), 0)
    for _ in range(200):
        a = smag(rng, -20, 5)
        entry.call(T.integrate, integrands[2], a, a + mag(rng, -20, 2), 1e-16)


def interp(entry, rng):
    modes = [("extend", 0.0), ("hold", 0.0), ("fill", 0.0), ("fill", -1.5), ("fill", NAN)]
    for _ in range(2500):
        n = rng.randrange(0, 12)
        x = sorted(smag(rng, -10, 10) for _ in range(n))
        c = rng.randrange(6)
        if c == 0 and n > 2:
            x[rng.randrange(n - 1)] = x[rng.randrange(n)]       # unsorted or repeated
        elif c == 1 and n > 1:
            x[1] = x[0]                                          # zero-width first segment
        ny = max(0, n + rng.choice((0, 0, 0, -1, 1, -3)))     # y may be shorter or longer
        y = [smag(rng, -10, 10) if rng.randrange(10) else pick(rng, SPECIAL) for _ in range(ny)]
        points = [pick(rng, x) for _ in range(2)] if x else []
        points += [smag(rng, -10, 10), pick(rng, SPECIAL)]
        if x:
            points += [x[0] - 1.0, x[-1] + 1.0, 0.5 * (x[0] + x[-1])]
        for xp in points:
            for mode, fill in modes:
                for prepared in (False, True):
                    entry.call(T.interp, x, y, xp, mode, fill, prepared)
    entry.call(T.interp, [0.0, 1.0], [0.0, 1.0], 0.5, "nearest", 0.0, False)


def tanh_sinh_nodes(entry, rng):
    entry.call(T.tanh_sinh_nodes)


def buffer_sums(fn):
    def run(entry, rng):
        for re, rstar in [(1.0, 0.1), (1.0, 1.0), (1.0, 0.001), (2.0, 30.0), (0.0, 1.0), (1.0, NAN)]:
            for _ in range(200):
                radii = array.array("d", [rng.random() for _ in range(40)]
                                    + [pick(rng, SPECIAL) for _ in range(3)]
                                    + [1.0 + smag(rng, -40, -3) for _ in range(5)])
                l = pick(rng, radii) + smag(rng, -20, -13) if rng.getrandbits(1) else 3.0 * rng.random()
                entry.call(fn, l, radii, re, rstar, inputs=len(radii))
                entry.call(fn, wide(rng), radii, re, rstar, inputs=len(radii))
        entry.call(fn, 0.5, [0.5], 1.0, 1.0)               # not a float64 buffer
    return run


def integrated_nodes(entry, rng):
    for family in ("ring", "disk"):
        for re, rstar in [(1.0, 0.1), (1.0, 1.0), (2.0, 0.2)]:
            for l in integrated_separations(rng, rstar / re, 100):
                entry.call(T.integrated_nodes, family, l, re, rstar)
    entry.call(T.integrated_nodes, "annulus", 0.5, 1.0, 0.1)


ENTRIES = [
    ("witt_mao_magnification", witt_mao),
    ("integrated_witt_mao_magnification", integrated(tarnivox.integrated_witt_mao_magnification)),
    ("integrated_flux_map_witt_mao_magnification",
     integrated_flux_map(tarnivox.integrated_flux_map_witt_mao_magnification)),
    ("heyrovsky_magnification", heyrovsky),
    ("integrated_heyrovsky_magnification", integrated(tarnivox.integrated_heyrovsky_magnification)),
    ("integrated_flux_map_heyrovsky_magnification",
     integrated_flux_map(tarnivox.integrated_flux_map_heyrovsky_magnification)),
    ("discrete_flux_map_heyrovsky_magnification", discrete),
    ("testing.elliprf", carlson(T.elliprf, 3, 50000)),
    ("testing.elliprd", carlson(T.elliprd, 3, 50000)),
    ("testing.elliprj", elliprj),
    ("testing.elliprc", elliprc),
    ("testing.ellipk", legendre1(T.ellipk)),
    ("testing.ellipe", legendre1(T.ellipe)),
    ("testing.ellippi", ellippi),
    ("testing.ellippi_many", ellippi_many),
    ("testing.concentric_disk", concentric_disk),
    ("testing.integrate", integrate),
    ("testing.interp", interp),
    ("testing.tanh_sinh_nodes", tanh_sinh_nodes),
    ("testing.ring_at", buffer_sums(T.ring_at)),
    ("testing.disk_at", buffer_sums(T.disk_at)),
    ("testing.integrated_nodes", integrated_nodes),
]


def total_of(entries):
    sha = hashlib.sha256()
    for name, e in entries.items():
        sha.update(f"{name} {e['calls']} {e['inputs']} {e['sha256']}\n".encode())
    return sha.hexdigest()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--json", metavar="FILE", help="write the hashes to FILE")
    p.add_argument("--compare", metavar="FILE", help="compare with hashes stored by --json")
    p.add_argument("--only", metavar="NAMES", help="comma-separated entries to evaluate")
    p.add_argument("--dump", metavar="FILE", help="write every call's arguments and outcome")
    p.add_argument("--nan-bits", action="store_true", help="hash the sign and payload of NaNs too")
    args = p.parse_args()
    global NAN_BITS
    NAN_BITS = args.nan_bits

    modules = {os.path.dirname(os.path.abspath(m.__file__)) for m in (tarnivox, T)}
    if len(modules) != 1:
        sys.exit(f"tarnivox and _tarnivox_testing come from different directories: {sorted(modules)}")
    wanted = [n for n, _ in ENTRIES]
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - {n for n, _ in ENTRIES}
        if unknown:
            sys.exit(f"unknown entries: {', '.join(sorted(unknown))}")

    print(f"module: {tarnivox.__file__}")
    dump = open(args.dump, "w") if args.dump else None
    results = {}
    start = time.perf_counter()
    for name, run in ENTRIES:
        if name not in wanted:
            continue
        t0 = time.perf_counter()
        entry = Entry(name, dump)
        run(entry, random.Random(f"tarnivox output hash {GRID_VERSION}: {name}"))
        results[name] = {"calls": entry.calls, "inputs": entry.inputs, "sha256": entry.sha.hexdigest()}
        print(f"{name:45s} {entry.inputs:8d} inputs {entry.calls:7d} calls "
              f"{time.perf_counter() - t0:6.1f} s  {entry.sha.hexdigest()[:16]}", flush=True)
    if dump:
        dump.close()
    total = total_of(results)
    n_inputs = sum(e["inputs"] for e in results.values())
    print(f"{'total':45s} {n_inputs:8d} inputs {sum(e['calls'] for e in results.values()):7d} calls "
          f"{time.perf_counter() - start:6.1f} s  {total[:16]}")
    print(f"total sha256: {total}")

    document = {"grid_version": GRID_VERSION, "nan_bits": NAN_BITS, "module": tarnivox.__file__,
                "entries": results, "total": total}
    if args.json:
        with open(args.json, "w") as f:
            json.dump(document, f, indent=1)
            f.write("\n")
    if args.compare:
        with open(args.compare) as f:
            other = json.load(f)
        if (other.get("grid_version"), other.get("nan_bits")) != (GRID_VERSION, NAN_BITS):
            sys.exit(f"{args.compare}: grid version {other.get('grid_version')}, nan_bits "
                     f"{other.get('nan_bits')}; here {GRID_VERSION}, {NAN_BITS}")
        differ = []
        for name in results:
            theirs = other["entries"].get(name)
            if theirs is None:
                differ.append(f"{name}: not in {args.compare}")
            elif theirs != results[name]:
                differ.append(f"{name}: {results[name]['sha256'][:16]} ({results[name]['calls']} calls) here, "
                              f"{theirs['sha256'][:16]} ({theirs['calls']} calls) in {args.compare} "
                              f"({other.get('module')})")
        if not args.only:
            differ += [f"{name}: only in {args.compare}" for name in other["entries"] if name not in results]
        if differ:
            print(f"DIFFERENT from {args.compare}:")
            for line in differ:
                print("  " + line)
            sys.exit(1)
        print(f"identical to {args.compare} ({len(results)} entries)")


if __name__ == "__main__":
    main()
