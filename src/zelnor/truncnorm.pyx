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

The loops hold no Python objects, so NumPy runs them without the interpreter lock.
"""
cimport cython

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


@cython.ufunc
cdef real pdf(real x, real a, real b) noexcept nogil:
    """pdf(x, a, b): the density of the standard normal truncated to [a, b] at x; 0 outside.

    For N(loc, scale^2) on [lo, hi]: pdf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale) / scale.
    exp(logpdf), with the relative accuracy of exp at that argument. a == b gives inf at x == a;
    NaN and the invalid flag for a > b.
    """
    return <real>_TN_PDF(x, a, b)


@cython.ufunc
cdef real logpdf(real x, real a, real b) noexcept nogil:
    """logpdf(x, a, b): the log density of the standard normal truncated to [a, b] at x; -inf outside.

    For N(loc, scale^2) on [lo, hi]: logpdf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale)
    - log(scale). Far out the difference of squares x^2 - a^2 is formed exactly, never the log of an
    underflowed density over an underflowed mass. NaN and the invalid flag for a > b.
    """
    return <real>_TN_LOGPDF(x, a, b)


@cython.ufunc
cdef real logcdf(real x, real a, real b) noexcept nogil:
    """logcdf(x, a, b): log P(X <= x) for X standard normal truncated to [a, b].

    For N(loc, scale^2) on [lo, hi]: logcdf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale).
    Finite wherever the probability is positive, also where it underflows (logcdf(-40, -inf, inf) =
    -804.608...), and near 0 it keeps the digits of the small complement. NaN and the invalid flag for
    a > b.
    """
    return <real>_TN_LOGCDF(x, a, b)


@cython.ufunc
cdef real logsf(real x, real a, real b) noexcept nogil:
    """logsf(x, a, b): log P(X > x) for X standard normal truncated to [a, b].

    For N(loc, scale^2) on [lo, hi]: logsf((y - loc)/scale, (lo - loc)/scale, (hi - loc)/scale).
    Finite wherever the probability is positive, also where it underflows; computed on its own, not
    from logcdf. NaN and the invalid flag for a > b.
    """
    return <real>_TN_LOGSF(x, a, b)


@cython.ufunc
cdef real ppf(real p, real a, real b) noexcept nogil:
    """ppf(p, a, b): the quantile x in [a, b] with P(X <= x) = p, the inverse of cdf.

    For N(loc, scale^2) on [lo, hi]: loc + scale * ppf(p, (lo - loc)/scale, (hi - loc)/scale).
    p = 0 gives a and p = 1 gives b; the result is never outside [a, b]. p outside [0, 1] or a > b
    gives NaN and the invalid flag. For upper-tail probabilities take isf, which keeps their digits.
    """
    return <real>_TN_PPF(p, a, b)


@cython.ufunc
cdef real isf(real q, real a, real b) noexcept nogil:
    """isf(q, a, b): the point x in [a, b] with P(X > x) = q, the inverse of sf.

    For N(loc, scale^2) on [lo, hi]: loc + scale * isf(q, (lo - loc)/scale, (hi - loc)/scale).
    q = 0 gives b and q = 1 gives a; the result is never outside [a, b], and q = 1e-300 keeps its
    digits. q outside [0, 1] or a > b gives NaN and the invalid flag.
    """
    return <real>_TN_ISF(q, a, b)


@cython.ufunc
cdef real entropy(real a, real b) noexcept nogil:
    """entropy(a, b): the differential entropy of the standard normal truncated to [a, b].

    For N(loc, scale^2) on [lo, hi]: entropy((lo - loc)/scale, (hi - loc)/scale) + log(scale).
    Exact far in a tail, where the textbook formula cancels. -inf for a == b; NaN and the invalid
    flag for a > b.
    """
    return <real>_TN_ENTROPY(a, b)


@cython.ufunc
cdef (real, real) dlogmass(real a, real b) noexcept nogil:
    """dlogmass(a, b): the two partial derivatives of log(N(b) - N(a)), in a and in b.

    Returns (-n(a)/(N(b) - N(a)), n(b)/(N(b) - N(a))), each 0 at an infinite end: the score of
    interval-censored and ordered-probit likelihoods, exact however far out or narrow the interval.
    For N(loc, scale^2) on [lo, hi] the derivatives in lo and hi are these at the standardised ends,
    divided by scale. (-inf, inf) for a == b; NaN and the invalid flag for a > b.
    """
    cdef double da, db
    _TN_DLOGMASS(a, b, &da, &db)
    return <real>da, <real>db
