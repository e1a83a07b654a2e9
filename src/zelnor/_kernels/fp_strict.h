// Included first by every kernel source, before any other header: the kernels round each product and
// each sum on their own, and their error-free transformations (the exact split of t^2 through
// std::fma, the renormalised sums of the truncated normal) are exact only then. A fused multiply-add
// that the compiler forms on its own breaks that exactness and changes results, so contraction is
// turned off here for the rest of the translation unit, whatever the build's flags: GCC contracts by
// default in its GNU modes and clang by default everywhere. Clang's explicit -ffp-contract=fast
// overrides this pragma by design, so builds must still pass -ffp-contract=off. Fast-math breaks the
// kernels outright (they test for NaN and infinity and rely on the order of every operation); it is
// refused.
#ifndef ZELNOR_KERNELS_FP_STRICT_H
#define ZELNOR_KERNELS_FP_STRICT_H

#if defined(__FAST_MATH__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__)
#error "the zelnor kernels must not be compiled with -ffast-math or -ffinite-math-only"
#endif

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
// GCC ignores the standard pragma; its per-function option gives the code -ffp-contract=off gives.
#pragma GCC optimize("fp-contract=off")
#elif defined(_MSC_VER)
#pragma fp_contract(off)
#endif

#endif
