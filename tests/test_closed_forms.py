"""Physics and accuracy of the closed forms: uniform disk (Witt & Mao), thin ring
(Heyrovsky) and the discrete weighted sum of rings.

References are mpmath values at 40+ digits stored in data/magnification_reference.json
(made by data/make_magnification_reference.py, which checks the closed forms against
direct quadrature of the definitions).  Lengths: l and r in stellar radii, rho = rstar/re
and q = re/rstar in Einstein radii per stellar radius.
"""
import json
import math
import pathlib

import pytest

import _tarnivox_testing as T
import tarnivox
from _support import laplacians_of_point, point, rel

EPS = 2.0 ** -52
DATA = json.loads((pathlib.Path(__file__).parent / "data" / "magnification_reference.json").read_text())
RING = [(k, l, r, re, rs, float(v)) for k, l, r, re, rs, v in DATA["ring"]["rows"]]
DISK = [(k, l, rho, float(v)) for k, l, rho, v in DATA["disk"]["rows"]]
# the lens far from the star: l up to 1e8, rho from 1e-6 to 1e2, u = l rho up to 1e4
DISK_FAR = [("far", l, rho, float(v)) for l, rho, v in DATA["disk_far"]["rows"]]

# Bounds on the closed forms' rounding error, from where they cancel:
# * ring: 1 - n = ((l - r)/(l + r))^2 is formed from n, so an ulp of n is a relative
#   error of order eps ((l + r)/(l - r))^2 in the logarithm of K and in Pi;
# * disk: the same at the rim, ((l + 1)/(l - 1))^2, and the three Witt & Mao terms are
#   each of order ((u + rho)/rho)^2 = (l + 1)^2 and cancel to a result of order 1;
#   beyond l = 50 the mean-value series in (rho/u)^2 takes over, whose terms are all
#   positive: no cancellation (and its truncation is below 2 eps).
ROUNDING_FACTOR = 8.0
SERIES_L = 50.0
# A ring within |l - r| < 1e-5 l takes the first-order expansion about r = l; just
# outside, the closed form loses up to eps (2l / (l - r))^2 ~ 1e-5 in 1 - n.  Worst
# case over q in [1e-2, 1e2], l in [1e-4, 3e3]:
NEAR_RING_TOL = 5e-6
# The rim limit is used for |l - 1| < 1e-5; it is exact at l = 1 and off by
# O(|l - 1| ln|l - 1|), about 6.3e-5 relative at the edge of the window.
RIM_WINDOW_TOL = 6.5e-5


def ring_cond(l, r):
    return 1 + ((l + r) / (l - r)) ** 2


def disk_cond(l):
    if l > SERIES_L:
        return 1.0
    return ((l + 1) / (l - 1)) ** 2 + (l + 1) ** 2


def worst(errs):
    """errs: tuples whose first entry is the error measure; returns the largest."""
    return max(errs, key=lambda e: e[0])


def assert_within_rounding(label, coordinates, errs):
    """errs: (error / (eps * cond), relative error, point, got, exact) per point.
    Reports the largest error and the point worst against the bound, and checks
    every point within ROUNDING_FACTOR eps * cond."""
    ratio, err, pt, got, ref = worst(errs)
    largest = max(errs, key=lambda e: e[1])
    print(f"{label}: {len(errs)} points, largest error {largest[1]:.3g} relative at {coordinates} = "
          f"{largest[2]}; worst against the bound: {ratio:.3g} eps*cond at {pt}")
    assert ratio <= ROUNDING_FACTOR, f"worst at {pt}: got {got!r}, exact {ref!r}, rel {err:.3g}"


# ------------------------------------------------------------------ ring accuracy

def test_ring_against_reference_general():
    """Away from the ring line the closed form is exact to its conditioned rounding."""
    errs = []
    for k, l, r, re, rs, ref in RING:
        if k != "general" and abs(l - r) < 1e-3 * l:
            continue
        got = tarnivox.heyrovsky_magnification(l, r, re, rs)
        errs.append((rel(got, ref) / (EPS * ring_cond(l, r)), rel(got, ref), (l, r, re, rs), got, ref))
    assert_within_rounding("ring, general", "(l, r, re, rstar)", errs)


def test_ring_against_reference_near_ring_line():
    errs = []
    for k, l, r, re, rs, ref in RING:
        if k != "near":
            continue
        got = tarnivox.heyrovsky_magnification(l, r, re, rs)
        e = rel(got, ref)
        bound = NEAR_RING_TOL
        if abs(l - r) >= 1e-5 * l:
            bound = min(bound, ROUNDING_FACTOR * EPS * ring_cond(l, r))
        errs.append((e / bound, e, (l, r, re, rs), got, ref))
    ratio, err, pt, got, ref = worst(errs)
    median = sorted(e[1] for e in errs)[len(errs) // 2]
    print(f"ring, near the ring line: {len(errs)} points, worst {err:.3g} relative at "
          f"(l, r, re, rstar) = {pt}, median {median:.3g}")
    assert ratio <= 1, f"worst at {pt}: got {got!r}, exact {ref!r}, rel {err:.3g}"
    assert median < 1e-7


@pytest.mark.parametrize("l", [1e-4, 0.5, 1.0, 10.0, 3000.0])
@pytest.mark.parametrize("q", [1e-2, 1.0, 1e2])
def test_ring_through_the_lens_is_infinite(l, q):
    assert tarnivox.heyrovsky_magnification(l, l, q, 1.0) == math.inf


def test_ring_of_zero_radius_about_zero_is_nan():
    assert math.isnan(tarnivox.heyrovsky_magnification(0.0, 0.0, 1.0, 1.0))


@pytest.mark.parametrize("q", [1e-2, 0.3, 1.0, 7.0, 1e2])
@pytest.mark.parametrize("x", [1e-4, 0.2, 1.0, 3.5, 40.0, 3000.0])
def test_ring_degenerate_to_point_source(q, x):
    """A ring of radius 0 is a point source; so is a ring centred on the lens, at
    distance r from it."""
    expected = point(x / q)
    assert rel(tarnivox.heyrovsky_magnification(x, 0.0, q, 1.0), expected) < 4 * EPS
    assert rel(tarnivox.heyrovsky_magnification(0.0, x, q, 1.0), expected) < 4 * EPS


@pytest.mark.parametrize("l,r", [(0.5, 0.3), (2.0, 1.0), (5.0, 0.2), (0.01, 0.9), (100.0, 99.0)])
def test_ring_symmetric_in_separation_and_radius(l, r):
    a = tarnivox.heyrovsky_magnification(l, r, 1.3, 1.0)
    b = tarnivox.heyrovsky_magnification(r, l, 1.3, 1.0)
    assert rel(a, b) < 4 * EPS * ring_cond(l, r)


@pytest.mark.parametrize("u", [0.3, 1.0, 3.0])
@pytest.mark.parametrize("rho", [3e-2, 1e-2, 1e-3])
def test_far_from_the_star_ring_and_disk_tend_to_point_source(u, rho):
    """Far from the source (u >> rho) the magnification field is smooth over it, and its
    mean over a circle of radius a is A + (a^2/4) lap A + (a^4/64) lap^2 A + O(a^6); over
    a disk, A + (a^2/8) lap A + (a^4/192) lap^2 A + O(a^6).  The O(a^6) term is below a
    tenth of the a^4 term for a/u <= 0.1; the disk's own rounding bound (its terms cancel
    by (l + 1)^2) is added."""
    lap, lap2 = laplacians_of_point(u)
    a = point(u)
    l = u / rho
    ring = tarnivox.heyrovsky_magnification(l, 1.0, 1.0, rho)
    disk = tarnivox.witt_mao_magnification([l], 1.0, rho)[0]
    ring_expected = a + rho ** 2 / 4 * lap + rho ** 4 / 64 * lap2
    disk_expected = a + rho ** 2 / 8 * lap + rho ** 4 / 192 * lap2
    assert abs(ring - ring_expected) <= 0.1 * abs(rho ** 4 / 64 * lap2) + 8 * EPS * a
    assert abs(disk - disk_expected) <= 0.1 * abs(rho ** 4 / 192 * lap2) + 8 * EPS * a * disk_cond(l)
    # the finite source is resolved: the leading correction is seen
    assert abs(ring - a) > 10 * abs(ring - ring_expected)


@pytest.mark.parametrize("scale", [2.0 ** -20, 0.25, 8.0, 2.0 ** 30])
@pytest.mark.parametrize("l,r,q", [(0.5, 0.3, 1.0), (2.0, 1.0, 1.0), (7.0, 0.99, 0.01), (0.3, 0.30000001, 10.0)])
def test_ring_depends_only_on_re_over_rstar(scale, l, r, q):
    """Scaling re and rstar by a power of two leaves q = re/rstar, and so the result,
    bit for bit; any other common factor leaves it up to the rounding of q."""
    base = tarnivox.heyrovsky_magnification(l, r, q, 1.0)
    assert tarnivox.heyrovsky_magnification(l, r, q * scale, scale) == base
    c = 3.7 * scale
    got = tarnivox.heyrovsky_magnification(l, r, q * c, c)
    cond = ring_cond(l, r) if abs(l - r) >= 1e-5 * l else 1.0   # the expansion is smooth in q
    assert rel(got, base) < 16 * EPS * cond


# ------------------------------------------------------------------ disk accuracy

@pytest.mark.parametrize("table", ["disk", "disk_far"])
def test_disk_against_reference_away_from_rim(table):
    """disk_far: the lens up to 1e8 stellar radii away, where the closed form would lose
    eps (l + 1)^2 (all digits at l = 1e8): beyond l = 50 the bound is 8 eps.  At
    u = 1e300 and at infinity the mean is 1 to the last bit."""
    errs = []
    for k, l, rho, ref in {"disk": DISK, "disk_far": DISK_FAR}[table]:
        if abs(l - 1) < 1e-5:
            continue
        got = tarnivox.witt_mao_magnification([l], 1.0, rho)[0]
        errs.append((rel(got, ref) / (EPS * disk_cond(l)), rel(got, ref), (l, rho), got, ref))
    assert_within_rounding(f"{table}, |l - 1| >= 1e-5", "(l, rho)", errs)
    if table == "disk_far":
        for rho in (1e-6, 1.0, 100.0):
            assert tarnivox.witt_mao_magnification([1e300 / rho, math.inf], 1.0, rho) == [1.0, 1.0]


def test_disk_near_rim_every_rho():
    """Inside the window the result is the rim value itself; over the whole rim
    neighbourhood the error stays within the rim limit's truncation error."""
    by_rho = {}
    for k, l, rho, ref in DISK:
        if k == "rim":
            by_rho.setdefault(rho, []).append((l, ref))
    assert sorted(by_rho) == [1e-3, 1e-2, 0.1, 1.0, 10.0]
    errs = []
    for rho, pts in sorted(by_rho.items()):
        rim_value = tarnivox.witt_mao_magnification([1.0], 1.0, rho)[0]
        for l, ref in pts:
            got = tarnivox.witt_mao_magnification([l], 1.0, rho)[0]
            if abs(l - 1) < 1e-5:
                assert got == rim_value, (l, rho)
            errs.append((rel(got, ref), (l, rho), got, ref))
    err, pt, got, ref = worst(errs)
    print(f"disk, |l - 1| <= 1e-2: {len(errs)} points, worst {err:.3g} relative at (l, rho) = {pt}")
    assert err <= RIM_WINDOW_TOL, f"worst at {pt}: got {got!r}, exact {ref!r}"


@pytest.mark.parametrize("rstar,expected", [(0.1, 20.024984394500784), (1.0, 2.23606797749979)])
def test_disk_lens_at_centre(rstar, expected):
    """A lens at the centre of a uniform disk of radius rho: sqrt(1 + 4/rho^2)."""
    got = tarnivox.witt_mao_magnification([0.0], 1.0, rstar)[0]
    assert rel(got, math.sqrt(1 + 4 / rstar ** 2)) < 4 * EPS
    assert rel(got, expected) < 4 * EPS


@pytest.mark.parametrize("rho", [1e-3, 1e-2, 0.1, 1.0, 10.0])
def test_disk_lens_at_centre_matches_reference(rho):
    ref = next(v for k, l, r, v in DISK if l == 0.0 and r == rho)
    assert rel(tarnivox.witt_mao_magnification([0.0], 1.0, rho)[0], ref) < 4 * EPS


@pytest.mark.parametrize("rstar,expected", [(1.0, (math.pi + 2) / math.pi), (0.1, 12.774752244647637)])
def test_disk_lens_on_rim(rstar, expected):
    got = tarnivox.witt_mao_magnification([1.0], 1.0, rstar)[0]
    ref = next(v for k, l, r, v in DISK if l == 1.0 and r == rstar)
    assert rel(got, expected) < 4 * EPS
    assert rel(got, ref) < 4 * EPS


@pytest.mark.parametrize("scale", [2.0 ** -30, 0.5, 16.0, 2.0 ** 40])
@pytest.mark.parametrize("rho", [1e-3, 0.1, 1.0, 10.0])
def test_disk_depends_only_on_rstar_over_re(scale, rho):
    l = [0.0, 0.3, 0.99, 1.0, 1.000001, 1.5, 20.0]
    base = tarnivox.witt_mao_magnification(l, 1.0, rho)
    assert tarnivox.witt_mao_magnification(l, scale, rho * scale) == base
    got = tarnivox.witt_mao_magnification(l, 3.7 * scale, rho * 3.7 * scale)
    for li, g, b in zip(l, got, base):
        assert rel(g, b) < 8 * EPS * (disk_cond(li) if li != 1.0 else 1)


def test_disk_results_in_input_order_with_repeats():
    l = [5.0, 0.5, 1.0, 5.0, 0.0, 0.5, 1.000001, 5.0]
    got = tarnivox.witt_mao_magnification(l, 1.0, 0.1)
    assert got == [tarnivox.witt_mao_magnification([x], 1.0, 0.1)[0] for x in l]
    assert tarnivox.witt_mao_magnification([], 1.0, 0.1) == []


# ---------------------------------------------------------------- discrete sums

# (l, q) points of the reference grid for which every radius below has a value
def test_ring_family_integrand_exact_to_rounding_up_to_the_ring_line():
    """The integrated ring family evaluates its rings through one AGM for K and Pi, with
    1 - m and 1 - n formed without cancellation: exact to rounding on every reference
    row, |l - r| down to 1e-9 l included, where the closed form above needs its
    expansion."""
    errs = []
    for k, l, r, re, rs, ref in RING:
        if ref == 0 or not math.isfinite(ref):
            continue
        got = T.ring_integrand(l, r, re, rs)
        errs.append((rel(got, ref), (k, l, r, re, rs), got, ref))
    err, pt, got, ref = max(errs, key=lambda e: e[0])
    print(f"ring family's integrand: {len(errs)} points, worst {err:.3g} relative at {pt}")
    assert err <= 16 * EPS, f"worst at {pt}: got {got!r}, exact {ref!r}"


DISCRETE_RADII = [1e-3, 0.1, 0.3, 0.5, 0.99, 1.0]
DISCRETE_WEIGHTS = [0.5, 3.0, 1.0, 0.25, 2.0, 7.0]


def _ring_ref(l, r, q):
    return next(v for k, l_, r_, re, rs, v in RING if (k, l_, r_, re) == ("general", l, r, q))


@pytest.mark.parametrize("q", [1e-2, 1.0, 100.0])
def test_discrete_sum_against_reference(q):
    """The weights enter unnormalised: the result is sum_j bf[j] A_ring(l, bl[j])."""
    ls = [1e-4, 0.01, 0.9, 1.5, 2.0, 20.0, 3000.0]
    got = tarnivox.discrete_flux_map_heyrovsky_magnification(ls, q, 1.0, DISCRETE_RADII, DISCRETE_WEIGHTS)
    errs = []
    for l, g in zip(ls, got):
        terms = [w * _ring_ref(l, r, q) for r, w in zip(DISCRETE_RADII, DISCRETE_WEIGHTS)]
        exact = math.fsum(terms)
        cond = max(ring_cond(l, r) for r in DISCRETE_RADII)
        errs.append((rel(g, exact) / (EPS * cond), rel(g, exact), l, g, exact))
    ratio, err, l, g, exact = worst(errs)
    assert ratio <= ROUNDING_FACTOR + len(DISCRETE_RADII), f"l={l}, q={q}: got {g!r}, exact {exact!r}"


@pytest.mark.parametrize("l,r,re,rstar", [(2.0, 0.5, 1.0, 1.0), (0.5, 0.3, 1.0, 1.0), (7.0, 0.9, 0.1, 1.0)])
def test_discrete_one_ring_is_the_ring(l, r, re, rstar):
    ring = tarnivox.heyrovsky_magnification(l, r, re, rstar)
    assert tarnivox.discrete_flux_map_heyrovsky_magnification([l], re, rstar, [r], [1.0]) == [ring]
    assert tarnivox.discrete_flux_map_heyrovsky_magnification([l], re, rstar, [r], [2.0]) == [2 * ring]
    assert tarnivox.discrete_flux_map_heyrovsky_magnification([l], re, rstar, [r], [0.0]) == [0.0]


def test_discrete_empty_table_and_empty_separations():
    assert tarnivox.discrete_flux_map_heyrovsky_magnification([0.5, 2.0], 1.0, 1.0, [], []) == [0.0, 0.0]
    assert tarnivox.discrete_flux_map_heyrovsky_magnification([], 1.0, 1.0, [0.5], [1.0]) == []
    assert tarnivox.discrete_flux_map_heyrovsky_magnification([], 1.0, 1.0, [], []) == []


def test_discrete_ring_through_the_lens():
    got = tarnivox.discrete_flux_map_heyrovsky_magnification([0.5, 2.0], 1.0, 1.0, [0.2, 0.5], [1.0, 1.0])
    assert got[0] == math.inf
    assert math.isfinite(got[1])
    # infinity times a zero weight
    got = tarnivox.discrete_flux_map_heyrovsky_magnification([0.5], 1.0, 1.0, [0.2, 0.5], [1.0, 0.0])
    assert math.isnan(got[0])


def _first_failure(ls, bl, re, rstar):
    """The message of the first (separation, radius) pair, in loop order, whose ring fails."""
    for l in ls:
        for r in bl:
            try:
                tarnivox.heyrovsky_magnification(l, r, re, rstar)
            except RuntimeError as exc:
                return str(exc)
    return None


@pytest.mark.parametrize("weight", [1.0, 0.0])
def test_discrete_kernel_failure_fails_whole_call(weight):
    """l and r of one sign, 1e-9 apart, outside the expansion window (|l - r| < 1e-5 l is
    never true for l < 0): n = 4 l r / (l + r)^2 rounds to 1 and a kernel rejects it.
    Only the pair (-1, -0.999999999) fails; the call fails whole, also with weight 0."""
    ls, bl, bf = [-2.0, -1.0, -3.0], [-0.5, -0.999999999], [1.0, weight]
    message = _first_failure(ls, bl, 1.0, 1.0)
    assert message is not None and message.startswith("ellip")
    assert _first_failure([-2.0, -3.0], bl, 1.0, 1.0) is None
    with pytest.raises(RuntimeError) as exc:
        tarnivox.discrete_flux_map_heyrovsky_magnification(ls, 1.0, 1.0, bl, bf)
    assert str(exc.value) == message


def test_discrete_first_failure_in_loop_order():
    """A negative radius against a positive separation makes the parameter NaN, which a
    kernel rejects; the first failing pair in loop order gives the message."""
    ls, bl, bf = [2.0, -1.0, 3.0], [0.5, -0.999999999], [1.0, 1.0]
    message = _first_failure(ls, bl, 1.0, 1.0)
    assert message is not None
    with pytest.raises(RuntimeError) as exc:
        tarnivox.discrete_flux_map_heyrovsky_magnification(ls, 1.0, 1.0, bl, bf)
    assert str(exc.value) == message


def test_discrete_unequal_lengths():
    for l in ([0.5, 2.0], []):
        with pytest.raises(BaseException) as exc:
            tarnivox.discrete_flux_map_heyrovsky_magnification(l, 1.0, 1.0, [0.1, 0.2, 0.3], [1.0, 1.0, 1.0, 1.0])
        assert type(exc.value).__name__ == "PanicException"
        assert str(exc.value) == "assertion `left == right` failed\n  left: 3\n right: 4"


def test_discrete_results_in_input_order_with_repeats():
    l = [5.0, 0.5, 5.0, 2.0, 0.5, 1e-3]
    bl, bf = [0.1, 0.45, 0.8], [1.0, 0.5, 0.25]
    got = tarnivox.discrete_flux_map_heyrovsky_magnification(l, 2.0, 1.0, bl, bf)
    assert got == [tarnivox.discrete_flux_map_heyrovsky_magnification([x], 2.0, 1.0, bl, bf)[0] for x in l]
