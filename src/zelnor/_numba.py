"""zelnor inside Numba's nopython code: the top-level ufuncs and those of zelnor.truncnorm.

With Numba installed (``pip install zelnor[numba]``) nothing needs registering: Numba finds this
module through its ``numba_extensions`` entry point the first time it compiles anything, and then

    @numba.njit
    def loglik(x):
        return np.log(zelnor.millsratio(x)).sum()

compiles. Each call goes straight to the kernel's exported entry point inside zelnor's own extension
module, the very function the ufunc's loop calls, so the results equal the ufunc's bit for bit and a
jitted loop costs what a C loop over the entry points costs. Functions using them can be cached
(``cache=True``): the entry points are named symbols, resolved again in each process.

Types. On scalars the float32 path runs when every real argument is float32, as the ufunc's float32
loop does (the Mills-ratio kernels in float, the truncated normal in double rounded to float); any
other mix of floats and integers runs in float64. On arrays (with scalars) the call broadcasts and
loops element-wise, giving a new array of that element type.

Domain errors follow NumPy's and Numba's convention for nopython code: the result is NaN and nothing
is raised, warned or flagged (np.errstate has no effect inside jitted code). That is
millsratio_rel_below1 outside [0, 1], millsratio_dd_cf with n_terms outside [0, 2**31 - 1], and the
truncated normal for a > b; NaN in gives NaN out.

Only positional arguments are accepted; out=, where= and the ufunc methods (.outer, .reduce) are not.
"""
import ctypes
import functools
import importlib
from typing import Callable, NamedTuple

import llvmlite.binding
import numba
import numpy as np
from numba.core import types
from numba.core.extending import overload

INT_MAX = 2**31 - 1


def _everywhere(*args):
    return True


def _in_unit_interval(x):
    # NaN goes through: the kernel returns it unchanged, as the ufunc does.
    return not (x < 0 or x > 1)


def _n_terms_is_int(x, dx, n_terms):
    return 0 <= n_terms <= INT_MAX


class Kernel(NamedTuple):
    """One ufunc and the entry points its loops call.

    cargs spells the C parameters: r a real (float or double, the path's type), i an int. The ufunc
    passes its own arguments first and then the constants in fixed, so it takes
    len(cargs) - len(fixed) arguments. single is the float instantiation; None where the ufunc's
    float32 loop computes in double and rounds. inside(*args) is False where the ufunc gives NaN
    without calling the kernel.
    """

    module: str
    name: str
    cargs: str
    double: str
    single: str | None
    fixed: tuple = ()
    inside: Callable = _everywhere


KERNELS = [
    Kernel("zelnor._ufuncs", "millsratio", "r", "zelnor_MillsRatio", "_ZN6zelnor10MillsRatioIfEET_S1_"),
    Kernel("zelnor._ufuncs", "millsratio_d1", "r", "zelnor_MillsRatioDeriv1",
           "_ZN6zelnor16MillsRatioDeriv1IfEET_S1_"),
    Kernel("zelnor._ufuncs", "millsratio_d3", "r", "zelnor_MillsRatioDeriv3",
           "_ZN6zelnor16MillsRatioDeriv3IfEET_S1_"),
    Kernel("zelnor._ufuncs", "millsratio_rel_below1", "r", "zelnor_MillsRatioRel_below1",
           "_ZN6zelnor20MillsRatioRel_below1IfEET_S1_", inside=_in_unit_interval),
    Kernel("zelnor._ufuncs", "millsratio_dd", "rri", "zelnor_MillsRatioDiff",
           "_ZN6zelnor14MillsRatioDiffIfEET_S1_S1_i", fixed=(1,)),
    Kernel("zelnor._ufuncs", "millsratio_reflected_sum", "rri", "zelnor_MillsRatioDiff",
           "_ZN6zelnor14MillsRatioDiffIfEET_S1_S1_i", fixed=(-1,)),
    Kernel("zelnor._ufuncs", "millsratio_dd_cf", "rri", "zelnor_MillsRatioDiff_CF",
           "_ZN6zelnor17MillsRatioDiff_CFIfEET_S1_S1_i", inside=_n_terms_is_int),
    Kernel("zelnor.truncnorm", "logmass", "rr", "zelnor_TruncNormLogMass", None),
    Kernel("zelnor.truncnorm", "mean", "rr", "zelnor_TruncNormMean", None),
    Kernel("zelnor.truncnorm", "var", "rr", "zelnor_TruncNormVar", None),
    Kernel("zelnor.truncnorm", "cdf", "rrr", "zelnor_TruncNormCdf", None),
    Kernel("zelnor.truncnorm", "sf", "rrr", "zelnor_TruncNormSf", None),
]

def _entry_point(module, symbol, cargs, real):
    """The exported function as something jitted code can call: registered with LLVM under a name
    of its own, so that no other library in the process that exports the same symbol can stand in."""
    address = ctypes.cast(ctypes.CDLL(module.__file__)[symbol], ctypes.c_void_p).value
    name = f"{module.__name__}:{symbol}"
    llvmlite.binding.add_symbol(name, address)
    return types.ExternalFunction(name, real(*(types.int32 if kind == "i" else real for kind in cargs)))


def _scalar(call, inside, fixed, result):
    def scalar(*args):
        if inside(*args):
            return result(call(*(args + fixed)))
        return result(np.nan)
    return scalar


# The element-wise form over arrays needs a function of fixed arity (numba.vectorize reads it).
_ELEMENTWISE = {
    1: lambda f: lambda x: f(x),
    2: lambda f: lambda x, y: f(x, y),
    3: lambda f: lambda x, y, z: f(x, y, z),
}


def _register(kernel):
    module = importlib.import_module(kernel.module)
    ufunc = getattr(module, kernel.name)
    kinds = kernel.cargs[:len(kernel.cargs) - len(kernel.fixed)]
    accepted = [(types.Integer,) if kind == "i" else (types.Integer, types.Float) for kind in kinds]
    inside = numba.njit(kernel.inside)
    double = _entry_point(module, kernel.double, kernel.cargs, types.float64)
    # Without a float instantiation the float32 arguments widen exactly to double on the call.
    single = _entry_point(module, kernel.single, kernel.cargs, types.float32) if kernel.single else double
    paths = {
        True: _scalar(single, inside, kernel.fixed, types.float32),
        False: _scalar(double, inside, kernel.fixed, types.float64),
    }
    elementwise = numba.vectorize(_ELEMENTWISE[len(kinds)](ufunc))

    @overload(ufunc)
    def typed(*args):
        if len(args) != len(kinds):
            return None
        if any(isinstance(arg, types.Array) for arg in args):
            return lambda *args: elementwise(*args)
        if not all(isinstance(arg, types_) for arg, types_ in zip(args, accepted)):
            return None
        return paths[all(arg == types.float32 for arg, kind in zip(args, kinds) if kind == "r")]


@functools.cache
def _init_extension():
    """Numba's entry point: teaches Numba every function of KERNELS (once per process)."""
    for kernel in KERNELS:
        _register(kernel)
