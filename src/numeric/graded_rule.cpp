#include "numeric/graded_rule.hpp"

namespace tarnivox::graded_rule {

// Correctly rounded from 60-digit values.
#include "numeric/graded_rule_nodes.inc"
#include "numeric/graded_rule_smooth_nodes.inc"

}  // namespace tarnivox::graded_rule

namespace tarnivox {
namespace {

// The product rule whose nodes are a tree's proxies.
constexpr int rule_of(int proxies) {
    int rule = 0;
    while (rule + 1 < product_rule::SIZES && product_rule::SIZE[rule] != proxies) ++rule;
    return rule;
}

// The Chebyshev points z_i = cos((2i + 1) pi / (2P)) of the product rule, and
// their barycentric weights (-1)^i sin((2i + 1) pi / (2P)) (Berrut &
// Trefethen, SIAM Rev. 46 (2004) 501), the sine as sqrt((1 - z)(1 + z)).
template <int P>
struct Proxies {
    static_assert(product_rule::SIZE[rule_of(P)] == P, "the proxies are a product rule's points");
    double z[P], beta[P];
    Proxies() {
        const ChebyshevNode* node = product_rule::nodes(rule_of(P));
        for (int i = 0; i < P; ++i) {
            z[i] = node[i].x;
            const double s = std::sqrt((1.0 - z[i]) * (1.0 + z[i]));
            beta[i] = i % 2 == 0 ? s : -s;
        }
    }
};

template <int P>
const Proxies<P>& proxies() {
    static const Proxies<P> p;
    return p;
}

// Adds weight c at x, on the group [lo, hi], to its proxy weights W:
// W_i += c l_i(z), z = x mapped to [-1, 1], by the barycentric formula
// l_i(z) = (beta_i / (z - z_i)) / sum_k beta_k / (z - z_k).
template <int P>
void add_to_proxies(double x, double c, double lo, double hi, double* W) {
    const Proxies<P>& p = proxies<P>();
    const double z = ((x - lo) - (hi - x)) / (hi - lo);
    double t[P];
    double sum = 0.0;
    for (int i = 0; i < P; ++i) {
        const double d = z - p.z[i];
        if (d == 0.0) {  // on a proxy: all its own
            W[i] += c;
            return;
        }
        t[i] = p.beta[i] / d;
        sum += t[i];
    }
    const double scale = c / sum;
    for (int i = 0; i < P; ++i) W[i] += t[i] * scale;
}

// A rough region's integral of a polynomial (integrate_graded_kinked) as a
// linear form in its Chebyshev coefficients: on the region [u, v], m its
// centre, h its half-width, z = (r - m) / h, the weight the line A + B z plus
// the ramps c_j (r - x_j)_+,
//   mu_k = integral_u^v w T_k(z) dr = h (A I_k + B J_k) + h^2 sum_m G_mk S_m,
// I_k and J_k the integrals of T_k and z T_k over [-1, 1], G_mk the Chebyshev
// coefficients of R_k(z) = integral_z^1 (s - z) T_k(s) ds, and
// S_m = sum_j c_j T_m(z_j).
struct RegionForm {
    static constexpr int N = LineTree::PROXY, TERMS = N + 2;
    double I[N], J[N], G[TERMS][N];
    RegionForm() {
        for (int k = 0; k < N; ++k) {
            double e[N] = {}, Q[N + 1], R[TERMS];
            e[k] = 1.0;
            I[k] = graded_rule::chebyshev::line_moment<N>(e, 1.0, 0.0);
            J[k] = graded_rule::chebyshev::line_moment<N>(e, 0.0, 1.0);
            graded_rule::chebyshev::integral_to_one<N>(e, Q);
            graded_rule::chebyshev::integral_to_one<N + 1>(Q, R);
            for (int m = 0; m < TERMS; ++m) G[m][k] = R[m];
        }
    }
};

// Adds the Chebyshev moments sum_q c_q T_k(z_q), k < P, of the P weights c
// at the points x (a child group's proxies), z_q = x_q mapped from [lo, hi]
// to [-1, 1], to mu.
template <int P>
void add_moments(const double* x, const double* c, double lo, double hi, double* mu) {
    double z[P];
    for (int q = 0; q < P; ++q) z[q] = ((x[q] - lo) - (hi - x[q])) / (hi - lo);
    graded_rule::chebyshev::add_sums<P, P>(z, c, mu);
}

}  // namespace

template <int P, std::size_t B>
const double* ProxyTree<P, B>::proxy_z() {
    return proxies<P>().z;
}

// Units of work (StopPoll, about half a microsecond each) of a merge of two
// groups or a block of RampTree, and of a block of LineTree in the ramp form.
constexpr long MERGE_UNITS = 2;
constexpr long RAMP_BLOCK_UNITS = 2;

template <int P, std::size_t B>
bool ProxyTree<P, B>::merge_levels(Merge how, StopPoll& stop) {
    const Proxies<P>& p = proxies<P>();
    while (levels_.back().size() >= 2) {
        const Level& below = levels_.back();
        Level up;
        const std::size_t groups = below.size() / 2;
        up.resize(groups);
        for (std::size_t g = 0; g < groups; ++g) {
            double* G = up.group(g);
            const double lo = below.group(2 * g)[0], hi = below.group(2 * g + 1)[1];
            G[0] = lo;
            G[1] = hi;
            double mu[P] = {};
            for (std::size_t h = 2 * g; h < 2 * g + 2; ++h) {
                const double* H = below.group(h);
                const double mid = 0.5 * (H[0] + H[1]);
                const double half = 0.5 * (H[1] - H[0]);
                double x[P];
                for (int i = 0; i < P; ++i) x[i] = mid + half * p.z[i];
                if (how == Merge::barycentric)
                    for (int i = 0; i < P; ++i) add_to_proxies<P>(x[i], H[2 + i], lo, hi, G + 2);
                else
                    add_moments<P>(x, H + 2, lo, hi, mu);
            }
            if (how == Merge::moments) product_rule::weights(rule_of(P), mu, G + 2);
            if (stop.stop_after(MERGE_UNITS)) {
                levels_.clear();
                return false;
            }
        }
        levels_.push_back(std::move(up));
    }
    return true;
}

template class ProxyTree<RampTree::PROXY, RampTree::BLOCK>;
template class ProxyTree<LineTree::PROXY, LineTree::BLOCK>;

bool RampTree::build(const double* x, const double* c, std::size_t n, StopPoll& stop) {
    levels_.clear();
    if (n < 2 * BLOCK) return true;
    Level first;
    const std::size_t blocks = n / BLOCK;
    first.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        double* G = first.group(b);
        const double lo = x[b * BLOCK], hi = x[b * BLOCK + BLOCK - 1];
        G[0] = lo;
        G[1] = hi;
        for (std::size_t j = b * BLOCK; j < (b + 1) * BLOCK; ++j) add_to_proxies<PROXY>(x[j], c[j], lo, hi, G + 2);
        if (stop.stop_after(MERGE_UNITS)) return false;
    }
    levels_.push_back(std::move(first));
    return merge_levels(Merge::barycentric, stop);
}

namespace {

// S_k += c T_k(z), k < TERMS, z = x mapped from [u, v] to [-1, 1].
template <int TERMS>
void add_chebyshev(double c, double x, double u, double v, double* S) {
    const double z = ((x - u) - (v - x)) / (v - u);
    graded_rule::chebyshev::add_sums<1, TERMS>(&z, &c, S);
}

// The proxy weights W (LineTree::PROXY of them) of a block [u, v] of the
// weight: the line of segment k0 - 1, which holds u, plus the ramps of the
// knots k0 .. k1 - 1 strictly inside, from its Chebyshev moments
//   mu_k = integral_u^v w T_k(z) dr,  z = (2 r - u - v) / (v - u),
// in the ramp form of integrate_graded_kinked's rough regions where that is
// as well conditioned (graded_rule::ROUGH_CONDITION), else segment by segment;
// returns the units of work done.
long block_proxies(const double* x, const double* slope, const double* intercept, double u, double v,
                   std::size_t k0, std::size_t k1, double* W) {
    static const RegionForm form;
    constexpr int N = RegionForm::N, TERMS = RegionForm::TERMS;
    double terms = std::fabs(slope[k0 - 1]), area = 0.0;
    for (std::size_t s = k0 - 1; s < k1; ++s) {
        if (s >= k0) terms += std::fabs(slope[s] - slope[s - 1]);
        const double y0 = slope[s] * x[s] + intercept[s], y1 = slope[s] * x[s + 1] + intercept[s];
        area += 0.5 * (std::fabs(y0) + std::fabs(y1)) * (x[s + 1] - x[s]);
    }
    terms *= 0.5 * (v - u) * (v - u);
    double mu[N] = {};
    if (terms > graded_rule::ROUGH_CONDITION * area) {
        // A narrow steep segment among wide ones: each segment by the
        // Gauss-Legendre rule exact for its line times T_k, k < N.
        using graded_rule::SEGMENT_LEGENDRE;
        static_assert(2 * graded_rule::SEGMENT_POINTS > N, "exact for a line times T_k");
        for (std::size_t s = k0 - 1; s < k1; ++s) {
            const double a = x[s], width = x[s + 1] - x[s];
            for (int q = 0; q < graded_rule::SEGMENT_POINTS; ++q) {
                const double r = a + width * SEGMENT_LEGENDRE[q].x;
                add_chebyshev<N>((SEGMENT_LEGENDRE[q].w * width) * (slope[s] * r + intercept[s]), r, u, v, mu);
            }
        }
        product_rule::weights(rule_of(N), mu, W);
        return static_cast<long>(k1 - k0 + 1) / 2;  // about half a microsecond a segment
    }
    // mu_k = integral w T_k(z) dr over [u, v], z = (2 r - u - v) / (v - u).
    const double m = 0.5 * (u + v), h = 0.5 * (v - u);
    const double A = slope[k0 - 1] * m + intercept[k0 - 1], Bz = slope[k0 - 1] * h;
    double S[TERMS] = {};
    for (std::size_t j = k0; j < k1; ++j) add_chebyshev<TERMS>(slope[j] - slope[j - 1], x[j], u, v, S);
    for (int k = 0; k < N; ++k) {
        double ramps = 0.0;
        for (int q = 0; q < TERMS; ++q) ramps += form.G[q][k] * S[q];
        mu[k] = h * (A * form.I[k] + Bz * form.J[k]) + (h * h) * ramps;
    }
    product_rule::weights(rule_of(N), mu, W);
    return RAMP_BLOCK_UNITS;
}

}  // namespace

bool LineTree::build(const double* x, const double* slope, const double* intercept, std::size_t n,
                     StopPoll& stop) {
    levels_.clear();
    if (n < 2 * BLOCK + 1) return true;
    Level first;
    const std::size_t blocks = (n - 1) / BLOCK;
    first.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        // Segments s0 .. s0 + BLOCK - 1, on [x[s0], x[s0 + BLOCK]].
        double* G = first.group(b);
        const std::size_t s0 = b * BLOCK;
        G[0] = x[s0];
        G[1] = x[s0 + BLOCK];
        if (stop.stop_after(block_proxies(x, slope, intercept, G[0], G[1], s0 + 1, s0 + BLOCK, G + 2)))
            return false;
    }
    levels_.push_back(std::move(first));
    return merge_levels(Merge::moments, stop);
}

}  // namespace tarnivox
