#include "magnification/ring_source.hpp"

#include <algorithm>
#include <cstring>

namespace tarnivox {
namespace {

// Correctly rounded from exact or 60-digit values.
#include "magnification/linear_law_moments.inc"
#include "magnification/point_lens_series.inc"
#include "magnification/even_from_chebyshev.inc"

static_assert(SERIES_TERMS + 1 == EVEN_MOMENTS, "one even moment per series term");
static_assert(CHEBYSHEV_MOMENTS <= TableMoments::CHEBYSHEV, "moments for the even moments");
static_assert(TableMoments::CHEBYSHEV >= product_rule::MAX_POINTS, "moments for the product rules");
static_assert(sizeof LINEAR_LAW_CHEBYSHEV_MOMENTS / sizeof(double) >= product_rule::MAX_POINTS,
              "the law's moments for the product rules");

// Beyond u = 2^14 the mean over the star exceeds 1 by less than 2.1 / u^4 < 2^-54
// of a normalised profile (A(u) = 1 + 2 / u^4 + O(u^-6), and the finite-source
// terms are smaller still by 1 / l^2), so it rounds to its limit.
constexpr double POINT_SOURCE_DISTANCE = 16384.0;

// A term whose bound falls below 2^-60 of the leading term, and every later
// one, is left out.
constexpr double NEGLIGIBLE = 8.673617379884035e-19;  // 2^-60

// Chebyshev moments: in theta, T_j(2 cos theta - 1) sin^2 theta, j < 40, has
// frequencies up to 41.  An n-point Gauss-Legendre rule errs on e^(i w theta)
// over a piece of half-width h by about (w h)^(2n) / (2n)!, below 2^-60 of the
// piece for w h up to 0.03 (4 points), 0.12 (6 points) and 0.5 (8 points);
// wider pieces are cut into pieces of 8 points.
constexpr double CHEBYSHEV_FREQUENCY = 42.0;
static_assert(TableMoments::CHEBYSHEV + 2 <= CHEBYSHEV_FREQUENCY, "the highest frequency of a moment");
constexpr double GAUSS_4_REACH = 0.03;
constexpr double GAUSS_6_REACH = 0.12;
constexpr double GAUSS_8_REACH = 0.5;

// Each node's weight times 2 pi mu_i / flux.
void near_weights_from(const double* moments, double flux, double (*out)[product_rule::MAX_POINTS]) {
    for (int rule = 0; rule < product_rule::SIZES; ++rule) {
        product_rule::weights(rule, moments, out[rule]);
        const ChebyshevNode* node = product_rule::nodes(rule);
        for (int i = 0; i < product_rule::SIZE[rule]; ++i)
            out[rule][i] = out[rule][i] * ((TWO_PI * node[i].mu) / flux);
    }
}

// Adds the terms of one Gauss-Legendre piece, centre mid and half-width hw
// in theta, to the Chebyshev moments M (see chebyshev_moments below).
template <int N>
void add_chebyshev_terms(const GaussNode* rule, double mid, double hw, double slope, double intercept,
                         double* M) {
    double x[N], f[N];  // x = 2 mu - 1
    for (int q = 0; q < N; ++q) {
        const double theta = mid + hw * rule[q].x;
        const double r = std::sin(theta);
        x[q] = 2.0 * std::cos(theta) - 1.0;
        f[q] = (rule[q].w * hw) * ((slope * r + intercept) * r);
    }
    graded_rule::chebyshev::add_sums<N, TableMoments::CHEBYSHEV>(x, f, M);
}

}  // namespace

double far_field_series(double u, double x, const double* m) {
    if (u > POINT_SOURCE_DISTANCE) return m[0];
    const double s = u * u;
    const double s4 = s + 4.0;
    const double w = std::sqrt(s4);
    const double z = s / s4;    // u^2 / (u^2 + 4)
    const double y = 4.0 / s4;  // 1 - z
    // beta_k(z) = sum_j b_kj z^j y^(n-j), n = 2k - 1, by Horner's rule in the
    // ratio of z and y that is at most 1, times the power of the larger.
    const bool small = z <= y;
    const double t = small ? z / y : y / z;
    const double big2 = small ? y * y : z * z;
    double big_n = small ? y : z;  // its power n, for k = 1
    double xk = 1.0;
    double sum = 0.0;
    const double* b = SERIES_COEFFICIENTS;
    for (int k = 1; k <= SERIES_TERMS; ++k) {
        const int n = 2 * k - 1;
        xk *= x;
        if (std::fabs(m[k]) * xk * SERIES_BOUND[k - 1] < NEGLIGIBLE) break;
        double p;
        if (small) {  // sum_j b_j t^j
            p = b[n];
            for (int j = n - 1; j >= 0; --j) p = p * t + b[j];
        } else {  // sum_j b_j t^(n-j)
            p = b[0];
            for (int j = 1; j <= n; ++j) p = p * t + b[j];
        }
        sum += (m[k] * xk) * (p * big_n);
        b += n + 1;
        big_n *= big2;
    }
    // (s + 2) / (u w) is the point-lens magnification A(u).
    return (m[0] * (s + 2.0) + sum / s4) / (u * w);
}

const double* LinearLawSource::near_weights(int rule) const {
    // A function-local static: formed once, at first use, safely when two
    // threads reach it at once, and read-only afterwards.
    struct Weights {
        double w[product_rule::SIZES][product_rule::MAX_POINTS];
        Weights() { near_weights_from(LINEAR_LAW_CHEBYSHEV_MOMENTS, 0.8 * PI, w); }
    };
    static const Weights weights;
    return weights.w[rule];
}

const double* LinearLawSource::even_moments() const { return LINEAR_LAW_EVEN_MOMENTS; }

namespace {

// Adds int_0^1 P(r(mu)) T_j(2 mu - 1) dmu for the table bl -> bf (at least
// one point) to M; false if `stop` said stop.
bool chebyshev_moments(const std::vector<double>& bl, const std::vector<double>& bf, StopPoll& stop,
                       double* M) {
    const std::size_t n = bl.size();
    const std::size_t segments = n == 1 ? 1 : n - 1;
    for (std::size_t i = 0; i < segments; ++i) {
        if (stop.stop_after()) return false;
        double a = 0.0, b = 1.0, slope = 0.0, intercept = bf[0];
        if (n > 1) {
            a = std::max(bl[i], 0.0);
            b = std::min(bl[i + 1], 1.0);
            if (!(a < b)) continue;
            slope = (bf[i + 1] - bf[i]) / (bl[i + 1] - bl[i]);
            intercept = bf[i] - bl[i] * slope;
            // A segment narrower than its rise over the largest double has a
            // slope that overflows, and interp reads it as NaN (inf - inf),
            // which every quadrature of the profile counts as 0: so do its
            // moments.  (Its width is below 1e-308 of its rise.)
            if (!std::isfinite(slope) || !std::isfinite(intercept)) continue;
        }
        // int P(r(mu)) T_j(2 mu - 1) dmu over the segment, with mu = cos theta,
        // r = sin theta, dmu = -sin theta dtheta: smooth in theta throughout.
        const double ta = std::asin(a), tb = std::asin(b);
        const double reach = CHEBYSHEV_FREQUENCY * 0.5 * (tb - ta);
        const int points = reach <= GAUSS_4_REACH ? 4 : reach <= GAUSS_6_REACH ? 6 : 8;
        const int pieces = std::max(1, static_cast<int>(std::ceil(reach / GAUSS_8_REACH)));
        const double width = (tb - ta) / pieces;
        const GaussNode* rule = product_rule::gauss_legendre(points);
        for (int p = 0; p < pieces; ++p) {
            const double hw = 0.5 * width;
            const double mid = ta + (p + 0.5) * width;
            switch (points) {
                case 4: add_chebyshev_terms<4>(rule, mid, hw, slope, intercept, M); break;
                case 6: add_chebyshev_terms<6>(rule, mid, hw, slope, intercept, M); break;
                default: add_chebyshev_terms<8>(rule, mid, hw, slope, intercept, M); break;
            }
        }
    }
    return true;
}

std::shared_ptr<const TableMoments> form_table_moments(const std::vector<double>& bl,
                                                       const std::vector<double>& bf, StopPoll& stop) {
    const std::size_t n = bl.size();
    auto made = std::make_shared<TableMoments>();
    TableMoments& t = *made;
    if (!chebyshev_moments(bl, bf, stop, t.chebyshev)) return nullptr;
    // Every moment from the Chebyshev ones, which are sums of positive
    // quadrature terms for a positive profile: the flux
    // 2 pi int_0^1 P r dr = 2 pi int_0^1 P mu dmu = pi (M_0 + M_1), and the even
    // moments through the polynomials 2 mu (1 - mu^2)^k.  Formed directly from
    // the segments, b^(2k+2) - a^(2k+2) of a short segment near the rim (and the
    // slope and intercept of a steep one) would cancel to 1e-13 of the flux.
    t.flux = PI * (t.chebyshev[0] + t.chebyshev[1]);
    for (int k = 0; k < EVEN_MOMENTS; ++k) {
        double sum = 0.0;
        for (int j = 0; j < CHEBYSHEV_MOMENTS; ++j) sum += EVEN_FROM_CHEBYSHEV[k][j] * t.chebyshev[j];
        t.even[k] = (PI * sum) / t.flux;
    }
    near_weights_from(t.chebyshev, t.flux, t.weights);
    // The table's lines, merged across radii where the slope does not
    // change: only true kinks cut the integral or bound the graded layers (a
    // flat table of many radii is one line).  A merged line is that of its
    // first segment, as interp forms it; the others agree with it to rounding.
    if (n > 1) {
        t.knot.push_back(bl[0]);
        for (std::size_t k = 0; k + 1 < n; ++k) {
            const double slope = (bf[k + 1] - bf[k]) / (bl[k + 1] - bl[k]);
            t.finite_lines = t.finite_lines && std::isfinite(slope) && std::isfinite(bf[k] - bl[k] * slope);
            if (k == 0 || slope != t.slope.back()) {
                if (k > 0) t.knot.push_back(bl[k]);
                t.slope.push_back(slope);
                t.intercept.push_back(bf[k] - bl[k] * slope);
            }
        }
        t.knot.push_back(bl[n - 1]);
    }
    int inside = 0;
    for (const double x : t.knot) inside += (0 < x && x < 1);
    t.fine = inside > MAX_TABLE_CUTS;
    if (t.fine) {
        const std::size_t knots = t.knot.size();
        t.departure.assign(knots, 0.0);
        t.area.assign(knots, 0.0);
        t.bend.assign(knots, 0.0);
        for (std::size_t j = 1; j < knots; ++j) {
            const std::size_t i = j - 1;  // the knot and the segment that end at j
            const double h = i > 0 ? t.knot[i + 1] - t.knot[i - 1] : 0.0;
            const double change = i > 0 ? std::fabs(t.slope[i] - t.slope[i - 1]) : 0.0;
            t.departure[j] = t.departure[i] + change * (h * h) / 32;
            t.bend[j] = t.bend[i] + change;
            const double y0 = t.slope[i] * t.knot[i] + t.intercept[i];
            const double y1 = t.slope[i] * t.knot[i + 1] + t.intercept[i];
            t.area[j] = t.area[i] + 0.5 * (std::fabs(y0) + std::fabs(y1)) * (t.knot[i + 1] - t.knot[i]);
        }
        std::vector<double> change(knots, 0.0);
        for (std::size_t j = 1; j + 1 < knots; ++j) change[j] = t.slope[j] - t.slope[j - 1];
        if (!t.ramps.build(t.knot.data(), change.data(), knots, stop)) return nullptr;
        // (A table whose lines are not all finite is read by the quadrature
        // of its values instead: see TableSource.)
        if (t.finite_lines && !t.segments.build(t.knot.data(), t.slope.data(), t.intercept.data(), knots, stop))
            return nullptr;
    }
    return made;
}

// The moments of the tables used last.  A fit calls with the same table at
// every step, often once per data set, and a table of 500 radii takes about
// 100 us to form, a thousand times a separation far from the star (1e6
// radii: about 0.5 s).  An entry is found by the bits of its radii and
// values (a comparison of the whole table, 1 ms for 1e6 radii, far less than
// forming it), so a table changed in place is another table, and gives the
// same moments as it would unkept.  The entries hold at most MAX_POINTS radii
// in all, about 95 bytes each with the copy of the table and the groups of
// knots and segments (100 MB at most): the oldest are dropped to make room,
// and a longer table is formed at every call.
// Every call holds the interpreter lock, which orders all use of the
// entries; a call keeps the entry it was given (shared_ptr) however a call
// re-entering from a signal handler changes them.
class TableMomentsCache {
public:
    static constexpr std::size_t ENTRIES = 8;
    static constexpr std::size_t MAX_POINTS = std::size_t{1} << 20;

    std::shared_ptr<const TableMoments> find(const std::vector<double>& bl, const std::vector<double>& bf) {
        for (std::size_t i = entries_.size(); i-- > 0;) {
            if (same_bits(entries_[i].bl, bl) && same_bits(entries_[i].bf, bf)) {
                // Most recently used last.
                std::rotate(entries_.begin() + static_cast<std::ptrdiff_t>(i),
                            entries_.begin() + static_cast<std::ptrdiff_t>(i) + 1, entries_.end());
                return entries_.back().moments;
            }
        }
        return nullptr;
    }

    void keep(const std::vector<double>& bl, const std::vector<double>& bf,
              std::shared_ptr<const TableMoments> moments) {
        if (bl.size() > MAX_POINTS) return;
        std::size_t held = bl.size();
        for (const Entry& e : entries_) held += e.bl.size();
        while (!entries_.empty() && (entries_.size() == ENTRIES || held > MAX_POINTS)) {
            held -= entries_.front().bl.size();
            entries_.erase(entries_.begin());
        }
        entries_.push_back(Entry{bl, bf, std::move(moments)});
    }

private:
    struct Entry {
        std::vector<double> bl, bf;
        std::shared_ptr<const TableMoments> moments;
    };
    static bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
    }
    std::vector<Entry> entries_;
};

}  // namespace

std::shared_ptr<const TableMoments> table_moments(const std::vector<double>& bl,
                                                  const std::vector<double>& bf, StopPoll& stop) {
    static TableMomentsCache cache;
    if (auto kept = cache.find(bl, bf)) return kept;
    auto made = form_table_moments(bl, bf, stop);
    if (!made) return made;
    // `stop` may have run Python code (a signal handler) that called with
    // this same table and kept its moments meanwhile: those are the same
    // bits, and one entry for a table is enough.
    if (auto kept = cache.find(bl, bf)) return kept;
    cache.keep(bl, bf, made);
    return made;
}

TableSource::TableSource(const PiecewiseLinear& profile, const std::vector<double>& bl,
                         const std::vector<double>& bf, StopPoll& stop)
    : profile_(profile) {
    const std::size_t n = bl.size();
    if (n == 0 || bf.size() != n) return;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(bl[i]) || !std::isfinite(bf[i]) || (i > 0 && !(bl[i - 1] < bl[i]))) return;
    regular_ = true;
    moments_ = table_moments(bl, bf, stop);
    // A fine table with a segment that is no line (see chebyshev_moments)
    // jumps to 0 and back inside the star, which its lines between kinks
    // cannot carry; the quadrature of its values takes it as it reads.
    if (moments_ && moments_->fine && !moments_->finite_lines) {
        moments_.reset();
        regular_ = false;
    }
}

void TableSource::add_cuts(SourceCuts& cuts) const {
    const TableMoments& m = *moments_;
    if (m.knot.empty()) return;  // one point: constant everywhere
    if (m.fine) {
        // Only where the table starts or ends: there it may jump to zero.
        cuts.add(m.knot.front());
        cuts.add(m.knot.back());
        return;
    }
    for (const double x : m.knot) cuts.add(x);
}

}  // namespace tarnivox
