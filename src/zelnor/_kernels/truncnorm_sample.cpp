// Sampling the truncated standard normal: the regimes and acceptance rates are described at the top
// of truncnorm_sample.h.
#include "fp_strict.h"  // first: it sets the floating-point rules for everything below
#include "truncnorm_sample.h"

#include <cmath>
#include <limits>

namespace zelnor {
namespace {

// Intervals around 0 narrower than this take the uniform proposal, wider ones the plain normal.
constexpr double kWideWidth = 1.5;
// One-sided intervals whose density falls by at most e^(-kUniformSpread) take the uniform proposal.
constexpr double kUniformSpread = 1.0;
// From here on the exponential proposal beats the half-normal.
constexpr double kExponentialStart = 0.75;

enum class Method { Invalid, Point, Normal, UniformCentre, UniformTail, HalfNormal, Exponential };

// What a draw needs to know about its interval, worked out once per interval.
struct Plan {
    Method method;
    double a, b, w;
    double inv_rate, delta;  // 1/lambda of the exponential proposal, and lambda - a
    double sign;         // -1 when the interval was reflected
};

Plan plan_for(double a, double b) {
    Plan p{Method::Invalid, a, b, 0.0, 0.0, 0.0, 1.0};
    if (!(a <= b)) return p;
    if (a == b) {
        p.method = Method::Point;
        return p;
    }
    if (a < -b) {
        p.a = -b;
        p.b = -a;
        p.sign = -1.0;
    }
    a = p.a;
    b = p.b;
    p.w = b - a;
    if (a < 0) {
        p.method = p.w >= kWideWidth ? Method::Normal : Method::UniformCentre;
        return p;
    }
    const double c = p.w * (0.5 * a + 0.5 * b);
    if (c <= kUniformSpread) {
        p.method = Method::UniformTail;
    } else if (a < kExponentialStart) {
        p.method = Method::HalfNormal;
    } else {
        p.method = Method::Exponential;
        p.delta = 2.0 / (a + std::sqrt(a * a + 4.0));
        p.inv_rate = 1.0 / (a + p.delta);
    }
    return p;
}

double draw(const Plan& p, const zelnor_RandomSource& src) {
    void* s = src.state;
    switch (p.method) {
        case Method::Invalid:
            break;
        case Method::Point:
            return p.a;
        case Method::Normal:
            for (;;) {
                const double z = src.normal(s);
                if (p.a <= z && z <= p.b) return p.sign * z;
            }
        case Method::UniformCentre:
            for (;;) {
                const double z = std::fmin(p.a + p.w * src.uniform(s), p.b);
                if (src.exponential(s) >= 0.5 * (z * z)) return p.sign * z;
            }
        case Method::UniformTail:
            for (;;) {
                const double y = p.w * src.uniform(s);
                if (src.exponential(s) >= y * (p.a + 0.5 * y)) return p.sign * std::fmin(p.a + y, p.b);
            }
        case Method::HalfNormal:
            for (;;) {
                const double z = std::fabs(src.normal(s));
                if (p.a <= z && z <= p.b) return p.sign * z;
            }
        case Method::Exponential:
            for (;;) {
                const double y = src.exponential(s) * p.inv_rate;
                if (y > p.w) continue;
                const double d = y - p.delta;
                if (src.exponential(s) >= 0.5 * (d * d)) return p.sign * std::fmin(p.a + y, p.b);
            }
    }
    return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace
}  // namespace zelnor

extern "C" {

double zelnor_TruncNormSample(double a, double b, const zelnor_RandomSource* source) {
    return zelnor::draw(zelnor::plan_for(a, b), *source);
}

void zelnor_TruncNormSampleFill(double a, double b, const zelnor_RandomSource* source, double* out,
                                ptrdiff_t n) {
    const zelnor::Plan p = zelnor::plan_for(a, b);
    for (ptrdiff_t i = 0; i < n; ++i) out[i] = zelnor::draw(p, *source);
}

void zelnor_TruncNormSampleEach(const double* a, const double* b, const zelnor_RandomSource* source,
                                double* out, ptrdiff_t n) {
    for (ptrdiff_t i = 0; i < n; ++i) out[i] = zelnor::draw(zelnor::plan_for(a[i], b[i]), *source);
}
}
