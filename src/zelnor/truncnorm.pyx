# cython: language_level=3
"""The standard normal distribution truncated to [a, b], as NumPy ufuncs in float32 and float64.

    logmass(a, b)   log(N(b) - N(a)), the log of the mass the interval holds
    mean(a, b)      E[X]
    var(a, b)       Var[X]
    cdf(x, a, b)    P(X <= x)
    sf(x, a, b)     P(X > x), computed on its own: never 1 - cdf

Accurate everywhere, also where the textbook formulas cancel: far in a tail, for narrow intervals,
for a tiny interval across zero. a < b, either end may be infinite. a == b gives the limits (log
mass -inf, mean a, var 0, the distribution of the point a); a > b gives NaN and raises the invalid
floating-point flag, so np.errstate decides between silence, a warning and FloatingPointError; NaN
in gives NaN out quietly. float32 input is computed in double and rounded.

For the normal distribution N(loc, scale^2) truncated to [lo, hi], standardise the ends,
a = (lo - loc)/scale and b = (hi - loc)/scale; then

    mean      = loc + scale * mean(a, b)
    variance  = scale**2 * var(a, b)
    log mass  = logmass(a, b)
    P(Y <= y) = cdf((y - loc)/scale, a, b)

The loops hold no Python objects, so NumPy runs them without the interpreter lock. Integer and
bool input runs in float64.

Conventions of this module, for each ufunc:
- The C function is named truncnorm_<name>: the ufunc's __name__, which NumPy's warnings and errors
  quote ("invalid value encountered in truncnorm_var") and which pickle looks up in this module; the
  public name <name> is the same object, assigned below and listed in __all__.
- Its docstring's first line is the call with the arguments' names, "cdf(x, a, b)": NumPy's own
  first line can only say x1, x2, x3.
- It evaluates its kernel inside a flag window, flag_state() before and result_flags() after (see
  _ufuncs_flags.h), so that the floating-point flags describe the result and never the steps to it.
"""
cimport cython

# Each element's flags describe its result: flag_state() before the kernel call, result_flags(before,
# value, arguments...) after it, which also rounds the double value to the loop's type.
cdef extern from "_ufuncs_flags.h" namespace "zelnor" nogil:
    ctypedef unsigned FlagState
    FlagState flag_state()
    T result_flags[W, T](FlagState before, W value, T x, T y)
    T result_flags[W, T](FlagState before, W value, T x, T y, T z)

# float64 first: NumPy takes the first loop that input can be cast to safely, so integers and bool
# run in double; float32 input still matches the float loop exactly.
ctypedef fused real:
    double
    float

__all__ = ["logmass", "mean", "var", "cdf", "sf"]


@cython.ufunc
cdef real truncnorm_logmass(real a, real b) noexcept nogil:
    """logmass(a, b)

    log(N(b) - N(a)): the log of the standard normal mass on [a, b].

    For N(loc, scale^2) on [lo, hi] the mass is the same, at a = (lo - loc)/scale,
    b = (hi - loc)/scale. -inf for a == b; NaN and the invalid flag for a > b.
    """
    # The limit -inf of an empty interval is exact: not an overflow, so no flag.
    if a == b:
        return <real>_TN_LOGMASS(a, b)
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_LOGMASS(a, b), a, b)


@cython.ufunc
cdef real truncnorm_mean(real a, real b) noexcept nogil:
    """mean(a, b)

    Mean of the standard normal truncated to [a, b].

    For N(loc, scale^2) on [lo, hi]: loc + scale * mean((lo - loc)/scale, (hi - loc)/scale).
    a for a == b; NaN and the invalid flag for a > b.
    """
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_MEAN(a, b), a, b)


@cython.ufunc
cdef real truncnorm_var(real a, real b) noexcept nogil:
    """var(a, b)

    Variance of the standard normal truncated to [a, b]; never negative.

    For N(loc, scale^2) on [lo, hi]: scale**2 * var((lo - loc)/scale, (hi - loc)/scale).
    0 for a == b; NaN and the invalid flag for a > b.
    """
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_VAR(a, b), a, b)


@cython.ufunc
cdef real truncnorm_cdf(real x, real a, real b) noexcept nogil:
    """cdf(x, a, b)

    P(X <= x) for X standard normal truncated to [a, b]: 1 for x >= b, else 0 for x <= a.

    For N(loc, scale^2) on [lo, hi]: cdf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale).
    Accurate relative to its own size, however close to 0; NaN and the invalid flag for a > b.
    """
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_CDF(x, a, b), x, a, b)


@cython.ufunc
cdef real truncnorm_sf(real x, real a, real b) noexcept nogil:
    """sf(x, a, b)

    P(X > x) for X standard normal truncated to [a, b]: 0 for x >= b, else 1 for x <= a.

    For N(loc, scale^2) on [lo, hi]: sf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale).
    Computed on its own, not as 1 - cdf, so it keeps its relative accuracy however small it is;
    NaN and the invalid flag for a > b.
    """
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_SF(x, a, b), x, a, b)


logmass = truncnorm_logmass
mean = truncnorm_mean
var = truncnorm_var
cdf = truncnorm_cdf
sf = truncnorm_sf


def __dir__():
    return __all__
