"""The two limb-darkened families in a fit: what a light curve costs, and the step trap.

integrated_witt_mao_magnification and integrated_heyrovsky_magnification
compute the same star (the linear law, u = 0.6): the first from nested
uniform disks, the second from rings.  This script measures

* the time of one whole light curve through each, on the epochs of
  MOA-2008-BLG-310 and on synthetic curves (the same epoch pattern as
  bench_ring_zones.py: a survey every 15 min over t0 +- 3 tE, follow-up every
  2 min within 2 t* of t0), minimum over rounds;
* the fit of MOA-2008-BLG-310 (examples/fit_real_event.py's data, fluxes and
  error rescaling, the built-in law) through each family, with the
  Jacobian's absolute steps at 1e-5 and at 1e-3 of each parameter's natural
  scale: chi2, tE and its error, model evaluations, time.

    python benchmarks/bench_disk_family_fit.py      # a few minutes; needs MulensModel's data

Writes benchmarks/results/disk_family_fit.md and disk_family_fit.csv.
"""

from __future__ import annotations

import csv
import platform
import sys
import time
from datetime import datetime, timezone
from pathlib import Path

import numpy as np

import tarnivox

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
import fit_real_event as fre  # noqa: E402

RESULTS = ROOT / "benchmarks" / "results"
DISK = "disk family (integrated_witt_mao_magnification)"
RING = fre.BUILT_IN


def magnification(x, law, t):
    if law == DISK:
        l, rho = fre.separations(x, t)
        return np.asarray(tarnivox.integrated_witt_mao_magnification(l, 1.0, rho))
    return ORIGINAL(x, law, t)


ORIGINAL = fre.magnification
fre.magnification = magnification


def curve_epochs(rho, u0, te, seed=1):
    rng = np.random.default_rng(seed)
    survey = np.arange(-3 * te, 3 * te, 15 / 1440) + rng.uniform(0, 15 / 1440)
    follow = np.arange(-2 * rho * te, 2 * rho * te, 2 / 1440) + rng.uniform(0, 2 / 1440)
    t = np.sort(np.concatenate([survey, follow]))
    return np.hypot(u0, t / te) / rho


def best_time(f, rounds):
    best = np.inf
    for _ in range(rounds):
        began = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - began)
    return best


def curve_costs(event, x):
    rows = []
    cases = [("MOA-2008-BLG-310 epochs, its fit", *fre.separations(x, event.t))]
    for rho, u0_over_rho, te in ((0.001, 0.0, 20.0), (0.005, 0.5, 15.0), (0.02, 1.5, 20.0),
                                 (0.05, 0.5, 10.0), (0.2, 3.0, 18.0)):
        cases.append((f"rho {rho:g}, u0/rho {u0_over_rho:g}",
                      curve_epochs(rho, u0_over_rho * rho, te), rho))
    for name, l, rho in cases:
        ls = l.tolist()
        ring = best_time(lambda: tarnivox.integrated_heyrovsky_magnification(ls, 1.0, rho), 5)
        disk = best_time(lambda: tarnivox.integrated_witt_mao_magnification(ls, 1.0, rho), 2)
        rows.append({"curve": name, "epochs": len(ls), "ring family ms": 1e3 * ring,
                     "disk family ms": 1e3 * disk, "disk / ring": disk / ring})
        print(f"{name:40} {len(ls):6d} epochs: ring {1e3 * ring:8.2f} ms, "
              f"disk {1e3 * disk:9.1f} ms, ratio {disk / ring:6.0f}", flush=True)
    return rows


def main() -> int:
    folder = fre.find_data(None)
    event = fre.Event([fre.read_ipac(p) for p in sorted(folder.glob("*.tbl"))])
    start = fre.grid_start(event)
    uniform = fre.fit(event, fre.UNIFORM, start)
    first = fre.fit(event, RING, uniform.x)
    event.rescale_errors(first.x, RING)

    fits = []
    original_steps = fre.steps
    for law in (RING, DISK):
        for scale in (1e-5, 1e-3):
            fre.steps = lambda x, s=scale: original_steps(x) * (s / 1e-5)
            f = fre.fit(event, law, first.x)
            fits.append({"family": "ring" if law == RING else "disk", "step": scale,
                         "chi2": f.chi2, "tE d": f.x[2], "tE sigma d": f.sigma[2],
                         "u0": f.x[1], "rho": f.x[3], "evaluations": f.evaluations,
                         "seconds": f.seconds})
            print(f"{law:50} steps {scale:g}: chi2 {f.chi2:.2f}, tE {f.x[2]:.2f} +- "
                  f"{f.sigma[2]:.2f}, {f.evaluations} evaluations, {f.seconds:.1f} s", flush=True)
    fre.steps = original_steps
    costs = curve_costs(event, first.x)

    RESULTS.mkdir(exist_ok=True)
    with (RESULTS / "disk_family_fit.csv").open("w", newline="") as stream:
        writer = csv.DictWriter(stream, fieldnames=list(fits[0]))
        writer.writeheader()
        writer.writerows(fits)
    with (RESULTS / "disk_family_curves.csv").open("w", newline="") as stream:
        writer = csv.DictWriter(stream, fieldnames=list(costs[0]))
        writer.writeheader()
        writer.writerows(costs)
    when = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = [
        "# The limb-darkened families in a fit",
        "",
        f"- Python {platform.python_version()}, {platform.machine()}; run {when}",
        f"- `python benchmarks/bench_disk_family_fit.py`; the event: {event.t.size} epochs of "
        f"{fre.EVENT}, errors rescaled as in examples/fit_real_event.py, the linear law u = 0.6",
        "",
        "### Fits (absolute Jacobian steps: the step times each parameter's natural scale)",
        "",
        "| family | step | chi2 | tE d | tE sigma d | evaluations | seconds |",
        "|---|---:|---:|---:|---:|---:|---:|",
        *[f"| {r['family']} | {r['step']:g} | {r['chi2']:.2f} | {r['tE d']:.2f} | "
          f"{r['tE sigma d']:.2f} | {r['evaluations']} | {r['seconds']:.1f} |" for r in fits],
        "",
        "### One light curve (minimum over rounds)",
        "",
        "| curve | epochs | ring family ms | disk family ms | disk / ring |",
        "|---|---:|---:|---:|---:|",
        *[f"| {r['curve']} | {r['epochs']} | {r['ring family ms']:.2f} | "
          f"{r['disk family ms']:.1f} | {r['disk / ring']:.0f} |" for r in costs],
        "",
    ]
    (RESULTS / "disk_family_fit.md").write_text("\n".join(lines))
    print(f"wrote {RESULTS / 'disk_family_fit.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
