"""The typing stubs against the compiled modules, and the distributions: `python -m build` makes an
sdist and a wheel from the repository; the wheel carries what other extensions and type checkers need;
the sdist builds and imports in a fresh virtual environment that fetches its own NumPy."""
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import zelnor.divdiff as divdiff
import zelnor.mills as mills

REPOSITORY = Path(__file__).resolve().parents[1]
STEP_SECONDS = 900

# Besides the compiled modules and the kernels: the declarations for cimport, the coefficient
# tables the kernel sources include, the typing information and the Numba extension.
WHEEL_FILES = ["__init__.py", "_truncnorm_scipy.py", "mills.pxd", "divdiff.pxd", "_mills_coef.h", "mills.pyi",
               "divdiff.pyi", "py.typed", "_numba.py"]

CHECK = """\
import sys
import numpy as np
import zelnor, zelnor.divdiff, zelnor.mills
assert zelnor.__file__.startswith(sys.prefix) and np.__file__.startswith(sys.prefix), sys.path
print(repr(zelnor.mills.millsratio(-3.0)), repr(zelnor.divdiff.millsratio_dd(20.0, 0.5)),
      repr(zelnor.mills.millsratio_d3(np.array([0.5, 30.0])).tolist()))
"""


def run(args, cwd):
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=STEP_SECONDS)
    assert done.returncode == 0, f"{args}\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    return done.stdout


# A user's code: what the stubs promise for numbers, arrays and third arguments. Lines marked
# "error" must be refused, and only those.
USE = """\
from typing import assert_type
import numpy as np
from numpy.typing import NDArray
from zelnor.divdiff import millsratio_dd, millsratio_dd_cf
from zelnor.mills import millsratio, millsratio_d1, millsratio_d3, millsratio_rel_below1
Result = float | NDArray[np.float64]
assert_type(millsratio(0.5), float)
assert_type(millsratio_d1(2), float)
assert_type(millsratio_d3(np.float32(0.5)), float)
assert_type(millsratio_rel_below1(True), float)
assert_type(millsratio(np.zeros((2, 3))), Result)
assert_type(millsratio_d1([[0.5, 1.0]]), Result)
assert_type(millsratio_dd(1.0, 0.5), float)
assert_type(millsratio_dd(1.0, dx=np.float64(0.5), theta=-1), float)
assert_type(millsratio_dd_cf(x=np.arange(3.0), dx=0.5, n_terms=6), Result)
assert_type(millsratio_dd(np.zeros(3), [0.5], 2.7), Result)
millsratio(None)  # error
millsratio_d3()  # error
millsratio_rel_below1(x=0.5, y=1)  # error
millsratio_dd(1.0)  # error
millsratio_dd(1.0, 0.5, "1")  # error
millsratio_dd_cf(1.0, 0.5, theta=4)  # error
"""


def test_stubs_match_the_compiled_modules(mypy, tmp_path):
    # The package and with it every submodule.
    run([sys.executable, "-m", "mypy.stubtest", "zelnor"], tmp_path)


def test_stubs_type_numbers_arrays_and_third_arguments(mypy, tmp_path):
    (tmp_path / "use.py").write_text(USE)
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "use.py"], cwd=tmp_path,
                             capture_output=True, text=True, timeout=STEP_SECONDS)
    refused = {int(m) for m in re.findall(r"^use\.py:(\d+): error", checked.stdout, re.MULTILINE)}
    marked = {k for k, line in enumerate(USE.splitlines(), 1) if line.endswith("# error")}
    assert refused == marked, checked.stdout


def kernel_files():
    """The kernel headers and sources under version control: every one must be shipped."""
    listed = run(["git", "ls-files", "src/zelnor/_kernels"], REPOSITORY).split()
    return sorted(Path(p).name for p in listed)


def extension_modules():
    """The Cython sources under version control: each is an extension module the wheel must carry."""
    listed = run(["git", "ls-files", "src/zelnor/*.pyx"], REPOSITORY).split()
    return sorted(Path(p).stem for p in listed)


@pytest.mark.slow
@pytest.mark.skipif(not (REPOSITORY / ".git").exists(), reason="the sdist is made from a git checkout")
def test_sdist_and_wheel_build_and_the_sdist_installs_in_a_fresh_environment(tmp_path):
    dist = tmp_path / "dist"
    run([sys.executable, "-m", "build", "--outdir", str(dist), str(REPOSITORY)], tmp_path)
    (sdist,) = dist.glob("zelnor-*.tar.gz")
    (wheel,) = dist.glob("zelnor-*.whl")

    with zipfile.ZipFile(wheel) as w:
        shipped = set(w.namelist())
    kernels = kernel_files()
    assert {"mills.h", "mills.cpp", "divdiff.h", "divdiff.cpp"} <= set(kernels)
    missing = [f for f in WHEEL_FILES + [f"_kernels/{k}" for k in kernels] if f"zelnor/{f}" not in shipped]
    assert not missing
    modules = extension_modules()
    assert {"mills", "divdiff", "_ufuncs", "truncnorm"} <= set(modules)
    for module in modules:
        assert any(n.startswith(f"zelnor/{module}.") and n.endswith(".so") for n in shipped), module

    with tarfile.open(sdist) as t:
        packed = {n.split("/", 1)[1] for n in t.getnames() if "/" in n}
    assert {"pyproject.toml", "meson.build", "src/zelnor/meson.build", "src/zelnor/mills.pyx",
            "src/zelnor/divdiff.pyx"} <= packed

    venv = tmp_path / "fresh"
    run([sys.executable, "-m", "venv", str(venv)], tmp_path)
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "-q", str(sdist)], tmp_path)
    # The fresh build must give the same bits as the package under test: same sources, same flags.
    expected = (f"{mills.millsratio(-3.0)!r} {divdiff.millsratio_dd(20.0, 0.5)!r} "
                f"{mills.millsratio_d3([0.5, 30.0]).tolist()!r}")
    assert run([python, "-c", CHECK], tmp_path).strip() == expected
