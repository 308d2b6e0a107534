"""The Python face of tarnivox: the module object, its function table, argument
parsing and conversion, result objects and the exceptions that reach Python.

Behavioural checks run mostly on witt_mao_magnification (a sequence and two
numbers), heyrovsky_magnification (four numbers) and
discrete_flux_map_heyrovsky_magnification (three sequences and two numbers):
between them they cover every argument kind and every conversion path.

Two exact identities serve as value oracles for conversions:
  * a conversion must give the same result as the equivalent plain floats;
  * discrete_flux_map_heyrovsky_magnification([l], re, rstar, [r], [w]) is
    0.0 + A * w with A = heyrovsky_magnification(l, r, re, rstar), so a weight
    is read back exactly as A * float(w).
"""

import array
import ctypes
import importlib.util
import inspect
import json
import math
import os
import shutil
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

import tarnivox
from _support import (
    FUNCTIONS, BadStr, FloatSub, IntSub, OnlyIter, Outer, ReversedList, StrSub, TypeErrorSub, panic_type,
)

try:
    import _tarnivox_testing as kernels
except ImportError:  # the private kernel module is built beside tarnivox
    kernels = None


LIST_FUNCTIONS = [name for name in FUNCTIONS if name != "heyrovsky_magnification"]
PROFILE_FUNCTIONS = [name for name, params in FUNCTIONS.items() if "bl" in params]

# A valid value for every parameter name: separations across the centre, the
# disk and beyond it; a source of 0.1 Einstein radii; a falling profile table.
VALID = {
    "l": [0.0, 0.5, 1.5, 3.0],
    "r": 0.3,
    "re": 1.0,
    "rstar": 0.1,
    "bl": [0.0, 0.5, 1.0],
    "bf": [1.0, 0.8, 0.5],
}
HEYROVSKY_VALID = {"l": 0.5, "r": 0.3, "re": 1.0, "rstar": 0.1}

witt_mao = tarnivox.witt_mao_magnification
heyrovsky = tarnivox.heyrovsky_magnification
discrete = tarnivox.discrete_flux_map_heyrovsky_magnification

EPS = 2.0**-52


def fn(name):
    return getattr(tarnivox, name)


def valid_args(name):
    table = HEYROVSKY_VALID if name == "heyrovsky_magnification" else VALID
    return {p: table[p] for p in FUNCTIONS[name]}


def same(a, b):
    """Bitwise equality of floats or lists of floats (NaN equals NaN)."""
    if isinstance(a, list) or isinstance(b, list):
        return isinstance(a, list) and isinstance(b, list) and len(a) == len(b) and all(
            same(x, y) for x, y in zip(a, b))
    return np.float64(a).tobytes() == np.float64(b).tobytes()


def conversion_error_of(obj):
    """The exception CPython's own float conversion (PyFloat_AsDouble, as used
    by math.sqrt) raises for obj."""
    try:
        math.sqrt(obj)
    except Exception as e:  # noqa: BLE001 - we want whatever it raises
        return e
    raise AssertionError(f"{obj!r} converts to a float")


def raise_inner_panic():
    """Calls into the module so that it raises PanicException."""
    discrete([0.5], 1.0, 1.0, [0.1, 0.2, 0.3], [1.0, 1.0, 1.0, 1.0])


MISMATCH_3_4 = "assertion `left == right` failed\n  left: 3\n right: 4"


def run_python(code, *argv):
    env = dict(os.environ)
    here = os.path.dirname(tarnivox.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, "-c", code, *argv], capture_output=True, text=True,
                          env=env, timeout=120)
    assert proc.returncode == 0, (proc.returncode, proc.stdout, proc.stderr)
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------- helpers
# Argument objects of every shape the conversions must handle.

class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    """An element or number whose conversion raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class Recorder:
    """Notes whether anyone tried to convert it."""

    def __init__(self):
        self.converted = False

    def __float__(self):
        self.converted = True
        return 0.5


class ReversedTuple(tuple):
    def __iter__(self):
        return iter(tuple.__getitem__(self, slice(None, None, -1)))


class Seq:
    """A user-defined sequence: __getitem__ and __len__, optional __iter__,
    and a __len__ that may lie or raise."""

    def __init__(self, items, length=None, iter_items=None):
        self.items = list(items)
        self.length = length
        self.iter_items = iter_items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if self.length is None:
            return len(self.items)
        if isinstance(self.length, BaseException):
            raise self.length
        if callable(self.length):
            return self.length()
        return self.length

    def __iter__(self):
        if self.iter_items is None:
            return iter(self.items)
        return iter(self.iter_items)


class GetItemOnly:
    """Old iteration protocol: __getitem__ until IndexError, optionally
    failing at an index."""

    def __init__(self, items, fail_at=None, exc=None):
        self.items = items
        self.fail_at = fail_at
        self.exc = exc

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.exc
        return self.items[i]


class IterRaises:
    """A sequence whose iterator yields some items and then raises."""

    def __init__(self, items, exc):
        self.items = items
        self.exc = exc

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        yield from self.items
        raise self.exc


class IterCallRaises:
    """A sequence whose __iter__ itself raises."""

    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, i):
        return 0.5

    def __len__(self):
        return 1

    def __iter__(self):
        raise self.exc


class NotIterable:
    """Passes the sequence check but iter() refuses it."""

    __iter__ = None

    def __getitem__(self, i):
        return 0.5


class ReversedArray(np.ndarray):
    """An ndarray subclass that iterates backwards."""

    def __iter__(self):
        return iter([self[i] for i in range(len(self) - 1, -1, -1)])


class ForeignNdarray(array.array):
    """Not NumPy's array, though its C-level type name is NumPy's; its own
    __iter__, which runs backwards, must be honoured."""

    def __iter__(self):
        return iter(self.tolist()[::-1])


ForeignNdarray.__name__ = "numpy.ndarray"  # a heap type's tp_name is its __name__


def _read_only(a):
    a.flags.writeable = False
    return a


# ======================================================================
# Module object and function table
# ======================================================================

def test_all_lists_the_functions_in_registration_order():
    assert type(tarnivox.__all__) is list
    assert tarnivox.__all__ == list(FUNCTIONS)


def test_public_attributes_are_exactly_the_functions():
    public = {n for n in dir(tarnivox) if not n.startswith("_")}
    assert public == set(FUNCTIONS)
    namespace = {}
    exec("from tarnivox import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(FUNCTIONS)


def test_module_identity_and_docstring():
    assert tarnivox.__name__ == "tarnivox"
    doc = tarnivox.__doc__
    assert isinstance(doc, str)
    assert "C++" in doc and "Python module" in doc
    # one sentence
    assert doc.strip().endswith(".") and doc.count(". ") == 0 and "\n" not in doc.strip()


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_object(name):
    f = fn(name)
    params = FUNCTIONS[name]
    assert type(f) is types.BuiltinFunctionType
    assert f.__name__ == name and f.__qualname__ == name
    assert f.__text_signature__ == "(" + ", ".join(params) + ")"
    assert f.__doc__ is None
    assert f.__module__ == "tarnivox"
    assert f.__self__ is tarnivox
    sig = inspect.signature(f)
    assert list(sig.parameters) == list(params)
    for p in sig.parameters.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


def test_text_signatures_spelled_out():
    assert witt_mao.__text_signature__ == "(l, re, rstar)"
    assert heyrovsky.__text_signature__ == "(l, r, re, rstar)"
    assert discrete.__text_signature__ == "(l, re, rstar, bl, bf)"


@pytest.mark.parametrize("name", ["tarnivox", "_tarnivox_testing"])
def test_only_the_initialisation_function_is_exported(name):
    if not sys.platform.startswith("linux"):
        pytest.skip("reads the ELF dynamic symbol table")
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    module = tarnivox if name == "tarnivox" else kernels
    if module is None:
        pytest.skip(f"{name} is not built")
    out = subprocess.run([nm, "-D", "--defined-only", module.__file__],
                         capture_output=True, text=True, check=True).stdout
    symbols = [line.split() for line in out.splitlines() if line.strip()]
    assert [s[-1] for s in symbols] == [f"PyInit_{name}"], out
    assert symbols[0][-2] == "T", out


def test_repeated_initialisation_returns_the_same_module():
    result = run_python(textwrap.dedent("""
        import ctypes, json, tarnivox
        before = list(tarnivox.__all__)
        functions = {n: getattr(tarnivox, n) for n in before}
        init = ctypes.PyDLL(tarnivox.__file__).PyInit_tarnivox
        init.restype = ctypes.py_object
        init.argtypes = []
        again = init()
        third = init()
        print(json.dumps({
            "same": again is tarnivox and third is tarnivox,
            "before": before,
            "after": list(tarnivox.__all__),
            "functions_kept": all(getattr(tarnivox, n) is f for n, f in functions.items()),
            "works": tarnivox.witt_mao_magnification([0.0], 1.0, 1.0),
        }))
    """))
    assert result["same"]
    assert result["after"] == result["before"]
    assert len(set(result["after"])) == len(result["after"])
    assert result["functions_kept"]
    assert result["works"] == [math.sqrt(5.0)]


# CPython's private module for sub-interpreters: _xxsubinterpreters in 3.11 and
# 3.12, renamed _interpreters in 3.13, whose run_string returns the uncaught
# exception as a namespace (type, msg) instead of raising RunFailedError.
SUB_INTERPRETER_MODULES = ("_interpreters", "_xxsubinterpreters")


def test_sub_interpreter_import_is_refused():
    name = next((n for n in SUB_INTERPRETER_MODULES if importlib.util.find_spec(n)), None)
    if name is None:
        pytest.skip(f"this interpreter has none of {', '.join(SUB_INTERPRETER_MODULES)}, "
                    "so it cannot start a sub-interpreter from Python")
    # runs inside the sub-interpreter; reports the exception through a pipe
    inner = textwrap.dedent("""
        import os
        try:
            import tarnivox
        except BaseException as e:
            text = type(e).__module__ + "." + type(e).__qualname__ + "|" + str(e)
        else:
            text = "imported"
        os.write(FD, text.encode())
    """)
    # The sub-interpreter shares the main interpreter's settings ("legacy"):
    # from 3.12 an isolated one refuses every single-phase module before its
    # initialisation function runs, and the refusal tested here is the module's.
    result = run_python(textwrap.dedent("""
        import json, os, sys
        import tarnivox
        if sys.argv[2] == "_interpreters":
            import _interpreters as si
            interp = si.create("legacy")

            def run(code):
                exc = si.run_string(interp, code)
                if exc is None:
                    return None
                kind = exc.type.__qualname__
                if exc.type.__module__ != "builtins":
                    kind = exc.type.__module__ + "." + kind
                return f"<class '{kind}'>: {exc.msg}"
        else:
            import _xxsubinterpreters as si
            interp = si.create(isolated=False)

            def run(code):
                try:
                    si.run_string(interp, code)
                except si.RunFailedError as e:
                    return str(e)
                return None
        out = {}
        out["bare"] = run("import tarnivox")
        r, w = os.pipe()
        out["inner"] = run(sys.argv[1].replace("FD", str(w)))
        os.close(w)
        out["caught"] = os.read(r, 4096).decode()
        si.destroy(interp)
        out["main"] = tarnivox.witt_mao_magnification([0.0], 1.0, 1.0)
        print(json.dumps(out))
    """), inner, name)
    assert result["bare"] is not None and result["bare"].startswith("<class 'ImportError'>: ")
    assert result["inner"] is None
    kind, _, message = result["caught"].partition("|")
    assert kind == "builtins.ImportError", result["caught"]
    # the module's own refusal, not CPython's refusal of single-phase modules
    assert "not yet support subinterpreters" in message.lower(), message
    assert result["main"] == [math.sqrt(5.0)]


# ======================================================================
# Argument parsing
# ======================================================================

def quoted(names):
    q = [f"'{n}'" for n in names]
    if len(q) == 1:
        return q[0]
    if len(q) == 2:
        return f"{q[0]} and {q[1]}"
    return ", ".join(q[:-1]) + ", and " + q[-1]


@pytest.mark.parametrize("call, message", [
    (lambda: witt_mao([1.0], 1.0),
     "witt_mao_magnification() missing 1 required positional argument: 'rstar'"),
    (lambda: witt_mao([1.0]),
     "witt_mao_magnification() missing 2 required positional arguments: 're' and 'rstar'"),
    (lambda: witt_mao(),
     "witt_mao_magnification() missing 3 required positional arguments: 'l', 're', and 'rstar'"),
    (lambda: witt_mao(re=1.0),
     "witt_mao_magnification() missing 2 required positional arguments: 'l' and 'rstar'"),
    (lambda: witt_mao(rstar=1.0, l=[1.0]),
     "witt_mao_magnification() missing 1 required positional argument: 're'"),
    (lambda: heyrovsky(0.5, re=1.0),
     "heyrovsky_magnification() missing 2 required positional arguments: 'r' and 'rstar'"),
    (lambda: discrete(),
     "discrete_flux_map_heyrovsky_magnification() missing 5 required positional arguments: "
     "'l', 're', 'rstar', 'bl', and 'bf'"),
    (lambda: discrete([1.0], bf=[1.0]),
     "discrete_flux_map_heyrovsky_magnification() missing 3 required positional arguments: "
     "'re', 'rstar', and 'bl'"),
    (lambda: witt_mao([1.0], 1.0, 1.0, 1.0),
     "witt_mao_magnification() takes 3 positional arguments but 4 were given"),
    (lambda: witt_mao([1.0], 1.0, 1.0, 1.0, x=1.0),
     "witt_mao_magnification() takes 3 positional arguments but 4 were given"),
    (lambda: witt_mao([1.0], 1.0, 1.0, 1.0, l=[1.0]),
     "witt_mao_magnification() takes 3 positional arguments but 4 were given"),
    (lambda: heyrovsky(1.0, 1.0, 1.0, 1.0, 1.0),
     "heyrovsky_magnification() takes 4 positional arguments but 5 were given"),
    (lambda: discrete(*range(9)),
     "discrete_flux_map_heyrovsky_magnification() takes 5 positional arguments but 9 were given"),
    (lambda: witt_mao([1.0], 1.0, 1.0, l=[1.0]),
     "witt_mao_magnification() got multiple values for argument 'l'"),
    (lambda: witt_mao([1.0], 1.0, 1.0, rstar=1.0),
     "witt_mao_magnification() got multiple values for argument 'rstar'"),
    (lambda: witt_mao([1.0], l=[1.0]),
     "witt_mao_magnification() got multiple values for argument 'l'"),
    (lambda: witt_mao([1.0], 1.0, 1.0, x=1.0),
     "witt_mao_magnification() got an unexpected keyword argument 'x'"),
    # the unknown keyword is reported before the missing arguments
    (lambda: witt_mao(x=1.0),
     "witt_mao_magnification() got an unexpected keyword argument 'x'"),
    (lambda: witt_mao(re=1.0, zz=1.0),
     "witt_mao_magnification() got an unexpected keyword argument 'zz'"),
    # keywords are checked in the order given
    (lambda: witt_mao([1.0], l=[1.0], x=1.0),
     "witt_mao_magnification() got multiple values for argument 'l'"),
    (lambda: witt_mao([1.0], x=1.0, l=[1.0]),
     "witt_mao_magnification() got an unexpected keyword argument 'x'"),
    # matching is exact: case, prefixes, embedded NUL, non-ASCII
    (lambda: witt_mao([1.0], 1.0, **{"Rstar": 1.0}),
     "witt_mao_magnification() got an unexpected keyword argument 'Rstar'"),
    (lambda: witt_mao([1.0], 1.0, **{"rsta": 1.0}),
     "witt_mao_magnification() got an unexpected keyword argument 'rsta'"),
    (lambda: witt_mao([1.0], 1.0, **{"rstar\0": 1.0}),
     "witt_mao_magnification() got an unexpected keyword argument 'rstar\0'"),
    (lambda: witt_mao([1.0], 1.0, **{"r\u00e9": 1.0}),
     "witt_mao_magnification() got an unexpected keyword argument 'r\u00e9'"),
    # a name that cannot be encoded in UTF-8 names no parameter
    (lambda: witt_mao([1.0], 1.0, **{"\udcff": 1.0}),
     "witt_mao_magnification() got an unexpected keyword argument '\udcff'"),
    (lambda: witt_mao([1.0], 1.0, **{"rstar\ud800": 1.0}),
     "witt_mao_magnification() got an unexpected keyword argument 'rstar\ud800'"),
    # parsing comes before any conversion
    (lambda: witt_mao("not a sequence", None, None, x=1.0),
     "witt_mao_magnification() got an unexpected keyword argument 'x'"),
    (lambda: witt_mao("not a sequence", None),
     "witt_mao_magnification() missing 1 required positional argument: 'rstar'"),
])
def test_parser_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def vectorcall(func, args, kwnames=()):
    """Calls func through the fast-call protocol with the given keyword-name
    tuple, which Python syntax cannot repeat."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                     ctypes.py_object]
    array_ = (ctypes.py_object * max(len(args), 1))(*args)
    return call(func, array_, len(args) - len(kwnames), tuple(kwnames))


def test_parameter_given_twice_by_keyword():
    with pytest.raises(TypeError) as info:
        vectorcall(witt_mao, [[1.0], 1.0, 1.0, 2.0], ("re", "re"))
    assert str(info.value) == "witt_mao_magnification() got multiple values for argument 're'"
    # the fast-call convention itself: keyword values follow the positional ones
    assert vectorcall(witt_mao, [[1.6], 0.5, 1.0], ("rstar", "re")) == witt_mao([1.6], 1.0, 0.5)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_parser_uses_each_functions_own_description(name):
    """Every function's parser reports its own name and parameter list."""
    f = fn(name)
    params = FUNCTIONS[name]
    n = len(params)
    with pytest.raises(TypeError) as info:
        f()
    assert str(info.value) == (f"{name}() missing {n} required positional arguments: "
                               f"{quoted(params)}")
    with pytest.raises(TypeError) as info:
        f(*([0.0] * (n + 1)))
    assert str(info.value) == f"{name}() takes {n} positional arguments but {n + 1} were given"
    with pytest.raises(TypeError) as info:
        f(*([0.0] * (n - 1)))
    assert str(info.value) == (f"{name}() missing 1 required positional argument: "
                               f"'{params[-1]}'")
    with pytest.raises(TypeError) as info:
        f(0.0, **{params[0]: 0.0})
    assert str(info.value) == f"{name}() got multiple values for argument '{params[0]}'"
    with pytest.raises(TypeError) as info:
        f(bogus=0.0)
    assert str(info.value) == f"{name}() got an unexpected keyword argument 'bogus'"


@pytest.mark.parametrize("name", ["witt_mao_magnification", "heyrovsky_magnification",
                                  "discrete_flux_map_heyrovsky_magnification"])
def test_keywords_in_any_order_equal_positional(name):
    import itertools
    f = fn(name)
    args = valid_args(name)
    expected = f(*args.values())
    for order in itertools.permutations(args):
        assert same(f(**{p: args[p] for p in order}), expected), order
    # and every split between positional and keyword
    params = list(args)
    for k in range(len(params) + 1):
        head = [args[p] for p in params[:k]]
        tail = {p: args[p] for p in reversed(params[k:])}
        assert same(f(*head, **tail), expected), k


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_keywords_equal_positional_for_every_function(name):
    f = fn(name)
    args = valid_args(name)
    assert same(f(**dict(reversed(list(args.items())))), f(*args.values()))


def test_keyword_name_of_a_str_subclass_is_matched():
    assert witt_mao([1.6], 1.0, **{StrSub("rstar"): 0.5}) == witt_mao([1.6], 1.0, 0.5)


# ======================================================================
# Number conversion
# ======================================================================

NUMBERS = [
    pytest.param(0.5, 0.5, id="float"),
    pytest.param(-1.0, -1.0, id="float -1"),
    pytest.param(2, 2.0, id="int"),
    pytest.param(-1, -1.0, id="int -1"),
    pytest.param(2**53 + 1, float(2**53 + 1), id="int rounded"),
    pytest.param(True, 1.0, id="bool"),
    pytest.param(False, 0.0, id="bool False"),
    pytest.param(FloatSub(0.25), 0.25, id="float subclass"),
    pytest.param(FloatSub(-1.0), -1.0, id="float subclass -1"),
    pytest.param(IntSub(3), 3.0, id="int subclass"),
    pytest.param(HasFloat(0.75), 0.75, id="__float__"),
    pytest.param(HasFloat(-1.0), -1.0, id="__float__ -1"),
    pytest.param(HasIndex(3), 3.0, id="__index__"),
    pytest.param(HasIndex(-1), -1.0, id="__index__ -1"),
    pytest.param(np.float64(0.5), 0.5, id="numpy float64"),
    pytest.param(np.float32(0.1), float(np.float32(0.1)), id="numpy float32"),
    pytest.param(np.int64(-7), -7.0, id="numpy int64"),
    pytest.param(float("inf"), float("inf"), id="inf"),
    pytest.param(-0.0, -0.0, id="negative zero"),
]


def outcome(call, *args):
    """The value of a call, or the type and arguments of what it raised."""
    try:
        return ("value", call(*args))
    except Exception as e:  # noqa: BLE001
        return ("raised", type(e), e.args)


def same_outcome(a, b):
    return a[0] == b[0] and (same(a[1], b[1]) if a[0] == "value" else a == b)


@pytest.mark.parametrize("value, as_float", NUMBERS)
def test_number_arguments(value, as_float):
    # every number parameter; a value some formula rejects must be rejected
    # in the same way whatever its Python type
    for call, args in [
        (heyrovsky, (value, 0.3, 1.0, 0.1)),
        (heyrovsky, (-2.0, value, 1.0, 0.1)),
        (heyrovsky, (0.7, value, 1.0, 0.1)),
        (heyrovsky, (0.7, 0.3, value, 0.1)),
        (heyrovsky, (0.7, 0.3, 1.0, value)),
        (witt_mao, ([0.5, 1.6], value, 0.5)),
        (witt_mao, ([0.5, 1.6], 1.0, value)),
        (discrete, ([0.5, 1.6], value, 0.5, [0.3], [1.0])),
        (discrete, ([0.5, 1.6], 1.0, value, [0.3], [1.0])),
    ]:
        plain = tuple(as_float if a is value else a for a in args)
        assert same_outcome(outcome(call, *args), outcome(call, *plain)), (call, args)


def test_a_genuine_minus_one_is_a_value():
    # reversing the source radius reverses the sign of every term of the
    # disk formula: A(-rho) = -A(rho) exactly
    expected = [-a for a in witt_mao([0.5, 1.6], 1.0, 0.5)]
    for minus_one in (-1.0, -1, FloatSub(-1.0), HasFloat(-1.0), HasIndex(-1), np.float64(-1.0)):
        assert witt_mao([0.5, 1.6], minus_one, 0.5) == expected


@pytest.mark.parametrize("value, as_float", NUMBERS)
@pytest.mark.parametrize("container", [list, tuple, Seq, np.array],
                         ids=["list", "tuple", "user sequence", "numpy object"])
def test_sequence_elements(value, as_float, container):
    """A weight is read back exactly: the discrete sum over one ring is A * w."""
    if container is np.array:
        weights = np.array([value, 1.0], dtype=object)
    else:
        weights = container([value, 1.0])
    A = heyrovsky(0.5, 0.3, 1.0, 1.0)
    result = discrete([0.5], 1.0, 1.0, [0.3, 0.3], weights)
    # the sum starts at 0.0: 0.0 + A*w then + A*1.0
    assert same(result, [(0.0 + A * as_float) + A * 1.0])
    single = discrete([0.5], 1.0, 1.0, [0.3], container([value]) if container is not np.array
                      else np.array([value], dtype=object))
    assert same(single, [0.0 + A * as_float])


def test_float_subclass_is_read_as_its_float_value():
    class Odd(float):
        def __float__(self):
            return 99.0
    assert heyrovsky(Odd(0.5), 0.3, 1.0, 0.1) == heyrovsky(0.5, 0.3, 1.0, 0.1)


@pytest.mark.parametrize("bad", [None, "0.5", b"x", [0.5], 1j, object()],
                         ids=["None", "str", "bytes", "list", "complex", "object"])
@pytest.mark.parametrize("call, name", [
    (lambda x: heyrovsky(x, 0.3, 1.0, 1.0), "l"),
    (lambda x: heyrovsky(0.5, x, 1.0, 1.0), "r"),
    (lambda x: heyrovsky(0.5, 0.3, x, 1.0), "re"),
    (lambda x: heyrovsky(0.5, 0.3, 1.0, x), "rstar"),
    (lambda x: witt_mao([0.5], x, 1.0), "re"),
    (lambda x: witt_mao([0.5], 1.0, x), "rstar"),
    (lambda x: discrete([0.5], x, 1.0, [0.3], [1.0]), "re"),
    (lambda x: witt_mao([0.5, x], 1.0, 1.0), "l"),
    (lambda x: witt_mao((x,), 1.0, 1.0), "l"),
    (lambda x: witt_mao(Seq([0.5, x]), 1.0, 1.0), "l"),
    (lambda x: discrete([0.5], 1.0, 1.0, [x], [1.0]), "bl"),
    (lambda x: discrete([0.5], 1.0, 1.0, [0.3], (1.0, x)), "bf"),
], ids=["heyrovsky l", "heyrovsky r", "heyrovsky re", "heyrovsky rstar", "witt_mao re",
        "witt_mao rstar", "discrete re", "list element", "tuple element", "sequence element",
        "bl element", "bf element"])
def test_unconvertible_number_is_relabelled(call, name, bad):
    cpython = conversion_error_of(bad)
    assert type(cpython) is TypeError
    with pytest.raises(TypeError) as info:
        call(bad)
    assert type(info.value) is TypeError
    assert info.value.args == (f"argument '{name}': {cpython}",)


def test_int_too_large_passes_as_overflow_error():
    huge = 10**400
    cpython = conversion_error_of(huge)
    for call in (lambda: witt_mao([0.5], huge, 1.0), lambda: witt_mao([0.5, huge], 1.0, 1.0),
                 lambda: heyrovsky(0.5, 0.3, 1.0, huge), lambda: discrete([0.5], 1, 1, [huge], [1])):
        with pytest.raises(OverflowError) as info:
            call()
        assert type(info.value) is OverflowError
        assert info.value.args == cpython.args


def test_float_conversion_returning_a_non_float_is_relabelled():
    bad = HasFloat(1)  # __float__ returns int
    cpython = conversion_error_of(bad)
    with pytest.raises(TypeError) as info:
        witt_mao([0.5], 1.0, bad)
    assert str(info.value) == f"argument 'rstar': {cpython}"


# ======================================================================
# Sequence conversion
# ======================================================================

@pytest.mark.parametrize("value", ["", "0.5", StrSub("0.5"), StrSub("")], ids=repr)
def test_str_is_not_a_sequence_of_numbers(value):
    with pytest.raises(TypeError) as info:
        witt_mao(value, 1.0, 1.0)
    assert type(info.value) is TypeError
    assert info.value.args == ("argument 'l': Can't extract `str` to `Vec`",)


@pytest.mark.parametrize("position", ["l", "bl", "bf"])
def test_str_rejected_for_every_sequence_parameter(position):
    args = dict(l=[0.5], re=1.0, rstar=1.0, bl=[0.3], bf=[1.0])
    args[position] = "abc"
    with pytest.raises(TypeError) as info:
        discrete(**args)
    assert str(info.value) == f"argument '{position}': Can't extract `str` to `Vec`"


def _generator():
    yield 0.5


@pytest.mark.parametrize("value, qualname", [
    (0.5, "float"),
    (3, "int"),
    (None, "NoneType"),
    ({0.5}, "set"),
    (frozenset([0.5]), "frozenset"),
    (_generator(), "generator"),
    ((x for x in [0.5]), "generator"),
    ({0: 0.5}, "dict"),
    ({}.keys(), "dict_keys"),
    (iter([0.5]), "list_iterator"),
    (OnlyIter(), "OnlyIter"),
    (Outer.Inner(), "Outer.Inner"),
    (np.float64(0.5), "float64"),
])
def test_non_sequence_rejected(value, qualname):
    with pytest.raises(TypeError) as info:
        witt_mao(value, 1.0, 1.0)
    assert type(info.value) is TypeError
    assert info.value.args == (f"argument 'l': '{qualname}' object cannot be converted to "
                               "'Sequence'",)


def test_non_sequence_uses_the_qualified_name_of_a_local_class():
    class Local:
        pass
    with pytest.raises(TypeError) as info:
        discrete([0.5], 1.0, 1.0, [0.3], Local())
    assert str(info.value) == ("argument 'bf': 'test_non_sequence_uses_the_qualified_name_of_a_"
                               "local_class.<locals>.Local' object cannot be converted to "
                               "'Sequence'")


L = [0.0, 0.5, 1.0, 1.6, 3.0]


@pytest.mark.parametrize("value, as_list", [
    (list(L), L),
    (tuple(L), L),
    (range(4), [0.0, 1.0, 2.0, 3.0]),
    (range(3, -1, -1), [3.0, 2.0, 1.0, 0.0]),
    (bytes([0, 1, 2, 255]), [0.0, 1.0, 2.0, 255.0]),
    (bytearray([0, 3]), [0.0, 3.0]),
    (memoryview(bytes([2, 1])), [2.0, 1.0]),
    (array.array("d", L), L),
    (array.array("i", [0, 1, 3]), [0.0, 1.0, 3.0]),
    (np.array(L), L),
    (np.array(L, dtype=np.float32), [float(x) for x in np.array(L, dtype=np.float32)]),
    (np.array([0, 1, 3], dtype=np.int32), [0.0, 1.0, 3.0]),
    (np.array(L)[::-2], L[::-2]),
    (np.array(L, dtype=">f8"), L),
    (np.array(L, dtype="<f8")[1:], L[1:]),
    (np.array([L, L[::-1]]).T[:, 1], L[::-1]),
    (np.zeros(3, dtype=[("a", "i4"), ("x", "f8")])["x"], [0.0, 0.0, 0.0]),
    (np.array(L, dtype=np.longdouble), L),
    (np.array(L, dtype=object), L),
    (_read_only(np.array(L)), L),
    (Seq(L), L),
    (GetItemOnly(L), L),
    ([], []),
    ((), []),
    (range(0), []),
    (b"", []),
    (np.array([]), []),
], ids=lambda v: type(v).__name__)
def test_accepted_sequences(value, as_list):
    expected = witt_mao(as_list, 1.0, 0.5)
    assert same(witt_mao(value, 1.0, 0.5), expected)
    assert len(expected) == len(as_list)


def test_sequence_element_that_is_a_sequence_is_refused():
    nested = np.array([[0.5, 1.0], [1.5, 2.0]])
    with pytest.raises(TypeError) as info:
        witt_mao(nested, 1.0, 1.0)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'l': {conversion_error_of(nested[0])}"


def test_zero_dimensional_array_fails_at_iteration():
    zero_d = np.array(0.5)
    with pytest.raises(TypeError) as expected:
        iter(zero_d)
    with pytest.raises(TypeError) as info:
        witt_mao(zero_d, 1.0, 1.0)
    assert str(info.value) == f"argument 'l': {expected.value}"


@pytest.mark.parametrize("make", [
    lambda items, reordered: ReversedList(items),
    lambda items, reordered: ReversedTuple(items),
    lambda items, reordered: Seq(items, iter_items=reordered),
    lambda items, reordered: np.array(items).view(ReversedArray),
    lambda items, reordered: ForeignNdarray("d", items),
], ids=["list subclass", "tuple subclass", "user sequence", "ndarray subclass", "foreign numpy.ndarray"])
def test_iteration_order_wins_over_indexing(make):
    items = [0.5, 1.6, 3.0]
    reordered = items[::-1]
    seq = make(items, reordered)
    assert list(seq) == reordered and seq[0] == items[0]
    assert witt_mao(seq, 1.0, 0.5) == witt_mao(reordered, 1.0, 0.5)
    bl = make([0.1, 0.2, 0.4], [0.4, 0.2, 0.1])
    assert discrete([0.5], 1.0, 1.0, bl, [1.0, 0.0, 0.0]) == discrete(
        [0.5], 1.0, 1.0, [0.4, 0.2, 0.1], [1.0, 0.0, 0.0])


# What the interpreter holds under the name "numpy" when a foreign type named
# "numpy.ndarray" is converted, in a process that has not imported NumPy; the
# module is never imported by the conversion.  An ordinary failure to find
# NumPy's ndarray there only means that the sequence is iterated (no exception
# is left pending, which would surface as SystemError); a MemoryError or a
# request to stop ends the call.
@pytest.mark.parametrize("numpy_module, raised", [
    ("absent", None),
    ("None", None),                  # an import of numpy refused through sys.modules
    ("module without ndarray", None),
    ("module whose ndarray is not a type", None),
    ("module whose __getattr__ raises ValueError", None),
    ("module whose __getattr__ raises MemoryError", "MemoryError"),
    ("module whose __getattr__ raises KeyboardInterrupt", "KeyboardInterrupt"),
], ids=lambda v: str(v))
def test_a_foreign_numpy_ndarray_without_numpy(numpy_module, raised):
    result = run_python(textwrap.dedent("""
        import array, json, sys, types
        import tarnivox

        class ForeignNdarray(array.array):
            pass
        ForeignNdarray.__name__ = "numpy.ndarray"

        kind = sys.argv[1]
        if kind == "None":
            sys.modules["numpy"] = None
        elif kind != "absent":
            fake = types.ModuleType("numpy")
            if "not a type" in kind:
                fake.ndarray = ForeignNdarray("d")
            elif "raises" in kind:
                error = {"ValueError": ValueError, "MemoryError": MemoryError,
                         "KeyboardInterrupt": KeyboardInterrupt}[kind.split()[-1]]
                def __getattr__(name):
                    raise error(name)
                fake.__getattr__ = __getattr__
            sys.modules["numpy"] = fake
        try:
            out = tarnivox.witt_mao_magnification(ForeignNdarray("d", [0.5, 1.6]), 1.0, 0.5)
            raised = None
        except BaseException as e:
            out, raised = None, type(e).__name__
        numpy = sys.modules.get("numpy")
        imported = isinstance(numpy, types.ModuleType) and "__file__" in vars(numpy)
        print(json.dumps({"out": out, "raised": raised, "numpy imported": imported}))
    """), numpy_module)
    assert result["raised"] == raised
    if raised is None:
        assert result["out"] == witt_mao([0.5, 1.6], 1.0, 0.5)
    assert not result["numpy imported"]


@pytest.mark.parametrize("length", [
    0, 1, 2**20 + 1, 2**40, 2**62, sys.maxsize,
    -1,                      # ValueError from len()
    2**64,                   # OverflowError from len()
    1.5,                     # TypeError from len()
    ValueError("len broke"),
    TypeError("len broke"),
    RuntimeError("len broke"),
], ids=repr)
def test_length_only_sizes_the_allocation(length):
    items = [0.5, 1.6, 3.0]
    seq = Seq(items, length=length)
    expected = witt_mao(items, 1.0, 0.5)
    # a failure of __len__ is discarded: no exception left pending (that
    # would surface as SystemError) and no effect on the values
    assert witt_mao(seq, 1.0, 0.5) == expected
    assert discrete([0.5], 1.0, 1.0, Seq([0.3], length=length), Seq([2.0], length=length)) == \
        discrete([0.5], 1.0, 1.0, [0.3], [2.0])


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError])
@pytest.mark.parametrize("slot", ["l", "bl", "bf"])
def test_length_failure_that_is_no_ordinary_error_propagates(exc, slot):
    # Ctrl-C, exit requests and exhaustion raised by __len__ end the call
    # unchanged; only ordinary Exceptions are dropped with the length.
    raised = exc()
    args = {"l": [0.5], "bl": [0.3], "bf": [2.0]}
    args[slot] = Seq(args[slot], length=raised)
    with pytest.raises(exc) as info:
        discrete(args["l"], 1.0, 1.0, args["bl"], args["bf"])
    assert info.value is raised


@pytest.mark.parametrize("exc", [TypeError("mid-way"), ValueError("mid-way"),
                                 IndexError("wrong index"), KeyError("k"),
                                 ZeroDivisionError("zd")], ids=repr)
@pytest.mark.parametrize("make", [
    lambda exc: IterRaises([0.5, 1.0], exc),
    lambda exc: GetItemOnly([0.5, 1.0, 2.0], fail_at=2, exc=exc),
    lambda exc: IterCallRaises(exc),
], ids=["__next__", "__getitem__", "__iter__"])
def test_iteration_failure(make, exc):
    seq = make(exc)
    if isinstance(exc, IndexError) and isinstance(seq, GetItemOnly):
        # IndexError ends the old-style iteration: a shorter sequence
        assert witt_mao(seq, 1.0, 0.5) == witt_mao([0.5, 1.0], 1.0, 0.5)
        return
    with pytest.raises(BaseException) as info:
        witt_mao(seq, 1.0, 0.5)
    if type(exc) is TypeError:
        assert type(info.value) is TypeError and info.value is not exc
        assert info.value.args == ("argument 'l': mid-way",)
    else:
        assert info.value is exc


def test_not_iterable_sequence_is_relabelled():
    obj = NotIterable()
    with pytest.raises(TypeError) as expected:
        iter(obj)
    with pytest.raises(TypeError) as info:
        discrete([0.5], 1.0, 1.0, obj, [1.0])
    assert str(info.value) == f"argument 'bl': {expected.value}"


# ---------------------------------------------------------------- relabelling

def _element_paths():
    # every route along which an element or number is converted
    return [
        pytest.param(lambda x: witt_mao([0.5, x, 1.0], 1.0, 1.0), "l", id="list element"),
        pytest.param(lambda x: witt_mao((0.5, x), 1.0, 1.0), "l", id="tuple element"),
        pytest.param(lambda x: witt_mao(Seq([x]), 1.0, 1.0), "l", id="iterated element"),
        pytest.param(lambda x: witt_mao(ReversedList([x]), 1.0, 1.0), "l", id="list subclass"),
        pytest.param(lambda x: witt_mao([0.5], x, 1.0), "re", id="number re"),
        pytest.param(lambda x: heyrovsky(x, 0.3, 1.0, 1.0), "l", id="heyrovsky l"),
        pytest.param(lambda x: heyrovsky(0.5, x, 1.0, 1.0), "r", id="heyrovsky r"),
        pytest.param(lambda x: discrete([0.5], 1.0, 1.0, [x], [1.0]), "bl", id="bl element"),
        pytest.param(lambda x: discrete([0.5], 1.0, 1.0, [0.3], (x,)), "bf", id="bf element"),
    ]


@pytest.mark.parametrize("call, name", _element_paths())
def test_type_error_relabelled_with_cause_carried_over(call, name):
    cause = KeyError("the root")
    original = TypeError("cannot be a number")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        call(Raises(original))
    err = info.value
    assert type(err) is TypeError
    assert err is not original
    assert err.args == (f"argument '{name}': cannot be a number",)
    assert err.__cause__ is cause


@pytest.mark.parametrize("call, name", _element_paths())
def test_type_error_without_cause(call, name):
    original = TypeError("plain")
    with pytest.raises(TypeError) as info:
        call(Raises(original))
    assert info.value.args == (f"argument '{name}': plain",)
    assert info.value.__cause__ is None and info.value is not original


@pytest.mark.parametrize("args, text", [
    ((), ""),
    (("a", 2), "('a', 2)"),
    ((5,), "5"),
], ids=["no args", "two args", "non-str arg"])
def test_relabelled_text_is_str_of_the_error(args, text):
    with pytest.raises(TypeError) as info:
        witt_mao([Raises(TypeError(*args))], 1.0, 1.0)
    assert info.value.args == (f"argument 'l': {text}",)


@pytest.mark.parametrize("call, name", _element_paths())
@pytest.mark.parametrize("make", [
    lambda: TypeErrorSub("a subclass"),
    lambda: ValueError("not a number"),
    lambda: ArithmeticError("arith"),
    lambda: OverflowError("too big"),
    lambda: KeyboardInterrupt(),
], ids=["TypeError subclass", "ValueError", "ArithmeticError", "OverflowError",
        "KeyboardInterrupt"])
def test_other_failures_pass_unchanged(call, name, make):
    original = make()
    original.__cause__ = KeyError("root")
    with pytest.raises(BaseException) as info:
        call(Raises(original))
    assert info.value is original
    assert info.value.args == original.args


def test_conversion_stops_at_the_first_failure():
    later = [Recorder() for _ in range(4)]
    with pytest.raises(TypeError) as info:
        witt_mao([0.5, None, later[0]], later[1], later[2])
    assert str(info.value).startswith("argument 'l': ")
    with pytest.raises(TypeError) as info:
        discrete([0.5], 1.0, "x", [later[3]], [1.0])
    assert str(info.value).startswith("argument 'rstar': ")
    assert not any(r.converted for r in later)
    # a bad element in the first argument wins over a str in a later one
    with pytest.raises(TypeError) as info:
        discrete([None], 1.0, 1.0, "bl", 7)
    assert str(info.value).startswith("argument 'l': ")


def test_unprintable_type_error(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    original = TypeError(BadStr())
    with pytest.raises(TypeError) as info:
        witt_mao([0.5, Raises(original)], 1.0, 1.0)
    assert type(info.value) is TypeError and info.value is not original
    assert info.value.args == ("argument 'l': <unprintable TypeError object>",)
    assert len(seen) == 1
    assert type(seen[0].exc_value) is ValueError
    assert str(seen[0].exc_value) == "no text for you"
    assert seen[0].object is original


# ======================================================================
# Results
# ======================================================================

def test_heyrovsky_returns_a_float():
    assert type(heyrovsky(0.5, 0.3, 1.0, 1.0)) is float
    assert type(heyrovsky(1, 0, 1, 1)) is float


@pytest.mark.parametrize("name", LIST_FUNCTIONS)
def test_list_results(name):
    f = fn(name)
    args = valid_args(name)
    result = f(**args)
    assert type(result) is list
    assert len(result) == len(args["l"])
    assert all(type(x) is float for x in result)
    # one value per separation, in input order, also when values repeat
    singles = [f(**{**args, "l": [x]})[0] for x in args["l"]]
    assert same(result, singles)
    again = f(**{**args, "l": args["l"][::-1] + args["l"]})
    assert same(again, singles[::-1] + singles)
    assert f(**{**args, "l": []}) == []
    assert f(**args) is not result


# ======================================================================
# Numeric errors
# ======================================================================

def _ring_parameters(l, r, re, rstar):
    """m and n of the general branch of the ring formula, in IEEE double
    arithmetic (numpy scalars keep inf and NaN where Python would raise)."""
    with np.errstate(all="ignore"):
        l, r, re, rstar = (np.float64(v) for v in (l, r, re, rstar))
        q = re / rstar
        q2 = q * q
        g = l - r
        s = l + r
        D = q2 * 4 + g * g
        k = np.sqrt((l * r) / D) * ((q * 4) / s)
        return float(k * k), float(((l * 4) * r) / (s * s))


# l < 0 keeps the ring formula on its general branch however close r is, so
# rounding can carry m or n to 1 or beyond; m is checked first by ellipk.
@pytest.mark.parametrize("l, r, re, rstar, message", [
    (-1.0, -1.0 - EPS, 0.1, 1.0, "ellippi: m must be less than 1."),
    (-1.0, -1.0 - 2 * EPS, 1.0, 1.0, "ellippi: m must be less than 1."),
    (-1.0, -1.0 - 4 * EPS, 10.0, 1.0, "ellipk: m must be less than 1."),
    (-1.0, -1.0 - 9 * EPS, 1000.0, 1.0, "ellipk: m must be less than 1."),
    (-1.0, -1.0 - 6 * EPS, 0.1, 1.0, "ellippi: n must be less than 1."),
    (-1.0, -1.0 - 16 * EPS, 10.0, 1.0, "ellippi: n must be less than 1."),
])
def test_rounding_failures_of_the_ring_formula(l, r, re, rstar, message):
    m, n = _ring_parameters(l, r, re, rstar)
    # the case is what it claims to be
    predicted = ("ellipk: m must be less than 1." if m > 1 else
                 "ellippi: m must be less than 1." if m >= 1 else
                 "ellippi: n must be less than 1." if n >= 1 else None)
    assert predicted == message, (m, n)
    with pytest.raises(RuntimeError) as info:
        heyrovsky(l, r, re, rstar)
    assert type(info.value) is RuntimeError
    assert info.value.args == (message,)
    # the discrete sum ends with the first failing ring
    with pytest.raises(RuntimeError) as info:
        discrete([l, 0.5], re, rstar, [r], [1.0])
    assert type(info.value) is RuntimeError and info.value.args == (message,)


@pytest.mark.skipif(kernels is None, reason="kernel test module not built")
@pytest.mark.parametrize("l, r", [(1.0, -0.5), (-1.0, 0.5), (0.5, -1.0)])
def test_ring_of_opposite_sign_reports_the_kernel_message(l, r):
    """l*r < 0 makes the elliptic parameter NaN; whatever the kernels make of
    it reaches Python unchanged."""
    m, n = _ring_parameters(l, r, 1.0, 1.0)
    assert math.isnan(m)
    expected = None
    for kernel, args in ((kernels.ellipk, (m,)), (kernels.ellippi, (n, m))):
        try:
            kernel(*args)
        except RuntimeError as e:
            expected = str(e)
            break
    assert expected is not None, "the kernels accept these parameters"
    with pytest.raises(RuntimeError) as info:
        heyrovsky(l, r, 1.0, 1.0)
    assert type(info.value) is RuntimeError and info.value.args == (expected,)
    with pytest.raises(RuntimeError) as info:
        discrete([l, l], 1.0, 1.0, [r, r], [1.0, 1.0])
    assert info.value.args == (expected,)


@pytest.mark.skipif(kernels is None, reason="kernel test module not built")
def test_disk_failure_fails_the_whole_call():
    # u = -rho: u + rho = 0, n = -inf and m = NaN on the general branch
    with np.errstate(all="ignore"):
        rho = np.float64(1.0)
        u = np.float64(-1.0) * rho
        d = u - rho
        s = rho + u
        t = np.sqrt(d * d + 4.0)
        n = (4.0 * rho * u) / (s * s)
        m = float((np.sqrt(n * 4.0) / t) ** 2)
    expected = None
    for kernel, args in ((kernels.ellipe, (m,)), (kernels.ellipk, (m,)),
                         (kernels.ellippi, (float(n), m))):
        try:
            kernel(*args)
        except RuntimeError as e:
            expected = str(e)
            break
    assert expected is not None
    with pytest.raises(RuntimeError) as info:
        witt_mao([0.5, -1.0, 0.5], 1.0, 1.0)
    assert type(info.value) is RuntimeError and info.value.args == (expected,)


# ======================================================================
# Internal faults: PanicException
# ======================================================================

@pytest.mark.parametrize("name", PROFILE_FUNCTIONS)
@pytest.mark.parametrize("nl, nf", [(3, 4), (4, 3), (0, 1), (12, 0)])
def test_profile_length_mismatch(name, nl, nf):
    f = fn(name)
    bl = [i / 16 for i in range(nl)]
    bf = [1.0] * nf
    P = panic_type()
    message = f"assertion `left == right` failed\n  left: {nl}\n right: {nf}"
    for l in ([0.5, 1.5], []):
        with pytest.raises(BaseException) as info:
            f(l, 1.0, 0.1, bl, bf)
        assert type(info.value) is P
        assert info.value.args == (message,)


def test_mismatch_message_spelled_out():
    with pytest.raises(BaseException) as info:
        discrete([0.5], 1.0, 1.0, [1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 4.0])
    assert str(info.value) == MISMATCH_3_4


def test_mismatch_is_checked_after_every_argument_is_converted():
    bl, bf = [0.1, 0.2, 0.3], [1.0, 1.0, 1.0, 1.0]
    with pytest.raises(TypeError) as info:
        discrete([0.5], 1.0, 1.0, bl, [1.0, 1.0, 1.0, None])
    assert str(info.value).startswith("argument 'bf': ")
    with pytest.raises(TypeError) as info:
        discrete([0.5], 1.0, 1.0, bl, "abcd")
    assert str(info.value) == "argument 'bf': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        discrete([None], 1.0, 1.0, bl, bf)
    assert str(info.value).startswith("argument 'l': ")
    with pytest.raises(ValueError):
        discrete([0.5], Raises(ValueError("re")), 1.0, bl, bf)
    # and before any ring is evaluated: l*r < 0 would be a numeric error
    with pytest.raises(BaseException) as info:
        discrete([1.0], 1.0, 1.0, [-0.5, 0.1, 0.2], bf)
    assert type(info.value) is panic_type() and str(info.value) == MISMATCH_3_4


def test_panic_exception_type():
    P = panic_type()
    assert P.__module__ == "pyo3_runtime"
    assert P.__name__ == "PanicException"
    assert P.__qualname__ == "PanicException"
    assert P.__bases__ == (BaseException,)
    assert not issubclass(P, Exception)
    assert isinstance(P.__doc__, str) and P.__doc__.strip()
    assert P is panic_type()  # one type object for the process
    assert not hasattr(tarnivox, "PanicException")
    assert all(value is not P for value in vars(tarnivox).values())
    assert "pyo3_runtime" not in sys.modules or getattr(
        sys.modules["pyo3_runtime"], "PanicException", None) is P


def test_panic_is_not_caught_by_except_exception():
    caught_by = None
    try:
        try:
            raise_inner_panic()
        except Exception:  # noqa: BLE001
            caught_by = "Exception"
    except BaseException:  # noqa: BLE001
        caught_by = "BaseException"
    assert caught_by == "BaseException"


# ---------------------------------------------------------------- resuming

class PanicsOnFloat:
    def __float__(self):
        raise_inner_panic()


class PanicsOnIndex:
    def __index__(self):
        raise_inner_panic()


def _panic_paths():
    return [
        pytest.param(lambda: witt_mao([0.5, PanicsOnFloat()], 1.0, 1.0), id="list element"),
        pytest.param(lambda: witt_mao((PanicsOnFloat(),), 1.0, 1.0), id="tuple element"),
        pytest.param(lambda: witt_mao(Seq([PanicsOnFloat()]), 1.0, 1.0), id="iterated element"),
        pytest.param(lambda: witt_mao([0.5], PanicsOnIndex(), 1.0), id="__index__ of re"),
        pytest.param(lambda: heyrovsky(PanicsOnFloat(), 0.3, 1.0, 1.0), id="heyrovsky l"),
        pytest.param(lambda: discrete([0.5], 1.0, 1.0, [0.3], [PanicsOnFloat()]), id="bf"),
        pytest.param(lambda: witt_mao(Seq([0.5], length=raise_inner_panic), 1.0, 1.0),
                     id="__len__"),
        pytest.param(lambda: witt_mao(PanicIter(None), 1.0, 1.0), id="__iter__"),
        pytest.param(lambda: witt_mao(GetItemPanics(), 1.0, 1.0), id="__getitem__"),
    ]


class PanicIter(IterCallRaises):
    def __iter__(self):
        raise_inner_panic()


class GetItemPanics:
    def __getitem__(self, i):
        raise_inner_panic()


@pytest.mark.parametrize("call", _panic_paths())
def test_panic_from_python_is_resumed(call, capsys):
    P = panic_type()
    capsys.readouterr()
    last = getattr(sys, "last_value", None)
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is P
    assert info.value.args == (MISMATCH_3_4,)
    err = capsys.readouterr().err
    lines = err.splitlines()
    assert "PanicException" in lines[0], err
    assert lines[1] == "Python stack trace below:", err
    assert lines[2] == "Traceback (most recent call last):", err
    assert "raise_inner_panic" in err
    assert err.endswith("pyo3_runtime.PanicException: " + MISMATCH_3_4 + "\n"), err
    assert getattr(sys, "last_value", None) is last


def test_resumed_panic_is_a_new_exception(capsys):
    P = panic_type()
    inner = []

    class Keeps:
        def __float__(self):
            try:
                raise_inner_panic()
            except BaseException as e:  # noqa: BLE001
                inner.append(e)
                raise

    with pytest.raises(BaseException) as info:
        witt_mao([Keeps()], 1.0, 1.0)
    assert type(info.value) is P and info.value is not inner[0]
    assert str(info.value) == str(inner[0])
    capsys.readouterr()


@pytest.mark.parametrize("args, message", [
    (("plain text",), "plain text"),
    (("lone \udcff surrogate",), "lone \ufffd surrogate"),
    (("\ud800\udc00",), "\ufffd\ufffd"),  # a surrogate pair stays two lone halves
    ((), ""),
    ((BadStr(),), "Unwrapped panic from Python code"),
], ids=["text", "lone surrogate", "surrogate pair", "no args", "unprintable"])
def test_resumed_panic_message(args, message, capsys):
    P = panic_type()
    with pytest.raises(BaseException) as info:
        witt_mao([Raises(P(*args))], 1.0, 1.0)
    assert type(info.value) is P
    assert info.value.args == (message,)
    err = capsys.readouterr().err
    assert err.splitlines()[1] == "Python stack trace below:"


def test_panic_subclass_is_an_ordinary_error(capsys):
    class Sub(panic_type()):
        pass
    original = Sub("mine")
    with pytest.raises(BaseException) as info:
        witt_mao([Raises(original)], 1.0, 1.0)
    assert info.value is original
    assert capsys.readouterr().err == ""


def test_value_error_from_float_passes_unchanged(capsys):
    original = ValueError("not today")
    with pytest.raises(ValueError) as info:
        witt_mao([0.5, Raises(original)], 1.0, 1.0)
    assert info.value is original
    assert capsys.readouterr().err == ""


def test_module_keeps_working_after_failures():
    for bad in (lambda: witt_mao("x", 1, 1), lambda: heyrovsky(1.0, -0.5, 1.0, 1.0),
                raise_inner_panic):
        with pytest.raises(BaseException):
            bad()
        assert witt_mao([0.0], 1.0, 1.0) == [math.sqrt(5.0)]
