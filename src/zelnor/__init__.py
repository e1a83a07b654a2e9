"""The Mills ratio R(x) = N(-x)/n(x) of the standard normal distribution, its derivatives, its
relative form on [0, 1] and its symmetric divided differences, close to full double precision over
the whole real line.

Modules: zelnor.mills (R, -R', -R''', the relative form) and zelnor.divdiff (divided differences).
The same functions as NumPy ufuncs in float32 and float64, which also run on Dask and xarray arrays:
zelnor.millsratio, millsratio_d1, millsratio_d3, millsratio_rel_below1, millsratio_dd (theta = +1),
millsratio_reflected_sum (theta = -1) and millsratio_dd_cf.
The truncated normal distribution built on them, as ufuncs: zelnor.truncnorm (logmass, mean, var,
cdf, sf).

The submodules load on first access, so zelnor.truncnorm works after import zelnor alone.
"""
import importlib
import os
from types import ModuleType
from typing import TYPE_CHECKING

# "name as name" marks each as exported, for type checkers.
from ._ufuncs import (
    millsratio as millsratio,
    millsratio_d1 as millsratio_d1,
    millsratio_d3 as millsratio_d3,
    millsratio_dd as millsratio_dd,
    millsratio_dd_cf as millsratio_dd_cf,
    millsratio_reflected_sum as millsratio_reflected_sum,
    millsratio_rel_below1 as millsratio_rel_below1,
)

__version__ = "0.1.0"

_SUBMODULES = ("mills", "divdiff", "truncnorm")
if TYPE_CHECKING:
    # What __getattr__ binds, for type checkers, which then still flag any other missing name.
    from . import divdiff as divdiff, mills as mills, truncnorm as truncnorm

# Spelled out, for type checkers.
__all__ = [
    "millsratio", "millsratio_d1", "millsratio_d3", "millsratio_dd", "millsratio_dd_cf",
    "millsratio_reflected_sum", "millsratio_rel_below1", "get_include", "get_kernel_sources",
    "mills", "divdiff", "truncnorm",
]


if not TYPE_CHECKING:
    def __getattr__(name: str) -> ModuleType:
        # Called only for names the module does not hold yet; importing a submodule binds it here.
        if name in _SUBMODULES:
            return importlib.import_module(f"{__name__}.{name}")
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(__all__ + ["__version__"])


def get_include():
    """Directory to add to the include path of a native extension that calls the kernels.

    It holds the declaration files mills.pxd, divdiff.pxd and truncnorm.pxd (for ``cimport``), the
    kernel headers and sources under ``_kernels/`` and the coefficient tables ``_mills_coef.h``.
    """
    return os.path.dirname(os.path.abspath(__file__))


def get_kernel_sources():
    """Paths of the kernel sources (``_kernels/*.cpp``) to compile into a native extension.

    The entry points live inside the package's own extension modules, which Python loads privately,
    so another extension cannot link to them at run time: it compiles these sources into itself,
    with the include directory of get_include() and the flags ``-ffp-contract=off -fwrapv`` under
    which the package's results are reproducible bit for bit. Compiling all of them is harmless;
    the divided-difference kernels need the Mills-ratio ones.
    """
    kernels = os.path.join(get_include(), "_kernels")
    return sorted(os.path.join(kernels, name) for name in os.listdir(kernels) if name.endswith(".cpp"))
