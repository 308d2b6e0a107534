#!/usr/bin/env python3
"""Writes the README's comparison with peers from the ring-zone benchmark's results.

    python tools/readme_peers.py           # rewrite the section in README.md
    python tools/readme_peers.py --check   # exit 1 if the section is not what the results give

The section lies between the two marker lines below in README.md; its table
is made from benchmarks/results/ring_zones_curves.csv (whole light curves,
tarnivox against MulensModel's finite_source_LD_Yoo04 and VBMicrolensing's
ESPLLightCurve) and its date from benchmarks/results/ring_zones.md, both
written by benchmarks/bench_ring_zones.py.  A README cannot include a file,
so this script does, and the test suite checks that it is current.
"""

from __future__ import annotations

import argparse
import csv
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
CURVES = ROOT / "benchmarks" / "results" / "ring_zones_curves.csv"
REPORT = ROOT / "benchmarks" / "results" / "ring_zones.md"
BEGIN = "<!-- peers: begin (written by tools/readme_peers.py from benchmarks/results/ring_zones_curves.csv) -->"
END = "<!-- peers: end -->"


def section() -> str:
    with CURVES.open(newline="") as stream:
        rows = list(csv.DictReader(stream))
    run = re.search(r"^- run (\S+)", REPORT.read_text(), flags=re.M)
    date = run.group(1) if run else "(date not recorded)"
    lines = [
        BEGIN,
        "Limb-darkened light curves (the linear law, u = 0.6), ms per whole curve, and "
        "each peer's largest relative difference from tarnivox, whose own error is at "
        "rounding level: MulensModel's `finite_source_LD_Yoo04` and VBMicrolensing's "
        f"`ESPLLightCurve` (default tolerance). Measured {date} by "
        "`benchmarks/bench_ring_zones.py` (`benchmarks/results/ring_zones.md`):",
        "",
        "| curve | epochs | tarnivox ms | Yoo04 ms (error) | VBMicrolensing ms (error) |",
        "|---|---:|---:|---:|---:|",
    ]
    for row in rows:
        lines.append(
            f"| {row['curve']} | {row['epochs']} | {float(row['after ms']):.2f} | "
            f"{float(row['Yoo04 ms']):.2f} ({float(row['Yoo04 err']):.1e}) | "
            f"{float(row['VB Tol def ms']):.2f} ({float(row['VB def err']):.1e}) |")
    lines.append(END)
    return "\n".join(lines)


def current(readme: str) -> str:
    start, end = readme.index(BEGIN), readme.index(END) + len(END)
    return readme[start:end]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only check that the README is current")
    args = parser.parse_args()
    readme = README.read_text()
    wanted = section()
    if args.check:
        if current(readme) != wanted:
            print("README.md's comparison with peers is not current: run python tools/readme_peers.py")
            return 1
        print("README.md's comparison with peers is current")
        return 0
    README.write_text(readme.replace(current(readme), wanted))
    print(f"wrote the comparison with peers into {README}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
