"""The truncated normal as a distribution of SciPy's distribution infrastructure, computed by zelnor:
zelnor.truncnorm.TruncatedNormal(mu=0, sigma=1, lb=-inf, ub=inf).

N(mu, sigma^2) truncated to [lb, ub], in data units as scipy.stats.truncate(Normal(mu=mu,
sigma=sigma), lb, ub) takes them. The methods SciPy would otherwise fall back on numerical
integration or root finding for come from zelnor's ufuncs on the standardised arguments
a = (lb - mu)/sigma, b = (ub - mu)/sigma and z = (x - mu)/sigma: pdf, logpdf, cdf, logcdf, ccdf,
logccdf, icdf, iccdf, mean, variance, entropy and sample.
"""
try:
    from scipy import stats
except ImportError as error:
    raise ImportError(
        "zelnor.truncnorm.TruncatedNormal is built on SciPy's distribution infrastructure; "
        "install SciPy with: pip install 'zelnor[scipy]'"
    ) from error
import numpy as np

from zelnor import truncnorm as tn


def _ends(mu, sigma, lb, ub):
    return (lb - mu) / sigma, (ub - mu) / sigma


# A point whose offset t from an end, in standard units, is below this over (1 + |end|) is placed
# from t itself: the rounding of z = end + t would lose t (or all of it, at 1e-300 from an end), while
# there the density is f(end) exp(-t (end + t/2)) and the mass f(end) t (1 - end t/2) to a relative
# (end^2 + 1) t^2/6 < 1e-19.
_NEAR_END = 2.0**-30


class _Point:
    """x in standard units: z = (x - mu)/sigma and the ends a, b; where x lies just inside an end,
    its offset t from that end, t_lo = (x - lb)/sigma or t_hi = (ub - x)/sigma, formed from the
    difference in data units (exact within a factor 2 of the end), and masks saying where."""

    def __init__(self, x, mu, sigma, lb, ub):
        self.a, self.b = _ends(mu, sigma, lb, ub)
        with np.errstate(invalid="ignore"):
            self.t_lo, self.t_hi = (x - lb) / sigma, (ub - x) / sigma
            self.lo = (self.t_lo >= 0) & (self.t_lo * (1 + np.abs(self.a)) < _NEAR_END) & (self.t_lo <= self.t_hi)
            self.hi = (self.t_hi >= 0) & (self.t_hi * (1 + np.abs(self.b)) < _NEAR_END) & ~self.lo
        self.z = (x - mu) / sigma

    def args(self):
        return self.z, self.a, self.b

    def density(self, log):
        """f(z) or log f(z) for the standardised truncated normal."""
        f = tn.logpdf if log else tn.pdf
        r = f(*self.args())
        with np.errstate(all="ignore"):
            e_lo = -self.t_lo * (self.a + 0.5 * self.t_lo)
            e_hi = self.t_hi * (self.b - 0.5 * self.t_hi)
            if log:
                near_lo, near_hi = f(self.a, self.a, self.b) + e_lo, f(self.b, self.a, self.b) + e_hi
            else:
                near_lo, near_hi = f(self.a, self.a, self.b) * np.exp(e_lo), f(self.b, self.a, self.b) * np.exp(e_hi)
        return np.where(self.lo, near_lo, np.where(self.hi, near_hi, r))[()]

    def mass(self, upper, log):
        """P(X <= z), or P(X > z) if upper; their logs if log."""
        f = {(False, False): tn.cdf, (False, True): tn.logcdf, (True, False): tn.sf, (True, True): tn.logsf}
        r = f[upper, log](*self.args())
        with np.errstate(all="ignore"):
            # The logs of the small masses between the point and the end it lies next to.
            lm_lo = tn.logpdf(self.a, self.a, self.b) + np.log(self.t_lo) + np.log1p(-0.5 * self.a * self.t_lo)
            lm_hi = tn.logpdf(self.b, self.a, self.b) + np.log(self.t_hi) + np.log1p(0.5 * self.b * self.t_hi)
            near_lo = _complement(lm_lo, log) if upper else _value(lm_lo, log)
            near_hi = _value(lm_hi, log) if upper else _complement(lm_hi, log)
        return np.where(self.lo, near_lo, np.where(self.hi, near_hi, r))[()]


def _value(log_m, log):
    """m, or its log, from log m."""
    return log_m if log else np.exp(log_m)


def _complement(log_m, log):
    """1 - m, or its log, from log m."""
    return np.log1p(-np.exp(log_m)) if log else -np.expm1(log_m)


def _to_data(z, mu, sigma, lb, ub):
    """mu + sigma z, kept inside [lb, ub] against the rounding of the product and sum."""
    return np.clip(mu + sigma * z, lb, ub)


class _TruncatedNormal:
    """The interface scipy.stats.make_distribution reads."""

    __make_distribution_version__ = "1.16.0"

    parameters = {
        "mu": {"endpoints": (-np.inf, np.inf)},
        "sigma": {"endpoints": (0, np.inf), "inclusive": (False, False)},
        "lb": {"endpoints": (-np.inf, "ub"), "inclusive": (True, False)},
        "ub": {"endpoints": ("lb", np.inf), "inclusive": (False, True)},
    }
    support = {"endpoints": ("lb", "ub"), "inclusive": (True, True)}

    def pdf(self, x, *, mu, sigma, lb, ub):
        return _Point(x, mu, sigma, lb, ub).density(log=False) / sigma

    def logpdf(self, x, *, mu, sigma, lb, ub):
        return _Point(x, mu, sigma, lb, ub).density(log=True) - np.log(sigma)

    def cdf(self, x, *, mu, sigma, lb, ub):
        return _Point(x, mu, sigma, lb, ub).mass(upper=False, log=False)

    def logcdf(self, x, *, mu, sigma, lb, ub):
        return _Point(x, mu, sigma, lb, ub).mass(upper=False, log=True)

    def ccdf(self, x, *, mu, sigma, lb, ub):
        return _Point(x, mu, sigma, lb, ub).mass(upper=True, log=False)

    def logccdf(self, x, *, mu, sigma, lb, ub):
        return _Point(x, mu, sigma, lb, ub).mass(upper=True, log=True)

    def icdf(self, p, *, mu, sigma, lb, ub):
        return _to_data(tn.ppf(p, *_ends(mu, sigma, lb, ub)), mu, sigma, lb, ub)

    def iccdf(self, p, *, mu, sigma, lb, ub):
        return _to_data(tn.isf(p, *_ends(mu, sigma, lb, ub)), mu, sigma, lb, ub)

    def entropy(self, *, mu, sigma, lb, ub):
        return tn.entropy(*_ends(mu, sigma, lb, ub)) + np.log(sigma)

    def moment(self, order, kind, *, mu, sigma, lb, ub):
        # The mean and the variance; SciPy derives the others from the pdf as for any distribution.
        if order == 1 and kind == "raw":
            return mu + sigma * tn.mean(*_ends(mu, sigma, lb, ub))
        if order == 2 and kind == "central":
            return sigma**2 * tn.var(*_ends(mu, sigma, lb, ub))
        return None

    def sample(self, shape, *, rng, mu, sigma, lb, ub):
        return _to_data(tn.sample(*_ends(mu, sigma, lb, ub), size=shape, rng=rng), mu, sigma, lb, ub)


class TruncatedNormal(stats.make_distribution(_TruncatedNormal())):
    """N(mu, sigma^2) truncated to [lb, ub]: a scipy.stats ContinuousDistribution computed by zelnor.

    Parameters (keywords, in data units): mu = 0, sigma = 1, lb = -inf, ub = inf, with lb < ub.
    pdf, logpdf, cdf, logcdf, ccdf, logccdf, icdf, iccdf, mean, variance, entropy and sample are
    zelnor's, accurate however far in a tail or narrow the interval is; everything else
    (transformations such as 2*X + 1, plot, median, moments, ...) is SciPy's.
    """

    def __init__(self, *, mu=0.0, sigma=1.0, lb=-np.inf, ub=np.inf, **kwargs):
        super().__init__(mu=mu, sigma=sigma, lb=lb, ub=ub, **kwargs)
