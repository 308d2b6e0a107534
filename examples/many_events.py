"""Light curves of many microlensing events on a Dask cluster.

tarnivox computes on the calling thread and holds the interpreter lock for
the whole call, so threads give no parallelism: the work is spread over
worker PROCESSES.  Each task computes one event's limb-darkened light curve
with one call (all epochs at once); the results are then compared with a
serial loop in this process and must be bitwise identical, since every
worker runs the same code on the same numbers.

    python examples/many_events.py [--events 100] [--points 500]
    python examples/many_events.py --scheduler tcp://HOST:8786   # an existing cluster

Without --scheduler a LocalCluster of 2 worker processes with one thread each
is started on this machine (loopback only, no dashboard); its start-up is
timed apart from the computation.  With --scheduler the tasks go to a
running cluster, e.g. one started with

    dask scheduler                       # on one machine; listens on port 8786
    dask worker tcp://HOST:8786 --nworkers 4 --nthreads 1   # on each machine

(``dask-scheduler`` and ``dask-worker`` in older releases of distributed),
where every worker machine has tarnivox installed.  Needs numpy and
dask[distributed] (pip install '.[dask]').

Two things make the task fit for a pool of processes:

* It returns a float64 NumPy array, which travels as one buffer.
  distributed serializes a Python list element by element, each float a
  frame of its own: for a 500-point light curve that costs the worker's
  event loop about a fifth of the time it took to compute the curve, and
  all of it falls after the last task, while the results are gathered.
* A PanicException (tarnivox's internal fault) leaves it as RuntimeError
  with the same message (the decorator panic_as_runtime_error).  The type
  names the module "pyo3_runtime", which does not exist, so pickle cannot
  send it: a concurrent.futures pool reports a PicklingError or a broken
  pool instead.  It derives from BaseException, so a multiprocessing.Pool
  worker dies of it and map_async() never returns, and Dask, which ships the
  type by value, raises it inside the client's event loop, where it stops
  gather() from ever returning.
"""

from __future__ import annotations

import argparse
import functools
import math
import sys
import time
from collections.abc import Callable
from typing import ParamSpec, TypeVar

import numpy as np
from numpy.typing import NDArray

import tarnivox

Event = tuple[float, float, float, float]  # t0 [d], u0, tE [d], rho (Einstein radii)
P = ParamSpec("P")
R = TypeVar("R")


def is_panic(exc: BaseException) -> bool:
    """Whether `exc` is tarnivox's PanicException.

    tarnivox does not export the type; it is known by its qualified name,
    pyo3_runtime.PanicException.
    """
    kind = type(exc)
    return kind.__module__ == "pyo3_runtime" and kind.__qualname__ == "PanicException"


def panic_as_runtime_error(task: Callable[P, R]) -> Callable[P, R]:
    """`task`, raising RuntimeError with the same message instead of PanicException.

    Other exceptions, KeyboardInterrupt and SystemExit included, pass
    unchanged.  Apply it where the task is defined, so that pickle finds the
    wrapper under the task's own name.
    """
    @functools.wraps(task)
    def run(*args: P.args, **kwargs: P.kwargs) -> R:
        try:
            return task(*args, **kwargs)
        except BaseException as exc:
            if not is_panic(exc):
                raise
            message = str(exc)
        # Raised outside the except block, so that the PanicException is not
        # kept as __context__: distributed installs tblib's pickling of
        # exception chains for every exception, and would try to pickle it.
        raise RuntimeError(message)

    return run


def make_events(count: int, seed: int) -> list[Event]:
    """Random events: impact parameters up to 3 rho, so most lenses cross the star."""
    rng = np.random.default_rng(seed)
    rho = 10.0 ** rng.uniform(-3.0, -1.5, count)
    u0 = rho * rng.uniform(0.0, 3.0, count)
    te = rng.uniform(5.0, 60.0, count)
    t0 = rng.uniform(-10.0, 10.0, count)
    return [(float(a), float(b), float(c), float(d)) for a, b, c, d in zip(t0, u0, te, rho)]


@panic_as_runtime_error
def light_curve(event: Event, points: int) -> NDArray[np.float64]:
    """Limb-darkened magnifications at `points` epochs over t0 +- 2 tE.

    Runs on a worker: the function is shipped by value, tarnivox is imported
    there.  One tarnivox call per light curve, not one per epoch; the list it
    returns becomes an array, which the cluster sends back as one buffer.
    """
    t0, u0, te, rho = event
    x = np.linspace(-1.0, 1.0, points)
    t = t0 + 2.0 * te * np.sinh(5.0 * x) / math.sinh(5.0)  # dense near the peak
    u = np.hypot(u0, (t - t0) / te)
    return np.asarray(tarnivox.integrated_heyrovsky_magnification(u / rho, 1.0, rho),
                      dtype=np.float64)


def light_curves(events: list[Event], points: int) -> list[NDArray[np.float64]]:
    """One task's work: the light curves of several events.

    A light curve takes about 35 ms; Dask spends a few milliseconds of the
    same cores on every task (scheduling, messages, results), so a task of
    several curves keeps that share small.
    """
    return [light_curve(event, points) for event in events]


def as_bytes(curves: list[NDArray[np.float64]]) -> bytes:
    return b"".join(curve.tobytes() for curve in curves)


def main() -> int:
    parser = argparse.ArgumentParser(description="Many light curves on a Dask cluster.")
    parser.add_argument("--events", type=int, default=100, help="number of events (default 100)")
    parser.add_argument("--points", type=int, default=500, help="epochs per light curve (default 500)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the event parameters")
    parser.add_argument("--per-task", type=int, default=4,
                        help="light curves per Dask task (default 4)")
    parser.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://host:8786")
    args = parser.parse_args()

    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("this example needs dask.distributed: pip install '.[dask]' "
              "(or pip install 'dask[distributed]')")
        return 2

    events = make_events(args.events, args.seed)

    began = time.perf_counter()
    serial = [light_curve(event, args.points) for event in events]
    serial_seconds = time.perf_counter() - began
    print(f"{len(events)} events x {args.points} epochs")
    print(f"serial loop:           {serial_seconds:6.2f} s")

    began = time.perf_counter()
    if args.scheduler:
        cluster = None
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    workers = len(client.scheduler_info()["workers"])
    print(f"cluster ready:         {time.perf_counter() - began:6.2f} s ({workers} worker processes)")
    try:
        began = time.perf_counter()
        per_task = max(1, args.per_task)
        batches = [events[i:i + per_task] for i in range(0, len(events), per_task)]
        futures = client.map(light_curves, batches, points=args.points)
        parallel = [curve for batch in client.gather(futures) for curve in batch]
        parallel_seconds = time.perf_counter() - began
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"dask, {per_task} events/task: {parallel_seconds:6.2f} s "
          f"(speed-up {serial_seconds / parallel_seconds:.2f} on {workers} workers)")

    identical = as_bytes(parallel) == as_bytes(serial)
    print(f"bitwise identical to the serial loop: {identical}")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
