"""Where witt_mao_magnification's closed form loses accuracy: the windows of l in
which linear_limb_darkening (examples/limb_darkening.py) takes the uniform star
from the two-point table instead.

For rho from 1e-6 to 10, separations drawn densely (fixed seed) in bands around
the rim and far from the star are compared with the uniform disk evaluated by
mpmath (tests/data/make_magnification_reference.disk, 40 digits).  For each band
the table gives the largest error, and the smallest and largest l at which the
closed form errs by more than THRESHOLD, with the same for the two-point table
(integrated_flux_map_heyrovsky_magnification with bl = [0, 1], bf = [1, 1]) on
the same separations, and the windows that limb_darkening.py uses.

Run:  python3 benchmarks/measure_uniform_window.py [--quick] [--results DIR]
Writes uniform_window.md and uniform_window.csv.
"""

from __future__ import annotations

import argparse
import datetime
import math
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests" / "data"))

import mpmath as mp  # noqa: E402

import make_magnification_reference as R  # noqa: E402
import tarnivox  # noqa: E402
from harness import Column, Table, machine_description  # noqa: E402
from limb_darkening import UNIFORM_TABLE_WINDOWS  # noqa: E402

THRESHOLD = 3e-14
RHOS = (1e-6, 1e-5, 1e-4, 3e-4, 1e-3, 3e-3, 1e-2, 3e-2, 0.1, 0.3, 1.0, 2.0, 3.0, 5.0, 10.0)
BANDS = (("on the star", 0.0, 1.0), ("just outside", 1.0, 1.5), ("1.5 to 3", 1.5, 3.0), ("3 to 50", 3.0, 50.0),
         ("50 to 1e5", 50.0, 1e5))


def separations(lo: float, hi: float, n: int, rng) -> list[float]:
    if lo > 0 and hi / lo > 10:
        x = np.exp(rng.uniform(math.log(lo), math.log(hi), n))
    else:
        x = rng.uniform(lo, hi, n)
    if lo < 1.0 <= hi or lo <= 1.0 < hi:  # crowd towards the rim as well
        side = -1.0 if hi <= 1.0 else 1.0
        x = np.concatenate([x, 1.0 + side * 10.0 ** rng.uniform(-9, math.log10(hi - lo), n // 2)])
    x = np.concatenate([x, [lo, hi]])  # both ends of the band too
    return sorted(set(float(v) for v in x if lo <= v <= hi and v != 1.0))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--results", type=Path, default=HERE / "results")
    args = parser.parse_args(argv)
    n = 40 if args.quick else 300
    rng = np.random.default_rng(20261209)
    mp.mp.dps = R.DPS
    start = time.perf_counter()
    table = Table(
        name="uniform_window",
        title=f"witt_mao_magnification against mpmath: where it errs by more than {THRESHOLD:g}, by band of l",
        columns=[Column("band of l"), Column("rho", "g"), Column("points", "d"), Column("closed form worst", ".1e"),
                 Column(f"closed form > {THRESHOLD:g} from l", ".6g"), Column("to l", ".6g"),
                 Column("two-point table worst", ".1e")],
    )
    for name, lo, hi in BANDS:
        for rho in RHOS:
            ls = separations(lo, hi, n, rng)
            closed = tarnivox.witt_mao_magnification(ls, 1.0, rho)
            tab = tarnivox.integrated_flux_map_heyrovsky_magnification(ls, 1.0, rho, [0.0, 1.0], [1.0, 1.0])
            e_closed, e_table, bad = [], [], []
            for x, a, b in zip(ls, closed, tab):
                exact = R.disk(R._exact_product(mp.mpf(x), mp.mpf(rho)), mp.mpf(rho))
                e1, e2 = float(abs(a / exact - 1)), float(abs(b / exact - 1))
                e_closed.append(e1)
                e_table.append(e2)
                if e1 > THRESHOLD:
                    bad.append(x)
            table.rows.append([name, rho, len(ls), max(e_closed), min(bad) if bad else math.nan,
                               max(bad) if bad else math.nan, max(e_table)])
    table.notes += [
        f"Separations: {n} per band and rho (uniform, or log-uniform over more than a decade), and half as many "
        "again crowding towards the rim (|l - 1| from 1e-9), fixed seed; l = 1 itself is left to the rim's own "
        "closed form in limb_darkening.py.",
        "limb_darkening.py takes the uniform star from the two-point table for l in "
        + " and ".join(f"[{a:g}, {b:g}]" for a, b in UNIFORM_TABLE_WINDOWS)
        + f", and from the closed form elsewhere (rho from 1e-6 to 10).",
    ]
    header = machine_description()
    header.append(f"run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S')}" + (" (--quick)" if args.quick else "")
                  + f"; {time.perf_counter() - start:.0f} s")
    print("\n".join(header), end="\n\n")
    print(table.text())
    suffix = "-quick" if args.quick else ""
    args.results.mkdir(parents=True, exist_ok=True)
    (args.results / f"uniform_window{suffix}.csv").write_text(table.csv(), encoding="utf-8")
    (args.results / f"uniform_window{suffix}.md").write_text(
        "\n".join(["# Where the uniform disk's closed form needs the table", "", *[f"- {h}" for h in header], "",
                   table.markdown()]), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
