"""The tanh-sinh quadrature (integrate, its node table) and table interpolation.

The quadrature is checked against the same trapezoidal rule in t evaluated
with mpmath (nodes and weights from their defining formulas), level by level,
so both the values and the stopping decisions have an independent oracle.
"""
import math
import random
import struct

import mpmath
import pytest

import _tarnivox_testing as T

EPS = 2.0 ** -52
LARGEST = 1.7976931348623157e308

# Pairs per level: level 1 holds t = 1, 2, 3; level 2 t = 1/2, 3/2, 5/2;
# level L >= 3 the odd multiples of 2^(1-L) below 3.
PAIRS = [3, 3, 6, 12, 24, 48, 96]
# Evaluations after each level: 1 (t = 0) + 2 per pair.
EVALUATIONS = [1 + 2 * sum(PAIRS[: k + 1]) for k in range(7)]  # 7, 13, 25, 49, 97, 193, 385


def level_nodes(level):
    """(h, [t]) of a level, from the step-halving construction of the rule."""
    h = mpmath.mpf(2) ** (1 - level)
    if level == 1:
        return h, [mpmath.mpf(1), mpmath.mpf(2), mpmath.mpf(3)]
    return h, [k * h for k in range(1, 10 ** 4, 2) if k * h < 3]


def exact_pairs(level):
    """(w, x) at 40 digits: x = tanh((pi/2) sinh t), w = h (pi/2) cosh t / cosh^2((pi/2) sinh t)."""
    with mpmath.workdps(40):
        h, ts = level_nodes(level)
        half_pi = mpmath.pi / 2
        out = []
        for t in ts:
            u = half_pi * mpmath.sinh(t)
            out.append((h * half_pi * mpmath.cosh(t) / mpmath.cosh(u) ** 2, mpmath.tanh(u)))
        return out


def ulps(got, exact):
    return float(abs(mpmath.mpf(got) - exact) / math.ulp(float(exact)))


# ---------------------------------------------------------------------------
# The node table


def test_node_table_shape():
    table = T.tanh_sinh_nodes()
    assert [len(level) for level in table] == PAIRS
    assert sum(len(level) for level in table) == 192


@pytest.mark.parametrize("level", range(1, 8))
def test_node_table_values(level):
    table = T.tanh_sinh_nodes()[level - 1]
    exact = exact_pairs(level)
    assert len(exact) == len(table)
    worst = max(((max(ulps(w, ew), ulps(x, ex)), k) for k, ((w, x), (ew, ex)) in
                 enumerate(zip(table, exact))))
    assert worst[0] <= 2.0, f"level {level}, pair {worst[1]}: {worst[0]:.2f} ulps from the formulas"


@pytest.mark.parametrize("level", range(1, 8))
def test_node_table_order(level):
    """Pairs in increasing t: abscissae strictly increase towards 1, weights decrease."""
    table = T.tanh_sinh_nodes()[level - 1]
    xs = [x for _, x in table]
    ws = [w for w, _ in table]
    assert all(0 < x < 1 for x in xs)
    assert all(a < b for a, b in zip(xs, xs[1:]))
    assert all(w > 0 for w in ws)
    assert all(a > b for a, b in zip(ws, ws[1:]))


def test_node_table_published_level_one():
    assert T.tanh_sinh_nodes()[0] == [(0.23002239451478868, 0.9513679640727469),
                                      (0.00026620051375271693, 0.9999774771924616),
                                      (1.3581784274539091e-12, 0.999999999999957)]


# ---------------------------------------------------------------------------
# The rule, level by level, in exact arithmetic


def exact_levels(f, a, b):
    """Estimates I_0 .. I_7 and differences u_1 .. u_7 of the rule at 40 digits.

    I_0 = pi g(0); I_L = I_{L-1}/2 + S_L with S_L the sum of w (g(x) + g(-x))
    over the level's new pairs (their weights carry the step h), u_L = I_{L-1}/2 - S_L."""
    with mpmath.workdps(40):
        a, b = mpmath.mpf(a), mpmath.mpf(b)
        hw, mid = (b - a) / 2, (a + b) / 2
        g = lambda x: f(hw * x + mid)
        estimates = [mpmath.pi * g(0)]
        differences = [None]
        for level in range(1, 8):
            S = sum(w * (g(x) + g(-x)) for w, x in exact_pairs(level))
            differences.append(estimates[-1] / 2 - S)
            estimates.append(estimates[-1] / 2 + S)
        return [e * hw for e in estimates], [None] + [d * hw for d in differences[1:]]


def predicted_stop(differences, tolerance, hw, shift=0.0):
    """The stopping rule applied to the exact differences (on [-1, 1], each
    moved by `shift` to mimic rounding): from level 3 on, R = D^2 when
    ln D / ln D_prev lies in (1.9, 2.1), else R = D; stop when R < tolerance / (4 hw).
    Returns (level, R scaled to [a, b], whether R was squared)."""
    target = 0.25 * tolerance / hw
    d = [None] + [max(abs(x / hw) + shift, mpmath.mpf(1e-300)) for x in differences[1:]]
    R, squared = LARGEST, False
    for level in range(3, 8):
        r = mpmath.log(d[level]) / mpmath.log(d[level - 1])
        squared = 1.9 < r < 2.1
        R = d[level] ** 2 if squared else d[level]
        if R < target:
            return level, R * hw, squared
    return 7, R * hw, squared


# Smooth integrands whose levels converge at different speeds, with tolerances
# that stop the rule at different levels.  1/(1 + r^2/2), 1/(1 + 5 r^2) and
# sech(30 r) reach a level whose difference is close to the square of the one
# before (ratio of logarithms within (1.9, 2.1)), where only the squared
# estimate D^2 meets the target.
STOPPING_CASES = [
    ("exp", mpmath.exp, 0.0, 1.0, 1e-10),
    ("exp", mpmath.exp, 0.0, 1.0, 1e-6),
    ("exp", mpmath.exp, 0.0, 1.0, 1e-3),
    ("cos", mpmath.cos, -1.0, 2.0, 1e-8),
    ("cos", mpmath.cos, -1.0, 2.0, 1e-12),
    ("lorentz", lambda r: 1 / (1 + r * r), 0.0, 1.0, 1e-9),
    ("lorentz", lambda r: 1 / (1 + r * r), 0.0, 1.0, 1e-4),
    ("sqrt-edge", lambda r: mpmath.sqrt(1 - r * r), 0.0, 1.0, 1e-5),
    ("poly", lambda r: 3 * r * r - 2 * r + 0.5, -2.0, 3.0, 1e-6),
    ("lorentz-half", lambda r: 1 / (1 + r * r / 2), 0.0, 1.0, 1e-12),
    ("lorentz-5", lambda r: 1 / (1 + 5 * r * r), 0.0, 1.0, 1e-10),
    ("sech-30", lambda r: 1 / mpmath.cosh(30 * r), 0.0, 1.0, 1e-12),
]


def prediction(f, a, b, tolerance):
    """Estimates, and the stop predicted from exact differences; the prediction
    must not change when every difference moves by the rounding noise of a
    double-precision sum (the case would not decide anything otherwise)."""
    estimates, differences = exact_levels(f, a, b)
    hw = (b - a) / 2
    noise = 256 * EPS * max(abs(e) for e in estimates) / hw
    level, R, squared = predicted_stop(differences, tolerance, hw)
    for shift in (-noise, noise):
        assert predicted_stop(differences, tolerance, hw, shift)[0] == level, "undecidable case"
    return estimates, differences, level, R, squared, noise * hw


@pytest.mark.parametrize("name, f, a, b, tolerance", STOPPING_CASES)
def test_stopping_rule(name, f, a, b, tolerance):
    estimates, differences, level, R, squared, noise = prediction(f, a, b, tolerance)
    value, abs_error, evaluations = T.integrate(lambda r: float(f(r)), a, b, tolerance)
    assert evaluations == EVALUATIONS[level - 1], (
        f"{name}, tol {tolerance}: stopped after {evaluations} evaluations, "
        f"expected level {level} ({EVALUATIONS[level - 1]})")
    assert abs(value - float(estimates[level])) <= 16 * EPS * abs(estimates[level]), (
        value, estimates[level])
    D = abs(differences[level])
    if D > 1e4 * noise:
        assert abs_error == pytest.approx(float(R), rel=1e-4)
    else:  # the difference is rounding noise: only its size is known
        assert 0 <= abs_error <= 2 * (D + noise)


def test_stopping_rule_cases_cover_the_regimes():
    """The cases above are only useful if they stop at several levels, and some
    of them by the squared estimate."""
    stops, squared = set(), 0
    for _, f, a, b, tolerance in STOPPING_CASES:
        _, _, level, _, sq, _ = prediction(f, a, b, tolerance)
        stops.add(level)
        squared += sq and level < 7
    assert len(stops) >= 3 and squared >= 3


# Smooth integrands that do not vanish at the ends run all seven levels with
# tolerance 1e-16: the nodes end at t = 3, where 1 - x = 4.3e-14, so the result
# is the truncated rule, a few times 1e-14 below the integral.
FULL_RUN_CASES = [
    ("one", lambda r: 1.0, 0.9999999999999669),
    ("r", lambda r: r, 0.4999999999999835),
    ("quarter-circle", lambda r: math.sqrt(1.0 - r * r), 0.7853981633974318),
]


@pytest.mark.parametrize("name, f, published", FULL_RUN_CASES)
def test_full_run_values(name, f, published):
    value, abs_error, evaluations = T.integrate(f, 0.0, 1.0, 1e-16)
    assert evaluations == 385
    mp_f = {"one": lambda r: mpmath.mpf(1), "r": lambda r: r,
            "quarter-circle": lambda r: mpmath.sqrt(1 - r * r)}[name]
    estimates, differences = exact_levels(mp_f, 0.0, 1.0)
    # The double-precision sums of 385 terms land within a few ulps of the exact rule.
    assert ulps(value, estimates[7]) <= 4, (value, estimates[7])
    assert value == pytest.approx(published, abs=2e-16)
    # Level 7's difference does not square (it is limited by truncation at t = 3).
    assert abs_error == pytest.approx(float(abs(differences[7])), rel=0.05)


def test_full_run_error_estimate_of_one():
    value, abs_error, evaluations = T.integrate(lambda r: 1.0, 0.0, 1.0, 1e-16)
    assert abs_error == pytest.approx(8.2e-15, rel=0.01)
    # The estimate measures the last level's change, not the truncation at t = 3.
    assert 3e-14 < 1.0 - value < 4e-14


def rule_on_table(f, a, b):
    """The seven-level rule applied to the stored nodes, with the abscissae
    mapped to [a, b] in double precision as the kernel maps them, and the
    samples and sums carried exactly: what integrate returns, up to the
    rounding of its sums."""
    hw, mid = 0.5 * (b - a), 0.5 * (a + b)
    with mpmath.workdps(40):
        I = mpmath.pi * f(mid)
        for level in T.tanh_sinh_nodes():
            S = sum(mpmath.mpf(w) * (f(hw * x + mid) + f(hw * -x + mid)) for w, x in level)
            I = I / 2 + S
        return I * hw


@pytest.mark.parametrize("a, b, exact", [(0.0, 1.0, 2.0), (0.0, 4.0, 4.0), (0.0, 1e-6, 2e-3)])
def test_endpoint_singularity(a, b, exact):
    """r^(-1/2) is integrable but infinite at r = 0, which is never sampled; the
    nodes stop 2e-14 (relative) short of it, so the rule misses about
    2 sqrt(2e-14 (b - a)) of the integral, and all seven levels run."""
    f = lambda r: 1 / math.sqrt(r) if r > 0 else math.inf
    value, abs_error, evaluations = T.integrate(f, a, b, 1e-16)
    assert evaluations == 385
    rule = rule_on_table(lambda r: 1 / mpmath.sqrt(r), a, b)
    assert ulps(value, rule) <= 8, (value, rule)
    missing = exact - value
    assert 0.5 < missing / (2 * math.sqrt(2e-14 * (b - a))) < 1.5


def test_r_is_half_of_one():
    """g(x) + g(-x) = 1 for f = r on [0, 1], so the rule gives half its value for f = 1."""
    v1 = T.integrate(lambda r: 1.0, 0.0, 1.0, 1e-16)[0]
    vr = T.integrate(lambda r: r, 0.0, 1.0, 1e-16)[0]
    assert vr == pytest.approx(v1 / 2, abs=4 * EPS)


def test_zero_integrand_stops_at_level_three():
    assert T.integrate(lambda r: 0.0, 0.0, 1.0, 1e-16) == (0.0, 0.0, 25)
    assert T.integrate(lambda r: 0.0, -3.0, 5.0, 1e-3) == (0.0, 0.0, 25)


@pytest.mark.parametrize("value", [1.0, -2.5, 1e300])
def test_empty_interval(value):
    """a == b: half-width 0, infinite internal target: level 3 ends it with value 0."""
    calls = []

    def f(r):
        calls.append(r)
        return value

    assert T.integrate(f, 2.0, 2.0, 1e-16) == (0.0, 0.0, 25)
    assert len(calls) == 25 and set(calls) == {2.0}


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_samples_count_as_zero(bad):
    """Samples that are NaN or infinite contribute exactly as zero samples would."""
    def with_bad(r):
        return bad if r > 0.999 or r < 0.3 else math.exp(r)

    def with_zero(r):
        return 0.0 if r > 0.999 or r < 0.3 else math.exp(r)

    got = T.integrate(with_bad, 0.0, 1.0, 1e-16)
    assert got == T.integrate(with_zero, 0.0, 1.0, 1e-16)
    assert math.isfinite(got[0]) and math.isfinite(got[1])


@pytest.mark.parametrize("bad", [math.nan, math.inf])
def test_non_finite_everywhere(bad):
    assert T.integrate(lambda r: bad, 0.0, 1.0, 1e-16) == (0.0, 0.0, 25)


def test_sampling_order():
    """g(0) first, then each level's pairs in stored order, x before -x, mapped to [a, b]."""
    a, b = -1.0, 3.0
    calls = []
    T.integrate(lambda r: calls.append(r) or 1.0, a, b, 1e-16)
    hw, mid = 0.5 * (b - a), 0.5 * (a + b)
    expected = [mid]
    for level in T.tanh_sinh_nodes():
        for _, x in level:
            expected += [hw * x + mid, hw * -x + mid]
    assert calls == expected


def test_reversed_interval_runs_all_levels():
    """b < a: negative half-width and target, which no estimate meets."""
    value, abs_error, evaluations = T.integrate(math.exp, 1.0, 0.0, 1e-3)
    assert evaluations == 385
    assert value == pytest.approx(-(math.e - 1), rel=1e-13)


def test_never_more_than_385_evaluations():
    rng = random.Random(4321)
    for _ in range(60):
        counter = [0]
        k, phase = rng.uniform(0, 200), rng.uniform(0, 6)
        a = rng.uniform(-10, 10)
        b = a + rng.choice([-1, 1]) * 10 ** rng.uniform(-6, 3)
        tolerance = rng.choice([10 ** rng.uniform(-18, 0), 0.0, -1.0, 1e-300, math.inf])

        def f(r):
            counter[0] += 1
            return math.sin(k * r + phase) * math.exp(-r * r / 50)

        evaluations = T.integrate(f, a, b, tolerance)[2]
        assert evaluations == counter[0]
        assert evaluations in EVALUATIONS[2:]


# ---------------------------------------------------------------------------
# interp


def bits(v):
    return struct.pack("<d", v)


def same(a, b):
    """Bit-identical, with any NaN equal to any NaN."""
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


TABLE_X = [0.0, 1.0, 2.0]
TABLE_Y = [0.0, 10.0, 20.0]


@pytest.mark.parametrize("prepared", [False, True])
@pytest.mark.parametrize("mode, xp, expected", [
    ("fill", 0.5, 5.0), ("fill", 1.0, 10.0), ("fill", 2.0, 20.0), ("fill", 0.0, 0.0),
    ("fill", -0.1, 0.0), ("fill", 2.1, 0.0),
    ("extend", 3.0, 30.0), ("extend", -1.0, -10.0), ("extend", 1.5, 15.0),
    ("hold", 3.0, 20.0), ("hold", -1.0, 0.0), ("hold", 0.25, 2.5),
])
def test_interp_examples(mode, xp, expected, prepared):
    assert T.interp(TABLE_X, TABLE_Y, xp, mode, 0.0, prepared) == expected


@pytest.mark.parametrize("prepared", [False, True])
def test_interp_fill_value(prepared):
    assert T.interp(TABLE_X, TABLE_Y, -5.0, "fill", -7.5, prepared) == -7.5
    assert T.interp(TABLE_X, TABLE_Y, 5.0, "fill", math.inf, prepared) == math.inf
    assert math.isnan(T.interp(TABLE_X, TABLE_Y, 5.0, "fill", math.nan, prepared))
    assert T.interp(TABLE_X, TABLE_Y, 1.5, "fill", -7.5, prepared) == 15.0


@pytest.mark.parametrize("prepared", [False, True])
@pytest.mark.parametrize("mode", ["fill", "extend", "hold"])
def test_interp_short_tables(mode, prepared):
    for xp in (-1e300, -1.0, 0.0, 0.5, 7.0, math.inf, math.nan):
        assert T.interp([], [], xp, mode, 3.0, prepared) == 0.0
        assert T.interp([1.0, 2.0], [], xp, mode, 3.0, prepared) == 0.0
        assert T.interp([], [1.0, 2.0], xp, mode, 3.0, prepared) == 0.0
        assert T.interp([5.0], [7.0], xp, mode, 3.0, prepared) == 7.0
        assert T.interp([5.0, 6.0, 9.0], [7.0], xp, mode, 3.0, prepared) == 7.0
        assert T.interp([5.0], [7.0, 8.0], xp, mode, 3.0, prepared) == 7.0


@pytest.mark.parametrize("prepared", [False, True])
def test_interp_y_shorter(prepared):
    """Only min(len x, len y) points form the table; the range ends at x[L-1]."""
    x, y = [0.0, 1.0, 2.0, 3.0], [5.0, 6.0]
    assert T.interp(x, y, 1.5, "fill", 0.0, prepared) == 0.0
    assert T.interp(x, y, 1.5, "extend", 0.0, prepared) == 6.5
    assert T.interp(x, y, 1.5, "hold", 0.0, prepared) == 6.0
    assert T.interp(x, y, 2.5, "extend", 0.0, prepared) == 7.5
    assert T.interp(x, y, 0.5, "fill", 0.0, prepared) == 5.5


@pytest.mark.parametrize("prepared", [False, True])
def test_interp_unsorted(prepared):
    """The segment is found by the leading run of abscissae below xp, and the
    range is [x[0], x[L-1]] whatever the order."""
    x, y = [0.0, 2.0, 1.0], [0.0, 2.0, 4.0]
    assert T.interp(x, y, 1.5, "extend", 0.0, prepared) == 1.5
    assert T.interp(x, y, 1.5, "fill", 0.0, prepared) == 0.0
    assert T.interp(x, y, 1.5, "hold", 0.0, prepared) == 4.0
    # Beyond x[1] = 2 the run reaches index 2 and the last segment (2 -> 1) is used.
    assert T.interp(x, y, 2.5, "extend", 0.0, prepared) == 2.0 + (2.5 - 2.0) * -2.0
    assert T.interp(x, y, 0.5, "extend", 0.0, prepared) == 0.5


@pytest.mark.parametrize("prepared", [False, True])
def test_interp_nodes(prepared):
    """xp equal to node j >= 1 uses segment j - 1 and gives y[j] up to rounding."""
    rng = random.Random(77)
    x = sorted(rng.uniform(-5, 5) for _ in range(20))
    y = [rng.uniform(-5, 5) for _ in range(20)]
    for j, (xj, yj) in enumerate(zip(x, y)):
        got = T.interp(x, y, xj, "fill", 0.0, prepared)
        assert got == pytest.approx(yj, rel=1e-12, abs=1e-12), j


@pytest.mark.parametrize("prepared", [False, True])
def test_interp_repeated_abscissa(prepared):
    # A zero-width first segment is selected at xp == x[0] and gives a non-finite value.
    x, y = [1.0, 1.0, 2.0], [0.0, 1.0, 3.0]
    assert not math.isfinite(T.interp(x, y, 1.0, "fill", 0.0, prepared))
    assert T.interp(x, y, 1.5, "fill", 0.0, prepared) == 2.0
    assert T.interp(x, y, 0.5, "fill", 0.0, prepared) == 0.0
    assert T.interp(x, y, 0.5, "hold", 0.0, prepared) == 0.0
    # A repeated inner abscissa: its own segment is never selected inside the range.
    x, y = [0.0, 1.0, 1.0, 2.0], [0.0, 1.0, 5.0, 6.0]
    assert T.interp(x, y, 1.0, "fill", 0.0, prepared) == 1.0
    assert T.interp(x, y, 1.5, "fill", 0.0, prepared) == 5.5
    assert T.interp(x, y, 0.5, "fill", 0.0, prepared) == 0.5
    # At the end: beyond the range Fill and HoldEnds do not use the infinite slope.
    x, y = [0.0, 1.0, 1.0], [0.0, 1.0, 5.0]
    assert T.interp(x, y, 3.0, "fill", 0.0, prepared) == 0.0
    assert T.interp(x, y, 3.0, "hold", 0.0, prepared) == 5.0
    assert not math.isfinite(T.interp(x, y, 3.0, "extend", 0.0, prepared))


@pytest.mark.parametrize("prepared", [False, True])
@pytest.mark.parametrize("mode", ["fill", "extend", "hold"])
def test_interp_nan_xp(mode, prepared):
    """A NaN xp fails both range tests and gives the (NaN) point of segment 0."""
    assert math.isnan(T.interp(TABLE_X, TABLE_Y, math.nan, mode, 0.0, prepared))


@pytest.mark.parametrize("prepared", [False, True])
def test_interp_nan_in_table(prepared):
    # A NaN abscissa stops the leading run; its segments have NaN slopes.
    x, y = [0.0, math.nan, 2.0], [0.0, 1.0, 2.0]
    assert math.isnan(T.interp(x, y, 1.0, "fill", 0.0, prepared))
    assert T.interp(x, y, 3.0, "fill", 0.0, prepared) == 0.0
    # A NaN value spoils only the segments that touch it.
    x, y = [0.0, 1.0, 2.0, 3.0], [0.0, 1.0, math.nan, 3.0]
    assert T.interp(x, y, 0.5, "fill", 0.0, prepared) == 0.5
    assert math.isnan(T.interp(x, y, 1.5, "fill", 0.0, prepared))


def random_table(rng):
    n = rng.choice([0, 1, 2, 3, 5, 10, 40])
    x = sorted(rng.uniform(-10, 10) for _ in range(n))
    y = [rng.uniform(-10, 10) for _ in range(rng.choice([n, n, n, max(n - 2, 0), n + 3]))]
    if rng.random() < 0.3:
        rng.shuffle(x)
    if rng.random() < 0.3 and x:
        x[rng.randrange(len(x))] = rng.choice([math.nan, math.inf, -math.inf])
    if rng.random() < 0.3 and y:
        y[rng.randrange(len(y))] = rng.choice([math.nan, math.inf, -math.inf])
    if rng.random() < 0.2 and len(x) > 2:
        j = rng.randrange(len(x) - 1)
        x[j + 1] = x[j]
    return x, y


def test_prepared_matches_plain():
    """The precomputed-table path returns the same bits as the plain one."""
    rng = random.Random(2718)
    compared = 0
    for _ in range(400):
        x, y = random_table(rng)
        finite = [v for v in x if math.isfinite(v)]
        probes = [rng.uniform(-12, 12) for _ in range(15)] + finite + \
                 [math.nan, math.inf, -math.inf, 0.0, -0.0]
        probes += [math.nextafter(v, math.inf) for v in finite[:3]]
        mode = rng.choice(["fill", "extend", "hold"])
        fill = rng.choice([0.0, -1.5, math.nan])
        for xp in probes:
            plain = T.interp(x, y, xp, mode, fill, False)
            prepared = T.interp(x, y, xp, mode, fill, True)
            assert same(plain, prepared), (x, y, xp, mode, fill, plain, prepared)
            compared += 1
    assert compared > 10000
