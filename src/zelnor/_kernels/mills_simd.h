// Vector blocks of R, -R' and -R''': the same values as MillsRatio, MillsRatioDeriv1 and
// MillsRatioDeriv3, bit for bit, several elements per instruction.
//
// How the lanes are organised. Each lane finds its regime and its row by the thresholds of
// mills_regimes.h; a regime that no lane of a vector needs is skipped, and otherwise one evaluation
// serves all its lanes, the other lanes carrying a harmless stand-in argument (so they raise no
// floating-point flag). The piece coefficients are fetched per lane by row from the tables of
// _mills_coef.h (Rrel and -R' rows side by side, so that R and -R' run one Horner pass for both
// piece regimes); the convergents of every order share one Horner pass over the padded rows of
// mills_regimes.h, whose leading zeros reproduce each lower order exactly (0 u + c = c, 1 u + c =
// u + c); the divisions of the regimes are merged into one where their operands allow. For x < 0 the
// vector computes R(|x|) like any other lane and only the exponential runs per lane, through the same
// scalar exp or expf as the template.
//
// Sorting by regime (AVX-512 and AVX2). Before evaluation the blocks sort their arguments, 8 KB at a
// time, into classes by |x| (compared as the integer bits of |x|, which raise no flag and put NaN
// above +inf): the pieces, the convergents and what lies beyond them. One masked compare, one compress
// (AVX-512's vcompress; with AVX2 a permute by indices looked up by the lane mask) and one store per
// class and vector pack each class into a buffer of its own; the pieces' buffer is sorted again by
// window of table rows (16 rows of a column fill a pair of registers in double, 32 in float); every
// buffer is evaluated as whole vectors by its class's own kernel, which performs only its regime's
// operations and fetches coefficients by a permute from the registers of its window (AVX2 gathers
// double); and one expand per class and vector puts the results back in place. The exponentials of a
// class's reflected lanes are computed together first: their arguments packed, the scalar exp called
// in one tight loop, the values unpacked beside their lanes. Sorting costs about a quarter of a
// nanosecond an element per class in double with AVX-512 (half in float), so regimes share a class
// (evaluated by the general kernel, which skips what no lane needs) where a class of their own
// measured slower, and R's last class, 1/x (nearly all of a log-spread mix), is not packed at all:
// each vector holding some of it is evaluated as it is sorted, the other lanes set to a stand-in, so
// that its divisions overlap the sorting, and the packed classes' results are put over it in the
// vectors that hold them. The arrays are prefetched a chunk ahead, a line per vector as it is read.
// The order changes no bit: a lane's value depends on its own argument only. The baseline blocks
// (SSE2, two lanes in double) cannot sort, and their unsorted vectors measured slower than the scalar
// templates: they call the templates element by element.
//
// Why bit-identical. Every lane performs the template's IEEE operations on the same operands in the
// same order, each rounded on its own: the build contracts nothing (-ffp-contract=off) and no fused
// multiply-add is written; float lanes compute in float from the same double coefficients rounded to
// float; comparisons and conversions of the row index are exact. One quotient is formed otherwise,
// with the same bits: float 1/x from 2^126 on, which is subnormal (a division with a subnormal result
// is microcoded on x86, a hundred cycles or more), is rounded from the quotient in double, which
// provably rounds as the float division does (Kernels::reciprocal). tests/cpp/test_simd.cpp checks every
// path this machine runs against the templates on random bit patterns and on every boundary.
//
// Why compiler vector extensions. One algorithm is written once over GCC/Clang vector types
// (__attribute__((vector_size))), and each instruction set is a translation unit of its own compiled
// with its own -m flags: baseline (SSE2 on x86-64, the portable build elsewhere), AVX2 and AVX-512.
// Only the table fetch, the any-lane test, the reciprocal estimate, the masked compares, loads and
// stores and the compress and expand use intrinsics, behind small functions. This needs only the C++ compiler that builds the package
// (std::experimental::simd is not in every standard library, and a header library would be a new
// build dependency), and no -march=native: the path is chosen when the module loads, by what the CPU
// reports.
#ifndef ZELNOR_KERNELS_MILLS_SIMD_H
#define ZELNOR_KERNELS_MILLS_SIMD_H

#include <cstddef>

namespace zelnor {
namespace simd {

// What a block's results hold that its caller may want to look at one by one (its found bits):
// some_not_finite if some result is +-inf or NaN, some_tiny if some result is zero or subnormal.
constexpr unsigned some_not_finite = 1, some_tiny = 2;

// out[k] = f(x[k]) for k < n; out may be x itself. Returns the found bits of the results.
template <typename T> using Block = unsigned (*)(const T* x, T* out, std::size_t n);

template <typename T> struct Blocks {
    Block<T> millsratio, deriv1, deriv3;
};

struct Path {
    const char* name;
    Blocks<float> f32;
    Blocks<double> f64;
    template <typename T> const Blocks<T>& blocks() const;
};
template <> inline const Blocks<float>& Path::blocks<float>() const { return f32; }
template <> inline const Blocks<double>& Path::blocks<double>() const { return f64; }

// The paths built, baseline first: "baseline", and on x86-64 "avx2" and "avx512".
extern const char* const path_names[];
extern const int n_paths;

// The path of that name, or nullptr if it is not built here or this CPU cannot run it.
const Path* find_path(const char* name);

// The fastest path this CPU runs.
const Path& best_path();

}  // namespace simd
}  // namespace zelnor

#endif
