// The floor that the ufuncs zelnor.millsratio, millsratio_d1 and millsratio_d3 are measured against:
// a bare C++ loop calling the kernel template once per element. This file is compiled on its own and
// linked with _kernels/mills.cpp, so each call stays out of line, as it does in the extension module's
// element-by-element loop: only the ufunc machinery differs.
#include "_kernels/mills.h"

namespace {

template <typename T, T (*kernel)(T)> void loop(const T* x, T* out, long n) {
    for (long i = 0; i < n; ++i) out[i] = kernel(x[i]);
}

}  // namespace

#define ZELNOR_EXPORT extern "C" __attribute__((visibility("default")))

ZELNOR_EXPORT void floor_millsratio_double(const double* x, double* out, long n) {
    loop<double, zelnor::MillsRatio<double>>(x, out, n);
}
ZELNOR_EXPORT void floor_millsratio_float(const float* x, float* out, long n) {
    loop<float, zelnor::MillsRatio<float>>(x, out, n);
}
ZELNOR_EXPORT void floor_millsratio_d1_double(const double* x, double* out, long n) {
    loop<double, zelnor::MillsRatioDeriv1<double>>(x, out, n);
}
ZELNOR_EXPORT void floor_millsratio_d1_float(const float* x, float* out, long n) {
    loop<float, zelnor::MillsRatioDeriv1<float>>(x, out, n);
}
ZELNOR_EXPORT void floor_millsratio_d3_double(const double* x, double* out, long n) {
    loop<double, zelnor::MillsRatioDeriv3<double>>(x, out, n);
}
ZELNOR_EXPORT void floor_millsratio_d3_float(const float* x, float* out, long n) {
    loop<float, zelnor::MillsRatioDeriv3<float>>(x, out, n);
}
