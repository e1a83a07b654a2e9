# cython: language_level=3
"""The standard normal distribution truncated to [a, b], as NumPy ufuncs in float32 and float64.

    logmass(a, b)   log(N(b) - N(a)), the log of the mass the interval holds
    mean(a, b)      E[X]
    var(a, b)       Var[X]
    cdf(x, a, b)    P(X <= x)
    sf(x, a, b)     P(X > x), computed on its own: never 1 - cdf
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

The loops hold no Python objects, so NumPy runs them without the interpreter lock.
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

ctypedef fused real:
    float
    double


@cython.ufunc
cdef real logmass(real a, real b) noexcept nogil:
    """log(N(b) - N(a)): the log of the standard normal mass on [a, b].

    For N(loc, scale^2) on [lo, hi] the mass is the same, at a = (lo - loc)/scale,
    b = (hi - loc)/scale. -inf for a == b; NaN and the invalid flag for a > b.
    """
    return <real>_TN_LOGMASS(a, b)


@cython.ufunc
cdef real mean(real a, real b) noexcept nogil:
    """Mean of the standard normal truncated to [a, b].

    For N(loc, scale^2) on [lo, hi]: loc + scale * mean((lo - loc)/scale, (hi - loc)/scale).
    a for a == b; NaN and the invalid flag for a > b.
    """
    return <real>_TN_MEAN(a, b)


@cython.ufunc
cdef real var(real a, real b) noexcept nogil:
    """Variance of the standard normal truncated to [a, b]; never negative.

    For N(loc, scale^2) on [lo, hi]: scale**2 * var((lo - loc)/scale, (hi - loc)/scale).
    0 for a == b; NaN and the invalid flag for a > b.
    """
    return <real>_TN_VAR(a, b)


@cython.ufunc
cdef real cdf(real x, real a, real b) noexcept nogil:
    """P(X <= x) for X standard normal truncated to [a, b]: 1 for x >= b, else 0 for x <= a.

    For N(loc, scale^2) on [lo, hi]: cdf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale).
    Accurate relative to its own size, however close to 0; NaN and the invalid flag for a > b.
    """
    return <real>_TN_CDF(x, a, b)


@cython.ufunc
cdef real sf(real x, real a, real b) noexcept nogil:
    """P(X > x) for X standard normal truncated to [a, b]: 0 for x >= b, else 1 for x <= a.

    For N(loc, scale^2) on [lo, hi]: sf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale).
    Computed on its own, not as 1 - cdf, so it keeps its relative accuracy however small it is;
    NaN and the invalid flag for a > b.
    """
    return <real>_TN_SF(x, a, b)
