// The vector blocks for AVX2, 256-bit registers: compiled with -mavx2, run only where the CPU
// reports AVX2.
#include "fp_strict.h"  // first: it sets the floating-point rules for everything below
#include "mills_simd_impl.h"

namespace zelnor {
namespace simd {
extern const Path avx2_path = make_path<register_bytes>("avx2");
}
}  // namespace zelnor
