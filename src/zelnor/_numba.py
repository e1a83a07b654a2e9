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
other mix of floats, integers and booleans runs in float64. On arrays (with scalars) the call
broadcasts and loops element-wise, giving a new array of that element type. dlogmass gives a tuple
of two.

Domain errors follow NumPy's and Numba's convention for nopython code: the result is NaN and nothing
is raised, warned or flagged (np.errstate has no effect inside jitted code). That is
millsratio_rel_below1 outside [0, 1], millsratio_dd_cf with n_terms outside [0, 2**31 - 1], the
truncated normal for a > b, and ppf, isf for probabilities outside [0, 1]; NaN in gives NaN out.

Only positional arguments are accepted: no out= or where=, and no ufunc methods (.outer, .reduce).
"""
import ctypes
import importlib
from typing import Callable, NamedTuple

import llvmlite.binding  # type: ignore[import-untyped]
import numba
import numpy as np
from llvmlite import ir
from numba.core import cgutils, types
from numba.core.extending import intrinsic, overload

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

    cargs spells the C parameters in order: r a real (float or double, the path's type), i an int,
    o a pointer to a real that receives one of the ufunc's outputs (the C function then returns
    nothing). The ufunc passes its own arguments first, then the constants in fixed. single is the
    float instantiation; None where the ufunc's float32 loop computes in double and rounds.
    inside(*args), for a kernel returning its value, is False where the ufunc gives NaN without
    calling the kernel.
    """

    module: str
    name: str
    cargs: str
    double: str
    single: str | None
    fixed: tuple = ()
    inside: Callable = _everywhere


# The modules that hold the ufuncs; their extension libraries export the entry points.
TOP, TN = "zelnor._ufuncs", "zelnor.truncnorm"
KERNELS = [
    Kernel(TOP, "millsratio", "r", "zelnor_MillsRatio", "_ZN6zelnor10MillsRatioIfEET_S1_"),
    Kernel(TOP, "millsratio_d1", "r", "zelnor_MillsRatioDeriv1",
           "_ZN6zelnor16MillsRatioDeriv1IfEET_S1_"),
    Kernel(TOP, "millsratio_d3", "r", "zelnor_MillsRatioDeriv3",
           "_ZN6zelnor16MillsRatioDeriv3IfEET_S1_"),
    Kernel(TOP, "millsratio_rel_below1", "r", "zelnor_MillsRatioRel_below1",
           "_ZN6zelnor20MillsRatioRel_below1IfEET_S1_", inside=_in_unit_interval),
    Kernel(TOP, "millsratio_dd", "rri", "zelnor_MillsRatioDiff",
           "_ZN6zelnor14MillsRatioDiffIfEET_S1_S1_i", fixed=(1,)),
    Kernel(TOP, "millsratio_reflected_sum", "rri", "zelnor_MillsRatioDiff",
           "_ZN6zelnor14MillsRatioDiffIfEET_S1_S1_i", fixed=(-1,)),
    Kernel(TOP, "millsratio_dd_cf", "rri", "zelnor_MillsRatioDiff_CF",
           "_ZN6zelnor17MillsRatioDiff_CFIfEET_S1_S1_i", inside=_n_terms_is_int),
    Kernel(TN, "logmass", "rr", "zelnor_TruncNormLogMass", None),
    Kernel(TN, "mean", "rr", "zelnor_TruncNormMean", None),
    Kernel(TN, "var", "rr", "zelnor_TruncNormVar", None),
    Kernel(TN, "cdf", "rrr", "zelnor_TruncNormCdf", None),
    Kernel(TN, "sf", "rrr", "zelnor_TruncNormSf", None),
    Kernel(TN, "pdf", "rrr", "zelnor_TruncNormPdf", None),
    Kernel(TN, "logpdf", "rrr", "zelnor_TruncNormLogPdf", None),
    Kernel(TN, "logcdf", "rrr", "zelnor_TruncNormLogCdf", None),
    Kernel(TN, "logsf", "rrr", "zelnor_TruncNormLogSf", None),
    Kernel(TN, "ppf", "rrr", "zelnor_TruncNormPpf", None),
    Kernel(TN, "isf", "rrr", "zelnor_TruncNormIsf", None),
    Kernel(TN, "entropy", "rr", "zelnor_TruncNormEntropy", None),
    Kernel(TN, "dlogmass", "rroo", "zelnor_TruncNormDLogMass", None),
]


def _entry_point(module, symbol, cargs, real):
    """The exported function as something jitted code can call, registered with LLVM under a name
    of its own: no other library in the process that exports the same symbol can stand in."""
    address = ctypes.cast(ctypes.CDLL(module.__file__)[symbol], ctypes.c_void_p).value
    name = f"{module.__name__}:{symbol}"
    llvmlite.binding.add_symbol(name, address)
    params = [{"r": real, "i": types.int32, "o": types.CPointer(real)}[c] for c in cargs]
    return types.ExternalFunction(name, (types.void if "o" in cargs else real)(*params))


def _call_with_outputs(typingctx, function, result, args):
    """function(*args, &out1, &out2, ...) for an entry point whose trailing parameters receive its
    outputs, into stack slots; returns them converted to the number class result, as a tuple."""
    reals = function.sig.args[len(args):]
    returned = types.UniTuple(result.instance_type, len(reals))

    def codegen(context, builder, signature, values):
        params = function.sig.args
        ins = [context.cast(builder, value, have, want)
               for value, have, want in zip(cgutils.unpack_tuple(builder, values[2]), args, params)]
        slots = [cgutils.alloca_once(builder, context.get_value_type(real.dtype)) for real in reals]
        prototype = ir.FunctionType(ir.VoidType(), [context.get_value_type(t) for t in params])
        callee = cgutils.get_or_insert_function(builder.module, prototype, function.symbol)
        builder.call(callee, ins + slots)
        outs = [context.cast(builder, builder.load(slot), real.dtype, result.instance_type)
                for slot, real in zip(slots, reals)]
        return context.make_tuple(builder, returned, outs)

    return returned(function, result, args), codegen


_outputs = intrinsic(_call_with_outputs)


def _scalar(call, inside, fixed, result):
    def scalar(*args):
        if inside(*args):
            return result(call(*(args + fixed)))
        return result(np.nan)
    return scalar


def _scalar_outputs(call, fixed, result):
    def scalar(*args):
        return _outputs(call, result, args + fixed)
    return scalar


# The element-wise form over arrays needs a function of fixed arity (numba.vectorize reads it).
_ELEMENTWISE = {
    1: lambda f: lambda x: f(x),
    2: lambda f: lambda x, y: f(x, y),
    3: lambda f: lambda x, y, z: f(x, y, z),
}


def _output(ufunc, k):
    return numba.njit(lambda *args: ufunc(*args)[k])


# The array form: one element-wise pass per output, the outputs of several gathered into a tuple.
_GATHER = {
    1: lambda only: lambda *args: only(*args),
    2: lambda first, second: lambda *args: (first(*args), second(*args)),
}


def _register(kernel):
    module = importlib.import_module(kernel.module)
    ufunc = getattr(module, kernel.name)
    inputs = kernel.cargs.rstrip("o")
    kinds = inputs[:len(inputs) - len(kernel.fixed)]
    n_outputs = len(kernel.cargs) - len(inputs)
    reals = (types.Boolean, types.Integer, types.Float)
    accepted = [(types.Integer,) if kind == "i" else reals for kind in kinds]
    double = _entry_point(module, kernel.double, kernel.cargs, types.float64)
    # Without a float instantiation the float32 arguments widen exactly to double on the call.
    single = double
    if kernel.single:
        single = _entry_point(module, kernel.single, kernel.cargs, types.float32)
    if n_outputs:
        paths = {True: _scalar_outputs(single, kernel.fixed, types.float32),
                 False: _scalar_outputs(double, kernel.fixed, types.float64)}
        # Numba's vectorize gives one output: each output takes its own element-wise pass.
        passes = [numba.vectorize(_ELEMENTWISE[len(kinds)](_output(ufunc, k)))
                  for k in range(n_outputs)]
    else:
        inside = numba.njit(kernel.inside)
        paths = {True: _scalar(single, inside, kernel.fixed, types.float32),
                 False: _scalar(double, inside, kernel.fixed, types.float64)}
        passes = [numba.vectorize(_ELEMENTWISE[len(kinds)](ufunc))]

    @overload(ufunc)
    def typed(*args):
        if len(args) != len(kinds):
            return None
        if any(isinstance(arg, types.Array) for arg in args):
            return _GATHER[len(passes)](*passes)
        if not all(isinstance(arg, types_) for arg, types_ in zip(args, accepted)):
            return None
        return paths[all(arg == types.float32 for arg, kind in zip(args, kinds) if kind == "r")]


def _init_extension():
    """Numba's entry point, which Numba calls once per process: teaches it every function of
    KERNELS."""
    for kernel in KERNELS:
        _register(kernel)
