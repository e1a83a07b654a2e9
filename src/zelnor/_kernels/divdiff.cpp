// Divided-difference kernels: the regimes and identities are described at the top of divdiff.h.
#include "fp_strict.h"  // first: it sets the floating-point rules for everything below

#include "divdiff.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <limits>
#include <utility>

namespace zelnor {
namespace {

static_assert(float(0.0392) == 0.0392f && float(21.2) == 21.2f && float(17.1) == 17.1f,
              "decimal constants must round to the float literal of the same decimal");

// 1/(a b) from the halves ah = a/2, bh = b/2 (which exist even where a or b itself overflows), by
// mantissas and exponents, so that neither the product nor the reciprocal overflows on the way; the
// result is the subnormal or zero where 1/(a b) lies below the normal range. A zero half gives the
// signed infinity of the pole.
template <typename T> T reciprocal_product_of_halves(T ah, T bh) {
    int ea, eb;
    const T ma = std::frexp(ah, &ea), mb = std::frexp(bh, &eb);
    return std::ldexp(T(1) / (ma * mb), -ea - eb - 2);
}

// Where a^2 + b^2 overflows, or x -+ dx itself does. Then max(|a|, |b|) > 2^511.5 in double (2^63.5 in
// float), so M = max(|x|, |dx|) exceeds 2^510.5 (2^62.5). Either the smaller of |x|, |dx| is below M/2,
// and |a|, |b| are both at least M/2, or both x and dx are multiples of 2^457 (2^38), and so is the
// exactly formed x -+ dx. So the smaller of |a|, |b| is 0 or at least 2^457 (2^38). In the second case
// every convergent is 1/y (1 - 1/y^2 + ...) at both points, and the divided difference
// is 1/(a b) up to a relative 1/a^2 + 1/(a b) + 1/b^2, below 2^-912 (2^-74): no convergent needs
// evaluating.
template <typename T> T cf_diff_far_out(T x, T dx, long long n) {
    const T ah = x * T(0.5) - dx * T(0.5), bh = x * T(0.5) + dx * T(0.5);
    // An infinite x or dx: +0 at x = +inf (the divided difference falls like 1/x^2), NaN for inf - inf.
    if (!(std::isfinite(ah) && std::isfinite(bh))) return T(1) / (ah * bh);
    T sh = ah, Lh = bh;
    if (std::fabs(sh) > std::fabs(Lh)) std::swap(sh, Lh);
    if (sh == T(0)) {
        // K_m(0) is 0 for even m (A_m(0) = 0), so the difference is -K_m(L)/L = -1/L^2, below the
        // normal range; for odd m, B_m(0) = 0 and x -+ dx sits on the pole. m = n + 1, and a negative n
        // acts as 1.
        if (n < 1 || n % 2 == 1) return -reciprocal_product_of_halves(Lh, Lh);
        return T(1) / (sh * Lh);
    }
    return reciprocal_product_of_halves(ah, bh);
}

// Binary exponents and powers of two by their bit patterns, for normal values only: the rescaled loop
// may rescale at every pass (for huge a or b), so these stay inline instead of calling ilogb and ldexp.
template <typename T> struct Layout;
template <> struct Layout<double> {
    using Int = std::uint64_t;
    static constexpr int mantissa = 52, bias = 1023;
};
template <> struct Layout<float> {
    using Int = std::uint32_t;
    static constexpr int mantissa = 23, bias = 127;
};

template <typename T> int exponent_of(T v) {
    typename Layout<T>::Int bits;
    std::memcpy(&bits, &v, sizeof v);
    return int((bits >> Layout<T>::mantissa) & ((1u << (8 * sizeof(T) - 1 - Layout<T>::mantissa)) - 1)) -
           Layout<T>::bias;
}

template <typename T> T power_of_two(int e) {
    const typename Layout<T>::Int bits = typename Layout<T>::Int(e + Layout<T>::bias) << Layout<T>::mantissa;
    T v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// The scale of a carried triple (the V and T values together, the Pa pair or the Pb pair), whose true
// values are its members times 2^exponent. One pass multiplies the largest member by less than
// 2^growth, so while it stays below top = 2^(limit + 1), limit = max_exponent - 3 - passes growth, the
// next `passes` passes cannot overflow. Past top the members are brought down to 2^target, the middle
// of the range between limit and the bottom of the normal range: as much room below, for members far
// smaller than the largest, as above, for growth, so that rescaling is rare wherever growth is moderate.
template <typename T> struct Scale {
    int target;
    T top;
    long long exponent = 0;

    Scale(int growth, int passes) {
        const int limit = std::numeric_limits<T>::max_exponent - 3 - passes * growth;
        // In float the room can be narrow (a^2 + b^2 near the top and k near 2^31): never above limit.
        target = std::min(limit - 1, (limit + std::numeric_limits<T>::min_exponent + 64) / 2);
        top = power_of_two<T>(limit + 1);
    }

    // Rescale if a member is at or above top (then normal, so its exponent is read from its bits).
    // Scaling by 2^-shift is exact wherever the members stay normal; it is applied in two halves, since
    // the whole shift can exceed the exponent range of one power of two.
    template <typename... M> void keep_in_range(M&... members) {
        T big = T(0);
        ((big = std::fabs(members) > big ? std::fabs(members) : big), ...);
        if (!(big >= top)) return;
        const int shift = exponent_of(big) - target;
        const T f1 = power_of_two<T>(-(shift / 2)), f2 = power_of_two<T>(-(shift - shift / 2));
        ((members = (members * f1) * f2), ...);
        exponent += shift;
    }
};

// The carried values of the convergent recurrences at one index m: V and T, and the convergent
// denominators Pa = B_m(a) and Pb = B_m(b), each as a previous / current pair, from their start values
// at m = 2. The loop invariants a b, a^2 + b^2 and 2 a b (formed as a b + a b) are kept beside them.
template <typename T> struct Carried {
    const T a, b, ab, s2, ab2;
    T V_p, V_c, T_p, T_c, Pa_p, Pa_c, Pb_p, Pb_c;

    Carried(T a_, T b_, T ab_, T s2_)
        : a(a_), b(b_), ab(ab_), s2(s2_), ab2(ab_ + ab_), V_p(1), V_c(ab_ - T(1)), T_p(-1),
          T_c(s2_ + T(1)), Pa_p(a_), Pa_c(a_ * a_ + T(1)), Pb_p(b_), Pb_c(b_ * b_ + T(1)) {}

    // One pass, from index k to k + 1: all four new values from the old ones, then the shift.
    void advance(long long k) {
        const T kk = T(k), km1 = T(k - 1);
        const T V_n = ab * V_c + kk * (T_c + kk * V_p);
        const T T_n = s2 * V_c + kk * (km1 * T_p + ab2 * V_p);
        const T Pa_n = a * Pa_c + kk * Pa_p;
        const T Pb_n = b * Pb_c + kk * Pb_p;
        V_p = V_c;
        V_c = V_n;
        T_p = T_c;
        T_c = T_n;
        Pa_p = Pa_c;
        Pa_c = Pa_n;
        Pb_p = Pb_c;
        Pb_c = Pb_n;
    }
};

// The same recurrence as the plain loop of MillsRatioDiff_CF, in the same order of operations, with the
// carried triples kept in range: V (and T) is V_c 2^eV, B_m(a) is Pa_c 2^eA, B_m(b) is Pb_c 2^eB. Each
// recurrence is homogeneous in its own triple, so the three exponents are independent, and a and b of
// very different sizes (x - dx tiny, x + dx large) are each kept in range. Entered only where the plain
// loop overflows, so its results replace only zeros, infinities and NaNs.
template <typename T> T cf_diff_rescaled(T a, T b, long long n) {
    Carried<T> c(a, b, a * b, a * a + b * b);
    const T s2 = c.s2;

    // Growth of one pass, for every k <= n: |Pa_n| <= (|a| + k) max|Pa|, and for V and T, counting the
    // partial products in their order of evaluation, at most (1 + s2)(1 + k)^2 max(|V|, |T|).
    const T k_top = T(n > 1 ? n : 1);
    const int growth_v = std::ilogb(s2 + T(1)) + 1 + 2 * (std::ilogb(k_top + T(1)) + 1);
    const int growth_a = std::ilogb(std::fabs(a) + k_top) + 1;
    const int growth_b = std::ilogb(std::fabs(b) + k_top) + 1;
    // The ranges are tested every `passes` passes (a power of two), as many as a quarter of the exponent
    // range allows: the tests, not the recurrence, would otherwise set the cost of a pass.
    const int span = (std::numeric_limits<T>::max_exponent - std::numeric_limits<T>::min_exponent) / 4;
    const int widest = std::max(growth_v, std::max(growth_a, growth_b));
    int passes = 8;
    while (passes > 1 && passes * widest > span) passes /= 2;
    const long long mask = passes - 1;
    Scale<T> v(growth_v, passes), pa(growth_a, passes), pb(growth_b, passes);
    const auto keep_in_range = [&] {
        v.keep_in_range(c.V_p, c.V_c, c.T_p, c.T_c);
        pa.keep_in_range(c.Pa_p, c.Pa_c);
        pb.keep_in_range(c.Pb_p, c.Pb_c);
    };
    keep_in_range();
    for (long long k = 2; k <= n; ++k) {
        c.advance(k);
        if ((k & mask) == 0) keep_in_range();
    }
    const T V_c = c.V_c, Pa_c = c.Pa_c, Pb_c = c.Pb_c;

    // A zero numerator or denominator needs no exponents (0, or the infinity of a pole at a = 0 or
    // b = 0 with m odd).
    if (V_c == T(0) || Pa_c == T(0) || Pb_c == T(0)) return V_c / (Pb_c * Pa_c);
    int ev, ea, eb;
    const T mv = std::frexp(V_c, &ev), ma = std::frexp(Pa_c, &ea), mb = std::frexp(Pb_c, &eb);
    long long e = (v.exponent + ev) - (pa.exponent + ea) - (pb.exponent + eb);
    // Far beyond either end of the range the clamp changes nothing: ldexp saturates to 0 or infinity.
    if (e > 4096) e = 4096;
    if (e < -4096) e = -4096;
    return std::ldexp(mv / (mb * ma), int(e));
}

// num/(2 d), the quotient formed without overflowing 2 d (past half the largest finite value the
// halving comes after the division), and an infinite numerator, an infinite Mills ratio in the
// difference or the sum, gives the infinity of that sign at any step, an infinite one included.
// Wherever 2 d is finite the quotient is num/(d + d) as written. The comparison is the quiet one, as
// d may be NaN.
template <typename T> T over_twice(T num, T d) {
    if (std::isinf(num)) return std::copysign(num, d);
    if (std::isgreater(std::fabs(d), std::numeric_limits<T>::max() * T(0.5))) return (num / d) * T(0.5);
    return num / (d + d);
}

// sqrt(2 pi); its double rounds to the float literal of the same constant.
template <typename T> constexpr T sqrt_2pi = T(2.5066282746310002);
static_assert(sqrt_2pi<float> == 2.5066282749176025f, "sqrt(2 pi) must round to its float literal");

// The difference at x = -y <= -1.25, where the window of the series is empty and R(x - h) - R(x + h)
// cancels. The reflection R(-t) = sqrt(2 pi) exp(t^2/2) - R(t) at t = y + h and t = y - h gives
//   D(x, h) = sqrt(2 pi) exp((y^2 + h^2)/2) sinh(y h)/h + D(y, h),
// a sum of two positive terms, D(y, h) from the regimes above. With t = 2 y h the first is
//   sqrt(2 pi) y exp((y + h)^2/2) (1 - e^(-t))/t,
// whose last factor is 1 at h = 0, where D(x, 0) = -R'(x). The exponent E = (y + h)^2/2 is formed as
// an unevaluated sum (two-sum of y + h, the square's rounding by fma), since its rounding would cost
// E eps; its tail lo enters as the factor 1 + lo, exact to lo^2. exp(E) is taken as the square of
// w = exp(E/2) with the other factors between the two w: where exp(E) alone would overflow, the value
// may still be finite (the other factors can be below 1), and where w itself overflows E > 2 ln(max),
// so y + h > 53.3 in double (26.6 in float) and the value, at least exp(E)/(2 h), is infinite.
template <typename T> T reflected_difference(T y, T h) {
    const T d_y = MillsRatioDiff(y, h, 1);
    const T S = y + h;
    const T back = S - y;
    const T S_err = (y - (S - back)) + (h - back);
    const T P = S * S;
    const T w = std::exp(P * T(0.25));
    if (std::isinf(w)) return w;
    const T lo = std::fma(S, S, -P) * T(0.5) + S * S_err;
    const T t = (y * h) * T(2);
    // Below half an epsilon (1 - e^(-t))/t = 1 - t/2 + ... rounds to 1; also t = 0 at h = 0.
    const T ratio = t < std::numeric_limits<T>::epsilon() * T(0.5) ? T(1) : -std::expm1(-t) / t;
    const T f = ((sqrt_2pi<T> * y) * ratio) * (T(1) + lo);
    return (w * f) * w + d_y;
}

}  // namespace

// The loop runs n_terms - 1 passes, counted in a 64-bit integer so that n_terms = INT_MAX ends; k and
// k - 1 enter the arithmetic as T. The plain loop is the arithmetic as written; once any carried value
// is no longer finite, the rest of the plain computation could only end in 0, an infinity or NaN (an
// infinity stays: it is multiplied by the nonzero k or by a b, a^2 + b^2, a, b, and only a zero factor
// turns it into NaN), and the same happens when the final product Pb Pa overflows. Only then is the
// rescaled evaluation run, so every result the plain arithmetic gives finite and nonzero is kept bit for
// bit, and only those cases pay for a second pass.
template <typename T> T MillsRatioDiff_CF(T x, T dx, int n_terms) {
    // NaN first, without an ordered comparison (which would raise the invalid flag).
    if (x != x || dx != dx) return x + dx;
    const T a = x - dx;
    const T b = x + dx;
    const T ab = a * b;
    if (n_terms == 0) {
        // 1/(a b) as written wherever a b is finite (an underflowing a b gives the infinity the exact
        // value rounds to), and for infinite x or dx (+0 at x = +inf, NaN for inf - inf). Where a b
        // overflows, or x -+ dx does, 1/(a b) from the halves.
        if (std::isfinite(ab) || !(std::isfinite(x) && std::isfinite(dx))) return T(1) / ab;
        return reciprocal_product_of_halves(x * T(0.5) - dx * T(0.5), x * T(0.5) + dx * T(0.5));
    }
    const long long n = n_terms;
    const T s2 = a * a + b * b;
    // An overflowing a^2 + b^2 enters T_c, and from there every pass, or with n_terms <= 1 the product
    // Pb_c Pa_c: the plain arithmetic cannot give a finite nonzero value.
    if (!std::isfinite(s2)) return cf_diff_far_out(x, dx, n);

    Carried<T> c(a, b, ab, s2);
    bool finite = true;
    for (long long k = 2; k <= n && finite; ++k) {
        c.advance(k);
        finite = std::isfinite(c.V_c) && std::isfinite(c.T_c) && std::isfinite(c.Pa_c) && std::isfinite(c.Pb_c);
    }
    if (finite) {
        const T r = c.V_c / (c.Pb_c * c.Pa_c);
        if (std::isfinite(r) && r != T(0)) return r;
    }
    return cf_diff_rescaled(a, b, n);
}

template <typename T> T MillsRatioDiff(T x, T dx, int theta) {
    if (theta < 0) {
        // Reflected sum: no cancellation, always direct.
        const T r1 = MillsRatio(dx - x);
        const T r2 = MillsRatio(x + dx);
        return over_twice(r2 + r1, dx);
    }
    // NaN goes straight out, before the window comparison could raise the invalid flag.
    if (x != x || dx != dx) return x + dx;
    // The difference is even in dx: computing it with |dx| makes a negative step behave as the positive
    // one (a negative dx would otherwise always pass the window test and reach the series regimes with
    // x - dx far above x).
    const T d = std::fabs(dx);
    if (x <= T(-1.25)) return reflected_difference(-x, d);
    const T a = x - d;
    if ((T(1.25) + x) * T(0.0392) > d) {
        // Far tail: the bounds are on x - d, the smaller argument, and the depths those of -R' there.
        if (a >= T(12800)) return MillsRatioDiff_CF(x, d, 2);
        if (a >= T(165)) return MillsRatioDiff_CF(x, d, 4);
        if (a >= T(41)) return MillsRatioDiff_CF(x, d, 6);
        if (a >= T(21.2)) return MillsRatioDiff_CF(x, d, 8);

        // Taylor series in d about x; inside the window x < 22.2 here, so from 17.1 on the depth-12
        // convergent is exactly what -R''' itself would use, without its tail guard.
        const T u = x * x + T(3);
        const T r_d3 = x >= T(17.1) ? MillsRatio_CF(u, 12, 3) : MillsRatioDeriv3(x);
        const T r_d1 = (T(1) + r_d3) / u;
        const T r_d5 = (T(4) + u) * r_d3 - r_d1 * T(6);
        const T r_d7 = (T(8) + u) * r_d5 - r_d3 * T(20);
        const T r_d9 = (u + T(12)) * r_d7 - r_d5 * T(42);
        const T dx2 = d * d;
        return r_d1 +
               (dx2 / T(6)) *
                   (r_d3 + (dx2 / T(20)) * (r_d5 + (dx2 / T(42)) * (r_d7 + (dx2 / T(72)) * r_d9)));
    }
    // Left of 0 the window closes towards x = -1.25, and the direct difference of a step just beyond
    // it cancels; there the reflected difference, a sum of positive terms with its exponent carried
    // exactly, is taken as below -1.25.
    if (x < T(0)) return reflected_difference(-x, d);
    // Direct: the step is large enough that the difference of two Mills ratios keeps its precision.
    const T ra = MillsRatio(a);
    const T rb = MillsRatio(x + d);
    return over_twice(ra - rb, d);
}

template float MillsRatioDiff_CF<float>(float, float, int);
template double MillsRatioDiff_CF<double>(double, double, int);
template float MillsRatioDiff<float>(float, float, int);
template double MillsRatioDiff<double>(double, double, int);

}  // namespace zelnor

extern "C" {
double zelnor_MillsRatioDiff(double x, double dx, int theta) { return zelnor::MillsRatioDiff(x, dx, theta); }
double zelnor_MillsRatioDiff_CF(double x, double dx, int n_terms) {
    return zelnor::MillsRatioDiff_CF(x, dx, n_terms);
}
}
