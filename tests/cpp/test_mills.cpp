// The Mills-ratio kernels against mpmath reference tables, their regime and depth thresholds, the
// values fixed by construction, the IEEE edges, and the C entry points.
#include <cmath>
#include <functional>
#include <limits>

#include "../../src/zelnor/_kernels/mills.h"
#include "../../src/zelnor/_mills_coef.h"
#include "reference.h"

using namespace zelnor;
using zelnor_test::below;
using zelnor_test::eps;
using zelnor_test::inf;
using zelnor_test::Row;
using zelnor_test::same;
using zelnor_test::Worst;

namespace {

constexpr double sqrt_pi_2 = 1.2533141373155003;

// For negative x the reflection multiplies by exp(x^2/2), whose argument carries a rounding error of
// about (x^2/2) eps: that conditioning, not the kernel, bounds the error there.
double reflection_bound(double x) { return 4 * (x * x / 2 + 2) * eps; }

// Once u = x^2 + 3 exceeds the square root of the largest finite value, -R''' (about 6/x^4) is at the
// bottom of the normal range or below it: within two roundings of the exact value, or within the
// spacing of the subnormals.
template <typename T> bool beyond_tail_guard(T x) {
    const T guard = sizeof(T) == sizeof(double) ? T(1.3407807929942596e154) : T(1.8446742974197924e19f);
    return x * x + T(3) > guard;
}

template <typename T> void expect_near_bottom_of_range(T v, const Row& r, const char* name) {
    const double exact = r.hi + r.lo;
    EXPECT_LE(std::fabs(double(v) - exact),
              2 * std::numeric_limits<T>::epsilon() * exact + std::numeric_limits<T>::denorm_min())
        << name << " x=" << zelnor_test::full(r.args[0]) << " " << zelnor_test::full(v);
}

struct AccuracyCase {
    const char* name;
    const char* file;
    double (*f)(double);
    double bound_nonnegative;
    bool tail_guard = false;
};

class DoubleAccuracy : public ::testing::TestWithParam<AccuracyCase> {};

TEST_P(DoubleAccuracy, AgainstMpmath) {
    const AccuracyCase& c = GetParam();
    Worst pos, neg;
    for (const Row& r : zelnor_test::load_reference(c.file, 1)) {
        const double x = r.args[0], v = c.f(x);
        const double err = zelnor_test::rel_error(v, r);
        if (c.tail_guard && beyond_tail_guard(x)) {
            expect_near_bottom_of_range(v, r, c.name);
        } else if (x >= 0) {
            pos.see(err, r, v);
            EXPECT_LE(err, c.bound_nonnegative) << c.name << " x=" << zelnor_test::full(x);
        } else {
            neg.see(err / reflection_bound(x), r, v);
            EXPECT_LE(err, reflection_bound(x)) << c.name << " x=" << zelnor_test::full(x);
        }
    }
    std::cout << c.name << " x >= 0: " << pos.describe() << "\n";
    if (neg.error > 0) std::cout << c.name << " x < 0 (in units of the bound): " << neg.describe() << "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, DoubleAccuracy,
    ::testing::Values(AccuracyCase{"R", "millsratio.txt", MillsRatio<double>, 4.5e-16},
                      AccuracyCase{"-R'", "millsratio_d1.txt", MillsRatioDeriv1<double>, 8e-16},
                      AccuracyCase{"-R'''", "millsratio_d3.txt", MillsRatioDeriv3<double>, 8e-16, true},
                      AccuracyCase{"Rrel", "millsratio_rel.txt", MillsRatioRel_below1<double>,
                                   4.5e-16}),
    [](const auto& info) { return std::string(info.param.file).substr(0, std::string(info.param.file).find('.')); });

struct FloatCase {
    const char* name;
    const char* file;
    float (*f)(float);
    double max_ulps;
    bool tail_guard = false;
};

class FloatAccuracy : public ::testing::TestWithParam<FloatCase> {};

// Within max_ulps float units of the exact value for x >= 0; for x < 0 the float exponential's
// conditioning, as for double. -R' on [0, 1] is 1 - x R, whose float rounding of x R is amplified by
// up to 1.6 when the difference is formed, hence its 3 ulps. In the C_R3 rows s = ((50 - i) x - 3.5 i)/d
// is a float difference of nearly equal terms, and -R''' falls steeply across a row: up to 5 ulps.
TEST_P(FloatAccuracy, AgainstMpmath) {
    const FloatCase& c = GetParam();
    constexpr double feps = std::numeric_limits<float>::epsilon();
    Worst worst;
    for (const Row& r : zelnor_test::load_reference(c.file, 1)) {
        const float x = float(r.args[0]);
        const float v = c.f(x);
        if (c.tail_guard && beyond_tail_guard(x)) {
            expect_near_bottom_of_range(v, r, c.name);
        } else if (x >= 0) {
            const double ulps = zelnor_test::float_ulp_error(v, r);
            worst.see(ulps, r, v);
            EXPECT_LE(ulps, c.max_ulps) << c.name << " x=" << zelnor_test::full(x);
        } else {
            EXPECT_LE(zelnor_test::rel_error(v, r), 4 * (double(x) * x / 2 + 2) * feps)
                << c.name << " x=" << zelnor_test::full(x);
        }
    }
    std::cout << c.name << " float, x >= 0, in float ulps: " << worst.describe() << "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, FloatAccuracy,
    ::testing::Values(FloatCase{"R", "millsratio_float.txt", MillsRatio<float>, 2},
                      FloatCase{"-R'", "millsratio_d1_float.txt", MillsRatioDeriv1<float>, 3},
                      FloatCase{"-R'''", "millsratio_d3_float.txt", MillsRatioDeriv3<float>, 5, true},
                      FloatCase{"Rrel", "millsratio_rel_float.txt", MillsRatioRel_below1<float>, 2}),
    [](const auto& info) { return std::string(info.param.file).substr(0, std::string(info.param.file).find('.')); });

// Horner over one stored row, in double; at s = 1 it is the sum of the row's coefficients.
double row_value(const double* c, int w, double s) {
    double p = c[w - 1];
    for (int k = w - 2; k >= 0; --k) p = p * s + c[k];
    return p;
}

TEST(MillsRatio, ValuesFixedByConstruction) {
    EXPECT_EQ(MillsRatio(0.0), sqrt_pi_2);
    EXPECT_EQ(MillsRatio(-0.0), sqrt_pi_2);
    // z = 12 x lands on a row start, s = 0: the row's c0 exactly.
    EXPECT_EQ(MillsRatio(0.25), sqrt_pi_2 - 0.25 * 0.8619582458470937);
    EXPECT_EQ(MillsRatio(0.5), sqrt_pi_2 - 0.5 * 0.7538993617236158);
    // x = 1 caps row 12 to row 11 at s = 1.
    EXPECT_EQ(MillsRatio(1.0), sqrt_pi_2 - row_value(C_Rrel + 88, 8, 1.0));
    // x = 1.5 starts row 4 of C_R1.
    EXPECT_EQ(MillsRatio(1.5), (1 - C_R1[32]) / 1.5);
    EXPECT_EQ(MillsRatio(1e8), 1e-08);
    EXPECT_EQ(MillsRatio(-38.0), inf);
    EXPECT_EQ(MillsRatio(-inf), inf);
    EXPECT_EQ(MillsRatio(inf), 0.0);
    EXPECT_FALSE(std::signbit(MillsRatio(inf)));
    EXPECT_TRUE(std::isnan(MillsRatio(std::nan(""))));
    EXPECT_EQ(MillsRatio(0.0f), 1.2533141374588013f);
    EXPECT_EQ(MillsRatio(-38.0f), std::numeric_limits<float>::infinity());
}

TEST(MillsRatio, ReflectionCutoff) {
    // -L itself still reflects, and exp(L^2/2) sqrt(2 pi) overflows; below it the cut-off answers.
    EXPECT_EQ(MillsRatio(-37.67712072049519), inf);
    EXPECT_EQ(MillsRatio(below(-37.67712072049519)), inf);
    EXPECT_TRUE(std::isfinite(MillsRatio(-37.5)));
    EXPECT_EQ(MillsRatio(-13.320874214172363f), std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isfinite(MillsRatio(-13.0f)));
    // R(-1) = sqrt(2 pi) e^{1/2} - R(1), formed as written.
    EXPECT_EQ(MillsRatio(-1.0), std::exp(0.5) * 2.5066282746310007 - MillsRatio(1.0));
}

TEST(MillsRatioCF, ClosedForms) {
    for (double x : {548.0, 1000.0, 12345.5}) {
        const double u = x * x + 3;
        EXPECT_EQ(MillsRatio_CF(x, 2, 0), (u - 1) / (x * u)) << x;
    }
    // u = 10003, delta = 10007, gamma = 6, D = 100100015: all exact, one rounding at the end.
    EXPECT_EQ(MillsRatio_CF(100.0, 4, 0), 100090008.0 / 10010001500.0);
    EXPECT_EQ(MillsRatio_CF(10003.0, 4, 1), 10007.0 / 100100015.0);
    EXPECT_EQ(MillsRatio_CF(10003.0, 4, 3), 6.0 / 100100015.0);
    EXPECT_EQ(MillsRatio_CF(147.0, 2, 1), 1.0 / 147.0);
    EXPECT_EQ(MillsRatio_CF(403.0, 2, 3), 0.0);
    EXPECT_EQ(MillsRatio_CF(std::nan(""), 2, 3), 0.0);
    // Orders outside {2, 4, ..., 10} act as 12.
    for (int n : {14, 3, 0, -5})
        for (int d : {0, 1, 3}) EXPECT_EQ(MillsRatio_CF(20.5, n, d), MillsRatio_CF(20.5, 12, d)) << n;
}

// Each tail threshold t: from t up to 2% above it the kernel is the convergent of the order above it,
// from the double below t down to 2% below it the order below (or a table piece, not checked here).
// Where the two orders differ in the last bit, a threshold moved within that window fails; each
// threshold has such points in its window, and the test requires that it does.
template <typename T> struct Threshold {
    T t;
    int n_at, n_below;  // n_below = 0: the value below t comes from a table piece
};

template <typename T> void expect_depths(T (*kernel)(T), int d, const Threshold<T>& c) {
    const auto arg = [d](T x) { return d == 0 ? x : x * x + T(3); };
    int differ = 0;
    for (int k = 0; k <= 40; ++k) {
        const T up = c.t * (T(1) + T(k) * T(5e-4));
        EXPECT_EQ(kernel(up), MillsRatio_CF(arg(up), c.n_at, d)) << "at " << c.t << " + " << k;
        if (!c.n_below) continue;
        const T down = k == 0 ? below(c.t) : c.t * (T(1) - T(k) * T(5e-4));
        const T want = MillsRatio_CF(arg(down), c.n_below, d);
        EXPECT_EQ(kernel(down), want) << "below " << c.t << " - " << k;
        differ += want != MillsRatio_CF(arg(down), c.n_at, d);
    }
    if (c.n_below) {
        EXPECT_GT(differ, 0) << "orders " << c.n_at << " and " << c.n_below << " agree near " << c.t;
    }
}

template <typename T> void check_all_depths() {
    for (auto c : {Threshold<T>{T(548), 2, 4}, {T(59.3), 4, 6}, {T(24.1), 6, 8},
                   {T(15.1), 8, 10}, {T(11.4), 10, 12}, {T(9.5), 12, 0}})
        expect_depths<T>(MillsRatio<T>, 0, c);
    for (auto c : {Threshold<T>{T(12800), 2, 4}, {T(165), 4, 6}, {T(41), 6, 8}, {T(21.2), 8, 10},
                   {T(14.5), 10, 12}, {T(11.5), 12, 0}})
        expect_depths<T>(MillsRatioDeriv1<T>, 1, c);
    for (auto c : {Threshold<T>{T(17300), 4, 6}, {T(210), 6, 8}, {T(50.5), 8, 10}, {T(25.4), 10, 12},
                   {T(17.1), 12, 0}})
        expect_depths<T>(MillsRatioDeriv3<T>, 3, c);
}

TEST(Thresholds, DoubleDepths) { check_all_depths<double>(); }
TEST(Thresholds, FloatDepthsUseTheFloatLiterals) {
    check_all_depths<float>();
    EXPECT_EQ(MillsRatio(59.29999923706055f), MillsRatio_CF(59.3f, 4, 0));
    EXPECT_EQ(MillsRatio(20.0f), MillsRatio_CF(20.0f, 8, 0));
}

TEST(MillsRatio, OneOverXFrom67e6) {
    EXPECT_EQ(MillsRatio(6.7e7), 1 / 6.7e7);
    EXPECT_EQ(MillsRatio(below(6.7e7)), MillsRatio_CF(below(6.7e7), 2, 0));
    EXPECT_EQ(MillsRatio(6.7e7f), 1 / 6.7e7f);
}

TEST(Derivatives, ValuesFixedByConstruction) {
    for (double z : {0.0, -0.0}) {
        EXPECT_EQ(MillsRatioDeriv1(z), 1.0);
        EXPECT_EQ(MillsRatioDeriv3(z), 2.0);
        EXPECT_EQ(MillsRatioRel_below1(z), 1.0);
    }
    EXPECT_EQ(MillsRatioRel_below1(0.5), 0.7538993617236158);
    EXPECT_EQ(MillsRatioRel_below1(1.0), row_value(C_Rrel + 88, 8, 1.0));
    // -R'(x) = 1 - x (sqrt(pi/2) - rrel x) on [0, 1], with row 6 at s = 0 for x = 0.5.
    EXPECT_EQ(MillsRatioDeriv1(0.5), 1 - 0.5 * (sqrt_pi_2 - 0.7538993617236158 * 0.5));
    EXPECT_EQ(MillsRatioDeriv1(1.0), 1 - 1.0 * (sqrt_pi_2 - row_value(C_Rrel + 88, 8, 1.0)));
    // Just above 1 the C_R1 table starts: row 0, s close to 0.
    EXPECT_NEAR(MillsRatioDeriv1(std::nextafter(1.0, 2.0)), C_R1[0], 1e-15);
    EXPECT_EQ(MillsRatioDeriv1(0.0f), 1.0f);
    EXPECT_EQ(MillsRatioDeriv3(0.0f), 2.0f);
    EXPECT_EQ(MillsRatioRel_below1(0.5f), 0.7538993617236158f);
}

TEST(Derivatives, TailGuards) {
    // -R''' beyond its guard on u = x^2 + 3 (sqrt(DBL_MAX), float 2^64) is the depth-4 value formed
    // without overflow, down through the subnormals (exact values 6/x^4 (1 - 10/x^2 + ...) from mpmath
    // at 80 digits); +0 beyond the guard on x, where u itself would overflow.
    // -R' has no guard: 1/u stays a normal number up to x near 1e154.
    EXPECT_NEAR(MillsRatioDeriv3(1.16e77), 3.3137465872828472e-308, 2 * eps * 3.32e-308);
    EXPECT_NEAR(MillsRatioDeriv3(1e80), 6e-320, 5e-324);
    EXPECT_NEAR(MillsRatioDeriv3(3e80), 7.4074074074074087e-322, 5e-324);
    EXPECT_EQ(MillsRatioDeriv3(1e82), 0.0);
    EXPECT_EQ(MillsRatioDeriv3(1e200), 0.0);
    EXPECT_EQ(MillsRatioDeriv3(inf), 0.0);
    const float fmin = std::numeric_limits<float>::min();
    EXPECT_NEAR(MillsRatioDeriv3(4.3e9f), 1.7550008e-38f, 2.5e-7f * fmin);
    EXPECT_NEAR(MillsRatioDeriv3(2e10f), 3.75e-41f, 1.5e-45f);
    EXPECT_EQ(MillsRatioDeriv3(1e12f), 0.0f);
    EXPECT_NEAR(MillsRatioDeriv1(1e100), 1e-200, 1e-215);
    EXPECT_NEAR(MillsRatioDeriv1(1e153), 1e-306, 1e-321);
    EXPECT_EQ(MillsRatioDeriv1(1e155), 0.0);
    EXPECT_EQ(MillsRatioDeriv1(inf), 0.0);
    EXPECT_FALSE(std::signbit(MillsRatioDeriv1(inf)));
    EXPECT_NEAR(MillsRatioDeriv1(1e18f), 1e-36f, 1e-42f);
}

TEST(Derivatives, ReflectionAndEdges) {
    for (auto f : {MillsRatioDeriv1<double>, MillsRatioDeriv3<double>}) {
        EXPECT_EQ(f(-37.67712072049519), inf);
        EXPECT_EQ(f(below(-37.67712072049519)), inf);
        EXPECT_EQ(f(-inf), inf);
        EXPECT_TRUE(std::isnan(f(std::nan(""))));
        EXPECT_TRUE(std::isfinite(f(-30.0)));
    }
    EXPECT_TRUE(std::isnan(MillsRatioRel_below1(std::nan(""))));
    EXPECT_TRUE(std::isnan(MillsRatioDeriv3(std::nanf(""))));
}

// Outside [0, 1] the relative form extrapolates row 0 (below 0) or row 11 (above 1) and never reads
// outside C_Rrel; the sanitizer build of this test checks the reads.
TEST(RelativeForm, OutsideItsDomainExtrapolatesTheEndRows) {
    for (double x : {-1e300, -5.0, -1.0 / 12, -0.01, -inf})
        EXPECT_TRUE(same(MillsRatioRel_below1(x), row_value(C_Rrel, 8, 12 * x))) << x;
    for (double x : {1.0625, 1.5, 3.0, 1e300, inf})
        EXPECT_TRUE(same(MillsRatioRel_below1(x), row_value(C_Rrel + 88, 8, 12 * x - 11))) << x;
}

TEST(EntryPoints, ForwardBitForBit) {
    for (double x = -40; x < 200; x += 0.0371) {
        EXPECT_EQ(zelnor_MillsRatio(x), MillsRatio(x));
        EXPECT_EQ(zelnor_MillsRatioDeriv1(x), MillsRatioDeriv1(x));
        EXPECT_EQ(zelnor_MillsRatioDeriv3(x), MillsRatioDeriv3(x));
        EXPECT_EQ(zelnor_MillsRatioRel_below1(x / 240), MillsRatioRel_below1(x / 240));
    }
    for (int n : {-1, 0, 2, 3, 4, 6, 8, 10, 12, 14})
        for (int d : {-2, 0, 1, 2, 3, 7})
            for (double xu : {0.5, 9.5, 20.0, 403.0}) {
                const double a = zelnor_MillsRatio_CF(xu, n, d), b = MillsRatio_CF(xu, n, d);
                EXPECT_TRUE(a == b || (std::isnan(a) && std::isnan(b))) << xu << " " << n << " " << d;
            }
}

}  // namespace
