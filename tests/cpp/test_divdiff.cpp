// The divided-difference kernels against mpmath: the three regimes of the difference branch and their
// seams, the reflected sum, the continued-fraction difference near and far out (where its plain
// arithmetic overflows), negative steps, the IEEE edges and the C entry points.
#include <cfenv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <future>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../../src/zelnor/_kernels/divdiff.h"
#include "reference.h"

using namespace zelnor;
using zelnor_test::below;
using zelnor_test::eps;
using zelnor_test::inf;
using zelnor_test::Row;
using zelnor_test::same;
using zelnor_test::Worst;

namespace {

const double nan_ = std::nan("");

// The regime the difference branch takes at (x, dx), read off the arguments as the window defines it.
enum Regime { Series_CF, Series_Taylor, Direct };
Regime regime_of(double x, double dx) {
    const double d = std::fabs(dx);
    if ((1.25 + x) * 0.0392 > d) return x - d >= 21.2 ? Series_CF : Series_Taylor;
    return Direct;
}

Row exact(double hi, double lo) { return Row{{}, hi, lo}; }

// Arguments in full, for failure messages.
std::string at(double x, double dx) {
    return "(" + zelnor_test::full(x) + ", " + zelnor_test::full(dx) + ")";
}

// ---------------------------------------------------------------------------------------------------
// Difference branch against mpmath

TEST(DifferenceBranch, AgainstMpmathPerRegime) {
    // The Taylor regime is worst at the window edge, where its truncation peaks; the direct regime is
    // also worst at the edge, where R(x - dx) - R(x + dx) cancels most: up to 5.9e-15 near x = 17, about
    // 13 times the error of R, hence its bound of 6e-15.
    Worst cf, taylor, direct, beyond;
    int tiny_steps = 0, zero_steps = 0;
    for (const Row& r : zelnor_test::load_reference("divdiff.txt", 2)) {
        const double x = r.args[0], dx = r.args[1];
        const double v = MillsRatioDiff(x, dx, 1);
        const double err = zelnor_test::rel_error(v, r);
        if (dx == 0) ++zero_steps;
        if (dx > 0 && dx <= 1e-8) ++tiny_steps;
        if (x > 60) {
            beyond.see(err, r, v);
            EXPECT_LE(err, 1.5e-14) << at(x, dx);
            continue;
        }
        switch (regime_of(x, dx)) {
            case Series_CF:
                cf.see(err, r, v);
                EXPECT_LE(err, 5e-15) << "CF " << at(x, dx);
                break;
            case Series_Taylor:
                taylor.see(err, r, v);
                EXPECT_LE(err, 1.5e-14) << "Taylor " << at(x, dx);
                break;
            case Direct:
                direct.see(err, r, v);
                EXPECT_LE(err, 6e-15) << "direct " << at(x, dx);
                break;
        }
    }
    // The table must reach every regime and the small steps, or the bounds above prove nothing.
    EXPECT_GT(cf.row.args.size(), 0u);
    EXPECT_GT(taylor.row.args.size(), 0u);
    EXPECT_GT(direct.row.args.size(), 0u);
    EXPECT_GT(tiny_steps, 100);
    EXPECT_GT(zero_steps, 100);
    std::cout << "continued fraction: " << cf.describe() << "\nTaylor: " << taylor.describe()
              << "\ndirect: " << direct.describe() << "\nx > 60: " << beyond.describe() << "\n";
}

// At dx = 0 the Taylor sum is exactly its first term r_d1 = (1 + r_d3)/u, the derivative -R'(x) formed
// from -R'''(x); with the seed switch at x = 17.1 this shows which seed each side of the switch uses.
// The seeds are the two kernels the Mills-ratio tests check against mpmath.
TEST(DifferenceBranch, SeedSwitchAt17_1) {
    const double t = 17.1, u_at = t * t + 3;
    EXPECT_EQ(MillsRatioDiff(t, 0.0, 1), (1 + MillsRatio_CF(u_at, 12, 3)) / u_at);
    const double b = below(t), u_b = b * b + 3;
    EXPECT_EQ(MillsRatioDiff(b, 0.0, 1), (1 + MillsRatioDeriv3(b)) / u_b);
    // The two seeds differ here in the last bits, so the checks above tell the sides apart.
    EXPECT_NE(MillsRatio_CF(u_b, 12, 3), MillsRatioDeriv3(b));
    // Float: the switch compares with the float literal 17.1f.
    const float tf = 17.1f, uf = tf * tf + 3.0f;
    EXPECT_EQ(MillsRatioDiff(tf, 0.0f, 1), (1.0f + MillsRatio_CF(uf, 12, 3)) / uf);
    const float bf = std::nextafter(tf, 0.0f), ubf = bf * bf + 3.0f;
    EXPECT_EQ(MillsRatioDiff(bf, 0.0f, 1), (1.0f + MillsRatioDeriv3(bf)) / ubf);
}

// The continued-fraction bounds are on x - dx: at each bound the depth of that bound, just below it the
// next deeper one, and below 21.2 the Taylor series. Checked at dx = 0 and on the table rows whose
// x - dx falls on and next to a bound.
TEST(DifferenceBranch, ContinuedFractionBoundsOnXMinusDx) {
    struct Bound {
        double t;
        int at, below;  // below = 0: the Taylor series
    };
    const Bound bounds[] = {{12800, 2, 4}, {165, 4, 6}, {41, 6, 8}, {21.2, 8, 0}};
    for (const Bound& c : bounds) {
        EXPECT_EQ(MillsRatioDiff(c.t, 0.0, 1), MillsRatioDiff_CF(c.t, 0.0, c.at)) << c.t;
        const double b = below(c.t);
        if (c.below) {
            EXPECT_EQ(MillsRatioDiff(b, 0.0, 1), MillsRatioDiff_CF(b, 0.0, c.below)) << c.t;
        } else {
            const double u = b * b + 3;
            EXPECT_EQ(MillsRatioDiff(b, 0.0, 1), (1 + MillsRatio_CF(u, 12, 3)) / u);
        }
    }
    int on_bound = 0;
    for (const Row& r : zelnor_test::load_reference("divdiff.txt", 2)) {
        const double x = r.args[0], dx = r.args[1];
        if (dx == 0 || regime_of(x, dx) == Direct) continue;
        const double a = x - dx;
        for (const Bound& c : bounds) {
            if (std::fabs(a - c.t) > 1e-9 * c.t) continue;
            const double v = MillsRatioDiff(x, dx, 1);
            if (a == c.t) ++on_bound;
            if (a >= c.t) {
                EXPECT_EQ(v, MillsRatioDiff_CF(x, dx, c.at)) << at(x, dx);
            } else if (c.below) {
                EXPECT_EQ(v, MillsRatioDiff_CF(x, dx, c.below)) << at(x, dx);
            }
            EXPECT_LE(zelnor_test::rel_error(v, r), 1.5e-14) << at(x, dx);
        }
    }
    EXPECT_GT(on_bound, 20);
    // Float: the bound 21.2 is the float literal.
    EXPECT_EQ(MillsRatioDiff(21.2f, 0.0f, 1), MillsRatioDiff_CF(21.2f, 0.0f, 8));
}

// The window test is strict: dx equal to (1.25 + x) 0.0392 takes the direct difference of two Mills
// ratios; the steps just below it stay in a series regime, which from x - dx >= 21.2 on is the
// continued fraction at the depth of its bound. (On the Taylor side the sweep above bounds the error of
// the table rows placed one and three steps inside the edge.)
int depth_for(double a) { return a >= 12800 ? 2 : a >= 165 ? 4 : a >= 41 ? 6 : 8; }

TEST(DifferenceBranch, WindowEdge) {
    int on_edge = 0, inside_cf = 0;
    for (const Row& r : zelnor_test::load_reference("divdiff.txt", 2)) {
        const double x = r.args[0], dx = r.args[1];
        const double edge = (1.25 + x) * 0.0392;
        if (dx == edge && x >= 0) {
            ++on_edge;
            const double direct = (MillsRatio(x - dx) - MillsRatio(x + dx)) / (dx + dx);
            EXPECT_EQ(MillsRatioDiff(x, dx, 1), direct) << zelnor_test::full(x);
        } else if (dx < edge && dx >= below(below(below(edge))) && x - dx >= 21.2) {
            ++inside_cf;
            EXPECT_EQ(MillsRatioDiff(x, dx, 1), MillsRatioDiff_CF(x, dx, depth_for(x - dx))) << at(x, dx);
        }
    }
    EXPECT_GT(on_edge, 100);
    EXPECT_GT(inside_cf, 50);
}

// Beyond the window the direct difference is taken from x = 0 on, the reflected one (a different
// rounding) left of 0.
TEST(DifferenceBranch, DirectFromZero) {
    const auto direct = [](double x, double dx) { return (MillsRatio(x - dx) - MillsRatio(x + dx)) / (dx + dx); };
    for (const auto& [x, dx] : {std::pair{0.0, 0.1}, std::pair{0.0, 3.0}, std::pair{5e-324, 0.049}})
        EXPECT_EQ(MillsRatioDiff(x, dx, 1), direct(x, dx)) << at(x, dx);
    for (const auto& [x, dx] : {std::pair{-0.001, 0.1}, std::pair{-0.01, 3.0}, std::pair{-0.3, 0.1}})
        EXPECT_NE(MillsRatioDiff(x, dx, 1), direct(x, dx)) << at(x, dx);
}

TEST(DifferenceBranch, ZeroStepIsTheDerivative) {
    // dx = 0 rows of the table are -R'(x) from mpmath; they are part of the regime sweep above, and at
    // and below x = -1.25 of the reflected difference's cases below. Here: the limit at x = -inf.
    EXPECT_EQ(MillsRatioDiff(-inf, 0.0, 1), inf);
    // Tiny steps return the derivative (the dx^2 term is below the last place) rather than a cancelled
    // difference; steps from 1e-8 down are among the table rows of the sweep above.
    for (double x : {0.5, 10.0, 20.0, 30.0})
        for (double dx : {1e-12, 1e-300}) {
            const double derivative = MillsRatioDiff(x, 0.0, 1);
            EXPECT_NEAR(MillsRatioDiff(x, dx, 1), derivative, 2e-16 * derivative) << x << " " << dx;
        }
}

// At and below x = -1.25 the series window is empty and R(x - dx) - R(x + dx) would cancel (0.14
// relative at (-30, 1e-14), NaN at dx = 0): the reflected identity sums two positive terms instead.
// Exact values from mpmath at 80 digits; the bound is the conditioning of exp((x^2 + dx^2)/2), measured
// within 1.5 eps here. (-17.7, 20.03) is finite although exp((x - dx)^2/2) overflows.
struct ReflectedCase {
    double x, dx, hi, lo;
};

class ReflectedDifference : public ::testing::TestWithParam<ReflectedCase> {};

TEST_P(ReflectedDifference, AgainstMpmath) {
    const ReflectedCase& c = GetParam();
    const double v = MillsRatioDiff(c.x, c.dx, 1);
    const double bound = 4 * ((c.x * c.x + c.dx * c.dx) / 2 + 2) * eps;
    EXPECT_LE(zelnor_test::rel_error(v, exact(c.hi, c.lo)), bound) << at(c.x, c.dx) << " " << zelnor_test::full(v);
}

INSTANTIATE_TEST_SUITE_P(
    BelowMinus1_25, ReflectedDifference,
    ::testing::Values(ReflectedCase{-30, 1e-14, 2.0357668839183357e+197, -1.150814587836743e+181},
                      ReflectedCase{-2, 1e-12, 37.2004954222523, 2.7782780822927392e-15},
                      ReflectedCase{-1.25, 1e-07, 7.120686454768495, -4.240856947334788e-16},
                      ReflectedCase{-1.25, 0.0, 7.120686454768442, 3.8639957080548956e-16},
                      ReflectedCase{-2.0, 0.0, 37.2004954222523, 2.778278039058828e-15},
                      ReflectedCase{-37.0, 0.0, 1.745277625363535e+299, -1.4643403963025198e+283},
                      ReflectedCase{-5.0, 3.0, 32988464773741.848, -0.0010275307171788372},
                      ReflectedCase{-1.25, 30.0, 4.772997156291449e+210, 7.9245953685389e+192},
                      ReflectedCase{-18.8, 18.8, 6.576358151016821e+305, 4.8030631544993467e+288},
                      ReflectedCase{-1.3, 1e-300, 7.851660248869565, 1.7078785377776214e-17},
                      ReflectedCase{-10.0, 5e-324, 1.2996129473592023e+23, -3108857.002743722},
                      ReflectedCase{-7.5, 0.5, 197821316216900.12, 0.011016740897780661},
                      ReflectedCase{-17.7, 20.03, 8.259686673267851e+307, -4.5351586853390276e+291},
                      ReflectedCase{-20.0, -2.5, 4.274749415526414e+109, 6.637375225341331e+92}));

// Above x = -1.25 the window closes, and a step just beyond it cancelled in the direct difference
// (0.085 relative at (-1.25 + 1e-14, 4.6e-16), 132 eps at (-1.2, 0.002), 25 eps at (-0.02, 0.0485));
// left of 0 the reflected difference is taken beyond the window as well.
INSTANTIATE_TEST_SUITE_P(
    AboveMinus1_25, ReflectedDifference,
    ::testing::Values(ReflectedCase{-1.24999999999999, 4.6e-16, 7.120686454768304, 1.90261919711172e-16},
                      ReflectedCase{-1.2499990463256836, 1e-07, 7.120673296549903, 3.363652421531123e-16},
                      ReflectedCase{-1.2499, 1e-05, 7.119306871997084, 1.480962558818621e-17},
                      ReflectedCase{-1.2, 0.002, 6.4685697406885785, -1.9475585767716282e-16},
                      ReflectedCase{-1.1, 0.0062, 5.364415681661885, 2.0979127510000604e-16},
                      ReflectedCase{-1.0, 0.0099, 4.477328015946903, -4.17765627139986e-16},
                      ReflectedCase{-0.6, 0.026, 2.3075313662452346, 7.931357028613751e-18},
                      ReflectedCase{-0.2, 0.042, 1.2971290612683481, 3.912836488169778e-17},
                      ReflectedCase{-0.02, 0.0485, 1.0262859382680505, 3.5739738020034063e-17},
                      ReflectedCase{-0.9, 20.0, 4.4577556890397655e+93, -2.038726050927857e+77}));

// Where the value is +inf the result is +inf, not inf - inf = NaN: beyond the reflection cut-off, for a
// step whose double overflows, and in float for the reflected sum.
TEST(DifferenceBranch, InfiniteValuesAreInfinite) {
    const float finf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(MillsRatioDiff(-40.0, 1.0, 1), inf);
    EXPECT_EQ(MillsRatioDiff(-37.0, 0.7, 1), inf);
    EXPECT_EQ(MillsRatioDiff(2e-296, 1.24e308, 1), inf);
    EXPECT_EQ(MillsRatioDiff(-2.0, inf, 1), inf);
    EXPECT_EQ(MillsRatioDiff(-14.0f, 1.0f, 1), finf);
    EXPECT_EQ(MillsRatioDiff(-2.36e38f, 2.33e38f, -1), finf);
    EXPECT_EQ(MillsRatioDiff(2.36e38f, -2.33e38f, -1), -finf);
    EXPECT_EQ(MillsRatioDiff(1.7e308, 1e308, -1), inf);
}

// ---------------------------------------------------------------------------------------------------
// Negative steps

// The difference branch is even in dx; with |dx| a negative step gives the positive one's bits.
TEST(NegativeStep, SymmetricBitForBit) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 100000; ++i) {
        double x, d;
        switch (i % 4) {
            case 0:  // the regime map: x in [-3, 80], d up to a few windows
                x = -3 + 83 * unit(rng);
                d = std::ldexp(unit(rng), -int(40 * unit(rng))) * 0.2 * (1.25 + std::fabs(x));
                break;
            case 1:  // near the window edge
                x = -1.2 + 70 * unit(rng);
                d = (1.25 + x) * 0.0392 * (0.9 + 0.2 * unit(rng));
                break;
            case 2:  // far out and through the continued fraction's rescaling
                x = std::pow(10.0, 310 * unit(rng));
                d = x * std::pow(10.0, -20 * unit(rng));
                break;
            default:  // steps up to and beyond x
                x = 100 * unit(rng) - 20;
                d = 60 * unit(rng);
                break;
        }
        for (int theta : {0, 1, 7}) {
            const double p = MillsRatioDiff(x, d, theta), m = MillsRatioDiff(x, -d, theta);
            ASSERT_TRUE(same(p, m)) << at(x, d) << " theta " << theta
                                    << ": " << zelnor_test::full(p) << " vs " << zelnor_test::full(m);
        }
        const float xf = float(x), df = float(d);
        ASSERT_TRUE(same(MillsRatioDiff(xf, df, 1), MillsRatioDiff(xf, -df, 1))) << xf << " " << df;
    }
}

// Steps of either sign that reach beyond the window: a negative dx must not pass the window test and
// evaluate a series or the continued fraction at x + |dx|. References from mpmath at 90 digits.
TEST(NegativeStep, LargeStepsAgainstMpmath) {
    struct Case {
        double x, d, hi, lo, bound;
    };
    const Case cases[] = {
        {30, 30, 0.020610868273763107, 1.4166774113824273e-18, 4 * eps},
        // R(-5) carries the exponential's conditioning, (25/2 + 2) eps
        {5, 10, 33631.07851743217, -3.403326790951854e-13, 4 * 14.5 * eps},
        {5, 1, 0.0371373610083466, 2.5391696552768027e-18, 8 * eps},
    };
    for (const Case& c : cases)
        for (double s : {1.0, -1.0}) {
            const double v = MillsRatioDiff(c.x, s * c.d, 1);
            EXPECT_LE(zelnor_test::rel_error(v, exact(c.hi, c.lo)), c.bound) << at(c.x, s * c.d) << " " << v;
        }
}

// ---------------------------------------------------------------------------------------------------
// Reflected sum

TEST(ReflectedSum, AgainstMpmath) {
    Worst worst;
    int overflowing = 0;
    for (const Row& r : zelnor_test::load_reference("reflected_sum.txt", 2)) {
        const double x = r.args[0], dx = r.args[1];
        const double v = MillsRatioDiff(x, dx, -1);
        const double y = std::fmin(dx - x, x + dx);
        if (MillsRatio(y) == inf) {
            // Just above the reflection cut-off R itself overflows, though the sum over 2 dx is finite;
            // the sum is formed directly and stays +inf there.
            ++overflowing;
            EXPECT_EQ(v, inf) << x << " " << dx;
            continue;
        }
        // A negative argument passes through exp(y^2/2), whose argument carries (y^2/2) eps.
        const double bound = y < 0 ? 4 * (y * y / 2 + 2) * eps : 2 * eps;
        const double err = zelnor_test::rel_error(v, r);
        worst.see(err / bound, r, v);
        EXPECT_LE(err, bound) << at(x, dx);
    }
    EXPECT_LE(overflowing, 5);
    std::cout << "reflected sum, in units of its bound: " << worst.describe() << "\n";
}

// Only the sign of theta counts: 0 and every positive value take the difference, every negative one
// the sum (which at dx = +0 is a positive sum over +0).
TEST(Theta, OnlyItsSignCounts) {
    for (double x : {-3.0, -1.0, 0.3, 12.0, 25.0, 300.0, 2e4})
        for (double dx : {0.0, 1e-9, 0.01, 0.5, 3.0, 11.0, 40.0}) {
            const double difference = MillsRatioDiff(x, dx, 1), sum = MillsRatioDiff(x, dx, -1);
            for (int theta : {0, 2, INT_MAX}) EXPECT_TRUE(same(MillsRatioDiff(x, dx, theta), difference));
            for (int theta : {-2, -7, INT_MIN}) EXPECT_TRUE(same(MillsRatioDiff(x, dx, theta), sum));
        }
    EXPECT_EQ(MillsRatioDiff(2.0, 0.0, -1), inf);
    EXPECT_EQ(MillsRatioDiff(2.0f, 0.0f, -1), std::numeric_limits<float>::infinity());
}

// ---------------------------------------------------------------------------------------------------
// Continued-fraction divided difference

TEST(ContinuedFraction, AgainstExactConvergents) {
    // Where MillsRatioDiff uses it (x - dx >= 21.2) every added term is positive: a few ulp at the
    // depths it uses, growing about linearly with the number of passes beyond.
    Worst shallow, deep;
    for (const Row& r : zelnor_test::load_reference("divdiff_cf.txt", 3)) {
        const double x = r.args[0], dx = r.args[1];
        const int n = int(r.args[2]);
        if (x - dx < 21.2) continue;
        const double v = MillsRatioDiff_CF(x, dx, n);
        const double ulps = zelnor_test::rel_error(v, r) / eps;
        if (n <= 8) {
            shallow.see(ulps, r, v);
            EXPECT_LE(ulps, 8) << at(x, dx) << " " << n;
        } else {
            deep.see(ulps / n, r, v);
            EXPECT_LE(ulps, n) << at(x, dx) << " " << n;
        }
    }
    std::cout << "depth <= 8, in eps: " << shallow.describe() << "\n";
    std::cout << "depth > 8, in n eps: " << deep.describe() << "\n";
}

TEST(ContinuedFraction, SmallArgumentsWhereSignsMix) {
    // x = 0.5, dx = 1/8, n = 11: a = 0.375, b = 0.625, and the first passes subtract.
    bool found = false;
    for (const Row& r : zelnor_test::load_reference("divdiff_cf.txt", 3))
        if (r.args[0] == 0.5 && r.args[1] == 0.125 && r.args[2] == 11) {
            found = true;
            const double v = MillsRatioDiff_CF(0.5, 0.125, 11);
            EXPECT_LE(zelnor_test::rel_error(v, r), 2e-14) << v;
        }
    EXPECT_TRUE(found);
}

// Far out the plain recurrence overflows; the rescaled evaluation must give every normal value, at
// depths up to 10000, with no 0, infinity or NaN.
TEST(ContinuedFraction, FarOutNoOverflow) {
    Worst worst;
    for (const Row& r : zelnor_test::load_reference("divdiff_cf_far.txt", 3)) {
        const double x = r.args[0], dx = r.args[1];
        const int n = int(r.args[2]);
        const double v = MillsRatioDiff_CF(x, dx, n);
        ASSERT_TRUE(std::isfinite(v) && v != 0)
            << at(x, dx) << " " << n << " gave " << v;
        const double ulps = zelnor_test::rel_error(v, r) / eps;
        worst.see(ulps / std::max(n, 8), r, v);
        EXPECT_LE(ulps, std::max(n, 8)) << at(x, dx) << " " << n;
    }
    std::cout << "far out, in max(n, 8) eps: " << worst.describe() << "\n";
}

// Each case overflows the plain arithmetic somewhere: the product Pb Pa, V itself, a^2 + b^2 (the
// divided difference is then 1/(a b)), a tiny x - dx against a huge x + dx, or x - dx = 0 exactly with
// an even convergent (K_m(0) = 0). Exact values by rational arithmetic on the recurrences.
TEST(ContinuedFraction, OverflowingCasesAgainstExactValues) {
    struct Case {
        double x, dx;
        int n;
        double hi, lo;
    };
    const Case cases[] = {
        {1e60, 1.0, 2, 1.0000000000000002e-120, -4.935881229998891e-137},
        {1e100, 0.0, 2, 1e-200, -1.3906044618602595e-217},
        {1e31, 1.0, 4, 1e-62, 3.3297928653060593e-79},
        {1.0, 0.5, 200, 0.3605507600535938, 4.212469479385851e-18},
        {1e153, 0.0, 5, 1e-306, -3e-323},
        {0x1.8000000000001p511, 0x1.8p511, 2, 3.3402806000149544e-293, -6.18076071807554e-310},
        {1e100, 9.999999999999998e+99, 1, 2.5737787947340145e-185, 1.5761474830834944e-201},
        {1e100, 9.999999999999998e+99, 30, 2.5737787947340145e-185, 1.5761474830834944e-201},
        {0.5, 0.5, 301, -0.6556795424187952, -3.167145439346029e-17},
        {3e150, 1e140, 3, 1.111111111111111e-301, 8.737175e-318},
        {2e77, 0.0, 8, 2.5e-155, 1.538151905730415e-171},
    };
    for (const Case& c : cases) {
        const double v = MillsRatioDiff_CF(c.x, c.dx, c.n);
        EXPECT_LE(zelnor_test::rel_error(v, exact(c.hi, c.lo)), std::max(c.n, 8) * eps)
            << at(c.x, c.dx) << " " << c.n << ": " << v;
    }
    // Through the difference kernel, which uses depth 2 from x - dx = 12800 on.
    for (int i : {0, 1}) {
        const double v = MillsRatioDiff(cases[i].x, cases[i].dx, 1);
        EXPECT_LE(zelnor_test::rel_error(v, exact(cases[i].hi, cases[i].lo)), 4 * eps) << v;
    }
}

TEST(ContinuedFraction, BelowTheNormalRangeAndInfinity) {
    const double tiny = std::numeric_limits<double>::min();
    // Exact values below the normal range: +0 or a subnormal of the right sign, never NaN.
    const struct {
        double x, dx;
        int n;
    } small[] = {{1e300, 1.0, 2}, {3e154, 0.0, 1}, {1e200, 1e200, 3}, {1e300, 0.0, 30}, {1.7e308, 1e308, 4}};
    for (const auto& c : small) {
        const double v = MillsRatioDiff_CF(c.x, c.dx, c.n);
        EXPECT_TRUE(std::fabs(v) < tiny) << c.x << " " << c.dx << " " << c.n << ": " << v;
    }
    EXPECT_EQ(MillsRatioDiff_CF(1e300, 0.0, 2), 0.0);
    // x = +inf: the divided difference falls like 1/x^2, to +0.
    for (int n : {-3, 0, 1, 2, 8, 100}) {
        const double v = MillsRatioDiff_CF(inf, 1.0, n);
        EXPECT_EQ(v, 0.0) << n;
        EXPECT_FALSE(std::signbit(v)) << n;
    }
    EXPECT_EQ(MillsRatioDiff(inf, 1.0, 1), 0.0);
    EXPECT_FALSE(std::signbit(MillsRatioDiff(inf, 1.0, 1)));
    // Exact value beyond the range (a b ~ 2e-600 near the pole of K_3): +inf, not NaN.
    EXPECT_EQ(MillsRatioDiff_CF(1.5e-300, 5e-301, 2), inf);
    // x - dx = 0 with an odd convergent sits on its pole.
    EXPECT_TRUE(std::isinf(MillsRatioDiff_CF(0.5, 0.5, 300)));
}

// Where the plain arithmetic of the recurrence gives a finite nonzero value the rescaling never acts:
// the result is that plain value bit for bit. The plain loop is written out here as the recurrence
// defines it.
double plain_cf(double x, double dx, int n_terms) {
    const double a = x - dx, b = x + dx, ab = a * b;
    if (n_terms == 0) return 1 / ab;
    const double s2 = a * a + b * b;
    double V_p = 1, V_c = ab - 1, T_p = -1, T_c = s2 + 1;
    double Pa_p = a, Pa_c = a * a + 1, Pb_p = b, Pb_c = b * b + 1;
    for (long long k = 2; k <= n_terms; ++k) {
        const double kk = double(k), km1 = double(k - 1);
        const double V_n = ab * V_c + kk * (T_c + kk * V_p);
        const double T_n = s2 * V_c + kk * (km1 * T_p + (ab + ab) * V_p);
        const double Pa_n = a * Pa_c + kk * Pa_p, Pb_n = b * Pb_c + kk * Pb_p;
        V_p = V_c, V_c = V_n, T_p = T_c, T_c = T_n, Pa_p = Pa_c, Pa_c = Pa_n, Pb_p = Pb_c, Pb_c = Pb_n;
    }
    return V_c / (Pb_c * Pa_c);
}

TEST(ContinuedFraction, FinitePlainValuesKeptBitForBit) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int near_overflow = 0;
    for (int i = 0; i < 20000; ++i) {
        const int n = i % 3 == 0 ? int(40 * unit(rng)) : int(400 * unit(rng));
        // x up to where the plain values (Pb Pa ~ x^(2n + 2)) approach the top of the range, and beyond.
        const double top = 160.0 / (n + 1);
        const double x = std::pow(10.0, (top + 1) * unit(rng) - 1);
        const double dx = i % 5 == 0 ? 0.0 : x * std::pow(10.0, -17 * unit(rng));
        const double p = plain_cf(x, dx, n);
        if (!(std::isfinite(p) && p != 0)) continue;
        if (std::log10(x) * 2 * (n + 1) > 290) ++near_overflow;
        ASSERT_TRUE(same(MillsRatioDiff_CF(x, dx, n), p)) << at(x, dx) << " " << n;
    }
    EXPECT_GT(near_overflow, 100);
}

TEST(ContinuedFraction, DepthArguments) {
    for (double x : {0.7, 3.0, 25.0, 1e3, 1e40, 1e200})
        for (double dx : {0.0, 0.2, 0.5 * x}) {
            // Depth 0 is K_1 = 1/x: the divided difference 1/((x - dx)(x + dx)).
            EXPECT_EQ(MillsRatioDiff_CF(x, dx, 0), 1 / ((x - dx) * (x + dx))) << x << " " << dx;
            const double depth1 = MillsRatioDiff_CF(x, dx, 1);
            for (int n : {-1, -2, INT_MIN})
                EXPECT_TRUE(same(MillsRatioDiff_CF(x, dx, n), depth1)) << at(x, dx);
        }
    // Depth 1 in closed form, where its terms are exact: (ab - 1)/((b^2 + 1)(a^2 + 1)) at a = 2, b = 4.
    EXPECT_EQ(MillsRatioDiff_CF(3.0, 1.0, 1), 7.0 / 85.0);
    // Swapping the sign of dx exchanges a and b.
    for (int n : {0, 1, 2, 5, 30})
        EXPECT_TRUE(same(MillsRatioDiff_CF(40.0, 2.5, n), MillsRatioDiff_CF(40.0, -2.5, n)));
}

// n_terms = INT_MAX runs INT_MAX - 1 passes, counted without overflow, and ends; at x = 50, dx = 3 the
// convergents have long settled on the divided difference of R (the depth-20 row of the table), and
// the rounding of 2^31 passes accumulates only like a random walk, about sqrt(n) eps.
// A loop counter that wraps never ends, so the call runs on its own thread under a deadline.
TEST(ContinuedFraction, LargestDepthReturns) {
    const auto start = std::chrono::steady_clock::now();
    auto result = std::async(std::launch::async, [] { return MillsRatioDiff_CF(50.0, 3.0, INT_MAX); });
    if (result.wait_for(std::chrono::seconds(300)) != std::future_status::ready) {
        std::cerr << "MillsRatioDiff_CF(50, 3, INT_MAX) has not returned after 300 s\n";
        std::_Exit(1);  // the running thread cannot be stopped
    }
    const double v = result.get();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "n_terms = INT_MAX took " << seconds << " s\n";
    bool found = false;
    for (const Row& r : zelnor_test::load_reference("divdiff_cf.txt", 3))
        if (r.args[0] == 50 && r.args[1] == 3 && r.args[2] == 20) {
            found = true;
            EXPECT_LE(zelnor_test::rel_error(v, r), 1e-10) << zelnor_test::full(v);
        }
    EXPECT_TRUE(found);
}

// ---------------------------------------------------------------------------------------------------
// NaN, and no spurious invalid flag

TEST(Edges, NaNQuietly) {
    const struct {
        double x, dx;
    } args[] = {{nan_, 1.0}, {2.0, nan_}, {nan_, nan_}, {nan_, 0.0}};
    for (const auto& c : args) {
        for (int theta : {1, 0, -1}) {
            std::feclearexcept(FE_ALL_EXCEPT);
            const double v = MillsRatioDiff(c.x, c.dx, theta);
            EXPECT_FALSE(std::fetestexcept(FE_INVALID)) << theta;
            EXPECT_TRUE(std::isnan(v));
        }
        for (int n : {0, 1, 8, 500}) {
            std::feclearexcept(FE_ALL_EXCEPT);
            const double v = MillsRatioDiff_CF(c.x, c.dx, n);
            EXPECT_FALSE(std::fetestexcept(FE_INVALID)) << n;
            EXPECT_TRUE(std::isnan(v));
        }
        std::feclearexcept(FE_ALL_EXCEPT);
        EXPECT_TRUE(std::isnan(MillsRatioDiff(float(c.x), float(c.dx), 1)));
        EXPECT_FALSE(std::fetestexcept(FE_INVALID));
    }
    // An ordinary evaluation far out raises no invalid flag either.
    std::feclearexcept(FE_ALL_EXCEPT);
    EXPECT_EQ(MillsRatioDiff(inf, 1.0, 1), 0.0);
    EXPECT_FALSE(std::fetestexcept(FE_INVALID));
}

// ---------------------------------------------------------------------------------------------------
// Float

// Float arguments (exact in float) with exact values from mpmath at 90 digits; the float steps are
// the double ones in float, so a few float ulp, more where the direct difference cancels.
struct FloatCase {
    float x, dx;
    int theta;  // 99: MillsRatioDiff_CF at depth n instead
    int n;
    double exact;
    double max_ulps;
};

class FloatAccuracy : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatAccuracy, AgainstMpmath) {
    const FloatCase& c = GetParam();
    const float v = c.theta == 99 ? MillsRatioDiff_CF(c.x, c.dx, c.n) : MillsRatioDiff(c.x, c.dx, c.theta);
    const double ulps = zelnor_test::float_ulp_error(v, exact(c.exact, 0));
    std::cout << c.x << " " << c.dx << ": " << ulps << " float ulp\n";
    EXPECT_LE(ulps, c.max_ulps) << v << " vs " << c.exact;
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, FloatAccuracy,
    ::testing::Values(
        // Taylor regime, both seeds, and a negative x
        FloatCase{0.5f, 0x1p-10f, 1, 0, 0.5618179030476764566, 2},
        FloatCase{2.5f, 0.0625f, 1, 0, 0.1143747440891520218, 2},
        FloatCase{10.0f, 0.25f, 1, 0, 0.009719722184041782942, 2},
        FloatCase{-0.5f, 0x1p-6f, 1, 0, 1.982230177726936259, 2},
        FloatCase{17.1f, 0.125f, 1, 0, 0.003385532023261784689, 2},
        FloatCase{17.099998474121094f, 0.125f, 1, 0, 0.003385532770981636510, 2},
        FloatCase{20.0f, 0.0f, 1, 0, 0.002481480363264326835, 2},
        // direct regime
        FloatCase{1.0f, 0.5f, 1, 0, 0.3605488182357289917, 3},
        FloatCase{5.0f, 1.0f, 1, 0, 0.03713736100834660440, 3},
        FloatCase{30.0f, 4.0f, 1, 0, 0.001127313199418472158, 3},
        FloatCase{-2.0f, 1.0f, 1, 0, 110.9289222043227131, 8},
        // the reflected difference below x = -1.25 (measured within 0.74 float ulp here)
        FloatCase{-5.0f, 0.0f, 1, 0, 3363109.1836143965, 2},
        FloatCase{-1.25f, 0x1p-10f, 1, 0, 7.120691459673947, 2},
        FloatCase{-12.0f, 1.0f, 1, 0, 6.250915948816806e+36, 2},
        FloatCase{-3.0f, 0.25f, 1, 0, 765.8346849517081, 2},
        // and above it, just beyond the narrow window (the direct difference: 1.7e4, 202, 59, 10 ulp)
        FloatCase{-1.2499f, 1e-05f, 1, 0, 7.11930664309608, 2},
        FloatCase{-1.2f, 0.002f, 1, 0, 6.4685703281267735, 2},
        FloatCase{-1.0f, 0.0099f, 1, 0, 4.477328015943909, 2},
        FloatCase{-0.6f, 0.026f, 1, 0, 2.3075314512412457, 2},
        // continued-fraction regime, and x = 1e4 where the plain float recurrence overflows
        FloatCase{40.0f, 0.5f, 1, 0, 0.0006239288361143154800, 4},
        FloatCase{200.0f, 1.0f, 1, 0, 0.00002499875009374218777, 4},
        FloatCase{20000.0f, 10.0f, 1, 0, 2.500000606250140859e-9, 4},
        FloatCase{1e4f, 1.0f, 1, 0, 9.9999998000000059999998e-9, 4},
        FloatCase{1e6f, 0.0f, 1, 0, 9.99999999997000000000015e-13, 4},
        // reflected sum
        FloatCase{-2.0f, 5.0f, -1, 0, 0.04446944821631535373, 2},
        FloatCase{3.0f, 4.0f, -1, 0, 0.09947296573398108914, 2},
        FloatCase{0.5f, 0.75f, -1, 0, 1.077503281267571926, 2},
        // the continued-fraction kernel itself, far out in float
        FloatCase{2.9999998842007716e+18f, 1.0f, 99, 1, 1.11111119688832231165259e-37, 4},
        FloatCase{50.0f, 3.0f, 99, 20, 0.0004009603806263462195, 20},
        FloatCase{1e4f, 1.0f, 99, 4, 9.9999998000000059999998e-9, 4},
        FloatCase{2e9f, 0.0f, 99, 2, 2.499999999999999998125e-19, 4}));

TEST(Float, BelowTheNormalRange) {
    // 1e-60 lies far below the float range: +0 or a subnormal, not NaN.
    const float v = MillsRatioDiff_CF(1e30f, 0.0f, 4);
    EXPECT_TRUE(std::fabs(v) < std::numeric_limits<float>::min()) << v;
    EXPECT_EQ(MillsRatioDiff(std::numeric_limits<float>::infinity(), 1.0f, 1), 0.0f);
}

// ---------------------------------------------------------------------------------------------------
// Entry points

TEST(EntryPoints, ForwardBitForBit) {
    for (double x = -5; x < 80; x += 0.173)
        for (double dx : {0.0, 1e-10, 0.03, 0.7, 6.0, -0.4})
            for (int theta : {-1, 0, 1}) {
                const double c_entry = zelnor_MillsRatioDiff(x, dx, theta);
                EXPECT_TRUE(same(c_entry, MillsRatioDiff(x, dx, theta))) << at(x, dx);
            }
    for (double x : {0.5, 30.0, 1e5, 1e60, 1e200, inf, nan_})
        for (double dx : {0.0, 0.125, 3.0})
            for (int n : {-1, 0, 1, 2, 8, 31, 300})
                EXPECT_TRUE(same(zelnor_MillsRatioDiff_CF(x, dx, n), MillsRatioDiff_CF(x, dx, n))) << n;
}

}  // namespace
