"""The kernels as a C and C++ library: `meson setup -Dpython_modules=false` and `meson install` into a
fresh prefix; from outside the tree, a C program built with pkg-config and a C++ program built with
CMake's find_package(zelnor), each against the shared and the static library, print what the Python
functions return, bit for bit."""
import ctypes
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import zelnor
import zelnor.mills as mills
import zelnor.truncnorm as truncnorm

REPOSITORY = Path(__file__).resolve().parents[1]
STEP_SECONDS = 600

# The arguments, as hexadecimal literals that C and C++ read exactly: every regime of every kernel.
X = [-37.5, -20.0, -3.0, -1.25, -0.3, 0.0, 0.2, 0.9, 1.0, 2.0, 7.3, 9.5, 30.0, 1e3, 6.7e7, 1e200, np.inf]
DX = [0.0, 1e-12, 1e-5, 0.01, 0.3, 0.5, 1.0, 2.5, 4.0, 0.75, 3e-8, 0.2, 10.0, 1e2, 5.0, 1e3, 1.0]
A = [-np.inf, -40.0, -5.0, -1.0, -0.5, 0.0, 0.1, 1.0, 3.0, 8.0, 30.0, 1e6, -2.0]
B = [np.inf, -39.0, -4.9, 2.0, -0.4999, 1e-300, 0.5, 1.0 + 2**-40, 3.5, 8.5, np.inf, 1e7, 2.0]

C_PROGRAM = """\
#include <stdio.h>
#include <zelnor/divdiff.h>
#include <zelnor/truncnorm.h>
#include "arguments.h"

int main(void) {
    for (int i = 0; i < N_X; ++i)
        printf("%a %a %a %a %a %a %a %a\\n", zelnor_MillsRatio(x[i]), zelnor_MillsRatioDeriv1(x[i]),
               zelnor_MillsRatioDeriv3(x[i]), zelnor_MillsRatioRel_below1(u[i]),
               zelnor_MillsRatioDiff(x[i], dx[i], 1), zelnor_MillsRatioDiff(x[i], dx[i], -1),
               zelnor_MillsRatioDiff_CF(x[i], dx[i], 6), zelnor_MillsRatio_CF(x[i], 8, 0));
    for (int i = 0; i < N_AB; ++i)
        printf("%a %a %a %a %a\\n", zelnor_TruncNormLogMass(a[i], b[i]), zelnor_TruncNormMean(a[i], b[i]),
               zelnor_TruncNormVar(a[i], b[i]), zelnor_TruncNormCdf(t[i], a[i], b[i]),
               zelnor_TruncNormSf(t[i], a[i], b[i]));
    return 0;
}
"""

# The C++ program reaches the same kernels through the templates, in both precisions.
CXX_PROGRAM = """\
#include <cstdio>
#include <zelnor/divdiff.h>
#include <zelnor/truncnorm.h>
#include "arguments.h"

template <typename T> void print_row(int i) {
    const T xi = T(x[i]), di = T(dx[i]);
    std::printf("%a %a %a %a %a %a %a\\n", double(zelnor::MillsRatio(xi)),
                double(zelnor::MillsRatioDeriv1(xi)), double(zelnor::MillsRatioDeriv3(xi)),
                double(zelnor::MillsRatioRel_below1(T(u[i]))),
                double(zelnor::MillsRatioDiff(xi, di, 1)), double(zelnor::MillsRatioDiff(xi, di, -1)),
                double(zelnor::MillsRatioDiff_CF(xi, di, 6)));
}

int main() {
    for (int i = 0; i < N_X; ++i) print_row<double>(i);
    for (int i = 0; i < N_X; ++i) print_row<float>(i);
    for (int i = 0; i < N_AB; ++i)
        std::printf("%a %a %a %a %a\\n", zelnor::TruncNormLogMass(a[i], b[i]),
                    zelnor::TruncNormMean(a[i], b[i]), zelnor::TruncNormVar(a[i], b[i]),
                    zelnor::TruncNormCdf(t[i], a[i], b[i]),
                    zelnor::TruncNormSf(t[i], a[i], b[i]));
}
"""

CMAKE_LISTS = """\
cmake_minimum_required(VERSION 3.15)
project(consumer CXX)
find_package(zelnor 0.1 REQUIRED CONFIG)
add_executable(shared main.cpp)
target_link_libraries(shared zelnor::zelnor)
add_executable(static main.cpp)
target_link_libraries(static zelnor::zelnor_static)
"""


def arguments():
    x = np.array(X)
    dx = np.array(DX)
    a, b = np.array(A), np.array(B)
    t = np.where(np.isfinite(a), a, np.minimum(b, 0.0) - 1.0) + 0.3
    return x, dx, np.clip(np.abs(x), 0.0, 1.0), a, b, t


def arguments_header():
    def array(name, values):
        literals = ", ".join(float(v).hex().replace("inf", "1.0/0.0") for v in values)
        return f"static const double {name}[] = {{{literals}}};\n"

    x, dx, u, a, b, t = arguments()
    named = zip(["x", "dx", "u", "a", "b", "t"], [x, dx, u, a, b, t])
    arrays = [array(name, values) for name, values in named]
    return f"#define N_X {x.size}\n#define N_AB {a.size}\n" + "".join(arrays)


@np.errstate(all="ignore")
def expected(with_float_rows):
    """The package's results, as rows of floats in the programs' order. The order-8 convergent has no
    Python function: it is read from the entry point the mills module exports."""
    x, dx, u, a, b, t = arguments()
    rows = []
    for dtype in [np.float64, np.float32] if with_float_rows else [np.float64]:
        xs, ds, us = x.astype(dtype), dx.astype(dtype), u.astype(dtype)
        columns = [zelnor.millsratio(xs), zelnor.millsratio_d1(xs), zelnor.millsratio_d3(xs),
                   zelnor.millsratio_rel_below1(us), zelnor.millsratio_dd(xs, ds),
                   zelnor.millsratio_reflected_sum(xs, ds), zelnor.millsratio_dd_cf(xs, ds, np.int64(6))]
        if not with_float_rows:
            convergent = ctypes.CDLL(mills.__file__).zelnor_MillsRatio_CF
            convergent.restype = ctypes.c_double
            convergent.argtypes = [ctypes.c_double, ctypes.c_int, ctypes.c_int]
            columns.append(np.array([convergent(v, 8, 0) for v in x]))
        rows += np.stack(columns, axis=1).tolist()
    rows += np.stack([truncnorm.logmass(a, b), truncnorm.mean(a, b), truncnorm.var(a, b),
                      truncnorm.cdf(t, a, b), truncnorm.sf(t, a, b)], axis=1).tolist()
    return rows


def same(printed, row):
    """Whether a line of %a values holds exactly the row's floats (zeros with their sign, any NaN)."""
    got = [float.fromhex(v) for v in printed.split()]
    equal = [(g == e and np.signbit(g) == np.signbit(e)) or (np.isnan(g) and np.isnan(e)) for g, e in zip(got, row)]
    return len(got) == len(row) and all(equal)


def run(args, cwd, env=None):
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=STEP_SECONDS, env=env)
    assert done.returncode == 0, f"{args}\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    return done.stdout


def differing(output, rows):
    lines = output.splitlines()
    assert len(lines) == len(rows), output
    return [(line, row) for line, row in zip(lines, rows) if not same(line, row)]


def needs(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    reason = f"needs {', '.join(missing)} (tools/run_tests.sh installs them)"
    return pytest.mark.skipif(bool(missing), reason=reason)


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    """A fresh prefix with the library installed, and the environment that finds it."""
    if not (REPOSITORY / "lib" / "meson.build").exists():
        pytest.skip("builds the library from the source tree")
    work = tmp_path_factory.mktemp("library")
    root = work / "prefix"
    run(["meson", "setup", "build", str(REPOSITORY), "-Dpython_modules=false", f"--prefix={root}"], work)
    run(["meson", "install", "-C", "build", "--quiet"], work)
    (pc,) = root.rglob("zelnor.pc")
    env = dict(os.environ, PKG_CONFIG_PATH=str(pc.parent), LD_LIBRARY_PATH=str(pc.parent.parent),
               CMAKE_PREFIX_PATH=str(root))
    return root, env


@needs("meson", "cc", "pkg-config", "ldd")
def test_c_program_built_with_pkg_config(prefix, tmp_path):
    root, env = prefix
    (tmp_path / "main.c").write_text(C_PROGRAM)
    (tmp_path / "arguments.h").write_text(arguments_header())
    flags = run(["pkg-config", "--cflags", "--libs", "zelnor"], tmp_path, env).split()
    libdir = run(["pkg-config", "--variable=libdir", "zelnor"], tmp_path, env).strip()
    run(["cc", "-std=c99", "-Wall", "-Werror", "main.c", "-o", "shared", *flags], tmp_path, env)
    cflags = run(["pkg-config", "--cflags", "zelnor"], tmp_path, env).split()
    run(["cc", "-std=c99", "main.c", "-o", "static", *cflags, f"{libdir}/libzelnor.a", "-lm"], tmp_path,
        env)

    linked = run(["ldd", "./shared"], tmp_path, env)
    (line,) = [line for line in linked.splitlines() if "libzelnor" in line]
    assert f"=> {root}/" in line and ".so.0 " in line, line
    assert "libzelnor" not in run(["ldd", "./static"], tmp_path, env)
    rows = expected(with_float_rows=False)
    for program in ["./shared", "./static"]:
        assert not differing(run([program], tmp_path, env), rows), program


@needs("meson", "cmake", "c++")
def test_cxx_program_built_with_cmake_find_package(prefix, tmp_path):
    _, env = prefix
    (tmp_path / "main.cpp").write_text(CXX_PROGRAM)
    (tmp_path / "arguments.h").write_text(arguments_header())
    (tmp_path / "CMakeLists.txt").write_text(CMAKE_LISTS)
    run(["cmake", "-S", ".", "-B", "build", "-DCMAKE_BUILD_TYPE=Release"], tmp_path, env)
    run(["cmake", "--build", "build"], tmp_path, env)
    rows = expected(with_float_rows=True)
    for program in ["build/shared", "build/static"]:
        assert not differing(run([program], tmp_path, env), rows), program
