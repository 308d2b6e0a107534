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
from harness import (  # noqa: E402
    Column, Method, Table, TargetResult, min_interleaved, min_interleaved_chunked, relative_difference,
    target_verdict,
)

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

# heyrovsky_magnification(1.0, 0.0, 1.0, 1.0) per call over math.atan2(1.0, 2.0) per call.
CALL_TARGET = 1.5

# Time of a call on a float64 NumPy array over the same call on a list.
SEQUENCE_TARGET = 1.1

# Ring radius (stellar radii) of the per-call ring benchmark.
RING_RADIUS = 0.6

FULL = {"elements": 100_000, "calls": 100_000, "rounds": 31}
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
            measurements[case.rho, m.name] = (
                case.l.size,
                lambda lo, hi, m=m, case=case: m.setup(Case(case.rho, case.l[lo:hi], case.l_list[lo:hi])),
            )

    best = min_interleaved_chunked(measurements, sizes["rounds"])

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
    worst_rho = max(RHOS, key=lambda rho: best[rho, TARNIVOX] / best[rho, LIBSTDCXX])
    worst = best[worst_rho, TARNIVOX] / best[worst_rho, LIBSTDCXX]
    table.targets.append(TargetResult.at_most(
        "witt_mao_magnification vs the libstdc++ closed form", "time per point ratio", worst, TARGET_RATIO,
        f"worst rho = {worst_rho:g} (all rho: {overall:.3f}); {l.size} separations, Python list in and out"))
    table.notes += [
        f"All rho: tarnivox {1e9 * totals[TARNIVOX] / (len(cases) * l.size):.1f} ns/element, "
        f"libstdc++ {1e9 * totals[LIBSTDCXX] / (len(cases) * l.size):.1f} ns/element, "
        f"ratio {overall:.3f} (target <= {TARGET_RATIO}: {target_verdict(overall, TARGET_RATIO)}).",
        "tarnivox: one call on a Python list of floats, converting the list in and the result list out "
        "(NumPy l: the same on a float64 array); "
        "libstdc++: std::comp_ellint_1/2/3 in the same closed form, one ctypes call on NumPy arrays "
        f"(g++ {' '.join(LibstdcxxBaseline.FLAGS[:2])}).",
        f"Time: the sum over chunks of the separations (about 0.5 ms of work each, one call per chunk) of the "
        f"minimum of {sizes['rounds']} interleaved rounds. Separations with |l - 1| < {RIM_MARGIN:g} left out "
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

    # Each entry: (number of calls, make(lo, hi) -> the loop over calls lo to hi - 1).
    zeros = np.zeros(calls)
    measurements = {
        "atan2": (calls, lambda lo, hi: (lambda xs=ones[lo:hi]: _loop_first2(math.atan2, xs, 2.0))),
        "trivial": (calls, lambda lo, hi: (lambda xs=ones[lo:hi]: _loop_first(heyrovsky, xs, 0.0, 1.0, 1.0))),
        "trivial C": (calls, lambda lo, hi: (lambda radii=zeros[lo:hi]: testing.ring_at(1.0, radii, 1.0, 1.0))),
    }
    for rho in RHOS:
        measurements["ring", rho] = (l.size, lambda lo, hi, rho=rho: (
            lambda xs=l_list[lo:hi]: _loop_first(heyrovsky, xs, RING_RADIUS, 1.0, rho)))
        # The same evaluations in a C loop, with l and r exchanged (the closed
        # form is symmetric in them, and ring_at takes one l and many radii).
        measurements["ring C", rho] = (l.size, lambda lo, hi, rho=rho: (
            lambda radii=l[lo:hi]: testing.ring_at(RING_RADIUS, radii, 1.0, rho)))
    # Same values both ways round, before timing.
    for rho in RHOS:
        sample = l[:: max(1, l.size // 200)]
        a = np.array([heyrovsky(x, RING_RADIUS, 1.0, rho) for x in sample])
        b = np.array([heyrovsky(RING_RADIUS, x, 1.0, rho) for x in sample])
        diff = relative_difference(a, b)
        if not diff.max() <= 1e-12:
            raise BenchmarkError(f"heyrovsky_magnification not symmetric at rho={rho}: {_worst(diff, sample)}")

    best = min_interleaved_chunked(measurements, sizes["rounds"])

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
    table.targets.append(TargetResult.at_most(
        "call overhead: heyrovsky_magnification(1.0, 0.0, 1.0, 1.0)", "time per call / math.atan2(1.0, 2.0)",
        trivial / atan2, CALL_TARGET, f"{trivial:.1f} ns vs {atan2:.1f} ns per call"))
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
        f"Time: the sum over chunks of the calls (about 0.5 ms each) of the minimum of {sizes['rounds']} "
        "interleaved rounds.",
    ]
    return table


# ---------------------------------------------------------------- sequences


def run_sequences(quick: bool) -> Table:
    """The same witt_mao_magnification call with l as a float64 NumPy array and
    as a list of the same floats.  On the rim (|l - 1| < 1e-5) the closed form
    is a handful of operations, so reading l and building the result list are
    most of the call: the hardest case for the array; the general branch shows
    the ordinary case."""
    sizes = QUICK if quick else FULL
    rho = 0.1
    rng = np.random.default_rng(20261208)
    count = sizes["elements"]
    rim = 1.0 + rng.uniform(-0.9e-5, 0.9e-5, count)
    general = separations(count)
    cases = [
        ("rim branch", rim[:1]),
        ("rim branch", rim[:100]),
        ("rim branch", rim),
        ("general branch", general),
    ]
    function = tarnivox.witt_mao_magnification
    measurements = {}
    for i, (_, l) in enumerate(cases):
        l = np.ascontiguousarray(l, dtype=np.float64)
        as_list = l.tolist()
        if function(l, 1.0, rho) != function(as_list, 1.0, rho):
            raise BenchmarkError(f"witt_mao_magnification differs between an array and a list ({l.size} elements)")
        # Short inputs are repeated inside one timed call so that the clock's
        # resolution does not matter.
        repeat = max(1, 20_000 // l.size)
        measurements["list", i] = (lambda l=as_list, repeat=repeat: [function(l, 1.0, rho) for _ in range(repeat)])
        measurements["array", i] = (lambda l=l, repeat=repeat: [function(l, 1.0, rho) for _ in range(repeat)])
    best = min_interleaved(measurements, sizes["rounds"])

    table = Table(
        name="sequences",
        title=f"Sequences: witt_mao_magnification(l, 1, {rho:g}) with l a list or a float64 NumPy array",
        columns=[
            Column("separations"),
            Column("elements", "d"),
            Column("list ns/element", ".1f"),
            Column("array ns/element", ".1f"),
            Column("array / list", ".3f"),
            Column(f"target <= {SEQUENCE_TARGET}"),
        ],
    )
    # One summary line for a single separation (the fixed cost of reading
    # the argument) and one for longer inputs (the cost per element).
    worst = {True: (0.0, ""), False: (0.0, "")}
    for i, (kind, l) in enumerate(cases):
        calls = l.size * max(1, 20_000 // l.size)
        ratio = best["array", i] / best["list", i]
        table.rows.append([kind, l.size, 1e9 * best["list", i] / calls, 1e9 * best["array", i] / calls, ratio,
                           target_verdict(ratio, SEQUENCE_TARGET)])
        single = l.size == 1
        if not ratio <= worst[single][0]:
            worst[single] = (ratio, f"worst: {kind}, {l.size} element{'' if single else 's'}")
    for single, what in ((False, "100 or more elements"), (True, "1 element")):
        table.targets.append(TargetResult.at_most(
            f"sequences: l as a float64 NumPy array vs a list, {what}", "time ratio array / list",
            worst[single][0], SEQUENCE_TARGET, worst[single][1]))
    table.notes += [
        "Rim branch: l = 1 + e, |e| < 0.9e-5 (no elliptic integral, so the conversions dominate); general branch: "
        "the separations of the uniform-disk table. Both calls return a new list of floats; the results are checked "
        "equal before timing.",
        f"Inputs shorter than 20000 elements are passed repeatedly within one timed loop; minimum of "
        f"{sizes['rounds']} interleaved rounds.",
    ]
    return table


def run(quick: bool = False) -> list[Table]:
    return [run_disk(quick), run_ring(quick), run_sequences(quick)]


if __name__ == "__main__":
    import harness

    sys.exit(harness.script_main(run, __doc__))
