// The integral over the source radius that the profile-integrated
// magnifications share: the radii where it is cut, its requested accuracy,
// and the sum of its pieces.
#pragma once

#include <cassert>
#include <utility>

#include "magnification/profile.hpp"
#include "numeric/interp.hpp"
#include "numeric/tanh_sinh.hpp"

namespace tarnivox {

// Requested absolute accuracy of every integral over the source radius.
inline constexpr double SOURCE_TOLERANCE = 1e-16;

// Radii inside (0, 1) where the integrand over the source is not smooth.
// The tanh-sinh rule copes with singularities at the ends of its interval
// only, so the integral over [0, 1] is cut at each of them.
// Whoever adds radii states beside its own limit, by a static_assert, that
// they fit: a radius beyond CAPACITY would be dropped (a debug build stops
// there instead).
struct SourceCuts {
    static constexpr int CAPACITY = 20;
    double r[CAPACITY];
    int count = 0;
    void add(double x) {
        if (!(0 < x && x < 1)) return;
        assert(count < CAPACITY);
        if (count < CAPACITY) r[count++] = x;
    }
    void sort() {  // a handful: insertion sort
        for (int i = 1; i < count; ++i)
            for (int j = i; j > 0 && r[j] < r[j - 1]; --j) std::swap(r[j], r[j - 1]);
    }
};

// The ring through the lens, r = l, when the lens lies inside the star: there
// the ring magnification diverges logarithmically.
inline SourceCuts lens_cut(double l) {
    SourceCuts cuts;
    cuts.add(l);
    return cuts;
}

// Integral over the source radius r in [0, 1], cut at the given radii; the
// pieces are summed from the centre outwards.
template <class G>
double integrate_over_source(G&& g, SourceCuts cuts) {
    cuts.sort();
    double a = 0.0;
    double sum = 0.0;
    for (int i = 0; i < cuts.count; ++i) {
        if (cuts.r[i] == a) continue;
        const double piece = integrate(g, a, cuts.r[i], SOURCE_TOLERANCE).value;
        // The first piece (a is 0 only before it) is taken as it is, not added
        // to 0.0: 0.0 + (-0.0) is +0.0, and an uncut integral must return the
        // quadrature's value bit for bit, the sign of a zero included.
        sum = (a == 0.0) ? piece : sum + piece;
        a = cuts.r[i];
    }
    const double last = integrate(g, a, 1.0, SOURCE_TOLERANCE).value;
    return (a == 0.0) ? last : sum + last;
}

// A tabulated profile is zero off its table, so it jumps at the table's end
// radii when they lie inside the star.
inline void add_jumps(const PiecewiseLinear& profile, SourceCuts& cuts) {
    if (profile.size() < 2) return;  // one point: constant everywhere
    cuts.add(profile.first_x());
    if (profile.last_x() != profile.first_x()) cuts.add(profile.last_x());
}
inline void add_jumps(const LinearLimbDarkening&, SourceCuts&) {}
// The ring through the lens and a table's two ends.
static_assert(3 <= SourceCuts::CAPACITY, "room for the lens and the jumps");

}  // namespace tarnivox
