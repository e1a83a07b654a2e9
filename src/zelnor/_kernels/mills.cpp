// Mills-ratio kernels: the regimes and identities are described at the top of mills.h.
#include "fp_strict.h"  // first: it sets the floating-point rules for everything below

#include "mills.h"

#include <cmath>
#include <limits>

#include "../_mills_coef.h"
#include "mills_regimes.h"

namespace zelnor {
namespace {

// Row of a piece table for mapped coordinate z: trunc(z) limited to the rows stored. A NaN z takes
// row 0 (the C++ conversion of a NaN or an out-of-range value to int would be undefined), and so does
// a negative z, which only the relative form outside its domain can produce.
inline int row_index(double z, int last_row) {
    if (!(z >= 1.0)) return 0;
    if (z >= last_row) return last_row;
    return static_cast<int>(z);
}

// Horner's rule over one row, highest coefficient first. Coefficients are stored once, in double, and
// rounded to T at each use; every product and sum is a T operation.
template <int W, typename T> inline T horner(const double* c, T s) {
    T p = T(c[W - 1]);
    for (int k = W - 2; k >= 0; --k) p = p * s + T(c[k]);
    return p;
}

// Rrel on [0, 1]: z = 12 x, s = z - i.
template <typename T> inline T rrel_piece(T x) {
    constexpr int w = rrel_width;
    const T z = T(rrel_scale) * x;
    const int i = row_index(z, last_row<w>(C_Rrel));
    const T s = z - T(i);
    return horner<w>(C_Rrel + w * i, s);
}

// -R' on [1, 97/6): z = 32 (x - 1)/(x + 2.5). s is z - i rewritten over the common denominator and
// formed from x, not by subtracting i from the rounded z; 2.5 i + 32 is exact in both precisions.
template <typename T> inline T r1_piece(T x) {
    constexpr int w = r1_width;
    const T d = x + T(r1_shift);
    const int i = row_index(((x - T(1)) * T(r1_scale)) / d, last_row<w>(C_R1));
    const T s = (T(r1_scale - i) * x - T(r1_shift * i + r1_scale)) / d;
    return horner<w>(C_R1 + w * i, s);
}

// -R''' on [0, 31.5): z = 50 x/(x + 3.5), s over the common denominator as above.
template <typename T> inline T r3_piece(T x) {
    constexpr int w = r3_width;
    const T d = x + T(r3_shift);
    const int i = row_index((x / d) * T(r3_scale), last_row<w>(C_R3));
    const T s = (T(r3_scale - i) * x - T(r3_shift * i)) / d;
    return horner<w>(C_R3 + w * i, s);
}

// Horner's rule in u over a padded convergent row from its first nonzero coefficient, so that no
// 0 * u is formed (it would be NaN for an infinite u, where the polynomial itself is infinite). The row
// is a template argument, so that each order compiles to its own straight-line polynomial.
template <std::size_t N> constexpr std::size_t leading(const double (&c)[N]) {
    std::size_t k = 0;
    while (k + 1 < N && c[k] == 0) ++k;
    return k;
}

template <std::size_t K, std::size_t N, typename T> inline T horner_from(const double (&c)[N], T u) {
    T p = T(c[K]);
    for (std::size_t k = K + 1; k < N; ++k) p = p * u + T(c[k]);
    return p;
}

// D = u delta - gamma and the numerator the caller asks for (d = 1: delta, d = 3: gamma).
template <int row, typename T> inline void convergent(T u, T& delta, T& gamma) {
    constexpr const Convergent& c = convergents[row];
    delta = horner_from<leading(c.delta)>(c.delta, u);
    gamma = horner_from<leading(c.gamma)>(c.gamma, u);
}

template <typename T> inline T infinity() { return std::numeric_limits<T>::infinity(); }

}  // namespace

// With delta_n(u) and gamma_n(u) the convergent polynomials and D = u delta - gamma:
//   R_n(x) = (D - delta)/(x D),  -R'_n = delta/D,  -R'''_n = gamma/D   (exact rational identities).
// Order 2 has delta = 1, gamma = 0.
template <typename T> T MillsRatio_CF(T x_or_u, int n, int d) {
    T u = x_or_u;
    if (d == 0) {
        u = x_or_u * x_or_u + T(3);
        if (n == 2) return (u - T(1)) / (x_or_u * u);
    } else if (n == 2) {
        return d == 1 ? T(1) / x_or_u : T(0);
    }
    T delta, gamma;
    switch (n) {
        case 4: convergent<convergent_row(4)>(u, delta, gamma); break;
        case 6: convergent<convergent_row(6)>(u, delta, gamma); break;
        case 8: convergent<convergent_row(8)>(u, delta, gamma); break;
        case 10: convergent<convergent_row(10)>(u, delta, gamma); break;
        default: convergent<convergent_row(deepest_order)>(u, delta, gamma); break;
    }
    const T D = u * delta - gamma;
    if (d == 1) return delta / D;
    if (d == 3) return gamma / D;
    return (D - delta) / (x_or_u * D);
}

// NaN is answered before any ordered comparison: on x86-64 comparing a NaN raises the invalid flag,
// and a quiet NaN should pass through quietly. The value is the same NaN the arithmetic would give.
template <typename T> T MillsRatio(T x) {
    using P = Precision<T>;
    if (x != x) return x;
    if (x < T(0)) {
        if (x < -P::reflection_cutoff) return infinity<T>();
        const T e = P::exp((T(0.5) * x) * x);
        const T r = MillsRatio(-x);
        return e * P::sqrt_2pi - r;
    }
    if (x <= T(rrel_upto)) return P::sqrt_pi_2 - x * rrel_piece(x);
    if (x >= T(r_cf_from)) {
        if (x >= T(r_reciprocal_from)) return T(1) / x;
        return MillsRatio_CF(x, cf_order(x, r_depths), 0);
    }
    return (T(1) - r1_piece(x)) / x;
}

// The tail needs no guard: from x = 12800 the depth is 2, whose value 1/u cannot overflow, and 1/u is
// +0 once u is infinite. That point is tested on x itself, so that squaring raises no overflow flag.
template <typename T> T MillsRatioDeriv1(T x) {
    using P = Precision<T>;
    if (x != x) return x;
    if (x < T(0)) {
        if (x < -P::reflection_cutoff) return infinity<T>();
        const T y = -x;
        const T e = P::exp((T(0.5) * x) * x);
        return MillsRatioDeriv1(y) + (P::sqrt_2pi * y) * e;
    }
    if (x <= T(rrel_upto)) {
        const T rrel = rrel_piece(x);
        return T(1) - x * (P::sqrt_pi_2 - rrel * x);
    }
    if (x >= T(d1_cf_from)) {
        if (x > P::tail_guard) return T(0);
        const T u = x * x + T(3);
        return MillsRatio_CF(u, cf_order(x, d1_depths), 1);
    }
    return r1_piece(x);
}

// Beyond the tail guard on u the depth-4 value 6/(u (u + 4) - 6) would overflow in u (u + 4); there it
// is (6/u)/(u + 4), equal to far below the last place (the dropped 6/u^2 is below 2^-500), and
// subnormal or zero as the value is: about 6/x^4, from 3.3e-308 at x = 1.16e77 down (float: 1.8e-38
// at 2^32). Beyond the guard on x itself u would overflow, and 6/x^4 lies below half the smallest
// subnormal: +0, tested first so that squaring a huge x raises no overflow flag.
template <typename T> T MillsRatioDeriv3(T x) {
    using P = Precision<T>;
    if (x != x) return x;
    if (x < T(0)) {
        if (x < -P::reflection_cutoff) return infinity<T>();
        const T y = -x;
        const T e = P::exp((T(0.5) * x) * x);
        return MillsRatioDeriv3(y) + ((x * x + T(3)) * (P::sqrt_2pi * y)) * e;
    }
    if (x >= T(d3_cf_from)) {
        if (x > P::tail_guard) return T(0);
        const T u = x * x + T(3);
        if (u > P::tail_guard) return (T(6) / u) / (u + T(4));
        return MillsRatio_CF(u, cf_order(x, d3_depths), 3);
    }
    return r3_piece(x);
}

template <typename T> T MillsRatioRel_below1(T x) {
    if (x != x) return x;
    return rrel_piece(x);
}

template float MillsRatio_CF<float>(float, int, int);
template double MillsRatio_CF<double>(double, int, int);
template float MillsRatio<float>(float);
template double MillsRatio<double>(double);
template float MillsRatioDeriv1<float>(float);
template double MillsRatioDeriv1<double>(double);
template float MillsRatioDeriv3<float>(float);
template double MillsRatioDeriv3<double>(double);
template float MillsRatioRel_below1<float>(float);
template double MillsRatioRel_below1<double>(double);

}  // namespace zelnor

extern "C" {
double zelnor_MillsRatio(double x) { return zelnor::MillsRatio(x); }
double zelnor_MillsRatioDeriv1(double x) { return zelnor::MillsRatioDeriv1(x); }
double zelnor_MillsRatioDeriv3(double x) { return zelnor::MillsRatioDeriv3(x); }
double zelnor_MillsRatioRel_below1(double x) { return zelnor::MillsRatioRel_below1(x); }
double zelnor_MillsRatio_CF(double xu, int n, int d) { return zelnor::MillsRatio_CF(xu, n, d); }
}
