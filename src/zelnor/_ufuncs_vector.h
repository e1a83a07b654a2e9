// The inner loops of millsratio, millsratio_d1 and millsratio_d3. Contiguous input runs the vector
// blocks of _kernels/mills_simd.h (bit for bit the kernels, several elements per instruction),
// strided input the kernels one element at a time.
//
// Each element's flags describe its result, as _ufuncs_flags.h defines them, and the vector blocks
// must leave what the element-by-element loop leaves. There, an element whose result is a normal
// number ends with no flag of its own, whatever its call raised on the way; only a result that is
// zero, subnormal, infinite or NaN may want one. So a block runs unwatched and only such elements are
// run again one by one: those that are not finite if the block raised no flag (no element's call
// raised one then: each lane performs its kernel's operations, and the stand-in arguments of unused
// lanes raise nothing), and also those that are zero or subnormal if it raised any, after the flags
// are put back as the block found them.
#ifndef ZELNOR_UFUNCS_VECTOR_H
#define ZELNOR_UFUNCS_VECTOR_H

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <numpy/npy_common.h>

#include "_kernels/mills.h"
#include "_kernels/mills_simd.h"
#include "_ufuncs_flags.h"

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

enum class Mills { R, Deriv1, Deriv3 };

template <Mills F, typename T> inline T mills_kernel(T x) {
    if constexpr (F == Mills::R) return MillsRatio(x);
    else if constexpr (F == Mills::Deriv1) return MillsRatioDeriv1(x);
    else return MillsRatioDeriv3(x);
}

// One element, its flags describing its result.
template <Mills F, typename T> inline T mills_element(T x) {
    const FlagState before = flag_state();
    return result_flags(before, mills_kernel<F>(x), x);
}

template <Mills F, typename T> inline simd::Block<T> mills_block() {
    const simd::Blocks<T>& b = vector_path.load(std::memory_order_relaxed)->template blocks<T>();
    if constexpr (F == Mills::R) return b.millsratio;
    else if constexpr (F == Mills::Deriv1) return b.deriv1;
    else return b.deriv3;
}

// Elements per vector block: the blocks sort, evaluate and prefetch in pieces of their own, so a block
// may be long; only where it raised a flag or holds an exceptional result are its elements looked at
// one by one. Output that overlaps the input goes through a buffer of buffered_block elements.
constexpr std::size_t vector_block = 1 << 14, buffered_block = 512;

// Whether a result is +-inf or NaN (all exponent bits set), or with `tiny` also zero or subnormal (no
// exponent bit set). Read from the bits, since an ordered comparison with a NaN would raise the
// invalid flag.
template <typename T> struct Exponent {
    using U = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    static constexpr U mask = U(2 * std::numeric_limits<T>::max_exponent - 1)
                              << (std::numeric_limits<T>::digits - 1);
    // The flags an element with result r may want (_ufuncs_flags.h): invalid for NaN, overflow or
    // divide-by-zero for an infinity, with `tiny` underflow for zero or a subnormal; none otherwise.
    static FlagState possible_flags(T r, bool tiny) {
        U u;
        std::memcpy(&u, &r, sizeof u);
        const U e = u & mask;
        if (e == mask) return (u & ~mask) << 1 ? kInvalid : kOverflow | kDivideByZero;
        return tiny && e == 0 ? kUnderflow : 0;
    }
};

// Runs the element loop again where a result wants flags. The elements' flags gather into their
// union, so an element whose possible flags are all raised already cannot change it and is skipped:
// among many zero or subnormal results (1/x far out in float) only the first that wants underflow
// runs again.
template <Mills F, typename T> void flags_of_results(const T* x, T* r, std::size_t m, bool tiny) {
    for (std::size_t j = 0; j < m; ++j) {
        const FlagState possible = Exponent<T>::possible_flags(r[j], tiny);
        if (possible && (possible & ~flag_state())) r[j] = mills_element<F>(x[j]);
    }
}

template <Mills F, typename T> void contiguous_loop(const T* x, T* out, std::size_t n) {
    const simd::Block<T> block = mills_block<F, T>();
    // Results go straight to out unless it overlaps x, whose elements must stay until their block is
    // checked; then through a buffer.
    const bool apart = out + n <= x || x + n <= out;
    const std::size_t step = apart ? vector_block : buffered_block;
    T buffer[buffered_block];
    for (std::size_t k = 0; k < n; k += step) {
        const std::size_t m = std::min(step, n - k);
        T* r = apart ? out + k : buffer;
        const FlagState before = flag_state();
        const unsigned found = block(x + k, r, m);
        const bool raised = flags_raised_since(before);
        if (raised) restore_flags(before);
        if (found & (simd::some_not_finite | (raised ? simd::some_tiny : 0u))) flags_of_results<F>(x + k, r, m, raised);
        if (!apart) std::memcpy(out + k, buffer, m * sizeof(T));
    }
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
