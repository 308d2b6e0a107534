"""Run the tarnivox benchmarks, print their tables and write them to
benchmarks/results/ as Markdown and CSV.

    PYTHONPATH=<build dir> python3 benchmarks/run.py [--quick] [--only NAME ...]

or  python3 benchmarks/run.py --build <build dir>  (the directory holding the
built tarnivox and _tarnivox_testing extension modules).
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
}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Run the tarnivox benchmarks.")
    parser.add_argument("--quick", action="store_true", help="small sizes and few rounds (a smoke run)")
    parser.add_argument("--only", nargs="+", choices=sorted(BENCHMARKS), help="run only these benchmarks")
    parser.add_argument("--build", type=Path, help="directory of the built extension modules")
    parser.add_argument("--results", type=Path, default=HERE / "results", help="where to write the tables")
    args = parser.parse_args(argv)

    if args.build:
        sys.path.insert(0, str(args.build.resolve()))
    sys.path.insert(0, str(HERE))
    try:
        import tarnivox  # noqa: F401
        import _tarnivox_testing  # noqa: F401
    except ImportError as error:
        parser.error(f"{error}: build the module and pass --build DIR or set PYTHONPATH")
    from harness import machine_description

    suffix = "-quick" if args.quick else ""
    header = machine_description()
    header.append(f"tarnivox: {Path(tarnivox.__file__).name}; run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S')}"
                  + (" (--quick)" if args.quick else ""))
    print("\n".join(header), end="\n\n", flush=True)

    tables = []
    for name in args.only or BENCHMARKS:
        module = importlib.import_module(BENCHMARKS[name])
        start = time.perf_counter()
        produced = module.run(quick=args.quick)
        elapsed = time.perf_counter() - start
        for table in produced:
            print(table.text(), end="\n\n", flush=True)
        print(f"({name}: {elapsed:.0f} s)", end="\n\n", flush=True)
        tables += produced

    args.results.mkdir(parents=True, exist_ok=True)
    for table in tables:
        (args.results / f"{table.name}{suffix}.csv").write_text(table.csv(), encoding="utf-8")
    markdown = ["# tarnivox benchmarks", ""] + [f"- {line}" for line in header] + [""]
    markdown += [table.markdown() for table in tables]
    summary = args.results / f"benchmarks{suffix}.md"
    summary.write_text("\n".join(markdown), encoding="utf-8")
    print(f"Tables written to {args.results}/ ({summary.name} and one CSV per table).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
