// Truncated standard normal: the regimes and identities are described at the top of truncnorm.h.
#include "fp_strict.h"  // first: it sets the floating-point rules for everything below

#include "truncnorm.h"

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
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
// Across zero below this half-width (x h < h^2 = 1/64) the series ends within a few terms.
constexpr double kShortSeries = 0.125;
// Below it the tail variance takes g = R^2 - d1, from it (d1 - d3 + d1^2)/t^2.
constexpr double kTailVarSwitch = 1.0;
// S(s, t) is R(s) - e^(-c) R(t) from c = kScaledMassDirect on, with the divided difference below.
constexpr double kScaledMassDirect = 1.0;
// From here on e^(-c) R(t) < 2^-54 R(s), below half an ulp of R(s), so R(s) - e^(-c) R(t) rounds to R(s):
// R(t) is not evaluated.
constexpr double kScaledMassAlone = 37.5;
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
// density_ratio(s, t) is 0 where t^2 - s^2 >= 2 kExpUnderflow; a spread (t^2 - s^2)/2 from here on is
// that far with a wide margin for its rounding.
constexpr double kRatioUnderflow = 750.0;
// Half masses of a straddling interval: erf below the first, 1 - 2 Q(t) from it, and 1 from the second
// on, where 2 Q(t) < 2^-54 (1.9e-17 at 8.5) and the difference rounds to 1.
constexpr double kHalfMassErf = 1.0;
constexpr double kHalfMassOne = 8.5;
// Numbers below this in magnitude have squares below 1e-300.
constexpr double kSquareNegligible = 1e-150;
// From here on a tail pair's mean rounds to its lower end a (header comment): 2^27.
constexpr double kMeanAtEnd = 0x1p27;

double quiet_nan() { return std::numeric_limits<double>::quiet_NaN(); }

double invalid_nan() {
    std::feraiseexcept(FE_INVALID);
    return quiet_nan();
}

// std::fmax(v, lo) and std::fmin(v, hi) for arguments that are not NaN, as one comparison each: the
// library functions are calls, which their rules for NaN keep the compiler from inlining.
double at_least(double v, double lo) { return v > lo ? v : lo; }
double at_most(double v, double hi) { return v < hi ? v : hi; }

// c ? u : v, formed from the bits rather than by a branch: on mixed intervals reflection is a coin
// toss, and a mispredicted branch costs more than the select.
double pick(bool c, double u, double v) {
    std::uint64_t bu, bv;
    std::memcpy(&bu, &u, sizeof u);
    std::memcpy(&bv, &v, sizeof v);
    const std::uint64_t mask = 0 - std::uint64_t(c);
    const std::uint64_t bits = (bu & mask) | (bv & ~mask);
    double r;
    std::memcpy(&r, &bits, sizeof r);
    return r;
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

// t^2 - s^2 for 0 <= s <= t <= kSquareLimit as an unevaluated sum hi + lo, exact to a rounding of lo.
struct Pair {
    double hi, lo;
};

Pair square_gap(double s, double t) {
    const double tt = t * t, ss = s * s;
    const double d = tt - ss;
    const double rounding = (tt - d) - ss;  // exact: tt >= ss and both are doubles
    return {d, (rounding + std::fma(t, t, -tt)) - std::fma(s, s, -ss)};
}

// n(t)/n(s) = exp(-(t^2 - s^2)/2) for 0 <= s < t, the exponent exact to a rounding of its own.
double density_ratio(double s, double t) {
    if (t > kSquareLimit) return 0.0;
    const Pair d = square_gap(s, t);
    return exp_neg_half(d.hi, d.lo);
}


// c = 2 x h, n(b)/n(a) = e^(-c) and q = 1 - e^(-c) for x >= 0, h > 0. A product that would
// overflow is +inf without the overflow flag: with h or x beyond kProductLimit the other is either 0
// (a = -b) or at least about an ulp of the first, and c is then far beyond kExpUnderflow. An
// infinite end gives c = inf, e^(-c) = 0, q = 1.
struct Gap {
    double c, ratio, q;
};

// The product is formed from factors capped at kProductLimit, so that it cannot overflow even where
// the compiler evaluates it ahead of the test that discards it (clang does, as a select).
double spread(double x, double h) {
    if (x == 0.0) return 0.0;
    const double xc = at_most(x, kProductLimit), c = (xc + xc) * at_most(h, kProductLimit);
    return x < kProductLimit && h < kProductLimit ? c : kInf;
}

// e^(-c) for c >= 0, 0 without underflowing from kExpUnderflow on.
double exp_neg(double c) { return c >= kExpUnderflow ? 0.0 : std::exp(-c); }

Gap gap(double x, double h) {
    const double c = spread(x, h);
    // One exponential, the other from it: the difference with 1 lies in [1/2, 1], where its
    // rounding is relative, so each keeps about an ulp (below ln 2, q itself is small).
    if (c < kLn2) {
        const double q = -std::expm1(-c);
        return {c, 1.0 - q, q};
    }
    const double ratio = exp_neg(c);
    return {c, ratio, 1.0 - ratio};
}

// m0, m1, m2 of the Hermite series around the centre (header comment).
struct Moments {
    double m0, m1, m2;
};

// The series stops by k = kSeriesTerms + 1 at the latest; it multiplies by 1/n up to n = k + 2.
constexpr int kSeriesTerms = 80;

// 1/n for the series, each correctly rounded: a division inside the recurrence's chain of dependent
// operations costs several multiplications' time.
struct Reciprocals {
    double of[kSeriesTerms + 4];
};

constexpr Reciprocals reciprocals() {
    Reciprocals r{};
    for (int n = 1; n < kSeriesTerms + 4; ++n) r.of[n] = 1.0 / n;
    return r;
}

constexpr Reciprocals kInv = reciprocals();

// The recurrence is taken two steps at a time, both new terms from the two old ones:
//   t_(k+1) = p t_k - r t_(k-1),  t_(k+2) = (p' p - h^2/(k + 2)) t_k - p' r t_(k-1),
// p = x h/(k + 1), r = h^2/(k + 1), p' = x h/(k + 2). The coefficients do not depend on the terms, so
// the chain of dependent operations is one product and one difference per two terms (a step at a
// time it was a product, a difference and a scaling per term, three times as long). Each coefficient
// is rounded beside terms of its own size, so the error stays that of the single steps: at most eps
// times the sum of the absolute values of the products, which the bound on the terms below controls.
class HermiteTerms {
  public:
    HermiteTerms(double x, double h) : xh_(x * h), hh_(h * h), growth_(2.0 * (xh_ + hh_)), cur_(xh_) {}
    double xh() const { return xh_; }
    double prev() const { return prev_; }
    double cur() const { return cur_; }
    // t_(k+1), t_(k+2) from t_(k-1), t_k, for k odd.
    void advance(int k) {
        const double p = xh_ * kInv.of[k + 1], r = hh_ * kInv.of[k + 1], p2 = xh_ * kInv.of[k + 2];
        const double even = p * cur_ - r * prev_;
        const double odd = (p2 * p - hh_ * kInv.of[k + 2]) * cur_ - (p2 * r) * prev_;
        prev_ = even;
        cur_ = odd;
    }
    // Once the recurrence coefficients (x h + h^2)/(j + 1) of the terms still to come are below 1/2
    // (from j = 6 on in every narrow case, from the start for a short interval), two small
    // consecutive terms bound all later ones; m0 >= exp(-1/6) makes the bound relative.
    bool ended(int k) const { return growth_ <= k + 3 && std::fabs(cur_) + std::fabs(prev_) < 0x1p-60; }

  private:
    double xh_, hh_, growth_, prev_ = 1.0, cur_;  // t_0, t_1 to start
};

// The first steps of a series (kFixedSteps of them, or as many as short_series below tells) are taken
// without a branch on the stopping test: where a series ends varies from interval to interval, and a test
// that ends it is a mispredicted branch, which costs more than the steps it saves. The terms taken beyond
// the rule's own stop are below 2^-60 (the bound above), under half an ulp of m0 >= exp(-1/6) and, on the
// narrow intervals that take all three sums, of m2 >= 1/8 (at least half the integral of u^2 exp(-u^2/2)
// over [-1, 0]): each leaves those sums as they were. m1 may be small beside such terms (it vanishes with
// x), so the rule's outcome is carried as a factor of m1's terms instead, 1 up to the stop and 0 after. The
// sums are the ones the rule alone forms.
constexpr int kFixedSteps = 4;  // k = 1, 3, 5, 7: where five in six of m0_ratio's series end

// The single series take as many fixed steps as their kind needs, told by the growth h (x + h) of the
// recurrence. On the benchmark's intervals across zero a series with h (x + h) < 1/128 ends within
// five steps in most cases (96 % for m0, 83 % for the three moments), a longer one anywhere from six to
// sixteen: eight steps without a test cost less than the mispredicted ends they spare, about 1.5 ns
// for the mean, the variance and the probabilities there, and nothing elsewhere.
constexpr double kShortGrowth = 1.0 / 128;
constexpr int kShortFixedSteps = 5, kLongFixedSteps = 8;
bool short_series(double x, double h) { return h * (x + h) < kShortGrowth; }

template <int Fixed> Moments moments_steps(double x, double h) {
    HermiteTerms t(x, h);
    Moments m{1.0, -t.xh() * kInv.of[3], kInv.of[3]};
    double live = 1.0;
    int k = 1;
    for (; k < 2 * Fixed; k += 2) {
        t.advance(k);
        m.m0 += t.prev() * kInv.of[k + 2];
        m.m2 += t.prev() * kInv.of[k + 4];
        m.m1 -= (t.cur() * kInv.of[k + 4]) * live;
        live = pick(t.ended(k), 0.0, live);
    }
    for (; k < kSeriesTerms && live != 0.0; k += 2) {
        t.advance(k);
        m.m0 += t.prev() * kInv.of[k + 2];
        m.m2 += t.prev() * kInv.of[k + 4];
        m.m1 -= t.cur() * kInv.of[k + 4];
        if (t.ended(k)) break;
    }
    return m;
}

Moments centred_moments(double x, double h) {
    return short_series(x, h) ? moments_steps<kShortFixedSteps>(x, h) : moments_steps<kLongFixedSteps>(x, h);
}

// m0 alone, where the caller needs no more.
class M0Series {
  public:
    M0Series(double x, double h) : t_(x, h) {}
    double m0() const { return m0_; }
    bool ended(int k) const { return t_.ended(k); }
    void step(int k) {
        t_.advance(k);
        m0_ += t_.prev() * kInv.of[k + 2];
    }

  private:
    HermiteTerms t_;
    double m0_ = 1.0;
};

template <int Fixed> double m0_steps(double x, double h) {
    M0Series s(x, h);
    int k = 1;
    for (; k < 2 * Fixed; k += 2) s.step(k);
    for (; k < kSeriesTerms && !s.ended(k - 2); k += 2) s.step(k);
    return s.m0();
}

double centred_m0(double x, double h) {
    return short_series(x, h) ? m0_steps<kShortFixedSteps>(x, h) : m0_steps<kLongFixedSteps>(x, h);
}

// m0(x1, h1)/m0(x2, h2), the two series side by side: their chains of dependent operations are
// independent, so the processor overlaps them. After the fixed steps each stops by its own rule.
double m0_ratio(double x1, double h1, double x2, double h2) {
    M0Series s1(x1, h1), s2(x2, h2);
    int k = 1;
    for (; k < 2 * kFixedSteps; k += 2) {
        s1.step(k);
        s2.step(k);
    }
    bool open1 = !s1.ended(k - 2), open2 = !s2.ended(k - 2);
    for (; k < kSeriesTerms && (open1 || open2); k += 2) {
        if (open1) {
            s1.step(k);
            open1 = !s1.ended(k);
        }
        if (open2) {
            s2.step(k);
            open2 = !s2.ended(k);
        }
    }
    return s1.m0() / s2.m0();
}

// S(s, t) = (N(t) - N(s))/n(s) for 0 <= s < t <= inf, with rs() = R(s) and rt() = R(t) called only
// where they are needed. From c = 2 x h = 1 on (x = s/2 + t/2, h = t/2 - s/2) it is R(s) - e^(-c) R(t),
// R(t) < R(s), which loses at most a factor 1.6 (and is R(s) to the last bit from c = 37.5 on).
// Below, h < 0.71 (since s >= 0) and x h < 1/2, where the Hermite series is short, and with the mass
// n(x) 2 h m0,
//   S(s, t) = (t - s) m0 exp(-(x - s)(x + s)/2),  x - s = h,
// a few terms and one exponential of an argument below 1/2, free of cancellation.
template <typename Rs, typename Rt> double scaled_mass_by(double s, double t, Rs rs, Rt rt) {
    if (t == kInf) return rs();
    const double x = 0.5 * s + 0.5 * t, h = 0.5 * t - 0.5 * s;
    const double c = spread(x, h);
    if (c >= kScaledMassAlone) return rs();
    if (c >= kScaledMassDirect) return rs() - exp_neg(c) * rt();
    return ((t - s) * centred_m0(x, h)) * std::exp(-0.5 * (h * (x + s)));
}

// S(s, t) for a caller that reuses R(s) and R(t).
double scaled_mass(double s, double t, double rs, double rt) {
    return scaled_mass_by(s, t, [=] { return rs; }, [=] { return rt; });
}

double scaled_mass(double s, double t) {
    return scaled_mass_by(s, t, [=] { return MillsRatio<double>(s); }, [=] { return MillsRatio<double>(t); });
}

// R(t), computed when first asked for.
class LazyMills {
  public:
    explicit LazyMills(double t) : t_(t) {}
    double operator()() {
        if (r_ < 0) r_ = MillsRatio<double>(t_);
        return r_;
    }

  private:
    double t_, r_ = -1.0;
};

// Variance of the tail [t, inf), t >= 0 finite, with r = R(t).
double tail_var(double t, double r) {
    const double d1 = MillsRatioDeriv1<double>(t);
    if (t < kTailVarSwitch) return (r * r - d1) / (r * r);
    const double d3 = MillsRatioDeriv3<double>(t);
    const double tr = t * r;
    return ((d1 - d3) + d1 * d1) / (tr * tr);
}

// n(t).
double density(double t) { return kInvSqrt2Pi * gauss(t); }

// 2 (N(t) - N(0)) for t >= 0, with nt() = n(t) and rt() = R(t) called only where they are read.
// Below kHalfMassErf it is erf(t/sqrt 2), which erf takes from a rational approximation alone; from
// there 1 - 2 Q(t) = 1 - 2 n(t) R(t), at least 0.68, so the difference loses under an ulp, and n(t)
// is the one the mean and variance need as well, where erf would take an exponential of its own.
// Kept doubled: halving would round a subnormal mass.
template <typename Nt, typename Rt> double half_mass2_by(double t, Nt nt, Rt rt) {
    if (t < kHalfMassErf) return std::erf(t * kSqrtHalf);
    if (t >= kHalfMassOne) return 1.0;
    return 1.0 - 2.0 * (nt() * rt());
}

// The same from rt() alone, n(t) computed where it is read.
template <typename Rt> double half_mass2_by(double t, Rt rt) {
    return half_mass2_by(t, [=] { return density(t); }, rt);
}

double half_mass2(double t) {
    return half_mass2_by(t, [=] { return MillsRatio<double>(t); });
}

// 2 (N(b) - N(a)) for a <= 0 <= b, as the sum of the two halves.
double straddling_mass2(double a, double b) { return half_mass2(-a) + half_mass2(b); }

// t n(t) for t >= 0 from nt = n(t), which is 0 from kDensityZero on: t is capped there, so that t = inf
// gives 0 and not inf * 0 (a select between 0 and t n(t) may evaluate both, and the product would
// raise the invalid flag).
double t_density(double t, double nt) { return at_most(t, kDensityZero) * nt; }

// The densities at the ends of a straddling interval and its doubled mass.
struct Straddle {
    double na, nb, mass2;
};

Straddle straddle(double a, double b) {
    const double na = density(a), nb = density(b);
    const auto half = [](double t, double nt) {
        return half_mass2_by(t, [=] { return nt; }, [=] { return MillsRatio<double>(t); });
    };
    return {na, nb, half(-a, na) + half(b, nb)};
}

// The interval after reflection, b >= -a, a < b, a > -inf unless it is the whole line.
struct Ordered {
    double a, b;
    bool reflected;
};

Ordered order(double a, double b) {
    const bool reflected = -a > b;
    return {pick(reflected, -b, a), pick(reflected, -a, b), reflected};
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

// Mean of a straddling interval, (n(a) - n(b))/M: the difference itself where n(b) <= n(a)/2
// (c >= ln 2), which loses at most a factor 2, and n(a) q/M with q = -expm1(-c) below.
double straddling_mean(const Centre& c, const Straddle& s) {
    const double g = spread(c.x, c.h);
    return 2.0 * (g >= kLn2 ? s.na - s.nb : s.na * -std::expm1(-g)) / s.mass2;
}

bool narrow(const Centre& c) { return c.h <= kNarrowHalfWidth && c.x * c.h <= kNarrowSpread; }

double log_mass(const Ordered& o) {
    if (o.a == -kInf) return 0.0;
    // Across zero the halves are a sum without cancellation at every width.
    if (o.a < 0) return std::log(straddling_mass2(o.a, o.b)) - kLn2;
    const Centre c = centre(o);
    if (narrow(c)) {
        // Narrow needs x h <= 2 with h at least half an ulp of x, so x < 2^28 here.
        const double log_n = -(0.5 * c.x) * c.x - c.x * centre_error(o, c.x) - kLnSqrt2Pi;
        // b - a rather than 2 h: halving a subnormal width would round it.
        return log_n + std::log((o.b - o.a) * centred_m0(c.x, c.h));
    }
    if (o.a > kHalfSquareLimit) return -kInf;
    return (-(0.5 * o.a) * o.a - kLnSqrt2Pi) + std::log(scaled_mass(o.a, o.b));
}

double mean(const Ordered& o) {
    if (o.a == -kInf) return 0.0;
    const Centre c = centre(o);
    // Across zero the mean has no cancellation at any width; the series is the cheaper only where it is
    // short.
    if (o.a < 0 && c.h > kShortSeries) return straddling_mean(c, straddle(o.a, o.b));
    if (narrow(c)) {
        const Moments m = centred_moments(c.x, c.h);
        return c.x + c.h * (m.m1 / m.m0);
    }
    if (o.a >= kMeanAtEnd) return o.a;
    // Not narrow, so c > 2 and S = R(a) - e^(-c) R(b), or R(a) alone (an infinite b included).
    const Gap g = gap(c.x, c.h);
    const double ra = MillsRatio<double>(o.a);
    return g.q / (g.c >= kScaledMassAlone ? ra : ra - g.ratio * MillsRatio<double>(o.b));
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
        const Straddle s = straddle(o.a, o.b);
        const double mu = straddling_mean(c, s);
        // E[X^2] is at least 0.29 here (width above 2 across zero), so mu^2 below 1e-300 leaves the
        // difference as it is: it is not formed, since a subnormal product takes a slow microcode
        // assist on common processors and raises the underflow flag, which the ufuncs then clear.
        const double mu2 = std::fabs(mu) < kSquareNegligible ? 0.0 : mu * mu;
        return (1.0 - 2.0 * (t_density(o.b, s.nb) + t_density(-o.a, s.na)) / s.mass2) - mu2;
    }
    const double ra = MillsRatio<double>(o.a);
    const double va = tail_var(o.a, ra);
    const Gap g = gap(c.x, c.h);
    if (g.ratio == 0.0) return va;
    // The terms of b are w_b v_b and w_a w_b (1/R(b) - 1/R(a))^2, with w_a = 1 + w_b, w_b below
    // e^(-c) (1 + 2e^(-c)) (R(b) <= R(a), c > 2), v_b <= v_a and 0 < 1/R(b) - 1/R(a) < b + 1/b.
    // Where that bound puts each below 2^-56 v_a, well under half an ulp of v_a, the formula rounds
    // to v_a: returned without the Mills ratios of b and the divided difference.
    const double reach = o.b + 1.0 / o.b;
    if (g.ratio * (va + reach * reach) < 0x1p-56 * va) return va;
    const double rb = MillsRatio<double>(o.b);
    const double s = ra - g.ratio * rb;
    const double wa = ra / s, wb = (g.ratio * rb) / s;
    const double dmu = (((c.h + c.h) * MillsRatioDiff<double>(c.x, c.h, 1)) / ra) / rb;
    return (wa * va - wb * tail_var(o.b, rb)) - (wa * wb) * (dmu * dmu);
}

// The probability of the part [s, t] of [a, b] below x (upper = false) or above it, 0 <= a < x < b,
// where c < 1 for the whole and so for each part: both masses are series (scaled_mass_by), and the
// ratio n(x_p) (t - s) m0(x_p, h_p)/(n(x) (b - a) m0(x, h)) takes one exponential,
//   ((t - s)/(b - a)) (m0(x_p, h_p)/m0(x, h)) exp(-(x_p - x)(x_p + x)/2),
// x_p - x = (x - b)/2 or (x - a)/2 for the centres as meant, so that the exponent, below 1/2 in size,
// keeps its error relative to itself.
double short_probability(double x, const Ordered& o, const Centre& c, bool upper) {
    const double s = upper ? x : o.a, t = upper ? o.b : x;
    const double xp = 0.5 * s + 0.5 * t, hp = 0.5 * t - 0.5 * s;
    const double shift = 0.5 * (upper ? x - o.a : x - o.b);
    const double m0 = m0_ratio(xp, hp, c.x, c.h);
    return (((t - s) / (o.b - o.a)) * m0) * std::exp(-0.5 * (shift * (xp + c.x)));
}

// P(a < X <= x) (upper = false) or P(x < X <= b) (upper = true) for a < x < b ordered; only the one
// asked for is computed. Where a density factor multiplies a ratio of masses, the ratio is formed
// first: the factor may be near the end of the normal range while the masses are small, and their
// product would become subnormal and lose digits.
double probability(double x, const Ordered& o, bool upper) {
    if (o.a >= 0) {
        const Centre c = centre(o);
        if (spread(c.x, c.h) < kScaledMassDirect) return short_probability(x, o, c, upper);
        // With c_p = (x^2 - a^2)/2, the spread of [a, x]: above x, where n(x)/n(a) = exp(-c_p)
        // underflows, the probability is 0 whatever the (finite) ratio of masses; below x, where the
        // part and the whole both have S = R(a) (c >= kScaledMassAlone), it is 1. Either is decided
        // from the ends alone, before anything is evaluated, so that a mispredicted branch here costs
        // little.
        const double cp = spread(0.5 * o.a + 0.5 * x, 0.5 * x - 0.5 * o.a);
        if (upper && cp >= kRatioUnderflow) return 0.0;
        if (!upper && cp >= kScaledMassAlone && (o.b == kInf || spread(c.x, c.h) >= kScaledMassAlone))
            return 1.0;
        // The part and the whole share the Mills ratios of their common ends.
        LazyMills ra(o.a), rx(x), rb(o.b);
        const double total = scaled_mass_by(o.a, o.b, std::ref(ra), std::ref(rb));
        if (upper) return density_ratio(o.a, x) * (scaled_mass_by(x, o.b, std::ref(rx), std::ref(rb)) / total);
        return scaled_mass_by(o.a, x, std::ref(ra), std::ref(rx)) / total;
    }
    // Straddling: every mass here is doubled (half_mass2), and each half of the total is one of the
    // parts. On the side of 0 away from x the mass is a sum of halves, on the side of x (the far side)
    // a density times S; where that density is 0 (from kDensityZero on), so is the probability.
    const bool far = x != 0 && upper == (x > 0);
    if (far && std::fabs(x) >= kDensityZero) return 0.0;
    // The far side's S reads the Mills ratio of its end where its half may have read it already.
    LazyMills r_below(-o.a), r_above(o.b);
    const double below = half_mass2_by(-o.a, std::ref(r_below));
    const double above = half_mass2_by(o.b, std::ref(r_above));
    const double total = below + above;
    if (x == 0) return (upper ? above : below) / total;
    if (far) {
        const double t = std::fabs(x);
        const auto rt = [=] { return MillsRatio<double>(t); };
        const double s = x > 0 ? scaled_mass_by(t, o.b, rt, std::ref(r_above))
                               : scaled_mass_by(t, -o.a, rt, std::ref(r_below));
        return (2.0 * density(x)) * (s / total);
    }
    return (x > 0 ? below + half_mass2(x) : half_mass2(-x) + above) / total;
}

// Where both ends are below 2^-60 in magnitude the density is constant over [a, b] to 2^-120
// relative: the distribution is uniform to far below double precision. Its formulas would still
// halve a subnormal end, or take the erf or the density of one, and round its last digits away. Such
// an interval is scaled exactly by the power of two 2^k that brings its larger end to [2^-60, 2^-59),
// which leaves the cdf and sf unchanged and scales the mean and mass by 2^k, the variance by 2^(2k).
// Returns k, 0 where the ends need no scaling (one of them infinite or at least 2^-60). For a < b.
int tiny_scale(double a, double b) {
    const double m = at_least(std::fabs(a), std::fabs(b));
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

// ---------------------------------------------------------------------------------------------
// Log densities, log probabilities, quantiles, entropy and the gradient of the log mass.

// From here on the exponential of a density ratio is taken with the log of the mass folded into its
// exponent, so that a quotient near the bottom of the normal range is not formed from a subnormal.
constexpr double kScaledExponent = 1200.0;
// Beyond this t d1(t)/R(t) = 1 - 2/t^2 + ... is 1 to the last bit (and d1 would underflow near 1e154).
constexpr double kTauUnit = 1e8;
// Newton steps stop once a step is below this fraction of the quantile's own scale: with quadratic
// convergence the next error is then below 1e-17 of it.
constexpr double kNewtonTolerance = 1e-9;
constexpr int kNewtonLimit = 100;
// Products beyond this overflow.
constexpr double kOverflow = 1e300;

// hi + lo as a double and its rounding error (Knuth's two-sum).
Pair two_sum(double hi, double lo) {
    const double s = hi + lo;
    const double back = s - hi;
    return {s, (hi - (s - back)) + (lo - back)};
}

// t^2 - s^2 for 0 <= s <= t as hi + lo; beyond kSquareLimit the product (t - s)(t + s), rounded, or
// +inf without the overflow flag where that overflows.
Pair exponent_gap(double s, double t) {
    if (t < kSquareLimit) return square_gap(s, t);
    const double sum = 0.5 * t + 0.5 * s, diff = t - s;
    if (diff >= kOverflow / sum) return {kInf, 0.0};
    return {2.0 * (diff * sum), 0.0};
}

// -t^2/2, the log of sqrt(2 pi) n(t), -inf without the overflow flag where t^2 overflows.
double log_gauss(double t) {
    t = std::fabs(t);
    return t >= kSquareLimit ? -kInf : -(0.5 * t) * t;
}

// log(N(b) - N(a)) + log sqrt(2 pi) of a straddling interval or the whole line (o.a < 0).
double straddling_log_mass(const Ordered& o) {
    if (o.a == -kInf) return kLnSqrt2Pi;
    return std::log(straddling_mass2(o.a, o.b)) - kLn2 + kLnSqrt2Pi;
}

// log of the truncated density at x in [o.a, o.b] (reflected with the interval). In the tail pair it is
// -(x^2 - a^2)/2 - log S(a, b) with the exponent exact, which also holds the narrow intervals far out;
// elsewhere the mass is not small and log n(x) - log M has no cancellation beyond its terms' sizes.
double log_pdf(double x, const Ordered& o) {
    if (o.a >= 0) {
        const Pair g = exponent_gap(o.a, x);
        return (-0.5 * g.hi - std::log(scaled_mass(o.a, o.b))) - 0.5 * g.lo;
    }
    return log_gauss(x) - straddling_log_mass(o);
}

// log of the probability of one side of x, finite wherever it is positive. The near side (towards a in
// the tail pair, towards 0 when straddling) has a direct formula, near(); the far side is the density
// factor scale n(x)/n(s) = scale exp(-(hi + lo)/2) times ratio(), a ratio of scaled masses that never
// underflows, and its log keeps the exponent exact. The wanted side comes from its own formula unless it
// holds more than half; then it is log1p of minus the other, which keeps the digits of a small
// complement. Only the sides needed are computed.
template <typename Near, typename Ratio>
double log_side(bool want_far, const Near& near, const Ratio& ratio, const Pair& g, double scale) {
    if (want_far) {
        const double l = ((std::log(ratio() * scale) - 0.5 * g.hi) - 0.5 * g.lo);
        return l > -kLn2 ? std::log1p(-near()) : l;
    }
    const double p = near();
    if (p <= 0.5) return std::log(p);
    return std::log1p(-(scale * exp_neg_half(g.hi, g.lo)) * ratio());
}

// log P(X <= x) (upper = false) or log P(X > x) (upper = true) for o.a < x < o.b.
double log_probability(double x, const Ordered& o, bool upper) {
    if (o.a >= 0) {
        // R at each of a, x, b serves two of the three scaled masses.
        const double ra = MillsRatio<double>(o.a), rx = MillsRatio<double>(x);
        const double rb = o.b == kInf ? 0.0 : MillsRatio<double>(o.b);
        const double total = scaled_mass(o.a, o.b, ra, rb);
        return log_side(
            upper, [&] { return scaled_mass(o.a, x, ra, rx) / total; },
            [&] { return scaled_mass(x, o.b, rx, rb) / total; }, exponent_gap(o.a, x), 1.0);
    }
    // Straddling: every mass here is doubled (straddling_mass2); the far side is 2 n(x) S(|x|, end).
    const double total = straddling_mass2(o.a, o.b);
    if (x == 0) {
        const double below = straddling_mass2(o.a, 0.0) / total, above = straddling_mass2(0.0, o.b) / total;
        const double p = upper ? above : below, other = upper ? below : above;
        return p > 0.5 ? std::log1p(-other) : std::log(p);
    }
    const double t = std::fabs(x);
    const double end = x > 0 ? o.b : -o.a;
    return log_side(
        upper == (x > 0),
        [&] { return (x > 0 ? straddling_mass2(o.a, x) : straddling_mass2(x, o.b)) / total; },
        [&] { return 2.0 * scaled_mass(t, end) / total; }, exponent_gap(0.0, t), kInvSqrt2Pi);
}

// M/n(0) for a < b with an end within 2^-60 of 0, the other not: S(s, t) with n(s) = n(0) to 2^-120,
// or the two sides of 0, a tiny side S(0, t) = t to 2^-120 (which S itself would round for a subnormal t).
double tiny_end_mass(double a, double b) {
    if (a >= 0) return scaled_mass(a, b);
    if (b <= 0) return scaled_mass(-b, -a);
    return (-a < kTinyEnd ? -a : scaled_mass(0.0, -a)) + (b < kTinyEnd ? b : scaled_mass(0.0, b));
}

// log P(X <= x) (upper = false) or log P(X > x) (upper = true) for a < b, none NaN.
double log_tail_probability(double x, double a, double b, bool upper) {
    if (x >= b) return upper ? -kInf : 0.0;
    if (x <= a) return upper ? 0.0 : -kInf;
    if (const int k = tiny_scale(a, b))
        return log_tail_probability(std::ldexp(x, k), std::ldexp(a, k), std::ldexp(b, k), upper);
    // A side of x within 2^-60 of 0 (the interval itself is not) has the probability n(0) (its width)/M
    // to 2^-120, which the formulas below would round where they halve a subnormal width or take its
    // erf. Where it holds more than half, or the other side is asked for, they keep their digits. The
    // quotient is formed before the log unless it would be subnormal, so that the logs of the two
    // tiny quantities do not cancel.
    if (tiny_scale(upper ? x : a, upper ? b : x)) {
        const double width = upper ? b - x : x - a, mass = tiny_end_mass(a, b);
        const double p = width / mass;
        const double l =
            p >= std::numeric_limits<double>::min() ? std::log(p) : std::log(width) - std::log(mass);
        if (l <= -kLn2) return l;
    }
    const Ordered o = order(a, b);
    if (o.reflected) {
        x = -x;
        upper = !upper;
    }
    const double r = log_probability(x, o, upper);
    return r > 0.0 ? 0.0 : r;
}

// y in [s, e], 0 <= s < e, with S(s, y) = f D, D = S(s, e), 0 < f <= 1/2: the lower quantile of
// fraction f. S(s, y) is concave in y (its slope n(y)/n(s) falls), so Newton's method started below
// the root climbs to it without overshooting. The start is the root for the density exp(-s u), which
// lies above the Gaussian one, so its root lies below: u = -log(1 - s f D)/s, f D at s = 0.
double solve_lower(double f, double d, double s, double e) {
    const double t = f * d, z = s * t;
    double y = s + (z > 0 ? -std::log1p(-z) / s : t);
    // Within half an ulp of s: done (and the divided difference is not asked for a zero width).
    if (y == s) return s;
    const double rs = MillsRatio<double>(s);
    for (int k = 0; k < kNewtonLimit && y < e; ++k) {
        const double step = (f - scaled_mass(s, y, rs, MillsRatio<double>(y)) / d) * (d / density_ratio(s, y));
        const double next = y + step;
        if (next == y) break;
        y = next;
        if (std::fabs(step) <= kNewtonTolerance * (y - s)) break;
    }
    return std::fmin(std::fmax(y, s), e);
}

// y in [s, e], 0 <= s < e, with N(e) - N(y) = f (N(e) - N(s)), 0 < f <= 1/2: the upper quantile. In
// logs, g(y) = log(n(y) S(y, e)/(n(s) D)) - log f is concave (the truncated normal is log-concave) with
// slope -1/S(y, e), so Newton's method started above the root descends to it without overshooting.
// Two starts lie above it: the root for R(y) = R(s) (R falls), y = sqrt(s^2 + 2 A) with
// A = -log(f D/R(s)); and for a finite e, the root for the density exp(e v) at v = e - y (which lies
// above the Gaussian one), v = log(1 + e f D/rho)/e with rho = n(e)/n(s). The lower of them is taken.
double solve_upper(double f, double d, double s, double e) {
    const double log_f = std::log(f);
    const double a2 = 2.0 * (std::log(MillsRatio<double>(s) / d) - log_f);
    double y = s + (s < kSquareLimit ? a2 / (s + std::sqrt(s * s + a2)) : 0.5 * a2 / s);
    if (e < kInf) {
        const Pair g = exponent_gap(s, e);
        const double log_z = (((std::log(e) + std::log(d)) + log_f) + 0.5 * g.hi) + 0.5 * g.lo;
        const double v = (log_z > 40.0 ? log_z : std::log1p(std::exp(log_z))) / e;
        y = std::fmin(y, e - v);
    }
    y = std::fmax(y, s);
    const double re = e == kInf ? 0.0 : MillsRatio<double>(e);
    for (int k = 0; k < kNewtonLimit && y < e; ++k) {
        const Pair g = exponent_gap(s, y);
        const double sy = scaled_mass(y, e, MillsRatio<double>(y), re);
        const double step = (((std::log(sy / d) - log_f) - 0.5 * g.hi) - 0.5 * g.lo) * sy;
        const double next = y + step;
        if (next == y) break;
        y = next;
        if (std::fabs(step) <= kNewtonTolerance * sy) break;
    }
    return std::fmin(std::fmax(y, s), e);
}

// x in [a, b] with P(X <= x) = t for a < b, 0 < t < 1, tc = 1 - t. Every case becomes a lower or an
// upper quantile of fraction at most 1/2 on an interval [s, e] with 0 <= s, so that the fraction that
// is passed never is the rounded complement of one near 1.
double quantile(double t, double tc, double a, double b) {
    // From s = 2.6e9 on, all the mass but a fraction 1e-323 lies within 745/s < ulp(s)/2 of the near
    // end s; beyond kSquareLimit (where the exponents would overflow) the quantile is that end.
    if (a >= kSquareLimit) return a;
    if (b <= -kSquareLimit) return b;
    // Within 2^-60 of 0 the cdf is (x - a) n(0)/M to 2^-120: a quantile there, next to a tiny end of a
    // larger interval, is that end moved by the probability times M/n(0), where the formulas below
    // would halve a subnormal width.
    if (std::fabs(a) < kTinyEnd || std::fabs(b) < kTinyEnd) {
        const double width = tiny_end_mass(a, b);
        const double y = std::fabs(a) < kTinyEnd ? a + t * width : b - tc * width;
        if (std::fabs(y) < kTinyEnd) return y;
    }
    if (a >= 0) {
        const double d = scaled_mass(a, b);
        return t <= 0.5 ? solve_lower(t, d, a, b) : solve_upper(tc, d, a, b);
    }
    if (b <= 0) {
        const double d = scaled_mass(-b, -a);
        return -(t <= 0.5 ? solve_upper(t, d, -b, -a) : solve_lower(tc, d, -b, -a));
    }
    // Straddling: the masses of [a, 0] and [0, b] in units of n(0).
    const double left = scaled_mass(0.0, -a), right = scaled_mass(0.0, b);
    const double total = left + right;
    // The fraction of [a, 0] below x, where it is at most 1 (left is 0 only for a subnormal a).
    const double r = left > 0 ? t * (total / left) : kInf;
    if (r <= 1.0) return -(r <= 0.5 ? solve_upper(r, left, 0.0, -a) : solve_lower(1.0 - r, left, 0.0, -a));
    const double g = (t * total - left) / right;  // the fraction of [0, b] below x
    return g <= 0.5 ? solve_lower(g, right, 0.0, b) : solve_upper(tc * (total / right), right, 0.0, b);
}

// t d1(t)/R(t) = t (1 - t R(t))/R(t) for t >= 0: the tail's second moment E[X^2] = 1 + t^2 ... in the
// form that stays exact far out.
double tau(double t, double r) { return t >= kTauUnit ? 1.0 : t * MillsRatioDeriv1<double>(t) / r; }

// H = log M + log sqrt(2 pi) + E[X^2]/2. Narrow: with the Hermite moments around x, log M + log
// sqrt(2 pi) = -x^2/2 + log(2 h m0) and E[X^2] = x^2 + 2 x h m1/m0 + h^2 m2/m0, and the x^2 cancel
// exactly on paper. Tail pair: with w = e^(-c) R(b), S = R(a) - w and E[X^2] = 1 + (a n(a) - b n(b))/M,
//   H = log S + 1/2 + (tau(a) R(a) - w (tau(b) + b^2 - a^2))/(2 S),
// where the a^2/2 of log M has cancelled against a R(a)/S ~ a^2 on paper: the numerator is -R' at both
// ends, a sum of terms of the size of S for c > 2. Straddling: no term is large.
double entropy(const Ordered& o) {
    if (o.a == -kInf) return kLnSqrt2Pi + 0.5;
    const Centre c = centre(o);
    if (narrow(c)) {
        const Moments m = centred_moments(c.x, c.h);
        return std::log((o.b - o.a) * m.m0) + ((c.x * c.h) * (m.m1 / m.m0) + 0.5 * (c.h * c.h) * (m.m2 / m.m0));
    }
    if (o.a < 0) {
        const Straddle s = straddle(o.a, o.b);
        const double log_mass = std::log(s.mass2) - kLn2 + kLnSqrt2Pi;
        return (log_mass + 0.5) - (t_density(-o.a, s.na) + t_density(o.b, s.nb)) / s.mass2;
    }
    const double ra = MillsRatio<double>(o.a);
    const double head = tau(o.a, ra) * ra;
    const double rho = o.b == kInf ? 0.0 : density_ratio(o.a, o.b);
    if (rho == 0.0) return std::log(ra) + 0.5 + 0.5 * (head / ra);
    const double rb = MillsRatio<double>(o.b);
    const Pair g = square_gap(o.a, o.b);
    const double w = rho * rb;
    const double s = ra - w;
    return std::log(s) + 0.5 + 0.5 * ((head - w * (tau(o.b, rb) + (g.hi + g.lo))) / s);
}

// (-n(a)/M, n(b)/M) on the ordered interval. Tail pair: n(a)/M = 1/S(a, b), n(b)/M = rho/S with
// rho = n(b)/n(a) from the exact exponent; where rho would be subnormal, exp(-(b^2 - a^2)/2 - log S)
// with the exponent as a pair. Straddling: 2 n(t)/(2 M) from the erf sum.
struct Slopes {
    double lower, upper;
};

Slopes log_mass_slopes(const Ordered& o) {
    if (o.a == -kInf) return {0.0, 0.0};
    if (o.a < 0) {
        const double k = 2.0 * kInvSqrt2Pi / straddling_mass2(o.a, o.b);
        return {-(k * gauss(o.a)), k * gauss(o.b)};
    }
    const double s = scaled_mass(o.a, o.b);
    const Pair g = o.b == kInf ? Pair{kInf, 0.0} : exponent_gap(o.a, o.b);
    // Where n(b)/n(a) vanishes S = R(a), and far out 1/R(a) = a + 1/a to 2/a^3 (-R'/R = 1/a - 2/a^3 ...):
    // 1/S would take S near the bottom of the normal range and overflow for a near DBL_MAX.
    if (g.hi >= 4 * kExpUnderflow)
        return {o.a >= kTauUnit ? -(o.a >= kSquareLimit ? o.a : o.a + 1.0 / o.a) : -1.0 / s, 0.0};
    if (g.hi < kScaledExponent) return {-1.0 / s, exp_neg_half(g.hi, g.lo) / s};
    // lo may hold the roundings of both squares: renormalise before its first-order factor.
    const Pair n = two_sum(g.hi, g.lo);
    const Pair e = two_sum(-0.5 * n.hi, -std::log(s));
    return {-1.0 / s, std::exp(e.hi) * (1.0 + (e.lo - 0.5 * n.lo))};
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
    return at_most(at_least(pick(o.reflected, -m, m), a), b);
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

double TruncNormLogPdf(double x, double a, double b) {
    if (x != x || a != a || b != b) return quiet_nan();
    if (a > b) return invalid_nan();
    if (x < a || x > b) return -kInf;
    if (a == b) return kInf;
    // Scaled by 2^k, the density is 2^-k times the scaled one.
    if (const int k = tiny_scale(a, b))
        return TruncNormLogPdf(std::ldexp(x, k), std::ldexp(a, k), std::ldexp(b, k)) + k * kLn2;
    const Ordered o = order(a, b);
    return log_pdf(o.reflected ? -x : x, o);
}

// On a tiny interval the density is scaled exactly rather than through exp of k log 2 + ..., whose
// rounding would cost up to 700 eps.
double TruncNormPdf(double x, double a, double b) {
    if (a < b && a <= x && x <= b)
        if (const int k = tiny_scale(a, b))
            return std::ldexp(TruncNormPdf(std::ldexp(x, k), std::ldexp(a, k), std::ldexp(b, k)), k);
    return std::exp(TruncNormLogPdf(x, a, b));
}

double TruncNormLogCdf(double x, double a, double b) {
    if (x != x || a != a || b != b) return quiet_nan();
    if (a > b) return invalid_nan();
    return log_tail_probability(x, a, b, false);
}

double TruncNormLogSf(double x, double a, double b) {
    if (x != x || a != a || b != b) return quiet_nan();
    if (a > b) return invalid_nan();
    return log_tail_probability(x, a, b, true);
}

double TruncNormPpf(double p, double a, double b) {
    if (p != p || a != a || b != b) return quiet_nan();
    if (a > b || p < 0 || p > 1) return invalid_nan();
    if (p == 0) return a;
    if (p == 1 || a == b) return p == 1 ? b : a;
    if (const int k = tiny_scale(a, b))
        return std::ldexp(TruncNormPpf(p, std::ldexp(a, k), std::ldexp(b, k)), -k);
    return std::fmin(std::fmax(quantile(p, 1.0 - p, a, b), a), b);
}

double TruncNormIsf(double q, double a, double b) {
    if (q != q || a != a || b != b) return quiet_nan();
    if (a > b || q < 0 || q > 1) return invalid_nan();
    if (q == 0) return b;
    if (q == 1 || a == b) return a;
    if (const int k = tiny_scale(a, b))
        return std::ldexp(TruncNormIsf(q, std::ldexp(a, k), std::ldexp(b, k)), -k);
    // The upper quantile of [a, b] is the lower one of [-b, -a], negated: q keeps its digits.
    return std::fmin(std::fmax(-quantile(q, 1.0 - q, -b, -a), a), b);
}

double TruncNormEntropy(double a, double b) {
    if (a != a || b != b) return quiet_nan();
    if (a > b) return invalid_nan();
    if (a == b) return -kInf;
    // Scaling by 2^k adds k log 2 to the entropy.
    if (const int k = tiny_scale(a, b))
        return TruncNormEntropy(std::ldexp(a, k), std::ldexp(b, k)) - k * kLn2;
    return entropy(order(a, b));
}

void TruncNormDLogMass(double a, double b, double* da, double* db) {
    if (a != a || b != b) {
        *da = *db = quiet_nan();
        return;
    }
    if (a > b) {
        *da = *db = invalid_nan();
        return;
    }
    if (a == b) {
        *da = -kInf;
        *db = kInf;
        return;
    }
    // Scaling by 2^k subtracts k log 2 from the log mass and divides its slopes by 2^k. Beyond a
    // width of about 1/DBL_MAX they overflow, as they should.
    if (const int k = tiny_scale(a, b)) {
        TruncNormDLogMass(std::ldexp(a, k), std::ldexp(b, k), da, db);
        *da = std::ldexp(*da, k);
        *db = std::ldexp(*db, k);
        return;
    }
    const Ordered o = order(a, b);
    const Slopes s = log_mass_slopes(o);
    // Reflection exchanges the ends and negates both slopes (0 - s: an infinite end gives +0).
    *da = o.reflected ? 0.0 - s.upper : s.lower;
    *db = o.reflected ? 0.0 - s.lower : s.upper;
}

}  // namespace zelnor

extern "C" {
double zelnor_TruncNormLogMass(double a, double b) { return zelnor::TruncNormLogMass(a, b); }
double zelnor_TruncNormMean(double a, double b) { return zelnor::TruncNormMean(a, b); }
double zelnor_TruncNormVar(double a, double b) { return zelnor::TruncNormVar(a, b); }
double zelnor_TruncNormCdf(double x, double a, double b) { return zelnor::TruncNormCdf(x, a, b); }
double zelnor_TruncNormSf(double x, double a, double b) { return zelnor::TruncNormSf(x, a, b); }
double zelnor_TruncNormPdf(double x, double a, double b) { return zelnor::TruncNormPdf(x, a, b); }
double zelnor_TruncNormLogPdf(double x, double a, double b) { return zelnor::TruncNormLogPdf(x, a, b); }
double zelnor_TruncNormLogCdf(double x, double a, double b) { return zelnor::TruncNormLogCdf(x, a, b); }
double zelnor_TruncNormLogSf(double x, double a, double b) { return zelnor::TruncNormLogSf(x, a, b); }
double zelnor_TruncNormPpf(double p, double a, double b) { return zelnor::TruncNormPpf(p, a, b); }
double zelnor_TruncNormIsf(double q, double a, double b) { return zelnor::TruncNormIsf(q, a, b); }
double zelnor_TruncNormEntropy(double a, double b) { return zelnor::TruncNormEntropy(a, b); }
void zelnor_TruncNormDLogMass(double a, double b, double* da, double* db) { zelnor::TruncNormDLogMass(a, b, da, db); }
}
