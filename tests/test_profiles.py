"""Physics and accuracy of the profile-integrated magnifications: the ring family
(integrated_heyrovsky_magnification, integrated_flux_map_heyrovsky_magnification) and
the disk family (integrated_witt_mao_magnification,
integrated_flux_map_witt_mao_magnification).

Exact values: data/magnification_reference.json (mpmath, 40+ digits), with the
limb-darkened star
    A_LD(l) = int_0^1 I(r) A_ring(l rho, r rho) 2 pi r dr / int_0^1 I(r) 2 pi r dr,
    I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)),
and the uniform disk (the same with I = 1).  l in stellar radii, rho = rstar / re.
The wide tables reach rho from 1e-6 to 1e2 and l up to 1e8, for the same law
normalised by its exact flux 0.8 pi and for tabulated profiles, whose reference is
the exact integral of the interpolated table.
"""
import json
import math
import pathlib
import random

import mpmath
import pytest

import _tarnivox_testing as T
import tarnivox
from _support import laplacians_of_point, point, rel

EPS = 2.0 ** -52
DATA = json.loads((pathlib.Path(__file__).parent / "data" / "magnification_reference.json").read_text())
LD = [(l, rho, float(v)) for l, rho, v in DATA["limb_darkened"]["rows"]]
DISK = [(l, rho, float(v)) for k, l, rho, v in DATA["disk"]["rows"] if rho <= 1.0]
RHOS = [1e-3, 1e-2, 0.1, 1.0]

# Required relative accuracy: (for l >= 1.1, anywhere in 0 <= l <= 20).
TARGET = {"ring": (1e-12, 1e-9), "disk": (1e-9, 2e-5)}
FAR = 1.1

BUILTIN = {
    "ring": lambda l, re, rstar: tarnivox.integrated_heyrovsky_magnification(l, re, rstar),
    "disk": lambda l, re, rstar: tarnivox.integrated_witt_mao_magnification(l, re, rstar),
}
TABLE = {
    "ring": lambda l, re, rstar, bl, bf: tarnivox.integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf),
    "disk": lambda l, re, rstar, bl, bf: tarnivox.integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf),
}
FAMILIES = ["ring", "disk"]

UNIFORM = ([0.0, 1.0], [1.0, 1.0])
# a tabulated limb-darkening law (linear in between: a different star from the built-in one)
LD_TABLE = ([i / 10 for i in range(11)], [1 - 0.6 * (1 - math.sqrt(1 - (i / 10) ** 2)) for i in range(11)])

# Largest relative error of the disk family for LD_TABLE outside the star
# (4.0e-7 at l = 1.1, rho = 1e-3, against the exact integral of the table).
TABLE_KINKS = 6e-7

# Wide references: the zones of the separation in which the worst error is reported.
ZONES = [("l < 1.1", 0.0, 1.1), ("1.1 <= l < 10", 1.1, 10.0), ("l >= 10", 10.0, math.inf)]
# With data/on_star_reference.json: the lens on the rim (l = 1 exactly among
# them) for rho from 1e-12 to 1e6, and both sides of the switches in l.
ON_STAR = json.loads((pathlib.Path(__file__).parent / "data" / "on_star_reference.json").read_text())
LD_WIDE = [(l, rho, float(v)) for l, rho, v in DATA["limb_darkened_wide"]["rows"] + ON_STAR["limb_darkened"]["rows"]]
WIDE_TABLES = {name: (t["bl"], t["bf"]) for name, t in DATA["table_wide"]["tables"].items()}
TABLE_WIDE = ([(name, l, rho, float(v)) for name, l, rho, v in DATA["table_wide"]["rows"]]
              + [("uniform", l, rho, float(v)) for l, rho, v in ON_STAR["uniform"]["rows"]])
WIDE_RHOS = sorted({rho for l, rho, v in DATA["limb_darkened_wide"]["rows"]})
WIDE_CASES = sorted({("law", rho) for l, rho, v in LD_WIDE} | {(name, rho) for name, l, rho, v in TABLE_WIDE})
# Largest relative error allowed in each zone, per profile: the built-in law
# ("law") and the tables of the reference file, about twice the worst seen.
# The ring family integrates a table's kinks exactly off the star and cuts the
# integral at each radius of a coarse table on it; the 101-point table's 99
# radii inside the star are integrated by product integration against the
# rule's interpolants, to about 2e-13 there (a rule blind to its kinks leaves
# 5e-6, more than the table's own tabulation error against the law).
WIDE_TOLERANCE = {
    "law": (1e-13, 2e-15, 1e-15),
    "uniform": (1e-13, 2e-15, 1e-15),
    "limb11": (1e-13, 6e-15, 1e-15),
    "kinks": (1e-13, 6e-15, 1e-15),
    "inner": (1e-13, 6e-15, 1e-15),
    "graded101": (4e-13, 2e-15, 1e-15),
}

# Tables that are fine, rough or bright at the rim (data/fine_table_reference.json):
# zigzags of 17 and 18 radii (at most 16 inside the star, each a cut) and of 19
# (17 inside, product integration of the kinks), pseudo-random tables of 19,
# 101 and 1001 radii, 257 radii clustered about 0.5 (narrow steep segments
# among wide ones), thin uniform shells [1 - w, 1], a thin band inside the star,
# a narrow peak near its rim and a table whose first slopes
# overflow, on the star, near its rim and one ulp either side of 1.05, 1.2 and
# 1.5, and the law tabulated at 2049 radii.  Largest relative error allowed, per
# table, about twice the worst seen.
FINE_DATA = json.loads((pathlib.Path(__file__).parent / "data" / "fine_table_reference.json").read_text())
FINE_TABLES = {name: (t["bl"], t["bf"]) for name, t in FINE_DATA["tables"].items()}
FINE_ROWS = [(name, l, rho, float(v)) for name, l, rho, v in FINE_DATA["rows"]]
FINE_TOLERANCE = {
    "zigzag17": 2e-15, "zigzag18": 2e-15, "zigzag19": 4e-15, "random19": 2.5e-14,
    "random101": 1.2e-14, "random1001": 4e-14, "clustered257": 1.5e-13, "shell1e-2": 1e-14, "shell1e-3": 8e-14,
    "shell1e-4": 2e-14, "band": 4e-15, "peak": 1.2e-13, "overflow": 1e-15, "law2049": 6e-15,
}
# One ulp either side of a switch of the ring family's method in l, and at
# it: the built-in law is exact to 1e-14 there, a table to 1e-13.
SWITCH_LS = {y for b in (1.05, 1.2, 1.5, 3.0) for y in (math.nextafter(b, 0.0), b, math.nextafter(b, 4.0))}
SWITCH_TOLERANCE = {"law": 1e-14, "table": 1e-13}
# The uniform star A[1] and I = mu, A[mu], for rho from 1e-4 to 3 through the rim
# (l = 1 exactly and 1 +- 1e-8, 1e-5, ...): the built-in law is (A[1] + A[mu]) / 2.
LINEAR_LAW = json.loads((pathlib.Path(__file__).parent / "data" / "linear_law_reference.json").read_text())["rows"]
LINEAR_LAW_RHOS = sorted({rho for l, rho, a1, amu in LINEAR_LAW})
# On the star, the lens on the rim included, both are exact to 1e-13; elsewhere
# as the wide references.
LINEAR_LAW_TOLERANCE = (1e-13, 2e-15, 1e-15)

PANIC_TEXT = "assertion `left == right` failed\n  left: 3\n right: 4"


def check_targets(family, label, triples):
    """triples: (l_star, got, exact, where), l_star the separation in radii of the lit star
    and where the arguments of the call.
    Asserts the family's targets and reports the worst point of each region."""
    near_tol, far_tol = TARGET[family][1], TARGET[family][0]
    worst = {"far": (0.0, None), "anywhere": (0.0, None)}
    for l, got, exact, where in triples:
        e = rel(got, exact) if math.isfinite(got) else math.inf
        if l >= FAR and e > worst["far"][0]:
            worst["far"] = (e, (where, got, exact))
        if e > worst["anywhere"][0]:
            worst["anywhere"] = (e, (where, got, exact))
    print(f"{label}: {len(triples)} points; worst for l >= {FAR}: {worst['far'][0]:.3g} at {worst['far'][1]}; "
          f"worst anywhere: {worst['anywhere'][0]:.3g} at {worst['anywhere'][1]}")
    assert worst["far"][0] <= far_tol, f"{label}, l >= {FAR}: {worst['far']}"
    assert worst["anywhere"][0] <= near_tol, f"{label}, anywhere: {worst['anywhere']}"


def check_zones(label, tolerances, triples):
    """triples: (l, got, exact, where).  Reports the worst relative error of each zone
    of ZONES with its location, then asserts the zone's tolerance."""
    worst = {}
    for l, got, exact, where in triples:
        e = rel(got, exact) if math.isfinite(got) else math.inf
        zone = next(name for name, lo, hi in ZONES if lo <= l < hi)
        if zone not in worst or e > worst[zone][0]:
            worst[zone] = (e, (where, got, exact))
    print(f"{label}: {len(triples)} points; "
          + "; ".join(f"{zone}: {worst[zone][0]:.3g} at {worst[zone][1]}" for zone, lo, hi in ZONES if zone in worst))
    for (zone, lo, hi), tol in zip(ZONES, tolerances):
        if zone in worst:
            assert worst[zone][0] <= tol, f"{label}, {zone}: {worst[zone]}"


# ------------------------------------------------------------------ accuracy targets

@pytest.mark.parametrize("family", FAMILIES)
def test_builtin_profile_against_limb_darkened_reference(family):
    triples = []
    for rho in RHOS:
        pts = [(l, v) for l, r, v in LD if r == rho]
        got = BUILTIN[family]([l for l, v in pts], 1.0, rho)
        triples += [(l, g, v, (l, rho)) for (l, v), g in zip(pts, got)]
    check_targets(family, f"{family} family, built-in profile", triples)


@pytest.mark.parametrize("family", FAMILIES)
def test_uniform_table_against_uniform_disk_reference(family):
    """bl = [0, 1], bf = [1, 1]: a uniform star, near its centre, rim (|l - 1| down to
    1e-8) and far from it."""
    triples = []
    for rho in RHOS:
        pts = [(l, v) for l, r, v in DISK if r == rho]
        got = TABLE[family]([l for l, v in pts], 1.0, rho, *UNIFORM)
        triples += [(l, g, v, (l, rho)) for (l, v), g in zip(pts, got)]
    check_targets(family, f"{family} family, uniform table", triples)


@pytest.mark.parametrize("profile,rho", WIDE_CASES)
def test_ring_family_against_wide_references(profile, rho):
    """From a lens at the centre to 1e8 stellar radii, on both sides of 1.1, 2, 3, 4, 5,
    6, 8 and 10, for stars from 1e-6 to 1e2 Einstein radii; the lens exactly on the rim
    for stars from 1e-12 to 1e6 Einstein radii, and on both sides of every switch."""
    if profile == "law":
        pts = [(l, v) for l, r, v in LD_WIDE if r == rho]
        got = BUILTIN["ring"]([l for l, v in pts], 1.0, rho)
    else:
        pts = [(l, v) for name, l, r, v in TABLE_WIDE if name == profile and r == rho]
        got = TABLE["ring"]([l for l, v in pts], 1.0, rho, *WIDE_TABLES[profile])
    triples = [(l, g, v, (l, rho)) for (l, v), g in zip(pts, got)]
    check_zones(f"ring family, {profile}, rho = {rho}", WIDE_TOLERANCE[profile], triples)
    switch_tolerance = SWITCH_TOLERANCE["law" if profile == "law" else "table"]
    for l, g, v, where in triples:
        if l in SWITCH_LS:
            assert rel(g, v) <= switch_tolerance, (profile, where, g, v)


@pytest.mark.parametrize("table", FINE_TOLERANCE)
def test_ring_family_against_fine_table_references(table):
    """Tables with many kinks inside the star, with a bright rim, or with a segment
    too steep for its slope to be a double, on and near the star."""
    worst = (0.0, None)
    for rho in sorted({r for name, l, r, v in FINE_ROWS if name == table}):
        pts = [(l, v) for name, l, r, v in FINE_ROWS if name == table and r == rho]
        got = TABLE["ring"]([l for l, v in pts], 1.0, rho, *FINE_TABLES[table])
        for (l, v), g in zip(pts, got):
            e = rel(g, v) if math.isfinite(g) else math.inf
            if e >= worst[0]:
                worst = (e, (l, rho, g, v))
    print(f"ring family, {table}: worst {worst[0]:.3g} at {worst[1]}")
    assert worst[0] <= FINE_TOLERANCE[table], (table, worst)


def rough_even_table(n):
    g = random.Random(n)
    return [i / (n - 1) for i in range(n)], [0.1 + 0.9 * g.random() for _ in range(n)]


@pytest.mark.parametrize("table,tolerance", [
    (FINE_TABLES["law2049"], 4 * EPS),
    # rough tables: their segments by groups of 16, 32, ... (the regions
    # between the groups move too); radii at random put narrow steep
    # segments among wide ones
    (FINE_TABLES["random1001"], 1e-13),
    (rough_even_table(4097), 1e-13),
], ids=["law2049", "random1001", "rough4097"])
def test_long_table_sums_its_kinks_by_groups_as_one_by_one(table, tolerance):
    """A long table's kinks inside a layer are summed by groups of knots or
    segments, aligned on the table's start: three radii before the star, which
    add nothing, move every group, and the result stays the same to rounding."""
    bl, bf = table
    ls = [0.0, 0.013, 0.3, 0.5, 0.77, 0.999, 1 - 1e-7, 1.01, 1.04]
    for rho in (1e-3, 1.0, 10.0):
        a = TABLE["ring"](ls, 1.0, rho, bl, bf)
        b = TABLE["ring"](ls, 1.0, rho, [-3.0, -2.0, -1.0] + bl, [0.0, 0.0, 0.0] + bf)
        for l, x, y in zip(ls, a, b):
            assert rel(x, y) <= tolerance, (l, rho, x, y)


@pytest.mark.parametrize("rho", LINEAR_LAW_RHOS)
@pytest.mark.parametrize("profile", ["law", "uniform"])
def test_ring_family_against_linear_law_references(profile, rho):
    """The two parts of every linear law: the built-in law and the two-point uniform table."""
    with mpmath.workdps(40):
        pts = [(l, float((mpmath.mpf(a1) + mpmath.mpf(amu)) / 2) if profile == "law" else float(mpmath.mpf(a1)))
               for l, r, a1, amu in LINEAR_LAW if r == rho]
    ls = [l for l, v in pts]
    got = BUILTIN["ring"](ls, 1.0, rho) if profile == "law" else TABLE["ring"](ls, 1.0, rho, *UNIFORM)
    check_zones(f"ring family, {profile}, rho = {rho}", LINEAR_LAW_TOLERANCE,
                [(l, g, v, (l, rho)) for (l, v), g in zip(pts, got)])


@pytest.mark.parametrize("family", FAMILIES)
def test_uniform_table_reproduces_witt_mao(family):
    """Outside the star, where witt_mao_magnification is exact to rounding."""
    ls = [1.1, 1.3, 2.0, 5.0, 20.0]
    for rho in RHOS:
        got = TABLE[family](ls, 1.0, rho, *UNIFORM)
        disk = tarnivox.witt_mao_magnification(ls, 1.0, rho)
        for l, g, d in zip(ls, got, disk):
            assert rel(g, d) <= TARGET[family][0] + 1e-13, (l, rho, g, d)


@pytest.mark.parametrize("family", FAMILIES)
def test_table_ending_before_rim_is_smaller_uniform_star(family):
    """bl = [0, 0.5], bf = [1, 1] lights only r <= 0.5: a uniform star of radius
    rstar/2 with the same lens.  In units of that star the separation is 2 l and its
    radius in Einstein radii rho/2; we take rho = 2 rho' for rho' of the reference grid."""
    triples = []
    for rho_half in RHOS:
        pts = [(l, v) for l, r, v in DISK if r == rho_half]
        got = TABLE[family]([l / 2 for l, v in pts], 1.0, 2 * rho_half, [0.0, 0.5], [1.0, 1.0])
        triples += [(l, g, v, (l / 2, 2 * rho_half)) for (l, v), g in zip(pts, got)]
    check_targets(family, f"{family} family, table [0, 0.5]", triples)


def test_fine_table_ending_before_rim_is_smaller_star():
    """The 101-point table squeezed onto r <= 0.5 is the same star at half the radius:
    separation l / 2 and rho' = 2 rho.  With the lens on it, its kinks inside and the
    dark ring 0.5 < r < 1 outside."""
    bl, bf = WIDE_TABLES["graded101"]
    triples = []
    for rho in WIDE_RHOS:
        pts = [(l, v) for name, l, r, v in TABLE_WIDE if name == "graded101" and r == rho and l < 1.1]
        got = TABLE["ring"]([l / 2 for l, v in pts], 1.0, 2 * rho, [x / 2 for x in bl], bf)
        triples += [(l, g, v, (l / 2, 2 * rho)) for (l, v), g in zip(pts, got)]
    check_zones("ring family, 101-point table on r <= 0.5", WIDE_TOLERANCE["graded101"], triples)


def test_ring_family_keeps_a_tables_moments_only_for_that_table():
    """The moments of recent tables are kept between calls.  A table changed in place
    is another table: it gives what a table never seen gives (the same radii and values,
    plus a radius beyond the star, which adds nothing); and a table formed again after
    many others gives the bits it gave when kept."""
    np = pytest.importorskip("numpy")
    f = TABLE["ring"]
    l = [0.0, 0.3, 0.99, 1.02, 1.3, 2.0, 5.0, 50.0]  # on the star, near it, far
    bl = np.linspace(0.0, 1.0, 50)
    bf = 1.0 - 0.6 * (1.0 - np.sqrt(1.0 - bl * bl))
    before = f(l, 1.0, 0.1, bl, bf)
    bf[17] *= 1.5
    changed = f(l, 1.0, 0.1, bl, bf)
    unseen = f(l, 1.0, 0.1, bl.tolist() + [2.0], bf.tolist() + [0.0])
    assert changed == unseen
    assert all(a != b for a, b in zip(before, changed))
    for k in range(20):
        f([5.0], 1.0, 0.1, [0.0, 1.0], [1.0, 0.5 + k / 40])
    assert f(l, 1.0, 0.1, bl, bf) == changed


@pytest.mark.parametrize("rho", RHOS)
def test_families_agree(rho):
    ls = [l for l, r, v in LD if r == rho]
    for builtin in (True, False):
        if builtin:
            ring = BUILTIN["ring"](ls, 1.0, rho)
            disk = BUILTIN["disk"](ls, 1.0, rho)
        else:
            ring = TABLE["ring"](ls, 1.0, rho, *LD_TABLE)
            disk = TABLE["disk"](ls, 1.0, rho, *LD_TABLE)
        for l, a, b in zip(ls, ring, disk):
            tol = TARGET["disk"][0 if l >= FAR else 1] + TARGET["ring"][0 if l >= FAR else 1]
            if not builtin and l >= FAR:
                # The disk family's quadrature meets the table's kinks at about
                # 1e-6 of the finite-source effect; the ring family integrates
                # them exactly.
                tol = TABLE_KINKS
            assert rel(b, a) <= tol, (l, rho, builtin, a, b)


# ------------------------------------------------------------------ tables

@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("x0,b0", [(0.3, 2.5), (0.0, 1.0), (5.0, 0.125), (-1.0, 7.0)])
def test_one_point_table_is_uniform_star(family, x0, b0):
    """A one-point table is its value at every radius: a uniform star."""
    triples = []
    for rho in (1e-2, 1.0):
        pts = [(l, v) for l, r, v in DISK if r == rho]
        got = TABLE[family]([l for l, v in pts], 1.0, rho, [x0], [b0])
        triples += [(l, g, v, (l, rho)) for (l, v), g in zip(pts, got)]
    check_targets(family, f"{family} family, table [{x0}], [{b0}]", triples)


@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("table", [UNIFORM, LD_TABLE, ([0.0, 0.5], [1.0, 1.0])], ids=["uniform", "limb", "half"])
def test_brightness_scale_is_irrelevant(family, table):
    """Multiplying the whole table by c > 0 multiplies the profile, the normalisation and
    every integral by c.  The quadrature stops on an absolute tolerance (1e-16), so the
    level at which it stops, and with it the last digits, depend on the scale: the
    results agree to within the quadrature's own accuracy, not to the last bit."""
    bl, bf = table
    ls = [0.0, 0.3, 0.9, 1.0, 1.05, 3.0]
    base = TABLE[family](ls, 1.0, 0.1, bl, bf)
    errs = []
    for c in (2.0 ** 40, 2.0 ** -7, 3.0, 1e-3, 12345.678):
        got = TABLE[family](ls, 1.0, 0.1, bl, [b * c for b in bf])
        errs += [(rel(g, b), (l, c), g, b) for l, g, b in zip(ls, got, base)]
    err, pt, g, b = max(errs)
    tolerance = {"ring": 1e-11, "disk": 1e-9}[family]
    assert err <= tolerance, f"(l, factor) = {pt}: {g!r} against {b!r} unscaled, rel {err:.3g}"


# ------------------------------------------------------------------ far from the star

def moments(profile):
    """Flux-weighted <r^2> and <r^4> over the unit disk."""
    with mpmath.workdps(30):
        flux = mpmath.quad(lambda r: profile(r) * r, [0, 1])
        return tuple(float(mpmath.quad(lambda r: profile(r) * r ** (k + 1), [0, 1]) / flux) for k in (2, 4))


LIMB = lambda r: 1 - mpmath.mpf("0.6") * (1 - mpmath.sqrt(1 - r * r))


@pytest.mark.parametrize("u", [0.3, 1.0, 3.0])
@pytest.mark.parametrize("rho", [3e-2, 1e-2])
@pytest.mark.parametrize("family", FAMILIES)
def test_far_from_the_star_tends_to_point_source(family, rho, u):
    """Far from the star the mean of a smooth field over a ring of radius a is
    A + (a/2)^2 lap A + (a/2)^4/4 lap^2 A + O(a^6); over the star, a^2 and a^4 become
    rho^2 <r^2> and rho^4 <r^4> of the brightness profile."""
    lap, lap2 = laplacians_of_point(u)
    a = point(u)
    l = u / rho
    cases = [(BUILTIN[family]([l], 1.0, rho)[0], moments(LIMB)),
             (TABLE[family]([l], 1.0, rho, *UNIFORM)[0], moments(lambda r: 1))]
    for got, (r2, r4) in cases:
        second = rho ** 2 * r2 / 4 * lap
        fourth = rho ** 4 * r4 / 64 * lap2
        assert abs(got - (a + second + fourth)) <= 0.1 * abs(fourth) + TARGET[family][0] * a, (got, a, second)
        assert abs(got - a) > 10 * abs(got - (a + second + fourth))


@pytest.mark.parametrize("l", [0.0, 0.5, 1.0, 1.5, 2.9, 3.0, 50.0])
def test_tiny_star_magnification_grows_as_one_over_rho(l):
    """At a fixed l in stellar radii, u = l rho -> 0 and rho A tends to the star's
    mean of 1 / |lens - point| (stellar radii), with relative corrections of order
    (l rho)^2: the same at rho = 1e-20 as where (1 / rho)^2 overflows."""
    for call in (lambda rho: BUILTIN["ring"]([l], 1.0, rho)[0],
                 lambda rho: TABLE["ring"]([l], 1.0, rho, *LD_TABLE)[0]):
        limit = call(1e-20) * 1e-20
        for rho in (1e-160, 1e-250, 1e-300):
            assert rel(call(rho) * rho, limit) <= 1e-14, (l, rho, call(rho), limit)


# ------------------------------------------------------------------ failures and edges

@pytest.mark.parametrize("family", FAMILIES)
@pytest.mark.parametrize("l", [[0.5, 2.0], []])
def test_unequal_table_lengths_panic(family, l):
    with pytest.raises(BaseException) as exc:
        TABLE[family](l, 1.0, 0.1, [0.0, 0.5, 1.0], [1.0, 1.0, 1.0, 1.0])
    assert type(exc.value).__name__ == "PanicException"
    assert str(exc.value) == PANIC_TEXT


def _failing_disk():
    """A source of zero radius makes every Witt & Mao term 0/0; the kernels reject the
    NaN parameters.  Returns the arguments and the message of the whole-disk failure."""
    l, re, rstar = [0.5, 2.0], 1.0, 0.0
    with pytest.raises(RuntimeError) as exc:
        tarnivox.witt_mao_magnification(l, re, rstar)
    return l, re, rstar, str(exc.value)


def test_length_check_comes_before_any_integral():
    """The length check wins over a whole-disk failure."""
    l, re, rstar, message = _failing_disk()
    with pytest.raises(BaseException) as exc:
        TABLE["disk"](l, re, rstar, [0.0, 0.5, 1.0], [1.0, 1.0, 1.0, 1.0])
    assert type(exc.value).__name__ == "PanicException"
    assert str(exc.value) == PANIC_TEXT


def test_disk_family_raises_the_whole_disk_failure():
    l, re, rstar, message = _failing_disk()
    for call in (lambda: BUILTIN["disk"](l, re, rstar), lambda: TABLE["disk"](l, re, rstar, *UNIFORM)):
        with pytest.raises(RuntimeError) as exc:
            call()
        assert str(exc.value) == message


@pytest.mark.parametrize("family", FAMILIES)
def test_empty_table_and_empty_separations(family):
    got = TABLE[family]([0.5, 2.0], 1.0, 0.1, [], [])
    assert len(got) == 2 and all(math.isnan(x) for x in got)
    assert TABLE[family]([], 1.0, 0.1, [], []) == []
    assert TABLE[family]([], 1.0, 0.1, *UNIFORM) == []
    assert BUILTIN[family]([], 1.0, 0.1) == []


def test_ring_family_absorbs_ring_failures():
    """For a lens 1e-200 stellar radii from the centre, rings of radius below it fail
    ((l + r)^2 underflows, n = 0/0); the ring family integrates on regardless and gives
    the magnification of a lens at the centre."""
    l = 1e-200
    with pytest.raises(RuntimeError):
        tarnivox.heyrovsky_magnification(l, 0.5 * l, 1.0, 1.0)
    for rho in (1e-2, 1.0):
        centre = next(v for x, r, v in LD if (x, r) == (0.0, rho))
        got = BUILTIN["ring"]([l, 0.0], 1.0, rho)
        assert all(rel(g, centre) <= TARGET["ring"][1] for g in got), (rho, got, centre)
        centre = next(v for x, r, v in DISK if (x, r) == (0.0, rho))
        got = TABLE["ring"]([l, 0.0], 1.0, rho, *UNIFORM)
        assert all(rel(g, centre) <= TARGET["ring"][1] for g in got), (rho, got, centre)


NON_FINITE = [
    # (l, re, rstar, expected): a star infinitely far away is a point source
    (math.inf, 1.0, 0.1, 1.0),
    (1e300, 1.0, 0.1, 1.0),
    (1e160, 1.0, 1e-6, 1.0),
    (math.nan, 1.0, 0.1, math.nan),
    (-1.0, 1.0, 0.1, math.nan),
    (-0.5, 1.0, 0.1, math.nan),
    (-math.inf, 1.0, 0.1, math.nan),
    (2.0, math.nan, 0.1, math.nan),
    (0.5, math.nan, 0.1, math.nan),
    (2.0, 1.0, math.nan, math.nan),
    (0.5, 1.0, math.nan, math.nan),
    # a star of no size (rho = rstar / re = 0) is a point source at u = l rho = 0,
    # magnified without bound at every finite l, the centre included
    (0.5, 1.0, 0.0, math.inf),
    (0.0, 1.0, 0.0, math.inf),
    (5.0, 1.0, -0.0, math.inf),
    (1e5, math.inf, 0.1, math.inf),
    (0.0, 1e300, 1e-300, math.inf),
    (math.inf, 1.0, 0.0, math.nan),
    # negative radii describe no star
    (0.5, -1.0, 0.1, math.nan),
    (5.0, -1.0, 0.1, math.nan),
    (0.5, 1.0, -0.1, math.nan),
    (5.0, 1.0, -math.inf, math.nan),
    (0.5, 0.0, 0.0, math.nan),
    (0.5, math.inf, math.inf, math.nan),
    # a lens of no mass (rho = inf) leaves the star as it is
    (0.5, 0.0, 0.1, 1.0),
    (1.0, -0.0, 0.1, 1.0),
    (5.0, 1.0, math.inf, 1.0),
    (math.inf, 0.0, 0.1, 1.0),
]


@pytest.mark.parametrize("profile", ["law", "table"])
@pytest.mark.parametrize("l,re,rstar,expected", NON_FINITE)
def test_non_finite_separations(profile, l, re, rstar, expected):
    """Neither raises; each separation gets its own result, whatever its neighbours."""
    call = {"law": lambda ls: BUILTIN["ring"](ls, re, rstar),
            "table": lambda ls: TABLE["ring"](ls, re, rstar, *LD_TABLE)}[profile]
    got = call([l, 2.0, l])
    alone = call([2.0])[0]
    assert got[1] == alone or (math.isnan(got[1]) and math.isnan(alone)), (l, got)
    for g in (got[0], got[2]):
        if math.isnan(expected):
            assert math.isnan(g), (l, re, rstar, got)
        else:
            assert g == expected, (l, re, rstar, got)


@pytest.mark.parametrize("bl,bf,point,unlensed", [
    ([0.0, 1.0], [1.0, 1.0], math.inf, 1.0),
    ([0.2, 0.5], [1.0, 3.0], math.inf, 1.0),   # dark outside the table
    ([0.0, 1.0], [1.0, -0.1], math.nan, 1.0),  # negative at the rim: no signed limit
    ([0.0, 1.0], [0.0, 0.0], math.nan, math.nan),  # no light
    ([], [], math.nan, math.nan),
])
def test_degenerate_radii_with_a_table_follow_its_light(bl, bf, point, unlensed):
    """A star of no size diverges towards +inf only for a profile nowhere negative with
    positive flux; a lens of no mass leaves any star of nonzero flux at 1."""
    for (re, rstar), expected in (((1.0, 0.0), point), ((0.0, 1.0), unlensed)):
        got = TABLE["ring"]([0.0, 0.5, 3.0], re, rstar, bl, bf)
        assert all(g == expected or (math.isnan(g) and math.isnan(expected)) for g in got), (re, rstar, got)


def test_ring_family_never_raises_where_the_disk_family_does():
    """A star of zero radius has no finite magnification; the ring family says
    so with a value per separation, not an exception."""
    l, re, rstar, message = _failing_disk()
    for got in (BUILTIN["ring"](l, re, rstar), TABLE["ring"](l, re, rstar, *UNIFORM)):
        assert got == [math.inf] * len(l)


@pytest.mark.parametrize("family", FAMILIES)
def test_results_in_input_order_with_repeats(family):
    ls = [5.0, 0.5, 5.0, 1.0, 0.0, 0.5, 1.2]
    got = BUILTIN[family](ls, 1.0, 0.1)
    assert got == [BUILTIN[family]([x], 1.0, 0.1)[0] for x in ls]
    got = TABLE[family](ls, 1.0, 0.1, *LD_TABLE)
    assert got == [TABLE[family]([x], 1.0, 0.1, *LD_TABLE)[0] for x in ls]


# ------------------------------------------------------------------ the disk family's difference step

def test_difference_step_scale_is_the_rounded_cube_root_of_eps():
    """The step scale of the disk family's central difference is 2^(-52/3)
    rounded to nearest; the exact value lies 0.49 ulp above it."""
    with mpmath.workdps(50):
        exact = mpmath.cbrt(mpmath.mpf(2) ** -52)
        err = abs(mpmath.mpf(T.CBRT_EPS) - exact)
        for neighbour in (math.nextafter(T.CBRT_EPS, 0.0), math.nextafter(T.CBRT_EPS, 1.0)):
            assert err < abs(mpmath.mpf(neighbour) - exact), (T.CBRT_EPS, neighbour)


def test_this_platforms_cbrt_agrees_with_the_step_scale():
    """The C library's cbrt, which the step scale once came from, gives the
    same double here (Python's math.cbrt calls it)."""
    assert math.cbrt(EPS) == T.CBRT_EPS


# ------------------------------------------------------------------ ring family's methods

# Each switch of the ring family's method, with how far the two sides may
# differ for the built-in law and a coarse table: the series and the product
# rules are exact to rounding for them; below PRODUCT_START the graded rule on
# the star, exact to some 1e-15 there.  A rough table (random values at 99
# radii) or a thin bright shell at the rim may differ by up to
# ROUGH_TABLE_SWITCH: on the star the product integration of the rough table's
# kinks leaves 7e-15, and the product rules' interpolation error at the rim
# (mu = 0), which a shell keeps whole, leaves 2e-14.
RING_METHOD_SWITCHES = {"SERIES_START": 3e-15, "PRODUCT_START": 3e-15,
                        "PRODUCT_24_START": 3e-15, "PRODUCT_16_START": 3e-15}
ROUGH_TABLE_SWITCH = 4e-14


@pytest.mark.parametrize("switch", RING_METHOD_SWITCHES)
@pytest.mark.parametrize("rho", [1e-6, 1e-3, 0.1, 10.0, 100.0])
def test_ring_family_is_continuous_where_its_method_changes(switch, rho):
    """Where the series, the product rules and the quadrature on the star take
    over from one another, a separation one ulp below the switch and one at it
    agree to the accuracy of both, for the built-in law, a table with kinks, a
    rough table and a thin bright shell."""
    import _tarnivox_testing as testing
    b = getattr(testing, switch)
    ls = [math.nextafter(b, 0.0), b]
    for got in (BUILTIN["ring"](ls, 1.0, rho), TABLE["ring"](ls, 1.0, rho, *LD_TABLE)):
        assert rel(got[0], got[1]) <= RING_METHOD_SWITCHES[switch], (switch, rho, got)
    for table in ("random101", "shell1e-4"):
        got = TABLE["ring"](ls, 1.0, rho, *FINE_TABLES[table])
        assert rel(got[0], got[1]) <= ROUGH_TABLE_SWITCH, (switch, rho, table, got)
