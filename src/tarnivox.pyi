"""Finite-source magnification of a point-mass gravitational lens.

Units used throughout:

* ``l`` (lens-source separations), ``r`` (a ring radius) and ``bl`` (table
  radii) are in units of the stellar radius;
* ``re`` (Einstein radius) and ``rstar`` (stellar radius) share one unit of
  the caller's choosing; only their ratio enters. The source radius in
  Einstein radii is ``rho = rstar / re`` and a separation ``l`` is
  ``u = l * rho`` Einstein radii, so a light-curve model passes ``l = u / rho``.

Numbers are anything ``float()`` accepts: ``float``, ``int``, ``bool``,
NumPy scalars, objects with ``__float__`` or ``__index__``. Sequences are any
sequence of such numbers (list, tuple, ``range``, NumPy array,
``array.array``, ``bytes``), but not ``str``. Every parameter is required and
may be passed by position or by keyword.

Exceptions common to every function:

* ``TypeError``: a missing, repeated or unknown argument, or an argument that
  is not a number or a sequence of numbers as required; exceptions raised by
  an argument's own ``__float__``/``__index__``/``__iter__`` pass through.
* ``pyo3_runtime.PanicException`` (derives from ``BaseException``): an
  internal fault, e.g. ``bl`` and ``bf`` of different lengths.
"""

from typing import Iterator, Protocol, SupportsFloat, SupportsIndex, TypeAlias

_Number: TypeAlias = SupportsFloat | SupportsIndex

class _NumberSequence(Protocol):
    """A sequence of numbers: what ``len()``, indexing and iteration accept."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Number: ...
    def __iter__(self) -> Iterator[_Number]: ...

__all__ = [
    "witt_mao_magnification",
    "integrated_witt_mao_magnification",
    "integrated_flux_map_witt_mao_magnification",
    "heyrovsky_magnification",
    "integrated_heyrovsky_magnification",
    "integrated_flux_map_heyrovsky_magnification",
    "discrete_flux_map_heyrovsky_magnification",
]

def witt_mao_magnification(l: _NumberSequence, re: _Number, rstar: _Number) -> list[float]:
    """Magnification of a uniformly bright star (Witt & Mao 1994).

    :param l: lens-source separations, in stellar radii (``l = 1``: the lens on the rim).
    :param re: Einstein radius, in the same unit as ``rstar``.
    :param rstar: stellar radius.
    :returns: one magnification per element of ``l``, in order.
    :raises RuntimeError: an elliptic-integral kernel fails (message such as
        ``"ellippi: n must be less than 1."``); only for extreme inputs
        (rho of several hundred with the lens within ~1e-7 of the rim,
        negative separations).
    """

def integrated_witt_mao_magnification(
    l: _NumberSequence, re: _Number, rstar: _Number
) -> list[float]:
    """Magnification of a linearly limb-darkened star, I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)),
    by integrating uniform-disk magnifications over the stellar radius.

    Relative accuracy about 1e-5 with the lens inside the star, 1e-9 outside;
    ``integrated_heyrovsky_magnification`` computes the same quantity more accurately.

    :param l: lens-source separations, in stellar radii.
    :param re: Einstein radius, in the same unit as ``rstar``.
    :param rstar: stellar radius.
    :returns: one magnification per element of ``l``, in order.
    :raises RuntimeError: as ``witt_mao_magnification``.
    """

def integrated_flux_map_witt_mao_magnification(
    l: _NumberSequence,
    re: _Number,
    rstar: _Number,
    bl: _NumberSequence,
    bf: _NumberSequence,
) -> list[float]:
    """Magnification of a star with a tabulated radial brightness profile,
    by integrating uniform-disk magnifications over the stellar radius.

    The profile is the piecewise-linear interpolation of ``bf`` over ``bl``,
    zero outside the table, normalised by its own flux (only its shape matters).

    :param l: lens-source separations, in stellar radii.
    :param re: Einstein radius, in the same unit as ``rstar``.
    :param rstar: stellar radius.
    :param bl: table radii, in stellar radii, ascending, covering [0, 1].
    :param bf: surface brightness at each radius of ``bl`` (any scale).
    :returns: one magnification per element of ``l``, in order.
    :raises RuntimeError: as ``witt_mao_magnification``.
    :raises pyo3_runtime.PanicException: ``bl`` and ``bf`` differ in length.
    """

def heyrovsky_magnification(l: _Number, r: _Number, re: _Number, rstar: _Number) -> float:
    """Magnification of a thin uniform ring of radius ``r`` (Heyrovsky 2003).

    :param l: distance from the lens to the ring's centre, in stellar radii.
    :param r: ring radius, in stellar radii.
    :param re: Einstein radius, in the same unit as ``rstar``.
    :param rstar: stellar radius.
    :returns: the magnification; ``inf`` when ``l == r > 0``, ``nan`` when ``l == r == 0``.
    :raises RuntimeError: an elliptic-integral kernel fails (message such as
        ``"ellipk: m must be less than 1."``); only for extreme inputs.
    """

def integrated_heyrovsky_magnification(
    l: _NumberSequence, re: _Number, rstar: _Number
) -> list[float]:
    """Magnification of a linearly limb-darkened star, I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)),
    by integrating flux-weighted ring magnifications over the stellar radius.

    The most accurate of the limb-darkened functions, exact to near the rounding of its result.
    Never raises ``RuntimeError``.  A star of no size (``rstar = 0`` or ``re = inf``)
    gives ``inf`` at every finite ``l >= 0``; a negative or NaN ``re`` or ``rstar``
    gives NaN; ``re = 0`` (no lens) gives 1.

    :param l: lens-source separations, in stellar radii.
    :param re: Einstein radius, in the same unit as ``rstar``.
    :param rstar: stellar radius.
    :returns: one magnification per element of ``l``, in order.
    """

def integrated_flux_map_heyrovsky_magnification(
    l: _NumberSequence,
    re: _Number,
    rstar: _Number,
    bl: _NumberSequence,
    bf: _NumberSequence,
) -> list[float]:
    """Magnification of a star with a tabulated radial brightness profile,
    by integrating flux-weighted ring magnifications over the stellar radius.

    The profile is the piecewise-linear interpolation of ``bf`` over ``bl``,
    zero outside the table, normalised by its own flux (only its shape matters).
    Never raises ``RuntimeError``.  Degenerate radii as for
    ``integrated_heyrovsky_magnification`` (a star of no size gives ``inf`` for a
    profile nowhere negative with positive flux, NaN otherwise; no lens gives 1
    for a profile of nonzero flux).

    :param l: lens-source separations, in stellar radii.
    :param re: Einstein radius, in the same unit as ``rstar``.
    :param rstar: stellar radius.
    :param bl: table radii, in stellar radii, ascending, covering [0, 1].
    :param bf: surface brightness at each radius of ``bl`` (any scale).
    :returns: one magnification per element of ``l``, in order.
    :raises pyo3_runtime.PanicException: ``bl`` and ``bf`` differ in length.
    """

def discrete_flux_map_heyrovsky_magnification(
    l: _NumberSequence,
    re: _Number,
    rstar: _Number,
    bl: _NumberSequence,
    bf: _NumberSequence,
) -> list[float]:
    """Magnification of a star made of thin rings: sum over j of
    ``bf[j] * heyrovsky_magnification(l, bl[j], re, rstar)``.

    The weights are used as given, not normalised: for a star's magnification
    make them sum to 1 (e.g. brightness times annulus area over total flux).

    :param l: lens-source separations, in stellar radii.
    :param re: Einstein radius, in the same unit as ``rstar``.
    :param rstar: stellar radius.
    :param bl: ring radii, in stellar radii.
    :param bf: ring weights.
    :returns: one weighted sum per element of ``l``, in order; ``inf`` where a
        separation equals a ring radius.
    :raises RuntimeError: an elliptic-integral kernel fails for any ring.
    :raises pyo3_runtime.PanicException: ``bl`` and ``bf`` differ in length.
    """
