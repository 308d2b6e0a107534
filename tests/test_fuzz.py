"""Property-based fuzzing of the seven functions with hostile arguments.

Every example is a *recipe*: plain data (tuples, lists, floats, strings) that
describes one call, its layout of positional and keyword arguments, and every
argument object, down to objects whose __float__, __index__, __len__,
__getitem__ or __iter__ return junk, raise, call back into the module or
mutate the containers being converted.  The recipe is built twice into fresh
objects:

* once for an independent pure-Python model of the argument rules (parse the
  arguments, convert them in parameter order with the semantics of CPython's
  PyFloat_AsDouble and of the iteration protocol, check the profile table
  lengths, then compute), which predicts the outcome: an exception with its
  exact type and text (or the very object that was raised), or "a value";
* once for the real call.

The two runs must agree on the outcome and on the log of every callback that
the hostile objects saw (so the order of conversion, and the fact that later
arguments are not looked at, are checked too), on the writes of resumed
PanicExceptions to standard error and on the reports through
sys.unraisablehook.  For a value, only its type and length are predicted: the
value itself must equal, bit for bit, the result of calling the function again
with the plain floats that the model converted (a RuntimeError must carry one
of the elliptic-integral kernels' messages, and the same one).  After every
example the reference counts of the argument objects are unchanged, and a
fixed sentinel call still gives its original bits.

The number of examples comes from a hypothesis settings profile: 200 per
function by default, TARNIVOX_FUZZ_PROFILE=long (with TARNIVOX_FUZZ_EXAMPLES,
100000 by default) for the long run of tools/fuzz_long.py.
"""

import array
import collections
import contextlib
import ctypes
import decimal
import functools
import fractions
import gc
import math
import os
import struct
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, note, settings
from hypothesis import strategies as st
from hypothesis.errors import InvalidArgument

import tarnivox
from _support import (
    FUNCTIONS, PANIC, BadStr, FloatSub, IntSub, OnlyIter, Outer, ReversedList, StrSub, TypeErrorSub,
    mismatched_tables,
)

# ------------------------------------------------------------------ settings

settings.register_profile(
    "tarnivox-fuzz", max_examples=200, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.filter_too_much, HealthCheck.large_base_example])
settings.register_profile(
    "tarnivox-fuzz-long", parent=settings.get_profile("tarnivox-fuzz"),
    max_examples=int(os.environ.get("TARNIVOX_FUZZ_EXAMPLES", "100000")))
PROFILE = ("tarnivox-fuzz-long" if os.environ.get("TARNIVOX_FUZZ_PROFILE") == "long"
           else "tarnivox-fuzz")
FUZZ_SETTINGS = settings.get_profile(PROFILE)

# ------------------------------------------------------------------ the module

FUNCTION_NAMES = list(FUNCTIONS)
# Parameters converted to one float; all others are sequences.
NUMBER_PARAMS = {name: ({"l", "r", "re", "rstar"} if name == "heyrovsky_magnification"
                        else {"re", "rstar"}) for name in FUNCTIONS}
INTEGRATED = {name for name in FUNCTIONS if name.startswith("integrated")}

# The numeric errors of the Carlson and Legendre kernels, the only texts a
# RuntimeError may carry.
KERNEL_MESSAGES = frozenset({
    "elliprf: x, y, and z must be non-negative, and at most one can be zero.",
    "elliprf: Failed to converge.",
    "elliprd: x and y must be non-negative, and at most one can be zero.",
    "elliprd: z must be positive",
    "elliprd: Failed to converge.",
    "elliprj: x, y, and z must be non-negative, and at most one can be zero.",
    "elliprj: p must be non-zero",
    "elliprj: Fail to converge",
    "elliprc: x must be non-negative.",
    "elliprc: y must be non-zero.",
    "ellipk: m must be less than 1.",
    "ellipe: m must be less than 1.",
    "ellippi: m must be less than 1.",
    "ellippi: n must be less than 1.",
})


MISMATCH_1_0 = "assertion `left == right` failed\n  left: 1\n right: 0"

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes = [ctypes.py_object]
_sequence_check.restype = ctypes.c_int
_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                        ctypes.py_object]


def vectorcall(func, args, kwnames):
    """Calls func through the fast-call protocol with an arbitrary keyword-name
    tuple (repeated names, str subclasses), which call syntax cannot build."""
    arr = (ctypes.py_object * max(len(args), 1))(*args)
    return _vectorcall(func, arr, len(args) - len(kwnames), tuple(kwnames))


def bits(x):
    return struct.pack("<d", x)


def same_bits(a, b):
    if isinstance(a, list):
        return isinstance(b, list) and len(a) == len(b) and all(map(same_bits, a, b))
    return type(b) is float and bits(a) == bits(b)


SENTINEL_CALLS = [
    (tarnivox.witt_mao_magnification, ([0.0, 0.5, 1.00001, 3.0], 1.0, 0.1)),
    (tarnivox.heyrovsky_magnification, (0.5, 0.3, 1.0, 0.1)),
    (tarnivox.discrete_flux_map_heyrovsky_magnification,
     ([0.2, 2.0], 1.0, 0.1, [0.1, 0.5, 0.9], [1.0, 0.7, 0.4])),
    (tarnivox.integrated_heyrovsky_magnification, ([1.3], 1.0, 0.1)),
]
SENTINEL_VALUES = [f(*a) for f, a in SENTINEL_CALLS]

# ------------------------------------------------------------------ hostile objects


class Ctx:
    """One build of a recipe: the callback log, the tagged exceptions, and the
    mutable containers that Mutator elements may change."""

    def __init__(self, warn_error):
        self.log = []
        self.tags = {}
        self.containers = []
        self.mutators = []
        self.warn_error = warn_error
        self._labels = 0

    def label(self):
        self._labels += 1
        return self._labels

    def tag(self, exc):
        name = f"E{len(self.tags)}"
        exc._fuzz_tag = name
        self.tags[name] = exc
        return exc

    def wire(self):
        for m in self.mutators:
            m.target = self.containers[m.target_index % len(self.containers)] if self.containers \
                else None


def tag_of(obj):
    return getattr(obj, "_fuzz_tag", None)


class Hostile:
    def __init__(self, ctx):
        self.ctx = ctx
        self.label = ctx.label()

    def log(self, what, *more):
        self.ctx.log.append((what, self.label) + more)


class FloatReturns(Hostile):
    def __init__(self, ctx, value):
        super().__init__(ctx)
        self.value = value

    def __float__(self):
        self.log("__float__")
        return self if self.value is SELF else self.value


class FloatReturnsWithANameThatIsLongerThanFiftyCharactersInAll(FloatReturns):
    pass


class FloatRaises(Hostile):
    def __init__(self, ctx, exc):
        super().__init__(ctx)
        self.exc = exc

    def __float__(self):
        self.log("__float__")
        raise self.exc


class IndexReturns(Hostile):
    def __init__(self, ctx, value):
        super().__init__(ctx)
        self.value = value

    def __index__(self):
        self.log("__index__")
        return self.value


class IndexRaises(Hostile):
    def __init__(self, ctx, exc):
        super().__init__(ctx)
        self.exc = exc

    def __index__(self):
        self.log("__index__")
        raise self.exc


class FloatAndIndex(Hostile):
    def __float__(self):
        self.log("__float__")
        return 0.625

    def __index__(self):  # never used: __float__ comes first
        self.log("__index__")
        return 7


class IntSubFloat(int):
    def __float__(self):
        self.ctx.log.append(("IntSubFloat.__float__",))
        return self.value


class Nested(Hostile):
    """__float__ calls back into the module."""

    def __init__(self, ctx, mode):
        super().__init__(ctx)
        self.mode = mode

    def __float__(self):
        self.log("__float__", self.mode)
        if self.mode == "ok":
            return tarnivox.witt_mao_magnification([0.5, 2.0], 1.0, 0.1)[1]
        if self.mode == "handled":  # an error inside the nested call, handled here
            try:
                tarnivox.witt_mao_magnification([0.5, "x"], 1.0, 0.1)
            except TypeError:
                pass
            try:
                mismatched_tables()
            except BaseException:  # noqa: BLE001
                pass
            return 0.375
        if self.mode == "panic":
            mismatched_tables()
        if self.mode == "resumed_panic":  # the inner call resumes, then so does the outer
            tarnivox.witt_mao_magnification([FloatRaises(self.ctx, PANIC("inner"))], 1.0, 0.1)
        raise AssertionError(self.mode)


class Recurse(Hostile):
    def __init__(self, ctx, depth):
        super().__init__(ctx)
        self.depth = depth

    def __float__(self):
        self.log("__float__", self.depth)
        if self.depth == 0:
            return 0.5
        inner = Recurse(self.ctx, self.depth - 1)
        return tarnivox.integrated_flux_map_heyrovsky_magnification(
            [inner], 1.0, 0.1, [0.0, 1.0], [1.0, 1.0])[0] if self.depth % 2 else \
            tarnivox.heyrovsky_magnification(inner, 0.3, 1.0, 0.1)


class Mutator(Hostile):
    """__float__ changes one of the call's containers (maybe the one being
    converted) a bounded number of times, then returns a value."""

    def __init__(self, ctx, op, target_index, times, value):
        super().__init__(ctx)
        self.op, self.target_index, self.times, self.value = op, target_index, times, value
        self.target = None
        ctx.mutators.append(self)

    def __float__(self):
        self.log("__float__", self.op)
        c = self.target
        if c is not None and self.times > 0:
            self.times -= 1
            numeric = 1 if isinstance(c, bytearray) else 0.25
            if self.op == "append":
                c.append(numeric)
            elif self.op == "append_bad":
                c.append("x" if isinstance(c, list) else 300)
            elif self.op == "pop" and len(c):
                c.pop()
            elif self.op == "pop0" and len(c):
                c.pop(0)
            elif self.op == "clear":
                del c[:]
            elif self.op == "insert0":
                c.insert(0, numeric)
            elif self.op == "extend":
                c.extend([numeric] * 3)
        return self.value


class CustomBase(BaseException):
    pass


class StopIterationSub(StopIteration):
    pass


class PanicSub(PANIC):
    pass


class HostileSeq(Hostile):
    """The old sequence protocol: __len__ and __getitem__ only."""

    def __init__(self, ctx, items, length, fail_at, exc, grow):
        super().__init__(ctx)
        self.items, self.length, self.fail_at, self.exc, self.grow = items, length, fail_at, exc, grow
        ctx.containers.append(self.items)

    def __len__(self):
        self.log("__len__")
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is TRUE_LENGTH else self.length

    def __getitem__(self, i):
        self.log("__getitem__", i)
        if i == self.fail_at:
            raise self.exc
        if self.grow > 0:
            self.grow -= 1
            self.items.append(0.125)
        return self.items[i]


class IterSeq(Hostile):
    """A sequence (it has __getitem__) that is iterated through __iter__."""

    def __init__(self, ctx, items, how, fail_at, exc):
        super().__init__(ctx)
        self.items, self.how, self.fail_at, self.exc = items, how, fail_at, exc

    def __len__(self):
        self.log("__len__")
        return len(self.items)

    def __getitem__(self, i):
        self.log("__getitem__", i)  # iteration must not use it
        return self.items[::-1][i]

    def __iter__(self):
        self.log("__iter__", self.how)
        if self.how == "raise":
            raise self.exc
        if self.how == "non_iterator":
            return self.exc  # an exception object is not an iterator
        if self.how == "stop_subclass":
            return StopsEarly(self.ctx, self.items, self.fail_at)
        return self._generate()

    def _generate(self):
        for i, x in enumerate(self.items):
            if i == self.fail_at:
                self.log("raise-in-generator", i)
                raise self.exc
            yield x


class StopsEarly(Hostile):
    def __init__(self, ctx, items, stop_at):
        super().__init__(ctx)
        self.items, self.stop_at, self.i = items, stop_at, 0

    def __iter__(self):
        return self

    def __next__(self):
        self.log("__next__", self.i)
        if self.i == self.stop_at or self.i >= len(self.items):
            raise StopIterationSub("done")
        self.i += 1
        return self.items[self.i - 1]


class IterIsNone(Hostile):
    __iter__ = None

    def __getitem__(self, i):
        self.log("__getitem__", i)
        raise IndexError(i)


class ListSub(list):
    pass


class LyingList(list):
    def __len__(self):
        return 2**62


class TupleSub(tuple):
    pass


class ArraySub(np.ndarray):
    def __iter__(self):
        return iter(np.asarray(self)[::-1].tolist())


Unicode = type("Ünïcödé", (), {"__iter__": lambda self: iter([0.5])})
OddQualname = type("Odd", (), {"__qualname__": "a.b<c>", "__iter__": lambda self: iter([0.5])})


class DictSub(dict):
    def __getitem__(self, key):
        return 0.5


class KeySub(str):
    """A keyword name of a str subclass whose str() is hostile."""

    def __str__(self):
        self.ctx.log.append(("key.__str__", str.__str__(self), self.how))
        if self.how == "other":
            return StrSub("shown-" + str.__str__(self))
        if self.how == "nonstr":
            return 5
        raise self.exc


SELF = object()        # FloatReturns returns itself
TRUE_LENGTH = object()  # HostileSeq reports its true length


def _generator():
    yield 0.5


NON_SEQUENCES = {
    "float": lambda: 0.5, "int": lambda: 3, "none": lambda: None, "set": lambda: {0.5},
    "frozenset": lambda: frozenset([0.5]), "dict": lambda: {0: 0.5}, "dictsub": lambda: DictSub(),
    "generator": _generator, "iterator": lambda: iter([0.5]), "object": object,
    "dict_keys": lambda: {0.5: 0}.keys(), "only_iter": OnlyIter, "inner": Outer.Inner,
    "unicode": Unicode, "odd_qualname": OddQualname,
    "np_float64": lambda: np.float64(0.5), "complex": lambda: complex(0.0, 1.0),
    "lambda": lambda: (lambda: None),
    "decimal": lambda: decimal.Decimal("0.5"), "slice": lambda: slice(1),
    "generic_alias": lambda: list[int],
}

# ------------------------------------------------------------------ building recipes


def build_exc(r, ctx):
    kind = r[0]
    if kind == "ValueError":
        e = ValueError(r[1])
    elif kind == "TypeError":
        e = TypeError(r[1])
    elif kind == "TypeError_cause":
        e = TypeError(r[1])
        e.__cause__ = ctx.tag(ValueError("the cause"))
    elif kind == "TypeError_sub":
        e = TypeErrorSub(r[1])
    elif kind == "TypeError_noargs":
        e = TypeError()
    elif kind == "TypeError_args":
        e = TypeError(r[1], 2)
    elif kind == "TypeError_badstr":
        e = TypeError(BadStr(r[1], ctx.log, ctx.label()))
    elif kind == "TypeErrorSub_badstr":
        e = TypeErrorSub(BadStr(r[1], ctx.log, ctx.label()))
    elif kind == "ValueError_badstr":
        e = ValueError(BadStr(r[1], ctx.log, ctx.label()))
    elif kind == "OverflowError":
        e = OverflowError(r[1])
    elif kind == "ZeroDivisionError":
        e = ZeroDivisionError()
    elif kind == "StopIteration":
        e = StopIteration(r[1])
    elif kind == "RecursionError":
        e = RecursionError(r[1])
    elif kind == "MemoryError":
        e = MemoryError()
    elif kind == "KeyError":
        e = KeyError(r[1])
    elif kind == "IndexError":
        e = IndexError(r[1])
    elif kind == "UserWarning":
        e = UserWarning(r[1])
    elif kind == "CustomBase":
        e = CustomBase(r[1])
    elif kind == "SystemExit":
        e = SystemExit(3)
    elif kind == "Panic":
        e = PANIC(r[1])
    elif kind == "Panic_noargs":
        e = PANIC()
    elif kind == "Panic_badstr":
        e = PANIC(BadStr(r[1], ctx.log, ctx.label()))
    elif kind == "Panic_sub":
        e = PanicSub(r[1])
    else:
        raise AssertionError(r)
    return ctx.tag(e)


def build_number(r, ctx):
    kind = r[0]
    if kind in ("float", "int", "bool", "str", "bytes"):
        return r[1]
    if kind == "nan_bits":
        return struct.unpack("<d", struct.pack("<Q", r[1]))[0]
    if kind == "none":
        return None
    if kind == "strsub":
        return StrSub(r[1])
    if kind == "bytearray":
        return bytearray(r[1])
    if kind == "complex":
        return complex(r[1], r[2])
    if kind == "decimal":
        return decimal.Decimal(r[1])
    if kind == "fraction":
        return fractions.Fraction(r[1], r[2])
    if kind == "floatsub":
        x = FloatSub(r[1])
        x.log = ctx.log
        return x
    if kind == "intsub":
        return IntSub(r[1])
    if kind == "intsub_float":
        x = IntSubFloat(r[1])
        x.ctx, x.value = ctx, build_number(r[2], ctx)
        return x
    if kind == "npscalar":
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            return np.array([r[2]]).astype(r[1])[0]
    if kind == "np0d":
        return np.array(r[1])
    if kind == "np1":
        return np.array([r[1]] * r[2])
    if kind == "float_returns":
        value = SELF if r[1] == ("self",) else build_number(r[1], ctx)
        cls = FloatReturnsWithANameThatIsLongerThanFiftyCharactersInAll if r[2] else FloatReturns
        return cls(ctx, value)
    if kind == "float_raises":
        return FloatRaises(ctx, build_exc(r[1], ctx))
    if kind == "index_returns":
        return IndexReturns(ctx, build_number(r[1], ctx))
    if kind == "index_raises":
        return IndexRaises(ctx, build_exc(r[1], ctx))
    if kind == "float_and_index":
        return FloatAndIndex(ctx)
    if kind == "nested":
        return Nested(ctx, r[1])
    if kind == "recurse":
        return Recurse(ctx, r[1])
    if kind == "mutator":
        return Mutator(ctx, r[1], r[2], r[3], r[4])
    if kind == "list":
        return [0.5]
    if kind == "object":
        return object()
    raise AssertionError(r)


def build_items(rs, ctx):
    return [build_number(r, ctx) for r in rs]


def _array_values(values, code):
    out = []
    for v in values:
        if code in "fd":
            out.append(v)
        elif code == "u":
            out.append("0123456789"[int(abs(v)) % 10] if math.isfinite(v) else "n")
        else:
            lo, hi = {"b": (-128, 127), "B": (0, 255), "q": (-2**63, 2**63 - 1),
                      "Q": (0, 2**64 - 1)}[code]
            out.append(min(max(int(v), lo), hi) if math.isfinite(v) else lo)
    return out


def build_ndarray(dtype, layout, values):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        base = np.array(values, dtype=float)
        if dtype == "U5":
            a = np.array([repr(v)[:5] for v in values], dtype="U5")
        elif dtype == "S5":
            a = np.array([repr(v)[:5].encode() for v in values], dtype="S5")
        elif dtype == "M8[s]":
            a = np.arange(len(values)).astype("M8[s]")
        else:
            a = base.astype(dtype)
    if layout == "reversed":
        return a[::-1]
    if layout == "step2":
        return np.repeat(a, 2)[::2]
    if layout == "column":
        return a.reshape(-1, 1)
    if layout == "row":
        return a.reshape(1, -1)
    if layout == "zero_d":
        return a[:1].reshape(()) if a.size else np.zeros((), a.dtype)
    if layout == "zero_stride":
        return np.lib.stride_tricks.as_strided(a[:1] if a.size else np.zeros(1, a.dtype),
                                               shape=(3,), strides=(0,))
    if layout == "readonly":
        a.setflags(write=False)
        return a
    if layout == "cube":
        return np.resize(a, (2, 2, 2)) if a.size else a.reshape(0, 1, 1)
    return a


def build_sequence(r, ctx):
    kind = r[0]
    if kind == "list":
        x = build_items(r[1], ctx)
        ctx.containers.append(x)
        return x
    if kind == "tuple":
        return tuple(build_items(r[1], ctx))
    if kind == "listsub":
        x = {"plain": ListSub, "reversed": ReversedList, "lying": LyingList}[r[2]](
            build_items(r[1], ctx))
        ctx.containers.append(x)
        return x
    if kind == "tuplesub":
        return TupleSub(build_items(r[1], ctx))
    if kind == "range":
        return range(r[1], r[2], r[3])
    if kind == "bytes":
        return r[1]
    if kind == "bytearray":
        x = bytearray(r[1])
        ctx.containers.append(x)
        return x
    if kind == "memoryview":
        how, values = r[1], r[2]
        if how == "B":
            return memoryview(bytes(int(abs(v)) % 256 if math.isfinite(v) else 0 for v in values))
        if how in "df":
            return memoryview(array.array(how, values))
        if how == "bool":
            return memoryview(bytes(len(values))).cast("?")
        if how == "2d":
            return memoryview(bytes(6)).cast("B", (2, 3))
        if how == "0d":
            return memoryview(b"x").cast("B", ())
        m = memoryview(array.array("d", values))
        m.release()
        return m
    if kind == "array":
        x = array.array(r[1], _array_values(r[2], r[1]))
        ctx.containers.append(x)
        return x
    if kind == "ndarray":
        return build_ndarray(r[1], r[2], r[3])
    if kind == "ndarray_sub":
        return np.array(r[1], dtype=float).view(ArraySub)
    if kind == "npobject":
        items = build_items(r[1], ctx)
        a = np.empty(len(items), dtype=object)
        for i, x in enumerate(items):
            a[i] = x
        return a
    if kind == "seq":
        items = build_items(r[1], ctx)
        length = {"true": TRUE_LENGTH, "huge": 2**62, "zero": 0, "negative": -1,
                  "too_big": 2**63, "float": 2.5, "str": "3", "bool": True}.get(r[2])
        if length is None:
            length = build_exc(r[2], ctx)
        return HostileSeq(ctx, items, length, r[3], build_exc(r[4], ctx), r[5])
    if kind == "iterseq":
        return IterSeq(ctx, build_items(r[1], ctx), r[2], r[3], build_exc(r[4], ctx))
    if kind == "iter_none":
        return IterIsNone(ctx)
    if kind == "nonseq":
        return NON_SEQUENCES[r[1]]()
    if kind == "str":
        return r[1]
    if kind == "strsub":
        return StrSub(r[1])
    if kind == "np_str":
        return np.str_(r[1])
    raise AssertionError(r)


def build_arg(r, ctx):
    return build_number(r[1], ctx) if r[0] == "num" else build_sequence(r[1], ctx)


def build_key(r, ctx, params):
    kind, how = r[0], r[2]
    text = params[r[1]] if kind == "param" else r[1]
    if how == "plain":
        return text
    if how == "sub":
        return StrSub(text)
    k = KeySub(text)
    k.ctx, k.how = ctx, how
    if how in ("raise", "panic"):
        k.exc = build_exc(("Panic", "key") if how == "panic" else ("ValueError", "key"), ctx)
    return k


def build_call(fname, call, warn_error):
    ctx = Ctx(warn_error)
    params = FUNCTIONS[fname]
    pos_r, kw_r = call
    pos = [build_arg(r, ctx) for r in pos_r]
    keys = [build_key(k, ctx, params) for k, _ in kw_r]
    values = [build_arg(v, ctx) for _, v in kw_r]
    ctx.wire()
    return ctx, pos, keys, values

# ------------------------------------------------------------------ the model


class Outcome(Exception):
    """The model's prediction: `kind` is "value", "raw" (exactly the exception
    object `exc` propagates), "error" (a new exception of `type` with `message`
    and `cause`) or "panic" (a new PanicException with `message`)."""

    def __init__(self, kind, **fields):
        super().__init__(kind)
        self.kind = kind
        self.__dict__.update(fields)

    def __repr__(self):
        return f"Outcome({self.kind}, {dict((k, v) for k, v in vars(self).items() if k != 'kind')})"


MISSING = object()


# tp_name follows ob_refcnt, ob_type and ob_size in PyTypeObject.
_TP_NAME_OFFSET = 3 * ctypes.sizeof(ctypes.c_ssize_t)


_PTR = ctypes.sizeof(ctypes.c_void_p)
_TP_AS_NUMBER_OFFSET = 12 * _PTR
NB_FLOAT, NB_INDEX = 18, 33  # positions in PyNumberMethods


def number_slot(t, position):
    """Whether type t fills the given PyNumberMethods slot.  PyFloat_AsDouble
    reads the slots, not the attributes: numpy.str_ inherits a __float__
    attribute from numpy.generic, but its nb_float slot is empty."""
    methods = ctypes.c_void_p.from_address(id(t) + _TP_AS_NUMBER_OFFSET).value
    return bool(methods) and bool(ctypes.c_void_p.from_address(methods + position * _PTR).value)


def tp_name(t):
    """The C-level tp_name of a type, which CPython's conversion messages
    print: the bare class name for a class statement, "module.Name" for static
    types and for heap types built from slot tables (array.array)."""
    return ctypes.c_char_p.from_address(id(t) + _TP_NAME_OFFSET).value.decode("utf-8")


def error(message, cause=None, typ=TypeError):
    return Outcome("error", type=typ, message=message, cause=cause)


def deprecated(ctx, message):
    if ctx.warn_error:
        raise DeprecationWarning(message)


def as_double(obj, ctx):
    """PyFloat_AsDouble: a float (or subclass) is read directly; otherwise
    __float__, whose result must be a float; otherwise __index__, whose result
    must be an int and is rounded to the nearest float."""
    if isinstance(obj, float):
        return float.__float__(obj)
    t = type(obj)
    if number_slot(t, NB_FLOAT):
        res = t.__float__(obj)
        if type(res) is not float:
            if not isinstance(res, float):
                raise TypeError(f"{tp_name(t)[:50]}.__float__ returned non-float "
                                f"(type {tp_name(type(res))[:50]})")
            deprecated(ctx, f"{tp_name(t)[:50]}.__float__ returned non-float (type "
                            f"{tp_name(type(res))[:50]}).  The ability to return an instance of a "
                            "strict subclass of float is deprecated, and may be removed in a "
                            "future version of Python.")
        return float.__float__(res)
    if number_slot(t, NB_INDEX):
        res = t.__index__(obj)
        if type(res) is not int:
            if not isinstance(res, int):
                raise TypeError(f"__index__ returned non-int (type {tp_name(type(res))[:200]})")
            deprecated(ctx, f"__index__ returned non-int (type {tp_name(type(res))[:200]}).  The "
                            "ability to return an instance of a strict subclass of int is "
                            "deprecated, and may be removed in a future version of Python.")
        return int.__float__(res)
    raise TypeError(f"must be real number, not {tp_name(t)[:50]}")


def lossy(text):
    return "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in text)


def resumed_panic(e, ctx):
    """A PanicException raised by Python code the call ran: written to
    standard error with its traceback, then raised anew with its text."""
    try:
        message = lossy(str.__str__(str(e)))
    except BaseException:  # noqa: BLE001
        message = "Unwrapped panic from Python code"
    ctx.log.append(("stderr", "Python stack trace below:\n"))
    ctx.log.append(("excepthook", type(e).__name__, tag_of(e)))
    return Outcome("panic", message=message, original=tag_of(e))


def conversion_failure(e, name, ctx):
    if type(e) is PANIC:
        return resumed_panic(e, ctx)
    if type(e) is not TypeError:
        return Outcome("raw", exc=e)
    try:
        text = str.__str__(str(e))
    except BaseException as failure:  # noqa: BLE001
        ctx.log.append(("unraisable", type(failure).__name__, tag_of(e)))
        text = f"<unprintable {type(e).__name__} object>"
    return error(f"argument '{name}': {text}", cause=e.__cause__)


def convert_number(obj, name, ctx):
    try:
        return as_double(obj, ctx)
    except BaseException as e:  # noqa: BLE001
        raise conversion_failure(e, name, ctx) from None


def c_level(e):
    """The exception a C caller of PyObject_GetIter sees where Python's iter()
    raised e.  CPython 3.11's iterator of a released memoryview returns an
    iterator with the ValueError of its length set; the builtin's call checks
    its result and turns that into a SystemError caused by the ValueError,
    PyObject_GetIter does not."""
    if (type(e) is SystemError and e.__cause__ is not None
            and str(e).endswith("returned a result with an exception set")):
        return e.__cause__
    return e


def convert_sequence(obj, name, ctx):
    if isinstance(obj, str):
        raise error(f"argument '{name}': Can't extract `str` to `Vec`")
    if not _sequence_check(obj):
        raise error(f"argument '{name}': '{type(obj).__qualname__}' object cannot be converted "
                    "to 'Sequence'")
    # The reported length only sizes the vector; its failure is discarded,
    # unless it is a PanicException, a MemoryError or no Exception at all.
    try:
        len(obj)
    except BaseException as e:  # noqa: BLE001
        if type(e) is PANIC:
            raise resumed_panic(e, ctx) from None
        if not isinstance(e, Exception) or isinstance(e, MemoryError):
            raise Outcome("raw", exc=e) from None
    try:
        it = iter(obj)
    except BaseException as e:  # noqa: BLE001
        raise conversion_failure(c_level(e), name, ctx) from None
    out = []
    while True:
        try:
            item = next(it)
        except StopIteration:
            break
        except BaseException as e:  # noqa: BLE001
            raise conversion_failure(e, name, ctx) from None
        out.append(convert_number(item, name, ctx))
    return out


def model(fname, pos, keys, values, ctx):
    """Raises the predicted Outcome."""
    params = FUNCTIONS[fname]
    n, k, f = len(params), len(pos), fname + "()"
    if k > n:
        raise error(f"{f} takes {n} positional arguments but {k} {'was' if k == 1 else 'were'} "
                    "given")
    slots = list(pos) + [MISSING] * (n - k)
    for key, value in zip(keys, values):
        try:
            index = params.index(str.__str__(key).encode("utf-8").decode("ascii"))
        except (UnicodeError, ValueError):
            index = None
        if index is None:
            try:
                shown = str.__str__(str(key))
            except BaseException as e:  # noqa: BLE001
                raise Outcome("raw", exc=e) from None
            raise error(f"{f} got an unexpected keyword argument '{shown}'")
        if slots[index] is not MISSING:
            raise error(f"{f} got multiple values for argument '{params[index]}'")
        slots[index] = value
    missing = [p for p, s in zip(params, slots) if s is MISSING]
    if missing:
        quoted = [f"'{p}'" for p in missing]
        listed = (quoted[0] if len(quoted) == 1 else " and ".join(quoted) if len(quoted) == 2
                  else ", ".join(quoted[:-1]) + ", and " + quoted[-1])
        raise error(f"{f} missing {len(missing)} required positional "
                    f"{'argument' if len(missing) == 1 else 'arguments'}: {listed}")
    converted = [convert_number(obj, p, ctx) if p in NUMBER_PARAMS[fname]
                 else convert_sequence(obj, p, ctx) for p, obj in zip(params, slots)]
    if "bl" in params and len(converted[3]) != len(converted[4]):
        raise Outcome("panic", original=None, message="assertion `left == right` failed\n  left: "
                      f"{len(converted[3])}\n right: {len(converted[4])}")
    length = None if fname == "heyrovsky_magnification" else len(converted[0])
    raise Outcome("value", length=length, converted=converted)

# ------------------------------------------------------------------ running


class LogStderr:
    def __init__(self, ctx):
        self.ctx = ctx

    def write(self, text):
        if text == "Python stack trace below:\n":
            self.ctx.log.append(("stderr", text))
        return len(text)

    def flush(self):
        pass


@contextlib.contextmanager
def hooks(ctx):
    """Captures what a call writes to standard error, prints with
    sys.excepthook and reports with sys.unraisablehook, under the example's
    warnings filter."""
    saved = sys.stderr, sys.excepthook, sys.unraisablehook

    def excepthook(typ, value, tb):
        ctx.log.append(("excepthook", typ.__name__, tag_of(value)))

    def unraisablehook(u):
        ctx.log.append(("unraisable", u.exc_type.__name__, tag_of(u.object)))

    sys.stderr, sys.excepthook, sys.unraisablehook = LogStderr(ctx), excepthook, unraisablehook
    try:
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("error" if ctx.warn_error else "ignore")
            yield
    finally:
        sys.stderr, sys.excepthook, sys.unraisablehook = saved


def predict(fname, call, warn_error):
    ctx, pos, keys, values = build_call(fname, call, warn_error)
    with hooks(ctx):
        try:
            model(fname, pos, keys, values, ctx)
        except Outcome as o:
            outcome = o
    return outcome, ctx


def invoke(fn, pos, keys, values):
    if all(type(k) is str for k in keys) and len(set(keys)) == len(keys):
        return fn(*pos, **dict(zip(keys, values)))
    return vectorcall(fn, pos + values, keys)


def run(fname, call, warn_error):
    """The real call: ("ok", result) or ("exc", exception), its Ctx, and the
    reference counts of the argument objects before and after."""
    ctx, pos, keys, values = build_call(fname, call, warn_error)
    # Values that the recipe, the interpreter or other tests share (None, small
    # ints, interned strings, the empty tuple, numpy's two bools) change
    # counts on their own.
    objects = [o for o in pos + keys + values
               if type(o) not in (type(None), bool, int, float, str, bytes, np.bool_)
               and sys.getrefcount(o) < 100]
    before = [sys.getrefcount(o) for o in objects]
    fn = getattr(tarnivox, fname)
    with hooks(ctx):
        try:
            got = ("ok", invoke(fn, pos, keys, values))
        except BaseException as e:  # noqa: BLE001
            got = ("exc", e)
    # Tracebacks keep frames, and so arguments, alive.
    for e in [got[1]] + list(ctx.tags.values()):
        while isinstance(e, BaseException) and e.__traceback__ is not None:
            e.__traceback__ = None
            e = e.__cause__ or e.__context__
    after = [sys.getrefcount(o) for o in objects]
    if after != before:
        gc.collect()
        after = [sys.getrefcount(o) for o in objects]
    return got, ctx, before, after, [type(o).__name__ for o in objects]


def describe(got):
    kind, value = got
    return f"{type(value).__name__}{value.args!r}" if kind == "exc" else repr(value)


def same_exception(expected, actual, real_ctx):
    """`actual` is the object the real build raised for the model's `expected`
    (by tag), or, for exceptions that CPython made, equal in type and args."""
    tag = tag_of(expected)
    if tag is not None:
        return actual is real_ctx.tags[tag]
    return type(actual) is type(expected) and actual.args == expected.args


def check_value(fname, outcome, got):
    kind, value = got
    if kind == "exc":
        assert type(value) is RuntimeError and len(value.args) == 1 and \
            value.args[0] in KERNEL_MESSAGES, f"expected a value, got {describe(got)}"
        category = "RuntimeError"
    elif outcome.length is None:
        assert type(value) is float, f"expected a float, got {describe(got)}"
        category = "value"
    else:
        assert type(value) is list and len(value) == outcome.length and all(
            type(x) is float for x in value), \
            f"expected a list of {outcome.length} floats, got {describe(got)}"
        category = "value"
    # The conversions must have produced exactly the model's floats: the
    # same call with those plain floats gives the same bits or the same error.
    try:
        reference = ("ok", getattr(tarnivox, fname)(*outcome.converted))
    except BaseException as e:  # noqa: BLE001
        reference = ("exc", e)
    if kind == "exc":
        assert reference[0] == "exc" and type(reference[1]) is RuntimeError and \
            reference[1].args == value.args, \
            f"{describe(got)} but the plain floats give {describe(reference)}"
    else:
        assert reference[0] == "ok" and same_bits(reference[1], value), \
            f"{describe(got)} but the plain floats {outcome.converted!r} give {describe(reference)}"
    return category


def check_exception(outcome, got, real_ctx):
    kind, actual = got
    assert kind == "exc", f"expected {outcome!r}, got the value {actual!r}"
    if outcome.kind == "raw":
        assert same_exception(outcome.exc, actual, real_ctx), \
            f"expected {type(outcome.exc).__name__}{outcome.exc.args!r} " \
            f"(tag {tag_of(outcome.exc)}) unchanged, got {describe(got)} (tag {tag_of(actual)})"
        return "raw " + type(actual).__name__
    if outcome.kind == "error":
        assert type(actual) is outcome.type and actual.args == (outcome.message,), \
            f"expected {outcome.type.__name__}({outcome.message!r}), got {describe(got)}"
        if outcome.cause is None:
            assert actual.__cause__ is None, f"unexpected __cause__ {actual.__cause__!r}"
        else:
            assert actual.__cause__ is not None and same_exception(
                outcome.cause, actual.__cause__, real_ctx), \
                f"expected __cause__ {outcome.cause!r}, got {actual.__cause__!r}"
        return outcome.type.__name__
    assert outcome.kind == "panic"
    assert type(actual) is PANIC and actual.args == (outcome.message,), \
        f"expected PanicException({outcome.message!r}), got {describe(got)}"
    if outcome.original is not None:
        assert actual is not real_ctx.tags[outcome.original], "the resumed panic is not new"
    return "PanicException"


OUTCOMES = collections.Counter()  # (function, outcome category) -> examples
FEATURES = collections.Counter()  # (function, callback or report seen) -> examples


def check_call(fname, call, warn_error=False):
    """Runs one recipe through the model and the module and checks that they
    agree; returns the outcome category."""
    outcome, model_ctx = predict(fname, call, warn_error)
    got, real_ctx, before, after, describe_objects = run(fname, call, warn_error)
    _note(f"expected {outcome!r}; got {describe(got)}")
    if outcome.kind == "value":
        category = check_value(fname, outcome, got)
    else:
        category = check_exception(outcome, got, real_ctx)
    assert real_ctx.log == model_ctx.log, \
        f"callbacks differ:\n model {model_ctx.log}\n  real {real_ctx.log}"
    assert after == before, \
        f"reference counts of the arguments changed: {before} -> {after} ({describe_objects})"
    for (f, a), expected in zip(SENTINEL_CALLS, SENTINEL_VALUES):
        assert same_bits(expected, f(*a)), f"sentinel call {f.__name__} changed"
    OUTCOMES[fname, category] += 1
    for feature in {entry[0] for entry in real_ctx.log}:
        FEATURES[fname, feature] += 1
    with contextlib.suppress(InvalidArgument):
        event(category)
    return category


def _note(text):
    with contextlib.suppress(InvalidArgument):
        note(text)

# ------------------------------------------------------------------ strategies


EDGE_FLOATS = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308,
                  1.7976931348623157e308, -1.7976931348623157e308, math.inf, -math.inf, math.nan,
                  -1.0, 1.0, 0.5, 1.00001, 0.99999, 1e-5, 1e300, 1e-300, 2.0, 1e8]
NAN_BITS = [0x7FF0000000000001, 0xFFF8000000000000, 0x7FF8DEADBEEF0001, 0xFFFFFFFFFFFFFFFF]
BIG_INTS = [2**1024, -(2**1024), 2**1024 - 2**970, 2**1024 - 2**970 - 1, 10**400, -(10**400),
            2**53 + 1, -(2**63), 2**64, 2**5000]
TEXTS = ["", "1.5", "nan", " 2 ", "\udc80", "a\ud800b", "λ", "%s%U%d", "'", "\x00", "1e999",
         "l"]

plain_floats = st.one_of(st.floats(), st.sampled_from(EDGE_FLOATS),
                         st.floats(0.0, 4.0), st.floats(-1e3, 1e3))
texts = st.one_of(st.text(max_size=6), st.sampled_from(TEXTS))


def _t(*parts):
    return st.tuples(*[p if isinstance(p, st.SearchStrategy) else st.just(p) for p in parts])


EXC_KINDS_TEXT = ["ValueError", "TypeError", "TypeError_cause", "TypeError_sub", "TypeError_args",
                  "OverflowError", "StopIteration", "RecursionError", "KeyError", "IndexError",
                  "UserWarning", "CustomBase", "Panic", "Panic_sub"]
exceptions = st.one_of(
    st.tuples(st.sampled_from(EXC_KINDS_TEXT), texts),
    st.tuples(st.sampled_from(["TypeError_noargs", "ZeroDivisionError", "MemoryError",
                               "SystemExit", "Panic_noargs"])),
    st.tuples(st.sampled_from(["TypeError_badstr", "TypeErrorSub_badstr", "ValueError_badstr",
                               "Panic_badstr"]),
              st.sampled_from(["value", "type", "panic", "nonstr"])),
)

float_results = st.one_of(
    _t("float", plain_floats), _t("int", st.integers()), _t("str", texts), _t("none"),
    _t("floatsub", plain_floats), _t("npscalar", st.sampled_from(["f8", "f4"]), plain_floats),
    _t("bool", st.booleans()))
float_returns = st.one_of(float_results, st.just(("self",)))
index_returns = st.one_of(
    _t("int", st.one_of(st.integers(), st.sampled_from(BIG_INTS))), _t("bool", st.booleans()),
    _t("intsub", st.integers()), _t("float", plain_floats), _t("str", texts), _t("none"))

hostile_numbers = st.one_of(
    _t("nan_bits", st.sampled_from(NAN_BITS)),
    _t("int", st.one_of(st.integers(), st.sampled_from(BIG_INTS))),
    _t("bool", st.booleans()),
    _t("none"),
    _t("str", texts), _t("strsub", texts),
    _t("bytes", st.binary(max_size=3)), _t("bytearray", st.binary(max_size=3)),
    _t("complex", plain_floats, plain_floats),
    _t("decimal", st.sampled_from(["0.5", "-0", "NaN", "sNaN", "Infinity", "1e999999", "1e-999999"])),
    _t("fraction", st.sampled_from([1, -3, 10**400]), st.sampled_from([3, 7, -1])),
    _t("floatsub", plain_floats),
    _t("intsub", st.integers()),
    _t("intsub_float", st.integers(-5, 5), float_results),
    _t("npscalar", st.sampled_from(["f8", "f4", "f2", "g", "i8", "u1", "?", "c16", "U5", "S5"]),
       plain_floats),
    _t("np0d", plain_floats),
    _t("np1", plain_floats, st.integers(1, 2)),
    _t("float_returns", float_returns, st.booleans()),
    _t("float_raises", exceptions),
    _t("index_returns", index_returns),
    _t("index_raises", exceptions),
    _t("float_and_index"),
    _t("nested", st.sampled_from(["ok", "handled", "panic", "resumed_panic"])),
    _t("recurse", st.integers(0, 4)),
    _t("mutator", st.sampled_from(["append", "append_bad", "pop", "pop0", "clear", "insert0",
                                   "extend"]), st.integers(0, 7), st.integers(1, 3), plain_floats),
    _t("list"), _t("object"),
).map(lambda r: r)  # a wrapped strategy is one branch, not flattened into the callers'

valid_numbers = _t("float", plain_floats)
# Five valid numbers for one hostile, so that many calls get past conversion.
numbers = st.one_of(*[valid_numbers] * 5, hostile_numbers)
number_args = numbers.map(lambda r: ("num", r))


@functools.cache
def element_lists(max_size):
    return st.lists(st.one_of(*[valid_numbers] * 12, hostile_numbers), max_size=max_size)


@functools.cache
def float_lists(max_size):
    return st.lists(plain_floats, max_size=max_size)


SEQ_LEN_KINDS = ["true", "huge", "zero", "negative", "too_big", "float", "str", "bool"]


@functools.cache
def hostile_sequences(n):
    return st.one_of(
        _t("tuple", element_lists(n)),
        _t("listsub", element_lists(n), st.sampled_from(["plain", "reversed", "lying"])),
        _t("tuplesub", element_lists(n)),
        _t("range", st.integers(-3, 3), st.integers(-3, 6), st.sampled_from([1, 2, -1, 3])),
        _t("bytes", st.binary(max_size=n)),
        _t("bytearray", st.binary(max_size=n)),
        _t("memoryview", st.sampled_from(["B", "d", "f", "bool", "2d", "0d", "released"]),
           float_lists(n)),
        _t("array", st.sampled_from(["d", "f", "b", "B", "q", "Q", "u"]), float_lists(n)),
        _t("ndarray", st.sampled_from(["<f8", ">f8", "<f4", "<f2", "i1", "<i8", "<u8", "?",
                                       "<c16", "g", "U5", "S5", "M8[s]", "O"]),
           st.sampled_from(["plain", "reversed", "step2", "column", "row", "zero_d",
                            "zero_stride", "readonly", "cube"]),
           float_lists(n)),
        _t("ndarray_sub", float_lists(n)),
        _t("npobject", element_lists(n)),
        _t("seq", element_lists(n), st.one_of(st.sampled_from(SEQ_LEN_KINDS), exceptions),
           st.integers(-1, n), exceptions, st.integers(0, 2)),
        _t("iterseq", element_lists(n),
           st.sampled_from(["generate", "raise", "non_iterator", "stop_subclass"]),
           st.integers(-1, n), exceptions),
        _t("iter_none"),
        _t("nonseq", st.sampled_from(sorted(NON_SEQUENCES))),
        _t("str", texts), _t("strsub", texts), _t("np_str", texts),
    ).map(lambda r: r)


@functools.cache
def sequences(n, size=None):
    """Two valid sequences (lists of mostly plain floats, float64 arrays) for
    one hostile; `size` fixes the length of the valid ones."""
    lo, hi = (0, n) if size is None else (size, size)
    valid = st.one_of(
        _t("list", st.lists(st.one_of(*[valid_numbers] * 12, hostile_numbers),
                            min_size=lo, max_size=hi)),
        _t("ndarray", st.just("<f8"), st.sampled_from(["plain", "reversed", "step2"]),
           st.lists(plain_floats, min_size=lo, max_size=hi)))
    return st.one_of(valid, valid, valid, hostile_sequences(n))


@functools.cache
def clean_arg_recipes(fname, param, size=None):
    """Plain floats, lists of plain floats and float64 arrays only."""
    if param in NUMBER_PARAMS[fname]:
        return valid_numbers.map(lambda r: ("num", r))
    n = 3 if fname in INTEGRATED and param == "l" else 6
    lo, hi = (0, n) if size is None else (size, size)
    return st.one_of(
        _t("list", st.lists(valid_numbers, min_size=lo, max_size=hi)),
        _t("ndarray", st.just("<f8"), st.just("plain"),
           st.lists(plain_floats, min_size=lo, max_size=hi))).map(lambda r: ("seq", r))


@functools.cache
def arg_recipes(fname, param, size=None):
    n = 3 if fname in INTEGRATED and param == "l" else 6
    if param in NUMBER_PARAMS[fname]:
        right, wrong = number_args, sequences(n).map(lambda r: ("seq", r))
    else:
        right = sequences(n, size).map(lambda r: ("seq", r))
        wrong = number_args
    return st.one_of(*[right] * 12, wrong)


KEY_TEXTS = ["x", "", "L", "l ", "re\x00", "λ", "\udc80", "rstar2", "self", "R", "bl", "r"]
KEY_HOW = st.sampled_from(["plain", "sub", "other", "nonstr", "raise", "panic"])


@st.composite
def calls(draw, fname):
    params = FUNCTIONS[fname]
    n = len(params)
    # Profile tables mostly of one length, so that calls reach the computation.
    table = draw(st.one_of(st.none(), st.integers(0, 5), st.integers(0, 5)))
    # Clean arguments, one hostile argument among clean ones, or any mix, so
    # that both the conversions and the computation see many examples.
    hostility = draw(st.sampled_from(["clean", "one", "any", "any"]))
    hostile_index = draw(st.integers(0, n - 1))
    values = [draw((arg_recipes if hostility == "any" or (hostility == "one" and i == hostile_index)
                    else clean_arg_recipes)(fname, p, table if p in ("bl", "bf") else None))
              for i, p in enumerate(params)]
    layout = draw(st.sampled_from(["positional"] * 5 + ["keywords"] * 2 + ["hostile"] * 2))
    if layout == "positional":
        return (values, [])
    if layout == "keywords":
        k = draw(st.integers(0, n))
        order = draw(st.permutations(range(k, n)))
        return (values[:k], [(("param", i, "plain"), values[i]) for i in order])
    k = draw(st.integers(0, n + 2))
    pos = values[:k] + [draw(number_args) for _ in range(k - n)]
    entries = []
    for i in range(k, n):  # the remaining parameters, some of them left out
        if draw(st.integers(0, 3)):
            entries.append((("param", i, draw(st.sampled_from(["plain", "sub"]))), values[i]))
    for _ in range(draw(st.integers(0, 2))):  # repeated and unknown names
        if draw(st.booleans()):
            key = ("param", draw(st.integers(0, n - 1)), draw(KEY_HOW))
        else:
            key = ("unknown", draw(st.sampled_from(KEY_TEXTS)), draw(KEY_HOW))
        entries.insert(draw(st.integers(0, len(entries))), (key, draw(number_args)))
    return (pos, entries)

# ------------------------------------------------------------------ tests


@pytest.mark.parametrize("fname", FUNCTION_NAMES)
@FUZZ_SETTINGS
@given(data=st.data())
def test_hostile_call_matches_the_model(fname, data):
    call = data.draw(calls(fname), label="call")
    warn_error = data.draw(st.booleans(), label="warnings are errors")
    check_call(fname, call, warn_error)


# A few recipes that the fuzzer must always cover, whatever it draws.
EXAMPLES = [
    ("witt_mao_magnification", ([("seq", ("list", [("mutator", "extend", 0, 2, 0.5),
                                                   ("float", 1.5)])),
                                 ("num", ("float", 1.0)), ("num", ("float", 0.1))], [])),
    ("discrete_flux_map_heyrovsky_magnification",
     ([("seq", ("list", [("mutator", "pop", 1, 1, 0.5)])), ("num", ("float", 1.0)),
       ("num", ("float", 0.1)), ("seq", ("list", [("float", 0.2), ("float", 0.4)])),
       ("seq", ("list", [("float", 1.0)]))], [])),
    ("witt_mao_magnification", ([("seq", ("list", [("float_raises", ("TypeError_badstr", "panic"))])),
                                 ("num", ("float", 1.0)), ("num", ("float", 0.1))], [])),
    ("integrated_witt_mao_magnification",
     ([("seq", ("seq", [("float", 0.5)], "huge", -1, ("ValueError", "x"), 0)),
       ("num", ("nested", "resumed_panic")), ("num", ("float", 0.1))], [])),
    ("heyrovsky_magnification",
     ([("num", ("float", 0.5))], [(("unknown", "\udc80", "panic"), ("num", ("float", 1.0))),
                                  (("param", 1, "plain"), ("num", ("float", 0.3)))])),
    ("integrated_flux_map_heyrovsky_magnification",
     ([("seq", ("iterseq", [("float", 0.5), ("float", 1.5)], "stop_subclass", 1,
                ("ValueError", "x"))), ("num", ("index_returns", ("bool", True))),
       ("num", ("recurse", 3)), ("seq", ("ndarray", "<c16", "reversed", [0.0, 1.0])),
       ("seq", ("array", "f", [1.0, 0.5]))], [])),
]


@pytest.mark.parametrize("warn_error", [False, True])
@pytest.mark.parametrize("fname, call", EXAMPLES)
def test_fixed_examples(fname, call, warn_error):
    check_call(fname, call, warn_error)


def test_unbounded_recursion_through_the_module_is_a_recursion_error():
    """Each level of __float__ calls the module again: the interpreter's
    recursion limit ends it with RecursionError, not a crash."""
    class Deeper:
        def __float__(self):
            return tarnivox.witt_mao_magnification([self], 1.0, 0.1)[0]

    class DeeperSeq:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            return tarnivox.integrated_witt_mao_magnification(self, 1.0, 0.1)[0]

    for call in (lambda: tarnivox.witt_mao_magnification([Deeper()], 1.0, 0.1),
                 lambda: tarnivox.heyrovsky_magnification(0.5, Deeper(), 1.0, 0.1),
                 lambda: tarnivox.witt_mao_magnification(DeeperSeq(), 1.0, 0.1)):
        with pytest.raises(RecursionError):
            call()
        assert all(same_bits(v, f(*a)) for (f, a), v in zip(SENTINEL_CALLS, SENTINEL_VALUES))
