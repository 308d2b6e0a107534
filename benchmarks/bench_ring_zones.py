"""The ring family, zone by zone and on realistic light curves: two builds of
tarnivox side by side, beside MulensModel's Yoo04 and VBMicrolensing.

Two builds of one extension module cannot live in one interpreter (both
define the module `tarnivox`), so each build runs in its own worker process
(this script with --worker, PYTHONPATH set to the build), which times its own
calls; the parent sends the work over pipes, alternates the two workers round
by round and keeps, for every measurement, the minimum over rounds.

1. Time per separation of `integrated_heyrovsky_magnification` and of
   `integrated_flux_map_heyrovsky_magnification` (a 501-point table of the
   same linear law, graded towards the rim), before and after, in zones of
   l = u / rho: [0, 0.9), [0.9, 1.1), [1.1, 3), [3, 10), [10, 100),
   [100, 1e4), [1e4, 1e8] (the zones split at --L where it falls inside
   one), at rho = 1e-3, 1e-2 and 0.1.
2. Realistic light curves (survey every 15 minutes over t0 +- 3 tE,
   follow-up every 2 minutes within 2 t* of t0, t* = rho tE): tarnivox on
   the whole curve, before and after, the table after; MulensModel's
   finite_source_LD_Yoo04 within 100 t* of t0 and the point lens beyond, as
   a fit calls it; VBMicrolensing's ESPLLightCurve (ESPLMagDark at every
   epoch) at its default tolerance and at 1e-4.  Beside each time, the
   largest relative difference from tarnivox (after) on the same epochs.
3. The disk family (`integrated_witt_mao_magnification` and its flux map)
   bit for bit, before against after.

Linear limb darkening with u = 0.6 throughout (tarnivox's built-in law;
VBMicrolensing's a1 = 0.6; MulensModel's Gamma = 2 u / (3 - u) = 0.5).

Run:  python3 benchmarks/bench_ring_zones.py --before <build> --after <build>
      [--L 3] [--quick] [--results DIR]
(a build is a directory holding tarnivox.*.so; the default of both is the
tarnivox found on the path).  Writes ring_zones.md and one CSV per table.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent

LD_U = 0.6
LD_GAMMA = 2 * LD_U / (3 - LD_U)

RHOS = (1e-3, 1e-2, 0.1)
# Zone edges in l = u / rho; a zone is drawn log-uniformly when its edges are
# more than a decade apart, uniformly otherwise.
ZONE_EDGES = (0.0, 0.9, 1.1, 3.0, 10.0, 100.0, 1e4, 1e8)
RIM_ZONE_END = 1.1

# Targets.
FAR_MICROSECONDS = 1.0  # l >= L: time per separation after, at most
MIDDLE_SPEEDUP = 10.0  # 1.1 <= l < L: before / after, at least
INNER_SPEEDUP = 3.0  # l < 1.1: before / after, at least
CURVE_YOO04_RATIO = 3.0  # whole curve, tarnivox after / Yoo04, at most (aim: 1)

FULL = {"separations": 300, "zone_rounds": 9, "curve_rounds": 3, "peer_rounds": 9, "decimate": 1,
        "curves": None, "cost_calls": 200}
QUICK = {"separations": 30, "zone_rounds": 2, "curve_rounds": 1, "peer_rounds": 2, "decimate": 20, "cost_calls": 20,
         "curves": ("rho 0.005, u0/rho 0.5", "MOA-2008-BLG-310-like")}

# Work per timed call: the separations of a zone or the epochs of a curve are cut into calls of about this much
# work each, and the minima over rounds of the calls summed (a long call on a shared machine is rarely left alone).
# Every call pays the fixed cost of a call again (and, before, a table's moments; after, they are kept).
CHUNK_SECONDS = 5e-4
CURVE_CHUNK_SECONDS = 2e-3
PEER_CALL_SECONDS = 0.05
SEED = 20240917

MINUTE = 1.0 / 1440.0


def table_profile(n: int = 501):
    """The linear law on n radii graded towards the rim (dense where the profile bends)."""
    s = np.linspace(0.0, 1.0, n)
    r = np.sin(0.5 * np.pi * (1.0 - (1.0 - s) ** 2))
    r[0], r[-1] = 0.0, 1.0
    mu = np.sqrt(np.clip(1.0 - r * r, 0.0, None))
    return r.tolist(), (1.0 - LD_U * (1.0 - mu)).tolist()


# ================================================================ worker


class _Chunked:
    """One measurement cut into chunks of about chunk_seconds of work (from the time per item of an untimed
    run; one call for the whole if not given), with
    the fastest time of each chunk so far."""

    def __init__(self, make, count, chunk_seconds=None, per_item=0.0):
        size = count
        if chunk_seconds and per_item > 0:
            size = max(1, min(count, int(chunk_seconds / per_item)))
        self.calls = [make(lo, min(count, lo + size)) for lo in range(0, count, size)]
        self.best = [math.inf] * len(self.calls)

    def run(self):
        for i, f in enumerate(self.calls):
            t0 = time.perf_counter()
            f()
            elapsed = time.perf_counter() - t0
            if elapsed < self.best[i]:
                self.best[i] = elapsed

    def total(self):
        return sum(self.best)


def _maker(f, request, bl, bf):
    """make(lo, hi) -> the call on items lo to hi - 1 of the request, and the item count."""
    rho, table = request["rho"], request.get("table", False)
    extra = (bl, bf) if table else ()
    if "l" in request:
        l = list(request["l"])
        return (lambda lo, hi: (lambda part=l[lo:hi]: f(part, 1.0, rho, *extra))), len(l)
    # A light curve: the separations are formed from the epochs in the call, as a fit would.
    t, t0, te, u0 = request["t"], request["t0"], request["tE"], request["u0"]
    return (lambda lo, hi: (lambda tt=t[lo:hi]: f(np.hypot((tt - t0) / te, u0) / rho, 1.0, rho, *extra))), t.size


def _worker() -> int:
    """Serve requests from the parent (harness.serve)."""
    import tarnivox
    from harness import gc_paused, serve

    functions = {
        "heyrovsky": tarnivox.integrated_heyrovsky_magnification,
        "flux_map_heyrovsky": tarnivox.integrated_flux_map_heyrovsky_magnification,
        "witt_mao": tarnivox.integrated_witt_mao_magnification,
        "flux_map_witt_mao": tarnivox.integrated_flux_map_witt_mao_magnification,
    }
    bl, bf = table_profile()
    groups: dict = {}

    def values(request):
        f, l, rho = functions[request["fn"]], request["l"], request["rho"]
        extra = (bl, bf) if request.get("table", False) else ()
        return np.array(f(l, 1.0, rho, *extra), dtype=np.float64)

    def add(request):
        make, count = _maker(functions[request["fn"]], request, bl, bf)
        make(0, min(count, 8))()  # warm
        start = time.perf_counter()
        result = make(0, count)()
        per_item = (time.perf_counter() - start) / max(1, count)
        groups.setdefault(request["group"], {})[request["key"]] = _Chunked(make, count, request["chunk"], per_item)
        return np.array(result, dtype=np.float64)

    def round_(request):
        with gc_paused():
            for measurement in groups[request["group"]].values():
                measurement.run()

    def call_cost(request):
        # One separation far from the star (l = 5, rho = 0.1) per call: a table never seen before
        # (the same star, with a radius beyond it that adds nothing), the same table again, and the law.
        f, law = functions["flux_map_heyrovsky"], functions["heyrovsky"]
        best = {"first": math.inf, "again": math.inf, "law": math.inf}
        for k in range(request["calls"]):
            fresh_bl, fresh_bf = bl + [2.0 + k * 1e-6], bf + [0.0]
            for key, g in (("first", lambda: f([5.0], 1.0, 0.1, fresh_bl, fresh_bf)),
                           ("again", lambda: f([5.0], 1.0, 0.1, bl, bf)),
                           ("law", lambda: law([5.0], 1.0, 0.1))):
                start = time.perf_counter()
                g()
                best[key] = min(best[key], time.perf_counter() - start)
        return best

    return serve({"values": values, "add": add, "round": round_, "call_cost": call_cost,
                  "totals": lambda request: {key: m.total() for g in groups.values() for key, m in g.items()}})


# ================================================================ peers (in the parent)


class _Local:
    """The parent's own measurements (the peers), with the workers' interface."""

    def __init__(self):
        self.groups: dict = {}

    def add(self, group, key, make, count):
        self.groups.setdefault(group, {})[key] = _Chunked(make, count)

    def round(self, group):
        with gc_paused():
            for m in self.groups.get(group, {}).values():
                m.run()

    def totals(self):
        return {key: m.total() for g in self.groups.values() for key, m in g.items()}


def _yoo04(curve: "Curve", gamma: float = LD_GAMMA):
    """MulensModel's Yoo04 as a fit calls it: the model's magnification curve at the data's epochs."""
    import MulensModel

    model = MulensModel.Model({"t_0": curve.t0, "u_0": curve.u0, "t_E": curve.tE, "rho": curve.rho})
    t_star = curve.rho * curve.tE
    model.set_magnification_methods([curve.t0 - 100 * t_star, "finite_source_LD_Yoo04", curve.t0 + 100 * t_star])
    t = curve.t
    return lambda: model.get_magnification_curve(time=t, satellite_skycoord=None, gamma=gamma).get_magnification()


def _vb_curve(curve: "Curve", tol: float | None, a1: float = LD_U):
    """VBMicrolensing's light curve of a limb-darkened star (ESPLMagDark at every epoch)."""
    import VBMicrolensing

    vb = VBMicrolensing.VBMicrolensing()
    vb.a1 = a1
    if tol is not None:
        vb.Tol = tol
    parameters = [math.log(curve.u0) if curve.u0 > 0 else -math.inf, math.log(curve.tE), curve.t0,
                  math.log(curve.rho)]
    t = curve.t.tolist()
    return lambda: vb.ESPLLightCurve(parameters, t)[0], vb


# ================================================================ the benchmark sets


@dataclass(frozen=True)
class Zone:
    lo: float
    hi: float

    @property
    def label(self) -> str:
        return f"[{self.lo:g}, {self.hi:g})"

    def separations(self, n: int, rng) -> np.ndarray:
        if self.lo > 0 and self.hi / self.lo > 10:
            return np.exp(rng.uniform(math.log(self.lo), math.log(self.hi), n))
        return rng.uniform(self.lo, self.hi, n)


def zones(L: float) -> list[Zone]:
    edges = sorted(set(ZONE_EDGES) | ({L} if ZONE_EDGES[0] < L < ZONE_EDGES[-1] else set()))
    return [Zone(a, b) for a, b in zip(edges, edges[1:])]


@dataclass(frozen=True)
class Curve:
    name: str
    rho: float
    u0: float
    tE: float
    t0: float
    t: np.ndarray

    @property
    def l(self) -> np.ndarray:
        return np.hypot((self.t - self.t0) / self.tE, self.u0) / self.rho


# (name, rho, u0 / rho, tE in days)
EVENTS = (
    ("rho 0.001, u0/rho 0", 1e-3, 0.0, 20.0),
    ("rho 0.001, u0/rho 1.5", 1e-3, 1.5, 25.0),
    ("rho 0.005, u0/rho 0.5", 5e-3, 0.5, 15.0),
    ("rho 0.005, u0/rho 3", 5e-3, 3.0, 30.0),
    ("rho 0.02, u0/rho 0", 0.02, 0.0, 12.0),
    ("rho 0.02, u0/rho 1.5", 0.02, 1.5, 20.0),
    ("rho 0.05, u0/rho 0.5", 0.05, 0.5, 10.0),
    ("rho 0.2, u0/rho 3", 0.2, 3.0, 18.0),
    ("MOA-2008-BLG-310-like", 0.005, 0.6, 11.0),  # u0 = 0.003: lens crossing the star
)


def light_curves(decimate: int, names=None, events=EVENTS) -> list[Curve]:
    """Survey epochs every 15 minutes over t0 +- 3 tE and follow-up every 2
    minutes within 2 t* of t0, each with a random phase (fixed seed)."""
    rng = np.random.default_rng(SEED)
    curves = []
    for name, rho, u0_over_rho, te in events:
        t0 = 5000.0 + rng.uniform(0, 1)
        t_star = rho * te
        survey = t0 - 3 * te + rng.uniform(0, 15 * MINUTE) + np.arange(0.0, 6 * te, 15 * MINUTE)
        follow = t0 - 2 * t_star + rng.uniform(0, 2 * MINUTE) + np.arange(0.0, 4 * t_star, 2 * MINUTE)
        t = np.sort(np.concatenate([survey, follow]))
        if names is None or name in names:
            curves.append(Curve(name, rho, u0_over_rho * rho, te, t0, t[::decimate].copy()))
    return curves


def disk_grid():
    """A fixed grid for the disk family: centre, inside, both sides of the rim, outside, far."""
    l = [0.0, 1e-6, 0.1, 0.5, 0.9, 0.99, 1 - 1e-6, 1.0, 1 + 1e-6, 1.01, 1.1, 1.5, 2.0, 3.0, 5.0, 10.0, 30.0, 100.0,
         1e3, 1e5]
    return l, (1e-3, 1e-2, 0.1, 1.0, 10.0)


# ================================================================ run


from harness import (  # noqa: E402
    BuildWorker, Column, Table, TargetResult, gc_paused, relative_difference, target_verdict,
    target_verdict_at_least,
)


def add_timed_peer(local, group, label, key, curve, make, values, counts) -> None:
    """The peer call make(curve) as (label, key) of the timing group `group` of `local`: its values on every
    epoch go to values[label, key]; a call slower than PEER_CALL_SECONDS is timed on evenly spread epochs only,
    counts[label, key] of them."""
    f = make(curve)
    start = time.perf_counter()
    values[label, key] = np.asarray(f(), dtype=float)
    elapsed = time.perf_counter() - start
    part = curve
    if elapsed > PEER_CALL_SECONDS:
        keep = max(1, int(curve.t.size * PEER_CALL_SECONDS / elapsed))
        index = np.unique(np.linspace(0, curve.t.size - 1, keep).round().astype(int))
        part = Curve(curve.name, curve.rho, curve.u0, curve.tE, curve.t0, curve.t[index])
        f = make(part)
    counts[label, key] = part.t.size
    local.add(group, (label, key), lambda lo, hi, f=f: f, part.t.size)


def _interleave(rounds: int, groups: list, parties: list) -> None:
    """Every group, round after round, each party in turn (the order reversed every other round)."""
    for r in range(rounds):
        for group in groups:
            for party in (parties if r % 2 == 0 else parties[::-1]):
                party(group)


def _max_rel(values, reference) -> tuple[float, int]:
    diff = relative_difference(values, reference)
    ok = np.isfinite(diff)
    if not ok.any():
        return math.nan, -1
    i = int(np.argmax(np.where(ok, diff, -1.0)))
    return float(diff[i]), i


def run(quick: bool = False, before: Path | None = None, after: Path | None = None, L: float = 3.0) -> list[Table]:
    sizes = QUICK if quick else FULL
    if before is None or after is None:
        import importlib.util

        found = importlib.util.find_spec("tarnivox")
        if found is None or found.origin is None:
            raise RuntimeError("tarnivox not found: pass --before and --after build directories")
        default = Path(found.origin).resolve().parent
        before, after = before or default, after or default
    workers = {"before": BuildWorker(Path(before), Path(__file__)), "after": BuildWorker(Path(after), Path(__file__))}
    try:
        return _run(sizes, workers, L)
    finally:
        for w in workers.values():
            w.close()


def _run(sizes, workers, L) -> list[Table]:
    names = ("before", "after")
    builds = ", ".join(f"{name}: {workers[name].file}" for name in names)
    same = workers["before"].file.resolve() == workers["after"].file.resolve()
    local = _Local()

    def party(name):
        if name == "peers":
            return local.round
        return lambda group, w=workers[name]: w.ask(op="round", group=group)

    peer_values, vb_loop_check = {}, {}

    peer_counts = {}

    def add_peers(group, key, path):
        """Yoo04 and VBMicrolensing (two tolerances) on the epochs of `path`, timed whole.  A call slower than
        PEER_CALL_SECONDS is timed on evenly spread epochs only (its values are still checked on all)."""

        def timed(label, make):
            add_timed_peer(local, group, label, key, path, make, peer_values, peer_counts)

        timed("Yoo04", _yoo04)
        for label, tol in (("VB default Tol", None), ("VB Tol 1e-4", 1e-4)):
            timed(label, lambda c, tol=tol: _vb_curve(c, tol)[0])
            # ESPLLightCurve is ESPLMagDark at every epoch: checked on a few epochs.
            vb = _vb_curve(path, tol)[1]
            pick = np.linspace(0, path.t.size - 1, 7).round().astype(int)
            loop = np.array([vb.ESPLMagDark(float(u), path.rho) for u in path.l[pick] * path.rho])
            ok = np.isfinite(loop) & np.isfinite(peer_values[label, key][pick])
            vb_loop_check[label, key] = float(np.max(relative_difference(peer_values[label, key][pick][ok],
                                                                         loop[ok]), initial=0.0))

    # ---------------------------------------------------- zones
    zone_list = zones(L)
    rng = np.random.default_rng(SEED)
    zone_l = {(rho, z): np.sort(z.separations(sizes["separations"], rng)).tolist() for rho in RHOS for z in zone_list}
    values = {}
    fns = (("heyrovsky", False), ("flux_map_heyrovsky", True))
    for rho in RHOS:
        for z in zone_list:
            for fn, table in fns:
                for name in names:
                    values[name, fn, rho, z] = workers[name].ask(
                        op="add", group=("zone", rho, z.lo), key=(fn, rho, z.lo), fn=fn, l=zone_l[rho, z],
                        rho=rho, table=table, chunk=CHUNK_SECONDS)
            # The peers on the same separations: a trajectory through the lens (u0 = 0, tE = 1, t0 = 0, t = u).
            path = Curve(z.label, rho, 0.0, 1.0, 0.0, rho * np.array(zone_l[rho, z]))
            add_peers(("zone", rho, z.lo), (z.lo, rho), path)
    zone_groups = [("zone", rho, z.lo) for rho in RHOS for z in zone_list]
    start = time.perf_counter()
    _interleave(sizes["zone_rounds"], zone_groups, [party(n) for n in (*names, "peers")])
    zone_seconds = time.perf_counter() - start

    # ---------------------------------------------------- light curves
    curves = light_curves(sizes["decimate"], sizes["curves"])
    for c in curves:
        group = ("curve", c.name)
        for name in names:
            values[name, "heyrovsky", c.name] = workers[name].ask(
                op="add", group=group, key=("heyrovsky", c.name), fn="heyrovsky", t=c.t, t0=c.t0, tE=c.tE, u0=c.u0,
                rho=c.rho, chunk=CURVE_CHUNK_SECONDS)
        values["after", "flux_map_heyrovsky", c.name] = workers["after"].ask(
            op="add", group=group, key=("flux_map_heyrovsky", c.name), fn="flux_map_heyrovsky", t=c.t, t0=c.t0,
            tE=c.tE, u0=c.u0, rho=c.rho, table=True, chunk=CURVE_CHUNK_SECONDS)
        add_peers(("peers", c.name), c.name, c)
    curve_groups = [("curve", c.name) for c in curves]
    peer_groups = [("peers", c.name) for c in curves]
    start = time.perf_counter()
    _interleave(sizes["curve_rounds"], curve_groups, [party(n) for n in names])
    _interleave(sizes["peer_rounds"], peer_groups, [party("peers")])
    curve_seconds = time.perf_counter() - start

    totals = {name: workers[name].ask(op="totals") for name in names}
    call_cost = {name: workers[name].ask(op="call_cost", calls=sizes["cost_calls"]) for name in names}
    peer_totals = local.totals()

    # ---------------------------------------------------- disk family
    grid_l, grid_rho = disk_grid()
    bl, bf = table_profile()
    disk_rows = []
    for fn, table in (("witt_mao", False), ("flux_map_witt_mao", True)):
        mismatches, count = 0, 0
        for rho in grid_rho:
            a = workers["before"].ask(op="values", fn=fn, l=grid_l, rho=rho, table=table)
            b = workers["after"].ask(op="values", fn=fn, l=grid_l, rho=rho, table=table)
            mismatches += int(np.sum(a.view(np.uint64) != b.view(np.uint64)))
            count += a.size
        disk_rows.append([f"integrated_{fn}_magnification", count, mismatches,
                          "identical" if mismatches == 0 else "DIFFERENT"])

    # ---------------------------------------------------- tables
    n_sep = sizes["separations"]
    zone_tables = []
    zone_targets = []
    for fn, table in fns:
        full_name = f"integrated_{fn}_magnification"
        t = Table(
            name=f"ring_zones_{fn}",
            title=f"{full_name}{' (501-point table)' if table else ''}: time per separation by zone of l, "
                  f"{n_sep} separations per zone and rho, before and after",
            columns=[Column("rho", "g"), Column("zone of l"), Column("before us/sep", ".3f"),
                     Column("after us/sep", ".3f"), Column("speed-up", ".2f"), Column("target"),
                     Column("verdict"), Column("max rel diff after vs before", ".1e")]
                    + ([Column("max rel diff from the law (after)", ".1e")] if table else []),
        )
        worst: dict = {}
        for rho in RHOS:
            for z in zone_list:
                tb = totals["before"][fn, rho, z.lo] / n_sep
                ta = totals["after"][fn, rho, z.lo] / n_sep
                speedup = tb / ta
                if z.lo >= L:
                    kind, target, verdict = "far", f"after <= {FAR_MICROSECONDS:g} us", target_verdict(
                        1e6 * ta, FAR_MICROSECONDS)
                    measure = 1e6 * ta
                elif z.lo >= RIM_ZONE_END:
                    kind, target, verdict = "middle", f">= {MIDDLE_SPEEDUP:g}x", target_verdict_at_least(
                        speedup, MIDDLE_SPEEDUP)
                    measure = speedup
                else:
                    kind, target, verdict = "inner", f">= {INNER_SPEEDUP:g}x", target_verdict_at_least(
                        speedup, INNER_SPEEDUP)
                    measure = speedup
                diff, _ = _max_rel(values["after", fn, rho, z], values["before", fn, rho, z])
                t.rows.append([rho, z.label, 1e6 * tb, 1e6 * ta, speedup, target, verdict, diff]
                              + ([_max_rel(values["after", fn, rho, z], values["after", "heyrovsky", rho, z])[0]]
                                 if table else []))
                better = (lambda new, old: new > old) if kind == "far" else (lambda new, old: new < old)
                if kind not in worst or better(measure, worst[kind][0]):
                    worst[kind] = (measure, rho, z)
        if not table:
            for kind, (measure, rho, z) in worst.items():
                where = f"worst: rho = {rho:g}, l in {z.label}"
                if kind == "far":
                    zone_targets.append(TargetResult.at_most(f"{full_name}, l >= {L:g}", "us per separation",
                                                             measure, FAR_MICROSECONDS, where))
                elif kind == "middle":
                    zone_targets.append(TargetResult.at_least(f"{full_name}, 1.1 <= l < {L:g}",
                                                              "speed-up before / after", measure, MIDDLE_SPEEDUP,
                                                              where))
                else:
                    zone_targets.append(TargetResult.at_least(f"{full_name}, l < 1.1", "speed-up before / after",
                                                              measure, INNER_SPEEDUP, where))
            t.targets += zone_targets
        t.notes += [
            f"Builds: {builds}" + (" (the same build twice)" if same else "") + ".",
            f"Separations drawn with a fixed seed, uniformly in zones up to 10, log-uniformly beyond; L = {L:g}. "
            f"us/sep: calls (re = 1, rstar = rho) on prepared lists, the separations cut into chunks of about "
            f"{1e3 * CHUNK_SECONDS:g} ms of work each, each chunk's time the minimum over rounds, summed"
            + (" (before, every chunk forms the table's moments again; after, they are formed once and kept "
               "between calls: see the table of costs per call)" if table else "")
            + f"; {sizes['zone_rounds']} rounds, the two builds' worker processes alternating.",
            "Targets: l >= L at most 1 us per separation; 1.1 <= l < L at least 10x; l < 1.1 at least 3x"
            + (" (shown for the table too; the summary holds the built-in law's)." if table else "."),
        ]
        zone_tables.append(t)

    peers_table = Table(
        name="ring_zones_peers",
        title="The peers on the zones' separations: time per separation and largest relative difference from "
              "integrated_heyrovsky_magnification (after)",
        columns=[Column("rho", "g"), Column("zone of l"), Column("tarnivox after us/sep", ".3f"),
                 Column("Yoo04 us/sep", ".3f"), Column("Yoo04 err", ".1e"),
                 Column("VB Tol def us/sep", ".3f"), Column("VB def err", ".1e"),
                 Column("VB 1e-4 us/sep", ".3f"), Column("VB 1e-4 err", ".1e"), Column("failed points", "d")],
    )
    subsets_total = 0
    for rho in RHOS:
        for z in zone_list:
            ref = values["after", "heyrovsky", rho, z]
            row = [rho, z.label, 1e6 * totals["after"]["heyrovsky", rho, z.lo] / n_sep]
            failed = subsets = 0
            for label in ("Yoo04", "VB default Tol", "VB Tol 1e-4"):
                v = peer_values[label, (z.lo, rho)]
                failed += int(np.sum(~np.isfinite(v)))
                row += [1e6 * peer_totals[label, (z.lo, rho)] / peer_counts[label, (z.lo, rho)], _max_rel(v, ref)[0]]
                subsets += peer_counts[label, (z.lo, rho)] < n_sep
            peers_table.rows.append(row + [failed])
            subsets_total += subsets
    peers_table.notes += [
        "The same separations as above, as a trajectory through the lens (u0 = 0, tE = 1, t0 = 0, t = l rho); "
        "each peer timed in one whole call per zone (minimum over the zone rounds), so that its fixed cost per call "
        "is spread over the zone's separations as over a light curve's epochs; a call slower than "
        f"{1e3 * PEER_CALL_SECONDS:g} ms is timed on evenly spread separations only ({subsets_total} such).",
        "Yoo04 and VB as in the light-curve table below (Yoo04 within 100 t* of t0, i.e. l < 100, the point lens "
        "beyond). Failed points: non-finite values of any peer, left out of its error.",
    ]

    curve_table = Table(
        name="ring_zones_curves",
        title="Realistic light curves: time per whole curve (ms) and largest relative difference from tarnivox "
              "(after) on the same epochs",
        columns=[Column("curve"), Column("epochs", "d"), Column("rho", "g"), Column("u0", "g"), Column("tE d", "g"),
                 Column("before ms", ".3f"), Column("after ms", ".3f"), Column("speed-up", ".1f"),
                 Column("table after ms", ".3f"), Column("table / law", ".2f"),
                 Column("Yoo04 ms", ".3f"), Column("Yoo04 err", ".1e"), Column("after / Yoo04", ".2f"),
                 Column("VB Tol def ms", ".3f"), Column("VB def err", ".1e"),
                 Column("VB 1e-4 ms", ".3f"), Column("VB 1e-4 err", ".1e"),
                 Column("table err", ".1e"), Column("after vs before", ".1e")],
    )
    worst_yoo, worst_table = (0.0, ""), (0.0, "")
    for c in curves:
        tb = totals["before"]["heyrovsky", c.name]
        ta = totals["after"]["heyrovsky", c.name]
        tt = totals["after"]["flux_map_heyrovsky", c.name]
        ty, tv, tv4 = (peer_totals[k, c.name] * c.t.size / peer_counts[k, c.name]
                       for k in ("Yoo04", "VB default Tol", "VB Tol 1e-4"))
        ref = values["after", "heyrovsky", c.name]
        err = {k: _max_rel(peer_values[k, c.name], ref)[0] for k in ("Yoo04", "VB default Tol", "VB Tol 1e-4")}
        table_err = _max_rel(values["after", "flux_map_heyrovsky", c.name], ref)[0]
        moved = _max_rel(ref, values["before", "heyrovsky", c.name])[0]
        curve_table.rows.append([c.name, c.t.size, c.rho, c.u0, c.tE, 1e3 * tb, 1e3 * ta, tb / ta, 1e3 * tt, tt / ta,
                                 1e3 * ty, err["Yoo04"], ta / ty, 1e3 * tv, err["VB default Tol"], 1e3 * tv4,
                                 err["VB Tol 1e-4"], table_err, moved])
        if ta / ty > worst_yoo[0]:
            worst_yoo = (ta / ty, c.name)
        if tt / ta > worst_table[0]:
            worst_table = (tt / ta, c.name)
    curve_table.targets += [
        TargetResult.at_most("integrated_heyrovsky_magnification, whole light curve, vs MulensModel Yoo04",
                             "time ratio tarnivox / Yoo04", worst_yoo[0], CURVE_YOO04_RATIO,
                             f"worst: {worst_yoo[1]}; aim < 1"),
    ]
    import VBMicrolensing

    vb_default_tol = VBMicrolensing.VBMicrolensing().Tol
    curve_table.notes += [
        f"The 501-point table costs up to {worst_table[0]:.3g} times the built-in law per curve ({worst_table[1]}): "
        "the price of integrating each of its kinks exactly, which has no target.",
        f"Builds: {builds}" + (" (the same build twice)" if same else "") + ".",
        "Epochs: survey every 15 min over t0 +- 3 tE and follow-up every 2 min within 2 t* of t0 (t* = rho tE), "
        f"random phases, fixed seed{'; --quick keeps every ' + str(sizes['decimate']) + 'th epoch' if sizes['decimate'] > 1 else ''}. "
        "The MOA-2008-BLG-310-like event: rho = 0.005, u0 = 0.003, tE = 11 d.",
        "tarnivox: every epoch, no cut, l = hypot((t - t0)/tE, u0)/rho formed in the timed call (re = 1, "
        f"rstar = rho); timed in chunks of the epochs of about {1e3 * CURVE_CHUNK_SECONDS:g} ms of work each (each "
        "chunk a call paying the call's fixed cost), the minima over rounds summed; table: the same with the 501-point table of the same law (README's recipe), "
        "err = its largest relative difference from the law's; its moments are formed by the first call and kept, "
        "as in a fit, which calls with the same table at every step.",
        f"Yoo04: MulensModel Model with set_magnification_methods([t0 - 100 t*, 'finite_source_LD_Yoo04', t0 + 100 "
        f"t*]) (point lens outside), timed as a fit calls it: model.get_magnification_curve(time=t, gamma="
        f"{LD_GAMMA:g}).get_magnification() (Gamma = 2u/(3 - u), u = {LD_U:g}).",
        f"VB: VBMicrolensing ESPLLightCurve([ln u0, ln tE, t0, ln rho], t) with a1 = {LD_U:g}, default Tol "
        f"({vb_default_tol:g}) and Tol 1e-4; it agrees with a loop over ESPLMagDark to "
        f"{max(vb_loop_check.values()):.1e} on sampled epochs.",
        "Peers' times: minimum over rounds of one whole call; a peer call slower than "
        f"{1e3 * PEER_CALL_SECONDS:g} ms is timed on evenly spread epochs and scaled to the whole curve "
        f"({sum(peer_counts[k, c.name] < c.t.size for c in curves for k in ('Yoo04', 'VB default Tol', 'VB Tol 1e-4'))}"
        " such); tarnivox's two builds alternate "
        f"({sizes['curve_rounds']} rounds), the peers {sizes['peer_rounds']} rounds in the parent process.",
        f"Target: tarnivox after at most {CURVE_YOO04_RATIO:g}x Yoo04's time per curve (aim < 1x).",
    ]

    cost_table = Table(
        name="ring_zones_call_cost",
        title="Cost of a call with one separation far from the star (l = 5, rho = 0.1), before and after",
        columns=[Column("call"), Column("before us", ".1f"), Column("after us", ".1f")],
        rows=[[label, 1e6 * call_cost["before"][key], 1e6 * call_cost["after"][key]]
              for label, key in (("501-point table, first call with it", "first"),
                                 ("501-point table, the same table again", "again"),
                                 ("built-in law", "law"))],
    )
    cost_table.notes.append(
        f"Minimum over {sizes['cost_calls']} calls of each, in turn; a first call's table is a new one each time (the "
        "same star, with one more radius beyond it).  After, a table's moments are kept between calls (the last 8 "
        "tables of at most 4096 radii, found by their bits); before, every call integrated the table anew.")

    disk_table = Table(
        name="ring_zones_disk_bits",
        title="Disk family: before and after compared bit for bit",
        columns=[Column("function"), Column("values", "d"), Column("differing bits", "d"), Column("verdict")],
        rows=disk_rows,
    )
    identical = all(row[2] == 0 for row in disk_rows)
    disk_table.targets.append(TargetResult(
        "integrated_witt_mao_magnification and its flux map, before vs after", "bit-identical",
        float(sum(row[2] for row in disk_rows)), f"{sum(row[1] for row in disk_rows)} values",
        "met" if identical else "missed"))
    disk_table.notes.append(
        f"Grid: l in {{{', '.join(f'{x:.9g}' for x in grid_l)}}} x rho in {{{', '.join(f'{x:g}' for x in grid_rho)}}} "
        f"(re = 1, rstar = rho); the flux map with the 501-point table. Measured column of the target: the number "
        f"of differing values.")
    print(f"(ring zones: zones timed in {zone_seconds:.0f} s, curves in {curve_seconds:.0f} s)", file=sys.stderr)
    return [*zone_tables, peers_table, curve_table, cost_table, disk_table]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--before", type=Path, help="build directory of the 'before' tarnivox")
    parser.add_argument("--after", type=Path, help="build directory of the 'after' tarnivox")
    parser.add_argument("--L", type=float, default=3.0, help="start of the far zone (default 3)")
    parser.add_argument("--quick", action="store_true", help="small sizes, few rounds (a smoke run)")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where to write the tables")
    args = parser.parse_args(argv)
    if args.worker:
        return _worker()

    sys.path.insert(0, str(HERE))
    from harness import machine_description, run_line, targets_table, write_results

    start = time.perf_counter()
    tables = run(args.quick, args.before, args.after, args.L)
    summary = targets_table([target for table in tables for target in table.targets])
    header = machine_description()
    header.append(run_line(start, args.quick))
    write_results(args.results, "ring_zones", "tarnivox ring family: before and after", header, tables, summary,
                  args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
