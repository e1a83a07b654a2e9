// Mills ratio R(x) = N(-x)/n(x) of the standard normal distribution, its derivatives -R' and -R''',
// and the relative form Rrel(x) = (sqrt(pi/2) - R(x))/x on [0, 1], in float and double.
//
// Identities used throughout:
//   -R'(x)   = 1 - x R(x)                      (from R' = x R - 1)
//   -R'''(x) = u (-R'(x)) - 1,  u = x^2 + 3     (= x^2 + 2 - x (x^2 + 3) R(x))
//   R(-y)    = sqrt(2 pi) exp(y^2/2) - R(y)     (reflection; differentiated for -R' and -R''')
//
// Regimes of R (the derivatives split the line the same way, with their own thresholds):
//   x < -L                 +inf, where exp(x^2/2) overflows (L = sqrt(2 ln(largest finite T)))
//   -L <= x < 0            reflection: one exponential and R at -x
//   0 <= x <= 1            R = sqrt(pi/2) - x Rrel(x), Rrel from the C_Rrel pieces (z = 12 x)
//   1 < x < 9.5            R = (1 - p)/x, p = -R'(x) from the C_R1 pieces (z = 32 (x - 1)/(x + 2.5))
//   9.5 <= x < 6.7e7       a continued-fraction convergent in closed form, its order falling as x grows
//   x >= 6.7e7             1/x, whose relative error 1/x^2 is below 2^-52 there
// Each convergent order is used only from the point where its relative truncation error is at most
// about 2^-52; -R' and -R''' come from their convergents written as one ratio of polynomials in
// u = x^2 + 3, so the differences 1 - x R and x^2 + 2 - x (x^2 + 3) R are never formed.
//
// Measured against mpmath over every regime, densely around every threshold and table row
// (tools/accuracy_report.py; double): R within 4.5e-16 relative, -R' within 8.9e-16 (8.85e-16 near
// x = 0.991, in the last C_Rrel row, where 1 - x R is formed from Rrel), -R''' within 8e-16 for
// x >= 0; for x < 0 the exponential's conditioning, about (x^2/2 + 2) eps, sets the limit.
// Float (tools/float_accuracy.py): R within 2.0 float ulps, -R' 3.0, -R''' 4.8 (in the C_R3 rows),
// Rrel 1.2 for x >= 0; for x < 0 within 0.85 (x^2/2 + 2) float eps.
//
// Every product and sum is rounded on its own (compile with -ffp-contract=off), so results are
// reproducible bit for bit given the same exponential. The regime thresholds live in mills_regimes.h;
// mills_simd.h evaluates R, -R' and -R''' several elements per instruction with the same bits (how
// the lanes are organised and why the result is identical is described there).
#ifndef ZELNOR_KERNELS_MILLS_H
#define ZELNOR_KERNELS_MILLS_H

// Entry points, template instantiations and tables stay exported even where the build hides symbols
// by default, so that other native code can link against them. A Windows DLL exports them when it is
// built (ZELNOR_BUILDING_DLL) and its users import them (ZELNOR_DLL, which zelnor.pc and the CMake
// package set); code that compiles the kernel sources into itself, or links the static library,
// defines neither.
//
// For users of the installed library (zelnor.pc, find_package(zelnor)): these headers only declare;
// every kernel is compiled inside the library, with contraction off and without fast-math, so a
// program's own flags do not change a result. Do not recompile the kernels with other floating-point
// flags, and do not replace the library by a build of another version without rebuilding against its
// headers.
#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(ZELNOR_BUILDING_DLL)
#define ZELNOR_API __declspec(dllexport)
#elif defined(ZELNOR_DLL)
#define ZELNOR_API __declspec(dllimport)
#else
#define ZELNOR_API
#endif
#elif defined(__GNUC__)
#define ZELNOR_API __attribute__((visibility("default")))
#else
#define ZELNOR_API
#endif

#ifdef __cplusplus
namespace zelnor {

// Order-n continued-fraction convergent: d = 0 gives R(x) from x; d = 1 gives -R'(x) and d = 3 gives
// -R'''(x), both from u = x^2 + 3 formed by the caller. n = 2, 4, ..., 12; other n act as 12.
template <typename T> ZELNOR_API T MillsRatio_CF(T x_or_u, int n, int d);

template <typename T> ZELNOR_API T MillsRatio(T x);
template <typename T> ZELNOR_API T MillsRatioDeriv1(T x);
template <typename T> ZELNOR_API T MillsRatioDeriv3(T x);

// Defined for 0 <= x <= 1; outside, row 0 or row 11 is extrapolated and no read leaves the table.
template <typename T> ZELNOR_API T MillsRatioRel_below1(T x);

}  // namespace zelnor

extern "C" {
#endif

// Plain C entry points, each forwarding to the double instantiation.
ZELNOR_API double zelnor_MillsRatio(double x);
ZELNOR_API double zelnor_MillsRatioDeriv1(double x);
ZELNOR_API double zelnor_MillsRatioDeriv3(double x);
ZELNOR_API double zelnor_MillsRatioRel_below1(double x);
ZELNOR_API double zelnor_MillsRatio_CF(double xu, int n, int d);

#ifdef __cplusplus
}
#endif

#endif
