// The vector blocks every machine runs: SSE2 on x86-64 (part of the architecture), the compiler's
// portable vectors of 16 bytes elsewhere.
#include "fp_strict.h"  // first: it sets the floating-point rules for everything below
#include "mills_simd_impl.h"

namespace zelnor {
namespace simd {
extern const Path baseline_path = make_path<register_bytes>("baseline");
}
}  // namespace zelnor
