// The floor that the ufunc zelnor.millsratio is measured against: a bare C++ loop calling the Mills-ratio
// template once per element. This file is compiled on its own and linked with _kernels/mills.cpp, so
// each call stays out of line, as it does in the extension module: only the ufunc machinery differs.
#include "_kernels/mills.h"

namespace {

template <typename T> void millsratio_loop(const T* x, T* out, long n) {
    for (long i = 0; i < n; ++i) out[i] = zelnor::MillsRatio(x[i]);
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) void floor_millsratio_double(const double* x, double* out, long n) {
    millsratio_loop(x, out, n);
}
__attribute__((visibility("default"))) void floor_millsratio_float(const float* x, float* out, long n) {
    millsratio_loop(x, out, n);
}
}
