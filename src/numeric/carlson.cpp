// The duplication loops, their stopping bounds and the special cases follow
// Carlson (1995), algorithms 1 to 4, step by step, in the same arrangement as
// Boost.Math's ellint_rf, ellint_rd, ellint_rj and ellint_rc: the |A0| term in
// R_F's bound, R_D's signed differences and factor 1.2, the AGM for one zero
// argument and R_C(1, 1 + e) inside R_J are that arrangement, not slips.
//
// Domains (outside them a kernel returns its numeric error; a NaN argument
// passes every check and propagates):
//   R_F(x, y, z)     x, y, z >= 0, at most one of them zero;
//   R_D(x, y, z)     x, y >= 0, at most one of them zero, and z > 0;
//   R_J(x, y, z, p)  x, y, z >= 0, at most one of them zero, and p != 0;
//                    p < 0 gives the Cauchy principal value (DLMF 19.20.14);
//   R_C(x, y)        x >= 0 and y != 0; y < 0 gives the Cauchy principal
//                    value (DLMF 19.2.20).
// A duplication that has not met its bound after 11 (R_F), 50 (R_D) or 100
// (R_J) steps fails as not converged.
#include "numeric/carlson.hpp"

#include <cmath>
#include <utility>

#include "numeric/constants.hpp"

namespace tarnivox {
namespace {

constexpr double THREE_PI = 9.42477796076938;

// 2.7 eps: relative stop of the arithmetic-geometric-mean loops, which
// converge quadratically (DLMF 19.8.1).
constexpr double AGM_TOLERANCE = 5.995204332975846e-16;

// Carlson's stopping constants r^(-1/m) for the truncation of the series
// after the fifth-order (R_F: seventh-order) term: (3 eps)^(-1/8),
// (eps/4)^(-1/8) and (eps/5)^(-1/8).
constexpr double RF_STOP = 78.8959690786408;
constexpr double RD_STOP = 107.63474115247546;
constexpr double RJ_STOP = 110.67925377307274;

constexpr int RF_MAX_STEPS = 11;
constexpr int RD_MAX_STEPS = 50;
constexpr int RJ_MAX_STEPS = 100;

// Minimum and maximum that skip a NaN operand (as C's fmin and fmax), as the
// argument checks require: a NaN argument passes them and is dealt with by
// the formulas.  Written out so that they inline; the sign of a zero result
// is never observable where they are used.
inline double min2(double a, double b) { return (b < a || a != a) ? b : a; }
inline double max2(double a, double b) { return (b > a || a != a) ? b : a; }
inline double min3(double a, double b, double c) { return min2(min2(a, b), c); }
inline double max3(double a, double b, double c) { return max2(max2(a, b), c); }

// Series S of DLMF 19.36.2, shared by R_D and R_J.
double rj_series(double E2, double E3, double E4, double E5) {
    return 1 - 3 * E2 / 14 + E3 / 6 + 9 * (E2 * E2) / 88 - 3 * E4 / 22 - 9 * E2 * E3 / 52 +
           3 * E5 / 26 - (E2 * E2 * E2) / 16 + 3 * (E3 * E3) / 40 + 3 * E2 * E4 / 20 +
           45 * (E2 * E2) * E3 / 272 - 9 * (E3 * E4 + E2 * E5) / 68;
}

// R_C(1, 1 + e) formed without forming 1 + e when e is near -1, where that
// sum would cancel (the representation of DLMF 19.2.17 / 19.2.19 in e).
Numeric<double> rc_one_plus(double e) {
    if (e < -1) {
        auto rc = elliprc(-e, -1 - e);
        if (!rc) return rc;
        return std::sqrt(-1 / e) * *rc;
    }
    if (e == 0) return 1.0;
    if (e > 0) return std::atan(std::sqrt(e)) / std::sqrt(e);
    double t = std::sqrt(-e);
    if (-0.5 < e && e < 0) return (std::log1p(t) - std::log1p(-t)) / (2 * t);
    return std::log((1 + t) / std::sqrt(1 + e)) / t;
}

// Duplication for R_J with p > 0 (or NaN), Carlson (1995) algorithm 3.
Numeric<double> elliprj_duplication(double x, double y, double z, double p) {
    const double A0 = (x + y + z + 2 * p) / 5;
    double delta = (p - x) * (p - y) * (p - z);
    const double Q = RJ_STOP * max2(max2(std::fabs(A0 - x), std::fabs(A0 - y)),
                                    max2(std::fabs(A0 - z), std::fabs(A0 - p)));
    double An = A0;
    double fmn = 1;
    double s = 0;
    double xn = x, yn = y, zn = z, pn = p;
    for (int step = 0;; ++step) {
        if (step == RJ_MAX_STEPS) return numeric_error("elliprj: Fail to converge");
        const double rx = std::sqrt(xn), ry = std::sqrt(yn), rz = std::sqrt(zn), rp = std::sqrt(pn);
        const double Dn = (rp + rx) * (rp + ry) * (rp + rz);
        const double En = delta / (Dn * Dn);
        double term;
        if (-1.5 < En && En < -0.5) {
            // 1 + En by its own product form, free of cancellation near En = -1.
            const double b = 2 * rp * (pn + rx * (ry + rz) + ry * rz) / Dn;
            auto rc = elliprc(1, b);
            if (!rc) return rc;
            term = fmn / Dn * *rc;
        } else {
            auto W = rc_one_plus(En);
            if (!W) return W;
            term = fmn / Dn * *W;
        }
        s = s + term;
        const double lambda = rx * ry + rx * rz + ry * rz;
        An = (An + lambda) / 4;
        fmn = fmn / 4;
        if (An > fmn * Q) break;
        xn = (xn + lambda) / 4;
        yn = (yn + lambda) / 4;
        zn = (zn + lambda) / 4;
        pn = (pn + lambda) / 4;
        delta = delta / 64;
    }
    const double X = (A0 - x) * fmn / An;
    const double Y = (A0 - y) * fmn / An;
    const double Z = (A0 - z) * fmn / An;
    const double P = (-X - Y - Z) / 2;
    const double P2 = P * P;
    const double E2 = X * Y + X * Z + Y * Z - 3 * P2;
    const double E3 = X * Y * Z + 2 * E2 * P + 4 * (P2 * P);
    const double E4 = (2 * X * Y * Z + E2 * P + 3 * (P2 * P)) * P;
    const double E5 = X * Y * Z * P2;
    return fmn * std::pow(An, -1.5) * rj_series(E2, E3, E4, E5) + 6 * s;
}

}  // namespace

Numeric<double> elliprc(double x, double y) {
    if (x < 0) return numeric_error("elliprc: x must be non-negative.");
    if (y == 0) return numeric_error("elliprc: y must be non-zero.");
    double prefix = 1;
    if (y < 0) {
        // Cauchy principal value, DLMF 19.2.20.
        prefix = std::sqrt(x / (x - y));
        x = x - y;
        y = -y;
    }
    if (x == 0) return prefix * HALF_PI / std::sqrt(y);
    if (x == y) return prefix / std::sqrt(x);
    if (y > x) return prefix * std::atan(std::sqrt((y - x) / x)) / std::sqrt(y - x);  // DLMF 19.2.18
    if (y / x > 0.5) {
        // DLMF 19.2.19 as an inverse hyperbolic tangent: atanh(a) = (log1p(a) - log1p(-a)) / 2.
        const double a = std::sqrt((x - y) / x);
        return prefix * (std::log1p(a) - std::log1p(-a)) / (2 * std::sqrt(x - y));
    }
    return prefix * std::log((std::sqrt(x) + std::sqrt(x - y)) / std::sqrt(y)) / std::sqrt(x - y);
}

Numeric<double> elliprf(double x, double y, double z) {
    if (min3(x, y, z) < 0 || x + y == 0 || y + z == 0 || x + z == 0)
        return numeric_error("elliprf: x, y, and z must be non-negative, and at most one can be zero.");
    // Two equal arguments: R_F(x, y, y) = R_C(x, y), DLMF 19.2.17.
    if (x == y) {
        if (x == z) return 1 / std::sqrt(x);
        if (z == 0) return PI / (2 * std::sqrt(x));
        return elliprc(z, x);
    }
    if (x == z) {
        if (y == 0) return PI / (2 * std::sqrt(x));
        return elliprc(y, x);
    }
    if (y == z) {
        if (x == 0) return PI / (2 * std::sqrt(y));
        return elliprc(x, y);
    }
    // One argument zero: R_F(0, a, b) = pi / (2 AGM(sqrt a, sqrt b)), DLMF 19.22.1.
    if (x == 0 || y == 0 || z == 0) {
        double a, b;
        if (x == 0) {
            a = z; b = y;
        } else if (y == 0) {
            a = x; b = z;
        } else {
            a = x; b = y;
        }
        double xn = std::sqrt(a), yn = std::sqrt(b);
        while (std::fabs(xn - yn) >= AGM_TOLERANCE * std::fabs(xn)) {
            const double t = std::sqrt(xn * yn);
            xn = (xn + yn) / 2;
            yn = t;
        }
        return PI / (xn + yn);
    }
    const double A0 = (x + y + z) / 3;
    double Q = RF_STOP * max2(max2(std::fabs(A0), std::fabs(A0 - x)),
                              max2(std::fabs(A0 - y), std::fabs(A0 - z)));
    double xn = x, yn = y, zn = z, An = A0, fn = 1;
    for (int step = 1;; ++step) {
        const double rx = std::sqrt(xn), ry = std::sqrt(yn), rz = std::sqrt(zn);
        const double lambda = rx * ry + rx * rz + ry * rz;
        An = (An + lambda) / 4;
        xn = (xn + lambda) / 4;
        yn = (yn + lambda) / 4;
        zn = (zn + lambda) / 4;
        Q = Q / 4;
        fn = 4 * fn;
        if (std::fabs(An) > Q) break;
        if (step == RF_MAX_STEPS) return numeric_error("elliprf: Failed to converge.");
    }
    const double X = (A0 - x) / (fn * An);
    const double Y = (A0 - y) / (fn * An);
    const double Z = -X - Y;
    const double E2 = X * Y - Z * Z;
    const double E3 = X * Y * Z;
    return (1 + E3 * (1.0 / 14 + 3 * E3 / 104) +
            E2 * (-1.0 / 10 + E2 / 24 - 3 * E3 / 44 - 5 * E2 * E2 / 208 + E2 * E3 / 16)) /
           std::sqrt(An);
}

Numeric<double> elliprd(double x, double y, double z) {
    if (min2(x, y) < 0 || x + y == 0)
        return numeric_error("elliprd: x and y must be non-negative, and at most one can be zero.");
    if (z <= 0) return numeric_error("elliprd: z must be positive");
    // R_D is symmetric in x and y only.
    if (x == z) std::swap(x, y);
    if (y == z) {
        if (x == y) return 1 / (x * std::sqrt(x));
        if (x == 0) return THREE_PI / (4 * y * std::sqrt(y));
    }
    if (x == 0) {
        // Carlson's case of one zero argument: the AGM of sqrt(y), sqrt(z) with
        // the running sum of squared differences (Carlson 1995, eq. 2.43).
        const double x0 = std::sqrt(y), y0 = std::sqrt(z);
        double xn = x0, yn = y0, s = 0, w = 0.25;
        while (std::fabs(xn - yn) >= AGM_TOLERANCE * std::fabs(xn)) {
            const double t = std::sqrt(xn * yn);
            xn = (xn + yn) / 2;
            yn = t;
            w = 2 * w;
            s = s + w * ((xn - yn) * (xn - yn));
        }
        const double RF = PI / (xn + yn);
        return 3 * RF * ((x0 + 3 * y0) / (4 * z * (x0 + y0)) - s / (z * (y - z)));
    }
    const double A0 = (x + y + 3 * z) / 5;
    double Q = RD_STOP * max3(A0 - x, A0 - y, A0 - z) * 1.2;
    double xn = x, yn = y, zn = z, An = A0, fn = 1, s = 0;
    for (int step = 1;; ++step) {
        const double rx = std::sqrt(xn), ry = std::sqrt(yn), rz = std::sqrt(zn);
        const double lambda = rx * ry + rx * rz + ry * rz;
        s = s + fn / (rz * (zn + lambda));
        An = (An + lambda) / 4;
        xn = (xn + lambda) / 4;
        yn = (yn + lambda) / 4;
        zn = (zn + lambda) / 4;
        fn = fn / 4;
        Q = Q / 4;
        if (An > Q) break;
        if (step == RD_MAX_STEPS) return numeric_error("elliprd: Failed to converge.");
    }
    const double X = (A0 - x) * fn / An;
    const double Y = (A0 - y) * fn / An;
    const double Z = -(X + Y) / 3;
    const double Z2 = Z * Z;
    const double E2 = X * Y - 6 * Z2;
    const double E3 = (3 * X * Y - 8 * Z2) * Z;
    const double E4 = 3 * (X * Y - Z2) * Z2;
    const double E5 = X * Y * (Z2 * Z);
    return fn * std::pow(An, -1.5) * rj_series(E2, E3, E4, E5) + 3 * s;
}

Numeric<double> elliprj(double x, double y, double z, double p) {
    if (min3(x, y, z) < 0 || min3(x + y, y + z, x + z) == 0)
        return numeric_error("elliprj: x, y, and z must be non-negative, and at most one can be zero.");
    if (p == 0) return numeric_error("elliprj: p must be non-zero");
    if (x == y) {
        if (x == z) {
            if (x == p) return 1 / (x * std::sqrt(x));
            // R_J(x, x, x, p) = 3 (R_C(x, p) - x^(-1/2)) / (x - p), DLMF 19.20.5.
            auto rc = elliprc(x, p);
            if (!rc) return rc;
            return 3 * (*rc - 1 / std::sqrt(x)) / (x - p);
        }
        std::swap(x, z);  // now y == z
    }
    if (y == z) {
        if (y == p) return elliprd(x, y, y);
        if (max2(y, p) / min2(y, p) > 1.2) {
            // R_J(x, y, y, p) = 3 (R_C(x, y) - R_C(x, p)) / (p - y), DLMF 19.20.6 (p != y).
            auto rcy = elliprc(x, y);
            if (!rcy) return rcy;
            auto rcp = elliprc(x, p);
            if (!rcp) return rcp;
            return 3 * (*rcy - *rcp) / (p - y);
        }
    }
    if (z == p) return elliprd(x, y, z);  // DLMF 19.20.5: R_J(x, y, z, z) = R_D(x, y, z)
    if (p < 0) {
        // Cauchy principal value by DLMF 19.20.14 with x <= y <= z.
        if (x > y) std::swap(x, y);
        if (y > z) std::swap(y, z);
        if (x > y) std::swap(x, y);
        const double p1 = ((x + y - p) * z - x * y) / (z - p);
        auto V1 = elliprj(x, y, z, p1);
        if (!V1) return V1;
        auto V2 = elliprf(x, y, z);
        if (!V2) return V2;
        const double w = -p * p1;
        auto V3 = elliprc(x * y + w, w);
        if (!V3) return V3;
        return ((p1 - z) * *V1 - 3 * *V2 + 3 * std::sqrt(x * y * z / (x * y + w)) * *V3) / (z - p);
    }
    return elliprj_duplication(x, y, z, p);
}

}  // namespace tarnivox
