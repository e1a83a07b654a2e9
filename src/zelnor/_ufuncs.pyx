# cython: language_level=3
"""NumPy ufuncs over the Mills-ratio kernels, in float32 and float64.

Each function is a real numpy.ufunc: float32 input runs the float instantiation of the kernel and
any other real input (float64, integers, bool, float16) the double one, as for SciPy's special
functions; a Python scalar beside float32 arrays makes it float64 too, unless dtype= or signature=
says float32. out=, where=, dtype=, casting=, broadcasting, .outer and __array_ufunc__ (Dask, xarray)
behave as for any NumPy ufunc.

The floating-point flags describe each result, so np.errstate decides between silence, a warning and
FloatingPointError as it does for np.exp: invalid where the result is NaN from non-NaN arguments
(outside a function's domain), overflow where it is infinite from finite ones, divide-by-zero at a
pole, underflow only where it is subnormal or zero; nothing where it is a normal number. The loops
hold no Python objects, so NumPy runs them without the interpreter lock.
"""
cimport cython
cimport numpy as cnp
from libc.stdint cimport int64_t

# The templates are called with the element type deduced from the argument: a fused type cannot be
# passed as an explicit C++ template argument.
cdef extern from "_kernels/mills.h" namespace "zelnor" nogil:
    T MillsRatioRel_below1[T](T x)

# R, -R' and -R''' have hand-written loops: the vector blocks on contiguous input (bit for bit the
# kernels), the kernels one element at a time on strided input; the float64 loop first, then float32.
cdef extern from "_ufuncs_vector.h" namespace "zelnor":
    cnp.PyUFuncGenericFunction millsratio_loops[2]
    cnp.PyUFuncGenericFunction millsratio_d1_loops[2]
    cnp.PyUFuncGenericFunction millsratio_d3_loops[2]
    bint set_vector_path(const char* name)
    const char* vector_path_name()

cdef extern from "_kernels/divdiff.h" namespace "zelnor" nogil:
    T MillsRatioDiff[T](T x, T dx, int theta)
    T MillsRatioDiff_CF[T](T x, T dx, int n_terms)

# Each element's flags describe its result (see _ufuncs_flags.h): flag_state() before the kernel call,
# result_flags(before, value, arguments...) after it. invalid_nan: a quiet NaN with the invalid flag.
cdef extern from "_ufuncs_flags.h" namespace "zelnor" nogil:
    ctypedef unsigned FlagState
    FlagState flag_state()
    T result_flags[W, T](FlagState before, W value, T x)
    T result_flags[W, T](FlagState before, W value, T x, T y)
    T invalid_nan[T](T like)

cdef extern from "<climits>":
    const int INT_MAX

# float64 first: NumPy takes the first loop that input can be cast to safely, so integers and bool
# run in double; float32 input still matches the float loop exactly.
ctypedef fused real:
    double
    float


cnp.import_ufunc()

cdef char mills_types[4]
mills_types[:] = [cnp.NPY_DOUBLE, cnp.NPY_DOUBLE, cnp.NPY_FLOAT, cnp.NPY_FLOAT]
cdef void* no_loop_data[2]
no_loop_data[:] = [NULL, NULL]

# NumPy keeps pointers to the name and the docstring: they point into bytes objects this module holds.
_names_and_docs = {
    "millsratio": (b"millsratio", b"""Mills ratio R(x) = N(-x)/n(x) of the standard normal distribution, for any real x.

    +inf below the point where exp(x^2/2) overflows, 1/x far in the tail.
    """),
    "millsratio_d1": (b"millsratio_d1",
                      b"""-R'(x) = 1 - x R(x), without the cancellation of that difference; any real x."""),
    "millsratio_d3": (b"millsratio_d3",
                      b"""-R'''(x) = x^2 + 2 - x (x^2 + 3) R(x), without the cancellation of that difference; any real x."""),
}


cdef mills_ufunc(cnp.PyUFuncGenericFunction* loops, str key):
    name, doc = _names_and_docs[key]
    return cnp.PyUFunc_FromFuncAndData(loops, no_loop_data, mills_types, 2, 1, 1, cnp.PyUFunc_None,
                                       name, doc, 0)


millsratio = mills_ufunc(millsratio_loops, "millsratio")
millsratio_d1 = mills_ufunc(millsratio_d1_loops, "millsratio_d1")
millsratio_d3 = mills_ufunc(millsratio_d3_loops, "millsratio_d3")


def _set_vector_path(name):
    """Run the contiguous loops of millsratio, millsratio_d1 and millsratio_d3 on the vector path
    `name` ("baseline", and on x86-64 "avx2" or "avx512"), for tests; returns the previous path's
    name. ValueError if the path is not built here or this CPU cannot run it."""
    previous = vector_path_name().decode()
    if not set_vector_path(name.encode()):
        raise ValueError(f"vector path {name!r} is not available on this machine")
    return previous


@cython.ufunc
cdef real millsratio_rel_below1(real x) noexcept nogil:
    """Relative form (sqrt(pi/2) - R(x))/x of the Mills ratio, for 0 <= x <= 1.

    Its value at 0 is the limit -R'(0) = 1. Outside [0, 1] the result is NaN and the invalid
    floating-point flag is raised.
    """
    # NaN first: an ordered comparison with a NaN would itself raise the invalid flag.
    if x != x:
        return x
    if not (0 <= x <= 1):
        return invalid_nan(x)
    cdef FlagState before = flag_state()
    return result_flags(before, MillsRatioRel_below1(x), x)


# The two signs of the kernel's selector theta, as two ufuncs: a ufunc has no default arguments.
@cython.ufunc
cdef real millsratio_dd(real x, real dx) noexcept nogil:
    """Symmetric divided difference (R(x - dx) - R(x + dx))/(2 dx) of the Mills ratio.

    Without cancellation for small dx: a Taylor series seeded from -R'''(x), or the divided difference
    of a continued-fraction convergent far in the tail, and for x < 0 beyond the series window (every
    x <= -1.25) a sum of two positive terms from the reflection of R. Even in dx; at dx = 0 it is
    -R'(x). The inputs x1, x2 are x and dx.
    """
    cdef FlagState before = flag_state()
    return result_flags(before, MillsRatioDiff(x, dx, 1), x, dx)


@cython.ufunc
cdef real millsratio_reflected_sum(real x, real dx) noexcept nogil:
    """Reflected sum (R(dx - x) + R(x + dx))/(2 dx) of two Mills ratios.

    Not the arithmetic divided difference: the first argument is reflected, so that for dx > |x| both
    evaluations lie on positive arguments. +inf at dx = +0. The inputs x1, x2 are x and dx.
    """
    cdef FlagState before = flag_state()
    return result_flags(before, MillsRatioDiff(x, dx, -1), x, dx)


@cython.ufunc
cdef real millsratio_dd_cf(real x, real dx, int64_t n_terms) noexcept nogil:
    """Divided difference (K(x - dx) - K(x + dx))/(2 dx) of the continued-fraction convergent K of the
    Mills ratio cut after n_terms partial numerators, by a recurrence that never subtracts close values.

    The inputs x1, x2, x3 are x, dx and n_terms, an integer in [0, 2**31 - 1]; outside that range the
    result is NaN and the invalid floating-point flag is raised. The work grows linearly with n_terms.
    """
    if n_terms < 0 or n_terms > INT_MAX:
        return invalid_nan(x)
    cdef FlagState before = flag_state()
    return result_flags(before, MillsRatioDiff_CF(x, dx, <int>n_terms), x, dx)
