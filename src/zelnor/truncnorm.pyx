# cython: language_level=3
"""The standard normal distribution truncated to [a, b], as NumPy ufuncs in float32 and float64.

    logmass(a, b)   log(N(b) - N(a)), the log of the mass the interval holds
    mean(a, b)      E[X]
    var(a, b)       Var[X]
    cdf(x, a, b)    P(X <= x)
    sf(x, a, b)     P(X > x), computed on its own: never 1 - cdf
    pdf(x, a, b), logpdf(x, a, b)     the density and its log
    logcdf(x, a, b), logsf(x, a, b)   log P(X <= x), log P(X > x), finite where they underflow
    ppf(p, a, b), isf(q, a, b)        the inverses of cdf and sf
    entropy(a, b)   the differential entropy
    dlogmass(a, b)  the derivatives of the log mass in a and in b (two outputs)
    sample(a, b, size=None, rng=None)   exact draws, from a NumPy generator

and TruncatedNormal(mu=0, sigma=1, lb=-inf, ub=inf), the distribution in data units as an object of
SciPy's distribution infrastructure (scipy.stats.Normal and friends), computed by these functions;
it needs SciPy (pip install 'zelnor[scipy]').

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
    density   = pdf((y - loc)/scale, a, b) / scale
    quantile  = loc + scale * ppf(p, a, b)
    entropy   = entropy(a, b) + log(scale)

The loops hold no Python objects, so NumPy runs them without the interpreter lock. Integer and
bool input runs in float64.

Conventions of this module, for each ufunc:
- The C function is named truncnorm_<name>: the ufunc's __name__, which NumPy's warnings and errors
  quote ("invalid value encountered in truncnorm_var") and which pickle looks up in this module; the
  public name <name> is the same object, assigned below and listed in __all__.
- Its docstring's first line is the call with the arguments' names, "cdf(x, a, b)": NumPy's own
  first line can only say x1, x2, x3.
- It evaluates its kernel inside a flag window, flag_state() before and result_flags() after (see
  _ufuncs_flags.h), so that the floating-point flags describe the result and never the steps to it:
  nothing on a normal result, overflow on an infinite one from finite arguments, underflow only on
  a subnormal or zero one. An infinity that is exact and not a pole (log mass -inf at a == b) is
  returned before the window opens, so that it raises nothing.
"""
cimport cython

from zelnor._truncnorm_sample import sample


def __getattr__(name):
    # TruncatedNormal is built when first asked for, so that the module imports without SciPy; the
    # ImportError of zelnor._truncnorm_scipy says what to install.
    if name == "TruncatedNormal":
        from zelnor._truncnorm_scipy import TruncatedNormal
        return TruncatedNormal
    raise AttributeError(f"module 'zelnor.truncnorm' has no attribute {name!r}")

# Each element's flags describe its result: flag_state() before the kernel call, result_flags(before,
# value, arguments...) after it, which also rounds the double value to the loop's type.
cdef extern from "_ufuncs_flags.h" namespace "zelnor" nogil:
    ctypedef unsigned FlagState
    FlagState flag_state()
    void restore_flags(FlagState s)
    T result_flags[W, T](FlagState before, W value, T x, T y)
    T result_flags[W, T](FlagState before, W value, T x, T y, T z)

# float64 first: NumPy takes the first loop that input can be cast to safely, so integers and bool
# run in double; float32 input still matches the float loop exactly.
ctypedef fused real:
    double
    float

__all__ = ["logmass", "mean", "var", "cdf", "sf", "pdf", "logpdf", "logcdf", "logsf", "ppf", "isf", "entropy",
           "dlogmass", "sample"]


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



# The exact infinities of the log density outside [a, b] and at a == b, and of the log probabilities
# at the ends, are limits, not overflows: returned outside the flag window, with no flag.
cdef inline bint outside(real x, real a, real b) noexcept nogil:
    return not (x != x or a != a or b != b) and (x <= a or x >= b)


@cython.ufunc
cdef real truncnorm_pdf(real x, real a, real b) noexcept nogil:
    """pdf(x, a, b)

    The density of the standard normal truncated to [a, b] at x; 0 outside.

    For N(loc, scale^2) on [lo, hi]: pdf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale) / scale.
    exp(logpdf), with the relative accuracy of exp at that argument. a == b gives inf at x == a;
    NaN and the invalid flag for a > b.
    """
    if a == b and x == a:
        return <real>_TN_PDF(x, a, b)
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_PDF(x, a, b), x, a, b)


@cython.ufunc
cdef real truncnorm_logpdf(real x, real a, real b) noexcept nogil:
    """logpdf(x, a, b)

    The log density of the standard normal truncated to [a, b] at x; -inf outside.

    For N(loc, scale^2) on [lo, hi]: logpdf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale)
    - log(scale). Far out the difference of squares x^2 - a^2 is formed exactly, never the log of an
    underflowed density over an underflowed mass. NaN and the invalid flag for a > b.
    """
    if outside(x, a, b) and (x < a or x > b or a == b):
        return <real>_TN_LOGPDF(x, a, b)
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_LOGPDF(x, a, b), x, a, b)


@cython.ufunc
cdef real truncnorm_logcdf(real x, real a, real b) noexcept nogil:
    """logcdf(x, a, b)

    log P(X <= x) for X standard normal truncated to [a, b]: -inf for x <= a, 0 for x >= b.

    For N(loc, scale^2) on [lo, hi]: logcdf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale).
    Finite wherever the probability is positive, also where it underflows (logcdf(-40, -inf, inf) =
    -804.608...), and near 0 it keeps the digits of the small complement. NaN and the invalid flag for
    a > b.
    """
    if outside(x, a, b):
        return <real>_TN_LOGCDF(x, a, b)
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_LOGCDF(x, a, b), x, a, b)


@cython.ufunc
cdef real truncnorm_logsf(real x, real a, real b) noexcept nogil:
    """logsf(x, a, b)

    log P(X > x) for X standard normal truncated to [a, b]: 0 for x <= a, -inf for x >= b.

    For N(loc, scale^2) on [lo, hi]: logsf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale).
    Finite wherever the probability is positive, also where it underflows; computed on its own, not
    from logcdf. NaN and the invalid flag for a > b.
    """
    if outside(x, a, b):
        return <real>_TN_LOGSF(x, a, b)
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_LOGSF(x, a, b), x, a, b)


@cython.ufunc
cdef real truncnorm_ppf(real p, real a, real b) noexcept nogil:
    """ppf(p, a, b)

    The quantile x in [a, b] with P(X <= x) = p, the inverse of cdf.

    For N(loc, scale^2) on [lo, hi]: loc + scale * ppf(p, (lo - loc)/scale, (hi - loc)/scale).
    p = 0 gives a and p = 1 gives b; the result is never outside [a, b]. p outside [0, 1] or a > b
    gives NaN and the invalid flag. For upper-tail probabilities take isf, which keeps their digits.
    """
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_PPF(p, a, b), p, a, b)


@cython.ufunc
cdef real truncnorm_isf(real q, real a, real b) noexcept nogil:
    """isf(q, a, b)

    The point x in [a, b] with P(X > x) = q, the inverse of sf.

    For N(loc, scale^2) on [lo, hi]: loc + scale * isf(q, (lo - loc)/scale, (hi - loc)/scale).
    q = 0 gives b and q = 1 gives a; the result is never outside [a, b], and q = 1e-300 keeps its
    digits. q outside [0, 1] or a > b gives NaN and the invalid flag.
    """
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_ISF(q, a, b), q, a, b)


@cython.ufunc
cdef real truncnorm_entropy(real a, real b) noexcept nogil:
    """entropy(a, b)

    The differential entropy of the standard normal truncated to [a, b].

    For N(loc, scale^2) on [lo, hi]: entropy((lo - loc)/scale, (hi - loc)/scale) + log(scale).
    Exact far in a tail, where the textbook formula cancels. -inf for a == b; NaN and the invalid
    flag for a > b.
    """
    # The limit -inf of an empty interval is exact: not an overflow, so no flag.
    if a == b:
        return <real>_TN_ENTROPY(a, b)
    cdef FlagState before = flag_state()
    return result_flags(before, _TN_ENTROPY(a, b), a, b)


@cython.ufunc
cdef (real, real) truncnorm_dlogmass(real a, real b) noexcept nogil:
    """dlogmass(a, b)

    The two partial derivatives of log(N(b) - N(a)), in a and in b.

    Returns (-n(a)/(N(b) - N(a)), n(b)/(N(b) - N(a))), each 0 at an infinite end: the score of
    interval-censored and ordered-probit likelihoods, exact however far out or narrow the interval.
    For N(loc, scale^2) on [lo, hi] the derivatives in lo and hi are these at the standardised ends,
    divided by scale. (-inf, inf) for a == b; NaN and the invalid flag for a > b.
    """
    cdef double da, db
    # The limits (-inf, inf) of an empty interval are exact: no flag.
    if a == b:
        _TN_DLOGMASS(a, b, &da, &db)
        return <real>da, <real>db
    cdef FlagState before = flag_state()
    _TN_DLOGMASS(a, b, &da, &db)
    # Each output's flags judged on its own, the union kept.
    cdef FlagState raw = flag_state()
    cdef real first = result_flags(before, da, a, b)
    cdef FlagState judged = flag_state()
    restore_flags(raw)
    cdef real second = result_flags(before, db, a, b)
    restore_flags(flag_state() | judged)
    return first, second


logmass = truncnorm_logmass
mean = truncnorm_mean
var = truncnorm_var
cdf = truncnorm_cdf
sf = truncnorm_sf
pdf = truncnorm_pdf
logpdf = truncnorm_logpdf
logcdf = truncnorm_logcdf
logsf = truncnorm_logsf
ppf = truncnorm_ppf
isf = truncnorm_isf
entropy = truncnorm_entropy
dlogmass = truncnorm_dlogmass


def __dir__():
    # TruncatedNormal is public but left out of __all__: a star import must not need SciPy.
    return __all__ + ["TruncatedNormal"]
