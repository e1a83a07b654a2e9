// The IEEE flags a ufunc leaves are what NumPy reports, as np.errstate says: silence, a RuntimeWarning
// or a FloatingPointError. So each element's flags describe its result, as for a library function or
// np.exp, and never the steps that led to it (a negligible term that underflowed, an abandoned
// recurrence that overflowed, a comparison with an infinity):
//   invalid         where the result is NaN and no argument is NaN;
//   overflow        where the result is infinite and every argument finite, unless the call raised
//                   divide-by-zero: the infinity of a pole is exact (the reflected sum at dx = 0);
//   divide-by-zero  only at such a pole;
//   underflow       where the result is subnormal or zero and the call raised underflow or rounded a
//                   nonzero value there when narrowing it to the loop's type.
// Inexact is left as the call left it; NumPy does not report it.
//
// How a loop uses it, per element (the ufunc modules do exactly this):
//     const FlagState before = flag_state();
//     return result_flags(before, Kernel(x, y), x, y);   // every floating argument, in any order
// The kernel's value may be wider than the arguments (the truncated normal computes float input in
// double); result_flags narrows it to the arguments' type and judges the narrowed value. Flags raised
// before the window (by earlier elements) stay. The value itself is never changed.
//
// A vectorised loop may run a whole block unwatched, then check it: if flags_raised_since(before) or a
// result is not finite, restore_flags(before) and redo the block per element as above. An element's
// flags depend only on the flags its own call raised, its result and its arguments, so the block ends
// with the flags the per-element loop would have left.
//
// An exact infinite value that is not a pole (the log mass -inf of an empty interval a == b) is returned
// outside the window, with no flag, by the loop itself.
//
// On x86-64 the kernels' arithmetic runs in SSE, whose flags live in MXCSR: reading it directly costs a
// fraction of what fetestexcept (which reads the x87 status word too) costs per element, and an
// element that leaves the flags as it found them (nearly every one) writes nothing.
#ifndef ZELNOR_UFUNCS_FLAGS_H
#define ZELNOR_UFUNCS_FLAGS_H

#include <cfenv>
#include <cmath>
#include <limits>
#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

namespace zelnor {

#if defined(__SSE2__)
using FlagState = unsigned;  // the whole MXCSR: its control bits are written back unchanged
inline FlagState flag_state() { return _mm_getcsr(); }
inline void restore_flags(FlagState s) { _mm_setcsr(s); }
constexpr FlagState kInvalid = _MM_EXCEPT_INVALID, kDivideByZero = _MM_EXCEPT_DIV_ZERO,
                    kOverflow = _MM_EXCEPT_OVERFLOW, kUnderflow = _MM_EXCEPT_UNDERFLOW;
#else
using FlagState = int;
inline FlagState flag_state() { return std::fetestexcept(FE_ALL_EXCEPT); }
inline void restore_flags(FlagState s) {
    std::feclearexcept(FE_ALL_EXCEPT & ~s);
    std::feraiseexcept(s & ~std::fetestexcept(FE_ALL_EXCEPT));
}
constexpr FlagState kInvalid = FE_INVALID, kDivideByZero = FE_DIVBYZERO, kOverflow = FE_OVERFLOW,
                    kUnderflow = FE_UNDERFLOW;
#endif
// The flags NumPy reports; the others (inexact, x86's denormal operand) are left alone.
constexpr FlagState kReported = kInvalid | kDivideByZero | kOverflow | kUnderflow;

inline bool flags_raised_since(FlagState before) { return (flag_state() & ~before & kReported) != 0; }

// Outside a function's domain: a quiet NaN and the invalid flag. The flag is raised through <cfenv>: a
// literal 0.0/0.0 may be folded by the compiler into a constant NaN that raises nothing. The argument
// only selects T, so that Cython code over a fused type can call it without naming T.
template <typename T> inline T invalid_nan(T) {
    std::feraiseexcept(FE_INVALID);
    return std::numeric_limits<T>::quiet_NaN();
}

// The classification uses std::fpclassify and std::isnan, which compare quietly: they raise nothing
// on a NaN, so the window's own work adds no flag.
template <typename... A> inline bool any_nan(A... args) { return (std::isnan(args) || ...); }
template <typename... A> inline bool any_infinite(A... args) { return (std::isinf(args) || ...); }

template <typename W, typename T, typename... A>
inline T result_flags(FlagState before, W value, T first, A... rest) {
    const T r = static_cast<T>(value);
    const FlagState after = flag_state();
    const FlagState raised = after & ~before;
    // Nearly every element: a finite result and no new flag (a narrowing that rounds to a subnormal
    // raises underflow itself, before or after this reading), so there is nothing to correct.
    if (!(raised & kReported) && std::isfinite(r)) return r;
    FlagState want = 0;
    switch (std::fpclassify(r)) {
        case FP_NAN:
            if (!any_nan(first, rest...)) want = kInvalid;
            break;
        case FP_INFINITE:
            if (!any_infinite(first, rest...))
                want = (raised & kDivideByZero) && std::isinf(value) ? kDivideByZero : kOverflow;
            break;
        case FP_ZERO:
        case FP_SUBNORMAL:
            if ((raised & kUnderflow) || static_cast<W>(r) != value) want = kUnderflow;
            break;
        default:
            break;
    }
    const FlagState wanted = (after & ~kReported) | (before & kReported) | want;
    if (wanted != after) restore_flags(wanted);
    return r;
}

}  // namespace zelnor

#endif
