"""The tanh-sinh rule and the piecewise-linear table, on their own."""
import math
import random

import mpmath
import pytest

import _tarnivox_testing as k

INF, NAN = math.inf, math.nan


# ------------------------------------------------------------ node table

def test_node_table_matches_the_formulas():
    """x = tanh((pi/2) sinh t), w = h (pi/2) cosh t / cosh^2((pi/2) sinh t) on
    t = 1, 2, 3 (h = 1), then the odd multiples of h = 2^(1-L) below 3."""
    levels = k.tanh_sinh_nodes()
    assert [len(level) for level in levels] == [3, 3, 6, 12, 24, 48, 96]
    assert levels[0][0] == (0.23002239451478868, 0.9513679640727469)
    worst = 0.0
    with mpmath.workdps(40):
        for index, level in enumerate(levels, start=1):
            h = mpmath.mpf(2) ** (1 - index)
            ts = [1, 2, 3] if index == 1 else [j * h for j in range(1, 10 ** 3, 2) if j * h < 3]
            assert len(ts) == len(level)
            for t, (w, x) in zip(ts, level):
                s = mpmath.pi / 2 * mpmath.sinh(t)
                for got, ref in ((x, mpmath.tanh(s)), (w, h * mpmath.pi / 2 * mpmath.cosh(t) / mpmath.cosh(s) ** 2)):
                    worst = max(worst, abs(got - float(ref)) / math.ulp(float(ref)))
            xs = [x for _, x in level]
            assert xs == sorted(xs)
    assert worst <= 0.5  # correctly rounded


# ------------------------------------------------------------ integrate

@pytest.mark.parametrize("f,value,exact", [
    (lambda r: 1.0, 0.9999999999999669, 1.0),
    (lambda r: r, 0.4999999999999835, 0.5),
    (lambda r: math.sqrt(1 - r * r), 0.7853981633974318, math.pi / 4),
])
def test_smooth_integrands_run_all_levels(f, value, exact):
    """A target of 5e-17 is seldom met: all 385 samples, and the truncation of
    the nodes at t = 3 (1 - x = 4.3e-14) shows at a few times 1e-14."""
    got, error, evaluations = k.integrate(f, 0.0, 1.0, 1e-16)
    assert evaluations == 385
    assert got == pytest.approx(value, abs=2e-16)
    assert abs(got - exact) < 1e-13 and 0 < error < 1e-14


def test_zero_integrand_and_empty_interval_stop_at_level_three():
    assert k.integrate(lambda r: 0.0, 0.0, 1.0, 1e-16) == (0.0, 0.0, 25)
    assert k.integrate(lambda r: 1.0, 1.0, 1.0, 1e-16) == (0.0, 0.0, 25)


def test_non_finite_samples_count_as_zero():
    """A NaN or infinite sample gives exactly what a zero sample gives."""
    zero = k.integrate(lambda r: 0.0 if r > 0.5 else 1.0, 0.0, 1.0, 1e-16)
    for bad in (NAN, INF, -INF):
        assert k.integrate(lambda r: bad if r > 0.5 else 1.0, 0.0, 1.0, 1e-16) == zero
    # an integrable end-point singularity: the nodes stop 2e-14 short of r = 0,
    # which leaves out 2 sqrt(2e-14) = 3e-7 of the integral of r^(-1/2)
    got, _, _ = k.integrate(lambda r: 1 / math.sqrt(r) if r > 0 else INF, 0.0, 1.0, 1e-16)
    assert got == pytest.approx(2.0 - 2.6e-7, rel=1e-7)


def test_stops_early_on_fast_convergence_and_never_exceeds_385():
    calls = []

    def f(r):
        calls.append(r)
        return math.exp(-r)

    got, error, evaluations = k.integrate(f, 0.0, 1.0, 1e-6)
    assert evaluations == len(calls) < 385 and error < 1e-6
    assert got == pytest.approx(1 - math.exp(-1), abs=1e-10)
    for tolerance in (1e-300, 0.0, -1.0):
        calls.clear()
        assert k.integrate(f, 0.0, 1.0, tolerance)[2] == len(calls) <= 385
    # the interval is mapped linearly: samples lie strictly inside (a, b)
    calls.clear()
    k.integrate(f, 2.0, 5.0, 1e-16)
    assert min(calls) > 2.0 and max(calls) < 5.0


# ------------------------------------------------------------ interp

X, Y = [0.0, 1.0, 2.0], [0.0, 10.0, 20.0]

INTERP = [
    (X, Y, 0.5, "fill", 5.0), (X, Y, 1.0, "fill", 10.0), (X, Y, 2.0, "fill", 20.0),
    (X, Y, -0.1, "fill", 0.0), (X, Y, 2.1, "fill", 0.0),
    (X, Y, 3.0, "extend", 30.0), (X, Y, -1.0, "extend", -10.0),
    (X, Y, 3.0, "hold", 20.0), (X, Y, -1.0, "hold", 0.0),
    # y shorter than x: only the first two points form the table
    ([0, 1, 2, 3], [5, 6], 1.5, "fill", 0.0), ([0, 1, 2, 3], [5, 6], 1.5, "extend", 6.5),
    # one point: its value everywhere, whatever the mode; none: 0
    ([3.0], [7.0], -50.0, "fill", 7.0), ([3.0], [7.0], 50.0, "extend", 7.0), ([], [1.0], 0.5, "hold", 0.0),
    ([1.0], [], 0.5, "fill", 0.0),
    # unsorted: the leading run below 1.5 is x[0] only, and the range ends at x[L-1] = 1
    ([0, 2, 1], [0, 2, 4], 1.5, "extend", 1.5), ([0, 2, 1], [0, 2, 4], 1.5, "fill", 0.0),
]


@pytest.mark.parametrize("x,y,xp,mode,expected", INTERP)
def test_interp_cases(x, y, xp, mode, expected):
    for prepared in (False, True):
        assert k.interp(x, y, xp, mode, 0.0, prepared) == pytest.approx(expected, abs=1e-15)


def test_interp_non_finite_cases():
    assert math.isnan(k.interp(X, Y, NAN, "fill"))          # NaN fails both range tests
    assert k.interp(X, Y, -1.0, "fill", 42.0) == 42.0        # the fill value is used as given
    # a repeated first abscissa is selected only at xp == x[0]: a 0/0 slope
    assert math.isnan(k.interp([1.0, 1.0, 2.0], [1.0, 2.0, 3.0], 1.0, "fill"))
    assert k.interp([1.0, 1.0, 2.0], [1.0, 2.0, 3.0], 1.5, "fill") == 2.5


def test_prepared_table_is_bit_identical_to_the_scan():
    """Slopes prepared once and bisection over running maxima give the same
    segment, and so the same bits, as the linear scan: also for unsorted
    tables, repeated radii, NaN and infinite entries."""
    rng = random.Random(29)
    specials = [NAN, INF, -INF, 0.0, -0.0]
    for _ in range(2000):
        n = rng.randint(0, 8)
        x = sorted(rng.uniform(-1, 2) for _ in range(n)) if rng.random() < 0.6 else [rng.uniform(-1, 2) for _ in range(n)]
        y = [rng.uniform(-5, 5) for _ in range(rng.randint(0, 8))]
        if x and rng.random() < 0.2:
            x[rng.randrange(len(x))] = rng.choice(specials)
        if x and rng.random() < 0.2:
            i = rng.randrange(len(x))
            x.insert(i, x[i])
        mode = rng.choice(["fill", "extend", "hold"])
        for xp in [rng.uniform(-1.5, 2.5) for _ in range(5)] + x + [NAN, INF, -INF]:
            plain = k.interp(x, y, xp, mode, 0.25, False)
            fast = k.interp(x, y, xp, mode, 0.25, True)
            assert (math.isnan(plain) and math.isnan(fast)) or plain == fast, (x, y, xp, mode, plain, fast)
