// Interpolatory product rules on [0, 1] (Sloan & Smith, SIAM J. Numer. Anal.
// 15 (1978) 427): for a weight w that need not be smooth,
//   integral_0^1 w(mu) g(mu) dmu ~ sum_i W_i g(mu_i),
// exact whenever g is a polynomial of degree below N.  The N nodes are the
// Chebyshev points of the first kind mapped to [0, 1],
//   mu_i = (1 + x_i) / 2,  x_i = cos((2i + 1) pi / (2N)),
// and the weights follow from the weight's Chebyshev moments
//   M_j = integral_0^1 w(mu) T_j(2 mu - 1) dmu:
// interpolating g at the nodes gives g ~ sum_j a_j T_j(2 mu - 1) with
// a_j = (2 - [j = 0]) / N * sum_i g(mu_i) T_j(x_i), so
//   W_i = (M_0 + 2 sum_{j >= 1} M_j T_j(x_i)) / N.
// The error is that of the interpolant, which falls geometrically with N for a
// g analytic on [0, 1] (Trefethen, Approximation Theory and Approximation
// Practice, ch. 8); w enters only through its moments, so a weight with kinks
// or jumps costs nothing in accuracy.
#pragma once

namespace tarnivox {

struct ChebyshevNode {
    double x;   // cos((2i + 1) pi / (2N))
    double mu;  // (1 + x) / 2
    double r;   // sqrt(1 - mu^2)
};

struct GaussNode {
    double x;  // abscissa on [-1, 1]
    double w;  // weight
};

namespace product_rule {

// The rules offered: N = 16, 24, 32 and 40 points.
constexpr int SIZES = 4;
constexpr int SIZE[SIZES] = {16, 24, 32, 40};
constexpr int MAX_POINTS = 40;

// The nodes of the rule of SIZE[rule] points, in order of decreasing mu.
const ChebyshevNode* nodes(int rule);

// W_i, i < SIZE[rule], from the moments M_0 .. M_{SIZE[rule] - 1}.
void weights(int rule, const double* moments, double* out);

// The Gauss-Legendre rule of 4, 6 or 8 points on [-1, 1], in increasing order.
const GaussNode* gauss_legendre(int points);

}  // namespace product_rule
}  // namespace tarnivox
