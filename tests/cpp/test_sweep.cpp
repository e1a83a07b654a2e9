// Random bit patterns through every kernel of mills.h and divdiff.h in both precisions and through
// the C entry points. Built plain and under AddressSanitizer and UndefinedBehaviorSanitizer, it shows
// that no argument whatever makes a table lookup leave its table or a conversion to int overflow,
// that NaN passes through, that R, -R' and -R''' are never negative, and that each entry point is
// its double template bit for bit. The signs are fixed by R(x) = int_0^inf exp(-x t - t^2/2) dt:
// differentiating under the integral, -R'(x) and -R'''(x) are the same integral with t and t^3 as
// extra factors.
//
// Half of the patterns are raw: every sign, exponent and payload, so only a small share (1.5 % in
// double, 12 % in float) lands where the regimes lie. The other half keep their random sign and
// fraction bits but draw the exponent from the range that holds every regime boundary, so each
// threshold is crossed many times; their steps dx reach from 2^-40 to 2^8, into every regime of the
// divided difference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>

#include "../../src/zelnor/_kernels/divdiff.h"
#include "../../src/zelnor/_kernels/mills.h"

using namespace zelnor;

namespace {

// Patterns per precision: 10^7 raw and as many focused ones, for the one-argument kernels and, with
// a second pattern for dx, for the divided differences.
constexpr long kPatterns = 10'000'000;
constexpr std::uint64_t kSeed = 20240611;

template <typename T> struct Bits;
template <> struct Bits<double> {
    using U = std::uint64_t;
    static constexpr int fraction_bits = 52, bias = 1023;
};
template <> struct Bits<float> {
    using U = std::uint32_t;
    static constexpr int fraction_bits = 23, bias = 127;
};

template <typename T> T from_bits(typename Bits<T>::U u) {
    T x;
    std::memcpy(&x, &u, sizeof x);
    return x;
}

template <typename T> typename Bits<T>::U to_bits(T x) {
    typename Bits<T>::U u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

// The pattern r with its exponent replaced by one drawn from e, uniform over 2^low <= |x| < 2^(low + span).
template <typename T> T focused(std::uint64_t r, std::uint64_t e, int low, int span) {
    using B = Bits<T>;
    using U = typename B::U;
    constexpr U sign = U(1) << (8 * sizeof(T) - 1), fraction = (U(1) << B::fraction_bits) - 1;
    const U exponent = U(B::bias + low + int(e % unsigned(span)));
    return from_bits<T>((U(r) & (sign | fraction)) | (exponent << B::fraction_bits));
}

// 2^-12 to 2^18 holds the tables, every convergent depth (the last from 17300) and the reflection
// down to -L; steps from 2^-40 reach the series regimes, steps to 2^8 the direct one.
template <typename T> T focused_x(std::uint64_t r, std::uint64_t e) { return focused<T>(r, e, -12, 30); }
template <typename T> T focused_dx(std::uint64_t r, std::uint64_t e) { return focused<T>(r, e, -40, 48); }

// Integer arguments from the high bits of a pattern, beyond the documented values too: the CF order
// n in -1..14 and selector d in -1..4, theta in -2..1, n_terms in -2..13.
struct Selectors {
    int n, d, theta, n_terms;
    explicit Selectors(std::uint64_t e)
        : n(int(e >> 40 & 15) - 1), d(int((e >> 44 & 7) % 6) - 1), theta(int(e >> 48 & 3) - 2),
          n_terms(int(e >> 52 & 15) - 2) {}
};

// Collects violations without an assertion per pattern, keeping the first few for the message.
class Failures {
  public:
    template <typename T> void check(bool ok, const char* what, T result, T x, T dx = 0, int k = 0) {
        if (ok) return;
        if (++count_ < 6) {
            std::ostringstream s;
            s.precision(std::numeric_limits<T>::max_digits10);
            s << "  " << what << " at x=" << x << " dx=" << dx << " k=" << k << " gave " << result << "\n";
            first_ += s.str();
        }
    }
    long count() const { return count_; }
    const std::string& first() const { return first_; }

  private:
    long count_ = 0;
    std::string first_;
};

// R, -R' and -R''' are positive for every real x; rounded, they may reach +0 or +inf, never -0.
template <typename T> bool never_negative(T x, T y) {
    return std::isnan(x) ? std::isnan(y) : !std::isnan(y) && !std::signbit(y);
}

// The order-2 convergent of d != 0, 1 is 0 by definition, whatever its argument.
template <typename T> bool cf_keeps_nan(int n, int d, T y) {
    return (n == 2 && d != 0 && d != 1) ? (y == 0 && !std::signbit(y)) : std::isnan(y);
}

template <typename T> void sweep_point(T x, const Selectors& k, Failures& f) {
    f.check(never_negative(x, MillsRatio(x)), "R", MillsRatio(x), x);
    f.check(never_negative(x, MillsRatioDeriv1(x)), "-R'", MillsRatioDeriv1(x), x);
    f.check(never_negative(x, MillsRatioDeriv3(x)), "-R'''", MillsRatioDeriv3(x), x);
    // Outside [0, 1] the relative form only has to stay inside its table, which the sanitizer sees.
    const T rel = MillsRatioRel_below1(x);
    f.check(std::isnan(x) == std::isnan(rel), "Rrel NaN", rel, x);
    f.check(!(x >= T(0) && x <= T(1)) || (rel > T(0) && rel <= T(1)), "Rrel in (0, 1] on [0, 1]", rel, x);
    const T cf = MillsRatio_CF(x, k.n, k.d);
    f.check(!std::isnan(x) || cf_keeps_nan(k.n, k.d, cf), "CF NaN", cf, x, T(k.d), k.n);
}

// A NaN midpoint or step gives NaN in both branches and at every depth.
template <typename T> void sweep_pair(T x, T dx, const Selectors& k, Failures& f) {
    const bool nan_in = std::isnan(x) || std::isnan(dx);
    const T dd = MillsRatioDiff(x, dx, k.theta), dd_cf = MillsRatioDiff_CF(x, dx, k.n_terms);
    f.check(!nan_in || std::isnan(dd), "Diff NaN", dd, x, dx, k.theta);
    f.check(!nan_in || std::isnan(dd_cf), "Diff_CF NaN", dd_cf, x, dx, k.n_terms);
}

// Each C entry point returns the same bits as the double template it forwards to.
void entry_points_match(double x, double dx, const Selectors& k, Failures& f) {
    const auto same = [&](const char* name, double entry, double tmpl) {
        f.check(to_bits(entry) == to_bits(tmpl), name, entry, x, dx);
    };
    same("zelnor_MillsRatio", zelnor_MillsRatio(x), MillsRatio(x));
    same("zelnor_MillsRatioDeriv1", zelnor_MillsRatioDeriv1(x), MillsRatioDeriv1(x));
    same("zelnor_MillsRatioDeriv3", zelnor_MillsRatioDeriv3(x), MillsRatioDeriv3(x));
    same("zelnor_MillsRatioRel_below1", zelnor_MillsRatioRel_below1(x), MillsRatioRel_below1(x));
    same("zelnor_MillsRatio_CF", zelnor_MillsRatio_CF(x, k.n, k.d), MillsRatio_CF(x, k.n, k.d));
    same("zelnor_MillsRatioDiff", zelnor_MillsRatioDiff(x, dx, k.theta), MillsRatioDiff(x, dx, k.theta));
    same("zelnor_MillsRatioDiff_CF", zelnor_MillsRatioDiff_CF(x, dx, k.n_terms),
         MillsRatioDiff_CF(x, dx, k.n_terms));
}

template <typename T> void sweep(Failures& f) {
    using U = typename Bits<T>::U;
    std::mt19937_64 rng(kSeed);
    for (long i = 0; i < kPatterns; ++i) {
        const std::uint64_t r = rng(), e = rng(), s = rng(), t = rng();
        const Selectors raw_k(e), near_k(t);
        const T x = from_bits<T>(U(r)), dx = from_bits<T>(U(s));
        const T near_x = focused_x<T>(r, e), near_dx = focused_dx<T>(s, t);
        sweep_point(x, raw_k, f);
        sweep_point(near_x, near_k, f);
        sweep_pair(x, dx, raw_k, f);
        sweep_pair(near_x, near_dx, near_k, f);
        if constexpr (std::is_same_v<T, double>) {
            entry_points_match(x, dx, raw_k, f);
            entry_points_match(near_x, near_dx, near_k, f);
        }
    }
}

TEST(Sweep, Double) {
    Failures f;
    sweep<double>(f);
    EXPECT_EQ(f.count(), 0) << f.first();
}

TEST(Sweep, Float) {
    Failures f;
    sweep<float>(f);
    EXPECT_EQ(f.count(), 0) << f.first();
}

}  // namespace
