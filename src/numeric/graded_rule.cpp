#include "numeric/graded_rule.hpp"

namespace tarnivox::graded_rule {

// Correctly rounded from 60-digit values.
#include "numeric/graded_rule_nodes.inc"
#include "numeric/graded_rule_smooth_nodes.inc"

}  // namespace tarnivox::graded_rule

namespace tarnivox {
namespace {

static_assert(RampTree::PROXY == product_rule::SIZE[0], "the proxies are the product rule's 16 points");

// The Chebyshev points z_i = cos((2i + 1) pi / 32) of the product rule, and
// their barycentric weights (-1)^i sin((2i + 1) pi / 32) (Berrut & Trefethen,
// SIAM Rev. 46 (2004) 501), the sine as sqrt((1 - z)(1 + z)).
struct Proxies {
    double z[RampTree::PROXY], beta[RampTree::PROXY];
    Proxies() {
        const ChebyshevNode* node = product_rule::nodes(0);
        for (int i = 0; i < RampTree::PROXY; ++i) {
            z[i] = node[i].x;
            const double s = std::sqrt((1.0 - z[i]) * (1.0 + z[i]));
            beta[i] = i % 2 == 0 ? s : -s;
        }
    }
};

const Proxies& proxies() {
    static const Proxies p;
    return p;
}

// Adds weight c at x, on the group [lo, hi], to its proxy weights W:
// W_i += c l_i(z), z = x mapped to [-1, 1], by the barycentric formula
// l_i(z) = (beta_i / (z - z_i)) / sum_k beta_k / (z - z_k).
void add_to_proxies(double x, double c, double lo, double hi, double* W) {
    const Proxies& p = proxies();
    const double z = ((x - lo) - (hi - x)) / (hi - lo);
    double t[RampTree::PROXY];
    double sum = 0.0;
    for (int i = 0; i < RampTree::PROXY; ++i) {
        const double d = z - p.z[i];
        if (d == 0.0) {  // on a proxy: all its own
            W[i] += c;
            return;
        }
        t[i] = p.beta[i] / d;
        sum += t[i];
    }
    const double scale = c / sum;
    for (int i = 0; i < RampTree::PROXY; ++i) W[i] += t[i] * scale;
}

}  // namespace

const double* RampTree::proxy_z() { return proxies().z; }

void RampTree::build(const double* x, const double* c, std::size_t n) {
    levels_.clear();
    if (n < 2 * BLOCK) return;
    const Proxies& p = proxies();
    Level first;
    const std::size_t blocks = n / BLOCK;
    first.lo.resize(blocks);
    first.hi.resize(blocks);
    first.w.assign(blocks * PROXY, 0.0);
    for (std::size_t b = 0; b < blocks; ++b) {
        const double lo = x[b * BLOCK], hi = x[b * BLOCK + BLOCK - 1];
        first.lo[b] = lo;
        first.hi[b] = hi;
        for (std::size_t j = b * BLOCK; j < (b + 1) * BLOCK; ++j)
            add_to_proxies(x[j], c[j], lo, hi, &first.w[b * PROXY]);
    }
    levels_.push_back(std::move(first));
    while (levels_.back().lo.size() >= 2) {
        const Level& below = levels_.back();
        Level up;
        const std::size_t groups = below.lo.size() / 2;
        up.lo.resize(groups);
        up.hi.resize(groups);
        up.w.assign(groups * PROXY, 0.0);
        for (std::size_t g = 0; g < groups; ++g) {
            const double lo = below.lo[2 * g], hi = below.hi[2 * g + 1];
            up.lo[g] = lo;
            up.hi[g] = hi;
            for (std::size_t h = 2 * g; h < 2 * g + 2; ++h) {
                const double mid = 0.5 * (below.lo[h] + below.hi[h]);
                const double half = 0.5 * (below.hi[h] - below.lo[h]);
                for (int i = 0; i < PROXY; ++i)
                    add_to_proxies(mid + half * p.z[i], below.w[h * PROXY + i], lo, hi, &up.w[g * PROXY]);
            }
        }
        levels_.push_back(std::move(up));
    }
}

}  // namespace tarnivox
