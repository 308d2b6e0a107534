"""Shared pieces of the benchmark suite: timing, method entries, tables and
a description of the machine.

Timing rule: every measurement of one benchmark is taken once per round, the
rounds are repeated and the minimum of each measurement is kept.  Interleaving
the measurements spreads the noise of a shared machine evenly over them; the
minimum is the run least disturbed by it.
"""

from __future__ import annotations

import csv
import gc
import io
import math
import os
import platform
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Sequence

import numpy as np


# ---------------------------------------------------------------- timing


def min_interleaved(measurements: dict[str, Callable[[], Any]], rounds: int) -> dict[str, float]:
    """Seconds of the fastest of `rounds` runs of each zero-argument callable.

    Each callable runs once untimed first (to warm caches and lazily made
    constants); then every round runs each callable once, in turn.  The
    garbage collector is off while timing, as in timeit.
    """
    for f in measurements.values():
        f()
    best = {name: math.inf for name in measurements}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(rounds):
            for name, f in measurements.items():
                t0 = time.perf_counter()
                f()
                elapsed = time.perf_counter() - t0
                if elapsed < best[name]:
                    best[name] = elapsed
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


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

        def line(cells):
            return "  ".join(
                cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(cells, widths))
            ).rstrip()

        out = [self.title, line(headers), line(["-" * w for w in widths])]
        out += [line(r) for r in body]
        out += [f"  {note}" for note in self.notes]
        return "\n".join(out)

    def markdown(self) -> str:
        headers = [c.header for c in self.columns]
        out = [f"### {self.title}", "", "| " + " | ".join(headers) + " |"]
        out.append("|" + "|".join(["---"] + ["---:"] * (len(headers) - 1)) + "|")
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
    return f"missed by {100 * (value / target - 1):.0f}%"


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
    return [
        f"CPU: {model} ({os.cpu_count()} logical cores), {platform.machine()}, {platform.system()} {platform.release()}",
        f"Python: {sys.version.split()[0]} ({platform.python_implementation()}), NumPy {np.__version__}",
        f"Compiler: {_first_line(['g++', '--version'])}",
    ]
