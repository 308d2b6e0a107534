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
