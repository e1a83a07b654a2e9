// The floor that the Python layer is measured against: a bare loop calling an exported C entry
// point once per element, timed inside C++ so that no Python or ctypes overhead enters. This file
// is compiled on its own and linked with the kernel sources, so every call stays out of line, as it
// does in the extension modules; the kernels cannot be inlined into the loop or hoisted out of it.
// Time is the CPU time of the calling thread, as on the Python side: on a machine shared with other
// work, time spent waiting for a core is not the loop's.
#include <time.h>

#include <cstring>

#include "_kernels/divdiff.h"
#include "_kernels/mills.h"

namespace {

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// `warmup` untimed passes, then `repeats` timed ones, each running `loop` `inner` times; seconds[r]
// receives the duration of pass r.
template <typename Loop>
void timed(Loop loop, long inner, int warmup, int repeats, double* seconds) {
    for (int r = 0; r < warmup; ++r) loop();
    for (int r = 0; r < repeats; ++r) {
        const double start = thread_seconds();
        for (long k = 0; k < inner; ++k) loop();
        seconds[r] = thread_seconds() - start;
    }
}

template <double (*F)(double)>
void unary(const double* x, double* out, long n, long inner, int warmup, int repeats,
           double* seconds) {
    timed([=] { for (long i = 0; i < n; ++i) out[i] = F(x[i]); }, inner, warmup, repeats, seconds);
}

// The divided differences with one half-step for all elements and a fixed selector or depth.
template <double (*F)(double, double, int)>
void pair(const double* x, double dx, int k, double* out, long n, long inner, int warmup,
          int repeats, double* seconds) {
    timed([=] { for (long i = 0; i < n; ++i) out[i] = F(x[i], dx, k); }, inner, warmup, repeats,
          seconds);
}

}  // namespace

extern "C" {

// Times the loop over the entry point behind the Python function `name`; `dx` and `k` are used by
// the divided differences only. Returns 0 for a name it does not know, 1 otherwise.
__attribute__((visibility("default"))) int floor_run(const char* name, const double* x, double dx,
                                                      int k, double* out, long n, long inner,
                                                      int warmup, int repeats, double* seconds) {
    struct Unary {
        const char* name;
        void (*run)(const double*, double*, long, long, int, int, double*);
    };
    struct Pair {
        const char* name;
        void (*run)(const double*, double, int, double*, long, long, int, int, double*);
    };
    static const Unary unaries[] = {
        {"millsratio", unary<zelnor_MillsRatio>},
        {"millsratio_d1", unary<zelnor_MillsRatioDeriv1>},
        {"millsratio_d3", unary<zelnor_MillsRatioDeriv3>},
        {"millsratio_rel_below1", unary<zelnor_MillsRatioRel_below1>},
    };
    static const Pair pairs[] = {
        {"millsratio_dd", pair<zelnor_MillsRatioDiff>},
        {"millsratio_dd_cf", pair<zelnor_MillsRatioDiff_CF>},
    };
    for (const Unary& u : unaries) {
        if (std::strcmp(u.name, name) == 0) {
            u.run(x, out, n, inner, warmup, repeats, seconds);
            return 1;
        }
    }
    for (const Pair& p : pairs) {
        if (std::strcmp(p.name, name) == 0) {
            p.run(x, dx, k, out, n, inner, warmup, repeats, seconds);
            return 1;
        }
    }
    return 0;
}

}
