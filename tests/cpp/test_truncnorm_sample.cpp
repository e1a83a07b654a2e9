// The truncated-normal sampler driven by a source of variates of its own (SplitMix64 bits, Marsaglia's
// polar method, inversion for the exponential), so that its rejection steps are checked apart from
// NumPy's generators: bounds in every regime and at every switch between regimes, the reflection,
// and the first two moments against the exact kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "_kernels/truncnorm.h"
#include "_kernels/truncnorm_sample.h"
#include "reference.h"

namespace {

using zelnor_test::full;
using zelnor_test::inf;

struct SplitMix {
    uint64_t x;
    double uniform() {
        uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1p-53;
    }
};

double uniform(void* s) { return static_cast<SplitMix*>(s)->uniform(); }
double exponential(void* s) { return -std::log1p(-uniform(s)); }
double normal(void* s) {
    for (;;) {
        const double u = 2 * uniform(s) - 1, v = 2 * uniform(s) - 1, r = u * u + v * v;
        if (r > 0 && r < 1) return u * std::sqrt(-2 * std::log(r) / r);
    }
}

std::vector<double> draws(double a, double b, int n, uint64_t seed) {
    SplitMix state{seed};
    const zelnor_RandomSource source{&state, uniform, normal, exponential};
    std::vector<double> out(n);
    zelnor_TruncNormSampleFill(a, b, &source, out.data(), n);
    return out;
}

// One interval per regime and the intervals on both sides of every switch (w = 1.5 around 0,
// c = 1, a = 0.75), far out, narrow, subnormal and huge.
const std::vector<std::pair<double, double>> kIntervals = {
    {-inf, inf}, {-3, 40}, {-1e-8, 1e-8}, {-0.1, 1.4}, {-0.1, 1.4 + 1e-15}, {0, 1.4142135623730951},
    {0, 1.4142135623730954}, {0.2, 1.3}, {0.7499999999999999, 2}, {0.75, 2}, {0.75, 1.6007810593582121},
    {0.75, inf}, {1, 1.7320508075688772}, {1, 1.7320508075688774}, {30, 31}, {38, inf},
    {1e6, 1e6 + 1e-3}, {1e6, 1e6 + 1e-6}, {1e6, 1e6 + 2e-6}, {-1e6 - 1e-3, -1e6}, {1e300, inf},
    {-inf, -1e300}, {0, 5e-324}, {-5e-324, 1e-323}, {-1e308, 1e308}, {8, 8.125}, {-40, -30}};

TEST(TruncNormSample, DrawsStayInTheInterval) {
    for (const auto& [a, b] : kIntervals) {
        for (double z : draws(a, b, 20000, 7)) {
            ASSERT_TRUE(a <= z && z <= b && std::isfinite(z)) << "[" << full(a) << ", " << full(b) << "]: " << full(z);
        }
    }
}

TEST(TruncNormSample, ReflectionNegatesTheDraws) {
    for (const auto& [a, b] : kIntervals) {
        if (a == -b) continue;  // its own reflection
        const auto x = draws(a, b, 1000, 11), y = draws(-b, -a, 1000, 11);
        for (int i = 0; i < 1000; ++i) ASSERT_EQ(x[i], -y[i]) << "[" << full(a) << ", " << full(b) << "]";
    }
}

TEST(TruncNormSample, PointAndInvalidIntervals) {
    EXPECT_EQ(draws(2.5, 2.5, 3, 1), std::vector<double>(3, 2.5));
    for (double z : draws(1, 0, 3, 1)) EXPECT_TRUE(std::isnan(z));
    for (double z : draws(NAN, 1, 3, 1)) EXPECT_TRUE(std::isnan(z));
}

// Mean and variance of 2e5 draws within 5 standard errors of the exact values (the standard error of
// the variance from the sample's fourth central moment).
TEST(TruncNormSample, MomentsMatchTheExactKernels) {
    const int n = 200000;
    for (const auto& [a, b] : kIntervals) {
        const double mean = zelnor_TruncNormMean(a, b), var = zelnor_TruncNormVar(a, b);
        if (!(var > 0) || !std::isfinite(mean)) continue;
        const double sd = std::sqrt(var);
        double m1 = 0, m2 = 0, m4 = 0;
        for (double z : draws(a, b, n, 3)) {
            const double d = (z - mean) / sd;
            m1 += d, m2 += d * d, m4 += d * d * d * d;
        }
        m1 /= n, m2 /= n, m4 /= n;
        EXPECT_LT(std::fabs(m1), 5 / std::sqrt(double(n))) << "mean, [" << full(a) << ", " << full(b) << "]";
        EXPECT_LT(std::fabs(m2 - 1), 5 * std::sqrt((m4 - 1) / n)) << "var, [" << full(a) << ", " << full(b) << "]";
    }
}

}  // namespace
