// Constants shared by the kernels and the magnification formulas, each the
// double nearest to its value, written with the digits that round-trip.
#pragma once

namespace tarnivox {

inline constexpr double PI = 3.141592653589793;
inline constexpr double HALF_PI = 1.5707963267948966;
inline constexpr double TWO_PI = 6.283185307179586;

// The machine epsilon: the spacing of doubles at 1, 2^-52.
inline constexpr double EPS = 2.220446049250313e-16;

}  // namespace tarnivox
