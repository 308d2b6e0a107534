"""How soon a long call stops when a signal handler raises.

Each call below would run for seconds to minutes: the closed form over 8e6
separations (as a float64 array, a list, a tuple and an array.array, read
through its iterator), the integrated functions over 1e6 separations, the
discrete sum over a table of 1e6 rings, and the preparation of a table of 1e7
points.  A SIGALRM handler that raises is set to fire 50 ms into the call;
the latency is the time from the alarm to the exception reaching Python.
And the ring family's first call with a table of 1e6 radii at random (its
moments, its groups of knots and segments formed), the alarm at each tenth
of the call's length in turn, up to eight tenths.
Calls poll about once a millisecond of work, so the latency is a millisecond
or two plus whatever the scheduler adds; the median and the largest of
`--repeat` runs are reported.

Run alone:  PYTHONPATH=<build dir> python3 benchmarks/bench_signal_latency.py [--repeat N]
"""

from __future__ import annotations

import argparse
import array
import math
import signal
import statistics
import time

import numpy as np

import tarnivox

DELAY = 0.05


class Alarm(Exception):
    pass


def _raise_alarm(signum, frame):
    raise Alarm


def calls():
    big = np.full(1_000_000, 1.7)
    longer = np.tile(big, 8)
    table = np.linspace(0.0, 1.0, 1_000_000)
    long_table = np.tile(table, 10)
    short = ([0.0, 1.0], [1.0, 0.5])
    t = tarnivox
    return {
        "witt_mao_magnification, float64 array": (t.witt_mao_magnification, (longer, 1.0, 0.1)),
        "witt_mao_magnification, list": (t.witt_mao_magnification, ([1.7] * 8_000_000, 1.0, 0.1)),
        "witt_mao_magnification, tuple": (t.witt_mao_magnification, ((1.7,) * 8_000_000, 1.0, 0.1)),
        "witt_mao_magnification, array.array": (t.witt_mao_magnification,
                                                (array.array("d", longer), 1.0, 0.1)),
        "integrated_witt_mao_magnification": (t.integrated_witt_mao_magnification, (big, 1.0, 0.1)),
        "integrated_flux_map_witt_mao_magnification": (
            t.integrated_flux_map_witt_mao_magnification, (big, 1.0, 0.1, *short)),
        "integrated_heyrovsky_magnification": (t.integrated_heyrovsky_magnification, (big, 1.0, 0.1)),
        "integrated_flux_map_heyrovsky_magnification": (
            t.integrated_flux_map_heyrovsky_magnification, (big, 1.0, 0.1, *short)),
        "discrete_flux_map_heyrovsky_magnification": (
            t.discrete_flux_map_heyrovsky_magnification, (big[:60], 1.0, 0.1, table, table)),
        "table of 1e7 points": (t.integrated_flux_map_witt_mao_magnification,
                                ([], 1.0, 0.1, long_table, long_table)),
    }


def new_ring_table():
    """A table of 1e6 radii at random and a function of the delay that calls with
    a table never seen (its last value changed), so that each call forms it."""
    rng = np.random.default_rng(1)
    radii = np.concatenate(([0.0], np.sort(rng.random(999_998)), [1.0])).tolist()
    values = (0.1 + 0.9 * rng.random(1_000_000)).tolist()

    def call(delay):
        return tarnivox.integrated_flux_map_heyrovsky_magnification(
            [0.5], 1.0, 0.01, radii, values[:-1] + [delay])
    return call


def latency(f, args, delay=DELAY) -> float:
    signal.setitimer(signal.ITIMER_REAL, delay)
    fired = time.monotonic() + delay
    try:
        f(*args)
    except Alarm:
        return time.monotonic() - fired
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    raise RuntimeError("the call ended before the alarm")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=10)
    repeat = parser.parse_args().repeat
    previous = signal.signal(signal.SIGALRM, _raise_alarm)
    try:
        print(f"{'call':48} {'median ms':>10} {'max ms':>10}")
        for name, (f, args) in calls().items():
            late = [latency(f, args) for _ in range(repeat)]
            print(f"{name:48} {1e3 * statistics.median(late):10.2f} {1e3 * max(late):10.2f}")
        call = new_ring_table()
        length = math.inf
        for i in range(2):
            start = time.monotonic()
            call(-1.0 - i)
            length = min(length, time.monotonic() - start)
        late = [latency(call, (delay,), delay) for delay in (length * i / 10 for i in range(1, 9))
                for _ in range(max(1, repeat // 5))]
        name = "ring family, a new table of 1e6 radii"
        print(f"{name:48} {1e3 * statistics.median(late):10.2f} {1e3 * max(late):10.2f}")
    finally:
        signal.signal(signal.SIGALRM, previous)


if __name__ == "__main__":
    main()
