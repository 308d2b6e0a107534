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

import array
import ast
import contextlib
import gc
import math
import os
import signal
import subprocess
import sys
import time

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


# How late a handler's exception may arrive.  A call asks about signals about
# every millisecond of work; the bound leaves room for a loaded machine and
# the sanitizer, and each call below runs for many times as long unless it is
# stopped, or ends in an error of its own unless it is stopped where it is
# meant to be.  benchmarks/bench_signal_latency.py measures the latency.
LATENCY_BOUND = 2.0

BIG = np.full(1_000_000, 1.7)  # 8 MB: a vector leaked by a stopped call shows in the resident set
TABLE = np.linspace(0.0, 1.0, 1_000_000)
# 8e6 separations whose last one is NaN: the closed form fails on it with a
# RuntimeError, which an unstopped call raises instead of the handler's Alarm.
LONGER = np.append(np.tile(BIG, 8), NAN)

# Calls that run for a long time unless stopped: label -> (function, a maker
# of its arguments, which runs before the alarm is set).  The closed form over
# 8e6 separations as a float64 array, a list, a tuple and an array.array (read
# through its iterator); the integrated functions over 1e6 separations; the
# discrete sum over a table of 1e6 rings for 60 separations (15 s unstopped);
# a table long enough that reading and preparing it takes a while, for one NaN
# separation, so that a preparation that did not stop would go on to the whole
# disk's closed form and fail with a RuntimeError.  heyrovsky_magnification
# evaluates one ring, about a microsecond, and has nothing to stop: a Python
# loop calling it is stopped by the interpreter itself, so it has no row here.
WM, IWM, FWM = ("witt_mao_magnification", "integrated_witt_mao_magnification",
                "integrated_flux_map_witt_mao_magnification")
IH, FH, DH = ("integrated_heyrovsky_magnification", "integrated_flux_map_heyrovsky_magnification",
              "discrete_flux_map_heyrovsky_magnification")
SHORT_TABLE = ([0, 1], [1, 0.5])
LONG_CALLS = {
    WM: (WM, lambda: (LONGER, 1.0, 0.1)),
    WM + ", list": (WM, lambda: ([1.7] * 8_000_000 + [NAN], 1.0, 0.1)),
    WM + ", tuple": (WM, lambda: (tuple([1.7] * 8_000_000 + [NAN]), 1.0, 0.1)),
    WM + ", iterator": (WM, lambda: (array.array("d", LONGER), 1.0, 0.1)),
    IWM: (IWM, lambda: (BIG, 1.0, 0.1)),
    FWM: (FWM, lambda: (BIG, 1.0, 0.1, *SHORT_TABLE)),
    IH: (IH, lambda: (BIG, 1.0, 0.1)),
    FH: (FH, lambda: (BIG, 1.0, 0.1, *SHORT_TABLE)),
    DH: (DH, lambda: (BIG[:60], 1.0, 0.1, TABLE, TABLE)),
    "long table": (FWM, lambda: ([NAN], 1.0, 0.1, np.tile(TABLE, 10), np.tile(TABLE, 10))),
}


def small_call(fname):
    """A short call of the function, whose value a stopped call must not change."""
    tables = [[0, 1], [1, 0.5]] if len(FUNCTIONS[fname]) == 5 else []
    return getattr(tarnivox, fname)([0.9], 1.0, 0.1, *tables)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("label", list(LONG_CALLS))
def test_a_signal_stops_a_long_call(label):
    """A handler's exception arrives promptly after the alarm, the stopped
    call releases what it held, and the next call works."""
    fname, make_args = LONG_CALLS[label]
    args = make_args()
    f = getattr(tarnivox, fname)
    small = small_call(fname)
    previous = signal.signal(signal.SIGALRM, _raise_alarm)
    try:
        for i in range(4):  # the first one warms the allocator up
            if i == 1:
                before = rss()
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            fired = time.monotonic() + 0.05
            with pytest.raises(Alarm):
                f(*args)
            late = time.monotonic() - fired
            assert late < LATENCY_BOUND, f"the alarm's exception arrived {late:.3f} s after it fired"
        after = rss()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # A vector made from an array is reserved whole, 64 MB (separations) or
    # 8 MB (tables), and goes back to the system when freed; one made from a
    # list, tuple or iterator grows by doubling through sizes that the C
    # library keeps in the resident set after they are freed, so the check is
    # made for the arrays, whose calls release their vectors the same way.
    if HAS_STATM and not under_asan() and "," not in label:
        growth = after - before
        # a leaked separation vector would add 8 MB a call
        assert growth < 8 * 2**20, f"resident set grew by {growth} bytes over three stopped calls"
    again = small_call(fname)
    assert again == small


# A signal handler runs in the middle of converting a sequence argument: the
# conversion asks about signals every 1024 elements.  The handler raises, does
# nothing, or empties, shrinks or grows the very sequence being read (a NumPy
# array refuses to change size while the conversion holds its buffer).  The
# cases of one argument and kind run in a child process, so that a crash
# fails them instead of ending the test run.  The alarm is set just as the
# argument's conversion begins (before the call for `l`; from `rstar`'s
# __float__ for `bl`; from the last element of `bl` for `bf`) and fires 0.1 ms
# later, well before the conversion of N elements ends.  The call is the
# discrete sum with l empty (or with empty tables, for `l`), which returns at
# once after the conversions; in the "raise" case the tables' lengths differ,
# so a conversion that did not stop would end in the PanicException of that
# check instead.  The child prints one line per action: (action, what the
# handler saw, the outcome, the sequence's length afterwards).
CHANGING_SEQUENCE = r"""
import array, signal, sys
import numpy as np
import tarnivox

argument, kind = sys.argv[1:3]
N = int(sys.argv[3])
MAKE = {"list": lambda: [1.0] * N, "tuple": lambda: (1.0,) * N,
        "array.array": lambda: array.array("d", [1.0]) * N,
        "bytearray": lambda: bytearray([1]) * N, "ndarray": lambda: np.ones(N)}

class Arm:
    def __init__(self, value):
        self.value = value
    def __float__(self):
        signal.setitimer(signal.ITIMER_REAL, 1e-4)
        return self.value

f = tarnivox.discrete_flux_map_heyrovsky_magnification
for action in sys.argv[4:]:
    data = MAKE[kind]()
    ran = []

    def handler(signum, frame):
        ran.append(signum)
        if action == "raise":
            raise KeyboardInterrupt
        if action == "nothing":
            return
        if kind == "ndarray":
            try:
                data.resize({"clear": 0, "shrink": N // 2, "grow": N + N // 2}[action])
            except ValueError:
                ran.append("refused")
        elif action == "clear":
            del data[:]
        elif action == "shrink":
            del data[N // 2:]
        else:
            data.extend(data[:N // 2])

    signal.signal(signal.SIGALRM, handler)
    mismatch = action == "raise"
    try:
        if argument == "l":
            tables = ([0.5], []) if mismatch else ([], [])
            signal.setitimer(signal.ITIMER_REAL, 1e-4)
            outcome = f(data, 1.0, 0.1, *tables)
        elif argument == "bl":
            outcome = f([], 1.0, Arm(0.1), data, [] if mismatch else [0.5] * N)
        else:
            bl = [Arm(0.5)] if mismatch else [0.5] * (N - 1) + [Arm(0.5)]
            outcome = f([], 1.0, 0.1, bl, data)
        outcome = ["list", len(outcome)]
    except BaseException as e:
        outcome = [type(e).__name__, str(e)]
    print(repr((action, ran, outcome, len(data))), flush=True)
"""

SEQUENCE_KINDS = ["list", "tuple", "array.array", "bytearray", "ndarray"]
CONVERSION_CASES = [(argument, kind) for argument in ("l", "bl", "bf") for kind in SEQUENCE_KINDS]


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.parametrize("argument, kind", CONVERSION_CASES,
                         ids=["-".join(c) for c in CONVERSION_CASES])
def test_a_signal_handler_during_a_conversion(argument, kind):
    # An array is read a thousand times faster than the others.
    n = 1_000_000 if kind == "ndarray" else 300_000
    actions = ["raise", "nothing"] + ([] if kind == "tuple" else ["clear", "shrink", "grow"])
    child = subprocess.run(
        [sys.executable, "-c", CHANGING_SEQUENCE, argument, kind, str(n), *actions],
        capture_output=True, text=True, timeout=300)
    lines = child.stdout.splitlines()
    assert child.returncode == 0, \
        f"the child ended with {child.returncode} after {lines}:\n{child.stderr[-3000:]}"
    assert len(lines) == len(actions)
    for line in lines:
        action, ran, outcome, now = ast.literal_eval(line)
        case = f"{action}: {ran} {outcome} {now}"
        assert ran[:1] == [signal.SIGALRM], f"the handler did not run ({case})"
        if action == "raise":
            # stopped in the middle of the argument's conversion
            assert outcome[0] == "KeyboardInterrupt", case
            continue
        if kind == "ndarray" and action != "nothing":
            assert ran[1:] == ["refused"] and now == n, case
        # How many elements the conversion read, when it is known: the
        # sequence's length afterwards, if the handler left it whole or grew it.
        read = now if action in ("nothing", "grow") or kind == "ndarray" else None
        if argument == "l":
            assert outcome[0] == "list", case
            got = outcome[1]
        elif read == n:
            assert outcome == ["list", 0], case
            continue
        else:  # the tables' lengths differ
            assert outcome[0] == "PanicException", case
            left, right = (int(line.split(":")[1]) for line in outcome[1].splitlines()[1:])
            got, other = (left, right) if argument == "bl" else (right, left)
            assert other == n, case
        if read is not None:
            assert got == read, case
        else:  # the conversion ended where the handler cut the sequence, or where it was
            assert (n // 2 if action == "shrink" else 0) <= got < n, case


# A signal handler that looks through the collector's objects while a long
# result list is being built (the building asks about signals): it must never
# find the list with items not yet set.  In a child process, so that a crash
# fails the test instead of ending the run.
HANDLER_SEES_RESULTS = r"""
import gc, signal
import numpy as np
import tarnivox

N = 3_000_000
seen, busy = [], []

def handler(signum, frame):
    if busy:
        return
    busy.append(signum)
    try:
        for o in gc.get_objects():
            if type(o) is list and len(o) == N:
                seen.append(sum(1 for x in o if x is not None))
    finally:
        busy.pop()

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 5e-3, 5e-3)
out = tarnivox.witt_mao_magnification(np.full(N, 1.7), 1.0, 0.1)
signal.setitimer(signal.ITIMER_REAL, 0)
print(len(out), all(n == N for n in seen), flush=True)
"""


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_a_signal_handler_never_finds_a_result_list_half_built():
    child = subprocess.run([sys.executable, "-c", HANDLER_SEES_RESULTS], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, f"the child ended with {child.returncode}:\n{child.stderr[-3000:]}"
    assert child.stdout.split() == ["3000000", "True"]


# A signal handler that calls the ring family with tables of its own while a
# call with another table is on the star: the handler's calls push that
# table's kept moments out of the module's store, and the call in progress
# must finish with its own, as a call that nothing interrupted.  In a child
# process, so that a crash fails the test instead of ending the run.
REENTERING_TABLES = r"""
import signal, sys
import numpy as np
import tarnivox

f = tarnivox.integrated_flux_map_heyrovsky_magnification
r = np.sin(0.5 * np.pi * (1.0 - (1.0 - np.linspace(0.0, 1.0, 4000)) ** 2))
bl = r.tolist()
bf = (0.4 + 0.6 * np.sqrt(np.clip(1.0 - r * r, 0.0, None))).tolist()
l = np.linspace(0.0, 1.0, 3000).tolist()
ran = []
busy = []

def handler(signum, frame):
    if busy:  # an alarm during the handler's own calls (a slow build): let it pass
        return
    busy.append(signum)
    try:
        for k in range(9):  # more tables than are kept
            f([0.5], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0 + len(ran) + 0.1 * k])
        ran.append(signum)
    finally:
        busy.pop()

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 1e-3, 1e-3)
interrupted = f(l, 1.0, 0.1, bl, bf)
signal.setitimer(signal.ITIMER_REAL, 0)
print(len(ran), interrupted == f(l, 1.0, 0.1, bl, bf), flush=True)
"""


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_a_signal_handler_calling_with_other_tables():
    child = subprocess.run([sys.executable, "-c", REENTERING_TABLES], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, f"the child ended with {child.returncode}:\n{child.stderr[-3000:]}"
    handled, same = child.stdout.split()
    assert int(handled) >= 3, f"the handler ran {handled} times during the call"
    assert same == "True"
