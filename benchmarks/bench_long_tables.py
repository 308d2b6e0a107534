"""Long tables on the star, and the accuracy of fine, rough and rim-bright tables.

For tables of 1e3 to 1e6 radii (a limb-darkening law sampled at evenly spaced
radii, every slope its own), with the lens on the star:

* the cost of one separation once the table's moments are formed: a call with
  K + 1 separations less a call with one, divided by K (the moments, formed or
  found at the start of each call, and the reading of the table cancel);
* the cost of a call of one separation with a table never seen (its moments
  formed) and with the same table again (its moments kept, or formed again).

The same cost per separation for rough tables (pseudo-random values at 1e2 to
1e5 evenly spaced radii), whose layers are integrated segment by segment, by
groups of segments where they are many.  And the worst relative error of each table of
tests/data/fine_table_reference.json against its mpmath references.

Each build is measured in its own process (both are modules named tarnivox):

    python3 benchmarks/bench_long_tables.py --build build [--before DIR] [--label-before TEXT]

writes benchmarks/results/long_tables.csv, long_tables_rough.csv,
long_tables_accuracy.csv and long_tables.md.  Timing: the minimum over rounds (benchmarks/harness.py's rule).
"""

from __future__ import annotations

import argparse
import csv
import datetime
import json
import math
import os
import random
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
RESULTS = HERE / "results"
LENGTHS = [1000, 10000, 100000, 1000000]
RHO = 0.01
# Separations on the star beyond the first, per length: enough for the
# per-call work (reading the table, finding its moments) to cancel well.
K = {1000: 2000, 10000: 1000, 100000: 400, 1000000: 200}


def separations(k):
    """k + 1 separations spread over the star, none on a radius of the tables."""
    return [0.013 + 0.97 * i / k for i in range(k + 1)]


def table(n):
    bl = [i / (n - 1) for i in range(n)]
    bf = [1.0 - 0.6 * (1.0 - math.sqrt(max(0.0, 1.0 - r * r))) for r in bl]
    return bl, bf


# Rough tables (pseudo-random values at evenly spaced radii): lengths and
# separations per call.
ROUGH = {100: 400, 1000: 200, 10000: 200, 100000: 100}


def rough_table(n):
    g = random.Random(n)
    return [i / (n - 1) for i in range(n)], [0.1 + 0.9 * g.random() for _ in range(n)]


def measure(rounds):
    """In the child process: the timings and the accuracy, as JSON on stdout."""
    sys.path.insert(0, str(HERE))
    from harness import min_interleaved

    import tarnivox

    f = tarnivox.integrated_flux_map_heyrovsky_magnification
    out = {"module": tarnivox.__file__, "cost": [], "accuracy": []}
    for n in LENGTHS:
        bl, bf = table(n)
        many, one = separations(K[n]), separations(K[n])[:1]
        r = max(1, rounds // (1 if n < 100000 else 4 if n < 1000000 else 10))
        t = min_interleaved({"many": lambda: f(many, 1.0, RHO, bl, bf),
                             "one": lambda: f(one, 1.0, RHO, bl, bf)}, r)
        per_separation = (t["many"] - t["one"]) / K[n]
        # a table never seen: a new last value each round
        best_new = math.inf
        for i in range(max(1, r // 2)):
            bf2 = bf[:-1] + [bf[-1] * (1.0 + (i + 1) * 1e-9)]
            t0 = time.perf_counter()
            f(one, 1.0, RHO, bl, bf2)
            best_new = min(best_new, time.perf_counter() - t0)
        out["cost"].append({"radii": n, "per_separation_us": per_separation * 1e6,
                            "call_new_table_us": best_new * 1e6, "call_same_table_us": t["one"] * 1e6})
    out["rough"] = []
    for n, k in ROUGH.items():
        bl, bf = rough_table(n)
        many, one = separations(k), separations(k)[:1]
        t = min_interleaved({"many": lambda: f(many, 1.0, RHO, bl, bf),
                             "one": lambda: f(one, 1.0, RHO, bl, bf)}, rounds)
        out["rough"].append({"radii": n, "per_separation_us": (t["many"] - t["one"]) / k * 1e6})
    data = json.loads((ROOT / "tests" / "data" / "fine_table_reference.json").read_text())
    tables = {name: (t["bl"], t["bf"]) for name, t in data["tables"].items()}
    for name in tables:
        worst, where = 0.0, None
        for tn, l, rho, v in data["rows"]:
            if tn != name:
                continue
            got = f([l], 1.0, rho, *tables[name])[0]
            e = abs(got - float(v)) / abs(float(v)) if math.isfinite(got) else math.inf
            if e >= worst:
                worst, where = e, (l, rho)
        out["accuracy"].append({"table": name, "worst": worst, "l": where[0], "rho": where[1]})
    return out


def run_child(build, rounds):
    env = dict(os.environ, PYTHONPATH=str(Path(build).resolve()))
    res = subprocess.run([sys.executable, __file__, "--measure", "--rounds", str(rounds)],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(res.stdout)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default="build", help="build directory holding the module measured")
    p.add_argument("--before", help="build directory of an earlier version, measured alike")
    p.add_argument("--label-before", default="before")
    p.add_argument("--label", default="after")
    p.add_argument("--rounds", type=int, default=20)
    p.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    a = p.parse_args(argv)
    if a.measure:
        json.dump(measure(a.rounds), sys.stdout)
        return 0
    runs = []
    if a.before:
        runs.append((a.label_before, run_child(a.before, a.rounds)))
    runs.append((a.label, run_child(a.build, a.rounds)))
    RESULTS.mkdir(exist_ok=True)
    with open(RESULTS / "long_tables.csv", "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["build", "radii", "per_separation_us", "call_new_table_us", "call_same_table_us"])
        for label, r in runs:
            for c in r["cost"]:
                w.writerow([label, c["radii"], f"{c['per_separation_us']:.2f}",
                            f"{c['call_new_table_us']:.1f}", f"{c['call_same_table_us']:.1f}"])
    with open(RESULTS / "long_tables_rough.csv", "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["build", "radii", "per_separation_us", "ratio_to_1e3_radii"])
        for label, r in runs:
            base = next(c["per_separation_us"] for c in r["rough"] if c["radii"] == 1000)
            for c in r["rough"]:
                w.writerow([label, c["radii"], f"{c['per_separation_us']:.2f}",
                            f"{c['per_separation_us'] / base:.2f}"])
    with open(RESULTS / "long_tables_accuracy.csv", "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["build", "table", "worst_relative_error", "l", "rho"])
        for label, r in runs:
            for c in r["accuracy"]:
                w.writerow([label, c["table"], f"{c['worst']:.2e}", repr(c["l"]), c["rho"]])
    sys.path.insert(0, str(HERE))
    from harness import machine_description

    lines = ["# Long tables on the star; fine, rough and rim-bright tables", ""]
    lines += [f"- {line}" for line in machine_description()]
    lines += [f"- run {datetime.datetime.now():%Y-%m-%d %H:%M:%S}; "
              + "; ".join(f"{label}: {Path(r['module']).parent}" for label, r in runs), "",
             f"Lens on the star (l from 0.013 to 0.983), rho = {RHO}; a call of K + 1 separations "
             f"(K = {', '.join(f'{k} for {n:g}' for n, k in K.items())} radii) less a call of one, "
             "per separation; a call of one separation with a new table and with "
             "the same table again.  Minimum over rounds.", "",
             "| build | radii | per separation (us) | ratio to 1e3 radii | call, new table (us) | call, same table (us) |",
             "|---|---:|---:|---:|---:|---:|"]
    for label, r in runs:
        base = r["cost"][0]["per_separation_us"]
        for c in r["cost"]:
            lines.append(f"| {label} | {c['radii']} | {c['per_separation_us']:.1f} | "
                         f"{c['per_separation_us'] / base:.2f} | {c['call_new_table_us']:.0f} | "
                         f"{c['call_same_table_us']:.0f} |")
    lines += ["", "Rough tables (pseudo-random values at evenly spaced radii), per separation on the star "
              "(us), and its ratio to 1e3 radii:", "",
              "| radii | " + " | ".join(f"{label} | ratio" for label, r in runs) + " |",
              "|---:|" + "---:|---:|" * len(runs)]
    bases = [next(c["per_separation_us"] for c in r["rough"] if c["radii"] == 1000) for label, r in runs]
    for i, c in enumerate(runs[0][1]["rough"]):
        lines.append(f"| {c['radii']} | " + " | ".join(
            f"{r['rough'][i]['per_separation_us']:.1f} | {r['rough'][i]['per_separation_us'] / base:.2f}"
            for (label, r), base in zip(runs, bases)) + " |")
    lines += ["", "Worst relative error against the mpmath references of "
              "tests/data/fine_table_reference.json:", "",
              "| table | " + " | ".join(label for label, r in runs) + " |",
              "|---|" + "---:|" * len(runs)]
    for i, c in enumerate(runs[0][1]["accuracy"]):
        lines.append(f"| {c['table']} | " + " | ".join(f"{r['accuracy'][i]['worst']:.1e}" for label, r in runs) + " |")
    text = "\n".join(lines) + "\n"
    (RESULTS / "long_tables.md").write_text(text)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
