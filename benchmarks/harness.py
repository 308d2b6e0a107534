"""Shared pieces of the benchmark suite: timing, method entries, tables and
a description of the machine.

Timing rule: every measurement of one benchmark is taken once per round, the
rounds are repeated and the minimum of each measurement is kept.  Interleaving
the measurements spreads the noise of a shared machine evenly over them; the
minimum is the run least disturbed by it.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import datetime
import gc
import importlib.metadata
import io
import math
import os
import pickle
import platform
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Sequence

import numpy as np


# ---------------------------------------------------------------- timing



@contextlib.contextmanager
def gc_paused():
    """The garbage collector off while timing, as in timeit, and as it was afterwards."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def run_line(start: float, quick: bool) -> str:
    """The header line with the run's date and duration (started at time.perf_counter() = start)."""
    return (f"run {datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S')}" + (" (--quick)" if quick else "")
            + f"; {time.perf_counter() - start:.0f} s")


def write_results(results: Path, name: str, title: str, header: list, tables: list, summary, quick: bool) -> Path:
    """Prints the header, every table and the targets; writes one CSV per table, NAME_targets.csv and
    NAME.md (title, header, targets, tables) to `results`, each with a -quick suffix after a --quick run."""
    print("\n".join(header), end="\n\n")
    for table in [*tables, summary]:
        print(table.text(), end="\n\n", flush=True)
    suffix = "-quick" if quick else ""
    results.mkdir(parents=True, exist_ok=True)
    for table in tables:
        (results / f"{table.name}{suffix}.csv").write_text(table.csv(), encoding="utf-8")
    (results / f"{name}_targets{suffix}.csv").write_text(summary.csv(), encoding="utf-8")
    md = results / f"{name}{suffix}.md"
    md.write_text("\n".join([f"# {title}", "", *[f"- {h}" for h in header], "", summary.markdown(),
                             *(t.markdown() for t in tables)]), encoding="utf-8")
    print(f"Written to {results}/: {md.name} and one CSV per table.")
    return md

def min_interleaved(measurements: dict[str, Callable[[], Any]], rounds: int) -> dict[str, float]:
    """Seconds of the fastest of `rounds` runs of each zero-argument callable.

    Each callable runs once untimed first (to warm caches and lazily made
    constants); then every round runs each callable once, in turn.  The
    garbage collector is off while timing, as in timeit.
    """
    for f in measurements.values():
        f()
    best = {name: math.inf for name in measurements}
    with gc_paused():
        for _ in range(rounds):
            for name, f in measurements.items():
                t0 = time.perf_counter()
                f()
                elapsed = time.perf_counter() - t0
                if elapsed < best[name]:
                    best[name] = elapsed
    return best


def min_interleaved_chunked(
    methods: dict[Any, tuple],
    rounds: int,
    chunk_seconds: float = 5e-4,
) -> dict[Any, float]:
    """Seconds of each method over its whole range of `count` items, as the
    sum over chunks of the range of the fastest of `rounds` runs of each chunk.

    `methods` maps a name to (count, make) or (count, make, whole), where
    make(lo, hi) prepares the zero-argument callable that computes items lo
    to hi - 1.  The range is cut into chunks of about `chunk_seconds` each
    (from one untimed run of the whole range; a chunk holds at least one
    item), unless `whole` is true: then the range is timed in one piece (for
    a call whose fixed cost must be paid once, not once per chunk).  On a shared machine the
    scheduler takes the processor away every few milliseconds: a long timed
    run is almost never left alone, so its minimum still holds other
    programs' time, and more so the longer it runs; short chunks are left
    alone often enough for their minimum to be the program's own time.
    """
    flat = {}
    for name, (count, make, *options) in methods.items():
        whole = make(0, count)
        whole()
        t0 = time.perf_counter()
        whole()
        per_item = (time.perf_counter() - t0) / max(1, count)
        if options and options[0]:
            size = max(1, count)
        else:
            size = count if per_item <= 0 else max(1, min(count, int(chunk_seconds / per_item)))
        for lo in range(0, count, size):
            flat[name, lo] = make(lo, min(count, lo + size))
    best = min_interleaved(flat, rounds)
    totals = dict.fromkeys(methods, 0.0)
    for (name, _), seconds in best.items():
        totals[name] += seconds
    return totals


# ---------------------------------------------------------------- methods


@dataclass(frozen=True)
class Method:
    """One way of computing a benchmark's quantity.

    `setup(case)` prepares everything that is not to be timed (converting
    inputs, allocating outputs) and returns the zero-argument callable that is
    timed; that callable returns the values (any sequence of floats).  Before
    anything is timed the values are compared with `reference`, which names
    either an exact reference of the benchmark (such as "mpmath") or another
    method of the same list, and must agree to within the relative
    difference `rtol`.
    """

    name: str
    setup: Callable[[Any], Callable[[], Sequence[float]]]
    reference: str
    rtol: float


def relative_difference(values, reference) -> np.ndarray:
    """|values - reference| / |reference| elementwise (absolute where the reference is 0)."""
    values = np.asarray(values, dtype=float)
    reference = np.asarray(reference, dtype=float)
    scale = np.where(reference == 0, 1.0, np.abs(reference))
    return np.abs(values - reference) / scale


# ---------------------------------------------------------------- tables


@dataclass
class Column:
    header: str
    fmt: str = ""  # format of numbers, e.g. ".1f"; text is shown as is


@dataclass
class Table:
    """A result table: printed, and written as Markdown and CSV."""

    name: str  # file stem, e.g. "closed_forms_disk"
    title: str
    columns: list[Column]
    rows: list[list[Any]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    # The targets this table measures, for the summary of the run.
    targets: list["TargetResult"] = field(default_factory=list)

    def _cells(self, row: list[Any]) -> list[str]:
        cells = []
        for column, value in zip(self.columns, row):
            if isinstance(value, float) and not math.isfinite(value):
                cells.append("-")
            elif isinstance(value, (int, float)) and column.fmt:
                cells.append(format(value, column.fmt))
            else:
                cells.append(str(value))
        return cells

    def text(self) -> str:
        headers = [c.header for c in self.columns]
        body = [self._cells(row) for row in self.rows]
        widths = [max(len(h), *(len(r[i]) for r in body)) if body else len(h) for i, h in enumerate(headers)]

        # Text columns (no number format) align left, numbers right.
        left = [i == 0 or not c.fmt for i, c in enumerate(self.columns)]

        def line(cells):
            return "  ".join(
                cell.ljust(w) if left[i] else cell.rjust(w) for i, (cell, w) in enumerate(zip(cells, widths))
            ).rstrip()

        out = [self.title, line(headers), line(["-" * w for w in widths])]
        out += [line(r) for r in body]
        out += [f"  {note}" for note in self.notes]
        return "\n".join(out)

    def markdown(self) -> str:
        headers = [c.header for c in self.columns]
        out = [f"### {self.title}", "", "| " + " | ".join(headers) + " |"]
        out.append("|" + "|".join("---" if i == 0 or not c.fmt else "---:" for i, c in enumerate(self.columns)) + "|")
        out += ["| " + " | ".join(self._cells(row)) + " |" for row in self.rows]
        if self.notes:
            out.append("")
            out += [f"- {note}" for note in self.notes]
        return "\n".join(out) + "\n"

    def csv(self) -> str:
        buffer = io.StringIO()
        writer = csv.writer(buffer, lineterminator="\n")
        writer.writerow([c.header for c in self.columns])
        for row in self.rows:
            writer.writerow([repr(v) if isinstance(v, float) else v for v in row])
        return buffer.getvalue()


def target_verdict(value: float, target: float) -> str:
    """'met' or 'missed by N%' for a quantity that must not exceed `target`."""
    if value <= target:
        return "met"
    if not math.isfinite(value):
        return "missed (not measured)"
    return f"missed by {100 * (value / target - 1):.0f}%"


def target_verdict_at_least(value: float, target: float) -> str:
    """'met' or 'missed by a factor N' for a quantity that must reach `target`."""
    if value >= target:
        return "met"
    if not math.isfinite(value) or value <= 0:
        return "missed (not measured)"
    return f"missed by a factor {target / value:.2f}"


@dataclass
class TargetResult:
    """One line of the target summary: what was required, what was measured."""

    target: str  # what is compared, e.g. "witt_mao_magnification vs libstdc++"
    requirement: str  # e.g. "time ratio <= 0.6"
    measured: float  # the ratio itself
    detail: str  # where it was measured, e.g. "worst rho = 0.001"
    verdict: str  # "met" or "missed by ..."

    @classmethod
    def at_most(cls, target: str, quantity: str, value: float, bound: float, detail: str = "") -> "TargetResult":
        return cls(target, f"{quantity} <= {bound:g}", value, detail, target_verdict(value, bound))

    @classmethod
    def at_least(cls, target: str, quantity: str, value: float, bound: float, detail: str = "") -> "TargetResult":
        return cls(target, f"{quantity} >= {bound:g}", value, detail, target_verdict_at_least(value, bound))


def targets_table(results: Sequence[TargetResult]) -> Table:
    table = Table(
        name="targets",
        title="Targets",
        columns=[Column("target"), Column("requirement"), Column("measured", ".3g"), Column("where"),
                 Column("verdict")],
    )
    for r in results:
        table.rows.append([r.target, r.requirement, r.measured, r.detail, r.verdict])
    met = sum(r.verdict == "met" for r in results)
    table.notes.append(f"{met} of {len(results)} targets met.")
    return table


# ---------------------------------------------------------------- machine


def _first_line(command: list[str]) -> str:
    try:
        result = subprocess.run(command, capture_output=True, text=True, check=False)
    except OSError:
        return "not found"
    return (result.stdout or result.stderr).strip().splitlines()[0] if (result.stdout or result.stderr) else "?"


def machine_description() -> list[str]:
    """CPU model and count, Python, compiler and NumPy versions."""
    model = "unknown"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions = []
    for name in ("scipy", "mpmath", "matplotlib", "MulensModel", "VBMicrolensing"):
        try:
            versions.append(f"{name} {importlib.metadata.version(name)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{name} not installed")
    return [
        f"CPU: {model} ({os.cpu_count()} logical cores), {platform.machine()}, {platform.system()} {platform.release()}",
        f"Python: {sys.version.split()[0]} ({platform.python_implementation()}), NumPy {np.__version__}",
        f"Compiler: {_first_line(['g++', '--version'])}",
        "Packages: " + ", ".join(versions),
    ]


def script_main(run: Callable[[bool], Sequence["Table"]], doc: str, argv=None) -> int:
    """Command line of a single benchmark script: --quick, then print its tables."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few rounds")
    args = parser.parse_args(argv)
    for table in run(args.quick):
        print(table.text(), end="\n\n")
    return 0


def serve(handlers: dict[str, Callable[[dict], Any]]) -> int:
    """The worker's side of BuildWorker: one pickled request dict in, one pickled
    reply out, handlers[request["op"]](request) being the reply; "info" (the
    module's file) and "quit" are answered here."""
    import tarnivox

    inp, out = sys.stdin.buffer, sys.stdout.buffer
    sys.stdout = sys.stderr  # nothing else may write to the pipe
    while True:
        try:
            request = pickle.load(inp)
        except EOFError:
            return 0
        op = request["op"]
        if op == "quit":
            return 0
        reply = {"file": tarnivox.__file__} if op == "info" else handlers[op](request)
        pickle.dump(reply, out, protocol=pickle.HIGHEST_PROTOCOL)
        out.flush()


class BuildWorker:
    """A worker process running one build of tarnivox: `script --worker` with the
    build first on its path, answering pickled requests on its standard streams
    (one interpreter cannot hold two builds of one extension module)."""

    def __init__(self, build: Path, script: Path):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([str(build), *filter(None, [env.get("PYTHONPATH")])])
        env["OMP_NUM_THREADS"] = "1"
        self.build = build
        self.process = subprocess.Popen([sys.executable, str(Path(script).resolve()), "--worker"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        self.file = Path(self.ask(op="info")["file"])
        if self.file.parent.resolve() != build.resolve():
            raise RuntimeError(f"the worker for {build} imported {self.file}")

    def ask(self, **request):
        pickle.dump(request, self.process.stdin, protocol=pickle.HIGHEST_PROTOCOL)
        self.process.stdin.flush()
        try:
            return pickle.load(self.process.stdout)
        except EOFError:
            raise RuntimeError(f"the worker for {self.build} stopped (exit code {self.process.wait()})") from None

    def close(self):
        try:
            self.ask(op="quit")
        except (RuntimeError, BrokenPipeError, EOFError):
            pass
        self.process.wait()
