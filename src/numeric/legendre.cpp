#include "numeric/legendre.hpp"

#include <cmath>
#include <cstddef>

#include "numeric/carlson.hpp"
#include "numeric/constants.hpp"

namespace tarnivox {
namespace {

constexpr double LN_4 = 1.3862943611198906;

// K(m) = P_K(x) - ln(x) Q_K(x), E(m) = P_E(x) - x ln(x) Q_E(x), x = 1 - m.
// Highest power first.
constexpr double K_P[] = {
    0.00013798286460627325, 0.002280257240058756, 0.007974040132204152, 0.00985821379021226,
    0.006874896874499499,   0.006189010336376876, 0.008790782739527438, 0.014938044891680526,
    0.0308851465246712,     0.09657359028116902,  1.3862943611198906,
};
constexpr double K_Q[] = {
    2.940789550485985e-05, 0.0009141847238659173, 0.005940583037531678, 0.01548505166497624,
    0.023908960271592488,  0.030120471522760404,  0.037377431417382326, 0.04882803475709983,
    0.07031249969639575,   0.12499999999987083,   0.5,
};
constexpr double E_P[] = {
    0.0001535525773010133, 0.0025088849216360204, 0.008687868165658896, 0.010735094905607619,
    0.007773954925167871,  0.007583952894135147,  0.011568843681057412, 0.021831799601555724,
    0.05680519456178606,   0.44314718056099084,   1.0,
};
constexpr double E_Q[] = {
    3.2795489857648585e-05, 0.0010096279267935672, 0.006506094899769275, 0.016886216399331133,
    0.026176974245449364,   0.03348339048882249,   0.04271809265189315,  0.0585936634471101,
    0.09374999971976443,    0.2499999999998883,
};

template <std::size_t N>
inline double horner(const double (&c)[N], double x) {
    double p = c[0];
    for (std::size_t i = 1; i < N; ++i) p = p * x + c[i];
    return p;
}

}  // namespace

// Valid for m <= 1.  For m < 0 the polynomials are applied as they stand, with
// x = 1 - m beyond the range (0, 1] they are fitted on, and the value is not
// K(m) there (3e-10 relative off at m = -0.5, 2 % at m = -3); the
// magnification formulas only pass 0 <= m < 1.
Numeric<double> ellipk(double m) {
    if (m > 1) return numeric_error("ellipk: m must be less than 1.");
    if (m == 1) return HUGE_VAL;
    if (m == 0) return HALF_PI;
    const double x = 1 - m;
    // Below eps the polynomials are at their constant terms: K ~ ln 4 - ln(x)/2.
    if (x < EPS) return LN_4 - 0.5 * std::log(x);
    return horner(K_P, x) - std::log(x) * horner(K_Q, x);
}

// Valid for m <= 1, a negative m through the transformation below.
Numeric<double> ellipe(double m) {
    if (m > 1) return numeric_error("ellipe: m must be less than 1.");
    if (m == 1) return 1.0;
    if (m == 0) return HALF_PI;
    // Imaginary-modulus transformation E(m) = sqrt(1 - m) E(m / (m - 1)), DLMF 19.7.5.
    double f = 1;
    while (m < 0) {
        f = f * std::sqrt(1 - m);
        m = m / (m - 1);
    }
    const double x = 1 - m;
    return f * (horner(E_P, x) - x * std::log(x) * horner(E_Q, x));
}

// Valid for m < 1 and n < 1, but for n < 0 with n == m, where the formula
// divides by zero and the value is not finite.
Numeric<double> ellippi(double n, double m) {
    if (m >= 1) return numeric_error("ellippi: m must be less than 1.");
    if (n >= 1) return numeric_error("ellippi: n must be less than 1.");
    if (n == 0) {
        if (m == 0) return HALF_PI;
        return ellipk(m);
    }
    const double m1 = 1 - m;
    if (n < 0) {
        // Negative characteristic: DLMF 19.25.2 on the transformed characteristic
        // m1 / (1 - n), which keeps R_J's p positive, joined to K(m) by
        // DLMF 19.7.10.
        auto F = elliprf(0, m1, 1);
        if (!F) return F;
        auto J = elliprj(0, m1, 1, m1 / (1 - n));
        if (!J) return J;
        auto K = ellipk(m);
        if (!K) return K;
        return m * *K / (m - n) - m1 * n * (*F + (m - n) / (1 - n) * *J / 3) / ((1 - n) * (m - n));
    }
    // Pi(n, m) = R_F(0, 1 - m, 1) + (n / 3) R_J(0, 1 - m, 1, 1 - n), DLMF 19.25.2.
    auto F = elliprf(0, m1, 1);
    if (!F) return F;
    auto J = elliprj(0, m1, 1, 1 - n);
    if (!J) return J;
    return *F + n * *J / 3;
}

}  // namespace tarnivox
