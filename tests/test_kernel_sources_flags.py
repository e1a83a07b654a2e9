"""The kernel sources keep their own floating-point rules: compiled as a downstream build would compile
them (GNU dialect, FMA hardware, the compiler's default contraction, or GCC with contraction asked for
explicitly), every kernel gives the package's results bit for bit, in float and double; under fast-math
they refuse to compile."""
import ctypes
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import zelnor
import zelnor.truncnorm as truncnorm

KERNELS = Path(zelnor.get_include()) / "_kernels"
BUILD_SECONDS = 300

# Float entry points beside the double ones (zelnor_X), for the check: forwarding only, no arithmetic.
FLOAT_ENTRY_POINTS = """\
#include "_kernels/divdiff.h"
extern "C" {
float zelnorf_MillsRatio(float x) { return zelnor::MillsRatio(x); }
float zelnorf_MillsRatioDeriv1(float x) { return zelnor::MillsRatioDeriv1(x); }
float zelnorf_MillsRatioDeriv3(float x) { return zelnor::MillsRatioDeriv3(x); }
float zelnorf_MillsRatioRel_below1(float x) { return zelnor::MillsRatioRel_below1(x); }
float zelnorf_MillsRatioDiff(float x, float dx, int theta) { return zelnor::MillsRatioDiff(x, dx, theta); }
float zelnorf_MillsRatioDiff_CF(float x, float dx, int n) { return zelnor::MillsRatioDiff_CF(x, dx, n); }
}
"""

HAS_FMA = "fma" in Path("/proc/cpuinfo").read_text().split() if Path("/proc/cpuinfo").exists() else False

BUILDS = [
    pytest.param("g++", [], id="gcc-default-contraction"),
    pytest.param("g++", ["-ffp-contract=fast"], id="gcc-contract-fast"),
    pytest.param("clang++", [], id="clang-default-contraction"),
]


def compiler(name):
    if shutil.which(name) is None:
        pytest.skip(f"{name} is not installed (tools/run_tests.sh installs it)")
    return name


def sample():
    """Arguments over every regime of every kernel: both signs, from 1e-3 to beyond the far tails,
    half-widths from 1e-12 to 30, intervals with finite and infinite ends."""
    rng = np.random.default_rng(20261208)
    x = np.concatenate([np.geomspace(1e-3, 1e9, 400), -np.geomspace(1e-3, 38.0, 200),
                        rng.uniform(-40, 40, 200)])
    dx = rng.permutation(np.concatenate([np.geomspace(1e-12, 30.0, 400), rng.uniform(0, 5, 400)]))
    a, b = np.sort(rng.choice(np.concatenate([x, [-np.inf, np.inf]]), size=(2, x.size)), axis=0)
    t = a + rng.uniform(0, 1, x.size) * np.where(np.isfinite(b - a), b - a, 10.0)
    return x, dx, a, b, t


def call(entry_point, *args):
    """The entry point on each element of the arrays (floats in their own precision, ints as int)."""
    ctype = {np.dtype(np.float64): ctypes.c_double, np.dtype(np.float32): ctypes.c_float}
    entry_point.restype = ctype[args[0].dtype]
    entry_point.argtypes = [ctype.get(arg.dtype, ctypes.c_int) for arg in args]
    results = [entry_point(*(arg.item() for arg in point)) for point in zip(*args)]
    return np.array(results, dtype=args[0].dtype)


def cases(lib):
    """(entry point and arguments, downstream build's results, package's results) for every kernel."""
    x, dx, a, b, t = sample()
    found = []
    for prefix, dtype in [("zelnor_", np.float64), ("zelnorf_", np.float32)]:
        xs, ds, us = x.astype(dtype), dx.astype(dtype), np.clip(np.abs(x), 0, 1).astype(dtype)

        def fixed(k):
            return np.full(x.size, k)

        found += [(prefix + name, args, package) for name, args, package in [
            ("MillsRatio", (xs,), zelnor.millsratio(xs)),
            ("MillsRatioDeriv1", (xs,), zelnor.millsratio_d1(xs)),
            ("MillsRatioDeriv3", (xs,), zelnor.millsratio_d3(xs)),
            ("MillsRatioRel_below1", (us,), zelnor.millsratio_rel_below1(us)),
            ("MillsRatioDiff", (xs, ds, fixed(1)), zelnor.millsratio_dd(xs, ds)),
            ("MillsRatioDiff", (xs, ds, fixed(-1)), zelnor.millsratio_reflected_sum(xs, ds)),
            *[("MillsRatioDiff_CF", (xs, ds, fixed(n)), zelnor.millsratio_dd_cf(xs, ds, np.int64(n)))
              for n in (2, 4, 8)],
        ]]
    found += [("zelnor_TruncNorm" + name, args, getattr(truncnorm, name.lower())(*args))
              for name, args in [("LogMass", (a, b)), ("Mean", (a, b)), ("Var", (a, b)), ("Cdf", (t, a, b)),
                                 ("Sf", (t, a, b))]]
    return [(f"{name}{[int(arg[0]) for arg in args if arg.dtype.kind == 'i']}", call(getattr(lib, name), *args),
             package) for name, args, package in found]


@pytest.mark.skipif(not HAS_FMA, reason="needs a processor with FMA to run code built for x86-64-v3")
@pytest.mark.parametrize("cxx, flags", BUILDS)
def test_downstream_builds_give_the_package_results(cxx, flags, tmp_path):
    (tmp_path / "float_entry_points.cpp").write_text(FLOAT_ENTRY_POINTS)
    sources = sorted(str(p) for p in KERNELS.glob("*.cpp")) + ["float_entry_points.cpp"]
    library = tmp_path / "libdownstream.so"
    subprocess.run([compiler(cxx), "-std=gnu++17", "-O2", "-march=x86-64-v3", *flags, "-shared", "-fPIC",
                    "-I", zelnor.get_include(), *sources, "-o", str(library)],
                   cwd=tmp_path, check=True, timeout=BUILD_SECONDS)
    with np.errstate(all="ignore"):
        compared = cases(ctypes.CDLL(str(library)))
    differing = {}
    for name, got, expected in compared:
        bad = ~((got == expected) | (np.isnan(got) & np.isnan(expected)))
        if bad.any():
            differing[name] = (int(bad.sum()), float(got[bad][0]), float(expected[bad][0]))
    assert not differing, differing


@pytest.mark.parametrize("cxx", ["g++", "clang++"])
@pytest.mark.parametrize("flag", ["-ffast-math", "-ffinite-math-only"])
@pytest.mark.parametrize("source", sorted(p.name for p in KERNELS.glob("*.cpp")))
def test_fast_math_is_refused(cxx, flag, source):
    done = subprocess.run([compiler(cxx), "-std=c++17", flag, "-E", "-I", zelnor.get_include(),
                           str(KERNELS / source)], capture_output=True, text=True, timeout=BUILD_SECONDS)
    assert done.returncode != 0 and "must not be compiled with -ffast-math" in done.stderr
