// Baseline for the uniform-disk benchmark: the Witt & Mao (ApJ 430 (1994) 505)
// closed form evaluated with the complete elliptic integrals of the C++17
// standard library (libstdc++'s std::comp_ellint_1/2/3), with the same
// constants, grouping and rim limit as tarnivox, so that the two differ only
// in how K, E and Pi are computed.
//
// The standard functions take the modulus k, not the parameter m = k^2, and
//   std::comp_ellint_3(k, nu) = integral_0^{pi/2} dt / ((1 - nu sin^2 t) sqrt(1 - k^2 sin^2 t)),
// that is Pi(n = nu, m = k^2) in the convention of DLMF 19.2.7 (the benchmark
// checks this sign against an independent value before it times anything).
//
// Built by the benchmark with  g++ -O2 -ffp-contract=off -std=c++17 -shared -fPIC
// and called through ctypes.
#include <cmath>
#include <cstddef>

namespace {

constexpr double PI = 3.141592653589793;
constexpr double HALF_PI = 1.5707963267948966;
constexpr double TWO_PI = 6.283185307179586;
constexpr double RIM_FRACTION = 1e-5;

}  // namespace

extern "C" {

// out[i] = magnification of a uniform disk of radius rho (Einstein radii) for
// a lens at u = l[i] * rho, i < count.  Returns 0.
int witt_mao_libstdcxx(const double* l, std::size_t count, double rho, double* out) {
    const double rho2 = rho * rho;
    const double four_rho = 4.0 * rho;
    const double two_rho2 = rho2 + rho2;
    const double one_p = 1.0 + rho2;
    const double two_over_rho = 2.0 / rho;
    const double g = one_p / rho2;
    const double x = (-1.0 + rho2) / one_p;
    const double rim_window = RIM_FRACTION * rho;
    for (std::size_t i = 0; i < count; ++i) {
        const double u = l[i] * rho;
        const double d = u - rho;
        if (std::fabs(d) < rim_window) {
            out[i] = ((std::asin(x) + HALF_PI) * g + two_over_rho) / PI;
            continue;
        }
        const double s = rho + u;
        const double d2 = d * d;
        const double t = std::sqrt(d2 + 4.0);
        const double n = (four_rho * u) / (s * s);
        const double k = std::sqrt(n * 4.0) / t;  // the modulus, as the standard functions take it
        const double h = (u * u - rho2) * 0.5;
        const double E = std::comp_ellint_2(k);
        const double K = std::comp_ellint_1(k);
        const double P = std::comp_ellint_3(k, n);
        const double term_K = ((d * (h + 4.0)) / (rho2 * t)) * K;
        const double term_E = E * ((t * s) / two_rho2);
        const double term_P = P * ((one_p * (d2 + d2)) / ((rho2 * s) * t));
        const double X = term_P + (term_E - term_K);
        out[i] = (X - PI) / TWO_PI + (X + PI) / TWO_PI;
    }
    return 0;
}

// The three standard integrals at one point, for the convention check:
// out = {K(k), E(k), Pi(nu, k)}.
void comp_ellint_libstdcxx(double k, double nu, double* out) {
    out[0] = std::comp_ellint_1(k);
    out[1] = std::comp_ellint_2(k);
    out[2] = std::comp_ellint_3(k, nu);
}

}  // extern "C"
