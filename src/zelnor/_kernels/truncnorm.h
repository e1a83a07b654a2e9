// The standard normal truncated to [a, b], a < b, either end infinite: the log of its mass
// N(b) - N(a), its mean, its variance, and P(X <= x), P(X > x) for the truncated X; in double.
//
// Notation: n, N the normal density and distribution function, Q(t) = N(-t), R(t) = Q(t)/n(t) the
// Mills ratio, d1 = -R', d3 = -R''', D(x, h) = (R(x - h) - R(x + h))/(2 h) its divided difference;
// x = (a + b)/2 the centre, h = (b - a)/2 the half-width, c = (b^2 - a^2)/2 = 2 x h.
//
// Reflection. [a, b] -> [-b, -a] keeps mass and variance, negates the mean and swaps cdf and sf, so
// the interval is reflected to -a <= b first. Everything below has x >= 0; the outputs of an interval
// and of its reflection are then the same numbers, up to the sign of the mean.
//
// Regimes (H = 1, K = 2):
//
// Narrow, h <= H and x h <= K: around the centre, n(x + y) = n(x) sum_k He_k(x) (-y)^k / k! with the
//   probabilists' Hermite polynomials, so with t_k = He_k(x) h^k / k!, the recurrence
//   t_(k+1) = (x h t_k - h^2 t_(k-1))/(k + 1), and m_j the mean of (y/h)^j n(x + y)/n(x) over [-h, h]:
//     m0 = sum_(k even) t_k/(k + 1),  m1 = -sum_(k odd) t_k/(k + 2),  m2 = sum_(k even) t_k/(k + 3),
//     mass = n(x) 2 h m0,  mean = x + h m1/m0,  var = h^2 (m2/m0 - (m1/m0)^2).
//   For large x the t_k are positive and the sums do not cancel; m0 >= exp(-h^2/6). The terms fall
//   like (x h)^k/k! and h^k/sqrt(k!); the last subtraction loses at most a factor 2.7 (at x h = K).
//   log n(x) takes the rounding error of x = a/2 + b/2 into account (x to the last bit matters when h
//   is small beside x); the moments depend on x only through x h.
// Straddling, a < 0 < b and not narrow (so h > H): N(b) - N(a) = (erf(b/sqrt 2) + erf(-a/sqrt 2))/2,
//   a sum; mean = n(a) q / M with q = 1 - n(b)/n(a) = -expm1(-c), no difference of densities;
//   var = 1 - (b n(b) - a n(a))/M - mean^2 loses at most a factor 4 there (worst at h = H).
// Tail pair, 0 <= a and not narrow (so c > 2): with S = (N(b) - N(a))/n(a) = R(a) - e^(-c) R(b),
//   whose second term is at most e^(-2) of the first,
//     log mass = -a^2/2 - log sqrt(2 pi) + log S,  mean = q/S,
//   and the variance as the mixture [a, inf) minus [b, inf) with weights w_a = R(a)/S and
//   w_b = e^(-c) R(b)/S (w_a - w_b = 1), tail variances v_t and tail means 1/R(t):
//     var = w_a v_a - w_b v_b - w_a w_b (1/R(b) - 1/R(a))^2,
//     1/R(b) - 1/R(a) = 2 h D(x, h)/(R(a) R(b))   (no cancellation however close a and b are).
//   Far out the interval's distribution tends to an exponential of rate x truncated to width 2h, whose
//   variance (1 - c^2 e^(-c)/(1 - e^(-c))^2)/x^2 shows the cancellation: the subtracted term is 0.44 of
//   the first at c = 4 (x h = K) and falls like c^2 e^(-c); a Gaussian factor only lowers it nearer 0.
//   So the two regimes meet where both are good, and no third formulation is needed in between:
//   measured over x h from 1/20 to 100 at x = 2 .. 10^6, the variance stays within 4e-15.
// Tail variance of [t, inf): v = g/R^2, g = R^2 + t R - 1 = R^2 - d1 for t < 1, and where that
//   cancels, g = (d1 - d3 + d1^2)/t^2, so v = (d1 - d3 + d1^2)/(t R)^2 (both lose about a factor 10
//   near t = 1, 6e-15 at worst).
// cdf and sf, each on its own: for 0 <= a, with S(s, t) = (N(t) - N(s))/n(s),
//     cdf = S(a, x)/S(a, b),  sf = (n(x)/n(a)) (S(x, b)/S(a, b)),
//   S(s, t) = R(s) - e^(-c) R(t) for c >= 1 and 2 h D(x, h) + q R(t) below, both free of cancellation
//   beyond a factor 2.2; n(x)/n(a) = exp(-(x^2 - a^2)/2) with the exponent exact (squares split by
//   fma), since its rounding would cost c eps. Straddling, each side is an erf sum or n(x) S on one
//   side of 0. The divided difference is needed only where c < 746, that is for x below about 2e9,
//   where its continued fraction cannot overflow.
//
// Measured against mpmath (tools/truncnorm_accuracy.py: 10^5 random intervals, centres 0 and
// +-10^-3 .. 10^6, half-widths 10^-12 max(1, |x|) .. 10^6, one in eight one-sided, one point each):
//   log mass  2.0 eps max(1, |log mass|)   (narrow; straddling 1.0, tail pair 1.4 eps)
//   mean      4.0e-16 max(|mean|, sd)
//   var       5.4e-15 relative             (tail pair near a = 7, 7.1e-15 with another seed; narrow
//                                            1.7e-15, straddling 1.3e-15)
//   cdf, sf   2.0e-15 relative
// Acceptance tolerances: 4 eps, 1e-14, 1e-13, 1e-13.
//
// Tiny intervals: where both ends lie below 2^-60 in magnitude the distribution is uniform to 2^-120,
// and the interval is first scaled by a power of two (exact) so that no subnormal end is halved or
// passed through erf: the uniform answers come out exact (cdf(4u, 3u, 7u) = 0.25 for u the smallest
// subnormal). The mean is kept within [a, b] (far in a tail 1/R(a) could round one ulp below a). The
// log mass is finite wherever a^2/2 is, up to |a| = sqrt(2 DBL_MAX).
//
// Far tail: for 0 < a the mean of [a, b] lies in (a, 1/R(a)], and 1/R(a) < a + 1/a. From a = 2^27 on,
// 1/a <= 2^-27 is below half an ulp of a (at least 2^-26), so the mean rounds to a and is returned as
// a, exactly. q/S would come to the same number but for the largest ends, where S ~ 1/a is subnormal
// (a beyond 4.5e307) and the quotient overflows.
//
// Invalid input: NaN in gives NaN out quietly; a > b gives a quiet NaN and raises the invalid flag.
// a == b gives the limits log mass -inf, mean a, var 0, and the distribution of the point a.
#ifndef ZELNOR_KERNELS_TRUNCNORM_H
#define ZELNOR_KERNELS_TRUNCNORM_H

#include "mills.h"

#ifdef __cplusplus
namespace zelnor {

ZELNOR_API double TruncNormLogMass(double a, double b);
ZELNOR_API double TruncNormMean(double a, double b);
ZELNOR_API double TruncNormVar(double a, double b);
ZELNOR_API double TruncNormCdf(double x, double a, double b);
ZELNOR_API double TruncNormSf(double x, double a, double b);

}  // namespace zelnor

extern "C" {
#endif

ZELNOR_API double zelnor_TruncNormLogMass(double a, double b);
ZELNOR_API double zelnor_TruncNormMean(double a, double b);
ZELNOR_API double zelnor_TruncNormVar(double a, double b);
ZELNOR_API double zelnor_TruncNormCdf(double x, double a, double b);
ZELNOR_API double zelnor_TruncNormSf(double x, double a, double b);

#ifdef __cplusplus
}
#endif

#endif
