// Carlson's symmetric elliptic integrals R_F, R_D, R_J and R_C (DLMF 19.16),
// by the duplication theorem (DLMF 19.26.18) finished with the Taylor series in
// the elementary symmetric functions of the scaled deviations (DLMF 19.36.1,
// 19.36.2), with closed forms for the degenerate argument patterns of
// DLMF 19.20 and the Cauchy principal values of DLMF 19.20.14 and 19.2.20.
//
// B. C. Carlson, "Numerical computation of real or complex elliptic
// integrals", Numer. Algorithms 10 (1995) 13-26.
#pragma once

#include "numeric/numeric_result.hpp"

namespace tarnivox {

Numeric<double> elliprf(double x, double y, double z);
Numeric<double> elliprd(double x, double y, double z);
Numeric<double> elliprj(double x, double y, double z, double p);
Numeric<double> elliprc(double x, double y);

}  // namespace tarnivox
