// The truncated-normal kernels against the mpmath tables (tools/make_truncnorm_reference.py) and their
// floating-point flags, at the C level and so also under the sanitizers.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <limits>
#include <vector>

#include "_kernels/truncnorm.h"
#include "reference.h"

namespace {

using zelnor_test::eps;
using zelnor_test::full;
using zelnor_test::inf;
using zelnor_test::load_reference;
using zelnor_test::Row;

// Worst error over tolerance of one table, with the arguments where it lies.
struct Worst {
    double ratio = 0;
    std::vector<double> args;
    void note(double r, const Row& row) {
        if (!(r <= ratio)) {
            ratio = r;
            args = row.args;
        }
    }
    std::string where() const {
        std::string s;
        for (double v : args) s += full(v) + " ";
        return s;
    }
};

// The kernel's measured accuracy (the header of _kernels/truncnorm.h) with a margin of 1.5 to 3, not the
// looser acceptance tolerances: a regression of a few units of 1e-15 in any regime fails here.
constexpr double kLogMassBound = 3 * eps;  // times max(1, |log mass|)
constexpr double kMeanBound = 1e-15;       // times max(|mean|, standard deviation)
constexpr double kVarBound = 1e-14;        // relative
constexpr double kCdfSfBound = 5e-15;      // relative, where the value is a normal double

TEST(TruncNorm, MomentsAgainstMpmath) {
    const auto var_rows = load_reference("truncnorm_var.txt", 2);
    Worst logmass, mean, var;
    for (const Row& r : load_reference("truncnorm_logmass.txt", 2)) {
        const double v = zelnor::TruncNormLogMass(r.args[0], r.args[1]);
        logmass.note(std::fabs((v - r.hi) - r.lo) / (kLogMassBound * std::fmax(1.0, std::fabs(r.hi))), r);
    }
    const auto mean_rows = load_reference("truncnorm_mean.txt", 2);
    ASSERT_EQ(mean_rows.size(), var_rows.size());
    for (std::size_t k = 0; k < mean_rows.size(); ++k) {
        const Row& r = mean_rows[k];
        const double v = zelnor::TruncNormMean(r.args[0], r.args[1]);
        const double scale = std::fmax(std::fabs(r.hi), std::sqrt(var_rows[k].hi));
        mean.note(std::fabs((v - r.hi) - r.lo) / (kMeanBound * scale), r);
    }
    for (const Row& r : var_rows) {
        const double v = zelnor::TruncNormVar(r.args[0], r.args[1]);
        EXPECT_GT(v, 0.0) << full(r.args[0]) << " " << full(r.args[1]);
        var.note(zelnor_test::rel_error(v, r) / kVarBound, r);
    }
    EXPECT_LE(logmass.ratio, 1.0) << "log mass at " << logmass.where();
    EXPECT_LE(mean.ratio, 1.0) << "mean at " << mean.where();
    EXPECT_LE(var.ratio, 1.0) << "var at " << var.where();
}

TEST(TruncNorm, CdfAndSfAgainstMpmath) {
    const struct {
        const char* file;
        double (*f)(double, double, double);
    } tables[] = {{"truncnorm_cdf.txt", zelnor::TruncNormCdf}, {"truncnorm_sf.txt", zelnor::TruncNormSf}};
    for (const auto& t : tables) {
        Worst w;
        for (const Row& r : load_reference(t.file, 3)) {
            const double v = t.f(r.args[0], r.args[1], r.args[2]);
            if (r.hi >= std::numeric_limits<double>::min())
                w.note(zelnor_test::rel_error(v, r) / kCdfSfBound, r);
            else
                EXPECT_LE(std::fabs(v - r.hi), std::numeric_limits<double>::min());
        }
        EXPECT_LE(w.ratio, 1.0) << t.file << " at " << w.where();
    }
}

// The variance of the tail [t, inf) is (R^2 - d1)/R^2 below t = 1 and (d1 - d3 + d1^2)/(t R)^2 from it.
// Both are accurate well beyond the switch, so only the formulas, compared bit for bit within 2% either
// side, show a switch that has moved; the test requires that they differ at some of these points.
TEST(TruncNorm, TailVarianceSwitchesAtOne) {
    const auto below_one = [](double t) {
        const double r = zelnor::MillsRatio(t), d1 = zelnor::MillsRatioDeriv1(t);
        return (r * r - d1) / (r * r);
    };
    const auto from_one = [](double t) {
        const double r = zelnor::MillsRatio(t), d1 = zelnor::MillsRatioDeriv1(t), d3 = zelnor::MillsRatioDeriv3(t);
        return ((d1 - d3) + d1 * d1) / ((t * r) * (t * r));
    };
    int differ = 0;
    for (int k = 0; k <= 40; ++k) {
        const double up = 1.0 + k * 5e-4, down = k == 0 ? zelnor_test::below(1.0) : 1.0 - k * 5e-4;
        EXPECT_EQ(zelnor::TruncNormVar(up, inf), from_one(up)) << full(up);
        EXPECT_EQ(zelnor::TruncNormVar(down, inf), below_one(down)) << full(down);
        differ += below_one(down) != from_one(down);
    }
    EXPECT_GT(differ, 0);
}

// Edges where the formulas once failed, with exact values: with ends below 2^-60 the distribution is
// uniform to 2^-120, so the uniform answers are exact (subnormal ends were halved before they were
// combined: cdf 0 for 0.25, cdf + sf = 1.67, mean 6u for 5u); the log mass far out, from mpmath at 60
// digits, finite up to sqrt(2 DBL_MAX) (it was -inf from 1.3e154); far-tail means that rounded one
// ulp below a or overflowed (S ~ 1/a subnormal) where the exact value lies within half an ulp above a,
// as it does from a = 2^27 on, and at 1e7 (mpmath), 54 ulps above a, where it does not.
struct EdgeCase {
    const char* what;
    double value, exact, tolerance;  // absolute
};

class Edges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(Edges, ExactValues) {
    const EdgeCase& c = GetParam();
    EXPECT_NEAR(c.value, c.exact, c.tolerance) << c.what << ": " << full(c.value) << " vs " << full(c.exact);
}

constexpr double u = 5e-324;
using zelnor::TruncNormCdf;
using zelnor::TruncNormLogMass;
using zelnor::TruncNormMean;
using zelnor::TruncNormSf;
using zelnor::TruncNormVar;

INSTANTIATE_TEST_SUITE_P(
    TruncNorm, Edges,
    ::testing::Values(
        EdgeCase{"cdf(4u, 3u, 7u)", TruncNormCdf(4 * u, 3 * u, 7 * u), 0.25, 0.0},
        EdgeCase{"cdf(-u, -3u, 2u)", TruncNormCdf(-u, -3 * u, 2 * u), 0.4, 2 * eps},
        EdgeCase{"sf(-u, -3u, 2u)", TruncNormSf(-u, -3 * u, 2 * u), 0.6, 2 * eps},
        EdgeCase{"cdf(2u, u, 2^-500)", TruncNormCdf(2 * u, u, 0x1p-500), 0x1p-574, 2 * eps * 0x1p-574},
        EdgeCase{"sf(1e-310, -1e-310, 3e-310)", TruncNormSf(1e-310, -1e-310, 3e-310), 0.5, 2 * eps},
        EdgeCase{"mean(3u, 7u)", TruncNormMean(3 * u, 7 * u), 5 * u, 0.0},
        EdgeCase{"mean(-7u, -3u)", TruncNormMean(-7 * u, -3 * u), -5 * u, 0.0},
        EdgeCase{"mean(-2^-1000, 3 2^-1000)", TruncNormMean(-0x1p-1000, 0x1.8p-999), 0x1p-1000, 0.0},
        EdgeCase{"var(1e-160, 3e-160)", TruncNormVar(1e-160, 3e-160), 4e-320 / 12, u},
        EdgeCase{"logmass(3u, 7u)", TruncNormLogMass(3 * u, 7 * u), -743.972716093466, 4 * eps * 744},
        EdgeCase{"logmass(1.5e154, 1.6e154)", TruncNormLogMass(1.5e154, 1.6e154), -1.1250000000000002e+308,
                 2 * eps * 1.125e308},
        EdgeCase{"logmass(-1.6e154, -1.5e154)", TruncNormLogMass(-1.6e154, -1.5e154),
                 -1.1250000000000002e+308, 2 * eps * 1.125e308},
        EdgeCase{"logmass(1.3e154, inf)", TruncNormLogMass(1.3e154, inf), -8.449999999999999e+307,
                 2 * eps * 8.45e307},
        EdgeCase{"logmass(sqrt(2 DBL_MAX), inf)", TruncNormLogMass(1.8961503816218352e154, inf),
                 -1.7976931348623155e+308, 2 * eps * 1.7976931348623155e+308},
        EdgeCase{"mean(234626691.72303438, inf)", TruncNormMean(234626691.72303438, inf), 234626691.72303438, 0.0},
        EdgeCase{"mean(-inf, -234626691.72303438)", TruncNormMean(-inf, -234626691.72303438),
                 -234626691.72303438, 0.0},
        EdgeCase{"mean(2^27, inf)", TruncNormMean(0x1p27, inf), 0x1p27, 0.0},
        EdgeCase{"mean(1e7, inf)", TruncNormMean(1e7, inf), 10000000.0000001, 2e-9},
        EdgeCase{"mean(DBL_MAX - 2 ulp, inf)", TruncNormMean(1.7976931348623153e308, inf),
                 1.7976931348623153e308, 0.0},
        EdgeCase{"mean(-DBL_MAX, -(DBL_MAX - 2 ulp))", TruncNormMean(-1.7976931348623157e308, -1.7976931348623153e308),
                 -1.7976931348623153e308, 0.0}));

// Beyond sqrt(2 DBL_MAX) the log mass is below the double range; far-tail means stay within [a, b]
// over many decades of a and widths.
TEST(TruncNorm, FarTails) {
    EXPECT_EQ(TruncNormLogMass(std::nextafter(1.8961503816218352e154, inf), inf), -inf);
    int k = 0;
    for (double a = 1e3; a < 1e300; a *= 1.0137, ++k) {
        const double b = k % 3 == 0 ? inf : a * (1 + std::ldexp(1.0, -(k % 50)));
        const double m = TruncNormMean(a, b), mr = TruncNormMean(-b, -a);
        EXPECT_TRUE(a <= m && m <= b) << full(a) << " " << full(b) << ": " << full(m);
        EXPECT_TRUE(-b <= mr && mr <= -a) << full(a) << " " << full(b) << ": " << full(mr);
    }
}

// Ends from zero to the largest doubles and infinities.
const double kEnds[] = {-inf, -1e308, -1e154, -1e52, -1e6, -38.5, -1.0, -1e-300, 0.0, 5e-324, 1e-3,
                        1.0, 2.0, 38.5, 1e6, 1e52, 1e154, 1e308, inf};

// Flags other than inexact and underflow that a call raised.
template <typename F> int flags_of(F call) {
    std::feclearexcept(FE_ALL_EXCEPT);
    call();
    return std::fetestexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
}

TEST(TruncNorm, ValidInputRaisesNoFlag) {
    for (double a : kEnds)
        for (double b : kEnds) {
            if (!(a <= b)) continue;
            EXPECT_EQ(flags_of([&] { zelnor::TruncNormLogMass(a, b); }), 0) << a << " " << b;
            EXPECT_EQ(flags_of([&] { zelnor::TruncNormMean(a, b); }), 0) << a << " " << b;
            EXPECT_EQ(flags_of([&] { zelnor::TruncNormVar(a, b); }), 0) << a << " " << b;
            for (double x : kEnds) {
                EXPECT_EQ(flags_of([&] { zelnor::TruncNormCdf(x, a, b); }), 0) << x << " " << a << " " << b;
                EXPECT_EQ(flags_of([&] { zelnor::TruncNormSf(x, a, b); }), 0) << x << " " << a << " " << b;
            }
        }
}

TEST(TruncNorm, ReversedEndsRaiseInvalidAndNanIsQuiet) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double v = 0;
    EXPECT_EQ(flags_of([&] { v = zelnor::TruncNormVar(2.0, 1.0); }), FE_INVALID);
    EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(flags_of([&] { v = zelnor::TruncNormSf(0.0, inf, -inf); }), FE_INVALID);
    EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(flags_of([&] { v = zelnor::TruncNormMean(nan, 1.0); }), 0);
    EXPECT_TRUE(std::isnan(v));
    EXPECT_EQ(flags_of([&] { v = zelnor::TruncNormCdf(0.5, 0.0, nan); }), 0);
    EXPECT_TRUE(std::isnan(v));
}

}  // namespace
