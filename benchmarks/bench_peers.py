"""tarnivox beside the finite-source point-lens codes of MulensModel and
VBMicrolensing, and beside libstdc++: time per point and accuracy.

Uniform disk: `witt_mao_magnification` against the same Witt & Mao closed
form in C++ with libstdc++'s std::comp_ellint_1/2/3 (baseline_libstdcxx.cpp),
MulensModel's FiniteSourceUniformWittMao94Magnification and a Python loop
over VBMicrolensing's ESPLMag (which interpolates a precomputed table).

Limb-darkened star, linear law I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)):
`integrated_heyrovsky_magnification` (and `integrated_witt_mao_magnification`)
against a Python loop over VBMicrolensing's ESPLMagDark with a1 = 0.6 at
Tol = 1e-3 and 1e-4, and MulensModel's FiniteSourceLDWittMao94Magnification
with gamma = 0.5 (the same law: Gamma = 2 u / (3 - u) in the convention of
An et al. 2002, ApJ 572, 521, so u = 0.6 is Gamma = 0.5).

The peers are used as black boxes through their Python interfaces: u = l rho
and rho in Einstein radii; tarnivox takes l, re = 1 and rstar = rho.

Time: per point, on separations spread evenly over (0, 3] (the uniform disk:
the 1e5 separations of the closed-form benchmark, rim excluded; the
limb-darkened star: 300 separations); MulensModel, a thousand times slower,
is timed on an evenly spread subset.  MulensModel's time includes making its
magnification object from a prepared Trajectory, VBMicrolensing's the list
comprehension over a prepared list of u, tarnivox's the conversion of the
list in and out.  Each time is the sum, over chunks of the separations of
about 0.5 ms of work each, of the minimum of interleaved rounds (harness.py
says why).

Accuracy: relative error against the exact values of data/reference.json
(mpmath; see data/make_reference.py) on the grid rho in {1e-3, 1e-2, 0.1, 1}
times l in [0, 3], with points near l = 0 and on both sides of the rim l = 1.
A point where a method raises or returns a non-finite value is counted as a
failure and left out of its error statistics.

Run alone:  PYTHONPATH=<build dir> python3 benchmarks/bench_peers.py [--quick]
"""

from __future__ import annotations

import json
import math
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import mpmath
import numpy as np

import tarnivox

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import (  # noqa: E402
    Column, Table, TargetResult, min_interleaved_chunked, target_verdict, target_verdict_at_least,
)
from bench_closed_forms import LibstdcxxBaseline, check_libstdcxx_convention, separations  # noqa: E402

HERE = Path(__file__).resolve().parent
REFERENCE = HERE / "data" / "reference.json"

try:
    import MulensModel
    from MulensModel.pointlens import FiniteSourceLDWittMao94Magnification, FiniteSourceUniformWittMao94Magnification
    import VBMicrolensing
except ImportError as error:  # pragma: no cover - the message is the point
    raise ImportError(
        f"{error}: the peer benchmarks need MulensModel and VBMicrolensing (pip install '.[bench]')"
    ) from error

# Linear limb darkening: u = 0.6 (VBMicrolensing's a1), Gamma = 2u / (3 - u) = 0.5 (MulensModel's gamma).
LD_U = 0.6
LD_GAMMA = 2 * LD_U / (3 - LD_U)
VB_TOLERANCES = (1e-3, 1e-4)

# Targets.
UNIFORM_MM_SPEEDUP = 50.0  # MulensModel uniform time / tarnivox time, at least
UNIFORM_VB_RATIO = 2.0  # tarnivox time / VBMicrolensing ESPLMag loop time, at most
LD_VB_RATIO = 1.0  # tarnivox time / ESPLMagDark (Tol 1e-4) time, below, for rho <= LD_VB_MAX_RHO
LD_VB_MAX_RHO = 1e-2
LD_VB_ERROR_RATIO = 100.0  # ESPLMagDark (Tol 1e-4) max error / tarnivox max error, at least, every rho
LD_MM_SPEEDUP = 10.0  # MulensModel LD time / tarnivox time, at least

FULL = {"uniform": 100_000, "uniform_mm": 1000, "ld": 300, "ld_mm": 100, "fast_rounds": 41, "slow_rounds": 3,
        "ld_rounds": 7}
QUICK = {"uniform": 10_000, "uniform_mm": 100, "ld": 30, "ld_mm": 10, "fast_rounds": 3, "slow_rounds": 1,
         "ld_rounds": 1}

# Methods whose times the targets compare.
TARNIVOX_UNIFORM = "tarnivox witt_mao_magnification"
LIBSTDCXX = "libstdc++ closed form"
VB_UNIFORM = "VBMicrolensing ESPLMag (loop)"
MM_UNIFORM = "MulensModel uniform WittMao94"
TARNIVOX_LD = "tarnivox integrated_heyrovsky_magnification"
TARNIVOX_LD_DISK = "tarnivox integrated_witt_mao_magnification"
MM_LD = "MulensModel LD WittMao94 (gamma 0.5)"


def vb_dark_name(tol: float) -> str:
    return f"VBMicrolensing ESPLMagDark Tol {tol:g} (loop)"


# ---------------------------------------------------------------- reference


@dataclass(frozen=True)
class Reference:
    """Exact values as double-double pairs (hi + lo), so that errors far below
    one ulp of the value are still resolved."""

    l: np.ndarray
    rhos: list[float]
    hi: dict[tuple[str, float], np.ndarray]
    lo: dict[tuple[str, float], np.ndarray]

    def relative_error(self, kind: str, rho: float, values: np.ndarray) -> np.ndarray:
        """Relative error of values at every separation of the grid."""
        hi, lo = self.hi[kind, rho], self.lo[kind, rho]
        return np.abs((values - hi) - lo) / np.abs(hi)


def load_reference() -> Reference:
    try:
        data = json.loads(REFERENCE.read_text(encoding="utf-8"))
    except OSError as error:
        raise RuntimeError(f"{error}: make it with  python3 benchmarks/data/make_reference.py") from error
    hi, lo = {}, {}
    for kind in ("uniform", "limb_darkened"):
        for rho in data["rho"]:
            exact = [mpmath.mpf(s) for s in data[kind][repr(rho)]]
            h = np.array([float(x) for x in exact])
            hi[kind, rho] = h
            lo[kind, rho] = np.array([float(x - mpmath.mpf(float(y))) for x, y in zip(exact, h)])
    return Reference(np.array(data["l"], dtype=np.float64), list(data["rho"]), hi, lo)


# ---------------------------------------------------------------- methods


@dataclass(frozen=True)
class PeerMethod:
    """One way of computing a magnification of many separations.

    `vector(l, rho)` returns the zero-argument callable that is timed (inputs
    prepared beforehand) for separations l (stellar radii) at source radius
    rho; it returns the values.  `subset` limits the separations timed (slow
    methods), `marker` is the plot's marker.  A method with `whole` set is
    timed in one call over all its separations, not in chunks: MulensModel's
    call has a fixed cost of tens of milliseconds (and some points cost far
    more than others), which chunks would charge many times over."""

    name: str
    vector: Callable[[np.ndarray, float], Callable[[], Any]]
    marker: str
    subset: str | None = None
    slow: bool = False
    whole: bool = False


def _mm_parameters(rho: float):
    return MulensModel.ModelParameters({"t_0": 0.0, "u_0": 0.0, "t_E": 1.0, "rho": rho})


def _mm(magnification_class, **options):
    def vector(l: np.ndarray, rho: float):
        u = l * rho
        trajectory = MulensModel.Trajectory(parameters=_mm_parameters(rho), x=u, y=np.zeros_like(u))
        return lambda: magnification_class(trajectory=trajectory, **options).get_magnification()

    return vector


def _vb_loop(method: str, **settings):
    vb = VBMicrolensing.VBMicrolensing()
    for key, value in settings.items():
        setattr(vb, key, value)
    function = getattr(vb, method)

    def vector(l: np.ndarray, rho: float):
        u = (l * rho).tolist()
        return lambda: [function(x, rho) for x in u]

    return vector


def _tarnivox(function):
    def vector(l: np.ndarray, rho: float):
        as_list = l.tolist()
        return lambda: function(as_list, 1.0, rho)

    return vector


def uniform_methods(baseline: LibstdcxxBaseline) -> list[PeerMethod]:
    return [
        PeerMethod(TARNIVOX_UNIFORM, _tarnivox(tarnivox.witt_mao_magnification), "o"),
        PeerMethod(LIBSTDCXX, baseline.witt_mao_callable, "s"),
        PeerMethod(VB_UNIFORM, _vb_loop("ESPLMag"), "^"),
        PeerMethod(MM_UNIFORM, _mm(FiniteSourceUniformWittMao94Magnification), "v", subset="uniform_mm", slow=True,
                   whole=True),
    ]


def ld_methods() -> list[PeerMethod]:
    markers = iter(["^", "<"])
    return [
        PeerMethod(TARNIVOX_LD, _tarnivox(tarnivox.integrated_heyrovsky_magnification), "o"),
        PeerMethod(TARNIVOX_LD_DISK, _tarnivox(tarnivox.integrated_witt_mao_magnification), "D"),
        *[PeerMethod(vb_dark_name(tol), _vb_loop("ESPLMagDark", a1=LD_U, Tol=tol), next(markers))
          for tol in VB_TOLERANCES],
        PeerMethod(MM_LD, _mm(FiniteSourceLDWittMao94Magnification, gamma=LD_GAMMA), "v", subset="ld_mm",
                   whole=True),
    ]


def values_on_grid(method: PeerMethod, l: np.ndarray, rho: float) -> np.ndarray:
    """The method's values at every separation; NaN where it raises."""
    try:
        return np.array(method.vector(l, rho)(), dtype=float)
    except (ValueError, ArithmeticError, RuntimeError):
        out = np.empty(l.size)
        for i in range(l.size):
            try:
                out[i] = float(np.asarray(method.vector(l[i:i + 1], rho)(), dtype=float)[0])
            except (ValueError, ArithmeticError, RuntimeError):
                out[i] = math.nan
        return out


# Separations within this distance of the rim (|l - 1| < RIM_WINDOW) may be
# given the limit on the rim instead of the closed form; the tables also show
# the largest error outside that window.
RIM_WINDOW = 1e-5


@dataclass
class Accuracy:
    max: float
    median: float
    worst_l: float
    failures: int
    max_off_rim: float


def accuracy(reference: Reference, kind: str, method: PeerMethod, rho: float) -> Accuracy:
    values = values_on_grid(method, reference.l, rho)
    ok = np.isfinite(values)
    err_all = reference.relative_error(kind, rho, values)
    err = err_all[ok]
    off_rim = err_all[ok & (np.abs(reference.l - 1.0) >= RIM_WINDOW)]
    if err.size == 0:
        return Accuracy(math.nan, math.nan, math.nan, int((~ok).sum()), math.nan)
    i = int(np.argmax(err))
    return Accuracy(float(err[i]), float(np.median(err)), float(reference.l[ok][i]), int((~ok).sum()),
                    float(off_rim.max()) if off_rim.size else math.nan)


def _ratio(a: float, b: float) -> float:
    """a / b, +inf for a positive a over b = 0 (an exact method)."""
    return a / b if b != 0 else (math.inf if a > 0 else math.nan)


def evenly(l: np.ndarray, count: int) -> np.ndarray:
    index = np.unique(np.linspace(0, l.size - 1, min(count, l.size)).round().astype(int))
    return l[index]


# ---------------------------------------------------------------- benchmark


def _measure(methods, rhos, timing_l, sizes, groups):
    """Time per point of every (method, rho): the callables of each group are interleaved."""
    seconds, counts = {}, {}
    for group_methods, rounds in groups:
        measurements = {}
        for m in group_methods:
            for rho in rhos:
                l = evenly(timing_l, sizes[m.subset]) if m.subset else timing_l
                counts[m.name, rho] = l.size
                measurements[m.name, rho] = (l.size, lambda lo, hi, m=m, l=l, rho=rho: m.vector(l[lo:hi], rho),
                                             m.whole)
        seconds.update(min_interleaved_chunked(measurements, rounds))
    return {key: seconds[key] / counts[key] for key in seconds}, counts


def _table(name, title, kind_label, methods, rhos, per_point, counts, errors, verdicts):
    table = Table(
        name=name,
        title=title,
        columns=[
            Column("rho", "g"),
            Column("method"),
            Column("points timed", "d"),
            Column("us/point", ".4g"),
            Column("x tarnivox", ".3g"),
            Column("target"),
            Column(f"max rel err ({kind_label})", ".2e"),
            Column("median rel err", ".2e"),
            Column("worst at l", ".9g"),
            Column(f"max rel err, |l - 1| >= {RIM_WINDOW:g}", ".2e"),
            Column("failed points", "d"),
        ],
    )
    base = methods[0].name
    for rho in rhos:
        for m in methods:
            a = errors[m.name, rho]
            table.rows.append([
                rho, m.name, counts[m.name, rho], 1e6 * per_point[m.name, rho],
                per_point[m.name, rho] / per_point[base, rho], verdicts.get((m.name, rho), ""),
                a.max, a.median, a.worst_l, a.max_off_rim, a.failures,
            ])
    return table


def run_uniform(quick: bool, reference: Reference) -> Table:
    sizes = QUICK if quick else FULL
    baseline = LibstdcxxBaseline()
    check_libstdcxx_convention(baseline)
    methods = uniform_methods(baseline)
    rhos = reference.rhos
    errors = {(m.name, rho): accuracy(reference, "uniform", m, rho) for m in methods for rho in rhos}
    timing_l = separations(sizes["uniform"])
    per_point, counts = _measure(
        methods, rhos, timing_l, sizes,
        [([m for m in methods if not m.slow], sizes["fast_rounds"]), ([m for m in methods if m.slow],
                                                                      sizes["slow_rounds"])],
    )

    verdicts = {}
    mm_speedup = {rho: per_point[MM_UNIFORM, rho] / per_point[TARNIVOX_UNIFORM, rho] for rho in rhos}
    vb_ratio = {rho: per_point[TARNIVOX_UNIFORM, rho] / per_point[VB_UNIFORM, rho] for rho in rhos}
    for rho in rhos:
        verdicts[MM_UNIFORM, rho] = f">= {UNIFORM_MM_SPEEDUP:g}x: " + target_verdict_at_least(mm_speedup[rho],
                                                                                              UNIFORM_MM_SPEEDUP)
        verdicts[VB_UNIFORM, rho] = f"tarnivox <= {UNIFORM_VB_RATIO:g}x: " + target_verdict(vb_ratio[rho],
                                                                                          UNIFORM_VB_RATIO)
    table = _table(
        "peers_uniform",
        f"Uniform disk: time per point ({timing_l.size} separations in (0, 3] per rho) and relative error on the "
        f"reference grid ({reference.l.size} separations per rho)",
        "grid", methods, rhos, per_point, counts, errors, verdicts,
    )
    worst_mm = min(rhos, key=lambda rho: mm_speedup[rho])
    worst_vb = max(rhos, key=lambda rho: vb_ratio[rho])
    table.targets += [
        TargetResult.at_least(
            "witt_mao_magnification vs MulensModel uniform Witt & Mao", "time ratio MulensModel / tarnivox",
            mm_speedup[worst_mm], UNIFORM_MM_SPEEDUP, f"worst rho = {worst_mm:g}"),
        TargetResult.at_most(
            "witt_mao_magnification vs a Python loop over VBMicrolensing ESPLMag",
            "time ratio tarnivox / VBMicrolensing", vb_ratio[worst_vb], UNIFORM_VB_RATIO,
            f"worst rho = {worst_vb:g}; ESPLMag max rel err "
            f"{max(errors[VB_UNIFORM, rho].max for rho in rhos):.1e} vs tarnivox "
            f"{max(errors[TARNIVOX_UNIFORM, rho].max for rho in rhos):.1e}"),
    ]
    table.notes += [
        f"x tarnivox: time per point over tarnivox's. MulensModel timed in one call on {sizes['uniform_mm']} of the "
        f"separations (evenly spread), minimum of {sizes['slow_rounds']} rounds; the others on all, minimum of "
        f"{sizes['fast_rounds']} interleaved rounds. Each time is the sum over chunks of the separations (about "
        "0.5 ms of work each, at least one separation; one call per chunk) of the chunk's minimum. Separations "
        "with |l - 1| < 1e-4 are left out of the timing.",
        "tarnivox: one call on a Python list (list in and out); libstdc++: one ctypes call on NumPy arrays "
        "(baseline_libstdcxx.cpp, the same closed form with std::comp_ellint_1/2/3); VBMicrolensing: "
        "[ESPLMag(u, rho) for u in us]; MulensModel: FiniteSourceUniformWittMao94Magnification(trajectory)"
        ".get_magnification() on a prepared Trajectory(x = u, y = 0).",
        "Errors: against the Witt & Mao closed form in mpmath (data/reference.json) at all grid points, "
        "l in [0, 3] including l = 0, 1e-6, ..., and 1 +- 1e-7 ... 3e-2; failed points (an exception or a "
        "non-finite value) are left out of the error columns. tarnivox and the libstdc++ baseline take the "
        f"limit on the rim for |l - 1| < {RIM_WINDOW:g} (grid points 1, 1 +- 1e-7, 1 +- 5e-6), whose error there "
        f"grows with |l - 1|; the column |l - 1| >= {RIM_WINDOW:g} leaves those points out.",
    ]
    return table


def run_ld(quick: bool, reference: Reference) -> Table:
    sizes = QUICK if quick else FULL
    methods = ld_methods()
    rhos = reference.rhos
    errors = {(m.name, rho): accuracy(reference, "limb_darkened", m, rho) for m in methods for rho in rhos}
    count = sizes["ld"]
    timing_l = 3.0 * np.arange(1, count + 1) / count
    per_point, counts = _measure(methods, rhos, timing_l, sizes, [(methods, sizes["ld_rounds"])])

    vb = vb_dark_name(VB_TOLERANCES[-1])
    speed = {rho: per_point[TARNIVOX_LD, rho] / per_point[vb, rho] for rho in rhos}
    error_ratio = {rho: _ratio(errors[vb, rho].max, errors[TARNIVOX_LD, rho].max) for rho in rhos}
    mm_speedup = {rho: per_point[MM_LD, rho] / per_point[TARNIVOX_LD, rho] for rho in rhos}
    verdicts = {}
    for rho in rhos:
        parts = []
        if rho <= LD_VB_MAX_RHO:
            parts.append("faster: " + ("met" if speed[rho] < LD_VB_RATIO else
                                       f"missed by a factor {speed[rho]:.2f}"))
        parts.append(f"err >= {LD_VB_ERROR_RATIO:g}x: " + target_verdict_at_least(error_ratio[rho],
                                                                                  LD_VB_ERROR_RATIO))
        verdicts[vb, rho] = "; ".join(parts)
        verdicts[MM_LD, rho] = f">= {LD_MM_SPEEDUP:g}x: " + target_verdict_at_least(mm_speedup[rho], LD_MM_SPEEDUP)
    table = _table(
        "peers_limb_darkened",
        f"Limb-darkened star (linear, u = {LD_U:g}): time per point ({count} separations in (0, 3] per rho) and "
        f"relative error on the reference grid ({reference.l.size} separations per rho)",
        "grid", methods, rhos, per_point, counts, errors, verdicts,
    )
    small = [rho for rho in rhos if rho <= LD_VB_MAX_RHO]
    worst_speed = max(small, key=lambda rho: speed[rho])
    worst_error = min(rhos, key=lambda rho: error_ratio[rho])
    worst_mm = min(rhos, key=lambda rho: mm_speedup[rho])
    speed_value = speed[worst_speed]
    table.targets += [
        TargetResult(
            f"integrated_heyrovsky_magnification vs ESPLMagDark Tol {VB_TOLERANCES[-1]:g}, rho <= {LD_VB_MAX_RHO:g}",
            "time ratio tarnivox / VBMicrolensing < 1", speed_value, f"worst rho = {worst_speed:g}",
            "met" if speed_value < LD_VB_RATIO else f"missed by a factor {speed_value:.2f}"),
        TargetResult.at_least(
            f"integrated_heyrovsky_magnification vs ESPLMagDark Tol {VB_TOLERANCES[-1]:g}, every rho",
            "max rel error ratio VBMicrolensing / tarnivox", error_ratio[worst_error], LD_VB_ERROR_RATIO,
            f"worst rho = {worst_error:g}: {errors[vb, worst_error].max:.1e} vs "
            f"{errors[TARNIVOX_LD, worst_error].max:.1e}"),
        TargetResult.at_least(
            "integrated_heyrovsky_magnification vs MulensModel LD Witt & Mao", "time ratio MulensModel / tarnivox",
            mm_speedup[worst_mm], LD_MM_SPEEDUP, f"worst rho = {worst_mm:g}"),
    ]
    table.notes += [
        f"x tarnivox: time per point over integrated_heyrovsky_magnification's. MulensModel timed in one call on "
        f"{sizes['ld_mm']} of the separations (evenly spread), the others in chunks of the separations (about "
        f"0.5 ms of work each, at least one separation), each time the sum over chunks of the minimum of "
        f"{sizes['ld_rounds']} interleaved rounds.",
        f"VBMicrolensing: one VBMicrolensing object per Tol with a1 = {LD_U:g}, [ESPLMagDark(u, rho) for u in us]; "
        f"MulensModel: FiniteSourceLDWittMao94Magnification(trajectory, gamma = {LD_GAMMA:g}).get_magnification().",
        f"Errors: against int_0^1 I(r) A_ring(r) 2 pi r dr / int_0^1 I(r) 2 pi r dr in mpmath (data/reference.json), "
        f"I(r) = 1 - {LD_U:g} (1 - sqrt(1 - r^2)), at all grid points; failed points (an exception or a non-finite "
        f"value, e.g. ESPLMagDark at u = 0) are left out of the error columns.",
        "Targets: ESPLMagDark at Tol 1e-4 must be slower than tarnivox for rho <= 1e-2 and have a largest error at "
        "least 100 times tarnivox's at every rho; MulensModel must be at least 10 times slower.",
    ]
    return table


def run(quick: bool = False) -> list[Table]:
    reference = load_reference()
    return [run_uniform(quick, reference), run_ld(quick, reference)]


# ---------------------------------------------------------------- plot


def plot(tables: list[Table], path: Path, statistic: str = "max") -> None:
    """Time per point against relative error, log-log, one marker per method and
    rho: marker shape by method, colour by rho; one panel per source kind."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    markers = {m.name: m.marker for m in ld_methods()}
    markers.update({TARNIVOX_UNIFORM: "o", LIBSTDCXX: "s", VB_UNIFORM: "^", MM_UNIFORM: "v"})
    panels = [t for t in tables if t.name in ("peers_uniform", "peers_limb_darkened")]
    if not panels:
        return
    fig, axes = plt.subplots(1, len(panels), figsize=(7.5 * len(panels), 6.2), squeeze=False)
    colours = plt.get_cmap("viridis")
    for ax, table in zip(axes[0], panels):
        headers = [c.header for c in table.columns]
        col = {h.split(" (")[0]: i for i, h in enumerate(headers)}
        error_col = col["max rel err"] if statistic == "max" else col["median rel err"]
        rhos = sorted({row[col["rho"]] for row in table.rows})
        floor = 1e-17  # an error of exactly 0 is drawn here
        methods, clipped = [], False
        for row in table.rows:
            rho, method = row[col["rho"]], row[col["method"]]
            error, time = row[error_col], row[col["us/point"]]
            if method not in methods:
                methods.append(method)
            if not (math.isfinite(error) and math.isfinite(time)):
                continue
            clipped |= error < floor
            colour = colours(rhos.index(rho) / max(1, len(rhos) - 1) * 0.85)
            ax.loglog([max(error, floor)], [time], linestyle="none", marker=markers.get(method, "x"),
                      markersize=9, markerfacecolor=colour, markeredgecolor="black")
        # Legend: shapes for the methods, colours for rho.
        for method in methods:
            ax.plot([], [], linestyle="none", marker=markers.get(method, "x"), markersize=9, markerfacecolor="white",
                    markeredgecolor="black", label=method)
        for i, rho in enumerate(rhos):
            ax.plot([], [], linestyle="none", marker="s", markersize=9, color=colours(i / max(1, len(rhos) - 1) * 0.85),
                    label=f"rho = {rho:g}")
        ax.set_xlabel(f"{statistic} relative error over the grid (l in [0, 3], each rho)"
                      + (f"; below {floor:g} drawn at {floor:g}" if clipped else ""))
        ax.set_ylabel("time per point (us)")
        ax.set_title("uniform disk" if table.name == "peers_uniform" else f"limb-darkened star (linear, u = {LD_U:g})")
        ax.grid(True, which="major", alpha=0.3)
        ax.legend(fontsize=7.5, loc="best")
    fig.suptitle("Time per point against relative error: lower left is better")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120)
    plt.close(fig)


if __name__ == "__main__":
    import harness

    sys.exit(harness.script_main(run, __doc__))
