// Complete elliptic integrals in Legendre's form, as functions of the
// parameter m = k^2 and, for the third kind, the characteristic n:
//   K(m)     = int_0^{pi/2} dt / sqrt(1 - m sin^2 t)                  (DLMF 19.2.8)
//   E(m)     = int_0^{pi/2} sqrt(1 - m sin^2 t) dt                    (DLMF 19.2.8)
//   Pi(n, m) = int_0^{pi/2} dt / ((1 - n sin^2 t) sqrt(1 - m sin^2 t))  (DLMF 19.2.7)
// K and E by the polynomial-logarithmic approximations of Hastings type in the
// complementary parameter 1 - m (as tabulated by Cody, Math. Comp. 19 (1965)
// 105-112); Pi through Carlson's integrals.
#pragma once

#include "numeric/numeric_result.hpp"

namespace tarnivox {

Numeric<double> ellipk(double m);
Numeric<double> ellipe(double m);
Numeric<double> ellippi(double n, double m);

}  // namespace tarnivox
