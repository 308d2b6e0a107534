// Two doubles handled as one value: +, -, *, / and sqrt lane by lane, as the
// processor's 128-bit registers do them (SSE2, which every x86-64 has, and
// NEON on AArch64).  Each lane is one IEEE operation, correctly rounded, so a
// lane gives exactly the bits that the same operations on a single double
// give: code written on Packs returns the bits of its scalar form on every
// platform, with or without the vector unit.  Where the compiler offers
// vector types (GCC and Clang: the vector_size attribute, whose operators
// act lane by lane and which -ffp-contract=off keeps from contracting as it
// does scalars), a Pack is one register; elsewhere (MSVC) it is a single
// double and a Mask a bool, and the same code runs lane after lane.  Defining
// TARNIVOX_SCALAR_LANES selects that form with any compiler, so that the two
// can be compared bit for bit (tools/compiler_matrix.sh, gcc12-scalar).
#pragma once

#include <cmath>
#include <cstdint>

#if defined(__GNUC__) && !defined(TARNIVOX_SCALAR_LANES)
#define TARNIVOX_VECTOR_LANES 1
#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif
#endif

namespace tarnivox {
namespace lanes {

#if defined(TARNIVOX_VECTOR_LANES)

constexpr int WIDTH = 2;
typedef double Pack __attribute__((vector_size(2 * sizeof(double))));
// A comparison's result: all ones in a lane where it holds, zeros elsewhere.
typedef std::int64_t Mask __attribute__((vector_size(2 * sizeof(double))));

inline Pack splat(double x) { return Pack{x, x}; }
inline Pack load(const double* x) { return Pack{x[0], x[1]}; }
inline double lane(Pack x, int i) { return x[i]; }
inline void store(double* to, Pack x) {
    to[0] = x[0];
    to[1] = x[1];
}

inline Pack sqrt(Pack x) {
#if defined(__SSE2__)
    return (Pack)_mm_sqrt_pd((__m128d)x);
#elif defined(__aarch64__)
    return (Pack)vsqrtq_f64((float64x2_t)x);
#else
    return Pack{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}
// |x|: the sign bit cleared.
inline Pack abs(Pack x) { return (Pack)((Mask)x & ~(Mask)splat(-0.0)); }
inline Mask less(Pack x, Pack y) { return (Mask)(x < y); }
inline Mask greater(Pack x, Pack y) { return (Mask)(x > y); }
#if defined(__SSE2__)
// (GCC lowers x & ~y on 64-bit lanes lane by lane through the integer
// registers; the instructions themselves are one each.)
inline Mask both(Mask x, Mask y) { return (Mask)_mm_and_pd((__m128d)x, (__m128d)y); }
inline Mask but_not(Mask x, Mask y) { return (Mask)_mm_andnot_pd((__m128d)y, (__m128d)x); }
// yes where m holds, no elsewhere, bit for bit.
inline Pack select(Mask m, Pack yes, Pack no) {
    return (Pack)_mm_or_pd(_mm_and_pd((__m128d)m, (__m128d)yes), _mm_andnot_pd((__m128d)m, (__m128d)no));
}
#else
inline Mask both(Mask x, Mask y) { return x & y; }
inline Mask but_not(Mask x, Mask y) { return x & ~y; }
// yes where m holds, no elsewhere, bit for bit.
inline Pack select(Mask m, Pack yes, Pack no) { return (Pack)(((Mask)yes & m) | ((Mask)no & ~m)); }
#endif
inline bool any(Mask m) {
#if defined(__SSE2__)
    return _mm_movemask_pd((__m128d)m) != 0;
#else
    return (m[0] | m[1]) != 0;
#endif
}
inline bool all(Mask m) {
#if defined(__SSE2__)
    return _mm_movemask_pd((__m128d)m) == 3;
#else
    return (m[0] & m[1]) != 0;
#endif
}

#else

constexpr int WIDTH = 1;
typedef double Pack;
typedef bool Mask;

inline Pack splat(double x) { return x; }
inline Pack load(const double* x) { return x[0]; }
inline double lane(Pack x, int) { return x; }
inline void store(double* to, Pack x) { to[0] = x; }
inline Pack sqrt(Pack x) { return std::sqrt(x); }
inline Pack abs(Pack x) { return std::fabs(x); }
inline Mask less(Pack x, Pack y) { return x < y; }
inline Mask greater(Pack x, Pack y) { return x > y; }
inline Mask both(Mask x, Mask y) { return x && y; }
inline Mask but_not(Mask x, Mask y) { return x && !y; }
inline Pack select(Mask m, Pack yes, Pack no) { return m ? yes : no; }
inline bool any(Mask m) { return m; }
inline bool all(Mask m) { return m; }

#endif

}  // namespace lanes
}  // namespace tarnivox
