"""Light curve of a microlensing event in which the lens crosses the source star.

The lens-source separation, in Einstein radii, follows the straight-line
trajectory

    u(t) = sqrt(u0^2 + ((t - t0) / tE)^2).

tarnivox measures separations in stellar radii: with the source radius
rho = rstar / re (Einstein radii), a separation u is l = u / rho.  Here
u0 < rho, so the lens passes over the stellar disk, where a point source, a
uniform star and a limb-darkened star give visibly different light curves.

Three light curves are computed:

* point source:   A(u) = (u^2 + 2) / (u sqrt(u^2 + 4));
* uniform star:   tarnivox.witt_mao_magnification;
* limb-darkened:  tarnivox.integrated_heyrovsky_magnification (linear law,
                  I(r) = 1 - 0.6 (1 - sqrt(1 - r^2))).

Output: a short table on the terminal, ``output/light_curve.csv`` beside
this script, and, when matplotlib is installed, ``output/light_curve.png``.
Nothing but tarnivox and the standard library is needed; matplotlib (the
plot) and tqdm (a progress bar for long runs) are used when installed.

    python examples/light_curve.py                  # 2000 epochs
    python examples/light_curve.py --points 200 --outdir /tmp/lc
    pip install '.[examples]'                       # matplotlib and tqdm
"""

from __future__ import annotations

import argparse
import csv
import math
import time
from collections.abc import Callable
from pathlib import Path

import tarnivox

# The event: t0 and tE in days, u0 and rho in Einstein radii.
T0 = 0.0
U0 = 0.002
TE = 20.0
RE, RSTAR = 1.0, 0.005  # any common unit: only rho = RSTAR / RE matters
RHO = RSTAR / RE

HALF_WINDOW = 2.0 * TE  # the light curve spans t0 +- 2 tE
STRETCH = 5.0  # epochs crowd around t0 (see epochs())
CHUNK = 500  # separations per call when a progress bar is shown
PROGRESS_AFTER = 2.0  # seconds: show a bar only for a longer computation

Floats = list[float]


def epochs(n: int) -> Floats:
    """n epochs over t0 +- HALF_WINDOW, dense near the peak.

    t = t0 + W sinh(k x) / sinh(k) with x uniform in [-1, 1]: the spacing
    at the peak is k / sinh(k) ~ 1/15 of the mean spacing, enough to resolve
    the 2 sqrt(rho^2 - u0^2) tE ~ 0.18 d crossing of the stellar disk with a
    few dozen epochs when n is a thousand or more.
    """
    scale = HALF_WINDOW / math.sinh(STRETCH)
    return [T0 + scale * math.sinh(STRETCH * (2.0 * i / (n - 1) - 1.0)) for i in range(n)]


def separation(t: Floats) -> Floats:
    """u(t) in Einstein radii for the straight-line trajectory."""
    return [math.hypot(U0, (ti - T0) / TE) for ti in t]


def point_source(u: Floats) -> Floats:
    """Magnification of a point source at separation u (Einstein radii)."""
    return [(ui * ui + 2.0) / (ui * math.sqrt(ui * ui + 4.0)) for ui in u]


def with_progress(
    function: Callable[[list[float], float, float], list[float]],
    l: list[float],
    label: str,
) -> list[float]:
    """function(l, RE, RSTAR), in chunks, with a tqdm bar if the call is slow.

    The first chunk is timed; if the rest would take longer than
    PROGRESS_AFTER seconds and tqdm is installed, a bar follows the rest.
    Chunking changes nothing in the values: each separation is computed
    independently of the others.
    """
    start = time.perf_counter()
    result = function(l[:CHUNK], RE, RSTAR)
    if len(l) <= CHUNK:
        return result
    elapsed = time.perf_counter() - start
    remaining = range(CHUNK, len(l), CHUNK)
    bar = None
    if elapsed * len(remaining) > PROGRESS_AFTER:
        try:
            from tqdm import tqdm
        except ImportError:
            pass
        else:
            bar = tqdm(total=len(l), initial=CHUNK, desc=label, unit="pt")
    for begin in remaining:
        chunk = l[begin : begin + CHUNK]
        result += function(chunk, RE, RSTAR)
        if bar is not None:
            bar.update(len(chunk))
    if bar is not None:
        bar.close()
    return result


def write_csv(path: Path, columns: dict[str, Floats]) -> None:
    with path.open("w", newline="") as stream:
        writer = csv.writer(stream)
        writer.writerow(columns)
        for row in zip(*columns.values()):
            writer.writerow([repr(value) for value in row])


def print_table(columns: dict[str, Floats], rows: int = 15) -> None:
    """A few epochs around the peak, where the three curves part."""
    t = columns["t_days"]
    half = 3.0 * RHO * TE
    chosen = [-half + 2.0 * half * k / (rows - 1) for k in range(rows)]
    picks = sorted({min(range(len(t)), key=lambda i: abs(t[i] - T0 - dt)) for dt in chosen})
    print(f"{'t - t0 [d]':>11} {'u':>9} {'l = u/rho':>9} "
          f"{'A point':>10} {'A uniform':>10} {'A limb-dark':>11}")
    for i in picks:
        print(f"{t[i] - T0:11.4f} {columns['u'][i]:9.6f} {columns['l'][i]:9.4f} "
              f"{columns['A_point_source'][i]:10.3f} {columns['A_uniform'][i]:10.3f} "
              f"{columns['A_limb_darkened'][i]:11.3f}")


def plot(path: Path, columns: dict[str, Floats]) -> bool:
    """Write the figure; False if matplotlib is not installed."""
    try:
        from matplotlib.figure import Figure  # no pyplot: works without a display
    except ImportError:
        return False
    t = [ti - T0 for ti in columns["t_days"]]
    a_point = columns["A_point_source"]
    a_uniform = columns["A_uniform"]
    a_dark = columns["A_limb_darkened"]

    fig = Figure(figsize=(11, 7.5), layout="constrained")
    axes = fig.subplot_mosaic([["full", "zoom"], ["full", "diff"]], height_ratios=(2.2, 1.0))
    full, zoom, diff = axes["full"], axes["zoom"], axes["diff"]
    diff.sharex(zoom)

    full.plot(t, a_point, color="0.6", lw=1.2, label="point source")
    full.plot(t, a_uniform, color="tab:blue", lw=1.2, label="uniform star")
    full.plot(t, a_dark, color="tab:red", lw=1.2, ls="--", label="limb-darkened star")
    full.set_yscale("log")
    full.set_xlabel("time from peak, t - t0 [days]")
    full.set_ylabel("magnification A")
    full.set_title("whole event (log scale)")
    full.legend(loc="upper right")

    window = [i for i, ti in enumerate(t) if abs(ti) <= 3.0 * RHO * TE]
    tw = [t[i] for i in window]
    cross = math.sqrt(RHO * RHO - U0 * U0) * TE  # lens on the stellar rim
    zoom.plot(tw, [a_point[i] for i in window], color="0.6", lw=1.2, label="point source")
    zoom.plot(tw, [a_uniform[i] for i in window], color="tab:blue", lw=1.5, label="uniform star")
    zoom.plot(tw, [a_dark[i] for i in window], color="tab:red", lw=1.5, ls="--",
              label="limb-darkened star")
    top = 1.3 * max(max(a_uniform[i], a_dark[i]) for i in window)
    zoom.set_ylim(0.0, top)  # the point source diverges at u -> 0
    zoom.set_ylabel("magnification A")
    zoom.set_title("peak: the lens crosses the star (linear scale)")
    zoom.legend(loc="upper right", fontsize="small")

    diff.axhline(0.0, color="0.6", lw=0.8)
    diff.plot(tw, [100.0 * (a_dark[i] / a_uniform[i] - 1.0) for i in window], color="tab:purple")
    diff.set_xlabel("time from peak, t - t0 [days]")
    diff.set_ylabel("limb-darkened / uniform - 1 [%]")
    for ax in (zoom, diff):
        for edge in (-cross, cross):
            ax.axvline(edge, color="0.8", lw=0.8, ls=":")

    fig.suptitle(f"t0 = {T0} d, u0 = {U0}, tE = {TE} d, rho = {RHO}"
                 "  (dotted: lens on the stellar rim)")
    fig.savefig(path, dpi=120)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description="Light curve of an event whose lens crosses the star.")
    parser.add_argument("--points", type=int, default=2000, help="number of epochs (default 2000)")
    parser.add_argument("--outdir", type=Path, default=Path(__file__).resolve().parent / "output",
                        help="folder for light_curve.csv and light_curve.png")
    args = parser.parse_args()
    if args.points < 2:
        parser.error("--points must be at least 2")

    t = epochs(args.points)
    u = separation(t)
    l = [ui / RHO for ui in u]  # stellar radii; one call per curve, not one per epoch

    columns = {
        "t_days": t,
        "u": u,
        "l": l,
        "A_point_source": point_source(u),
        "A_uniform": tarnivox.witt_mao_magnification(l, RE, RSTAR),
        "A_limb_darkened": with_progress(
            tarnivox.integrated_heyrovsky_magnification, l, "limb-darkened"
        ),
    }

    print(f"# event: t0 = {T0} d, u0 = {U0}, tE = {TE} d, rho = rstar/re = {RHO}")
    print_table(columns)

    args.outdir.mkdir(parents=True, exist_ok=True)
    csv_path = args.outdir / "light_curve.csv"
    write_csv(csv_path, columns)
    print(f"wrote {csv_path} ({args.points} rows: {', '.join(columns)})")
    png_path = args.outdir / "light_curve.png"
    if plot(png_path, columns):
        print(f"wrote {png_path}")
    else:
        print("matplotlib is not installed, so no plot was made; "
              "pip install '.[examples]' (or pip install matplotlib) to get light_curve.png")


if __name__ == "__main__":
    main()
