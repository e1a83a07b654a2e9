"""An extension module of someone else's: built in a temporary directory against the installed package
alone (zelnor.get_include() and zelnor.get_kernel_sources()), it cimports the seven scalar entry
points, calls each without the GIL and gets bit for bit what the package's Python functions return."""
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import zelnor
import zelnor.divdiff as divdiff
import zelnor.mills as mills

BUILD_SECONDS = 600

PYX = """\
# cython: language_level=3
# distutils: language = c++
from zelnor.mills cimport _R, _R1, _R3, _R013_CF, _Rrel_below1
from zelnor.divdiff cimport _R_DD, _R_DD_CF


def R(double x):
    with nogil:
        x = _R(x)
    return x


def R1(double x):
    with nogil:
        x = _R1(x)
    return x


def R3(double x):
    with nogil:
        x = _R3(x)
    return x


def Rrel_below1(double x):
    with nogil:
        x = _Rrel_below1(x)
    return x


def R013_CF(double xu, int n, int d):
    with nogil:
        xu = _R013_CF(xu, n, d)
    return xu


def R_DD(double x, double dx, int theta):
    with nogil:
        x = _R_DD(x, dx, theta)
    return x


def R_DD_CF(double x, double dx, int n_terms):
    with nogil:
        x = _R_DD_CF(x, dx, n_terms)
    return x
"""

SETUP = """\
import zelnor
from Cython.Build import cythonize
from setuptools import Extension, setup

extension = Extension(
    "outside",
    ["outside.pyx", *zelnor.get_kernel_sources()],
    include_dirs=[zelnor.get_include()],
    language="c++",
    extra_compile_args=["-std=c++17", "-ffp-contract=off", "-fwrapv"],
)
setup(name="outside", ext_modules=cythonize([extension]), script_args=["build_ext", "--inplace"])
"""

# Midpoints and arguments across every regime and IEEE edge.
XS = np.concatenate([[-40.0, -37.0, -0.0, 0.0, 1.0, 9.5, 1e8, np.inf, -np.inf, np.nan],
                     np.linspace(-10.0, 70.0, 321)])
DXS = [0.0, 1e-9, 0.01, 0.3, 2.0, 25.0, -0.5, np.nan]


@pytest.fixture(scope="module")
def outside(tmp_path_factory):
    include = Path(zelnor.get_include())
    repository = Path(__file__).resolve().parents[1]
    assert not include.is_relative_to(repository), "the test needs the installed package, not the sources"
    assert all(Path(s).is_relative_to(include) for s in zelnor.get_kernel_sources())
    where = tmp_path_factory.mktemp("outside")
    (where / "outside.pyx").write_text(PYX)
    (where / "setup.py").write_text(SETUP)
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    build = subprocess.run([sys.executable, "setup.py"], cwd=where, env=env, capture_output=True,
                           text=True, timeout=BUILD_SECONDS)
    assert build.returncode == 0, build.stdout[-3000:] + build.stderr[-3000:]
    (library,) = where.glob("outside*.so")
    spec = importlib.util.spec_from_file_location("outside", library)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def same_bits(a, b):
    return np.array_equal(np.asarray(a, dtype=np.float64).view(np.uint64),
                          np.asarray(b, dtype=np.float64).view(np.uint64))


@pytest.mark.parametrize(
    "name, python, xs",
    [
        ("R", mills.millsratio, XS),
        ("R1", mills.millsratio_d1, XS),
        ("R3", mills.millsratio_d3, XS),
        ("Rrel_below1", mills.millsratio_rel_below1, np.append(np.linspace(0.0, 1.0, 97), [-0.0, np.nan])),
    ],
)
def test_one_argument_entry_points(outside, name, python, xs):
    assert same_bits([getattr(outside, name)(x) for x in xs], python(xs))


# Points in each continued-fraction tail with the depth the kernels choose there, so the convergent
# called directly is the value the Python function returns.
CF_CASES = [(0, 10.0, 12), (0, 20.0, 8), (0, 100.0, 4), (0, 1000.0, 2),
            (1, 12.0, 12), (1, 30.0, 8), (1, 1000.0, 4), (1, 20000.0, 2),
            (3, 20.0, 12), (3, 30.0, 10), (3, 100.0, 8), (3, 1000.0, 6), (3, 20000.0, 4)]


@pytest.mark.parametrize("d, x, n", CF_CASES)
def test_continued_fraction_entry_point(outside, d, x, n):
    python = {0: mills.millsratio, 1: mills.millsratio_d1, 3: mills.millsratio_d3}[d]
    argument = x if d == 0 else x * x + 3
    assert same_bits(outside.R013_CF(argument, n, d), python(x))


@pytest.mark.parametrize("name, python, thirds",
                         [("R_DD", divdiff.millsratio_dd, [1, 0, -1]),
                          ("R_DD_CF", divdiff.millsratio_dd_cf, [-1, 0, 1, 2, 4, 8, 11])])
def test_divided_difference_entry_points(outside, name, python, thirds):
    f = getattr(outside, name)
    for third in thirds:
        got = [[f(x, dx, third) for dx in DXS] for x in XS]
        assert same_bits(got, python(XS[:, None], DXS, third)), (name, third)
