"""Shared by the tests: the module's functions with their parameters, a call
that raises PanicException and its type (which tarnivox does not expose as an
attribute), whether the process runs under AddressSanitizer, the point-lens
magnification with its Laplacians, and argument objects of awkward types."""
import math

import mpmath

import tarnivox

# Registration order, with each function's parameters.
FUNCTIONS = {
    "witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_witt_mao_magnification": ("l", "re", "rstar", "bl", "bf"),
    "heyrovsky_magnification": ("l", "r", "re", "rstar"),
    "integrated_heyrovsky_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
    "discrete_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
}


def mismatched_tables():
    tarnivox.discrete_flux_map_heyrovsky_magnification([0.5], 1.0, 1.0, [0.1], [])


def panic_type():
    """The type of the exception that a call raises for an internal fault."""
    try:
        mismatched_tables()
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("mismatched profile tables did not raise")


PANIC = panic_type()


def under_asan():
    """The sanitizer build is made on Linux only, where /proc lists the mapped libraries."""
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except FileNotFoundError:
        return False


# ------------------------------------------------------------------ physics

def rel(a, b):
    return abs(a - b) / abs(b)


def point(x):
    """Point-lens magnification at distance x (Einstein radii)."""
    return (x * x + 2) / (x * math.sqrt(x * x + 4))


def laplacians_of_point(u):
    """Radial Laplacian and squared Laplacian of the point-lens magnification at u:
    lap f = f2 + f1/u and lap^2 f = f4 + 2 f3/u - f2/u^2 + f1/u^3, fk the k-th derivative."""
    with mpmath.workdps(30):
        f = lambda x: (x * x + 2) / (x * mpmath.sqrt(x * x + 4))
        d1, d2, d3, d4 = (mpmath.diff(f, u, k) for k in (1, 2, 3, 4))
        return float(d2 + d1 / u), float(d4 + 2 * d3 / u - d2 / u ** 2 + d1 / u ** 3)


# ------------------------------------------------------------------ awkward arguments

class FloatSub(float):
    """A float subclass: read as its float value, so its __float__, which notes
    the call in `log` (a list, when one is set) and raises, is never called."""

    log = None

    def __float__(self):
        if self.log is not None:
            self.log.append(("FloatSub.__float__",))
        raise ValueError("a float subclass is read directly")


class IntSub(int):
    pass


class StrSub(str):
    pass


class TypeErrorSub(TypeError):
    pass


class ReversedList(list):
    """Indexing gives one order, iteration the reverse."""

    def __iter__(self):
        return reversed(list(list.__iter__(self)))


class OnlyIter:
    """Iterable, but no __getitem__: not a sequence."""

    def __iter__(self):
        return iter([0.5])


class Outer:
    class Inner:
        """Iterable but not a sequence, with a qualified name of two parts."""

        def __iter__(self):
            return iter([0.5])


class BadStr:
    """An object whose str() fails: it raises ValueError (how "value"), TypeError
    ("type") or PanicException ("panic"), or returns a non-str (any other how).
    Each str() is noted in `log` (a list, when one is given) as
    ("__str__", label, how)."""

    def __init__(self, how="value", log=None, label=None):
        self.how, self.log, self.label = how, log, label

    def __str__(self):
        if self.log is not None:
            self.log.append(("__str__", self.label, self.how))
        if self.how == "value":
            raise ValueError("no text for you")
        if self.how == "type":
            raise TypeError("no text either")
        if self.how == "panic":
            raise PANIC("from __str__")
        return 12345  # not a str
