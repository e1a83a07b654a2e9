// Exact draws from the standard normal truncated to [a, b], in double.
//
// The randomness comes from a zelnor_RandomSource: three callbacks on one state, giving a uniform
// variate on [0, 1), a standard normal and a standard exponential. The Python layer points them at
// NumPy's bit generator (bitgen_t); any other source of independent variates serves as well.
//
// Reflection. [a, b] -> [-b, -a] negates the variate, so the interval is reflected to -a <= b first
// (the bulk of its mass on the non-negative side); a draw for [a, b] is then exactly minus the draw
// for [-b, -a] from the same stream. With w = b - a and c = (b^2 - a^2)/2 = w (a + b)/2, whose
// exponential e^(-c) = n(b)/n(a) measures how far the density falls across the interval, one of five
// rejection samplers runs; each accepts a proposal with exactly the probability that makes it a draw
// from the truncated normal, so the result is exact up to the rounding of the final value.
//
//   a < 0, w >= W         normal: z standard normal, accepted if a <= z <= b.
//                         Acceptance N(b) - N(a) >= N(W) - 1/2.
//   a < 0, w < W          uniform proposal z = a + w u, accepted if E >= z^2/2 (E a standard
//                         exponential: probability n(z)/n(0), the density's maximum being at 0 in
//                         [a, b]). Acceptance (N(b) - N(a)) sqrt(2 pi)/w.
//   a >= 0, c <= C        uniform proposal z = a + y, y = w u, accepted if E >= y (a + y/2): the
//                         exponent (z^2 - a^2)/2 of n(z)/n(a) formed as an exact difference of
//                         squares, y (2 a + y)/2, never as z^2/2 - a^2/2, which would cancel far out
//                         (at [1e6, 1e6 + 1e-6] both squares are 5e11 and their difference 1).
//                         Acceptance >= (1 - e^(-c))/c.
//   0 <= a < A, c > C     half-normal: z = |standard normal|, accepted if a <= z <= b.
//                         Acceptance 2 (N(b) - N(a)).
//   a >= A, c > C         exponential proposal z = a + y, y = E1/lambda at the optimal rate
//                         lambda = (a + sqrt(a^2 + 4))/2 of [a, inf), rejected if y > w, else accepted
//                         if E2 >= (y - delta)^2/2, the exponent of n(z) e^(lambda z) against its
//                         maximum at z = lambda; delta = lambda - a = 2/(a + sqrt(a^2 + 4)) is
//                         formed without cancelling (it is 0 beyond a = 1e154, where a^2 overflows,
//                         but there (y - delta)^2/2 < 1e-308 either way).
//                         Acceptance lambda e^(lambda a - lambda^2/2) sqrt(2 pi) (N(b) - N(a)).
//
// W = 1.5, C = 1, A = 0.75 balance the costs (a uniform or exponential proposal draws two variates, a
// normal one). The worst acceptance per proposal over each regime, from the rates above on a dense
// grid of intervals (tools/truncnorm_sampling.py):
//   normal 0.434 (at [0-, 1.5]), centred uniform 0.732 (at [0-, 1.5-]), tail uniform 0.632 (at c = C),
//   half-normal 0.349 (at a = A-, c = C+), exponential 0.632 (at c = C+, where the proposal overshoots
//   b; 0.854 for [A, inf), tending to 1 like 1 - 1/a^2 far out).
//
// Rounding: y >= 0 and u < 1, so a + y >= a; a + y can pass b only through the rounding of w, and is
// then b. Far out the variate is a + y with y computed to a few ulps of itself: the draw is the exact
// variate rounded once (at [1e6, 1e6 + 1e-3] the spacing of doubles, 1.2e-10, is 1e-4 of the scale
// 1/a of the distribution, and no method can do better in double). No step forms N(a) or N(b), so no
// interval underflows: every draw lies in [a, b], and none is infinite or NaN for finite a or b.
// a == b gives a (the point mass); a > b or NaN gives NaN.
#ifndef ZELNOR_KERNELS_TRUNCNORM_SAMPLE_H
#define ZELNOR_KERNELS_TRUNCNORM_SAMPLE_H

#include <stddef.h>

#include "mills.h"

#ifdef __cplusplus
extern "C" {
#endif

// A source of independent variates: each callback receives `state` and returns one variate.
typedef struct zelnor_RandomSource {
    void *state;
    double (*uniform)(void *state);      // uniform on [0, 1)
    double (*normal)(void *state);       // standard normal
    double (*exponential)(void *state);  // standard exponential
} zelnor_RandomSource;

// One draw from the standard normal truncated to [a, b].
ZELNOR_API double zelnor_TruncNormSample(double a, double b, const zelnor_RandomSource *source);

// n independent draws for one interval into out[0 .. n-1]; the choice of method is made once.
ZELNOR_API void zelnor_TruncNormSampleFill(double a, double b, const zelnor_RandomSource *source,
                                           double *out, ptrdiff_t n);

// One draw for each interval [a[i], b[i]] into out[i], i < n.
ZELNOR_API void zelnor_TruncNormSampleEach(const double *a, const double *b,
                                           const zelnor_RandomSource *source, double *out, ptrdiff_t n);

#ifdef __cplusplus
}
#endif

#endif
