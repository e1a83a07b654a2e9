// Where the Mills-ratio kernels split the line, and the constants that depend on the precision: one
// definition read by the scalar templates (mills.cpp) and by the vector blocks (mills_simd_impl.h), so
// the two can never disagree on a regime, a row or a convergent order. Internal to the kernels.
//
// Everything here has internal linkage: the vector blocks are compiled once per instruction set, and
// a shared inline definition compiled with AVX-512 could otherwise be the one the linker keeps for the
// scalar code too.
#ifndef ZELNOR_KERNELS_MILLS_REGIMES_H
#define ZELNOR_KERNELS_MILLS_REGIMES_H

#include <cmath>
#include <cstddef>

namespace zelnor {
namespace {

// The constants that depend on the precision. Decimal thresholds are written once in double and used
// as T(threshold): for every threshold below the double rounds to the same float as the float
// literal of the same decimal.
template <typename T> struct Precision;

template <> struct Precision<double> {
    // sqrt(2 ln DBL_MAX): below -L, exp(x^2/2) overflows.
    static constexpr double reflection_cutoff = 37.67712072049519;
    static constexpr double sqrt_2pi = 2.5066282746310007;
    static constexpr double sqrt_pi_2 = 1.2533141373155003;
    // Largest double whose square is finite (2^512 - 2^459): above it u = x^2 + 3 would overflow.
    static constexpr double tail_guard = 1.3407807929942596e154;
    static double exp(double v) { return std::exp(v); }
};

template <> struct Precision<float> {
    static constexpr float reflection_cutoff = 13.320874214172363f;
    static constexpr float sqrt_2pi = 2.5066282749176025f;
    static constexpr float sqrt_pi_2 = 1.2533141374588013f;
    static constexpr float tail_guard = 1.8446742974197924e19f;  // 2^64 - 2^40
    static float exp(float v) { return ::expf(v); }
};

// Convergent order n used from x >= from on, the entries in falling x; below the last entry the
// deepest order, 12. Each order starts where its relative truncation error falls to about 2^-52.
struct Depth {
    double from;
    int n;
};
constexpr int deepest_order = 12;

// The convergent polynomials delta_n and gamma_n of MillsRatio_CF in u = x^2 + 3 for the orders
// n = 2, 4, ..., 12 (row n/2 - 1), highest power first. Leading zeros pad every order to one length:
// a Horner pass over the padded row gives the order's value bit for bit wherever u is finite, since
// 0 u + c = c and 1 u + c = u + c exactly; so one pass can serve lanes of different orders.
struct Convergent {
    double delta[6];
    double gamma[5];
};
constexpr Convergent convergents[] = {
    {{0, 0, 0, 0, 0, 1}, {0, 0, 0, 0, 0}},
    {{0, 0, 0, 0, 1, 4}, {0, 0, 0, 0, 6}},
    {{0, 0, 0, 1, 12, 12}, {0, 0, 0, 6, 48}},
    {{0, 0, 1, 24, 114, -24}, {0, 0, 6, 120, 324}},
    {{0, 1, 40, 426, 936, -1248}, {0, 6, 216, 1812, 1728}},
    {{1, 60, 1116, 6816, 4932, -22320}, {6, 336, 5472, 24768, -1080}},
};
constexpr int convergent_row(int n) { return n / 2 - 1; }

// Pieces: Rrel for 0 <= x <= rrel_upto, z = rrel_scale x; -R' from C_R1, z = r1_scale (x - 1)/(x + r1_shift);
// -R''' from C_R3, z = r3_scale x/(x + r3_shift).
constexpr double rrel_upto = 1;
constexpr double rrel_scale = 12;
constexpr double r1_scale = 32, r1_shift = 2.5;
constexpr double r3_scale = 50, r3_shift = 3.5;
constexpr int rrel_width = 8, r1_width = 8, r3_width = 9;

// R: C_R1 pieces up to r_cf_from, convergents up to r_reciprocal_from, then 1/x.
constexpr double r_cf_from = 9.5;
constexpr double r_reciprocal_from = 6.7e7;
constexpr Depth r_depths[] = {{548, 2}, {59.3, 4}, {24.1, 6}, {15.1, 8}, {11.4, 10}};

// -R': C_R1 pieces up to d1_cf_from, convergents in u = x^2 + 3 from there (up to the tail guard).
constexpr double d1_cf_from = 11.5;
constexpr Depth d1_depths[] = {{12800, 2}, {165, 4}, {41, 6}, {21.2, 8}, {14.5, 10}};

// -R''': C_R3 pieces up to d3_cf_from, convergents in u from there.
constexpr double d3_cf_from = 17.1;
constexpr Depth d3_depths[] = {{17300, 4}, {210, 6}, {50.5, 8}, {25.4, 10}};

static_assert(float(59.3) == 59.3f && float(24.1) == 24.1f && float(15.1) == 15.1f &&
                  float(11.4) == 11.4f && float(21.2) == 21.2f && float(25.4) == 25.4f &&
                  float(17.1) == 17.1f && float(50.5) == 50.5f && float(14.5) == 14.5f,
              "decimal thresholds must round to the float literal of the same decimal");

// The convergent order for x >= the first threshold of its function (x is not NaN): one comparison
// after another, as a chain of conditional expressions.
template <std::size_t K = 0, typename T, std::size_t N> inline int cf_order(T x, const Depth (&depths)[N]) {
    if constexpr (K == N) return deepest_order;
    else return x >= T(depths[K].from) ? depths[K].n : cf_order<K + 1>(x, depths);
}

template <int W, std::size_t N> constexpr int last_row(const double (&)[N]) {
    static_assert(N % W == 0, "table length must be a whole number of rows");
    return int(N / W) - 1;
}

}  // namespace
}  // namespace zelnor

#endif
