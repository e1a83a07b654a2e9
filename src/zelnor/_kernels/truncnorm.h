// The standard normal truncated to [a, b], a < b, either end infinite: the log of its mass
// N(b) - N(a), its mean, its variance, and P(X <= x), P(X > x) for the truncated X; its density and
// log density, log P(X <= x) and log P(X > x), the quantiles (inverses of cdf and sf), the entropy,
// and the derivatives of the log mass in a and in b; in double.
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
// Across zero the log mass takes the straddling form below at every width, and the mean from h = 1/8
//   on (where the series would take more terms than the densities and halves cost); the variance,
//   whose straddling form cancels as h falls, keeps the series.
// Straddling, a < 0 < b and not narrow (so h > H): N(b) - N(a) = (N(-a) - N(0)) + (N(b) - N(0)), a
//   sum of halves, each 2 (N(t) - N(0)) = erf(t/sqrt 2) for t < 1 and 1 - 2 n(t) R(t) from 1 on (at
//   least 0.68, so the difference loses under an ulp; n(t) is shared with the mean and variance, and
//   it is 1 from t = 8.5 on); mean = n(a) q / M with q = 1 - n(b)/n(a) = -expm1(-c), no difference of densities;
//   var = 1 - (b n(b) - a n(a))/M - mean^2 loses at most a factor 4 there (worst at h = H).
// Tail pair, 0 <= a and not narrow (so c > 2): with S = (N(b) - N(a))/n(a) = R(a) - e^(-c) R(b),
//   whose second term is at most e^(-2) of the first,
//     log mass = -a^2/2 - log sqrt(2 pi) + log S,  mean = q/S,
//   and the variance as the mixture [a, inf) minus [b, inf) with weights w_a = R(a)/S and
//   w_b = e^(-c) R(b)/S (w_a - w_b = 1), tail variances v_t and tail means 1/R(t):
//     var = w_a v_a - w_b v_b - w_a w_b (1/R(b) - 1/R(a))^2,
//     1/R(b) - 1/R(a) = 2 h D(x, h)/(R(a) R(b))   (no cancellation however close a and b are).
//   From c = 37.5 on e^(-c) R(b) lies below half an ulp of R(a), and S is R(a) without R(b); the
//   variance is v_a wherever a bound (w_b <= e^(-c)(1 + 2e^(-c)), v_b <= v_a, 1/R(b) - 1/R(a) < b + 1/b)
//   puts both terms of b below 2^-56 v_a: the same bits, without the Mills ratios of b.
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
//   S(s, t) = R(s) - e^(-c) R(t) for c >= 1 (a loss of at most a factor 1.6), and below, where
//   h < 0.71 and x h < 1/2 (s >= 0) and the Hermite series is short, the mass n(x) 2 h m0 over n(s):
//   S(s, t) = (t - s) m0 exp(-h (x + s)/2), free of cancellation; a Mills ratio is evaluated only where
//   a formula reads it, and once for each point. Where the whole interval has c < 1, so has each part,
//   and the ratio of part and whole takes the two series and one exponential,
//   ((t - s)/(b - a)) (m0(x_p, h_p)/m0(x_c, h)) exp(-(x_p - x_c)(x_p + x_c)/2) for the part [s, t]
//   with centre x_p and the whole with centre x_c, x_p - x_c being (x - b)/2 or (x - a)/2 for the
//   centres as meant (not as rounded), so the exponent keeps its error relative to itself.
//   n(x)/n(a) = exp(-(x^2 - a^2)/2) with the exponent exact (squares split by fma), since its rounding
//   would cost c eps. Straddling, each side is a sum of halves or n(x) S on one side of 0, the halves
//   of the whole shared with the part. The variance's divided difference is needed only where
//   c < 746, that is for x below about 2e9, where its continued fraction cannot overflow.
//
// Measured against mpmath (tools/truncnorm_accuracy.py: 10^5 random intervals, centres 0 and
// +-10^-3 .. 10^6, half-widths 10^-12 max(1, |x|) .. 10^6, one in eight one-sided, one point each):
//   log mass  2.0 eps max(1, |log mass|)   (narrow; straddling 1.0, tail pair 1.4 eps)
//   mean      4.0e-16 max(|mean|, sd)
//   var       5.4e-15 relative             (tail pair near a = 7, 7.1e-15 with another seed; narrow
//                                            1.7e-15, straddling 1.3e-15)
//   cdf, sf   7.4e-16, 7.7e-16 relative (tail pair, narrow)
// Acceptance tolerances: 4 eps, 1e-14, 1e-13, 1e-13.
//
// Tiny intervals: where both ends lie below 2^-60 in magnitude the distribution is uniform to 2^-120,
// and the interval is first scaled by a power of two (exact) so that no subnormal end is halved or
// passed through erf: the uniform answers come out exact (cdf(4u, 3u, 7u) = 0.25 for u the smallest
// subnormal). The newer functions scale the same way: logpdf gains k log 2 (pdf is multiplied by 2^k
// exactly), the entropy loses it, the slopes of the log mass are multiplied by 2^k and the quantiles by
// 2^-k, logcdf and logsf are unchanged; so ppf(0.25, 3u, 7u) = 4u, entropy(3u, 7u) = log(4u), and the
// density and slopes of a width below about 1/DBL_MAX overflow, as their values do. On a larger
// interval, a side of x within 2^-60 of 0 has the probability (its width) n(0)/M, and a quantile there is
// the tiny end moved by p M/n(0), where the formulas would halve a subnormal width. The mean is kept within [a, b] (far in a tail 1/R(a) could round one ulp below a). The
// log mass is finite wherever a^2/2 is, up to |a| = sqrt(2 DBL_MAX).
//
// Far tail: for 0 < a the mean of [a, b] lies in (a, 1/R(a)], and 1/R(a) < a + 1/a. From a = 2^27 on,
// 1/a <= 2^-27 is below half an ulp of a (at least 2^-26), so the mean rounds to a and is returned as
// a, exactly. q/S would come to the same number but for the largest ends, where S ~ 1/a is subnormal
// (a beyond 4.5e307) and the quotient overflows.
//
// Log density, log probabilities, quantiles, entropy and the gradient of the log mass (the interval
// reflected as above; A = (x^2 - a^2)/2 kept as an unevaluated pair, squares split by fma, so that
// n(x)/n(a) = e^(-A) and its log are exact to one rounding however far out):
//   logpdf  tail pair: -A - log S(a, b), which holds the narrow intervals far out too (S from the
//           divided difference); elsewhere log n(x) - log M, M not small. pdf = exp(logpdf).
//   logcdf, logsf  each side of x is a near side (towards a in the tail pair, towards 0 when
//           straddling) with a direct ratio of scaled masses or erf sums, and a far side, the density
//           factor times a ratio of scaled masses that never underflows: log = -A + log(ratio), finite
//           wherever the probability is positive (logcdf(-40, -inf, inf) = -804.608...). A side that
//           holds more than half is log1p of minus the other, which keeps the digits of its small
//           complement (logcdf(20, 10, inf) = -3.6e-66). Only the sides needed are computed.
//   ppf, isf  isf(q, a, b) = -ppf(q, -b, -a), so q keeps its digits. Every case becomes a lower or an
//           upper quantile of fraction f <= 1/2 on some [s, e], s >= 0 (across zero, of [0, -a] or
//           [0, b], with the fractions formed from the two halves' masses, never as 1 - a rounded one):
//           lower: S(s, y) = f S(s, e), concave in y, by Newton's method from the root of the density
//             exp(-s u) (below the root, so the steps climb to it without overshooting);
//           upper: log(n(y) S(y, e)/(n(s) S(s, e))) = log f, concave (log-concavity), slope -1/S(y, e),
//             by Newton's method from the lower of two starts above the root: y with R(y) taken as
//             R(s), and for finite e the root of the density exp(e v) at v = e - y;
//           steps stop below 1e-9 of the quantile's scale, so the quadratic error is far below an ulp.
//           Beyond 1.3e154 the mass lies within far less than an ulp of the near end, which is returned.
//   entropy  H = log M + log sqrt(2 pi) + E[X^2]/2. Narrow: log(2 h m0) + x h m1/m0 + h^2 m2/(2 m0),
//           the x^2/2 of log n(x) and of E[X^2] cancelled on paper. Tail pair: with w = e^(-c) R(b),
//           H = log S + 1/2 + (tau(a) R(a) - w (tau(b) + b^2 - a^2))/(2 S), tau(t) = t (-R'(t))/R(t),
//           the a^2/2 of log M against a R(a)/S ~ a^2 cancelled on paper: what is left is -R' at both
//           ends, terms of the size of S for c > 2. Straddling: log M + log sqrt(2 pi e) - (b n(b) - a
//           n(a))/(2 M), no large term.
//   dlogmass (-n(a)/M, n(b)/M). Tail pair: (-1/S, e^(-A_b)/S) with the exponent exact, taken as
//           exp(-A_b - log S) with the pair renormalised where e^(-A_b) alone would be subnormal;
//           straddling: 2 n(t)/(2 M) from the erf sum; 0 at an infinite end exactly. Where n(b)/n(a)
//           vanishes and a >= 1e8, n(a)/M = 1/R(a) = a + 1/a to 2/a^3 (1/S overflows near DBL_MAX).
// Measured against mpmath (tools/truncnorm_accuracy.py --set extended: the 10^5 intervals above, a
// point x each, p and q log-uniform from 1e-300 to 1/2), worst error over its acceptance tolerance:
//   logpdf  0.54 of 8 eps max(1, |logpdf|); pdf 0.57 of 8 eps max(1, |logpdf|) relative
//   logcdf, logsf  0.28, 0.32 of 8 eps relative (1e-14 where |value| < 1)
//   ppf, isf  0.22, 0.23 of 4 ulp(x*) + 1e-13 p/f(x*), never outside [a, b]
//   entropy  0.037 of 2e-14 max(1, |H|);  dlogmass  0.010, 0.011 of 1e-13 relative
// (worst in the tail pair for logpdf and dlogmass, one-sided for pdf and logsf, narrow for logcdf and
// the entropy, straddling for ppf and isf).
//
// Invalid input: NaN in gives NaN out quietly; a > b gives a quiet NaN and raises the invalid flag,
// as does a probability outside [0, 1] for ppf and isf. a == b gives the limits log mass -inf, mean a,
// var 0, the distribution of the point a (logpdf +inf at a, -inf elsewhere; ppf and isf a), entropy
// -inf and dlogmass (-inf, +inf). ppf(0) and isf(1) give a, ppf(1) and isf(0) give b.
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
ZELNOR_API double TruncNormPdf(double x, double a, double b);
ZELNOR_API double TruncNormLogPdf(double x, double a, double b);
ZELNOR_API double TruncNormLogCdf(double x, double a, double b);
ZELNOR_API double TruncNormLogSf(double x, double a, double b);
ZELNOR_API double TruncNormPpf(double p, double a, double b);
ZELNOR_API double TruncNormIsf(double q, double a, double b);
ZELNOR_API double TruncNormEntropy(double a, double b);
ZELNOR_API void TruncNormDLogMass(double a, double b, double* da, double* db);

}  // namespace zelnor

extern "C" {
#endif

ZELNOR_API double zelnor_TruncNormLogMass(double a, double b);
ZELNOR_API double zelnor_TruncNormMean(double a, double b);
ZELNOR_API double zelnor_TruncNormVar(double a, double b);
ZELNOR_API double zelnor_TruncNormCdf(double x, double a, double b);
ZELNOR_API double zelnor_TruncNormSf(double x, double a, double b);
ZELNOR_API double zelnor_TruncNormPdf(double x, double a, double b);
ZELNOR_API double zelnor_TruncNormLogPdf(double x, double a, double b);
ZELNOR_API double zelnor_TruncNormLogCdf(double x, double a, double b);
ZELNOR_API double zelnor_TruncNormLogSf(double x, double a, double b);
ZELNOR_API double zelnor_TruncNormPpf(double p, double a, double b);
ZELNOR_API double zelnor_TruncNormIsf(double q, double a, double b);
ZELNOR_API double zelnor_TruncNormEntropy(double a, double b);
ZELNOR_API void zelnor_TruncNormDLogMass(double a, double b, double* da, double* db);

#ifdef __cplusplus
}
#endif

#endif
