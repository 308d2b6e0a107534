#include "numeric/product_rule.hpp"

namespace tarnivox::product_rule {
namespace {

// Correctly rounded from 60-digit values.
#include "numeric/product_rule_nodes.inc"

}  // namespace

const GaussNode* gauss_legendre(int points) {
    switch (points) {
        case 4: return GAUSS_LEGENDRE_4_TABLE;
        case 6: return GAUSS_LEGENDRE_6_TABLE;
        default: return GAUSS_LEGENDRE_8_TABLE;
    }
}

const ChebyshevNode* nodes(int rule) {
    switch (rule) {
        case 0: return CHEBYSHEV_16;
        case 1: return CHEBYSHEV_24;
        case 2: return CHEBYSHEV_32;
        default: return CHEBYSHEV_40;
    }
}

namespace {

// T_j(x_i), j < N, at every node of each rule, by the three-term recurrence
// (stable on [-1, 1]): formed once, at first use.
struct NodePolynomials {
    double t[SIZES][MAX_POINTS][MAX_POINTS];
    NodePolynomials() {
        for (int rule = 0; rule < SIZES; ++rule) {
            const ChebyshevNode* node = nodes(rule);
            for (int i = 0; i < SIZE[rule]; ++i) {
                const double x = node[i].x;
                double t_prev = 1.0;
                double tj = x;
                for (int j = 1; j < SIZE[rule]; ++j) {
                    t[rule][i][j] = tj;
                    const double t_next = 2.0 * x * tj - t_prev;
                    t_prev = tj;
                    tj = t_next;
                }
            }
        }
    }
};

}  // namespace

void weights(int rule, const double* moments, double* out) {
    static const NodePolynomials polynomials;
    const int n = SIZE[rule];
    for (int i = 0; i < n; ++i) {
        const double* t = polynomials.t[rule][i];
        double sum = 0.0;
        for (int j = 1; j < n; ++j) sum += moments[j] * t[j];
        out[i] = (moments[0] + 2.0 * sum) / n;
    }
}

}  // namespace tarnivox::product_rule
