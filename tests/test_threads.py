"""Calls from many threads at once.

The module never releases the interpreter lock, but Python code that a call
runs (an element's __float__, a sequence's __getitem__, __len__ or __iter__)
lets other threads in, and those threads call into the module in turn.  With a
switch interval of a microsecond and callbacks that sleep(0) and call the
module themselves, eight threads running every function, on successes and on
every kind of failure, must get results bitwise identical to a
single-threaded run, and see one and the same PanicException type.

In a fresh interpreter, the first uses of the process-wide values (the
PanicException type, the constants that the integrated functions make once)
race between eight threads released together.
"""

import io
import json
import math
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import tarnivox
from _support import PANIC, mismatched_tables

THREADS = 8
ROUNDS = 10
RING = (0.5, 0.3, 1.0, 0.1)
RING_BITS = struct.pack("<d", tarnivox.heyrovsky_magnification(*RING))
wrong_nested_results = []
callback_threads = []  # the thread of each nested call, in order


def nested_call():
    """A call into the module from inside another call, checked on the spot."""
    callback_threads.append(threading.get_ident())
    if struct.pack("<d", tarnivox.heyrovsky_magnification(*RING)) != RING_BITS:
        wrong_nested_results.append(threading.get_ident())


class Switching:
    """A number whose conversion yields to other threads and calls the
    module before giving its value."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        nested_call()
        time.sleep(0)
        return self.value


class SwitchingIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        nested_call()
        return self.value


class SwitchingSeq:
    """A sequence whose __len__ and __getitem__ yield and call the module."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        time.sleep(0)
        return len(self.items)

    def __getitem__(self, i):
        time.sleep(0)
        if i < len(self.items):
            nested_call()
        return self.items[i]


class SwitchingIter:
    def __init__(self, items, fail_at=None):
        self.items, self.fail_at = items, fail_at

    def __getitem__(self, i):
        raise AssertionError("iterated by __iter__")

    def __iter__(self):
        for i, x in enumerate(self.items):
            time.sleep(0)
            if i == self.fail_at:
                raise ValueError(f"stopped at {i}")
            nested_call()
            yield x


class SwitchingPanic:
    def __float__(self):
        time.sleep(0)
        mismatched_tables()


class SwitchingTypeError:
    def __float__(self):
        time.sleep(0)
        raise TypeError("switched") from KeyError("cause")


def workload():
    """(function name, args) for every function: successes with switching
    conversions, and argument, numeric and internal failures."""
    S = Switching
    l3 = [0.0, 0.7, 1.00001]
    table = ([0.0, 0.4, 1.0], [1.0, 0.9, 0.4])
    out = []
    for name in tarnivox.__all__:
        if name == "heyrovsky_magnification":
            out += [(name, (S(0.5), S(0.3), 1.0, 0.1)), (name, (0.9, SwitchingIndex(1), 1, S(0.2))),
                    (name, (1.0, -0.5, 1.0, 1.0)), (name, (S(0.5), "x", 1.0, 0.1)),
                    (name, (SwitchingPanic(), 0.3, 1.0, 0.1)),
                    (name, (0.5, SwitchingTypeError(), 1.0, 0.1))]
            continue
        tail = table if "flux_map" in name else ()
        tail_s = tuple(SwitchingSeq(list(t)) for t in tail)
        out += [(name, ([S(x) for x in l3], 1.0, 0.1) + tail),
                (name, (SwitchingSeq(l3), S(1.0), 0.1) + tail_s),
                (name, (SwitchingIter(l3), 1.0, SwitchingIndex(1)) + tail),
                (name, (np.array(l3), 1.0, 0.1) + tail),
                (name, ([S(math.nan)], 1.0, 0.1) + tail),
                (name, (SwitchingIter(l3, fail_at=2), 1.0, 0.1) + tail),
                (name, ([S(0.5), SwitchingPanic()], 1.0, 0.1) + tail),
                (name, ([S(0.5), SwitchingTypeError()], 1.0, 0.1) + tail),
                (name, ([S(0.5)], 1.0, 0.1, "x") + tail[1:]) if tail else (name, ([0.5], "x", 0.1))]
        if tail:
            out.append((name, ([S(0.5)], 1.0, 0.1, SwitchingSeq([0.0, 1.0]), [S(1.0)])))
    return out


def outcome(name, args):
    """Bits of the result, or the exception's type, text and cause."""
    try:
        r = getattr(tarnivox, name)(*args)
    except BaseException as e:  # noqa: BLE001
        return ("raised", type(e) is PANIC, type(e).__name__, str(e), repr(e.__cause__))
    if isinstance(r, list):
        return ("list", struct.pack(f"<{len(r)}d", *r))
    return ("float", struct.pack("<d", r))


@pytest.fixture
def busy_switching(monkeypatch):
    monkeypatch.setattr(sys, "excepthook", lambda *a: None)  # resumed panics print here
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    wrong_nested_results.clear()
    callback_threads.clear()
    yield
    sys.setswitchinterval(old)


def test_threads_get_the_single_threaded_results(busy_switching):
    work = workload()
    expected = [outcome(name, args) for name, args in work]
    kinds = {e[0] if e[0] != "raised" else e[2] for e in expected}
    assert {"list", "float", "TypeError", "ValueError", "RuntimeError", "PanicException"} <= kinds

    results = [None] * THREADS
    errors = []
    start = threading.Barrier(THREADS)

    def worker(k):
        try:
            start.wait()
            got = []
            for r in range(ROUNDS):
                # each thread walks the work in its own order
                order = list(range(len(work)))[k + r:] + list(range(len(work)))[:k + r]
                got.append({i: outcome(*work[i]) for i in order})
            results[k] = got
        except BaseException as e:  # noqa: BLE001
            errors.append(repr(e))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors, errors
    assert not wrong_nested_results, "a nested call gave other bits"
    # the threads did take turns inside conversions
    switches = sum(a != b for a, b in zip(callback_threads, callback_threads[1:]))
    assert switches > 100, f"only {switches} thread switches between nested calls"
    for k, rounds in enumerate(results):
        assert rounds is not None, f"thread {k} did not finish"
        for got in rounds:
            for i, (name, args) in enumerate(work):
                assert got[i] == expected[i], (k, name, i, got[i], expected[i])


def test_panic_type_is_the_same_in_every_thread(busy_switching):
    seen = []
    start = threading.Barrier(THREADS)

    def worker():
        start.wait()
        for call in (mismatched_tables,
                     lambda: tarnivox.witt_mao_magnification([SwitchingPanic()], 1.0, 0.1)):
            try:
                call()
            except BaseException as e:  # noqa: BLE001
                seen.append(type(e))

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert len(seen) == 2 * THREADS and all(t is PANIC for t in seen)


FIRST_USE = """
import json, struct, sys, threading, time
sys.setswitchinterval(1e-6)
import tarnivox

class Yield:
    def __init__(self, v):
        self.v = v
    def __float__(self):
        time.sleep(0)
        return self.v

N = 8
start = threading.Barrier(N)
types, values = [None] * N, [None] * N

def first_use(k):
    start.wait()
    # the first integrated call makes the process-wide constants; the first
    # failing table check makes the PanicException type
    r = tarnivox.integrated_heyrovsky_magnification([Yield(0.9), 1.5], 1.0, 0.1)
    r += tarnivox.integrated_witt_mao_magnification([Yield(0.9)], 1.0, 0.1)
    values[k] = struct.pack("<3d", *r).hex()
    try:
        tarnivox.discrete_flux_map_heyrovsky_magnification([Yield(0.5)], 1.0, 0.1, [0.1], [])
    except BaseException as e:
        types[k] = id(type(e)), type(e).__qualname__, type(e).__module__

threads = [threading.Thread(target=first_use, args=(k,)) for k in range(N)]
for t in threads:
    t.start()
for t in threads:
    t.join()
r = tarnivox.integrated_heyrovsky_magnification([0.9, 1.5], 1.0, 0.1)
r += tarnivox.integrated_witt_mao_magnification([0.9], 1.0, 0.1)
print(json.dumps({"types": types, "values": values, "serial": struct.pack("<3d", *r).hex()}))
"""


def test_first_use_races_in_a_fresh_interpreter():
    env = dict(os.environ)
    here = os.path.dirname(tarnivox.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
    for _ in range(3):
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(FIRST_USE)],
                              capture_output=True, text=True, env=env, timeout=120)
        assert proc.returncode == 0, proc.stderr
        report = json.loads(proc.stdout)
        assert len({tuple(t) for t in report["types"]}) == 1, report["types"]
        assert report["types"][0][1:] == ["PanicException", "pyo3_runtime"]
        assert set(report["values"]) == {report["serial"]}
