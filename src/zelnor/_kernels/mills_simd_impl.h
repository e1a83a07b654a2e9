// The vector algorithm of mills_simd.h, written once over a vector of Bytes bytes and included by one
// translation unit per instruction set (mills_simd_baseline.cpp, mills_simd_avx2.cpp,
// mills_simd_avx512.cpp), each compiled with its own -m flags. Everything here has internal linkage,
// so no definition compiled for one instruction set can stand in for another's.
//
// Each regime below names the lines of mills.cpp it mirrors; the order of operations is theirs.
#ifndef ZELNOR_KERNELS_MILLS_SIMD_IMPL_H
#define ZELNOR_KERNELS_MILLS_SIMD_IMPL_H

#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "../_mills_coef.h"
#include "mills_regimes.h"
#include "mills_simd.h"

namespace zelnor {
namespace {

// The coefficient tables in T, each double rounded to T as the templates round it at each use;
// Rrel and -R' side by side (Rrel rows first), since both have rows of eight.
template <typename T, std::size_t N> struct Table {
    T v[N];
};
template <typename T, std::size_t A, std::size_t B>
constexpr Table<T, A + B> joined(const double (&a)[A], const double (&b)[B]) {
    Table<T, A + B> t{};
    for (std::size_t k = 0; k < A; ++k) t.v[k] = T(a[k]);
    for (std::size_t k = 0; k < B; ++k) t.v[A + k] = T(b[k]);
    return t;
}
template <typename T, std::size_t N> constexpr Table<T, N> converted(const double (&a)[N]) {
    Table<T, N> t{};
    for (std::size_t k = 0; k < N; ++k) t.v[k] = T(a[k]);
    return t;
}
template <typename T> constexpr auto rrel_r1_rows = joined<T>(C_Rrel, C_R1);
template <typename T> constexpr auto r3_rows = converted<T>(C_R3);
static_assert(rrel_width == r1_width, "Rrel and -R' rows share one Horner pass");
constexpr int r1_first_row = last_row<rrel_width>(C_Rrel) + 1;

// The padded convergent rows as columns: column k holds coefficient k of every order.
template <typename T, int K> struct Columns {
    T delta[6][K];
    T gamma[5][K];
};
template <typename T, int K> constexpr Columns<T, K> convergent_columns() {
    Columns<T, K> c{};
    for (int j = 0; j < int(std::size(convergents)); ++j) {
        for (int k = 0; k < 6; ++k) c.delta[k][j] = T(convergents[j].delta[k]);
        for (int k = 0; k < 5; ++k) c.gamma[k][j] = T(convergents[j].gamma[k]);
    }
    return c;
}

template <typename T_, int Bytes> struct Vec {
    using T = T_;
    using I = std::conditional_t<sizeof(T) == 8, std::int64_t, std::int32_t>;
    static constexpr int lanes = Bytes / int(sizeof(T));
    typedef T F __attribute__((vector_size(Bytes)));
    typedef I M __attribute__((vector_size(Bytes)));                 // lane masks: all ones or zero
    // Table indices; the element type is spelled dependent on T only because GCC ignores a dependent
    // vector_size on a non-dependent type.
    using I32 = std::conditional_t<sizeof(T) != 0, std::int32_t, T>;
    typedef I32 Idx __attribute__((vector_size(Bytes / sizeof(T) * 4)));

    static F splat(T v) { return F{} + v; }

    static bool any(M m) {
#if defined(__AVX512F__)
        if constexpr (Bytes == 64) return _mm512_test_epi64_mask(__m512i(m), __m512i(m)) != 0;
#endif
#if defined(__AVX__)
        if constexpr (Bytes == 32) return !_mm256_testz_si256(__m256i(m), __m256i(m));
#endif
#if defined(__SSE2__)
        if constexpr (Bytes == 16) return _mm_movemask_epi8(__m128i(m)) != 0;
#endif
        for (int l = 0; l < lanes; ++l)
            if (m[l]) return true;
        return false;
    }

    // table[i] per lane. (The masked forms with every lane set, only because GCC warns about the
    // undefined source operand of the unmasked ones.)
    static F gather(const T* table, Idx i) {
#if defined(__AVX512F__)
        if constexpr (Bytes == 64 && sizeof(T) == 8)
            return _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xff, __m256i(i), table, 8);
        if constexpr (Bytes == 64 && sizeof(T) == 4)
            return _mm512_mask_i32gather_ps(_mm512_setzero_ps(), 0xffff, __m512i(i), table, 4);
#endif
#if defined(__AVX2__)
        if constexpr (Bytes == 32 && sizeof(T) == 8)
            return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), table, __m128i(i),
                                            _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
        if constexpr (Bytes == 32 && sizeof(T) == 4)
            return _mm256_mask_i32gather_ps(_mm256_setzero_ps(), table, __m256i(i),
                                            _mm256_castsi256_ps(_mm256_set1_epi32(-1)), 4);
#endif
        F r;
        for (int l = 0; l < lanes; ++l) r[l] = table[i[l]];
        return r;
    }

    static Idx to_index(F v) { return __builtin_convertvector(v, Idx); }
};

template <typename V> struct Kernels {
    using T = typename V::T;
    using F = typename V::F;
    using M = typename V::M;
    using Idx = typename V::Idx;
    using P = Precision<T>;
    static constexpr int lanes = V::lanes;
    static constexpr auto columns = convergent_columns<T, 8>();

    // row_index of mills.cpp: trunc(z) limited to [0, last], 0 for z < 1 and NaN; as a value in T.
    static F row(F z, int last) {
        F c = z >= T(1) ? z : V::splat(0);
        c = c >= T(last) ? V::splat(T(last)) : c;
        return __builtin_convertvector(V::to_index(c), F);
    }

    // horner<W> of mills.cpp over the row starting at first[l] in each lane.
    template <int W> static F horner(const T* table, Idx first, F s) {
        F p = V::gather(table + (W - 1), first);
        for (int k = W - 2; k >= 0; --k) p = p * s + V::gather(table + k, first);
        return p;
    }

    // The piece regimes of R and -R': rrel_piece for the lanes in low, r1_piece for those in mid (x in
    // (1, 97/6)); the other lanes use stand-in arguments and their result is meaningless.
    static F rrel_or_r1(F x, M low, M mid) {
        const F xl = low ? x : V::splat(T(0.5));
        const F xm = mid ? x : V::splat(T(2));
        // rrel_piece
        const F zl = T(rrel_scale) * xl;
        const F il = row(zl, last_row<rrel_width>(C_Rrel));
        const F sl = zl - il;
        // r1_piece
        const F d = xm + T(r1_shift);
        const F im = row(((xm - T(1)) * T(r1_scale)) / d, last_row<r1_width>(C_R1));
        const F sm = ((T(r1_scale) - im) * xm - (T(r1_shift) * im + T(r1_scale))) / d;
        const F i = low ? il : im + T(r1_first_row);
        return horner<rrel_width>(rrel_r1_rows<T>.v, V::to_index(i * T(rrel_width)), low ? sl : sm);
    }

    // r3_piece, x in [0, 31.5).
    static F r3(F x) {
        const F d = x + T(r3_shift);
        const F i = row((x / d) * T(r3_scale), last_row<r3_width>(C_R3));
        const F s = ((T(r3_scale) - i) * x - (T(r3_shift) * i)) / d;
        return horner<r3_width>(r3_rows<T>.v, V::to_index(i * T(r3_width)), s);
    }

    // The convergent order's row (convergent_row of cf_order) per lane, as a value in T.
    template <std::size_t N> static F order_row(F x, const Depth (&depths)[N]) {
        F j = V::splat(T(convergent_row(deepest_order)));
        for (std::size_t k = N; k-- > 0;)  // rising thresholds: the highest one passed decides
            j = x >= T(depths[k].from) ? V::splat(T(convergent_row(depths[k].n))) : j;
        return j;
    }

    // delta and gamma of MillsRatio_CF at finite u, each lane at the order of its row j.
    static void convergent(F u, F j, F& delta, F& gamma) {
        const Idx jj = V::to_index(j);
        delta = V::gather(columns.delta[0], jj);
        for (int k = 1; k < 6; ++k) delta = delta * u + V::gather(columns.delta[k], jj);
        gamma = V::gather(columns.gamma[0], jj);
        for (int k = 1; k < 5; ++k) gamma = gamma * u + V::gather(columns.gamma[k], jj);
    }

    // The reflection's exponential exp((0.5 x) x) per lane in refl, by the templates' scalar exp; 0 elsewhere.
    static F reflection_exp(F x, M refl) {
        const F a = (T(0.5) * x) * x;
        F e = V::splat(0);
        for (int l = 0; l < lanes; ++l)
            if (refl[l]) e[l] = P::exp(a[l]);
        return e;
    }

    // MillsRatio.
    static F millsratio(F x0) {
        const M nan = x0 != x0;                 // quiet comparison; NaN lanes take 0 below, so that
        const F x = nan ? V::splat(0) : x0;     // no ordered comparison sees a NaN
        const M neg = x < T(0);
        const F y = neg ? -x : x;
        const M low = y <= T(rrel_upto);
        const M cf = (y >= T(r_cf_from)) & (y < T(r_reciprocal_from));
        const M recip = y >= T(r_reciprocal_from);
        const M mid = ~(low | cf | recip);
        F num = V::splat(1), den = y, r = V::splat(0);
        if (V::any(low | mid)) {
            const F p = rrel_or_r1(y, low, mid);
            r = P::sqrt_pi_2 - y * p;      // x <= 1: sqrt(pi/2) - x Rrel
            num = mid ? T(1) - p : num;    // 1 < x < 9.5: (1 - p)/x
        }
        if (V::any(cf)) {                  // MillsRatio_CF(x, n, 0)
            const F xc = cf ? y : V::splat(T(r_cf_from));
            const F u = xc * xc + T(3);
            F delta, gamma;
            convergent(u, order_row(xc, r_depths), delta, gamma);
            const F D = u * delta - gamma;
            num = cf ? D - delta : num;
            den = cf ? xc * D : den;
        }
        den = low ? V::splat(1) : den;     // 1/x for x >= 6.7e7 as it stands
        r = low ? r : num / den;
        if (V::any(neg)) {                 // e sqrt(2 pi) - R(-x), +inf below the cut-off
            const M refl = neg & (x >= -P::reflection_cutoff);
            const F e = reflection_exp(x, refl);
            r = refl ? e * P::sqrt_2pi - r : r;
            r = neg & ~refl ? V::splat(std::numeric_limits<T>::infinity()) : r;
        }
        return nan ? x0 : r;
    }

    // MillsRatioDeriv1.
    static F deriv1(F x0) {
        const M nan = x0 != x0;
        const F x = nan ? V::splat(0) : x0;
        const M neg = x < T(0);
        const F y = neg ? -x : x;
        const M low = y <= T(rrel_upto);
        const M zero = y > P::tail_guard;
        const M cf = (y >= T(d1_cf_from)) & ~zero;
        const M mid = ~(low | cf | zero);
        F r = V::splat(0);
        if (V::any(low | mid)) {
            const F p = rrel_or_r1(y, low, mid);
            r = low ? T(1) - y * (P::sqrt_pi_2 - p * y) : mid ? p : r;
        }
        if (V::any(cf)) {                  // MillsRatio_CF(u, n, 1)
            const F xc = cf ? y : V::splat(T(d1_cf_from));
            const F u = xc * xc + T(3);
            F delta, gamma;
            convergent(u, order_row(xc, d1_depths), delta, gamma);
            const F D = u * delta - gamma;
            r = cf ? delta / D : r;
        }
        if (V::any(neg)) {                 // -R'(y) + (sqrt(2 pi) y) e
            const M refl = neg & (x >= -P::reflection_cutoff);
            const F e = reflection_exp(x, refl);
            const F yr = refl ? y : V::splat(0);
            r = refl ? r + (P::sqrt_2pi * yr) * e : r;
            r = neg & ~refl ? V::splat(std::numeric_limits<T>::infinity()) : r;
        }
        return nan ? x0 : r;
    }

    // MillsRatioDeriv3.
    static F deriv3(F x0) {
        const M nan = x0 != x0;
        const F x = nan ? V::splat(0) : x0;
        const M neg = x < T(0);
        const F y = neg ? -x : x;
        const M cf = y >= T(d3_cf_from);
        F r = V::splat(0);
        if (V::any(~cf)) r = r3(cf ? V::splat(1) : y);
        const M cf_guarded = cf & (y <= P::tail_guard);
        if (V::any(cf_guarded)) {          // MillsRatio_CF(u, n, 3), +0 beyond the guards on x and u
            const F xc = cf_guarded ? y : V::splat(T(d3_cf_from));
            const F u0 = xc * xc + T(3);
            const M beyond = u0 > P::tail_guard;
            const F u = beyond ? V::splat(T(d3_cf_from) * T(d3_cf_from) + T(3)) : u0;
            F delta, gamma;
            convergent(u, order_row(xc, d3_depths), delta, gamma);
            const F D = u * delta - gamma;
            r = cf_guarded ? (beyond ? V::splat(0) : gamma / D) : r;
        }
        r = cf & ~cf_guarded ? V::splat(0) : r;
        if (V::any(neg)) {                 // -R'''(y) + ((x x + 3) (sqrt(2 pi) y)) e
            const M refl = neg & (x >= -P::reflection_cutoff);
            const F e = reflection_exp(x, refl);
            const F xr = refl ? x : V::splat(0);
            r = refl ? r + ((xr * xr + T(3)) * (P::sqrt_2pi * -xr)) * e : r;
            r = neg & ~refl ? V::splat(std::numeric_limits<T>::infinity()) : r;
        }
        return nan ? x0 : r;
    }

    template <F (*kernel)(F)> static void block(const T* x, T* out, std::size_t n) {
        std::size_t k = 0;
        for (; k + lanes <= n; k += lanes) {
            F v;
            std::memcpy(&v, x + k, sizeof v);
            v = kernel(v);
            std::memcpy(out + k, &v, sizeof v);
        }
        if (k < n) {  // the last partial vector, padded with zeros
            F v = V::splat(0);
            std::memcpy(&v, x + k, (n - k) * sizeof(T));
            v = kernel(v);
            std::memcpy(out + k, &v, (n - k) * sizeof(T));
        }
    }
};

template <typename V> constexpr simd::Blocks<typename V::T> blocks() {
    using K = Kernels<V>;
    return {K::template block<K::millsratio>, K::template block<K::deriv1>, K::template block<K::deriv3>};
}

template <int Bytes> constexpr simd::Path make_path(const char* name) {
    return {name, blocks<Vec<float, Bytes>>(), blocks<Vec<double, Bytes>>()};
}

}  // namespace
}  // namespace zelnor

#endif
