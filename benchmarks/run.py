"""Run the tarnivox benchmarks, print their tables and the target summary,
and write them to benchmarks/results/: performance.md (targets and the
comparison with the peers), performance.png (time per point against
relative error), benchmarks.md (every table) and one CSV per table.

With the package installed (pip install '.[bench]'):

    python3 benchmarks/run.py [--quick] [--only NAME ...] [--before DIR] [--L L]

or from a build directory holding the tarnivox and _tarnivox_testing
extension modules:  python3 benchmarks/run.py --build <build dir>
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Benchmark name -> module of this directory; each module has run(quick) -> list of tables.
BENCHMARKS = {
    "closed_forms": "bench_closed_forms",
    "integrated": "bench_integrated",
    "kernels": "bench_kernels",
    "peers": "bench_peers",
    "ring_zones": "bench_ring_zones",
}

# The plot shows this statistic of the relative error over the accuracy grid.
PLOT_STATISTIC = "max"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Run the tarnivox benchmarks.")
    parser.add_argument("--quick", action="store_true", help="small sizes and few rounds (a smoke run)")
    parser.add_argument("--only", nargs="+", choices=sorted(BENCHMARKS), help="run only these benchmarks")
    parser.add_argument("--build", type=Path, help="directory of the built extension modules")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where to write the tables")
    parser.add_argument("--before", type=Path,
                        help="ring_zones: build directory of the tarnivox to compare with (default: the one tested)")
    parser.add_argument("--L", type=float, default=3.0, help="ring_zones: start of the far zone (default 3)")
    args = parser.parse_args(argv)
    options = {"ring_zones": {"before": args.before, "L": args.L}}

    if args.build:
        sys.path.insert(0, str(args.build.resolve()))
    sys.path.insert(0, str(HERE))
    try:
        import tarnivox  # noqa: F401
        import _tarnivox_testing  # noqa: F401
    except ImportError as error:
        parser.error(f"{error}: build the module and pass --build DIR or set PYTHONPATH")
    from harness import machine_description, targets_table

    suffix = "-quick" if args.quick else ""
    header = machine_description()
    header.append(f"tarnivox: {Path(tarnivox.__file__).name}; run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S')}"
                  + (" (--quick)" if args.quick else ""))
    print("\n".join(header), end="\n\n", flush=True)

    tables = []
    for name in args.only or BENCHMARKS:
        module = importlib.import_module(BENCHMARKS[name])
        start = time.perf_counter()
        produced = module.run(quick=args.quick, **options.get(name, {}))
        elapsed = time.perf_counter() - start
        for table in produced:
            print(table.text(), end="\n\n", flush=True)
        print(f"({name}: {elapsed:.0f} s)", end="\n\n", flush=True)
        tables += produced

    summary = targets_table([target for table in tables for target in table.targets])
    print(summary.text(), end="\n\n", flush=True)

    args.results.mkdir(parents=True, exist_ok=True)
    for table in [summary, *tables]:
        (args.results / f"{table.name}{suffix}.csv").write_text(table.csv(), encoding="utf-8")
    preamble = [f"- {line}" for line in header] + [""]
    everything = args.results / f"benchmarks{suffix}.md"
    everything.write_text("\n".join(["# tarnivox benchmarks", "", *preamble, summary.markdown(),
                                     *(table.markdown() for table in tables)]), encoding="utf-8")
    written = [everything.name]

    peers = [table for table in tables if table.name.startswith("peers_")]
    performance = args.results / f"performance{suffix}.md"
    lines = ["# tarnivox performance", "", *preamble, summary.markdown()]
    if peers:
        import bench_peers

        figure = args.results / f"performance{suffix}.png"
        bench_peers.plot(peers, figure, PLOT_STATISTIC)
        written.append(figure.name)
        lines += [f"![time per point against {PLOT_STATISTIC} relative error]({figure.name})", "",
                  f"The plot shows, for every method and rho, the time per point against the {PLOT_STATISTIC} "
                  "relative error over the accuracy grid (the tables below give both the largest and the median).",
                  ""]
        lines += [table.markdown() for table in peers]
    performance.write_text("\n".join(lines), encoding="utf-8")
    written.insert(0, performance.name)
    print(f"Written to {args.results}/: {', '.join(written)} and one CSV per table.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
