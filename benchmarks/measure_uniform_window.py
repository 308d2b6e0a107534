"""The uniform star A[1] as linear_limb_darkening (examples/limb_darkening.py)
takes it, against mpmath: witt_mao_magnification below l = 3 outside
CARLSON_WINDOW, the Carlson form of the closed form inside it, the rim's own
closed form at l = 1, and the uniform star's mean-value series from l = 3.

For rho from 1e-6 to 10 (and two sizes outside that range, for which the
Carlson form serves at every l < 3), separations drawn densely (fixed seed)
in bands from the centre through the rim (l = 1 exactly, and 1 +- 1e-15 to
1e-2) to l = 1e5 are compared with the uniform disk evaluated by mpmath
(tests/data/make_magnification_reference.disk, 40 digits).  For each band the
table gives the route's largest error (linear_law_parts, the A[1] that
linear_limb_darkening mixes), the Carlson form's alone on the same separations
(l != 1, below 51, to show where it would serve), and witt_mao_magnification's, with the smallest and
largest l at which the module errs by more than THRESHOLD: the windows where
the route must not take it.

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
from limb_darkening import (  # noqa: E402
    CARLSON_WINDOW, CLOSED_FORM_RHO, SERIES_FROM, FAR_GROUPING_FROM, _uniform_disk_carlson, linear_law_parts,
)

THRESHOLD = 3e-14
TARGET = 1e-13
RHOS = (1e-8, 1e-6, 1e-5, 1e-4, 3e-4, 1e-3, 3e-3, 1e-2, 3e-2, 0.1, 0.3, 1.0, 2.0, 3.0, 5.0, 10.0, 30.0)
BANDS = (("on the star", 0.0, 1.0), ("just outside", 1.0, 1.5), ("1.5 to 3", 1.5, 3.0), ("3 to 50", 3.0, 50.0),
         ("50 to 1e5", 50.0, 1e5))


def separations(lo: float, hi: float, n: int, rng) -> list[float]:
    if lo > 0 and hi / lo > 10:
        x = np.exp(rng.uniform(math.log(lo), math.log(hi), n))
    else:
        x = rng.uniform(lo, hi, n)
    if lo < 1.0 <= hi or lo <= 1.0 < hi:  # crowd towards the rim as well, to within 1e-15
        side = -1.0 if hi <= 1.0 else 1.0
        x = np.concatenate([x, 1.0 + side * 10.0 ** rng.uniform(-15, math.log10(hi - lo), n // 2),
                            1.0 + side * 10.0 ** np.arange(-15.0, -1.0)])
    x = np.concatenate([x, [lo, hi]])  # both ends of the band too (l = 1 itself in the first two)
    return sorted(set(float(v) for v in x if lo <= v <= hi))


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
        title=f"A[1] against mpmath, by band of l: the route linear_limb_darkening takes, the Carlson form, "
              "and witt_mao_magnification",
        columns=[Column("band of l"), Column("rho", "g"), Column("points", "d"), Column("route worst", ".1e"),
                 Column("at l", ".9g"), Column("Carlson form worst", ".1e"), Column("module worst", ".1e"),
                 Column(f"module > {THRESHOLD:g} from l", ".6g"), Column("to l", ".6g")],
    )
    worst = 0.0
    for name, lo, hi in BANDS:
        for rho in RHOS:
            ls = np.array(separations(lo, hi, n, rng))
            exact = np.array([float(R.disk(R._exact_product(mp.mpf(x), mp.mpf(rho)), mp.mpf(rho))) for x in ls])
            route = linear_law_parts(ls, 1.0, rho)[0]
            module = np.array(tarnivox.witt_mao_magnification(ls, 1.0, rho))
            e_route = np.abs(route / exact - 1.0)
            e_module = np.abs(module / exact - 1.0)
            sub = (ls != 1.0) & (ls < 51.0)
            e_carlson = np.zeros(1)
            for far in (False, True):  # the rim grouping below FAR_GROUPING_FROM, the far one from it
                pick = sub & ((ls >= FAR_GROUPING_FROM) == far)
                if pick.any():
                    got = _uniform_disk_carlson(ls[pick], rho, far)
                    e_carlson = np.concatenate([e_carlson, np.abs(got / exact[pick] - 1.0)])
            bad = ls[e_module > THRESHOLD]
            i = int(np.argmax(e_route))
            worst = max(worst, float(e_route[i]))
            table.rows.append([name, rho, ls.size, float(e_route[i]), float(ls[i]), float(e_carlson.max()),
                               float(e_module.max()), float(bad.min()) if bad.size else math.nan,
                               float(bad.max()) if bad.size else math.nan])
    table.notes += [
        f"Separations: {n} per band and rho (uniform, or log-uniform over more than a decade), half as many again "
        "crowding towards the rim (|l - 1| from 1e-15), every 1 +- 10^-k (k = 2 to 15) and both ends of the band "
        "(l = 1 exactly in the first two), fixed seed.",
        "The route: for rho from " + " to ".join(f"{r:g}" for r in CLOSED_FORM_RHO)
        + f", the Carlson form for l in [{CARLSON_WINDOW[0]:g}, {CARLSON_WINDOW[1]:g}) and "
        + f"witt_mao_magnification elsewhere below l = {SERIES_FROM:g}; for other rho, the Carlson form at every "
        + f"l < {SERIES_FROM:g}; from l = {SERIES_FROM:g} on, the uniform star's mean-value series (the two-point "
        + "table [0, 1] -> [1, 1]); at l = 1 the rim's closed form.",
        f"Worst of the route over every band and rho: {worst:.1e} (target {TARGET:g}).",
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
        "\n".join(["# The uniform star of linear_limb_darkening against mpmath", "", *[f"- {h}" for h in header], "",
                   table.markdown()]), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
