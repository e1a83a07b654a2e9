// Every vector path this CPU runs gives the scalar templates' results bit for bit (NaN for NaN), for R,
// -R' and -R''' in both precisions: on 10^7 random bit patterns, and on 10^7 arguments around every
// regime threshold, convergent depth and table row boundary of either sign, from neighbouring
// floating-point numbers out to a tenth of the value. The blocks run on slices of every length up to
// 37, so each path's partial last vector is exercised, and once in place; each block reports which
// exceptional results (not finite, zero or subnormal) it wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../../src/zelnor/_kernels/mills.h"
#include "../../src/zelnor/_kernels/mills_regimes.h"
#include "../../src/zelnor/_kernels/mills_simd.h"
#include "../../src/zelnor/_mills_coef.h"

using namespace zelnor;

namespace {

constexpr long kArguments = 10'000'000;
constexpr long kChunk = 1 << 20;
constexpr std::uint64_t kSeed = 20261208;

template <typename T> bool identical(T a, T b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

template <typename T> T from_bits(std::uint64_t r) {
    T x;
    if constexpr (sizeof(T) == 8) {
        std::memcpy(&x, &r, sizeof x);
    } else {
        const std::uint32_t u = std::uint32_t(r);
        std::memcpy(&x, &u, sizeof x);
    }
    return x;
}

// Where the kernels change regime, depth or row, in x >= 0 (the rows as the exact preimages of whole
// mapped coordinates z = 12 x, 32 (x - 1)/(x + 2.5), 50 x/(x + 3.5)).
std::vector<double> boundaries() {
    std::vector<double> b = {0, rrel_upto, r_cf_from, r_reciprocal_from, d1_cf_from, d3_cf_from,
                             Precision<double>::reflection_cutoff, Precision<float>::reflection_cutoff,
                             Precision<double>::tail_guard, Precision<float>::tail_guard,
                             std::sqrt(Precision<double>::tail_guard), std::sqrt(Precision<float>::tail_guard),
                             0x1p126, std::numeric_limits<float>::max()};  // float 1/x subnormal between
    for (const auto* depths : {&r_depths, &d1_depths})
        for (const Depth& d : *depths) b.push_back(d.from);
    for (const Depth& d : d3_depths) b.push_back(d.from);
    for (int i = 1; i <= last_row<rrel_width>(C_Rrel); ++i) b.push_back(i / rrel_scale);
    for (int i = 1; i <= last_row<r1_width>(C_R1); ++i) b.push_back((r1_scale + r1_shift * i) / (r1_scale - i));
    for (int i = 1; i <= last_row<r3_width>(C_R3); ++i) b.push_back(r3_shift * i / (r3_scale - i));
    return b;
}

// A boundary of either sign, moved by up to 64 floating-point steps or by a relative amount from
// 10^-15 to 10^-1.
template <typename T> T near_boundary(const std::vector<double>& b, std::mt19937_64& rng) {
    const std::uint64_t r = rng();
    T x = T(b[r % b.size()]);
    if (r >> 32 & 1) {
        const int steps = int(r >> 40 & 127) - 64;
        for (int k = 0; k < std::abs(steps); ++k)
            x = std::nextafter(x, steps > 0 ? std::numeric_limits<T>::infinity() : T(0));
    } else {
        const double rel = std::ldexp(double(r >> 40 & 0xffff) / 65536 - 0.5, -int(r >> 56 & 3) * 16);
        x = T(double(x) * (1 + rel));
    }
    return (r >> 33 & 1) ? -x : x;
}

template <typename T> struct Function {
    const char* name;
    T (*scalar)(T);
    simd::Block<T> simd::Blocks<T>::*block;
};

template <typename T> std::vector<Function<T>> functions() {
    return {{"R", MillsRatio<T>, &simd::Blocks<T>::millsratio},
            {"-R'", MillsRatioDeriv1<T>, &simd::Blocks<T>::deriv1},
            {"-R'''", MillsRatioDeriv3<T>, &simd::Blocks<T>::deriv3}};
}

// What a block must report of its results r[0, m).
template <typename T> unsigned found_bits(const T* r, long m) {
    unsigned f = 0;
    for (long k = 0; k < m; ++k) {
        if (!std::isfinite(r[k])) f |= simd::some_not_finite;
        else if (std::fpclassify(r[k]) == FP_ZERO || std::fpclassify(r[k]) == FP_SUBNORMAL) f |= simd::some_tiny;
    }
    return f;
}

// Runs every path on the arguments drawn chunk by chunk, counts the elements that differ and the
// blocks whose found bits are wrong.
template <typename T, typename Draw> void expect_every_path_matches(Draw draw) {
    std::vector<T> x(kChunk), want(kChunk), got(kChunk);
    std::mt19937_64 rng(kSeed);
    int paths_run = 0;
    for (int p = 0; p < simd::n_paths; ++p) paths_run += simd::find_path(simd::path_names[p]) != nullptr;
    for (const Function<T>& f : functions<T>()) {
        std::vector<long> differing(simd::n_paths), wrong_found(simd::n_paths);
        std::string first;
        for (long done = 0; done < kArguments; done += kChunk) {
            const long n = std::min(kChunk, kArguments - done);
            for (long k = 0; k < n; ++k) x[k] = draw(rng);
            for (long k = 0; k < n; ++k) want[k] = f.scalar(x[k]);
            for (int p = 0; p < simd::n_paths; ++p) {
                const simd::Path* path = simd::find_path(simd::path_names[p]);
                if (!path) continue;
                const simd::Block<T> block = path->blocks<T>().*f.block;
                for (long k = 0, len = 1; k < n; k += len, len = len % 37 + 1) {
                    const long m = std::min(len, n - k);
                    wrong_found[p] += block(x.data() + k, got.data() + k, std::size_t(m)) !=
                                      found_bits(got.data() + k, m);
                }
                if (done == 0) {  // once in place, over several of the chunks a block sorts at a time
                    std::copy(x.begin() + 1000, x.begin() + 6000, got.begin() + 1000);
                    block(got.data() + 1000, got.data() + 1000, 5000);
                }
                for (long k = 0; k < n; ++k) {
                    if (identical(got[k], want[k])) continue;
                    if (differing[p]++ < 5) {
                        std::ostringstream s;
                        s.precision(std::numeric_limits<T>::max_digits10);
                        s << "  " << path->name << " " << f.name << "(" << x[k] << ") = " << got[k]
                          << ", template " << want[k] << "\n";
                        first += s.str();
                    }
                }
            }
        }
        for (int p = 0; p < simd::n_paths; ++p) {
            EXPECT_EQ(differing[p], 0) << simd::path_names[p] << " " << f.name << "\n" << first;
            EXPECT_EQ(wrong_found[p], 0) << simd::path_names[p] << " " << f.name << ": blocks misreporting their results";
        }
    }
    std::printf("%d of %d vector paths run on this CPU\n", paths_run, simd::n_paths);
}

template <typename T> void random_bit_patterns() {
    expect_every_path_matches<T>([](std::mt19937_64& rng) { return from_bits<T>(rng()); });
}

template <typename T> void around_boundaries() {
    const std::vector<double> b = boundaries();
    expect_every_path_matches<T>([&b](std::mt19937_64& rng) { return near_boundary<T>(b, rng); });
}

// Every float from 2^126 to the largest, whose 1/x is subnormal (or 2^-126 itself): each vector path
// forms those quotients without a subnormal division, and must round them exactly as it does.
TEST(VectorPaths, EverySubnormalReciprocalFloat) {
    std::vector<float> x, want, got;
    for (float v = 0x1p126f; std::isfinite(v); v = std::nextafter(v, INFINITY)) x.push_back(v);
    ASSERT_EQ(x.size(), std::size_t(1) << 24);
    for (float v : x) want.push_back(MillsRatio<float>(v));
    got.resize(x.size());
    for (int p = 0; p < simd::n_paths; ++p) {
        const simd::Path* path = simd::find_path(simd::path_names[p]);
        if (!path) continue;
        path->f32.millsratio(x.data(), got.data(), x.size());
        long differing = 0;
        for (std::size_t k = 0; k < x.size(); ++k) differing += !identical(got[k], want[k]);
        EXPECT_EQ(differing, 0) << path->name;
    }
}

TEST(VectorPaths, RandomBitPatternsDouble) { random_bit_patterns<double>(); }
TEST(VectorPaths, RandomBitPatternsFloat) { random_bit_patterns<float>(); }
TEST(VectorPaths, AroundEveryBoundaryDouble) { around_boundaries<double>(); }
TEST(VectorPaths, AroundEveryBoundaryFloat) { around_boundaries<float>(); }

// The baseline always runs; the dispatch offers every path the CPU reports, and the fastest of them.
TEST(VectorPaths, DispatchFollowsTheCpu) {
    ASSERT_NE(simd::find_path("baseline"), nullptr);
    EXPECT_EQ(simd::find_path("none"), nullptr);
#if defined(__x86_64__)
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    EXPECT_EQ(simd::find_path("avx2") != nullptr, avx2);
    EXPECT_EQ(simd::find_path("avx512") != nullptr, avx512);
    EXPECT_STREQ(simd::best_path().name, avx512 ? "avx512" : avx2 ? "avx2" : "baseline");
#else
    EXPECT_STREQ(simd::best_path().name, "baseline");
#endif
}

}  // namespace
