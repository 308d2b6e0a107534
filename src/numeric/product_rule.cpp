#include "numeric/product_rule.hpp"

namespace tarnivox::product_rule {
namespace {

// Correctly rounded from 60-digit values.
#include "numeric/product_rule_nodes.inc"

}  // namespace

const GaussNode GAUSS_LEGENDRE_8[8] = {
    GAUSS_LEGENDRE_8_TABLE[0], GAUSS_LEGENDRE_8_TABLE[1], GAUSS_LEGENDRE_8_TABLE[2],
    GAUSS_LEGENDRE_8_TABLE[3], GAUSS_LEGENDRE_8_TABLE[4], GAUSS_LEGENDRE_8_TABLE[5],
    GAUSS_LEGENDRE_8_TABLE[6], GAUSS_LEGENDRE_8_TABLE[7],
};

const ChebyshevNode* nodes(int rule) {
    switch (rule) {
        case 0: return CHEBYSHEV_16;
        case 1: return CHEBYSHEV_24;
        default: return CHEBYSHEV_32;
    }
}

void weights(int rule, const double* moments, double* out) {
    const int n = SIZE[rule];
    const ChebyshevNode* node = nodes(rule);
    for (int i = 0; i < n; ++i) {
        // T_j(x_i) by the three-term recurrence, stable on [-1, 1].
        const double x = node[i].x;
        double t_prev = 1.0;
        double t = x;
        double sum = 0.0;
        for (int j = 1; j < n; ++j) {
            sum += moments[j] * t;
            const double t_next = 2.0 * x * t - t_prev;
            t_prev = t;
            t = t_next;
        }
        out[i] = (moments[0] + 2.0 * sum) / n;
    }
}

}  // namespace tarnivox::product_rule
