"""Write the constant tables of the ring family's integral over the source.

1. src/magnification/point_lens_series.inc: the Laplacians of the point-lens
   magnification A(u) = (u^2 + 2) / (u sqrt(u^2 + 4)), for the mean-value
   series of a star far from the lens.  With s = u^2 the plane's Laplacian of
   a radial function is 4 d/ds (s d/ds), and by induction
       Lap^k A = P_k(s) s^(-k-1/2) (s + 4)^(-2k-1/2),
   P_0 = s + 2, P_k a polynomial of degree 2k - 1 with integer coefficients,
   obtained here exactly from
       P_(k+1) = 4 [Q' s (s + 4) + Q (a (s + 4) + (b - 1) s)],
       Q = P_k' s (s + 4) + P_k (a (s + 4) + b s),  a = -k - 1/2, b = -2k - 1/2.
   The k-th term of the series, <r^2k> (rho/2)^2k Lap^k A / (k!)^2 with
   u = l rho, is <r^2k> l^(-2k) beta_k(z) / ((s + 4) u sqrt(s + 4)), where
   z = s / (s + 4), y = 1 - z = 4 / (s + 4) and
       beta_k(z) = sum_j b_kj z^j y^(2k-1-j),
       b_kj = p_kj / (4^k (k!)^2 4^(2k-1-j)).
   The table holds b_kj rounded once to double, and bound_k, the largest of
   |beta_k(z)| / ((s + 4)(s + 2)) over z in [0, 1] (sampled, with a margin),
   which bounds the k-th term relative to the leading one, s + 2.
2. src/magnification/linear_law_moments.inc and even_from_chebyshev.inc: the moments of the linear
   limb-darkening law I(r) = 1 - 0.6 (1 - mu), mu = sqrt(1 - r^2), normalised
   by its flux 0.8 pi: the even moments <r^2k> = [0.4/(k+1) + 0.6 B(k+1, 3/2)] / 0.8
   and the Chebyshev moments int_0^1 I T_j(2 mu - 1) dmu.
3. src/numeric/product_rule_nodes.inc: the Chebyshev points of the first kind
   mapped to mu in [0, 1] for the product rules of 16, 24, 32 and 40 points, with
   r = sqrt(1 - mu^2) and x = 2 mu - 1 = cos psi for each; and the 4-, 6- and
   8-point Gauss-Legendre rules on [-1, 1].

Every value is computed with mpmath at 60 digits (the polynomials exactly) and
rounded once to double.

Usage: python tools/generate_ring_rules.py   (writes the three files)
"""
import math
import os
from fractions import Fraction

import mpmath as mp

mp.mp.dps = 60
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TERMS = 16          # series terms kept; enough from l = 3 on
CHEB_SIZES = (16, 24, 32, 40)
GAUSS_POINTS = (4, 6, 8)


def poly_mul(p, q):
    out = [Fraction(0)] * (len(p) + len(q) - 1)
    for i, a in enumerate(p):
        for j, b in enumerate(q):
            out[i + j] += a * b
    return out


def poly_add(p, q):
    n = max(len(p), len(q))
    return [(p[i] if i < len(p) else 0) + (q[i] if i < len(q) else 0) for i in range(n)]


def poly_diff(p):
    return [i * p[i] for i in range(1, len(p))] or [Fraction(0)]


def laplacian_polynomials(count):
    """P_0 .. P_count, coefficient lists in increasing powers of s."""
    S = [Fraction(0), Fraction(4), Fraction(1)]          # s (s + 4)
    P = [Fraction(2), Fraction(1)]
    out = [P]
    for k in range(count):
        a = Fraction(-2 * k - 1, 2)
        b = Fraction(-4 * k - 1, 2)
        Q = poly_add(poly_mul(poly_diff(P), S), poly_mul(P, [4 * a, a + b]))
        R = poly_add(poly_mul(poly_diff(Q), S), poly_mul(Q, [4 * a, a + b - 1]))
        P = [4 * c for c in R]
        while len(P) > 1 and P[-1] == 0:
            P.pop()
        out.append(P)
    return out


def series_coefficients():
    Ps = laplacian_polynomials(TERMS + 1)
    coeffs = []
    for k in range(1, TERMS + 2):
        p = Ps[k]
        n = 2 * k - 1
        assert len(p) == n + 1, (k, len(p))
        coeffs.append([p[j] / (4 ** k * math.factorial(k) ** 2 * 4 ** (n - j)) for j in range(n + 1)])
    return coeffs


def beta(b, z):
    n = len(b) - 1
    return mp.fsum(mp.mpf(b[j].numerator) / b[j].denominator * z ** j * (1 - z) ** (n - j) for j in range(n + 1))


def bound(b):
    """max over z in [0, 1] of |beta(z)| / ((s + 4)(s + 2)), with a 10 % margin."""
    best = mp.mpf(0)
    for i in range(0, 4001):
        z = mp.mpf(i) / 4000
        y = 1 - z
        # (s + 4)(s + 2) = (4 / y)(4 / y - 2)
        denominator = (4 / y) * (4 / y - 2) if y > 0 else mp.inf
        value = abs(beta(b, z)) / denominator if y > 0 else mp.mpf(0)
        best = max(best, value)
    return best * mp.mpf("1.1")


def linear_law_even_moments():
    out = []
    for k in range(TERMS + 1):
        B = mp.beta(k + 1, mp.mpf(3) / 2)
        out.append((mp.mpf("0.4") / (k + 1) + mp.mpf("0.6") * B) / mp.mpf("0.8"))
    return out


def chebyshev_integrals(j):
    """int_{-1}^{1} T_j(x) dx and int_{-1}^{1} x T_j(x) dx, exactly."""
    def plain(n):
        return Fraction(0) if n % 2 else Fraction(2, 1 - n * n)
    first = plain(j)
    second = Fraction(0) if j == 0 else (plain(j + 1) + plain(j - 1)) / 2
    return first, second


def linear_law_chebyshev_moments():
    # I = 0.4 + 0.6 mu = 0.7 + 0.3 x with x = 2 mu - 1, dmu = dx / 2
    out = []
    for j in range(max(CHEB_SIZES)):
        a, b = chebyshev_integrals(j)
        out.append((Fraction(7, 10) * a + Fraction(3, 10) * b) / 2)
    return out


def even_moment_rows():
    """Row k: the Chebyshev coefficients c_kj of 2 mu (1 - mu^2)^k in x = 2 mu - 1,
    so that int_0^1 P r^2k 2 r dr = int_0^1 P (1 - mu^2)^k 2 mu dmu = sum_j c_kj M_j."""
    from numpy.polynomial import chebyshev as C, polynomial as Pn
    rows = []
    for k in range(TERMS + 1):
        # 2 mu (1 - mu^2)^k in powers of mu, exactly, then in powers of x
        mu_poly = [Fraction(0)] * (2 * k + 2)
        for i in range(k + 1):
            mu_poly[2 * i + 1] = 2 * Fraction(math.comb(k, i) * (-1) ** i)
        # mu = (1 + x) / 2: expand exactly
        x_poly = [Fraction(0)] * (2 * k + 2)
        for p_, c in enumerate(mu_poly):
            if c == 0:
                continue
            for i in range(p_ + 1):
                x_poly[i] += c * Fraction(math.comb(p_, i), 2 ** p_)
        # powers of x to Chebyshev: x^n = 2^(1-n) sum_i C(n, i) T_|n-2i| (halved for T_0)
        cheb = [Fraction(0)] * (2 * k + 2)
        for n_, c in enumerate(x_poly):
            if c == 0:
                continue
            for i in range(n_ + 1):
                j = abs(n_ - 2 * i)
                cheb[j] += c * Fraction(math.comb(n_, i), 2 ** n_)
        rows.append(cheb)
    return rows


def d(x):
    """The double nearest to x, written with the digits that round-trip."""
    return repr(float(mp.mpf(x)))


def gauss_legendre(n):
    import numpy as np
    guess, _ = np.polynomial.legendre.leggauss(n)
    nodes, weights = [], []
    for g in guess:
        x = mp.mpf(float(g))
        for _ in range(100):
            step = mp.legendre(n, x) / mp.diff(lambda t: mp.legendre(n, t), x)
            x -= step
            if abs(step) < mp.mpf(10) ** -55:
                break
        dp = mp.diff(lambda t: mp.legendre(n, t), x)
        nodes.append(x)
        weights.append(2 / ((1 - x * x) * dp * dp))
    return nodes, weights


def write(path, text):
    with open(os.path.join(ROOT, path), "w") as f:
        f.write(text)


def main():
    coeffs = series_coefficients()
    lines = ["// Generated by tools/generate_ring_rules.py; do not edit.",
             "// The Laplacians of the point-lens magnification in the form beta_k(z):",
             "// SERIES_COEFFICIENTS holds b_k0 .. b_k(2k-1) for k = 1, 2, ... in turn;",
             "// SERIES_BOUND[k-1] bounds term k relative to the leading term.",
             f"constexpr int SERIES_TERMS = {TERMS};",
             "constexpr double SERIES_COEFFICIENTS[] = {"]
    for k, b in enumerate(coeffs[:TERMS], start=1):
        lines.append(f"    // k = {k}")
        lines.append("    " + ", ".join(d(mp.mpf(c.numerator) / c.denominator) for c in b) + ",")
    lines.append("};")
    bounds = [bound(b) for b in coeffs]
    lines.append("constexpr double SERIES_BOUND[] = {")
    lines.append("    " + ", ".join(d(x) for x in bounds[:TERMS]) + ",")
    lines.append("};")
    # the first term left out is negligible from l = 3 on, for moments up to 1
    first_left_out = bounds[TERMS] * mp.mpf(3) ** (-2 * (TERMS + 1))
    assert first_left_out < mp.mpf(2) ** -56, first_left_out
    lines.append(f"// Term {TERMS + 1}, the first left out, is at most {float(first_left_out):.2g} of the leading one at l = 3.")
    write("src/magnification/point_lens_series.inc", "\n".join(lines) + "\n")

    even = linear_law_even_moments()
    cheb = linear_law_chebyshev_moments()
    lines = ["// Generated by tools/generate_ring_rules.py; do not edit.",
             "// The linear limb-darkening law 1 - 0.6 (1 - mu): its even moments <r^2k>,",
             "// k = 0 .. SERIES_TERMS, normalised by its flux 0.8 pi, and its Chebyshev",
             "// moments int_0^1 I(mu) T_j(2 mu - 1) dmu, j = 0, 1, ...",
             "constexpr double LINEAR_LAW_EVEN_MOMENTS[] = {",
             "    " + ", ".join(d(x) for x in even) + ",",
             "};",
             "constexpr double LINEAR_LAW_CHEBYSHEV_MOMENTS[] = {",
             "    " + ", ".join(d(mp.mpf(c.numerator) / c.denominator) for c in cheb) + ",",
             "};"]
    write("src/magnification/linear_law_moments.inc", "\n".join(lines) + "\n")

    rows = even_moment_rows()
    width = 2 * TERMS + 2
    lines = ["// Generated by tools/generate_ring_rules.py; do not edit.",
             "// Row k: the Chebyshev coefficients in x = 2 mu - 1 of 2 mu (1 - mu^2)^k,",
             "// k = 0 .. SERIES_TERMS, so that a profile's int_0^1 P(r) r^2k 2 r dr is",
             "// sum_j EVEN_FROM_CHEBYSHEV[k][j] M_j with M_j = int_0^1 P T_j(2 mu - 1) dmu.",
             f"constexpr int CHEBYSHEV_MOMENTS = {width};",
             f"constexpr double EVEN_FROM_CHEBYSHEV[{TERMS + 1}][{width}] = {{"]
    for row in rows:
        full = row + [Fraction(0)] * (width - len(row))
        lines.append("    {" + ", ".join(d(mp.mpf(c.numerator) / c.denominator) for c in full) + "},")
    lines.append("};")
    write("src/magnification/even_from_chebyshev.inc", "\n".join(lines) + "\n")

    lines = ["// Generated by tools/generate_ring_rules.py; do not edit.",
             "// Chebyshev points of the first kind on mu in [0, 1]: x_i = cos((2i + 1) pi / (2N)),",
             "// mu_i = (1 + x_i) / 2, r_i = sqrt(1 - mu_i^2); entries {x, mu, r}."]
    for N in CHEB_SIZES:
        lines.append(f"constexpr ChebyshevNode CHEBYSHEV_{N}[{N}] = {{")
        for i in range(N):
            x = mp.cos((2 * i + 1) * mp.pi / (2 * N))
            mu = (1 + x) / 2
            r = mp.sqrt(1 - mu * mu)
            lines.append(f"    {{{d(x)}, {d(mu)}, {d(r)}}},")
        lines.append("};")
    for points in GAUSS_POINTS:
        nodes, weights = gauss_legendre(points)
        lines.append(f"// The {points}-point Gauss-Legendre rule on [-1, 1]: entries {{x, w}}.")
        lines.append(f"constexpr GaussNode GAUSS_LEGENDRE_{points}_TABLE[{points}] = {{")
        for x, w in sorted(zip(nodes, weights)):
            lines.append(f"    {{{d(x)}, {d(w)}}},")
        lines.append("};")
    write("src/numeric/product_rule_nodes.inc", "\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
