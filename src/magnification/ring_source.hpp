// A star's radial brightness profile as the ring family integrates it: its
// exact flux, its even moments for the series far from the star, its
// Chebyshev moments in mu = sqrt(1 - r^2) for the product rules near it, and
// its brightness at a radius for the integral with the lens on the star.
//
// The integral over the star, int_0^1 I(r) A_ring(l, r) 2 pi r dr, is taken
// three ways, by where the lens is (l in stellar radii):
// - far (l >= 3): the mean-value series, sum_k <r^2k> (rho/2)^2k Lap^k A(u) / (k!)^2,
//   which converges like l^(-2k) for l > 1;
// - near (1.05 <= l < 3): in mu, where r dr = -mu dmu turns the integral into
//   int_0^1 I 2 pi mu A_ring dmu; the factor 2 pi mu A_ring is analytic on
//   [0, 1] (the profile's sqrt(1 - r^2) at the rim is gone, and the ring
//   through the lens sits at mu = +-i sqrt(l^2 - 1), off the interval), so a
//   product rule with the profile as its weight converges geometrically, and
//   a tabulated profile's kinks cost nothing (a table takes a rule eight
//   points larger than the law's: see TableSource::near_rule);
// - on the star (l < 1.05): pieces in theta, r = sin theta, split at the ring
//   through the lens, where A_ring diverges logarithmically, and at the radii
//   of a coarse table, each by a graded Gaussian rule (graded_rule.hpp) whose
//   first layer is exact for p + q log|r - l|; a finer table in r, where it
//   is linear between its radii, by the same rule made exact for its kinks
//   (integrate_graded_kinked), whose sums over a layer's kinks go by groups
//   of knots (RampTree) and its integrals over a rough layer's segments by
//   groups of segments (LineTree): once its moments are formed, a table's
//   cost per separation grows like the logarithm of its length.
#pragma once

#include <cmath>
#include <memory>
#include <vector>

#include "magnification/source_integral.hpp"
#include "numeric/constants.hpp"
#include "numeric/graded_rule.hpp"
#include "numeric/interp.hpp"
#include "numeric/product_rule.hpp"
#include "numeric/stop_poll.hpp"

namespace tarnivox {

// A coarse table's radii inside the star are kinks of the integrand; up to
// this many, the integral with the lens on the star is cut at each of them.
// A finer table's kinks are small, and its cuts would cost more than they save.
inline constexpr int MAX_TABLE_CUTS = 16;
// The cuts of the integral with the lens on the star: the ring through the
// lens and a coarse table's radii.
static_assert(MAX_TABLE_CUTS + 1 <= SourceCuts::CAPACITY, "room for every cut on the star");

// Series terms kept: the first one left out is below 2^-56 of the result
// from l = 3 on.
inline constexpr int EVEN_MOMENTS = 17;  // <r^0> .. <r^32>

// The built-in law I = 1 - 0.6 (1 - mu), mu = sqrt(1 - r^2).
class LinearLawSource {
public:
    // I at r = sin theta, mu = cos theta.
    double brightness(double r, double mu) const {
        (void)r;
        return (1.0 - mu) * (-0.6) + 1.0;
    }
    // 2 pi int_0^1 r I dr = 0.8 pi.
    double flux() const { return 0.8 * PI; }
    const double* even_moments() const;
    // Weights of the product rule `rule` (product_rule::SIZE), each with the
    // factor 2 pi mu_i / flux: the integral over the star divided by its flux
    // is sum_i weights[i] A_ring(l, r_i).
    // They are the same for every call, and made once per process.
    const double* near_weights(int rule) const;
    // The product rule for the zone `zone` of the separation (0 from
    // PRODUCT_16_START on, 1 from PRODUCT_24_START, 2 nearest the star): the
    // law is smooth, and the rule's error on it far below the interpolant's
    // (see TableSource::near_rule).
    static int near_rule(int zone) { return zone; }
    // Smooth across the star: no cuts, and no kinks between them.
    void add_cuts(SourceCuts&) const {}
    bool kinked() const { return false; }
    // Never asked for, as kinked() says false.
    PiecewiseLine lines() const { return {nullptr, nullptr, nullptr, 0}; }
    bool stopped() const { return false; }
};

// What the ring family needs of a table besides its values: formed from the
// table alone (its Chebyshev moments in mu, and from them its flux, even
// moments and product-rule weights; its lines between kinks), the same for
// every separation, star and call.
struct TableMoments {
    // Moments M_j = int_0^1 P T_j(2 mu - 1) dmu formed from the table, j < this.
    static constexpr int CHEBYSHEV = product_rule::MAX_POINTS;
    double flux = 0.0;
    double even[EVEN_MOMENTS] = {};
    double chebyshev[CHEBYSHEV] = {};
    double weights[product_rule::SIZES][product_rule::MAX_POINTS] = {};
    // The radii where the table starts, kinks or ends, and the line between
    // each two of them: slope s_k and intercept y[k] - x[k] s_k at the first
    // radius k of the line, as interp forms them.
    std::vector<double> knot, slope, intercept;
    // For a fine table, the running sums of PiecewiseLine (departure, area, bend)
    // and its knots grouped with their changes of slope (ramps).
    std::vector<double> departure, area, bend;
    RampTree ramps;
    // And its segments grouped with their integrals against polynomials.
    LineTree segments;
    bool fine = false;  // more than MAX_TABLE_CUTS knots inside the star
    // Every segment's slope and intercept finite (see chebyshev_moments).
    bool finite_lines = true;
};

// The moments of a regular table (radii strictly increasing, values finite,
// equal lengths), in time linear in its length; `stop` is asked now and then,
// and null is returned when it says stop.  The moments of the last few
// tables are kept and returned again for the same table, found by its bits.
std::shared_ptr<const TableMoments> table_moments(const std::vector<double>& bl,
                                                  const std::vector<double>& bf, StopPoll& stop);

// A tabulated profile bl -> bf, read as interp reads it: linear between the
// radii, zero outside the table (a one-point table is its value everywhere).
// Only a table whose radii increase strictly and whose values are finite has
// moments of its own (regular() true), and of a fine table only one whose
// lines are finite too; any other goes through the quadrature of the whole
// profile, as the table's own reading decides it.
class TableSource {
public:
    // Finds or forms the table's moments (table_moments); stopped() tells
    // whether `stop` said stop meanwhile.
    TableSource(const PiecewiseLinear& profile, const std::vector<double>& bl,
                const std::vector<double>& bf, StopPoll& stop);
    bool regular() const { return regular_; }
    // A regular table without moments: `stop` said stop while they were formed.
    bool stopped() const { return regular_ && !moments_; }
    double brightness(double r, double mu) const {
        (void)mu;
        return profile_(r);
    }
    double flux() const { return moments_->flux; }
    const double* even_moments() const { return moments_->even; }
    // As LinearLawSource's.
    const double* near_weights(int rule) const { return moments_->weights[rule]; }
    // The next larger rule than the law's.  The product rule errs by
    // integral P (g - p_N) dmu, p_N the interpolant of the ring magnification
    // g in mu.  For a smooth profile the oscillating error g - p_N largely
    // averages out; a table may be rough (random values), or concentrated
    // where g - p_N is largest, at the nodes' ends (a thin bright shell at
    // the rim, mu near 0), and keep it whole: about rho_E^-N, rho_E the
    // ellipse of g's singularity at mu = i sqrt(l^2 - 1), 5.0 at l = 1.5 and
    // 2.3 at l = 1.05, so 1e-11 of the flux with 16 points at l = 1.5 and
    // 5e-13 with 32 at 1.05.  Eight points more bring both below 1e-15.
    static int near_rule(int zone) { return zone + 1; }
    // The radii inside the star where a coarse table has kinks or ends; a
    // fine table is cut only where it starts and ends.
    void add_cuts(SourceCuts& cuts) const;
    // Whether kinks remain between the cuts: a fine table's.
    bool kinked() const { return moments_->fine; }
    // The table as lines between its kinks, for the integral with the lens
    // on the star when kinked() says true.
    PiecewiseLine lines() const {
        const TableMoments& m = *moments_;
        return {m.knot.data(), m.slope.data(), m.intercept.data(), m.knot.size(), m.departure.data(),
                m.area.data(), m.bend.data(), &m.ramps, &m.segments};
    }

private:
    const PiecewiseLinear& profile_;
    bool regular_ = false;
    // Shared with the cache of table_moments: a call keeps its own however
    // the cache changes meanwhile.
    std::shared_ptr<const TableMoments> moments_;
};

// The mean-value series of a star with even moments m for a lens at
// u = l rho (Einstein radii), x = 1 / l^2: m[k] = <r^2k>, the mean of r^2k over
// the star weighted by its brightness.  m[0] = <1> is 1, exactly: a table's
// is its flux divided by the same sum, the law's is stored as 1.  It stands in
// the series as the weight of A(u), and is the limit far from the star.
double far_field_series(double u, double x, const double* m);

}  // namespace tarnivox
