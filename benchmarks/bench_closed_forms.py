"""Cost of the two closed forms as Python sees them.

Uniform disk: `tarnivox.witt_mao_magnification` over a list of separations,
timed per element with the conversion of the list in and out included, beside
the same Witt & Mao closed form evaluated in C++ with the complete elliptic
integrals of libstdc++ (baseline_libstdcxx.cpp, compiled here and called
through ctypes on NumPy arrays).

Ring: `tarnivox.heyrovsky_magnification` per call from a tight Python loop,
beside `math.atan2(1.0, 2.0)` in the same loop (the cost of any call of a C
function from Python) and beside the same ring evaluations made in a C loop
(`_tarnivox_testing.ring_at`), so that the difference is the cost of the
Python call.

Run alone:  PYTHONPATH=<build dir> python3 benchmarks/bench_closed_forms.py [--quick]
"""

from __future__ import annotations

import argparse
import ctypes
import math
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import mpmath
import numpy as np

import _tarnivox_testing as testing
import tarnivox

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import Column, Method, Table, min_interleaved, relative_difference, target_verdict  # noqa: E402

HERE = Path(__file__).resolve().parent
RHOS = (1e-3, 1e-2, 0.1, 1.0)

# The rim limit takes over for |l - 1| < 1e-5; separations ten times farther
# than that are left out so that every element runs the elliptic integrals.
RIM_MARGIN = 1e-4

# tarnivox's time per element over libstdc++'s must not exceed this.
TARGET_RATIO = 0.6

# Points per source radius at which every method is compared with the exact
# closed form (mpmath at EXACT_DIGITS digits).
EXACT_POINTS = 100
EXACT_DIGITS = 40

# Ring radius (stellar radii) of the per-call ring benchmark.
RING_RADIUS = 0.6

FULL = {"elements": 100_000, "calls": 100_000, "rounds": 15}
QUICK = {"elements": 10_000, "calls": 10_000, "rounds": 3}


class BenchmarkError(RuntimeError):
    """A method disagreed with its reference: nothing is timed."""


# ---------------------------------------------------------------- inputs


@dataclass(frozen=True)
class Case:
    """One source radius rho (Einstein radii) with its separations l (stellar radii)."""

    rho: float
    l: np.ndarray
    l_list: list[float]


def separations(count: int) -> np.ndarray:
    """`count` separations evenly spread over (0, 3], less those near the rim."""
    l = 3.0 * np.arange(1, count + 1) / count
    return l[np.abs(l - 1.0) >= RIM_MARGIN]


# ---------------------------------------------------------------- libstdc++ baseline


class LibstdcxxBaseline:
    """baseline_libstdcxx.cpp, compiled into a temporary directory and loaded."""

    FLAGS = ["-O2", "-ffp-contract=off", "-std=c++17", "-shared", "-fPIC"]

    def __init__(self) -> None:
        source = HERE / "baseline_libstdcxx.cpp"
        with tempfile.TemporaryDirectory(prefix="tarnivox-bench-") as tmp:
            library = Path(tmp) / "libbaseline.so"
            subprocess.run(["g++", *self.FLAGS, "-o", str(library), str(source)], check=True)
            self.lib = ctypes.CDLL(str(library))  # stays mapped after the file goes
        doubles = ctypes.POINTER(ctypes.c_double)
        self.lib.witt_mao_libstdcxx.argtypes = [doubles, ctypes.c_size_t, ctypes.c_double, doubles]
        self.lib.witt_mao_libstdcxx.restype = ctypes.c_int
        self.lib.comp_ellint_libstdcxx.argtypes = [ctypes.c_double, ctypes.c_double, doubles]
        self.lib.comp_ellint_libstdcxx.restype = None
        self._doubles = doubles

    def comp_ellint(self, k: float, nu: float) -> tuple[float, float, float]:
        out = (ctypes.c_double * 3)()
        self.lib.comp_ellint_libstdcxx(k, nu, out)
        return out[0], out[1], out[2]

    def witt_mao_callable(self, l: np.ndarray, rho: float):
        """The timed call: one ctypes call over preallocated arrays."""
        l = np.ascontiguousarray(l, dtype=np.float64)
        out = np.empty_like(l)
        function = self.lib.witt_mao_libstdcxx
        l_ptr = l.ctypes.data_as(self._doubles)
        out_ptr = out.ctypes.data_as(self._doubles)
        count = l.size

        def call():
            function(l_ptr, count, rho, out_ptr)
            return out

        return call


def check_libstdcxx_convention(baseline: LibstdcxxBaseline) -> float:
    """std::comp_ellint_1/2/3 take the modulus k, and comp_ellint_3(k, nu) is
    Pi(n = nu, m = k^2) with the factor 1 / (1 - nu sin^2): compare with
    mpmath's K(m), E(m), Pi(n, m) (the same convention as DLMF 19.2.7).
    Returns the largest relative difference."""
    worst = 0.0
    for k, nu in [(0.3, 0.2), (0.8, 0.5), (0.95, 0.9), (0.999, 0.3), (0.5, 0.0)]:
        m = k * k
        got = baseline.comp_ellint(k, nu)
        exact = [float(mpmath.ellipk(m)), float(mpmath.ellipe(m)), float(mpmath.ellippi(nu, m))]
        diff = float(max(relative_difference(got, exact)))
        if diff > 1e-13:
            raise BenchmarkError(
                f"libstdc++ comp_ellint at k={k}, nu={nu}: got (K, E, Pi) = {got}, expected {exact} "
                f"(the sign convention of comp_ellint_3 is not the one the closed form needs)"
            )
        worst = max(worst, diff)
    return worst


# ---------------------------------------------------------------- exact reference


def witt_mao_exact(l: float, rho: float) -> float:
    """The Witt & Mao closed form at EXACT_DIGITS digits (mpmath's K, E, Pi take m)."""
    with mpmath.workdps(EXACT_DIGITS):
        l, rho = mpmath.mpf(l), mpmath.mpf(rho)
        u = l * rho
        d = u - rho
        s = u + rho
        t = mpmath.sqrt(d * d + 4)
        n = 4 * u * rho / (s * s)
        m = 4 * n / (4 + d * d)
        K, E = mpmath.ellipk(m), mpmath.ellipe(m)
        P = mpmath.ellippi(n, m) if n != 0 else K
        rho2 = rho * rho
        X = E * t * s / (2 * rho2) - d * ((u * u - rho2) / 2 + 4) / (rho2 * t) * K + P * (1 + rho2) * 2 * d * d / (
            rho2 * s * t
        )
        return float(X / mpmath.pi)


def exact_sample(case: Case) -> tuple[np.ndarray, np.ndarray]:
    """Indices of EXACT_POINTS evenly spread separations and the exact values there."""
    index = np.unique(np.linspace(0, case.l.size - 1, EXACT_POINTS).round().astype(int))
    return index, np.array([witt_mao_exact(float(case.l[i]), case.rho) for i in index])


# ---------------------------------------------------------------- methods

TARNIVOX = "tarnivox"
LIBSTDCXX = "libstdc++"


def disk_methods(baseline: LibstdcxxBaseline) -> list[Method]:
    """The uniform-disk methods; the first is tarnivox, the baseline is LIBSTDCXX."""

    def tarnivox_setup(case: Case):
        function, l_list, rho = tarnivox.witt_mao_magnification, case.l_list, case.rho
        return lambda: function(l_list, 1.0, rho)

    def tarnivox_array_setup(case: Case):
        function, l, rho = tarnivox.witt_mao_magnification, case.l, case.rho
        return lambda: function(l, 1.0, rho)

    return [
        # The closed form itself loses about eps / (l - 1)^2 near the rim
        # (cancellation between its terms), about 1e-8 at |l - 1| = 1e-4.
        Method(TARNIVOX, tarnivox_setup, reference="mpmath", rtol=1e-6),
        # The same call on a float64 NumPy array (read through the buffer protocol).
        Method(TARNIVOX + " (NumPy l)", tarnivox_array_setup, reference=TARNIVOX, rtol=0.0),
        Method(LIBSTDCXX, lambda case: baseline.witt_mao_callable(case.l, case.rho), reference=TARNIVOX, rtol=1e-12),
    ]


def _worst(diff: np.ndarray, l: np.ndarray) -> str:
    i = int(np.argmax(diff))
    return f"{diff[i]:.2e} at l = {l[i]!r}"


def run_disk(quick: bool) -> Table:
    sizes = QUICK if quick else FULL
    baseline = LibstdcxxBaseline()
    convention = check_libstdcxx_convention(baseline)
    methods = disk_methods(baseline)
    names = [m.name for m in methods]
    l = separations(sizes["elements"])
    cases = [Case(rho, l, l.tolist()) for rho in RHOS]

    # Values and checks, before any timing.
    measurements, accuracy, agreement = {}, {}, {}
    for case in cases:
        calls = {m.name: m.setup(case) for m in methods}
        values = {name: np.array(call(), dtype=float) for name, call in calls.items()}
        index, exact = exact_sample(case)
        for m in methods:
            err = relative_difference(values[m.name][index], exact)
            accuracy[case.rho, m.name] = float(err.max())
            if m.reference == "mpmath":
                diff, where, against = err, case.l[index], f"exact ({index.size} pts)"
            else:
                diff, where, against = relative_difference(values[m.name], values[m.reference]), case.l, m.reference
            if not diff.max() <= m.rtol:
                raise BenchmarkError(
                    f"{m.name} at rho={case.rho}: relative difference from {m.reference} "
                    f"{_worst(diff, where)} exceeds {m.rtol:g}"
                )
            agreement[case.rho, m.name] = f"vs {against}: {diff.max():.1e} (<= {m.rtol:g})"
            measurements[case.rho, m.name] = calls[m.name]

    best = min_interleaved(measurements, sizes["rounds"])

    table = Table(
        name="closed_forms_disk",
        title=f"Uniform disk (witt_mao_magnification): time per element, {l.size} separations in (0, 3] per rho",
        columns=[
            Column("rho", "g"),
            Column("method"),
            Column("ns/element", ".1f"),
            Column("x libstdc++", ".3f"),
            Column("target <= 0.6"),
            Column("max rel err vs exact", ".1e"),
            Column("checked"),
        ],
    )
    totals = dict.fromkeys(names, 0.0)
    for case in cases:
        base = best[case.rho, LIBSTDCXX]
        for name in names:
            seconds = best[case.rho, name]
            totals[name] += seconds
            ratio = seconds / base
            table.rows.append([
                case.rho,
                name,
                1e9 * seconds / l.size,
                ratio,
                target_verdict(ratio, TARGET_RATIO) if name == TARNIVOX else "",
                accuracy[case.rho, name],
                agreement[case.rho, name],
            ])
    overall = totals[TARNIVOX] / totals[LIBSTDCXX]
    table.notes += [
        f"All rho: tarnivox {1e9 * totals[TARNIVOX] / (len(cases) * l.size):.1f} ns/element, "
        f"libstdc++ {1e9 * totals[LIBSTDCXX] / (len(cases) * l.size):.1f} ns/element, "
        f"ratio {overall:.3f} (target <= {TARGET_RATIO}: {target_verdict(overall, TARGET_RATIO)}).",
        "tarnivox: one call on a Python list of floats, converting the list in and the result list out "
        "(NumPy l: the same on a float64 array); "
        "libstdc++: std::comp_ellint_1/2/3 in the same closed form, one ctypes call on NumPy arrays "
        f"(g++ {' '.join(LibstdcxxBaseline.FLAGS[:2])}).",
        f"Minimum of {sizes['rounds']} interleaved rounds. Separations with |l - 1| < {RIM_MARGIN:g} left out "
        f"(rim limit). Exact: the closed form in mpmath at {EXACT_DIGITS} digits on {EXACT_POINTS} evenly spread "
        "separations; the largest errors sit next to the rim, where the closed form cancels.",
        f"comp_ellint_3 convention checked against mpmath Pi(n, m = k^2): max rel diff {convention:.1e}.",
    ]
    return table


# ---------------------------------------------------------------- ring, per call


def _loop_first(function, xs, b, c, d):
    for x in xs:
        function(x, b, c, d)


def _loop_first2(function, xs, b):
    for x in xs:
        function(x, b)


def run_ring(quick: bool) -> Table:
    sizes = QUICK if quick else FULL
    calls = sizes["calls"]
    ones = [1.0] * calls
    # Separations over (0, 3], away from the ring itself (the near-ring
    # expansion has no elliptic integral).
    l = 3.0 * np.arange(1, calls + 1) / calls
    l = l[np.abs(l - RING_RADIUS) >= 1e-3]
    l_list = l.tolist()
    heyrovsky = tarnivox.heyrovsky_magnification

    measurements = {
        "atan2": lambda: _loop_first2(math.atan2, ones, 2.0),
        "trivial": lambda: _loop_first(heyrovsky, ones, 0.0, 1.0, 1.0),
        "trivial C": (lambda radii: lambda: testing.ring_at(1.0, radii, 1.0, 1.0))(np.zeros(calls)),
    }
    for rho in RHOS:
        measurements["ring", rho] = (lambda rho: lambda: _loop_first(heyrovsky, l_list, RING_RADIUS, 1.0, rho))(rho)
        # The same evaluations in a C loop, with l and r exchanged (the closed
        # form is symmetric in them, and ring_at takes one l and many radii).
        measurements["ring C", rho] = (lambda rho: lambda: testing.ring_at(RING_RADIUS, l, 1.0, rho))(rho)
    # Same values both ways round, before timing.
    for rho in RHOS:
        sample = l[:: max(1, l.size // 200)]
        a = np.array([heyrovsky(x, RING_RADIUS, 1.0, rho) for x in sample])
        b = np.array([heyrovsky(RING_RADIUS, x, 1.0, rho) for x in sample])
        diff = relative_difference(a, b)
        if not diff.max() <= 1e-12:
            raise BenchmarkError(f"heyrovsky_magnification not symmetric at rho={rho}: {_worst(diff, sample)}")

    best = min_interleaved(measurements, sizes["rounds"])

    table = Table(
        name="closed_forms_ring",
        title=f"Ring (heyrovsky_magnification): time per call from a Python loop of {calls} calls",
        columns=[
            Column("call"),
            Column("ns/call", ".1f"),
            Column("C evaluation ns", ".1f"),
            Column("Python call ns", ".1f"),
        ],
    )
    atan2 = 1e9 * best["atan2"] / calls
    table.rows.append(["math.atan2(1.0, 2.0)", atan2, math.nan, math.nan])
    trivial = 1e9 * best["trivial"] / calls
    trivial_c = 1e9 * best["trivial C"] / calls
    table.rows.append(["heyrovsky_magnification(1.0, 0.0, 1.0, 1.0)", trivial, trivial_c, trivial - trivial_c])
    for rho in RHOS:
        per_call = 1e9 * best["ring", rho] / l.size
        c_only = 1e9 * best["ring C", rho] / l.size
        table.rows.append([f"heyrovsky_magnification(l, {RING_RADIUS}, 1, {rho:g})", per_call, c_only, per_call - c_only])
    table.notes += [
        "Every row is one loop `for x in xs: f(x, ...)` over a prebuilt list; l spreads over (0, 3], "
        f"|l - {RING_RADIUS}| >= 1e-3, so every call runs the elliptic integrals (re = 1, rstar = rho).",
        "(1.0, 0.0, 1.0, 1.0): r = 0 gives m = n = 0, both kernels return pi/2 at once: the call's fixed cost.",
        "C evaluation: the same evaluations in a C loop (_tarnivox_testing.ring_at; l and r exchanged, "
        "the closed form is symmetric in them); Python call = ns/call - C evaluation.",
        f"Minimum of {sizes['rounds']} interleaved rounds.",
    ]
    return table


def run(quick: bool = False) -> list[Table]:
    return [run_disk(quick), run_ring(quick)]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few rounds")
    args = parser.parse_args(argv)
    for table in run(args.quick):
        print(table.text(), end="\n\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
