"""Limb darkening for any coefficient: linear_limb_darkening (examples/limb_darkening.py)
beside the built-in law, MulensModel's Yoo04 and VBMicrolensing, and every law's
cost and accuracy.

1. Light curves (the set of bench_ring_zones.py, with rho 0.1 (u0 = 0) and
   rho 0.3 (u0 = rho/2) added; survey every 15 min over t0 +- 3 tE,
   follow-up every 2 min within 2 t* of t0): time per whole curve of
   linear_limb_darkening with u = 0.5, of the built-in law (u = 0.6), of
   MulensModel's finite_source_LD_Yoo04 (Gamma = 0.4, the same star) within
   100 t* of t0 and the point lens beyond, and of VBMicrolensing's
   ESPLLightCurve (a1 = 0.5) at its default tolerance and at 1e-4; each
   peer's largest relative difference from linear_limb_darkening beside its
   time.  The same for the epochs with the lens on the star alone, and for
   free-floating-planet-like curves (rho 1, 2.5, 5; tE 0.15 to 0.4 d; the
   lens on the star for about half the epochs).  And the time per separation
   by zone of l, for rho 0.01, 0.3 and 2.5, with that of A[1] alone.
2. Accuracy of linear_limb_darkening against the mpmath references of
   tests/data/linear_law_reference.json, for u in {0, 0.3, 0.6, 0.85, 1}, by
   zone of l (the rim l = 1 exactly on its own).
3. Every law's cost per curve (relative to the built-in law) and accuracy:
   linear (no table), quadratic, square-root and power-2 from the exact parts
   and one balanced table (101 and 501 radii), and the same laws as one
   501-point table; against a quadrature of ring magnifications (scipy, about
   1e-11).

Everything in one process; each measurement the minimum over interleaved
rounds, tarnivox's calls cut into chunks of about 2 ms of work.

Run:  python3 benchmarks/bench_linear_law.py [--quick] [--results DIR]
Writes linear_law.md and linear_law_{curves,zones,accuracy,laws,targets}.csv.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "examples"))

import tarnivox  # noqa: E402
from bench_ring_zones import (  # noqa: E402
    CURVE_CHUNK_SECONDS, EVENTS, PEER_CALL_SECONDS, Curve, _Chunked, _interleave, _Local, _vb_curve, _yoo04,
    add_timed_peer,
    light_curves,
)
from harness import (  # noqa: E402
    Column, Table, TargetResult, machine_description, relative_difference, run_line, targets_table, write_results,
)
from limb_darkening import (  # noqa: E402
    BALANCED_POINTS, CARLSON_WINDOW, SERIES_FROM, _uniform_star, linear, linear_limb_darkening, power_2, power_2_limb_darkening, quadratic, quadratic_limb_darkening,
    reference_values, square_root, square_root_limb_darkening, tabulate,
)

U = 0.5
GAMMA = 2 * U / (3 - U)  # 0.4
EXTRA_EVENTS = (
    ("rho 0.1, u0/rho 0", 0.1, 0.0, 10.0),
    ("rho 0.3, u0/rho 0.5", 0.3, 0.5, 15.0),
)
FFP_EVENTS = (
    ("FFP rho 1, u0/rho 0.3, tE 0.15 d", 1.0, 0.3, 0.15),
    ("FFP rho 2.5, u0/rho 0.3, tE 0.25 d", 2.5, 0.3, 0.25),
    ("FFP rho 5, u0/rho 0.3, tE 0.4 d", 5.0, 0.3, 0.4),
)
# Targets.
YOO04_RATIO, YOO04_AIM = 1.5, 1.0
LAW_RATIO, LAW_RATIO_ON_STAR = 3.0, 1.2
VB_RATIO = 1.0
ACCURACY = 1e-13

FULL = {"rounds": 21, "peer_rounds": 11, "decimate": 1, "law_points": 24, "zone_points": 2000}
QUICK = {"rounds": 2, "peer_rounds": 2, "decimate": 10, "law_points": 8, "zone_points": 100}

REFERENCE = ROOT / "tests" / "data" / "linear_law_reference.json"


def _max_rel(values, reference) -> float:
    d = relative_difference(values, reference)
    d = d[np.isfinite(d)]
    return float(d.max()) if d.size else math.nan


def _tarnivox_maker(f, c: Curve):
    """make(lo, hi): the call on epochs lo..hi-1, l formed from the epochs in the call, as a fit does."""
    t, t0, te, u0, rho = c.t, c.t0, c.tE, c.u0, c.rho
    return lambda lo, hi: (lambda tt=t[lo:hi]: f(np.hypot((tt - t0) / te, u0) / rho, 1.0, rho))


def _law(l, re, rstar):
    return tarnivox.integrated_heyrovsky_magnification(l, re, rstar)


def _linear(l, re, rstar):
    return linear_limb_darkening(l, re, rstar, U)


def _uniform(l, re, rstar):
    """A[1] alone, as linear_limb_darkening takes it (l already an array)."""
    return _uniform_star(l, re, rstar, rstar / re)


def curves_table(sizes, local: _Local) -> tuple[Table, Table, list[TargetResult]]:
    normal = light_curves(sizes["decimate"], events=EVENTS + EXTRA_EVENTS)
    ffp = light_curves(sizes["decimate"], events=FFP_EVENTS)
    everything = normal + ffp
    on_star = {}
    for c in everything:
        inside = c.l < 1.0
        if inside.sum() >= 10:
            on_star[c.name] = Curve(c.name + " (on the star)", c.rho, c.u0, c.tE, c.t0, c.t[inside])
    values, peer_values, peer_counts = {}, {}, {}
    for c in everything + list(on_star.values()):
        group = ("curve", c.name)
        for key, f in (("law", _law), ("linear", _linear)):
            make = _tarnivox_maker(f, c)
            make(0, min(8, c.t.size))()
            start = time.perf_counter()
            values[key, c.name] = np.asarray(make(0, c.t.size)(), dtype=float)
            per_item = (time.perf_counter() - start) / c.t.size
            local.groups.setdefault(group, {})[key, c.name] = _Chunked(make, c.t.size, CURVE_CHUNK_SECONDS, per_item)
    for c in everything:
        group = ("peers", c.name)
        for label, make in (("Yoo04", lambda x: _yoo04(x, GAMMA)),
                             ("VB default Tol", lambda x: _vb_curve(x, None, U)[0]),
                             ("VB Tol 1e-4", lambda x: _vb_curve(x, 1e-4, U)[0])):
            add_timed_peer(local, group, label, c.name, c, make, peer_values, peer_counts)
    tarnivox_groups = [("curve", c.name) for c in everything + list(on_star.values())]
    _interleave(sizes["rounds"], tarnivox_groups, [local.round])
    _interleave(sizes["peer_rounds"], [("peers", c.name) for c in everything], [local.round])
    totals = local.totals()

    table = Table(
        name="linear_law_curves",
        title=f"Light curves: time per whole curve (ms), linear_limb_darkening (u = {U:g}) against the built-in "
              "law and the peers, with each peer's largest relative difference from it",
        columns=[Column("curve"), Column("epochs", "d"), Column("rho", "g"), Column("u0", "g"), Column("tE d", "g"),
                 Column("linear ms", ".3f"), Column("law ms", ".3f"), Column("linear / law", ".2f"),
                 Column("on star: linear / law", ".2f"),
                 Column("Yoo04 ms", ".3f"), Column("Yoo04 err", ".1e"), Column("linear / Yoo04", ".2f"),
                 Column("VB def ms", ".3f"), Column("VB def err", ".1e"), Column("linear / VB def", ".2f"),
                 Column("VB 1e-4 ms", ".3f"), Column("VB 1e-4 err", ".1e"), Column("linear / VB 1e-4", ".2f")],
    )
    worst = {"yoo": (0.0, ""), "law": (0.0, ""), "star": (0.0, ""), "vb": (0.0, "")}
    for c in everything:
        tl, tw = totals["linear", c.name], totals["law", c.name]
        ty, tv, tv4 = (totals[k, c.name] * c.t.size / peer_counts[k, c.name]
                       for k in ("Yoo04", "VB default Tol", "VB Tol 1e-4"))
        ref = values["linear", c.name]
        err = {k: _max_rel(peer_values[k, c.name], ref) for k in ("Yoo04", "VB default Tol", "VB Tol 1e-4")}
        star = math.nan
        if c.name in on_star:
            s = on_star[c.name]
            star = totals["linear", s.name] / totals["law", s.name]
        table.rows.append([c.name, c.t.size, c.rho, c.u0, c.tE, 1e3 * tl, 1e3 * tw, tl / tw, star,
                           1e3 * ty, err["Yoo04"], tl / ty, 1e3 * tv, err["VB default Tol"], tl / tv,
                           1e3 * tv4, err["VB Tol 1e-4"], tl / tv4])
        is_ffp = c.name.startswith("FFP")
        for key, value in (("law", tl / tw), ("star", star), ("vb" if is_ffp else "yoo", tl / (tv4 if is_ffp else ty))):
            if math.isfinite(value) and value > worst[key][0]:
                worst[key] = (value, c.name)
    targets = [
        TargetResult.at_most("linear_limb_darkening (u = 0.5) vs MulensModel Yoo04 (Gamma = 0.4), whole curve",
                             "time ratio", worst["yoo"][0], YOO04_RATIO, f"worst: {worst['yoo'][1]}; aim <= 1"),
        TargetResult.at_most("linear_limb_darkening vs the built-in law, whole curve", "time ratio", worst["law"][0],
                             LAW_RATIO, f"worst: {worst['law'][1]}"),
        TargetResult.at_most("linear_limb_darkening vs the built-in law, epochs on the star", "time ratio",
                             worst["star"][0], LAW_RATIO_ON_STAR, f"worst: {worst['star'][1]}"),
        TargetResult.at_most("linear_limb_darkening vs VBMicrolensing ESPLLightCurve Tol 1e-4, FFP-like curves",
                             "time ratio", worst["vb"][0], VB_RATIO, f"worst: {worst['vb'][1]}"),
    ]
    table.targets += targets
    import VBMicrolensing

    table.notes += [
        "Epochs: survey every 15 min over t0 +- 3 tE and follow-up every 2 min within 2 t* of t0 (t* = rho tE), "
        "random phases, fixed seed (bench_ring_zones.light_curves)"
        + (f"; --quick keeps every {sizes['decimate']}th epoch" if sizes["decimate"] > 1 else "") + ".",
        "tarnivox: every epoch, l = hypot((t - t0)/tE, u0)/rho formed in the timed call (re = 1, rstar = rho); "
        "linear_limb_darkening returns a NumPy array, the built-in law (integrated_heyrovsky_magnification, "
        "u = 0.6) its list; timed in chunks of about "
        f"{1e3 * CURVE_CHUNK_SECONDS:g} ms of work, each chunk's minimum over {sizes['rounds']} interleaved rounds, "
        "summed. 'on star': the same on the curve's epochs with l < 1 only.",
        f"Yoo04: MulensModel finite_source_LD_Yoo04 within 100 t* of t0, point lens beyond, gamma = {GAMMA:g} "
        f"(u = 3 Gamma / (2 + Gamma) = {U:g}); VB: VBMicrolensing ESPLLightCurve with a1 = {U:g}, default Tol "
        f"({VBMicrolensing.VBMicrolensing().Tol:g}) and Tol 1e-4. Peers: one whole call, minimum over "
        f"{sizes['peer_rounds']} rounds; a call slower than {1e3 * PEER_CALL_SECONDS:g} ms timed on evenly spread "
        "epochs and scaled. err: largest relative difference from linear_limb_darkening on the same epochs.",
        f"Targets: linear / Yoo04 <= {YOO04_RATIO:g} (aim {YOO04_AIM:g}) on the curves that are not FFP-like; "
        f"linear / law <= {LAW_RATIO:g} per curve and <= {LAW_RATIO_ON_STAR:g} on the star; FFP-like curves: "
        f"linear / VB (Tol 1e-4) <= {VB_RATIO:g}.",
    ]
    return table, targets


# The routes' zones: the module's inside the star, the rim window (split at the rim), the module's beyond it,
# and the series from SERIES_FROM (split where the module's closed form would start to err).
ZONES = ((0.0, CARLSON_WINDOW[0]), (CARLSON_WINDOW[0], 1.0), (1.0, CARLSON_WINDOW[1]), (CARLSON_WINDOW[1], SERIES_FROM),
         (SERIES_FROM, 51.0), (51.0, 1e4))
ZONE_RHOS = (0.01, 0.3, 2.5)


def zones_table(sizes, local: _Local) -> Table:
    """Time per separation by zone of l: where the extra cost of the uniform star lies."""
    rng = np.random.default_rng(20261209)
    count = sizes["zone_points"]
    for rho in ZONE_RHOS:
        for lo, hi in ZONES:
            l = np.sort(np.exp(rng.uniform(math.log(lo), math.log(hi), count)) if lo > 0 and hi / lo > 10
                        else rng.uniform(lo, hi, count))
            for key, f in (("law", _law), ("linear", _linear), ("uniform", _uniform)):
                make = (lambda lo_, hi_, f=f, l=l, rho=rho: (lambda part=l[lo_:hi_]: f(part, 1.0, rho)))
                make(0, 8)()
                start = time.perf_counter()
                make(0, count)()
                per_item = (time.perf_counter() - start) / count
                local.groups.setdefault(("zone", rho, lo), {})[key, rho, lo] = _Chunked(
                    make, count, CURVE_CHUNK_SECONDS / 4, per_item)
    _interleave(sizes["rounds"], [("zone", rho, lo) for rho in ZONE_RHOS for lo, hi in ZONES], [local.round])
    totals = local.totals()
    table = Table(
        name="linear_law_zones",
        title="Time per separation (us) by zone of l: linear_limb_darkening (u = 0.5) and the built-in law",
        columns=[Column("rho", "g"), Column("zone of l"), Column("law us", ".3f"), Column("linear us", ".3f"),
                 Column("linear / law", ".2f"), Column("A[1] us", ".3f"), Column("A[1] from")],
    )
    for rho in ZONE_RHOS:
        for lo, hi in ZONES:
            law, lin, uni = (totals[k, rho, lo] / count * 1e6 for k in ("law", "linear", "uniform"))
            source = ("uniform star's series" if lo >= SERIES_FROM
                      else "Carlson form" if CARLSON_WINDOW[0] <= lo and hi <= CARLSON_WINDOW[1]
                      else "witt_mao_magnification")
            table.rows.append([rho, f"[{lo:g}, {hi:g})", law, lin, lin / law, uni, source])
    table.notes.append(
        f"{count} separations per zone (uniform, or log-uniform over more than a decade; fixed seed), sorted, in "
        f"calls of about {1e3 * CURVE_CHUNK_SECONDS / 4:g} ms of work, each the minimum over {sizes['rounds']} "
        "rounds. The built-in law's time counts its list; linear_limb_darkening's its array (two calls, "
        "A_0.6 and A[1], each turned into an array, and the mix). A[1] us: the uniform star alone as "
        "linear_limb_darkening takes it (witt_mao_magnification, the Carlson form of the closed form in "
        "CARLSON_WINDOW, or from l = 3 the uniform star's mean-value series, from an array of l).")
    return table


def accuracy_table() -> tuple[Table, list[TargetResult]]:
    rows = json.loads(REFERENCE.read_text())["rows"]
    zones = (("l < 0.85", 0.0, 0.85), ("0.85 <= l <= 1.25, l != 1", 0.85, 1.25), ("l = 1", 1.0, 1.0),
             ("1.25 < l < 3", 1.25, 3.0), ("3 <= l <= 50", 3.0, 50.0), ("l > 50", 50.0, math.inf))
    table = Table(
        name="linear_law_accuracy",
        title="linear_limb_darkening against mpmath: largest relative error by zone of l (rho 1e-4 to 3)",
        columns=[Column("u", "g"), *[Column(name, ".1e") for name, *_ in zones], Column("worst", ".1e"),
                 Column("at (l, rho)"), Column("built-in law's own error there", ".1e")],
    )
    worst_all = (0.0, "")
    law_err = np.abs(np.concatenate([_law([l], 1.0, rho) for l, rho, *_ in rows])
                     / np.array(reference_values(rows, 0.6)) - 1.0)
    for u in (0.0, 0.3, 0.6, 0.85, 1.0):
        exact = np.array(reference_values(rows, u))
        got = np.concatenate([linear_limb_darkening([l], 1.0, rho, u) for l, rho, *_ in rows])
        err = np.abs(got / exact - 1.0)
        ls = np.array([r[0] for r in rows])
        cells = []
        for name, lo, hi in zones:
            if lo == hi:
                pick = ls == 1.0
            else:
                pick = (ls > lo if lo in (1.25, 50.0) else ls >= lo) & (ls <= hi if hi in (1.25, 50.0) else ls < hi)
                pick &= ls != 1.0
            cells.append(float(err[pick].max()) if pick.any() else math.nan)
        i = int(np.argmax(err))
        table.rows.append([u, *cells, float(err[i]), f"({rows[i][0]:.9g}, {rows[i][1]:g})", float(law_err[i])])
        if err[i] > worst_all[0]:
            worst_all = (float(err[i]), f"u = {u:g}, (l, rho) = ({rows[i][0]:.9g}, {rows[i][1]:g})")
    target = TargetResult.at_most("linear_limb_darkening against mpmath, u in {0, 0.3, 0.6, 0.85, 1}",
                                  "relative error", worst_all[0], ACCURACY, worst_all[1])
    table.targets.append(target)
    rhos = sorted({r[1] for r in rows})
    table.notes.append(
        f"{len(rows)} (l, rho) points of tests/data/linear_law_reference.json: rho in "
        f"{{{', '.join(f'{x:g}' for x in rhos)}}}, l from 0 through the rim (1 +- 1e-8, 1e-5, ...) to 1e5; "
        "A_u = ((1 - u) A[1] + (2u/3) A[mu]) / (1 - u/3) from the stored A[1] and A[mu] in 40-digit decimals. "
        "A_u = ((3 - 5u) A[1] + 4u A_0.6) / (3 - u) carries the built-in law's own error A_0.6 with the weight "
        "4u / (3 - u) (2 at u = 1): where the law itself errs, A_u does too.")
    return table, [target]


def laws_table(sizes, local: _Local) -> Table:
    from limb_darkening_laws import reference

    sample = [("rho 0.005, u0/rho 0.5", 5e-3, 0.5, 15.0), ("rho 0.05, u0/rho 0.5", 0.05, 0.5, 10.0),
              ("FFP rho 2.5, u0/rho 0.3, tE 0.25 d", 2.5, 0.3, 0.25)]
    curves = light_curves(sizes["decimate"], events=sample)
    table_law = {}

    def from_table(law):
        bl, bf = (np.asarray(x) for x in tabulate(law))
        return lambda l, re, rstar: tarnivox.integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)

    q, sq, p2 = quadratic(0.4, 0.25), square_root(0.1, 0.7), power_2(0.7, 0.55)
    laws = [
        ("built-in linear, u = 0.6", linear(0.6), _law, "none"),
        ("linear, u = 0.5", linear(0.5), _linear, "none"),
    ]
    for points in (BALANCED_POINTS, 501):
        laws += [
            ("quadratic a = 0.4, b = 0.25, parts", q,
             lambda l, re, rs, n=points: quadratic_limb_darkening(l, re, rs, 0.4, 0.25, n), f"mu^2, {points} balanced"),
            ("square-root c = 0.1, d = 0.7, parts", sq,
             lambda l, re, rs, n=points: square_root_limb_darkening(l, re, rs, 0.1, 0.7, n),
             f"sqrt(mu), {points} balanced"),
            ("power-2 c = 0.7, alpha = 0.55, parts", p2,
             lambda l, re, rs, n=points: power_2_limb_darkening(l, re, rs, 0.7, 0.55, n),
             f"mu^0.55, {points} balanced"),
        ]
    laws += [(f"{name}, one table", law, from_table(law), "the whole law, 501 graded")
             for name, law in (("linear u = 0.5", linear(0.5)), ("quadratic a = 0.4, b = 0.25", q),
                               ("square-root c = 0.1, d = 0.7", sq), ("power-2 c = 0.7, alpha = 0.55", p2))]
    keys = [(name, kind) for name, law, f, kind in laws]
    for c in curves:
        for name, law, f, kind in laws:
            make = _tarnivox_maker(f, c)
            make(0, min(8, c.t.size))()
            start = time.perf_counter()
            make(0, c.t.size)()
            per_item = (time.perf_counter() - start) / c.t.size
            local.groups.setdefault(("laws", c.name), {})[(name, kind), c.name] = _Chunked(
                make, c.t.size, CURVE_CHUNK_SECONDS, per_item)
    _interleave(sizes["rounds"], [("laws", c.name) for c in curves], [local.round])
    totals = local.totals()
    # Accuracy: rho 0.01 and 1, lens positions across the star, the rim and beyond.
    n = sizes["law_points"]
    ls = sorted({*np.linspace(0.0, 1.3, n).tolist(), 0.999, 1.0, 1.001, 2.0, 5.0})
    errors = {}
    for name, law, f, kind in laws:
        e = 0.0
        for rho in (0.01, 1.0):
            key = (id(law), rho)
            if key not in table_law:
                table_law[key] = np.array([reference(x, rho, law) for x in ls])
            e = max(e, _max_rel(np.asarray(f(ls, 1.0, rho), dtype=float), table_law[key]))
        errors[name, kind] = e
    table = Table(
        name="linear_law_laws",
        title="Limb-darkening laws: time per curve relative to the built-in law, and accuracy",
        columns=[Column("law"), Column("tabulated profile"),
                 *[Column(f"{c.name} ({c.t.size} epochs): / law", ".2f") for c in curves],
                 Column("max rel error", ".1e")],
    )
    for key in keys:
        table.rows.append([*key, *[totals[key, c.name] / totals[keys[0], c.name] for c in curves], errors[key]])
    table.notes += [
        "Exact parts: A[1] (witt_mao_magnification, or its closed form in Carlson's integrals at 0.85 <= l < 1.25 and 7 <= l < 51) "
        "and A_0.6 (integrated_heyrovsky_magnification), A[mu] = 2 A_0.6 - A[1]; a law that is not linear adds one "
        "table of the one profile its parts miss (mu^2, sqrt(mu), mu^alpha), its values balanced so that the "
        "interpolant has the profile's mean on every segment (limb_darkening.balanced_values). 'as one table': "
        "the whole law as 501 graded radii, as limb_darkening_laws.py tabulates it.",
        f"Time: whole curves as in linear_law_curves, each the minimum over {sizes['rounds']} rounds, divided by the "
        "built-in law's. Error: largest relative difference from an adaptive quadrature of ring magnifications "
        f"(limb_darkening_laws.reference, about 1e-11) at {len(ls)} separations from 0 to 5 (the rim included) "
        "for rho = 0.01 and 1; errors near 1e-11 are the reference's.",
    ]
    return table


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few rounds (a smoke run)")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where to write the tables")
    args = parser.parse_args(argv)
    sizes = QUICK if args.quick else FULL
    start = time.perf_counter()
    local = _Local()
    accuracy, accuracy_targets = accuracy_table()
    curves, curve_targets = curves_table(sizes, local)
    zones = zones_table(sizes, _Local())
    laws = laws_table(sizes, _Local())
    tables = [curves, zones, accuracy, laws]
    summary = targets_table([*curve_targets, *accuracy_targets])
    header = machine_description()
    header.append(f"tarnivox: {tarnivox.__file__}")
    header.append(run_line(start, args.quick))
    write_results(args.results, "linear_law",
                  "Limb darkening for any coefficient: linear_limb_darkening, the peers and the laws", header, tables,
                  summary, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
