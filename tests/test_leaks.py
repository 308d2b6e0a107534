"""Memory and reference leaks on every path through a call.

Each function is called 20000 times, cycling through successes and every kind
of failure: parser errors, conversion errors (relabelled, with a carried
__cause__, with an unprintable text, passed unchanged), failures of __len__
and of iteration, numeric errors of the kernels, PanicException from the
profile-length check and PanicException resumed from Python code.  After a
warm-up, the resident set (from /proc/self/statm) may not grow by 1 MiB, the
interpreter's count of allocated memory blocks must come back, and the
reference counts of every argument object, of the PanicException type and of
the classes whose instances the calls make or see are unchanged.

tools/leak_long.py runs the same cases 1e6 times per function.
"""

import contextlib
import gc
import math
import os
import signal
import time
import sys

import numpy as np
import pytest

import tarnivox
from _support import FUNCTIONS, PANIC, mismatched_tables, under_asan

CALLS = 20000
WARM_UP = 2000
# The resident set is read where /proc gives it (Linux); elsewhere the
# reference counts and the interpreter's block count are checked alone.
HAS_STATM = os.path.exists("/proc/self/statm")


def rss():
    if not HAS_STATM:
        return None
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ------------------------------------------------------------------ argument objects
# Each __float__ and __len__ makes its exception afresh, so that no traceback
# outlives the call that raised it.

class CausedTypeError:
    def __float__(self):
        raise TypeError("typed") from ValueError("the cause")


class UnprintableText:
    def __str__(self):
        raise ValueError("no text")


class UnprintableTypeError:
    def __float__(self):
        raise TypeError(UnprintableText())


class RaisesValueError:
    def __float__(self):
        raise ValueError("not today")


class RaisesPanic:
    def __float__(self):
        raise PANIC("from Python")


class NestedPanic:
    def __float__(self):
        mismatched_tables()


class Index:
    def __index__(self):
        return 3


class Seq:
    """__len__ and __getitem__ with a chosen length report and failure."""

    def __init__(self, items, length=None, fail_at=-1, panic=False):
        self.items, self.length, self.fail_at, self.panic = items, length, fail_at, panic

    def __len__(self):
        if self.panic:
            raise PANIC("from __len__")
        if self.length == "raise":
            raise ValueError("no length")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise TypeError("mid-way")
        return self.items[i]


class Generated:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        raise AssertionError("iterated by __iter__")

    def __iter__(self):
        for x in self.items:
            yield x
        raise ValueError("generator failed at the end")


HEAP_CLASSES = [CausedTypeError, UnprintableText, UnprintableTypeError, RaisesValueError,
                RaisesPanic, NestedPanic, Index, Seq, Generated, PANIC]

PROFILE = ("bl", "bf")
NAN = math.nan


def cases(fname):
    """(label, positional args, keyword args) for every path through fname;
    the argument objects are made once, so their reference counts can be
    compared before and after."""
    f = getattr(tarnivox, fname)
    out = []
    if fname == "heyrovsky_magnification":
        good = [0.5, 0.3, 1.0, 0.1]
        out += [("value", good, {}),
                ("value, converted", [np.float32(0.5), Index(), True, 0.1], {}),
                ("keywords", [], dict(l=0.5, r=0.3, re=1.0, rstar=0.1)),
                ("numeric error", [1.0, -0.5, 1.0, 1.0], {})]
        for i in range(4):
            for label, bad in [("str", "x"), ("caused", CausedTypeError()),
                               ("unprintable", UnprintableTypeError()),
                               ("value error", RaisesValueError()), ("overflow", 10**400),
                               ("panic", RaisesPanic()), ("nested panic", NestedPanic())]:
                args = list(good)
                args[i] = bad
                out.append((f"{label} at {i}", args, {}))
    else:
        table = fname.endswith("flux_map_witt_mao_magnification") or \
            fname.endswith("flux_map_heyrovsky_magnification")
        tail = [[0.0, 0.5, 1.0], [1.0, 0.8, 0.5]] if table else []
        # Separations at the centre and beyond the disk: the integrated
        # functions need few quadrature levels there, so many calls stay cheap.
        good_l = [0.0, 3.0] if fname.startswith("integrated") else [0.0, 0.5, 1.5]
        out += [("list", [good_l, 1.0, 0.1] + tail, {}),
                ("tuple", [tuple(good_l), 1, 0.1] + tail, {}),
                ("float64 array", [np.array(good_l), 1.0, 0.1] + tail, {}),
                ("float32 array", [np.array(good_l, dtype=np.float32), 1.0, 0.1] + tail, {}),
                ("reversed view", [np.array(good_l)[::-1], 1.0, 0.1] + tail, {}),
                ("bytes", [b"\x00\x02", 1.0, 0.1] + tail, {}),
                ("lying length", [Seq(good_l, length=2**62), 1.0, 0.1] + tail, {}),
                ("failing length", [Seq(good_l, length="raise"), 1.0, 0.1] + tail, {}),
                ("keywords", [], dict(zip(("l", "re", "rstar") + PROFILE,
                                          [good_l, 1.0, 0.1] + tail))),
                ("numeric error", [[NAN], 1.0, 0.1] + tail, {}),
                ("str", ["abc", 1.0, 0.1] + tail, {}),
                ("not a sequence", [{0.5}, 1.0, 0.1] + tail, {}),
                ("str element", [[0.5, "x"], 1.0, 0.1] + tail, {}),
                ("caused", [[CausedTypeError()], 1.0, 0.1] + tail, {}),
                ("unprintable", [[0.5, UnprintableTypeError()], 1.0, 0.1] + tail, {}),
                ("value error", [(RaisesValueError(),), 1.0, 0.1] + tail, {}),
                ("overflow", [[0.5], 10**400, 0.1] + tail, {}),
                ("none", [[0.5], 1.0, None] + tail, {}),
                ("iteration fails", [Seq(good_l, fail_at=1), 1.0, 0.1] + tail, {}),
                ("generator fails", [Generated(good_l), 1.0, 0.1] + tail, {}),
                ("2-d array", [np.ones((2, 2)), 1.0, 0.1] + tail, {}),
                ("panic", [[RaisesPanic()], 1.0, 0.1] + tail, {}),
                ("nested panic", [[0.5, NestedPanic()], 1.0, 0.1] + tail, {}),
                ("panic from __len__", [Seq(good_l, panic=True), 1.0, 0.1] + tail, {})]
        if table:
            out += [("length mismatch", [good_l, 1.0, 0.1, [0.0, 0.5], [1.0]], {}),
                    ("empty tables", [good_l, 1.0, 0.1, [], []], {}),
                    ("bad table", [good_l, 1.0, 0.1, [0.0, "x"], [1.0, 1.0]], {})]
    out += [("too many", [0.5] * 7, {}), ("missing", [], {}),
            ("unexpected", [], {"x": 1.0}), ("twice", [0.5], {"l": 0.5})]
    return f, out


@contextlib.contextmanager
def quiet():
    """Resumed panics print through sys.excepthook and unprintable texts are
    reported to sys.unraisablehook: both are silenced while the loop runs."""
    saved = sys.stderr, sys.excepthook, sys.unraisablehook
    sys.stderr = open(os.devnull, "w")
    sys.excepthook = lambda *a: None
    sys.unraisablehook = lambda u: None
    try:
        yield
    finally:
        sys.stderr.close()
        sys.stderr, sys.excepthook, sys.unraisablehook = saved


def call_all(f, case_list, n):
    """n calls, cycling through the cases; returns how many raised, by type."""
    raised = {}
    k = len(case_list)
    for i in range(n):
        _, args, kwargs = case_list[i % k]
        try:
            f(*args, **kwargs)
        except BaseException as e:  # noqa: BLE001
            name = type(e).__name__
            raised[name] = raised.get(name, 0) + 1
    return raised


def objects_of(case_list):
    """Every argument object and every element of a list or tuple argument."""
    seen = {}
    for _, args, kwargs in case_list:
        for a in list(args) + list(kwargs.values()):
            seen[id(a)] = a
            if type(a) in (list, tuple):
                for x in a:
                    seen[id(x)] = x
    return list(seen.values())


def tracked(objs):
    """Leaves out None, the bools and objects shared with the whole interpreter
    (small ints, interned names), whose counts move on their own."""
    return [o for o in objs if type(o) not in (type(None), bool) and sys.getrefcount(o) < 1000]


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def measure(fname, n, warm_up=WARM_UP, checkpoints=1):
    """Runs n calls after a warm-up; returns the resident-set sizes at the
    checkpoints, the allocated-block counts, the reference counts before and
    after, and the exceptions raised."""
    f, case_list = cases(fname)
    objs = tracked(objects_of(case_list)) + HEAP_CLASSES
    with quiet():
        call_all(f, case_list, warm_up)
        gc.collect()
        counts_before = refcounts(objs)
        blocks_before = sys.getallocatedblocks()
        sizes = [rss()]
        raised = {}
        for _ in range(checkpoints):
            for k, v in call_all(f, case_list, n // checkpoints).items():
                raised[k] = raised.get(k, 0) + v
            sizes.append(rss())
        gc.collect()
        blocks_after = sys.getallocatedblocks()
        counts_after = refcounts(objs)
    labels = [repr(o)[:60] for o in objs]
    return sizes, (blocks_before, blocks_after), (counts_before, counts_after, labels), raised


@pytest.mark.parametrize("fname", list(tarnivox.__all__))
def test_no_leak_on_any_path(fname):
    sizes, (blocks_before, blocks_after), (before, after, labels), raised = measure(fname, CALLS)
    changed = [(label, b, a) for label, b, a in zip(labels, before, after) if b != a]
    assert not changed, f"reference counts changed (object, before, after): {changed}"
    # every kind of outcome was exercised
    assert {"TypeError", "PanicException", "ValueError", "OverflowError"} <= set(raised), raised
    assert blocks_after - blocks_before < 200, \
        f"{blocks_after - blocks_before} more memory blocks after {CALLS} calls"
    # (the sanitizer's quarantine holds freed memory for a while)
    if HAS_STATM and not under_asan():
        growth = sizes[-1] - sizes[0]
        assert growth < 2**20, f"resident set grew by {growth} bytes over {CALLS} calls"


# ------------------------------------------------------------------ signals

class Alarm(Exception):
    pass


def _raise_alarm(signum, frame):
    raise Alarm


BIG = np.full(1_000_000, 1.7)  # 8 MB: a vector leaked by a stopped call shows in the resident set
LONGER = np.tile(BIG, 8)
TABLE = np.linspace(0.0, 1.0, 1_000_000)

# Each call runs for seconds unless stopped: a long list of separations, or
# (discrete) a long table of rings summed for every separation.
LONG_CALLS = {
    "witt_mao_magnification": lambda: tarnivox.witt_mao_magnification(LONGER, 1.0, 0.1),
    "integrated_witt_mao_magnification":
        lambda: tarnivox.integrated_witt_mao_magnification(BIG, 1.0, 0.1),
    "integrated_flux_map_witt_mao_magnification":
        lambda: tarnivox.integrated_flux_map_witt_mao_magnification(BIG, 1.0, 0.1, [0, 1], [1, 0.5]),
    "heyrovsky_magnification":  # one ring per call: a loop of calls
        lambda: [tarnivox.heyrovsky_magnification(1.7, 0.5, 1.0, 0.1) for _ in range(10**8)],
    "integrated_heyrovsky_magnification":
        lambda: tarnivox.integrated_heyrovsky_magnification(BIG, 1.0, 0.1),
    "integrated_flux_map_heyrovsky_magnification":
        lambda: tarnivox.integrated_flux_map_heyrovsky_magnification(BIG, 1.0, 0.1, [0, 1], [1, 0.5]),
    "discrete_flux_map_heyrovsky_magnification":
        lambda: tarnivox.discrete_flux_map_heyrovsky_magnification(BIG[:20], 1.0, 0.1, TABLE, TABLE),
}


def small_call(fname):
    """A short call of the function, whose value a stopped call must not change."""
    if fname == "heyrovsky_magnification":
        return tarnivox.heyrovsky_magnification(0.9, 0.5, 1.0, 0.1)
    tables = [[0, 1], [1, 0.5]] if len(FUNCTIONS[fname]) == 5 else []
    return getattr(tarnivox, fname)([0.9], 1.0, 0.1, *tables)


# A table long enough that reading and preparing it takes a second.
LONG_TABLE = np.tile(TABLE, 10)
LONG_TABLE_CALL = ("integrated_flux_map_witt_mao_magnification",
                   lambda: tarnivox.integrated_flux_map_witt_mao_magnification(
                       [], 1.0, 0.1, LONG_TABLE, LONG_TABLE))


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("fname, long_call", [*LONG_CALLS.items(), LONG_TABLE_CALL],
                         ids=[*LONG_CALLS, "long table"])
def test_a_signal_stops_a_long_call(fname, long_call):
    """A handler's exception arrives within 0.1 s of the alarm, the stopped
    call releases what it held, and the next call works."""
    small = small_call(fname)
    previous = signal.signal(signal.SIGALRM, _raise_alarm)
    try:
        for i in range(4):  # the first one warms the allocator up
            if i == 1:
                before = rss()
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            fired = time.monotonic() + 0.05
            with pytest.raises(Alarm):
                long_call()
            late = time.monotonic() - fired
            assert late < 0.1, f"the alarm's exception arrived {late:.3f} s after it fired"
        after = rss()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    if HAS_STATM and not under_asan():
        growth = after - before
        # a leaked separation vector would add 8 MB a call
        assert growth < 8 * 2**20, f"resident set grew by {growth} bytes over three stopped calls"
    again = small_call(fname)
    assert again == small
