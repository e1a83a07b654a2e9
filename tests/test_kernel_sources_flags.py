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

# Float entry points for the check: forwarding only, no arithmetic of their own.
FLOAT_ENTRY_POINTS = """\
#include "_kernels/divdiff.h"
extern "C" {
float f_R(float x) { return zelnor::MillsRatio(x); }
float f_R1(float x) { return zelnor::MillsRatioDeriv1(x); }
float f_R3(float x) { return zelnor::MillsRatioDeriv3(x); }
float f_Rrel(float x) { return zelnor::MillsRatioRel_below1(x); }
float f_DD(float x, float dx, int theta) { return zelnor::MillsRatioDiff(x, dx, theta); }
float f_DD_CF(float x, float dx, int n) { return zelnor::MillsRatioDiff_CF(x, dx, n); }
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
    and half-widths from 1e-12 to 30."""
    rng = np.random.default_rng(20261208)
    x = np.concatenate([np.geomspace(1e-3, 1e9, 400), -np.geomspace(1e-3, 38.0, 200), rng.uniform(-40, 40, 200)])
    dx = np.concatenate([np.geomspace(1e-12, 30.0, 400), rng.uniform(0, 5, 400)])
    rng.shuffle(dx)
    a, b = np.sort(rng.choice(np.concatenate([x, [-np.inf, np.inf]]), size=(2, 800)), axis=0)
    t = a + rng.uniform(0, 1, 800) * np.where(np.isfinite(b - a), b - a, 10.0)
    return x, dx, a, b, t


def calls(lib):
    """(name, downstream result, package result) for every kernel on the sample."""
    x, dx, a, b, t = sample()
    cases = []

    def scalar(fn, ctype, *args):
        fn.restype, fn.argtypes = ctype, [ctype if arg.dtype.kind == "f" else ctypes.c_int for arg in args]
        return np.array([fn(*(arg.item() for arg in point)) for point in zip(*args)], dtype=args[0].dtype)

    for dtype, ctype, prefix in [(np.float64, ctypes.c_double, "zelnor_"), (np.float32, ctypes.c_float, "f_")]:
        xs, dxs = x.astype(dtype), dx.astype(dtype)
        names = {"R": "MillsRatio", "R1": "MillsRatioDeriv1", "R3": "MillsRatioDeriv3",
                 "Rrel": "MillsRatioRel_below1", "DD": "MillsRatioDiff", "DD_CF": "MillsRatioDiff_CF"}
        entry = {k: getattr(lib, prefix + (v if prefix == "zelnor_" else k)) for k, v in names.items()}
        unit = np.clip(np.abs(xs), 0, 1)
        for theta in (1, -1):
            ufunc = zelnor.millsratio_dd if theta == 1 else zelnor.millsratio_reflected_sum
            cases.append((f"dd theta={theta} {dtype.__name__}",
                          scalar(entry["DD"], ctype, xs, dxs, np.full(x.size, theta)), ufunc(xs, dxs)))
        for n in (2, 4, 8):
            cases.append((f"dd_cf n={n} {dtype.__name__}",
                          scalar(entry["DD_CF"], ctype, xs, dxs, np.full(x.size, n)), zelnor.millsratio_dd_cf(xs, dxs, n)))
        cases += [
            (f"R {dtype.__name__}", scalar(entry["R"], ctype, xs), zelnor.millsratio(xs)),
            (f"-R' {dtype.__name__}", scalar(entry["R1"], ctype, xs), zelnor.millsratio_d1(xs)),
            (f"-R''' {dtype.__name__}", scalar(entry["R3"], ctype, xs), zelnor.millsratio_d3(xs)),
            (f"Rrel {dtype.__name__}", scalar(entry["Rrel"], ctype, unit), zelnor.millsratio_rel_below1(unit)),
        ]
    for name in ["logmass", "mean", "var"]:
        fn = getattr(lib, "zelnor_TruncNorm" + name.capitalize().replace("mass", "Mass"))
        cases.append((name, scalar(fn, ctypes.c_double, a, b), getattr(truncnorm, name)(a, b)))
    for name in ["cdf", "sf"]:
        fn = getattr(lib, "zelnor_TruncNorm" + name.capitalize())
        cases.append((name, scalar(fn, ctypes.c_double, t, a, b), getattr(truncnorm, name)(t, a, b)))
    return cases


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
        cases = calls(ctypes.CDLL(str(library)))
    differing = {}
    for name, got, expected in cases:
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
