#include "magnification/profile.hpp"

#include "magnification/source_integral.hpp"
#include "numeric/constants.hpp"

namespace tarnivox {

double flux_normalisation(const PiecewiseLinear& profile) {
    auto Q = [&](double r) { return profile(r) * (TWO_PI * r); };
    SourceCuts cuts;
    add_jumps(profile, cuts);
    return integrate_over_source(Q, cuts);
}

}  // namespace tarnivox
