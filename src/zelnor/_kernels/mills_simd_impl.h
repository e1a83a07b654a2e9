// The vector algorithm of mills_simd.h, written once over a vector of Bytes bytes and included by one
// translation unit per instruction set (mills_simd_baseline.cpp, mills_simd_avx2.cpp,
// mills_simd_avx512.cpp), each compiled with its own -m flags. Everything here has internal linkage,
// so no definition compiled for one instruction set can stand in for another's.
//
// Each regime below names the lines of mills.cpp it mirrors; the order of operations is theirs.
#ifndef ZELNOR_KERNELS_MILLS_SIMD_IMPL_H
#define ZELNOR_KERNELS_MILLS_SIMD_IMPL_H

#include <cfenv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "../_mills_coef.h"
#include "mills.h"
#include "mills_regimes.h"
#include "mills_simd.h"

namespace zelnor {
namespace {

// The coefficient tables in T, each double rounded to T as the templates round it at each use, held
// by columns: col[k][i] is coefficient k of row i. Rows are padded with zeros to `padded_rows`, so a
// lookup may read whole vectors of a column.
constexpr int padded_rows = 64;
template <typename T, int W> struct alignas(64) Columns {
    T col[W][padded_rows];
};

// Rows a[0, na) then b[0, nb) of row-major tables of width W.
template <typename T, int W>
constexpr Columns<T, W> by_columns(const double* a, int na, const double* b = nullptr, int nb = 0) {
    Columns<T, W> t{};
    for (int i = 0; i < na; ++i)
        for (int k = 0; k < W; ++k) t.col[k][i] = T(a[W * i + k]);
    for (int i = 0; i < nb; ++i)
        for (int k = 0; k < W; ++k) t.col[k][na + i] = T(b[W * i + k]);
    return t;
}

// Rrel and -R' side by side (Rrel rows first): both have rows of eight, so R and -R' run one Horner
// pass for both piece regimes.
static_assert(rrel_width == r1_width, "Rrel and -R' rows share one Horner pass");
constexpr int rrel_rows = last_row<rrel_width>(C_Rrel) + 1;
constexpr int rrel_r1_rows = rrel_rows + last_row<r1_width>(C_R1) + 1;
constexpr int r3_rows = last_row<r3_width>(C_R3) + 1;
static_assert(rrel_r1_rows <= padded_rows && r3_rows <= padded_rows, "tables fit their columns");
template <typename T>
constexpr auto rrel_r1_columns = by_columns<T, rrel_width>(C_Rrel, rrel_rows, C_R1, rrel_r1_rows - rrel_rows);
template <typename T> constexpr auto r3_columns = by_columns<T, r3_width>(C_R3, r3_rows);
// The C_R3 rows below r3_window fill four registers of double, those from it on two.
constexpr int r3_window = 32;

// The padded convergent rows of every order, by columns.
constexpr int n_orders = int(std::size(convergents));
template <typename T> struct ConvergentColumns {
    Columns<T, 6> delta;
    Columns<T, 5> gamma;
};
template <typename T> constexpr ConvergentColumns<T> convergent_columns() {
    ConvergentColumns<T> c{};
    for (int j = 0; j < n_orders; ++j) {
        for (int k = 0; k < 6; ++k) c.delta.col[k][j] = T(convergents[j].delta[k]);
        for (int k = 0; k < 5; ++k) c.gamma.col[k][j] = T(convergents[j].gamma[k]);
    }
    return c;
}
template <typename T> constexpr auto cf_columns = convergent_columns<T>();

// The widest registers this translation unit is compiled for.
#if defined(__AVX512F__)
constexpr int register_bytes = 64;
#elif defined(__AVX2__)
constexpr int register_bytes = 32;
#else
constexpr int register_bytes = 16;
#endif

// A vector of one register of Bytes bytes; the few operations that need intrinsics are written for
// each instruction set, with the compiler's portable form as the fallback.
template <typename T_, int Bytes> struct Vec {
    using T = T_;
    using I = std::conditional_t<sizeof(T) == 8, std::int64_t, std::int32_t>;
    static constexpr int lanes = Bytes / int(sizeof(T));
    typedef T F __attribute__((vector_size(Bytes)));
    typedef I M __attribute__((vector_size(Bytes)));  // lane masks: all ones or zero
    // Table indices; the element type is spelled dependent on T only because GCC ignores a dependent
    // vector_size on a non-dependent type.
    using I32 = std::conditional_t<sizeof(T) != 0, std::int32_t, T>;
    typedef I32 Idx __attribute__((vector_size(Bytes / sizeof(T) * 4)));

    static F splat(T v) { return F{} + v; }

    // 0, 1, 2, ... by lane.
    static F iota() {
        F v;
        for (int l = 0; l < lanes; ++l) v[l] = T(l);
        return v;
    }

    static F load(const T* p) {
        F v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    static Idx to_index(F v) { return __builtin_convertvector(v, Idx); }

    // v rounded toward zero to a whole number, for |v| below 2^31: one instruction with AVX or
    // AVX-512, a conversion to integers and back otherwise.
    static F trunc(F v) {
#if defined(__AVX512F__)
        constexpr int toward_zero = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;  // (zero-masked as in gather)
        if constexpr (Bytes == 64 && sizeof(T) == 8) return _mm512_maskz_roundscale_pd(0xff, v, toward_zero);
        if constexpr (Bytes == 64 && sizeof(T) == 4) return _mm512_maskz_roundscale_ps(0xffff, v, toward_zero);
#endif
#if defined(__AVX__)
        if constexpr (Bytes == 32 && sizeof(T) == 8) return _mm256_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        if constexpr (Bytes == 32 && sizeof(T) == 4) return _mm256_round_ps(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
#endif
        return __builtin_convertvector(to_index(v), F);
    }

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

    // Bit l set where the sign bit of lane l of m is: where lane l of a lane mask is set, or where lane
    // l of a vector M(v) is negative (-0 and NaN with the sign bit included).
    static unsigned bits(M m) {
#if defined(__AVX512F__)
        if constexpr (Bytes == 64 && sizeof(T) == 8) return _mm512_movepi64_mask(__m512i(m));
        if constexpr (Bytes == 64 && sizeof(T) == 4) return _mm512_movepi32_mask(__m512i(m));
#endif
#if defined(__AVX__)
        if constexpr (Bytes == 32 && sizeof(T) == 8) return unsigned(_mm256_movemask_pd(__m256d(m)));
        if constexpr (Bytes == 32 && sizeof(T) == 4) return unsigned(_mm256_movemask_ps(__m256(m)));
#endif
#if defined(__SSE2__)
        if constexpr (Bytes == 16 && sizeof(T) == 8) return unsigned(_mm_movemask_pd(__m128d(m)));
        if constexpr (Bytes == 16 && sizeof(T) == 4) return unsigned(_mm_movemask_ps(__m128(m)));
#endif
        unsigned b = 0;
        for (int l = 0; l < lanes; ++l) b |= unsigned(m[l] < 0) << l;
        return b;
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

    // a / d within a relative 2^-26 without a division, where the instruction set has a reciprocal
    // estimate: AVX-512's 14-bit one and a Newton step. (A float division instead would need
    // conversions that cost about what they save.)
    static constexpr bool estimates_quotients() {
#if defined(__AVX512F__)
        return Bytes == 64 && sizeof(T) == 8;
#else
        return false;
#endif
    }
    static F quotient_estimate(F a, F d) {
#if defined(__AVX512F__)
        if constexpr (Bytes == 64 && sizeof(T) == 8) {
            const F r = _mm512_maskz_rcp14_pd(0xff, d);  // (zero-masked for the same reason as gather)
            return a * (r * (T(2) - d * r));
        }
#endif
        return a / d;
    }

    // column[row] per lane, row a whole number below Rows. With AVX-512 a column of up to four
    // registers is permuted from registers (a permute per pair, a blend between the pairs: the
    // convergents in both precisions, the pieces in float), which measured faster than a gather; the
    // pieces in double (five or six registers) are gathered, which measured faster than three pairs.
    // AVX2 permutes a column of up to two registers in float, and gathers otherwise (in double, two
    // permutes of four lanes measured slower than a gather).
    template <int Rows> static F lookup(const T* column, F row) {
#if defined(__AVX512F__)
        if constexpr (Bytes == 64 && Rows <= 4 * lanes) {
            const __m512i i = __m512i(__builtin_convertvector(row, M));
            if constexpr (Rows <= lanes) return permute(i, load(column));
            F r = permute2(load(column), i, load(column + lanes));
            if constexpr (Rows > 2 * lanes)  // the second pair of registers holds the rows from 2 lanes
                r = row >= T(2 * lanes) ? permute2(load(column + 2 * lanes), i, load(column + 3 * lanes)) : r;
            return r;
        }
#endif
#if defined(__AVX2__)
        if constexpr (Bytes == 32 && sizeof(T) == 4 && Rows <= 2 * lanes) {  // a permute per register
            const M w = __builtin_convertvector(row, M);  // (the permute reads the index modulo 8)
            const F lo = F(_mm256_permutevar8x32_ps(__m256(load(column)), __m256i(w)));
            if constexpr (Rows <= lanes) return lo;
            return row >= T(lanes) ? F(_mm256_permutevar8x32_ps(__m256(load(column + lanes)), __m256i(w))) : lo;
        }
#endif
        return gather(column, to_index(row));
    }

    // Whether lanes can be compressed and expanded by a few instructions each: AVX-512's vcompress
    // and vexpand, or AVX2's permute by indices looked up by the lane mask. Only then does sorting a
    // block's lanes by regime pay (written lane by lane it took the baseline path to twice its time).
    static constexpr bool compresses() {
#if defined(__AVX512F__)
        return Bytes == 64;
#elif defined(__AVX2__)
        return Bytes == 32;
#else
        return false;
#endif
    }

#if defined(__AVX512F__)
    // The lanes of bit mask k of v stored from p on, in order, as one whole vector; returns their
    // number.
    static int compress_store(T* p, unsigned k, F v) {
        if constexpr (sizeof(T) == 8) _mm512_storeu_pd(p, _mm512_maskz_compress_pd(__mmask8(k), v));
        else _mm512_storeu_ps(p, _mm512_maskz_compress_ps(__mmask16(k), v));
        return __builtin_popcount(k);
    }

    // Bit l set where bit l of k is and a[l] < b[l] as signed integers.
    static unsigned less(unsigned k, M a, M b) {
        if constexpr (sizeof(T) == 8) return _mm512_mask_cmplt_epi64_mask(__mmask8(k), __m512i(a), __m512i(b));
        else return _mm512_mask_cmplt_epi32_mask(__mmask16(k), __m512i(a), __m512i(b));
    }

    // a in the lanes of bit mask k, b elsewhere.
    static F select(unsigned k, F a, F b) {
        if constexpr (sizeof(T) == 8) return _mm512_mask_blend_pd(__mmask8(k), b, a);
        else return _mm512_mask_blend_ps(__mmask16(k), b, a);
    }

    // into, with the lanes of bit mask k taken in order from p on.
    static F expand_load(F into, unsigned k, const T* p) {
        if constexpr (sizeof(T) == 8) return _mm512_mask_expandloadu_pd(into, __mmask8(k), p);
        else return _mm512_mask_expandloadu_ps(into, __mmask16(k), p);
    }


    static F permute(__m512i i, F a) {
        // (The zero-masked forms with every lane kept, for the same reason as in gather.)
        if constexpr (sizeof(T) == 8) return _mm512_maskz_permutexvar_pd(0xff, i, a);
        else return _mm512_maskz_permutexvar_ps(0xffff, i, a);
    }
    static F permute2(F a, __m512i i, F b) {
        if constexpr (sizeof(T) == 8) return _mm512_permutex2var_pd(a, i, b);
        else return _mm512_permutex2var_ps(a, i, b);
    }
#elif defined(__AVX2__)
    // AVX2 compresses and expands by a permute of the vector's 32-bit words, with indices looked up
    // by the lane mask (16 masks in double, 256 in float: 8 KB a table).
    static constexpr int words = int(sizeof(T) / 4);  // 32-bit words per lane
    struct Permutes {
        alignas(32) std::int32_t index[1 << lanes][8];
    };
    // Compressing: the lanes of mask k first, in order. Expanding: lane l of k takes the word of the
    // number of k's lanes below l.
    static constexpr Permutes permutes(bool expand) {
        Permutes t{};
        for (int k = 0; k < (1 << lanes); ++k)
            for (int l = 0, taken = 0; l < lanes; ++l) {
                if (!(k >> l & 1)) continue;
                for (int w = 0; w < words; ++w) {
                    if (expand) t.index[k][l * words + w] = taken * words + w;
                    else t.index[k][taken * words + w] = l * words + w;
                }
                ++taken;
            }
        return t;
    }
    static constexpr Permutes compressing = permutes(false), expanding = permutes(true);
    static F permute_words(F v, const Permutes& t, unsigned k) {
        const __m256i i = _mm256_load_si256(reinterpret_cast<const __m256i*>(t.index[k]));
        return F(_mm256_permutevar8x32_ps(__m256(v), i));
    }
    // The lanes of bit mask k as a lane mask.
    static M lane_mask(unsigned k) {
        M bit;
        for (int l = 0; l < lanes; ++l) bit[l] = I(1) << l;
        return (bit & I(k)) != 0;
    }

    static int compress_store(T* p, unsigned k, F v) {
        const F c = permute_words(v, compressing, k);
        std::memcpy(p, &c, sizeof c);
        return __builtin_popcount(k);
    }
    static F select(unsigned k, F a, F b) { return lane_mask(k) ? a : b; }
    static unsigned less(unsigned k, M a, M b) { return bits(a < b) & k; }
    // (Reads a whole vector from p: the buffers it reads leave a vector's room beyond their end.)
    static F expand_load(F into, unsigned k, const T* p) {
        return lane_mask(k) ? permute_words(load(p), expanding, k) : into;
    }
#endif
};

template <typename V> struct Kernels {
    using T = typename V::T;
    using I = typename V::I;
    using F = typename V::F;
    using M = typename V::M;
    using Idx = typename V::Idx;
    using P = Precision<T>;
    static constexpr int lanes = V::lanes;

    // row_index of mills.cpp: trunc(z) limited to [0, last], 0 for z < 1 and NaN; as a value in T.
    static F row(F z, int last) {
        F c = z >= T(1) ? z : V::splat(0);
        c = c >= T(last) ? V::splat(T(last)) : c;
        return V::trunc(c);
    }

    // row((a / d) m, last) for a piece's mapped coordinate as the template forms it (m = 1, or the scale
    // applied after the quotient), where a >= 0 and d > 0 in the lanes in active. Where the quotient
    // can be estimated, its whole part is read from the estimate unless some active lane lies within
    // 2^-16 of a whole number, far beyond the estimate's error (below 2^-20 for z < 64); otherwise, as
    // then, from the quotient itself.
    static F row_of_quotient(F a, F d, T m, M active, int last) {
        if constexpr (V::estimates_quotients()) {
            const F g = V::quotient_estimate(a, d) * m;
            const F f = g - V::trunc(g);
            constexpr T margin = T(1) / 65536;
            if (!V::any(active & ((f < margin) | (f > T(1) - margin)))) return row(g, last);
        }
        return row((a / d) * m, last);
    }

    // horner<W> of mills.cpp over row from + i of the table in each lane, i below Rows.
    template <int Rows, int W> static F horner(const Columns<T, W>& t, int from, F i, F s) {
        F p = V::template lookup<Rows>(t.col[W - 1] + from, i);
        for (int k = W - 2; k >= 0; --k) p = p * s + V::template lookup<Rows>(t.col[k] + from, i);
        return p;
    }

    // The same over rows below Rows, for the lanes in active (the others get some row's value): where
    // the lanes are sorted by class and every such lane's row lies below Lo, or every one from Lo on,
    // only that window of the table is looked up, in fewer registers (a permute where the whole table
    // would need a gather).
    template <int Rows, int Lo, int W> static F horner_window(const Columns<T, W>& t, F i, F s, M active) {
        if constexpr (!V::compresses())  // unsorted lanes make the test a coin toss, mispredicted
            return horner<Rows>(t, 0, i, s);
        const M high = active & (i >= T(Lo));
        if (!V::any(high)) return horner<Lo>(t, 0, active ? i : V::splat(0), s);
        if (!V::any(active & ~high))
            return horner<Rows - Lo>(t, Lo, active ? i - T(Lo) : V::splat(0), s);
        return horner<Rows>(t, 0, i, s);
    }

    // A piece's row and its local variable s = s_num / s_den, the division left to the caller so that
    // it can serve other lanes as well.
    struct Piece {
        F row, s_num, s_den;
    };

    // The piece regimes of R and -R': rrel_piece for the lanes in low, r1_piece for those in mid (x in
    // (1, 97/6)), rows of the joined table; the other lanes use stand-in arguments.
    static Piece rrel_or_r1(F x, M low, M mid) {
        const F xl = low ? x : V::splat(T(0.5));
        const F xm = mid ? x : V::splat(T(2));
        // rrel_piece: s = z - i, no division
        const F zl = T(rrel_scale) * xl;
        const F il = row(zl, last_row<rrel_width>(C_Rrel));
        // r1_piece
        const F d = xm + T(r1_shift);
        const F im = row_of_quotient((xm - T(1)) * T(r1_scale), d, T(1), mid, last_row<r1_width>(C_R1));
        const F sm = (T(r1_scale) - im) * xm - (T(r1_shift) * im + T(r1_scale));
        return {low ? il : im + T(rrel_rows), low ? zl - il : sm, low ? V::splat(1) : d};
    }

    // r3_piece, x in [0, 31.5) in the lanes in active.
    static Piece r3(F x, M active) {
        const F d = x + T(r3_shift);
        const F i = row_of_quotient(x, d, T(r3_scale), active, last_row<r3_width>(C_R3));
        return {i, (T(r3_scale) - i) * x - (T(r3_shift) * i), d};
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
        delta = horner_in_u(cf_columns<T>.delta, j, u);
        gamma = horner_in_u(cf_columns<T>.gamma, j, u);
    }
    template <int W> static F horner_in_u(const Columns<T, W>& t, F j, F u) {
        F p = V::template lookup<n_orders>(t.col[0], j);
        for (int k = 1; k < W; ++k) p = p * u + V::template lookup<n_orders>(t.col[k], j);
        return p;
    }

    // The reflection's exponential exp((0.5 x) x) per lane in refl, by the templates' scalar exp; 0 elsewhere.
    static F reflection_exp(F x, M refl) {
        T a[lanes], e[lanes] = {};
        const F av = (T(0.5) * x) * x;
        std::memcpy(a, &av, sizeof a);
        for (unsigned b = V::bits(refl); b != 0; b &= b - 1) {
            const int l = __builtin_ctz(b);
            e[l] = P::exp(a[l]);
        }
        return V::load(e);
    }

    // The reflections for x < 0 (x not NaN), from r the value at |x|: each lane in the template's
    // order, +inf below the cut-off. exps(refl) gives the exponentials of the lanes in refl: computed
    // lane by lane here, or read from those computed for a whole class at once (evaluate_class), which
    // knows when no argument of the class is negative. A class with some takes the select in every
    // vector (its other lanes read a zero exponential): whether a vector holds one is a coin toss in
    // the classes where negatives are few, and the test was a mispredicted branch.
    template <typename Exps, typename Reflect> static F reflect(F x, F r, Exps exps, Reflect with_exp) {
        if (!exps.may_reflect()) return r;
        const M neg = x < T(0);
        if (Exps::tests_lanes && !V::any(neg)) return r;
        const M refl = neg & (x >= -P::reflection_cutoff);
        r = refl ? with_exp(refl ? x : V::splat(0), exps(refl)) : r;
        return neg & ~refl ? V::splat(std::numeric_limits<T>::infinity()) : r;
    }
    struct LaneByLane {
        static constexpr bool tests_lanes = true;
        F x;
        static bool may_reflect() { return true; }
        F operator()(M refl) const { return reflection_exp(x, refl); }
    };
    struct Computed {
        static constexpr bool tests_lanes = false;
        const T* e;  // nullptr where no argument of the class is negative
        bool may_reflect() const { return e != nullptr; }
        F operator()(M) const { return V::load(e); }
    };
    template <typename Exps> static F reflect_r(F x, F r, Exps exps) {  // e sqrt(2 pi) - R(-x)
        return reflect(x, r, exps, [r](F, F e) { return e * P::sqrt_2pi - r; });
    }
    template <typename Exps> static F reflect_d1(F x, F r, Exps exps) {  // -R'(y) + (sqrt(2 pi) y) e
        return reflect(x, r, exps, [r](F xr, F e) { return r + (P::sqrt_2pi * -xr) * e; });
    }
    // -R'''(y) + ((x x + 3) (sqrt(2 pi) y)) e
    template <typename Exps> static F reflect_d3(F x, F r, Exps exps) {
        return reflect(x, r, exps, [r](F xr, F e) { return r + ((xr * xr + T(3)) * (P::sqrt_2pi * -xr)) * e; });
    }

    // A general kernel's argument: NaN lanes as 0 (found by a quiet comparison, so that no ordered
    // comparison sees a NaN) and |x| as the templates take it.
    struct Argument {
        M nan;
        F x, y;
        explicit Argument(F x0) : nan(x0 != x0), x(nan ? V::splat(0) : x0), y(x < T(0) ? -x : x) {}
    };

    // MillsRatio.
    static F millsratio(F x0) {
        const Argument arg(x0);
        const M nan = arg.nan;
        const F x = arg.x, y = arg.y;
        const M low = y <= T(rrel_upto);
        const M cf = (y >= T(r_cf_from)) & (y < T(r_reciprocal_from));
        const M recip = y >= T(r_reciprocal_from);
        const M mid = ~(low | cf | recip);
        F num = V::splat(1), den = y, r = V::splat(0);
        if (V::any(low | mid)) {
            const Piece c = rrel_or_r1(y, low, mid);
            // (The whole table: here the window's test cost about what it saved.)
            const F p = horner<rrel_r1_rows>(rrel_r1_columns<T>, 0, c.row, c.s_num / c.s_den);
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
        return nan ? x0 : reflect_r(x, r, LaneByLane{x});
    }

    // MillsRatioDeriv1.
    static F deriv1(F x0) {
        const Argument arg(x0);
        const M nan = arg.nan;
        const F x = arg.x, y = arg.y;
        const M low = y <= T(rrel_upto);
        const M zero = y > P::tail_guard;
        const M cf = (y >= T(d1_cf_from)) & ~zero;
        const M mid = ~(low | cf | zero);
        // One division serves the convergents' delta/D and the pieces' s.
        F num = V::splat(1), den = V::splat(1);
        if (V::any(cf)) {                  // MillsRatio_CF(u, n, 1)
            const F xc = cf ? y : V::splat(T(d1_cf_from));
            const F u = xc * xc + T(3);
            F delta, gamma;
            convergent(u, order_row(xc, d1_depths), delta, gamma);
            num = delta;
            den = u * delta - gamma;
        }
        F r = V::splat(0);
        const M piece = low | mid;
        if (V::any(piece)) {
            const Piece c = rrel_or_r1(y, low, mid);
            const F q = (piece ? c.s_num : num) / (piece ? c.s_den : den);
            // The other lanes evaluate at s = 1/2 and x = 1/2: a tiny s or a huge x there would run
            // into subnormal arithmetic (slow) or overflow (a flag).
            const F s = piece ? q : V::splat(T(0.5));
            const F p = horner_window<rrel_r1_rows, rrel_rows>(rrel_r1_columns<T>, c.row, s, piece);
            const F yl = low ? y : V::splat(T(0.5));
            r = low ? T(1) - yl * (P::sqrt_pi_2 - p * yl) : mid ? p : cf ? q : r;
        } else {
            r = cf ? num / den : r;
        }
        return nan ? x0 : reflect_d1(x, r, LaneByLane{x});
    }

    // MillsRatioDeriv3.
    static F deriv3(F x0) {
        const Argument arg(x0);
        const M nan = arg.nan;
        const F x = arg.x, y = arg.y;
        const M cf = y >= T(d3_cf_from);
        const M cf_guarded = cf & (y <= P::tail_guard);
        // One division serves the convergents' gamma/D and the pieces' s.
        F num = V::splat(0), den = V::splat(1);
        M beyond = M{};
        F u_far = V::splat(1);
        if (V::any(cf_guarded)) {          // MillsRatio_CF(u, n, 3), +0 beyond the guard on x
            const F xc = cf_guarded ? y : V::splat(T(d3_cf_from));
            const F u0 = xc * xc + T(3);
            beyond = u0 > P::tail_guard;
            u_far = beyond ? u0 : V::splat(1);
            const F u = beyond ? V::splat(T(d3_cf_from) * T(d3_cf_from) + T(3)) : u0;
            F delta, gamma;
            convergent(u, order_row(xc, d3_depths), delta, gamma);
            num = gamma;
            den = u * delta - gamma;
        }
        F r;
        if (V::any(~cf)) {
            const Piece c = r3(cf ? V::splat(1) : y, ~cf);
            const F q = (cf ? num : c.s_num) / (cf ? den : c.s_den);
            const F s = cf ? V::splat(T(0.5)) : q;
            r = cf ? q : horner_window<r3_rows, r3_window>(r3_columns<T>, c.row, s, ~cf);
        } else {
            r = num / den;
        }
        r = cf & ~cf_guarded ? V::splat(0) : r;
        // Beyond the guard on u the depth-4 value (6/u)/(u + 4), as the scalar template returns there.
        if (V::any(beyond)) r = beyond ? (T(6) / u_far) / (u_far + T(4)) : r;
        return nan ? x0 : reflect_d3(x, r, LaneByLane{x});
    }

    // The kernels of one class of sorted arguments: every lane of x (not NaN) has |x| in the regime
    // its kernel names, and its table rows lie in the window [Lo, Lo + Rows), so that a vector does
    // only its regime's work and fetches its coefficients from the registers of one window. Each
    // performs the general kernel's operations for such lanes, without the stand-ins of other regimes.

    // Rrel's polynomial at y <= 1: s = z - i needs no division.
    static F rrel_poly(F y) {
        const F z = T(rrel_scale) * y;
        const F i = row(z, last_row<rrel_width>(C_Rrel));
        return horner<rrel_rows>(rrel_r1_columns<T>, 0, i, z - i);
    }
    // The piece polynomial of -R' at 1 < y < 97/6.
    template <int Lo, int Rows> static F r1_poly(F y) {
        const F d = y + T(r1_shift);
        const F i = row_of_quotient((y - T(1)) * T(r1_scale), d, T(1), ~M{}, last_row<r1_width>(C_R1));
        const F s = ((T(r1_scale) - i) * y - (T(r1_shift) * i + T(r1_scale))) / d;
        return horner<Rows>(rrel_r1_columns<T>, rrel_rows + Lo, i - T(Lo), s);
    }
    // The piece polynomial of -R''' at y < 31.5.
    template <int Lo, int Rows> static F r3_poly(F y) {
        const Piece c = r3(y, ~M{});
        return horner<Rows>(r3_columns<T>, Lo, c.row - T(Lo), c.s_num / c.s_den);
    }
    template <std::size_t N> static void convergent_at(F y, const Depth (&depths)[N], F& u, F& delta, F& gamma) {
        u = y * y + T(3);
        convergent(u, order_row(y, depths), delta, gamma);
    }
    // |x| by clearing the sign bit: one instruction (and +0 for -0, where -0 < 0 is false and the
    // templates keep -0; no value of R, -R' or -R''' at 0 depends on the sign of the zero).
    static F abs(F x) { return F(magnitude(x)); }
    // The bits of |x|, which order the magnitudes as integers, with NaN above +inf: a comparison that
    // raises no flag and sends NaN to the last class.
    static M magnitude(F x) { return M(x) & std::numeric_limits<I>::max(); }

    static F r_rrel(F x, const T* e) {
        return reflect_r(x, P::sqrt_pi_2 - abs(x) * rrel_poly(abs(x)), Computed{e});
    }
    template <int Lo, int Rows> static F r_r1(F x, const T* e) {
        const F y = abs(x);
        return reflect_r(x, (T(1) - r1_poly<Lo, Rows>(y)) / y, Computed{e});
    }
    static F r_cf(F x, const T* e) {
        const F y = abs(x);
        F u, delta, gamma;
        convergent_at(y, r_depths, u, delta, gamma);
        const F D = u * delta - gamma;
        return reflect_r(x, (D - delta) / (y * D), Computed{e});
    }

    static F d1_rrel(F x, const T* e) {
        const F y = abs(x);
        return reflect_d1(x, T(1) - y * (P::sqrt_pi_2 - rrel_poly(y) * y), Computed{e});
    }
    template <int Lo, int Rows> static F d1_r1(F x, const T* e) {
        return reflect_d1(x, r1_poly<Lo, Rows>(abs(x)), Computed{e});
    }
    static F d1_cf(F x, const T* e) {
        F u, delta, gamma;
        convergent_at(abs(x), d1_depths, u, delta, gamma);
        return reflect_d1(x, delta / (u * delta - gamma), Computed{e});
    }

    template <int Lo, int Rows> static F d3_r3(F x, const T* e) {
        return reflect_d3(x, r3_poly<Lo, Rows>(abs(x)), Computed{e});
    }
    // Up to the tail guard on x: the convergents while u = x x + 3 is below the guard, the depth-4
    // value (6/u)/(u + 4) beyond it.
    static F d3_cf(F x, const T* e) {
        const F y = abs(x);
        const F u0 = y * y + T(3);
        const M beyond = u0 > P::tail_guard;
        F r = V::splat(0);
        if (V::any(~beyond)) {
            const F u = beyond ? V::splat(T(d3_cf_from) * T(d3_cf_from) + T(3)) : u0;
            F delta, gamma;
            convergent(u, order_row(y, d3_depths), delta, gamma);
            r = gamma / (u * delta - gamma);
        }
        if (V::any(beyond)) {
            const F u_far = beyond ? u0 : V::splat(1);
            r = beyond ? (T(6) / u_far) / (u_far + T(4)) : r;
        }
        return reflect_d3(x, r, Computed{e});
    }

    // A class of arguments: those with |x| below `upto` and not in an earlier class, packed into a
    // buffer and evaluated there by `run` (a whole number of vectors; told whether any argument may be
    // negative). The last class of a list takes everything left, NaN included when the list sorts a
    // block's arguments. It may instead name `in_place`, a kernel that then evaluates every vector
    // holding some of its arguments where the vector stands, the other lanes set to `stand_in`: for a
    // class whose kernel costs less than packing and unpacking its lanes (1/x), and which fills whole
    // vectors where it is present at all.
    using Eval = F (*)(F);
    using ClassEval = F (*)(F x, const T* e);  // e: the reflection's exponentials of x's lanes
    using Run = void (*)(T* b, int count, bool negative);  // negative: some b[k] may be < 0
    struct Class {
        T upto;
        Run run;
        Eval in_place = nullptr;
        T stand_in = 0;
    };

    // Elements sorted at a time, 8 KB of them: their classes' buffers stay near the core (the fastest
    // of 4, 8 and 16 KB on the benchmark's mixes).
    static constexpr std::size_t chunk = 8192 / sizeof(T);

    // Where lanes cannot be sorted (the baseline: two lanes of double with SSE2), every vector mixes
    // regimes and runs the general kernel's stand-ins for all of them; that measured up to 1.8 times
    // slower than the scalar template called element by element, so the baseline block calls it.
    template <T (*scalar)(T), const auto& classes> static unsigned block(const T* x, T* out, std::size_t n) {
        if constexpr (V::compresses()) {
            unsigned found = 0;
            const std::size_t whole = n - n % lanes;
            for (std::size_t k = 0; k < whole; k += chunk)
                found |= sorted_chunk<classes, true>(x + k, out + k, std::min(chunk, whole - k));
            if (whole < n) {  // the last elements, made a vector by copies of the first of them
                alignas(64) T v[lanes];
                for (std::size_t l = 0; l < std::size_t(lanes); ++l) v[l] = x[whole + l < n ? whole + l : whole];
                found |= sorted_chunk<classes, true>(v, v, lanes);  // (the copies find what it finds)
                std::memcpy(out + whole, v, (n - whole) * sizeof(T));
            }
            return found;
        } else {
            return in_order<lane_by_lane<scalar>>(x, out, n);
        }
    }

    // scalar(x) in each lane.
    template <T (*scalar)(T)> static F lane_by_lane(F x) {
        F r;
        for (int l = 0; l < lanes; ++l) r[l] = scalar(x[l]);
        return r;
    }

    // The extreme exponent fields of the results seen, which tell their found bits (mills_simd.h).
    struct Seen {
        static constexpr I all = I(2 * std::numeric_limits<T>::max_exponent - 1)
                                 << (std::numeric_limits<T>::digits - 1);
        M lo = M{} + all, hi = M{};
        void add(F r) {
            const M e = M(r) & all;
            lo = e < lo ? e : lo;
            hi = e > hi ? e : hi;
        }
        unsigned found() const {
            return (V::any(hi == all) ? simd::some_not_finite : 0) | (V::any(lo == 0) ? simd::some_tiny : 0);
        }
    };

    // Asks for the argument and the result a chunk ahead of x and out, as each vector is read: the
    // arrays are streamed from memory, and their lines arrive before they are needed. (Asking for a
    // whole chunk's lines at once, before sorting it, filled the processor's line-fill buffers and
    // stalled it: about a fifth of the time on the log-spread mix.) A prefetch never faults, so the
    // address may lie beyond the arrays; it is formed as an integer, since a pointer may not.
    static void fetch_ahead(const T* x, T* out) {
        const auto ahead = [](const T* p) {
            return reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + chunk * sizeof(T));
        };
        __builtin_prefetch(ahead(x));
        __builtin_prefetch(ahead(out), 1);
    }

    // 1/x where every lane of x lies in R's last regime, x >= r_reciprocal_from (as MillsRatio takes it
    // there), otherwise(x).
    template <Eval otherwise> static F reciprocal_or(F x) {
        return V::any(~(x >= T(r_reciprocal_from))) ? otherwise(x) : reciprocal(x);
    }

    // The lanes widened to double (the element type spelled dependent, as for Idx).
    using Wide = std::conditional_t<sizeof(T) != 0, double, T>;
    typedef Wide D __attribute__((vector_size(lanes * sizeof(double))));

    // 1/x for x >= r_reciprocal_from, +inf included, bit for bit the division's quotient. From 2^126 on
    // the quotient in float is subnormal, and on x86 a division with a subnormal result runs as
    // microcode, some hundred cycles an instruction: a third of the time of the float log-spread mix.
    // There the quotient is formed as the whole number n nearest to 2^149/x, the subnormal's bit
    // pattern (its significand in units of 2^-149; n = 2^23 is the pattern of 2^-126), from the quotient
    // in double. Rounding twice, to 53 bits and then to a whole number, rounds as once: for x = m 2^e
    // (m a whole number below 2^24), 2^149 - (n + 1/2) x is a multiple of 2^(e-1), so 2^149/x lies
    // either on a half-way point, which would need x = 2^150/(2n + 1) > FLT_MAX, or at least
    // 1/(2m) > 2^-25 from one, far beyond the first rounding's 2^-31. The division raises underflow
    // where its quotient is subnormal and inexact; here the flag is raised by hand for every such
    // vector (an exact one, at a power of two, too: a caller that looks at each result's flags, like
    // the ufunc loops, runs those elements again anyway).
    static F reciprocal(F x) {
        if constexpr (sizeof(T) == 4) {
            const M tiny = (x >= T(0x1p126)) & (x < std::numeric_limits<T>::infinity());
            if (V::any(tiny)) {
                raise_underflow();
                const F q = T(1) / (tiny ? V::splat(1) : x);
                const D n = (D{} + 0x1p149) / __builtin_convertvector(tiny ? x : V::splat(T(0x1p126)), D);
                const D whole = (n + 0x1p52) - 0x1p52;  // n < 2^24: rounded to a whole number, ties to even
                return tiny ? F(__builtin_convertvector(whole, M)) : q;
            }
        }
        return T(1) / x;
    }
    static void raise_underflow() {
#if defined(__SSE__)
        const unsigned csr = _mm_getcsr();  // (written only if the flag is not raised yet)
        if (!(csr & _MM_EXCEPT_UNDERFLOW)) _mm_setcsr(csr | _MM_EXCEPT_UNDERFLOW);
#else
        std::feraiseexcept(FE_UNDERFLOW);
#endif
    }

    template <Eval kernel> static unsigned in_order(const T* x, T* out, std::size_t n) {
        Seen seen;
        std::size_t k = 0;
        for (; k + lanes <= n; k += lanes) {
            fetch_ahead(x + k, out + k);
            F v;
            std::memcpy(&v, x + k, sizeof v);
            v = kernel(v);
            seen.add(v);
            std::memcpy(out + k, &v, sizeof v);
        }
        if (k < n) {  // the last partial vector, padded with zeros
            F v = V::splat(0);
            std::memcpy(&v, x + k, (n - k) * sizeof(T));
            v = kernel(v);
            std::memcpy(out + k, &v, (n - k) * sizeof(T));
            seen.add(V::iota() < T(n - k) ? v : V::splat(1));
        }
        return seen.found();
    }

    // Evaluates the count arguments of a class's buffer in place, as whole vectors.
    template <Eval kernel> static void evaluate(T* b, int count, bool) {
        for (int k = 0; k < count; k += lanes) {
            F v = V::load(b + k);
            v = kernel(v);
            std::memcpy(b + k, &v, sizeof v);
        }
    }

    // The same for a class kernel, with the exponentials of the reflection computed first for the
    // whole buffer: the arguments (0.5 x) x of the lanes that need one are packed together, run
    // through the scalar exp in one tight loop (called lane by lane inside the vector loop, each
    // call took about twice as long), and unpacked next to their lanes, 0 elsewhere.
    template <ClassEval kernel> static void evaluate_class(T* b, int count, bool negative) {
        if constexpr (V::compresses()) evaluate_sorted_class<kernel>(b, count, negative);
    }
    template <ClassEval kernel> static void evaluate_sorted_class(T* b, int count, bool negative) {
        alignas(64) T e[chunk], a[chunk + lanes];  // (a vector's room for AVX2's expand)
        unsigned refl_bits[chunk / lanes];
        int m = 0;
        bool any_neg = false;
        for (int k = 0; negative && k < count; k += lanes) {
            const F x = V::load(b + k);
            const M neg = x < T(0), refl = neg & (x >= -P::reflection_cutoff);
            const unsigned bits = V::bits(refl);
            any_neg |= V::any(neg);
            refl_bits[k / lanes] = bits;
            const F xr = refl ? x : V::splat(0);  // (the other lanes square 0: a huge one would overflow)
            m += V::compress_store(a + m, bits, (T(0.5) * xr) * xr);
        }
        if (any_neg) {  // otherwise no kernel reads e
            for (int j = 0; j < m; ++j) a[j] = P::exp(a[j]);
            const T* p = a;
            for (int k = 0; k < count; k += lanes) {
                const unsigned bits = refl_bits[k / lanes];
                const F v = V::expand_load(V::splat(0), bits, p);
                std::memcpy(e + k, &v, sizeof v);
                p += __builtin_popcount(bits);
            }
        }
        for (int k = 0; k < count; k += lanes) {
            F v = V::load(b + k);
            v = kernel(v, any_neg ? e + k : nullptr);
            std::memcpy(b + k, &v, sizeof v);
        }
    }
    // A class whose arguments are sorted again, into the classes of the list sub (with the padding of
    // its last vector).
    template <const auto& sub> static void sorted(T* b, int count, bool) {
        const std::size_t padded = std::size_t(count + lanes - 1) / lanes * lanes;
        if constexpr (V::compresses()) sorted_chunk<sub, false>(b, b, padded);
    }

    // Sorts the n arguments (whole vectors: the block pads its last elements to one) by class into
    // buffers, evaluates each buffer as whole vectors (its last vector padded with its own first
    // argument), and puts the results back in place (out may be x).
    // A last class evaluated in place is evaluated as the vectors are sorted, its results stored at
    // once; only the vectors that hold other classes too are visited again. With from_memory, x and
    // out are the caller's arrays, fetched ahead as they are read, and the found bits of the results
    // are returned (0 otherwise: the results of a class sorted again are seen where its caller puts
    // them back).
    template <const auto& classes, bool from_memory>
    static unsigned sorted_chunk(const T* x, T* out, std::size_t n) {
        constexpr int n_classes = int(std::size(classes)), last = n_classes - 1;
        constexpr Class beyond = classes[last];
        constexpr bool beyond_in_place = beyond.in_place != Eval{};
        // A vector stored at count, at most chunk - lanes, fits; one read at count (AVX2's expand) too.
        alignas(64) T buf[n_classes][chunk + lanes];
        unsigned mask[chunk / lanes][last];   // the lanes of each class but the last, by vector
        int count[n_classes] = {};
        const std::size_t nv = n / lanes;
        constexpr unsigned all = (1u << lanes) - 1;
        unsigned negative[n_classes] = {};  // the lanes of each class's arguments with the sign bit set
        Seen seen;
        // With a class evaluated in place, the vectors that hold lanes of packed classes as well.
        static_assert(chunk / lanes <= 256, "a vector's index fits a byte");
        std::uint8_t mixed[beyond_in_place ? chunk / lanes : 1];
        std::size_t n_mixed = 0;
        for (std::size_t j = 0; j < nv; ++j) {
            if constexpr (from_memory) fetch_ahead(x + j * lanes, out + j * lanes);
            const F v = V::load(x + j * lanes);
            const M y = magnitude(v);
            const unsigned sign = V::bits(M(v));
            // Each class's lanes from two comparisons with the rising bounds, each independent of the
            // other classes' (a chain of class after class cost the sort about a third of its time).
            unsigned below_previous = 0;
            for (int c = 0; c < last; ++c) {
                const unsigned below = V::less(all, y, magnitude(V::splat(classes[c].upto)));
                const unsigned in = below & ~below_previous;
                negative[c] |= in & sign;
                count[c] += V::compress_store(buf[c] + count[c], in, v);
                mask[j][c] = in;
                below_previous = below;
            }
            // (The last class is either in nearly every vector or in none, on every mix measured: a
            // well-predicted test spares its work where it is empty.)
            const unsigned left = all & ~below_previous;
            if constexpr (beyond_in_place) {
                // Evaluated here, while the other classes are sorted: the division that it mostly is
                // then runs beside the sort rather than after it (a quarter less time on the
                // log-spread mix, in double). The vectors with lanes of other classes are listed
                // without a branch: on that mix a quarter of them, at random.
                if (left) {
                    const F r = beyond.in_place(V::select(left, v, V::splat(beyond.stand_in)));
                    if constexpr (from_memory) seen.add(r);  // (the stand-in's is neither tiny nor inf)
                    std::memcpy(out + j * lanes, &r, sizeof r);
                }
                mixed[n_mixed] = static_cast<std::uint8_t>(j);
                n_mixed += left != all;
            } else if (left) {
                negative[last] |= left & sign;
                count[last] += V::compress_store(buf[last] + count[last], left, v);
            }
        }
        // (Unrolled, so that the counts are indexed by constants and stay out of memory in the sort.)
#pragma GCC unroll 4
        for (int c = 0; c < n_classes; ++c) {
            if (count[c] == 0) continue;
            const F first = V::splat(buf[c][0]);  // the last vector padded with copies of the first
            std::memcpy(buf[c] + count[c], &first, sizeof first);
            classes[c].run(buf[c], count[c], negative[c] != 0);
        }
        const T* p[n_classes];
        for (int c = 0; c < n_classes; ++c) p[c] = buf[c];
        const auto put_back = [&](std::size_t j) {
            unsigned rest = all;
            F r{};  // (every lane is filled below)
            if constexpr (beyond_in_place) {  // over the results of the first pass, where it put some
                for (int c = 0; c < last; ++c) rest &= ~mask[j][c];
                if (rest) r = V::load(out + j * lanes);
            }
            for (int c = 0; c < n_classes; ++c) {
                if (count[c] == 0) continue;  // the same for every vector of the chunk
                const unsigned k = c == last ? rest : mask[j][c];
                r = V::expand_load(r, k, p[c]);
                p[c] += __builtin_popcount(k);
                rest &= ~k;
            }
            if constexpr (from_memory) seen.add(r);
            std::memcpy(out + j * lanes, &r, sizeof r);
        };
        if constexpr (beyond_in_place) {
            for (std::size_t i = 0; i < n_mixed; ++i) put_back(mixed[i]);
        } else {
            for (std::size_t j = 0; j < nv; ++j) put_back(j);
        }
        return seen.found();
    }
};

// The classes of each function, by |x|: the pieces, sorted again by window of rows, and the
// convergents, with the general kernel for what lies beyond them (and NaN). A pair of registers holds
// 16 rows of a column in double, 32 in float: each piece class's rows fit one such window (or one
// register), with a margin for the rounding of its mapped coordinate near the class's bounds (rows
// 0-15 of C_R1 reach x = 4.5, rows 15-30 of C_R3 span x in [1.57, 5.74)). Each class costs about a
// quarter of a nanosecond an element in double to sort, half that in float, so a regime gets a class
// of its own only where that measured faster on the mixes of benchmarks/bench_ufuncs.py.
template <typename V> struct ClassParts {
    using K = Kernels<V>;
    using T = typename V::T;
    using Class = typename K::Class;
    static constexpr T inf = std::numeric_limits<T>::infinity();
    static constexpr T one_up = T(1) + std::numeric_limits<T>::epsilon();  // y < one_up: y <= 1
    static constexpr T r_cf_upto = T(r_reciprocal_from), guard = Precision<T>::tail_guard;
    // The convergents, then the rest (1/x for R, nearly all of the log-spread mix; the zeros beyond
    // the guard for -R' and -R''', about half of it; and NaN). R's rest is evaluated in place: 1/x
    // where a vector holds nothing else, the general kernel where it does.
    static constexpr Class r_cf = {r_cf_upto, K::template evaluate_class<K::r_cf>},
                           r_any = {inf, nullptr, K::template reciprocal_or<K::millsratio>, r_cf_upto};
    static constexpr Class d1_cf = {guard, K::template evaluate_class<K::d1_cf>},
                           d1_any = {inf, K::template evaluate<K::deriv1>};
    static constexpr Class d3_cf = {guard, K::template evaluate_class<K::d3_cf>},
                           d3_any = {inf, K::template evaluate<K::deriv3>};
};

template <typename V, typename T = typename V::T> struct Classes;
template <typename V> struct Classes<V, double> : ClassParts<V> {
    using P = ClassParts<V>;
    using K = typename P::K;
    using Class = typename P::Class;
    static constexpr Class r_pieces[] = {{P::one_up, K::template evaluate_class<K::r_rrel>},
                                         {4.4, K::template evaluate_class<K::template r_r1<0, 16>>},
                                         {P::inf, K::template evaluate_class<K::template r_r1<9, 16>>}};
    static constexpr Class d1_pieces[] = {{P::one_up, K::template evaluate_class<K::d1_rrel>},
                                          {4.4, K::template evaluate_class<K::template d1_r1<0, 16>>},
                                          {P::inf, K::template evaluate_class<K::template d1_r1<9, 16>>}};
    static constexpr Class d3_pieces[] = {{1.6, K::template evaluate_class<K::template d3_r3<0, 16>>},
                                          {5.7, K::template evaluate_class<K::template d3_r3<15, 16>>},
                                          {P::inf, K::template evaluate_class<K::template d3_r3<30, 16>>}};
    static constexpr Class r[] = {{r_cf_from, K::template sorted<r_pieces>}, P::r_cf, P::r_any};
    static constexpr Class d1[] = {{d1_cf_from, K::template sorted<d1_pieces>}, P::d1_cf, P::d1_any};
    static constexpr Class d3[] = {{d3_cf_from, K::template sorted<d3_pieces>}, P::d3_cf, P::d3_any};
};
template <typename V> struct Classes<V, float> : ClassParts<V> {
    using P = ClassParts<V>;
    using K = typename P::K;
    using Class = typename P::Class;
    static constexpr Class r_pieces[] = {{P::one_up, K::template evaluate_class<K::r_rrel>},
                                         {P::inf, K::template evaluate_class<K::template r_r1<0, 32>>}};
    static constexpr Class d1_pieces[] = {{P::one_up, K::template evaluate_class<K::d1_rrel>},
                                          {P::inf, K::template evaluate_class<K::template d1_r1<0, 32>>}};
    static constexpr Class d3_pieces[] = {{6, K::template evaluate_class<K::template d3_r3<0, 32>>},
                                          {P::inf, K::template evaluate_class<K::template d3_r3<31, 16>>}};
    static constexpr Class r[] = {{float(r_cf_from), K::template sorted<r_pieces>}, P::r_cf, P::r_any};
    static constexpr Class d1[] = {{float(d1_cf_from), K::template sorted<d1_pieces>}, P::d1_cf, P::d1_any};
    static constexpr Class d3[] = {{float(d3_cf_from), K::template sorted<d3_pieces>}, P::d3_cf, P::d3_any};
};

template <typename V> constexpr simd::Blocks<typename V::T> blocks() {
    using K = Kernels<V>;
    using C = Classes<V>;
    using T = typename V::T;
    return {K::template block<MillsRatio<T>, C::r>, K::template block<MillsRatioDeriv1<T>, C::d1>,
            K::template block<MillsRatioDeriv3<T>, C::d3>};
}

template <int Bytes> constexpr simd::Path make_path(const char* name) {
    return {name, blocks<Vec<float, Bytes>>(), blocks<Vec<double, Bytes>>()};
}

}  // namespace
}  // namespace zelnor

#endif
