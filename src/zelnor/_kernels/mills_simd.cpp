// Which vector path runs: decided from what the CPU reports, compiled for the baseline only.
#include "fp_strict.h"  // first: it sets the floating-point rules for everything below
#include "mills_simd.h"

#include <cstring>

namespace zelnor {
namespace simd {

extern const Path baseline_path;
#if defined(__x86_64__)
extern const Path avx2_path;
extern const Path avx512_path;
const char* const path_names[] = {"baseline", "avx2", "avx512"};
#else
const char* const path_names[] = {"baseline"};
#endif
const int n_paths = int(sizeof path_names / sizeof path_names[0]);

const Path* find_path(const char* name) {
    if (std::strcmp(name, "baseline") == 0) return &baseline_path;
#if defined(__x86_64__)
    if (std::strcmp(name, "avx2") == 0) return __builtin_cpu_supports("avx2") ? &avx2_path : nullptr;
    if (std::strcmp(name, "avx512") == 0)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") ? &avx512_path
                                                                                        : nullptr;
#endif
    return nullptr;
}

const Path& best_path() {
    for (int k = n_paths - 1; k > 0; --k)
        if (const Path* p = find_path(path_names[k])) return *p;
    return baseline_path;
}

}  // namespace simd
}  // namespace zelnor
