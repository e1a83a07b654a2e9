// The inner loops of millsratio, millsratio_d1 and millsratio_d3. Contiguous input runs the vector
// blocks of _kernels/mills_simd.h (bit for bit the kernels, several elements per instruction),
// strided input the kernels one element at a time.
//
// The floating-point flags must stay what the element-by-element loop leaves: the vector blocks
// evaluate regimes that a lane does not need (on harmless stand-in arguments) and so may not raise
// exactly the flags the elements would. Each block therefore runs with the flags cleared; if it raised
// invalid, division by zero, overflow or underflow, it is run again element by element. A block that
// raised none left only results whose elements raise none either (each lane performs its kernel's
// operations), except where the result is +-0 or +-inf, whose flags depend on how the kernel got there:
// those elements alone are run again one by one. Inexact is not tracked, by NumPy nor here.
#ifndef ZELNOR_UFUNCS_VECTOR_H
#define ZELNOR_UFUNCS_VECTOR_H

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <numpy/npy_common.h>
#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "_kernels/mills.h"
#include "_kernels/mills_simd.h"

namespace zelnor {

// The vector path the loops run: the fastest this CPU runs, chosen when the module loads; tests may
// force another through set_vector_path. Loops run without the interpreter lock, hence atomic.
inline std::atomic<const simd::Path*> vector_path{&simd::best_path()};

// False (and nothing changed) if the path is not built here or this CPU cannot run it.
inline bool set_vector_path(const char* name) {
    const simd::Path* p = simd::find_path(name);
    if (p) vector_path.store(p, std::memory_order_relaxed);
    return p != nullptr;
}

inline const char* vector_path_name() { return vector_path.load(std::memory_order_relaxed)->name; }

// The flags that NumPy reports. On x86-64 the kernels' arithmetic runs in SSE, whose flags live in
// MXCSR; reading and writing it directly is far cheaper than <cfenv>, which touches the x87 unit too.
#if defined(__SSE2__)
constexpr unsigned reported_flags =
    _MM_EXCEPT_INVALID | _MM_EXCEPT_DIV_ZERO | _MM_EXCEPT_OVERFLOW | _MM_EXCEPT_UNDERFLOW;
inline unsigned raised_flags() { return _mm_getcsr() & reported_flags; }
inline void set_flags(unsigned flags) { _mm_setcsr((_mm_getcsr() & ~reported_flags) | flags); }
#else
constexpr unsigned reported_flags = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW;
inline unsigned raised_flags() { return unsigned(std::fetestexcept(int(reported_flags))); }
inline void set_flags(unsigned flags) {
    std::feclearexcept(int(reported_flags));
    std::feraiseexcept(int(flags));
}
#endif

enum class Mills { R, Deriv1, Deriv3 };

template <Mills F, typename T> inline T mills_element(T x) {
    if constexpr (F == Mills::R) return MillsRatio(x);
    else if constexpr (F == Mills::Deriv1) return MillsRatioDeriv1(x);
    else return MillsRatioDeriv3(x);
}

template <Mills F, typename T> inline simd::Block<T> mills_block() {
    const simd::Blocks<T>& b = vector_path.load(std::memory_order_relaxed)->template blocks<T>();
    if constexpr (F == Mills::R) return b.millsratio;
    else if constexpr (F == Mills::Deriv1) return b.deriv1;
    else return b.deriv3;
}

// Elements per vector block: a few hundred keep the results in L1 until they are checked, and make the
// two reads of MXCSR per block negligible.
constexpr std::size_t vector_block = 512;

// Whether some result is +-0 or +-inf (a pass the compiler vectorises).
template <typename T> inline bool any_zero_or_inf(const T* r, std::size_t m) {
    bool found = false;
    for (std::size_t j = 0; j < m; ++j) found |= (r[j] == T(0)) | (std::fabs(r[j]) == HUGE_VAL);
    return found;
}

template <Mills F, typename T> void contiguous_loop(const T* x, T* out, std::size_t n) {
    const simd::Block<T> block = mills_block<F, T>();
    unsigned kept = raised_flags();  // the caller's flags and those the elements raise
    if (kept) set_flags(0);
    T r[vector_block];  // x may be out: the arguments stay until the block is checked
    for (std::size_t k = 0; k < n; k += vector_block) {
        const std::size_t m = std::min(vector_block, n - k);
        block(x + k, r, m);
        if (raised_flags()) {
            set_flags(0);
            for (std::size_t j = 0; j < m; ++j) r[j] = mills_element<F>(x[k + j]);
        } else if (any_zero_or_inf(r, m)) {
            for (std::size_t j = 0; j < m; ++j)
                if (r[j] == T(0) || std::isinf(r[j])) r[j] = mills_element<F>(x[k + j]);
        }
        if (const unsigned f = raised_flags()) {
            kept |= f;
            set_flags(0);
        }
        std::memcpy(out + k, r, m * sizeof(T));
    }
    if (kept) set_flags(kept);
}

// A NumPy inner loop of one input and one output (PyUFuncGenericFunction).
template <Mills F, typename T>
void mills_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    const npy_intp n = dimensions[0], in_step = steps[0], out_step = steps[1];
    char *in = args[0], *out = args[1];
    if (in_step == npy_intp(sizeof(T)) && out_step == npy_intp(sizeof(T))) {
        contiguous_loop<F>(reinterpret_cast<const T*>(in), reinterpret_cast<T*>(out), std::size_t(n));
        return;
    }
    for (npy_intp k = 0; k < n; ++k, in += in_step, out += out_step) {
        T x;
        std::memcpy(&x, in, sizeof x);
        const T r = mills_element<F>(x);
        std::memcpy(out, &r, sizeof r);
    }
}

// The loops of each ufunc, float64 first: input that is neither float32 nor float64 takes the first
// loop it casts to safely.
using ufunc_loop = void (*)(char**, const npy_intp*, const npy_intp*, void*);
inline ufunc_loop millsratio_loops[2] = {mills_loop<Mills::R, double>, mills_loop<Mills::R, float>};
inline ufunc_loop millsratio_d1_loops[2] = {mills_loop<Mills::Deriv1, double>,
                                            mills_loop<Mills::Deriv1, float>};
inline ufunc_loop millsratio_d3_loops[2] = {mills_loop<Mills::Deriv3, double>,
                                            mills_loop<Mills::Deriv3, float>};

}  // namespace zelnor

#endif
