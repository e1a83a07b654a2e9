// Divided differences of the Mills ratio R, in float and double.
//
// MillsRatioDiff(x, dx, theta) returns, for theta >= 0, the symmetric divided difference
//   (R(x - dx) - R(x + dx))/(2 dx),
// and, for theta < 0, the reflected sum (R(dx - x) + R(x + dx))/(2 dx), whose two evaluations lie on
// positive arguments when dx > |x|. The sum has no cancellation and is always formed directly. The
// difference cancels when dx is small, so it is split four ways, with a = x - |dx|:
//   x <= -1.25                             the reflected difference below, for every step
//   dx < (1.25 + x) 0.0392 and a >= 21.2   the divided difference of a continued-fraction convergent,
//                                          depth 2, 4, 6 or 8 from a >= 12800, 165, 41, 21.2 (the
//                                          depths -R' itself uses from those points)
//   dx < (1.25 + x) 0.0392 and a < 21.2    a five-term Taylor series in dx seeded from -R'''(x)
//   beyond the window and x < 0            the reflected difference again: the window closes towards
//                                          -1.25, and the direct difference of a step just beyond it
//                                          cancels (1.2 relative at x = -1.25 + 1.8e-15, dx = 1.2e-16)
//   otherwise (and for NaN)                (R(a) - R(x + |dx|))/(2 |dx|), two Mills ratios
// The difference is even in dx, and the kernel computes it with |dx|, so a negative step gives the
// value of the positive one bit for bit. The quotient by 2 dx is formed without overflowing 2 dx, and
// an infinite Mills ratio in the numerator gives an infinite result, not inf/inf.
//
// Reflected difference. For x <= -1.25 the window is empty, and R(x - h) - R(x + h) of two large
// reflected values cancels (0.14 relative at x = -30, h = 1e-14, 0/0 at h = 0). With y = -x the
// reflection R(-t) = sqrt(2 pi) exp(t^2/2) - R(t) at t = y + h and y - h gives the sum of two positive terms
//   D(x, h) = sqrt(2 pi) exp((y^2 + h^2)/2) sinh(y h)/h + D(y, h),
// D(y, h) from the regimes above (y > 0), the first term as sqrt(2 pi) y exp((y + h)^2/2) (1 - e^(-t))/t,
// t = 2 y h, with its exponent carried to twice the working precision; at h = 0 it is -R'(x).
//
// Taylor regime. Differentiating R' = x R - 1 by Leibniz's rule gives R^(k+1) = x R^(k) + k R^(k-1);
// eliminating the even orders leaves, with u = x^2 + 3,
//   -R'(x)        = (1 + (-R'''(x)))/u
//   -R^(2m+1)(x)  = (u + 4 (m - 1)) (-R^(2m-1)(x)) - (2m - 1)(2m - 2) (-R^(2m-3)(x)),  m = 2, 3, 4,
// so the one transcendental input is -R'''(x) (the depth-12 convergent from x >= 17.1, below it
// MillsRatioDeriv3), and
//   (R(x - h) - R(x + h))/(2h) = -R' - R''' h^2/3! - R^(5) h^4/5! - R^(7) h^6/7! - R^(9) h^8/9! + O(h^10).
//
// Continued-fraction regime. The m-th convergent K_m = A_m/B_m of R = 1/(x + 1/(x + 2/(x + ...))),
// with A_(k+1) = x A_k + k A_(k-1), B likewise, A_0 = 0, A_1 = 1, B_0 = 1, B_1 = x, is cut after its
// n-th partial numerator for m = n + 1. For b = x + dx and a = x - dx the cross difference
//   V_m = (A_m(a) B_m(b) - A_m(b) B_m(a))/(b - a)
// together with the companion
//   T_m = ((a A_m(a) B_(m-1)(b) - b A_m(b) B_(m-1)(a)) + (b A_(m-1)(a) B_m(b) - a A_(m-1)(b) B_m(a)))/(b - a)
// obeys the polynomial recurrences
//   V_(k+1) = a b V_k + k (T_k + k V_(k-1)),
//   T_(k+1) = (a^2 + b^2) V_k + k ((k - 1) T_(k-1) + 2 a b V_(k-1)),
// from V_1 = 1, V_2 = a b - 1, T_1 = -1, T_2 = a^2 + b^2 + 1, and Pa = B(a), Pb = B(b) the three-term one,
// so that (K_m(a) - K_m(b))/(b - a) = V_m/(Pb_m Pa_m) with no difference of close values anywhere
// (every added term is positive for a, b > 0). dx = 0 needs no special case: it gives -K_m'(x).
// The denominators grow like a^m and b^m; where the plain arithmetic would overflow, the carried
// triples are rescaled by powers of two (Pa, Pb and V with T each with their own exponent) and the
// quotient is assembled from mantissas and exponents, so the result stays right to the end of the
// normal range at any x and any depth. The rescaled evaluation runs only where the plain arithmetic
// ends in 0, an infinity or NaN, so every finite nonzero plain result is kept bit for bit. Where even
// a^2 + b^2 overflows, the divided difference is 1/(a b) to far below the last place.
//
// Measured against mpmath (double):
//   difference branch, -1 <= x <= 60: 1.46e-14 relative, in the Taylor regime just inside the window
//     edge (x = 10.617, dx = 0.465); direct regime 5.9e-15, on the edge (x = 16.74, dx = 0.705), where
//     R(x - dx) - R(x + dx) cancels most; continued-fraction regime 1.9e-15; 60 < x <= 1e6: 5.0e-15,
//     direct just beyond the window edge (x = 117.6, dx = 5.23);
//     reflected difference, -37 <= x <= -1.25, 0 <= dx <= 30, x - dx above the overflow point:
//     3.3 eps (at x = -6.6, dx = 2.2), at most 0.93 eps ((x^2 + dx^2)/2 + 2) (at x = -1.25, where
//     D(y, h) weighs most);
//     -1.25 < x < 0, 0 <= dx <= 30, x - dx above the overflow point (tools/accuracy_report.py, and
//     20000 points dense at -1.25 and around the window edge): below -0.5 at most
//     1.5 eps ((x^2 + dx^2)/2 + 2); from -0.5 to 0 up to 12 eps ((x^2 + dx^2)/2 + 2), 24 eps just
//     beyond the window near x = -0.03, dx = 0.05, where D(y, h) in the sum cancels as the direct
//     difference does on the other side of 0 (the direct difference there: 13 eps ((x^2 + dx^2)/2 + 2));
//   reflected sum: 3.4e-16 where both arguments are non-negative; with a negative argument y,
//     1.5 (y^2/2 + 2) eps, the conditioning of exp(y^2/2);
//   continued-fraction difference against the exact divided difference of the convergent, for
//     x - dx >= 21.2: 7.4 eps at depths up to 8, 0.9 n eps at depths n from 9 to 30; far out (x up to
//     3e161, depths up to 10000, the plain recurrence overflowing): 6.3 eps at depths up to 8, 0.6 n eps
//     beyond; small arguments, where signs mix in the first passes: 1.75e-14 at x = 0.5, dx = 1/8,
//     depth 11;
//   n_terms = INT_MAX: about 6 s (2^31 passes of 3 ns).
// Float runs the same steps in float (tools/float_accuracy.py, in float ulps): Taylor regime 2.9;
// continued-fraction regime 14; direct regime up to 43 just beyond the window edge, where
// R(x - dx) - R(x + dx) cancels most (42.5 at x = 187.33597, dx = 7.435887); reflected difference
// 4.6, within 0.55 ((x^2 + dx^2)/2 + 2) float eps below -1.25, 2.5 float eps (0.29 of that unit)
// for -1.25 < x < -0.5 and 1.8 ((x^2 + dx^2)/2 + 2) float eps from -0.5 to 0; reflected sum within
// 1.3 (y^2/2 + 2) float eps for a negative argument y; the continued-fraction difference up to 22 at
// depths up to 8 (21.7 at x = 4118.159, dx = 0.2526059, depth 8), about 1.3 n at depths n to 30.
//
// Every product and sum is rounded on its own (compile with -ffp-contract=off).
#ifndef ZELNOR_KERNELS_DIVDIFF_H
#define ZELNOR_KERNELS_DIVDIFF_H

#include "mills.h"

#ifdef __cplusplus
namespace zelnor {

// (K_m(x - dx) - K_m(x + dx))/(2 dx) for the convergent cut after n_terms partial numerators
// (m = n_terms + 1); n_terms = 0 gives 1/((x - dx)(x + dx)), negative n_terms act as 1.
template <typename T> ZELNOR_API T MillsRatioDiff_CF(T x, T dx, int n_terms);

// theta >= 0: (R(x - dx) - R(x + dx))/(2 dx); theta < 0: (R(dx - x) + R(x + dx))/(2 dx).
template <typename T> ZELNOR_API T MillsRatioDiff(T x, T dx, int theta);

}  // namespace zelnor

extern "C" {
#endif

// Plain C entry points, each forwarding to the double instantiation.
ZELNOR_API double zelnor_MillsRatioDiff(double x, double dx, int theta);
ZELNOR_API double zelnor_MillsRatioDiff_CF(double x, double dx, int n_terms);

#ifdef __cplusplus
}
#endif

#endif
