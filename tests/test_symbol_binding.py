"""Each extension module reads its own coefficient tables and calls its own kernels, whatever else the
process has loaded: a library loaded earlier into the global namespace that defines the same tables
(zero-filled, as a downstream extension built from other kernel sources might), the same C entry
points and the same template instantiations changes no result."""
import shutil
import subprocess
import sys

import numpy as np
import pytest

import zelnor
import zelnor.divdiff  # noqa: F401  (the calls reach each module through the package)
import zelnor.mills  # noqa: F401
import zelnor.truncnorm  # noqa: F401

# The same names the package exports, defined as a downstream C++ build of other kernel sources would:
# inline tables (GNU-unique under GCC) and default-visibility entry points, all returning nothing useful.
POISON = """\
namespace zelnor {
template <typename T> T MillsRatio(T);
template <typename T> T MillsRatioDiff(T, T, int);
template <> double MillsRatio<double>(double) { return 0.0; }
template <> float MillsRatio<float>(float) { return 0.0f; }
template <> double MillsRatioDiff<double>(double, double, int) { return 0.0; }
double TruncNormMean(double, double) { return 0.0; }
double TruncNormCdf(double, double, double) { return 0.0; }
}
inline constexpr double C_Rrel[96] = {};
inline constexpr double C_R1[208] = {};
inline constexpr double C_R3[405] = {};
extern "C" {
const double *poison_tables[] = {C_Rrel, C_R1, C_R3};
double zelnor_MillsRatio(double) { return 0.0; }
double zelnor_MillsRatioDeriv1(double) { return 0.0; }
double zelnor_MillsRatioDiff(double, double, int) { return 0.0; }
double zelnor_TruncNormMean(double, double) { return 0.0; }
double zelnor_TruncNormCdf(double, double, double) { return 0.0; }
}
"""

# Each call goes through a different module: the top-level ufuncs, the specified scalar modules and
# the truncated normal; x = 2 reads C_R1, x = 0.5 reads C_Rrel and C_R3.
CALLS = [
    "zelnor.millsratio(2.0)",
    "zelnor.millsratio(np.float32(2.0))",
    "zelnor.millsratio_d3(0.5)",
    "zelnor.mills.millsratio(2.0)",
    "zelnor.mills.millsratio_d1(0.5)",
    "zelnor.divdiff.millsratio_dd(2.0, 0.25)",
    "zelnor.millsratio_dd(0.5, 0.25)",
    "zelnor.truncnorm.mean(1.5, 3.0)",
    "zelnor.truncnorm.cdf(2.0, 1.0, 3.0)",
]

SCRIPT = """\
import ctypes, sys
ctypes.CDLL(sys.argv[1], mode=ctypes.RTLD_GLOBAL)
import numpy as np
import zelnor, zelnor.mills, zelnor.divdiff, zelnor.truncnorm
for call in sys.argv[2:]:
    print(repr(float(eval(call))))
"""


@pytest.mark.skipif(shutil.which("c++") is None, reason="needs a C++ compiler")
def test_a_library_defining_the_same_names_changes_nothing(tmp_path):
    (tmp_path / "poison.cpp").write_text(POISON)
    poison = tmp_path / "libpoison.so"
    subprocess.run(["c++", "-std=c++17", "-O1", "-shared", "-fPIC", "poison.cpp", "-o", poison.name],
                   cwd=tmp_path, check=True)
    defined = subprocess.run(["nm", "-D", "--defined-only", poison], capture_output=True, text=True,
                             check=True).stdout
    assert all(name in defined for name in ["C_R1", "C_Rrel", "C_R3", "zelnor_MillsRatio"]), defined

    done = subprocess.run([sys.executable, "-c", SCRIPT, str(poison), *CALLS], capture_output=True,
                          text=True, check=True)
    names = {"np": np, "zelnor": zelnor}
    expected = [repr(float(eval(call, names))) for call in CALLS]
    assert dict(zip(CALLS, done.stdout.split())) == dict(zip(CALLS, expected))
    # R(2) to the last digit, as mpmath gives it: the value the zero-filled C_R1 changed to 0.5.
    assert float(done.stdout.split()[0]) == 0.4213692292880545
