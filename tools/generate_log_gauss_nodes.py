"""Write the node tables of the graded rule for integrands with a logarithmic
end point, src/numeric/graded_rule_nodes.inc:

1. The Gaussian rule on [0, 1] for functions p(t) + q(t) log t, p and q
   polynomials of degree below n: n nodes and n weights exact for the 2n
   functions t^k and t^k log t, k < n (a Chebyshev system, so the rule exists
   and is unique: J. Ma, V. Rokhlin and S. Wandzura, SIAM J. Sci. Comput. 17
   (1996) 120).  It is found by continuation in alpha through the Muntz
   systems {t^k, (t^(k+alpha) - t^k) / alpha}, k < n, whose limit at
   alpha = 0 is the logarithmic one:
   - alpha = 1/2: with t = u^2 the functions are all polynomials in u of
     degree below 2n, and the rule is the n-point Gauss rule for the weight 2u
     on [0, 1] (Stieltjes's procedure and Golub-Welsch), t_i = u_i^2;
   - alpha from 1/2 down to 0 in small steps, each a Newton solve of the 2n
     moment equations (exact moments, the polynomials in the shifted Legendre
     basis) from the previous rule, damped to keep the nodes ordered in (0, 1)
     and the weights positive.
2. The n-point Gauss-Legendre rule on [0, 1].
3. For a weight with kinks inside a layer of the n-point Gauss-Legendre rule
   above: with p the polynomial of degree below n through the layer's samples
   g_i at its nodes y_i in [-1, 1], the Chebyshev coefficients of
     R(y) = integral_y^1 (s - y) p(s) ds = sum_i g_i R_i(y),
   one row per T_k(y), k <= n + 1, one column per node: the integral of p
   against the ramp (s - y)_+ that a kink at y adds to the weight.  (In the
   Chebyshev basis, summed by Clenshaw's recurrence, R is as well conditioned
   on [-1, 1] as its values; its coefficients in powers of y would grow like
   2^n and lose as many digits.)
4. The m-point Gauss-Legendre rule on [0, 1] for layers where a weight is
   rough, and the Chebyshev coefficients of the polynomial of degree below m
   through its samples, one row per T_k, one column per node.

Every value is computed with mpmath at 60 digits, checked against the exact
moments, and rounded once to double.

Usage: python tools/generate_log_gauss_nodes.py   (writes the file)
"""
import os
from fractions import Fraction
from math import comb

import mpmath as mp

import generate_ring_rules  # the Gauss-Legendre rule, beside this file

mp.mp.dps = 60
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOG_POINTS = 14
LEGENDRE_POINTS = 10
KINK_POINTS = 24
STEPS = 30


def shifted_legendre(n):
    """Coefficients of P_k(2t - 1) in powers of t, k < n, exactly."""
    return [[Fraction((-1) ** (k + j) * comb(k, j) * comb(k + j, j)) for j in range(k + 1)] for k in range(n)]


def mpf(c):
    return mp.mpf(c.numerator) / c.denominator


def system(n, alpha):
    """The 2n basis functions with their derivatives, and their exact integrals."""
    C = shifted_legendre(n)

    def funcs(t):
        values, slopes = [], []
        if alpha == 0:
            phi, dphi = mp.log(t), 1 / t
        else:
            phi, dphi = (t ** alpha - 1) / alpha, t ** (alpha - 1)
        for c in C:
            p = mp.fsum(mpf(cj) * t ** j for j, cj in enumerate(c))
            dp = mp.fsum(j * mpf(cj) * t ** (j - 1) for j, cj in enumerate(c) if j > 0)
            values += [p, p * phi]
            slopes += [dp, dp * phi + p * dphi]
        return values, slopes

    moments = []
    for c in C:
        moments.append(mp.fsum(mpf(cj) / (j + 1) for j, cj in enumerate(c)))
        moments.append(mp.fsum(-mpf(cj) / ((j + 1) * (j + 1 + alpha)) for j, cj in enumerate(c)))
    return funcs, moments


def newton(n, alpha, x, w):
    funcs, moments = system(n, alpha)
    for _ in range(100):
        F = mp.matrix(2 * n, 1)
        J = mp.matrix(2 * n, 2 * n)
        vals = [funcs(xi) for xi in x]
        for j in range(2 * n):
            F[j] = mp.fsum(w[i] * vals[i][0][j] for i in range(n)) - moments[j]
            for i in range(n):
                J[j, i] = w[i] * vals[i][1][j]
                J[j, n + i] = vals[i][0][j]
        dz = mp.lu_solve(J, F)
        lam = mp.mpf(1)
        while True:
            xn = [x[i] - lam * dz[i] for i in range(n)]
            wn = [w[i] - lam * dz[n + i] for i in range(n)]
            if (all(0 < a < 1 for a in xn) and all(xn[i] < xn[i + 1] for i in range(n - 1))
                    and all(b > 0 for b in wn)):
                break
            lam /= 2
        x, w = xn, wn
        if max(abs(v) for v in dz) < mp.mpf(10) ** -40:  # 20 digits to spare
            return x, w
    raise RuntimeError("Newton did not converge")


def gauss_weight_u(n):
    """The n-point Gauss rule for the weight u on [0, 1], by Stieltjes's procedure on a
    Gauss-Legendre discretisation exact for the degrees involved, then Golub-Welsch."""
    raw = mp.calculus.quadrature.GaussLegendre(mp.mp).calc_nodes(7, mp.mp.prec)
    nodes = [((x + 1) / 2, wt / 2) for x, wt in raw]
    assert len(nodes) > 4 * n
    a, b = [], []
    p_prev = [mp.mpf(0)] * len(nodes)
    p = [mp.mpf(1)] * len(nodes)
    norm_prev = None
    for _ in range(n):
        norm = mp.fsum(wt * x * pv * pv for (x, wt), pv in zip(nodes, p))
        ak = mp.fsum(wt * x * x * pv * pv for (x, wt), pv in zip(nodes, p)) / norm
        bk = norm / norm_prev if norm_prev else mp.mpf(0)
        a.append(ak)
        b.append(bk)
        p_next = [(x - ak) * pv - bk * pp for (x, wt), pv, pp in zip(nodes, p, p_prev)]
        p_prev, p, norm_prev = p, p_next, norm
    T = mp.matrix(n, n)
    for i in range(n):
        T[i, i] = a[i]
        if i:
            T[i, i - 1] = T[i - 1, i] = mp.sqrt(b[i])
    E, Q = mp.eigsy(T)
    return sorted((E[i], Q[0, i] ** 2 / 2) for i in range(n))   # int_0^1 u du = 1/2


def log_gauss(n):
    pairs = gauss_weight_u(n)
    x = [u * u for u, wt in pairs]
    w = [2 * wt for u, wt in pairs]
    half = mp.mpf(1) / 2
    x, w = newton(n, half, x, w)
    for k in range(1, STEPS + 1):
        x, w = newton(n, half * (1 - mp.mpf(k) / STEPS), x, w)
    # the limit alpha = 0 is the last step; check it against the exact moments
    for k in range(n):
        assert abs(mp.fsum(wi * xi ** k for xi, wi in zip(x, w)) - mp.mpf(1) / (k + 1)) < mp.mpf(10) ** -50
        assert abs(mp.fsum(wi * xi ** k * mp.log(xi) for xi, wi in zip(x, w)) + mp.mpf(1) / (k + 1) ** 2) < mp.mpf(10) ** -50
    return x, w


def gauss_legendre(n):
    """The n-point Gauss-Legendre rule moved to [0, 1], checked against the exact moments."""
    nodes, weights = generate_ring_rules.gauss_legendre(n)
    out = sorted(((1 + t) / 2, wt / 2) for t, wt in zip(nodes, weights))
    for k in range(2 * n):
        assert abs(mp.fsum(wt * t ** k for t, wt in out) - mp.mpf(1) / (k + 1)) < mp.mpf(10) ** -50
    return out


def ramp_rows(n):
    """R_i(y) = integral_y^1 (s - y) l_i(s) ds for the Lagrange basis l_i of the n-point
    Gauss-Legendre nodes on [-1, 1]: with l_i = sum_p c_ip s^p,
      R_i(y) = sum_p c_ip (1 / (p + 2) - y / (p + 1) + y^(p + 2) / ((p + 1) (p + 2))).
    Checked against direct quadrature of a sample polynomial."""
    y = sorted(2 * t - 1 for t, wt in gauss_legendre(n))
    inverse = mp.inverse(mp.matrix([[yi ** p for p in range(n)] for yi in y]))
    rows = [[mp.mpf(0)] * n for _ in range(n + 2)]
    for i in range(n):
        c = [inverse[p, i] for p in range(n)]
        rows[0][i] = mp.fsum(c[p] / (p + 2) for p in range(n))
        rows[1][i] = -mp.fsum(c[p] / (p + 1) for p in range(n))
        for p in range(n):
            rows[p + 2][i] = c[p] / ((p + 1) * (p + 2))
    probe = lambda s: mp.exp(s / 3) * mp.cos(s)  # noqa: E731  only its interpolant matters
    g = [probe(yi) for yi in y]
    interpolant = lambda s: mp.fsum(  # noqa: E731
        g[i] * mp.fprod((s - y[j]) / (y[i] - y[j]) for j in range(n) if j != i) for i in range(n))
    for x in (mp.mpf(-1), mp.mpf("-0.3"), mp.mpf("0.55"), mp.mpf("0.999")):
        direct = mp.quad(lambda s: (s - x) * interpolant(s), [x, 1])
        series = mp.fsum(mp.fsum(rows[m][i] * g[i] for i in range(n)) * x ** m for m in range(n + 2))
        assert abs(direct - series) < mp.mpf(10) ** -45
    return rows


def chebyshev_ramp_rows(n):
    """The rows of ramp_rows(n) (powers of y) in the Chebyshev basis T_k(y), k <= n + 1:
    each R_i sampled at n + 2 Chebyshev points and projected (exact for its degree n + 1).
    Checked against the power form at a few points."""
    power = ramp_rows(n)
    M = n + 2
    xs = [mp.cos((2 * j + 1) * mp.pi / (2 * M)) for j in range(M)]
    rows = [[mp.mpf(0)] * n for _ in range(M)]
    for i in range(n):
        values = [mp.fsum(power[m][i] * x ** m for m in range(M)) for x in xs]
        for k in range(M):
            c = mp.fsum(v * mp.chebyt(k, x) for v, x in zip(values, xs)) * 2 / M
            rows[k][i] = c / 2 if k == 0 else c
        for y in (mp.mpf(-1), mp.mpf("-0.3"), mp.mpf("0.55"), mp.mpf(1)):
            a = mp.fsum(power[m][i] * y ** m for m in range(M))
            b = mp.fsum(rows[k][i] * mp.chebyt(k, y) for k in range(M))
            assert abs(a - b) < mp.mpf(10) ** -40
    return rows


def chebyshev_interpolant_rows(n):
    """Row k: the coefficient of T_k(y), k < n, in the interpolant through the n-point
    Gauss-Legendre nodes on [-1, 1], per unit sample (column i): each Lagrange
    polynomial sampled at n Chebyshev points and projected (exact for its degree n - 1),
    checked at a few points."""
    y = sorted(2 * t - 1 for t, wt in gauss_legendre(n))
    xs = [mp.cos((2 * j + 1) * mp.pi / (2 * n)) for j in range(n)]
    lagrange = lambda i, s: mp.fprod((s - y[j]) / (y[i] - y[j]) for j in range(n) if j != i)  # noqa: E731
    rows = [[mp.mpf(0)] * n for _ in range(n)]
    for i in range(n):
        values = [lagrange(i, x) for x in xs]
        for k in range(n):
            c = mp.fsum(v * mp.chebyt(k, x) for v, x in zip(values, xs)) * 2 / n
            rows[k][i] = c / 2 if k == 0 else c
        for s_ in (mp.mpf(-1), mp.mpf("0.3"), mp.mpf(1)):
            assert abs(lagrange(i, s_) - mp.fsum(rows[k][i] * mp.chebyt(k, s_) for k in range(n))) < mp.mpf(10) ** -40
    return rows


def d(x):
    """The double nearest to x, written with the digits that round-trip."""
    return repr(float(mp.mpf(x)))


def main():
    x, w = log_gauss(LOG_POINTS)
    lines = ["// Generated by tools/generate_log_gauss_nodes.py; do not edit.",
             f"// The {LOG_POINTS}-point Gaussian rule on [0, 1] exact for p(t) + q(t) log t,",
             f"// p and q of degree below {LOG_POINTS}: entries {{x, w}} in increasing x.",
             "const GaussNode LOG_GAUSS[LOG_POINTS] = {"]
    lines += [f"    {{{d(a)}, {d(b)}}}," for a, b in zip(x, w)]
    lines.append("};")
    lines.append(f"// The {LEGENDRE_POINTS}-point Gauss-Legendre rule on [0, 1]: entries {{x, w}}.")
    lines.append("const GaussNode LEGENDRE[LEGENDRE_POINTS] = {")
    lines += [f"    {{{d(a)}, {d(b)}}}," for a, b in gauss_legendre(LEGENDRE_POINTS)]
    lines.append("};")
    lines.append(f"// Row k: the coefficients of T_k(y), k <= {LEGENDRE_POINTS + 1}, in the integral from y to 1 of")
    lines.append("// (s - y) times the interpolant of the layer's samples at the nodes above,")
    lines.append("// mapped to [-1, 1]; column i: the weight of sample i.")
    lines.append("const double LEGENDRE_RAMP[LEGENDRE_POINTS + 2][LEGENDRE_POINTS] = {")
    for row in chebyshev_ramp_rows(LEGENDRE_POINTS):
        lines.append("    {" + ", ".join(d(v) for v in row) + "},")
    lines.append("};")
    lines.append(f"// The {KINK_POINTS}-point Gauss-Legendre rule on [0, 1]: entries {{x, w}}.")
    lines.append("const GaussNode KINK_LEGENDRE[KINK_POINTS] = {")
    lines += [f"    {{{d(a)}, {d(b)}}}," for a, b in gauss_legendre(KINK_POINTS)]
    lines.append("};")
    lines.append(f"// Row k: the coefficient of T_k(y), k < {KINK_POINTS}, in the interpolant of the layer's")
    lines.append("// samples at the nodes above, mapped to [-1, 1]; column i: the weight of sample i.")
    lines.append("const double KINK_INTERPOLANT[KINK_POINTS][KINK_POINTS] = {")
    for row in chebyshev_interpolant_rows(KINK_POINTS):
        lines.append("    {" + ", ".join(d(v) for v in row) + "},")
    lines.append("};")
    with open(os.path.join(ROOT, "src/numeric/graded_rule_nodes.inc"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
