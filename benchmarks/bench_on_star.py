"""The built-in law with the lens on the star: two builds of tarnivox side by
side, time per separation and accuracy.

Two builds of one extension module cannot live in one interpreter (both
define the module `tarnivox`), so each build runs in its own worker process
(this script with --worker, PYTHONPATH set to the build); the parent sends
the work over pipes, alternates the two workers round by round (the order
reversed every other round) and keeps, for every measurement, the minimum
over rounds.

1. Time per separation of `integrated_heyrovsky_magnification` with the lens
   on the star, l = u / rho drawn uniformly on [0, 1.05) (the zone below the
   product rules), for rho = rstar / re from 1e-3 to 10; with the number of
   ring evaluations per separation of each build, counted by the private
   test module beside it where it has one.
2. Accuracy of both builds against the mpmath references of tests/data, in
   zones of l: the built-in law (tables `limb_darkened`, `limb_darkened_wide`
   and on_star_reference.json's `limb_darkened`), the uniform table
   bl = [0, 1], bf = [1, 1] and the coarse tables of `table_wide`; the lens
   exactly on the rim (l = 1) and the doubles on both sides of the switches
   at l = 1.05, 1.2, 1.5 and 3 apart.

Run:  python3 benchmarks/bench_on_star.py --before <build> --after <build>
      [--rounds N] [--quick] [--results DIR]
(a build is a directory holding tarnivox.*.so).  Writes on_star.md and one
CSV per table.
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
DATA = HERE.parent / "tests" / "data"

RHOS = (1e-3, 0.01, 0.05, 0.1, 0.3, 1.0, 3.0, 10.0)
ON_STAR_END = 1.05
SEPARATIONS = 1000
SEED = 20261209

# Targets: time per separation after (microseconds), by the largest rho they cover.
TIME_TARGETS = ((0.3, 1.2), (10.0, 2.0))
TIME_AIM = 0.8
ON_STAR_ACCURACY = 1e-13  # relative, law and coarse tables, l < 1.05 (l = 1 included)
SWITCH_ACCURACY = {"law": 1e-14, "table": 1e-13}  # one ulp either side of a switch
SWITCHES = (1.05, 1.2, 1.5, 3.0)

UNIFORM = ([0.0, 1.0], [1.0, 1.0])


# ================================================================ worker


def _worker() -> int:
    """Serve requests from the parent (harness.serve)."""
    import tarnivox
    from harness import gc_paused, serve

    try:
        import _tarnivox_testing as testing
    except ImportError:
        testing = None
    law = tarnivox.integrated_heyrovsky_magnification
    table = tarnivox.integrated_flux_map_heyrovsky_magnification
    timed: dict = {}

    def values(request):
        if "bl" in request:
            return table(request["l"], 1.0, request["rho"], request["bl"], request["bf"])
        return law(request["l"], 1.0, request["rho"])

    def samples(request):
        if testing is None:
            return math.nan
        return float(np.mean([len(testing.integrated_nodes("ring", x, 1.0, request["rho"])) for x in request["l"]]))

    def add(request):
        l, rho = list(request["l"]), request["rho"]
        law(l, 1.0, rho)  # warm
        timed[request["key"]] = [lambda l=l, rho=rho: law(l, 1.0, rho), math.inf]

    def round_(request):
        with gc_paused():
            for entry in timed.values():
                start = time.perf_counter()
                entry[0]()
                entry[1] = min(entry[1], time.perf_counter() - start)

    return serve({"values": values, "samples": samples, "add": add, "round": round_,
                  "totals": lambda request: {key: entry[1] for key, entry in timed.items()}})


# ================================================================ references


def _near_switch(l: float) -> bool:
    return any(l in (math.nextafter(b, 0.0), b, math.nextafter(b, 4.0)) for b in SWITCHES)


def zone_of(l: float) -> str:
    if _near_switch(l):
        return "one ulp about a switch"
    if l == 1.0:
        return "l = 1 (rim)"
    if l < ON_STAR_END:
        return "l < 1.05 (on the star)"
    return "l >= 1.05"


def references():
    """{(profile, zone): [(l, rho, value)]}, profile 'law' or a table's name."""
    wide = json.loads((DATA / "magnification_reference.json").read_text())
    on_star = json.loads((DATA / "on_star_reference.json").read_text())
    tables = {name: (t["bl"], t["bf"]) for name, t in wide["table_wide"]["tables"].items()
              if name != "graded101"}
    rows: dict = {}

    def add(profile, l, rho, value):
        rows.setdefault((profile, zone_of(l)), []).append((l, rho, float(value)))

    for l, rho, v in wide["limb_darkened"]["rows"] + wide["limb_darkened_wide"]["rows"] + \
            on_star["limb_darkened"]["rows"]:
        add("law", l, rho, v)
    for name, l, rho, v in wide["table_wide"]["rows"]:
        if name in tables:
            add(name, l, rho, v)
    for l, rho, v in on_star["uniform"]["rows"]:
        add("uniform", l, rho, v)
    return rows, tables


# ================================================================ run


def run(before: Path, after: Path, rounds: int, separations: int):
    from harness import BuildWorker, Column, Table, TargetResult, relative_difference

    names = ("before", "after")
    workers = {"before": BuildWorker(before, Path(__file__)), "after": BuildWorker(after, Path(__file__))}
    try:
        rng = np.random.default_rng(SEED)
        ls = {rho: np.sort(rng.uniform(0.0, ON_STAR_END, separations)).tolist() for rho in RHOS}
        for name in names:
            for rho in RHOS:
                workers[name].ask(op="add", key=rho, l=ls[rho], rho=rho)
        for r in range(rounds):
            for name in (names if r % 2 == 0 else names[::-1]):
                workers[name].ask(op="round")
        totals = {name: workers[name].ask(op="totals") for name in names}
        samples = {name: {rho: workers[name].ask(op="samples", l=ls[rho][::10], rho=rho) for rho in RHOS}
                   for name in names}

        speed = Table(
            name="on_star_speed",
            title="Built-in law, lens on the star (l uniform on [0, 1.05)): time per separation",
            columns=[Column("rho", "g"), Column("before us", ".3f"), Column("after us", ".3f"),
                     Column("after / before", ".2f"), Column("ring evaluations before", ".1f"),
                     Column("ring evaluations after", ".1f")],
        )
        per = {name: {rho: 1e6 * totals[name][rho] / separations for rho in RHOS} for name in names}
        for rho in RHOS:
            speed.rows.append([rho, per["before"][rho], per["after"][rho], per["after"][rho] / per["before"][rho],
                               samples["before"][rho], samples["after"][rho]])
        speed.notes.append(f"{separations} separations per rho, one call each; minimum over {rounds} rounds, "
                           f"the builds alternating. Ring evaluations: mean over every tenth separation.")
        lo = 0.0
        for hi, bound in TIME_TARGETS:
            covered = [rho for rho in RHOS if lo < rho <= hi] if lo else [rho for rho in RHOS if rho <= hi]
            worst = max(covered, key=lambda rho: per["after"][rho])
            speed.targets.append(TargetResult.at_most(
                f"law on the star, rho <= {hi:g}: time per separation after", "us", per["after"][worst], bound,
                f"worst rho = {worst:g}"))
            lo = hi
        worst = max(RHOS, key=lambda rho: per["after"][rho] if rho <= 0.3 else -1)
        speed.targets.append(TargetResult.at_most(
            "law on the star, rho <= 0.3 (aim)", "us", per["after"][worst], TIME_AIM, f"worst rho = {worst:g}"))

        rows, tables = references()
        accuracy = Table(
            name="on_star_accuracy",
            title="Relative error against mpmath references, by zone of l",
            columns=[Column("profile"), Column("zone"), Column("points", "d"), Column("worst before", ".2e"),
                     Column("worst after", ".2e"), Column("where after (l, rho)")],
        )
        worst_on_star = (0.0, "")
        worst_switch = {"law": (0.0, ""), "table": (0.0, "")}
        for (profile, zone), pts in sorted(rows.items()):
            worst = {}
            for name in names:
                err, where = 0.0, ""
                for rho in sorted({rho for l, rho, v in pts}):
                    at = [(l, v) for l, r, v in pts if r == rho]
                    extra = {"bl": UNIFORM[0], "bf": UNIFORM[1]} if profile == "uniform" else (
                        {"bl": tables[profile][0], "bf": tables[profile][1]} if profile != "law" else {})
                    got = workers[name].ask(op="values", l=[l for l, v in at], rho=rho, **extra)
                    diff = relative_difference(got, [v for l, v in at])
                    diff = np.where(np.isfinite(diff), diff, np.inf)
                    i = int(np.argmax(diff))
                    if diff[i] > err:
                        err, where = float(diff[i]), f"{at[i][0]!r}, {rho:g}"
                worst[name] = (err, where)
            accuracy.rows.append([profile, zone, len(pts), worst["before"][0], worst["after"][0], worst["after"][1]])
            err, where = worst["after"]
            if zone in ("l < 1.05 (on the star)", "l = 1 (rim)") and err > worst_on_star[0]:
                worst_on_star = (err, f"{profile} at {where}")
            if zone == "one ulp about a switch":
                kind = "law" if profile == "law" else "table"
                if err > worst_switch[kind][0]:
                    worst_switch[kind] = (err, f"{profile} at {where}")
        accuracy.notes.append("Switches: both neighbouring doubles of l = 1.05, 1.2, 1.5 and 3, and those values. "
                              "Tables: the uniform star and the coarse tables of table_wide (limb11, kinks, inner).")
        accuracy.targets.append(TargetResult.at_most(
            "law and coarse tables on the star (l < 1.05, l = 1 included)", "relative error",
            worst_on_star[0], ON_STAR_ACCURACY, worst_on_star[1]))
        for kind, bound in SWITCH_ACCURACY.items():
            accuracy.targets.append(TargetResult.at_most(
                f"{kind}, one ulp either side of a switch", "relative error", worst_switch[kind][0], bound,
                worst_switch[kind][1]))
        return [speed, accuracy], {name: str(workers[name].file) for name in names}
    finally:
        for w in workers.values():
            w.close()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--before", type=Path, required=False, help="build directory of the 'before' tarnivox")
    parser.add_argument("--after", type=Path, required=False, help="build directory of the 'after' tarnivox")
    parser.add_argument("--rounds", type=int, default=31, help="timing rounds (default 31)")
    parser.add_argument("--quick", action="store_true", help="few separations and rounds (a smoke run)")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where to write the tables")
    args = parser.parse_args(argv)
    if args.worker:
        return _worker()
    if args.before is None or args.after is None:
        parser.error("--before and --after are required")

    sys.path.insert(0, str(HERE))
    from harness import machine_description, run_line, targets_table, write_results

    start = time.perf_counter()
    rounds, separations = (3, 100) if args.quick else (args.rounds, SEPARATIONS)
    tables, files = run(args.before, args.after, rounds, separations)
    summary = targets_table([target for table in tables for target in table.targets])
    header = machine_description()
    header.append(f"builds: before {files['before']}, after {files['after']}")
    header.append(run_line(start, args.quick))
    write_results(args.results, "on_star", "tarnivox: the built-in law with the lens on the star, before and after",
                  header, tables, summary, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
