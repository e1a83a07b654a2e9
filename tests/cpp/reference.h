// Reading the mpmath reference tables of tests/data and measuring errors against them.
//
// A table row holds the arguments followed by the exact value as an unevaluated sum hi + lo of two
// doubles, so an error is measured against the exact value, not against its rounding.
#ifndef ZELNOR_TESTS_REFERENCE_H
#define ZELNOR_TESTS_REFERENCE_H

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace zelnor_test {

struct Row {
    std::vector<double> args;
    double hi = 0, lo = 0;
};

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double inf = std::numeric_limits<double>::infinity();

// The next value below x, in its own precision.
template <typename T> T below(T x) { return std::nextafter(x, -std::numeric_limits<T>::infinity()); }

// Equal bit for bit as values: the same number with the same sign, or both NaN.
inline bool same(double a, double b) {
    return (a == b && std::signbit(a) == std::signbit(b)) || (std::isnan(a) && std::isnan(b));
}

inline std::string data_path(const std::string& file) {
    const char* dir = std::getenv("ZELNOR_TEST_DATA");
    return std::string(dir ? dir : "tests/data") + "/" + file;
}

inline std::vector<Row> load_reference(const std::string& file, int nargs) {
    std::ifstream in(data_path(file));
    EXPECT_TRUE(in.good()) << "cannot read " << data_path(file);
    std::vector<Row> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        Row r;
        std::string tok;
        for (int k = 0; k < nargs; ++k) {
            fields >> tok;
            r.args.push_back(std::strtod(tok.c_str(), nullptr));
        }
        fields >> tok;
        r.hi = std::strtod(tok.c_str(), nullptr);
        fields >> tok;
        r.lo = std::strtod(tok.c_str(), nullptr);
        rows.push_back(r);
    }
    EXPECT_GT(rows.size(), 0u) << file << " holds no rows";
    return rows;
}

// |v - (hi + lo)| / |hi + lo|; v - hi is exact when v is close to hi.
inline double rel_error(double v, const Row& r) { return std::fabs(((v - r.hi) - r.lo) / r.hi); }

// Error in units of the last place of float at the exact value.
inline double float_ulp_error(float v, const Row& r) {
    int e;
    std::frexp(r.hi, &e);
    const double ulp = std::ldexp(1.0, std::max(e - 24, -149));
    return std::fabs((double(v) - r.hi) - r.lo) / ulp;
}

inline std::string full(double v) {
    std::ostringstream s;
    s << std::setprecision(std::numeric_limits<double>::max_digits10) << v;
    return s.str();
}

// Largest error seen over a sweep, with its argument, for the failure message and the log.
struct Worst {
    double error = 0;
    Row row;
    double value = 0;
    void see(double err, const Row& r, double v) {
        if (!(err <= error)) {
            error = err;
            row = r;
            value = v;
        }
    }
    std::string describe() const {
        std::ostringstream s;
        s << "worst " << error << " at (";
        for (size_t k = 0; k < row.args.size(); ++k) s << (k ? ", " : "") << full(row.args[k]);
        s << "): got " << full(value) << ", exact " << full(row.hi) << " + " << full(row.lo);
        return s.str();
    }
};

}  // namespace zelnor_test

#endif
