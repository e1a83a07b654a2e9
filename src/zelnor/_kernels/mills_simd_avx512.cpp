// The vector blocks for AVX-512 (F and DQ), 512-bit registers: compiled with -mavx512f -mavx512dq,
// run only where the CPU reports both.
#include "fp_strict.h"  // first: it sets the floating-point rules for everything below
#include "mills_simd_impl.h"

namespace zelnor {
namespace simd {
extern const Path avx512_path = make_path<register_bytes>("avx512");
}
}  // namespace zelnor
