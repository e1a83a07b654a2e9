// Truncated standard normal: the regimes and identities are described at the top of truncnorm.h.
#include "fp_strict.h"  // first: it sets the floating-point rules for everything below

#include "truncnorm.h"

#include <cfenv>
#include <cmath>
#include <limits>

#include "divdiff.h"

namespace zelnor {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLnSqrt2Pi = 0.91893853320467274178;   // log sqrt(2 pi)
constexpr double kInvSqrt2Pi = 0.39894228040143267794;  // 1/sqrt(2 pi)
constexpr double kSqrtHalf = 0.70710678118654752440;    // 1/sqrt(2)
constexpr double kLn2 = 0.69314718055994530942;

// The Hermite series is used while h <= kNarrowHalfWidth and x h <= kNarrowSpread.
constexpr double kNarrowHalfWidth = 1.0;
constexpr double kNarrowSpread = 2.0;
// Below it the tail variance takes g = R^2 - d1, from it (d1 - d3 + d1^2)/t^2.
constexpr double kTailVarSwitch = 1.0;
// S(s, t) is R(s) - e^(-c) R(t) from c = kScaledMassDirect on, with the divided difference below.
constexpr double kScaledMassDirect = 1.0;
// The largest t whose square t t is finite (2^512 - 2^459): beyond it the square overflows.
constexpr double kSquareLimit = 1.3407807929942596e154;
// The largest t for which (t/2) t, and with it -log n(t), is finite (sqrt(2 DBL_MAX) rounded down):
// beyond it the log mass is -inf.
constexpr double kHalfSquareLimit = 1.8961503816218352e154;
// Ends below this in magnitude are scaled up before use (tiny_scale).
constexpr double kTinyEnd = 0x1p-60;
// exp(-v) is below the smallest subnormal from here on; returned as 0 without underflowing.
constexpr double kExpUnderflow = 746.0;
// Factors below this multiply to at most 2e300.
constexpr double kProductLimit = 1e150;
// n(t) underflows to 0 from here on.
constexpr double kDensityZero = 39.0;
// From here on a tail pair's mean rounds to its lower end a (header comment): 2^27.
constexpr double kMeanAtEnd = 0x1p27;

double quiet_nan() { return std::numeric_limits<double>::quiet_NaN(); }

double invalid_nan() {
    std::feraiseexcept(FE_INVALID);
    return quiet_nan();
}

// exp(-(hi + lo)/2) for hi >= 0 and |lo| small beside hi: the rounding of the exponent would cost its
// size times eps, so the pair is renormalised (fast two-sum) and its tail enters as a first-order
// factor, exact to lo^2 ~ eps^2 hi^2.
double exp_neg_half(double hi, double lo) {
    const double s = hi + lo;
    if (s >= 2 * kExpUnderflow) return 0.0;
    return std::exp(-0.5 * s) * (1.0 - 0.5 * ((hi - s) + lo));
}

// exp(-t^2/2), t^2 split exactly into a double and its rounding error.
double gauss(double t) {
    t = std::fabs(t);
    if (t >= kDensityZero) return 0.0;
    const double tt = t * t;
    return exp_neg_half(tt, std::fma(t, t, -tt));
}

// n(t)/n(s) = exp(-(t^2 - s^2)/2) for 0 <= s < t, the exponent exact to a rounding of its own.
double density_ratio(double s, double t) {
    if (t > kSquareLimit) return 0.0;
    const double tt = t * t, ss = s * s;
    const double d = tt - ss;
    const double rounding = (tt - d) - ss;  // exact: tt >= ss and both are doubles
    return exp_neg_half(d, (rounding + std::fma(t, t, -tt)) - std::fma(s, s, -ss));
}

// t n(t) for t >= 0, zero where it underflows (and at t = inf, where it is a limit, not 0 * inf).
double t_density(double t) { return t >= kDensityZero ? 0.0 : t * (kInvSqrt2Pi * gauss(t)); }

// c = 2 x h, n(b)/n(a) = e^(-c) and q = 1 - e^(-c) for x >= 0, h > 0. A product that would
// overflow is +inf without the overflow flag: with h or x beyond kProductLimit the other is either 0
// (a = -b) or at least about an ulp of the first, and c is then far beyond kExpUnderflow. An
// infinite end gives c = inf, e^(-c) = 0, q = 1.
struct Gap {
    double c, ratio, q;
};

Gap gap(double x, double h) {
    double c = 0.0;
    if (x != 0.0) c = x < kProductLimit && h < kProductLimit ? (x + x) * h : kInf;
    if (c >= kExpUnderflow) return {c, 0.0, 1.0};
    // One exponential, the other from it: the difference with 1 lies in [1/2, 1], where its
    // rounding is relative, so each keeps about an ulp (below ln 2, q itself is small).
    if (c < kLn2) {
        const double q = -std::expm1(-c);
        return {c, 1.0 - q, q};
    }
    const double ratio = std::exp(-c);
    return {c, ratio, 1.0 - ratio};
}

// S(s, t) = (N(t) - N(s))/n(s) for 0 <= s < t <= inf, given the centre x = s/2 + t/2, the
// half-width h = t/2 - s/2 and their gap, which a caller may need as well.
double scaled_mass(double s, double t, double x, double h, const Gap& g) {
    const double rs = MillsRatio<double>(s);
    if (t == kInf) return rs;
    if (g.c >= kScaledMassDirect) return rs - g.ratio * MillsRatio<double>(t);
    return (h + h) * MillsRatioDiff<double>(x, h, 1) + g.q * MillsRatio<double>(t);
}

double scaled_mass(double s, double t) {
    const double x = 0.5 * s + 0.5 * t, h = 0.5 * t - 0.5 * s;
    return scaled_mass(s, t, x, h, gap(x, h));
}

// Variance of the tail [t, inf), t >= 0 finite, with r = R(t).
double tail_var(double t, double r) {
    const double d1 = MillsRatioDeriv1<double>(t);
    if (t < kTailVarSwitch) return (r * r - d1) / (r * r);
    const double d3 = MillsRatioDeriv3<double>(t);
    const double tr = t * r;
    return ((d1 - d3) + d1 * d1) / (tr * tr);
}

// 2 (N(b) - N(a)) for a <= 0 <= b, as the sum of the two halves. Kept doubled: halving would round
// a subnormal mass.
double straddling_mass2(double a, double b) {
    return std::erf(b * kSqrtHalf) + std::erf(-a * kSqrtHalf);
}

// The interval after reflection, b >= -a, a < b, a > -inf unless it is the whole line.
struct Ordered {
    double a, b;
    bool reflected;
};

Ordered order(double a, double b) {
    if (-a > b) return {-b, -a, true};
    return {a, b, false};
}

// Centre and half-width of a finite or half-infinite ordered interval.
struct Centre {
    double x, h;
};

Centre centre(const Ordered& o) { return {0.5 * o.a + 0.5 * o.b, 0.5 * o.b - 0.5 * o.a}; }

// The rounding error of the centre x = a/2 + b/2 of a finite interval (Knuth's two-sum).
double centre_error(const Ordered& o, double x) {
    const double p = 0.5 * o.a, q = 0.5 * o.b;
    const double back = x - p;
    return (p - (x - back)) + (q - back);
}

// Mean of a straddling interval from its doubled mass: (n(a) - n(b))/M = n(a) q/M.
double straddling_mean(const Ordered& o, const Centre& c, double mass2) {
    return (2.0 * kInvSqrt2Pi * gauss(o.a)) * gap(c.x, c.h).q / mass2;
}

bool narrow(const Centre& c) { return c.h <= kNarrowHalfWidth && c.x * c.h <= kNarrowSpread; }

// m0, m1, m2 of the Hermite series around the centre (header comment).
struct Moments {
    double m0, m1, m2;
};

// The series stops by k = kSeriesTerms at the latest; it divides by k + 1 and j + 1, j + 2, j + 3.
constexpr int kSeriesTerms = 80;

// 1/n for the series, each correctly rounded: a division inside the recurrence's chain of dependent
// operations costs several multiplications' time (the series took 130 ns with it, 74 ns without).
struct Reciprocals {
    double of[kSeriesTerms + 4];
};

constexpr Reciprocals reciprocals() {
    Reciprocals r{};
    for (int n = 1; n < kSeriesTerms + 4; ++n) r.of[n] = 1.0 / n;
    return r;
}

constexpr Reciprocals kInv = reciprocals();

Moments centred_moments(double x, double h) {
    const double xh = x * h, hh = h * h;
    double prev = 1.0, cur = xh;  // t_0, t_1
    Moments m{1.0, -xh * kInv.of[3], kInv.of[3]};
    // From k = 6 on the recurrence coefficients (x h + h^2)/(k + 1) are below 1/2, so two small
    // consecutive terms bound all later ones; m0 >= exp(-1/6) makes the bound relative.
    for (int k = 1; k < kSeriesTerms; ++k) {
        const double next = (xh * cur - hh * prev) * kInv.of[k + 1];
        const int j = k + 1;
        if (j % 2 == 0) {
            m.m0 += next * kInv.of[j + 1];
            m.m2 += next * kInv.of[j + 3];
        } else {
            m.m1 -= next * kInv.of[j + 2];
        }
        prev = cur;
        cur = next;
        if (j >= 6 && std::fabs(cur) + std::fabs(prev) < 0x1p-60) break;
    }
    return m;
}

double log_mass(const Ordered& o) {
    if (o.a == -kInf) return 0.0;
    const Centre c = centre(o);
    if (narrow(c)) {
        // Narrow needs x h <= 2 with h at least half an ulp of x, so x < 2^28 here.
        const Moments m = centred_moments(c.x, c.h);
        const double log_n = -(0.5 * c.x) * c.x - c.x * centre_error(o, c.x) - kLnSqrt2Pi;
        // b - a rather than 2 h: halving a subnormal width would round it.
        return log_n + std::log((o.b - o.a) * m.m0);
    }
    if (o.a < 0) return std::log(straddling_mass2(o.a, o.b)) - kLn2;
    if (o.a > kHalfSquareLimit) return -kInf;
    return (-(0.5 * o.a) * o.a - kLnSqrt2Pi) + std::log(scaled_mass(o.a, o.b));
}

double mean(const Ordered& o) {
    if (o.a == -kInf) return 0.0;
    const Centre c = centre(o);
    if (narrow(c)) {
        const Moments m = centred_moments(c.x, c.h);
        return c.x + c.h * (m.m1 / m.m0);
    }
    if (o.a < 0) return straddling_mean(o, c, straddling_mass2(o.a, o.b));
    if (o.a >= kMeanAtEnd) return o.a;
    const Gap g = gap(c.x, c.h);
    return g.q / scaled_mass(o.a, o.b, c.x, c.h, g);
}

double var(const Ordered& o) {
    if (o.a == -kInf) return 1.0;
    const Centre c = centre(o);
    if (narrow(c)) {
        const Moments m = centred_moments(c.x, c.h);
        const double u = m.m1 / m.m0;
        return (c.h * c.h) * (m.m2 / m.m0 - u * u);
    }
    if (o.a < 0) {
        const double mass2 = straddling_mass2(o.a, o.b);
        const double mu = straddling_mean(o, c, mass2);
        return (1.0 - 2.0 * (t_density(o.b) + t_density(-o.a)) / mass2) - mu * mu;
    }
    const double ra = MillsRatio<double>(o.a);
    const double va = tail_var(o.a, ra);
    const Gap g = gap(c.x, c.h);
    if (g.ratio == 0.0) return va;
    const double rb = MillsRatio<double>(o.b);
    const double s = ra - g.ratio * rb;
    const double wa = ra / s, wb = (g.ratio * rb) / s;
    const double dmu = (((c.h + c.h) * MillsRatioDiff<double>(c.x, c.h, 1)) / ra) / rb;
    return (wa * va - wb * tail_var(o.b, rb)) - (wa * wb) * (dmu * dmu);
}

// P(a < X <= x) (upper = false) or P(x < X <= b) (upper = true) for a < x < b ordered; only the one
// asked for is computed. Where a density factor multiplies a ratio of masses, the ratio is formed
// first: the factor may be near the end of the normal range while the masses are small, and their
// product would become subnormal and lose digits.
double probability(double x, const Ordered& o, bool upper) {
    if (o.a >= 0) {
        const double total = scaled_mass(o.a, o.b);
        if (upper) return density_ratio(o.a, x) * (scaled_mass(x, o.b) / total);
        return scaled_mass(o.a, x) / total;
    }
    // Straddling: every mass here is doubled (straddling_mass2).
    const double total = straddling_mass2(o.a, o.b);
    if (x == 0) return (upper ? straddling_mass2(0.0, o.b) : straddling_mass2(o.a, 0.0)) / total;
    // On the side of 0 away from x the mass is an erf sum, on the side of x a density times S.
    if (upper == (x > 0)) {
        const double density2 = 2.0 * kInvSqrt2Pi * gauss(x);
        return density2 * ((x > 0 ? scaled_mass(x, o.b) : scaled_mass(-x, -o.a)) / total);
    }
    return (x > 0 ? straddling_mass2(o.a, x) : straddling_mass2(x, o.b)) / total;
}

// Where both ends are below 2^-60 in magnitude the density is constant over [a, b] to 2^-120
// relative: the distribution is uniform to far below double precision. Its formulas would still
// halve a subnormal end, or take the erf or the density of one, and round its last digits away. Such
// an interval is scaled exactly by the power of two 2^k that brings its larger end to [2^-60, 2^-59),
// which leaves the cdf and sf unchanged and scales the mean and mass by 2^k, the variance by 2^(2k).
// Returns k, 0 where the ends need no scaling (one of them infinite or at least 2^-60). For a < b.
int tiny_scale(double a, double b) {
    const double m = std::fmax(std::fabs(a), std::fabs(b));
    return m < kTinyEnd ? std::ilogb(kTinyEnd) - std::ilogb(m) : 0;
}

// P(X <= x) (upper = false) or P(X > x) (upper = true) for a < b, none NaN.
double tail_probability(double x, double a, double b, bool upper) {
    if (x >= b) return upper ? 0.0 : 1.0;
    if (x <= a) return upper ? 1.0 : 0.0;
    if (const int k = tiny_scale(a, b))
        return tail_probability(std::ldexp(x, k), std::ldexp(a, k), std::ldexp(b, k), upper);
    const Ordered o = order(a, b);
    if (o.reflected) {
        x = -x;
        upper = !upper;
    }
    // The part and the whole come from different formulas near 1, and their ratio may round above it.
    const double r = probability(x, o, upper);
    return r > 1.0 ? 1.0 : r;
}

}  // namespace

double TruncNormLogMass(double a, double b) {
    if (a != a || b != b) return quiet_nan();
    if (a > b) return invalid_nan();
    if (a == b) return -kInf;
    if (const int k = tiny_scale(a, b))
        return TruncNormLogMass(std::ldexp(a, k), std::ldexp(b, k)) - k * kLn2;
    return log_mass(order(a, b));
}

// The formulas' rounding may place a mean far in a tail just outside [a, b] (1/R(a) one ulp below a
// where the exact mean lies within half an ulp above it); the clamp returns the nearer end.
double TruncNormMean(double a, double b) {
    if (a != a || b != b) return quiet_nan();
    if (a > b) return invalid_nan();
    if (a == b) return a;
    if (const int k = tiny_scale(a, b))
        return std::ldexp(TruncNormMean(std::ldexp(a, k), std::ldexp(b, k)), -k);
    const Ordered o = order(a, b);
    const double m = mean(o);
    return std::fmin(std::fmax(o.reflected ? -m : m, a), b);
}

double TruncNormVar(double a, double b) {
    if (a != a || b != b) return quiet_nan();
    if (a > b) return invalid_nan();
    if (a == b) return 0.0;
    if (const int k = tiny_scale(a, b))
        return std::ldexp(TruncNormVar(std::ldexp(a, k), std::ldexp(b, k)), -2 * k);
    return var(order(a, b));
}

double TruncNormCdf(double x, double a, double b) {
    if (x != x || a != a || b != b) return quiet_nan();
    if (a > b) return invalid_nan();
    return tail_probability(x, a, b, false);
}

double TruncNormSf(double x, double a, double b) {
    if (x != x || a != a || b != b) return quiet_nan();
    if (a > b) return invalid_nan();
    return tail_probability(x, a, b, true);
}

}  // namespace zelnor

extern "C" {
double zelnor_TruncNormLogMass(double a, double b) { return zelnor::TruncNormLogMass(a, b); }
double zelnor_TruncNormMean(double a, double b) { return zelnor::TruncNormMean(a, b); }
double zelnor_TruncNormVar(double a, double b) { return zelnor::TruncNormVar(a, b); }
double zelnor_TruncNormCdf(double x, double a, double b) { return zelnor::TruncNormCdf(x, a, b); }
double zelnor_TruncNormSf(double x, double a, double b) { return zelnor::TruncNormSf(x, a, b); }
}
