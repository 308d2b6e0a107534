"""Carlson's symmetric integrals and the complete Legendre integrals.

References: mpmath at 40 digits on seeded points spread over each kernel's
domain and across magnitudes, scipy.special's independent implementations,
the published values of Carlson (1995) and DLMF 19.20, and the identities
between the integrals.  Errors are measured in units in the last place.
"""
import math
import random

import mpmath
import pytest
import scipy.special as sc

import _tarnivox_testing as k

mpmath.mp.dps = 40
PI = math.pi
NAN = math.nan
INF = math.inf


def ulps(got, ref):
    """Distance in units of the last place of the reference."""
    ref = float(ref)
    if got == ref:
        return 0.0
    return abs(got - ref) / math.ulp(ref)


def worst(pairs):
    """(max ulps, point) over (point, got, ref) triples."""
    return max((ulps(g, r), p) for p, g, r in pairs)


def loguniform(rng, lo, hi):
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


# ------------------------------------------------------------ accuracy

def _carlson_points(n_args, seed, count=150):
    rng = random.Random(seed)
    points = []
    for i in range(count):
        scale = loguniform(rng, 1e-200, 1e200) if i % 3 == 0 else 1.0
        points.append(tuple(scale * loguniform(rng, 1e-3, 1e3) for _ in range(n_args)))
    return points


CARLSON = {
    "elliprf": (3, mpmath.elliprf, 4),
    "elliprd": (3, mpmath.elliprd, 8),
    "elliprj": (4, mpmath.elliprj, 12),
    "elliprc": (2, mpmath.elliprc, 4),
}


@pytest.mark.parametrize("name", sorted(CARLSON))
def test_carlson_against_mpmath_across_magnitudes(name):
    n_args, reference, bound = CARLSON[name]
    kernel = getattr(k, name)
    triples = []
    for args in _carlson_points(n_args, seed=len(name) * 101 + n_args):
        ref = reference(*[mpmath.mpf(a) for a in args])
        triples.append((args, kernel(*args), mpmath.re(ref)))
    err, point = worst(triples)
    assert err <= bound, f"{name}{point}: {err:.1f} ulps"


def test_carlson_special_patterns_against_mpmath():
    """One zero (arithmetic-geometric mean), two equal (R_C), all equal, and the
    R_C branches on either side of y/x = 0.5."""
    cases = [
        ("elliprf", (0.0, 1.0, 2.0)), ("elliprf", (3.0, 0.0, 0.5)), ("elliprf", (1e-300, 1.0, 1.0)),
        ("elliprf", (2.0, 2.0, 7.0)), ("elliprf", (5.0, 1.0, 5.0)), ("elliprf", (0.0, 4.0, 4.0)),
        ("elliprd", (0.0, 2.0, 1.0)), ("elliprd", (0.0, 2.0, 2.0)), ("elliprd", (3.0, 3.0, 3.0)),
        ("elliprd", (1.0, 4.0, 1.0)), ("elliprd", (0.0, 1.0, 1.0 + 2 ** -20)),
        ("elliprj", (0.0, 1.0, 2.0, 3.0)), ("elliprj", (2.0, 2.0, 2.0, 5.0)), ("elliprj", (1.0, 4.0, 4.0, 9.0)),
        ("elliprj", (1.0, 4.0, 4.0, 4.5)), ("elliprj", (0.0, 1.0, 2.0, 2.0)), ("elliprj", (1.0, 2.0, 3.0, 1e-8)),
        ("elliprc", (2.0, 1.0)), ("elliprc", (3.0, 2.0)), ("elliprc", (1.0, 3.0)), ("elliprc", (0.0, 0.25)),
        ("elliprc", (1e-300, 1e300)),
    ]
    triples = [((name,) + args, getattr(k, name)(*args), getattr(mpmath, name)(*args)) for name, args in cases]
    err, point = worst(triples)
    assert err <= 8, f"{point}: {err:.1f} ulps"


def test_principal_values_against_an_independent_formula():
    """For y < 0, R_C is the principal value sqrt(x/(x-y)) R_C(x - y, -y)
    (DLMF 19.2.20); for p < 0, R_J is the principal value of DLMF 19.20.14,
    checked against mpmath's real part of the limit from above the cut."""
    rng = random.Random(5)
    triples = []
    for _ in range(60):
        x, y = loguniform(rng, 1e-2, 1e2), -loguniform(rng, 1e-2, 1e2)
        ref = mpmath.sqrt(x / (mpmath.mpf(x) - y)) * mpmath.elliprc(mpmath.mpf(x) - y, -mpmath.mpf(y))
        triples.append((("elliprc", x, y), k.elliprc(x, y), ref))
    for _ in range(12):  # mpmath's principal value is slow: a few points
        x, y, z = (loguniform(rng, 1e-2, 1e2) for _ in range(3))
        p = -loguniform(rng, 1e-2, 1e2)
        ref = mpmath.re(mpmath.elliprj(x, y, z, p))
        triples.append((("elliprj", x, y, z, p), k.elliprj(x, y, z, p), ref))
    relative = max(abs(g - float(r)) / abs(float(r)) for _, g, r in triples)
    assert relative < 1e-13, worst(triples)


def test_published_values():
    """Carlson (1995), Table 1, and the values of DLMF 19.20 and 19.6."""
    close = lambda a, b: abs(a - b) <= 5e-14 * abs(b)  # the values carry 14 digits
    assert close(k.elliprf(1, 2, 0), 1.3110287771461)
    assert close(k.elliprf(2, 3, 4), 0.58408284167715)
    assert close(k.elliprd(0, 2, 1), 1.7972103521034)
    assert close(k.elliprd(2, 3, 4), 0.16510527294261)
    assert close(k.elliprj(0, 1, 2, 3), 0.77688623778582)
    assert close(k.elliprj(2, 3, 4, 5), 0.14297579667157)
    assert close(k.elliprj(2, 3, 4, -0.5), 0.24723819703052)
    assert k.elliprj(4, 3, 2, -0.5) == k.elliprj(2, 3, 4, -0.5)  # sorted first
    assert close(k.elliprc(0, 0.25), PI)
    assert close(k.elliprc(2.25, 2), math.log(2))
    assert close(k.elliprc(0.25, -2), math.log(2) / 3)
    assert k.elliprc(1, -1) == pytest.approx(0.6232252401402305, rel=1e-15)
    assert k.elliprf(1, 1, 1) == 1 and k.elliprd(1, 1, 1) == 1 and k.elliprj(1, 1, 1, 1) == 1
    assert k.elliprf(0, 1, 1) == PI / 2 and k.elliprc(0, 1) == PI / 2 and k.elliprc(1, 1) == 1
    assert close(k.elliprd(0, 2, 2), 3 * PI / (8 * math.sqrt(2)))
    # the arithmetic-geometric mean: R_F(0, 1, 2) = pi / (2 M(1, sqrt 2))
    assert close(k.elliprf(0, 1, 2), PI / (2 * float(mpmath.agm(1, mpmath.sqrt(2)))))


def test_identities_on_seeded_points():
    """R_C(x, y) = R_F(x, y, y) and R_D(x, y, z) = R_J(x, y, z, z) (DLMF 19.2.17,
    19.20.5); K(m) = R_F(0, 1 - m, 1), E(m) = R_F - (m/3) R_D (DLMF 19.25.1)."""
    rng = random.Random(11)
    for _ in range(200):
        x, y, z = (loguniform(rng, 1e-3, 1e3) for _ in range(3))
        assert k.elliprc(x, y) == pytest.approx(k.elliprf(x, y, y), rel=4e-16)
        assert k.elliprd(x, y, z) == pytest.approx(k.elliprj(x, y, z, z), rel=4e-16)
        m = rng.uniform(0, 0.999)
        assert k.ellipk(m) == pytest.approx(k.elliprf(0, 1 - m, 1), rel=2e-15)
        e = k.elliprf(0, 1 - m, 1) - m / 3 * k.elliprd(0, 1 - m, 1)
        assert k.ellipe(m) == pytest.approx(e, rel=2e-15)
        assert k.ellippi(0, m) == k.ellipk(m)


@pytest.mark.parametrize("name", ["elliprf", "elliprd", "elliprj", "elliprc"])
def test_carlson_against_scipy(name):
    """An independent implementation; scipy's own error reaches some tens of
    ulps (e.g. elliprj with p small against x, y, z), so the bound is relative."""
    rng = random.Random(17)
    n = {"elliprc": 2, "elliprj": 4}.get(name, 3)
    kernel, other = getattr(k, name), getattr(sc, name)
    errs = []
    for _ in range(300):
        args = [loguniform(rng, 1e-4, 1e4) for _ in range(n)]
        ref = float(other(*args))
        errs.append((abs(kernel(*args) - ref) / abs(ref), args))
    err, point = max(errs)
    assert err <= 2e-14, f"{name}{point}: {err:.3g} relative to scipy"


# ------------------------------------------------------------ Legendre

def test_legendre_against_mpmath_and_scipy():
    """K and E are polynomial approximations in 1 - m good to about 1e-15 on
    0 <= m < 1 (the fitted range); Pi goes through Carlson's integrals."""
    rng = random.Random(23)
    ms = [rng.uniform(0, 1) for _ in range(150)] + [1 - 2.0 ** -e for e in range(1, 53, 3)] + [1e-300, 0.5]
    for m in ms:
        for kernel, ref, other in ((k.ellipk, mpmath.ellipk, sc.ellipk), (k.ellipe, mpmath.ellipe, sc.ellipe)):
            exact = float(ref(m))
            assert abs(kernel(m) - exact) <= 3e-15 * exact, (kernel.__name__, m)
            assert abs(kernel(m) - other(m)) <= 4e-15 * exact, (kernel.__name__, m)
    pairs = [(rng.uniform(-5, 0.999), rng.uniform(0, 0.999)) for _ in range(150)]
    pairs += [(0.3, 0.5), (-0.7, 0.5), (0.999999, 0.2), (1e-12, 0.9), (-1e-12, 0.9), (-1e6, 0.3)]
    triples = [((n, m), k.ellippi(n, m), mpmath.ellippi(n, m)) for n, m in pairs]
    relative = max((abs(g - float(r)) / abs(float(r)), p) for p, g, r in triples)
    assert relative[0] < 2e-14, relative


def test_legendre_values():
    assert k.ellipk(0) == k.ellipe(0) == k.ellippi(0, 0) == PI / 2
    assert k.ellipk(0.5) == 1.8540746773013719
    assert k.ellipe(0.5) == 1.3506438810476755
    assert k.ellipk(1) == INF and k.ellipe(1) == 1
    assert k.ellipe(-0.5) == pytest.approx(1.7517712756948178, rel=2e-16)
    assert k.ellipe(-3) == pytest.approx(2.422112055136919, rel=2e-16)
    assert k.ellippi(0.3, 0.5) == pytest.approx(2.2503768219439464, rel=1e-15)
    assert k.ellippi(-0.7, 0.5) == pytest.approx(1.3902518954044614, rel=1e-15)
    assert k.ellippi(0, 0.5) == k.ellipk(0.5)
    # below 1 - m = eps the logarithmic limit ln 4 - ln(1 - m)/2 takes over
    m = 1 - 2.0 ** -53
    assert k.ellipk(m) == 1.3862943611198906 - 0.5 * math.log(1 - m)


# ------------------------------------------------------------ errors

ERRORS = [
    # every rule, and which wins when two break (the checks' order)
    ("elliprf", (-1, 1, 1), "elliprf: x, y, and z must be non-negative, and at most one can be zero."),
    ("elliprf", (0, 0, 1), "elliprf: x, y, and z must be non-negative, and at most one can be zero."),
    ("elliprf", (0, 1, 0), "elliprf: x, y, and z must be non-negative, and at most one can be zero."),
    ("elliprf", (1, 0, 0), "elliprf: x, y, and z must be non-negative, and at most one can be zero."),
    ("elliprf", (0, 0, 0), "elliprf: x, y, and z must be non-negative, and at most one can be zero."),
    ("elliprf", (INF, 1, 2), "elliprf: Failed to converge."),
    ("elliprd", (1, -1, 1), "elliprd: x and y must be non-negative, and at most one can be zero."),
    ("elliprd", (0, 0, 1), "elliprd: x and y must be non-negative, and at most one can be zero."),
    ("elliprd", (0, 0, -1), "elliprd: x and y must be non-negative, and at most one can be zero."),
    ("elliprd", (1, 1, 0), "elliprd: z must be positive"),
    ("elliprd", (NAN, 1, 1), "elliprd: Failed to converge."),
    ("elliprj", (-1, 1, 1, 0), "elliprj: x, y, and z must be non-negative, and at most one can be zero."),
    ("elliprj", (0, 0, 1, 1), "elliprj: x, y, and z must be non-negative, and at most one can be zero."),
    ("elliprj", (1, 2, 3, 0), "elliprj: p must be non-zero"),
    ("elliprj", (NAN, 1, 2, 3), "elliprj: Fail to converge"),
    ("elliprc", (-1, 1), "elliprc: x must be non-negative."),
    ("elliprc", (-1, 0), "elliprc: x must be non-negative."),
    ("elliprc", (1, 0), "elliprc: y must be non-zero."),
    ("ellipk", (1.5,), "ellipk: m must be less than 1."),
    ("ellipe", (1.5,), "ellipe: m must be less than 1."),
    ("ellippi", (0.5, 1), "ellippi: m must be less than 1."),
    ("ellippi", (1, 1), "ellippi: m must be less than 1."),
    ("ellippi", (2, 1.5), "ellippi: m must be less than 1."),
    ("ellippi", (1, 0.5), "ellippi: n must be less than 1."),
    ("ellippi", (2, 0.5), "ellippi: n must be less than 1."),
    ("ellippi", (NAN, NAN), "elliprj: Fail to converge"),  # passed on from the inner kernel
    ("ellippi", (0.5, NAN), "elliprj: Fail to converge"),
]


@pytest.mark.parametrize("name,args,message", ERRORS, ids=[f"{n}{a}" for n, a, _ in ERRORS])
def test_error_texts(name, args, message):
    with pytest.raises(RuntimeError) as info:
        getattr(k, name)(*args)
    assert str(info.value) == message


NON_FINITE = [
    # a NaN passes the checks and ends in a closed form as NaN ...
    ("elliprc", (NAN, 1), "nan"), ("elliprc", (1, NAN), "nan"), ("elliprf", (NAN, 1, 1), "nan"),
    ("elliprf", (0, NAN, 1), "nan"), ("ellipk", (NAN,), "nan"), ("ellipe", (NAN,), "nan"),
    # ... or the limit of that closed form (inf / inf in R_C's logarithmic form is NaN)
    ("elliprc", (0, INF), 0.0), ("elliprc", (INF, INF), 0.0), ("elliprf", (1, 1, INF), "nan"),
    ("elliprf", (0, 1, INF), 0.0), ("ellipe", (-INF,), "nan"), ("ellipk", (-INF,), "nan"),
    ("ellipk", (1.0,), INF), ("ellipe", (1.0,), 1.0),
]


@pytest.mark.parametrize("name,args,expected", NON_FINITE, ids=[f"{n}{a}" for n, a, _ in NON_FINITE])
def test_nan_and_inf_are_classified(name, args, expected):
    got = getattr(k, name)(*args)
    if expected == "nan":
        assert math.isnan(got)
    else:
        assert got == expected
