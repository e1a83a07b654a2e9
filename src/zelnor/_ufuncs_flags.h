// The IEEE flags a ufunc leaves are what NumPy reports, as np.errstate says: silence, a RuntimeWarning
// or a FloatingPointError. Each flag should describe the result, as for a library function: invalid
// where it is NaN from a non-NaN argument, overflow where it overflows.
#ifndef ZELNOR_UFUNCS_FLAGS_H
#define ZELNOR_UFUNCS_FLAGS_H

#include <cfenv>
#include <cmath>
#include <limits>
#if defined(__SSE2_MATH__)
#include <xmmintrin.h>
#endif

#include "_kernels/divdiff.h"

namespace zelnor {

// Outside a function's domain: a quiet NaN and the invalid flag. The flag is raised through <cfenv>: a
// literal 0.0/0.0 may be folded by the compiler into a constant NaN that raises nothing. The argument
// only selects T, so that Cython code over a fused type can call it without naming T.
template <typename T> inline T invalid_nan(T) {
    std::feraiseexcept(FE_INVALID);
    return std::numeric_limits<T>::quiet_NaN();
}

// The continued-fraction divided difference runs the plain recurrence first and, where its values
// overflow, starts again with rescaled ones: the result is right, but the abandoned attempt has raised
// the overflow flag. A finite result withdraws an overflow flag that its own call raised.
// Where the compiler does double arithmetic in SSE (__SSE2_MATH__, as on every x86-64), its flags live
// in MXCSR: reading it directly costs a fraction of what fetestexcept (which reads the x87 status word
// too) costs per element. A 32-bit build that has SSE2 but computes on the x87 (__SSE2__ without
// __SSE2_MATH__) raises its flags in the x87 status word, which only fetestexcept reads.
#if defined(__SSE2_MATH__)
inline bool overflow_raised() { return _mm_getcsr() & _MM_EXCEPT_OVERFLOW; }
inline void withdraw_overflow() { _mm_setcsr(_mm_getcsr() & ~_MM_EXCEPT_OVERFLOW); }
#else
inline bool overflow_raised() { return std::fetestexcept(FE_OVERFLOW); }
inline void withdraw_overflow() { std::feclearexcept(FE_OVERFLOW); }
#endif

template <typename T> inline T overflow_only_if_infinite(T r, bool was_raised) {
    if (!was_raised && std::isfinite(r) && overflow_raised()) withdraw_overflow();
    return r;
}

template <typename T> inline T divided_difference(T x, T dx, int theta) {
    const bool was_raised = overflow_raised();
    return overflow_only_if_infinite(MillsRatioDiff(x, dx, theta), was_raised);
}

template <typename T> inline T divided_difference_cf(T x, T dx, int n_terms) {
    const bool was_raised = overflow_raised();
    return overflow_only_if_infinite(MillsRatioDiff_CF(x, dx, n_terms), was_raised);
}

}  // namespace zelnor

#endif
