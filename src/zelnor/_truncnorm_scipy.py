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

from zelnor import millsratio, millsratio_dd
from zelnor import truncnorm as tn


def _ends(mu, sigma, lb, ub):
    return (lb - mu) / sigma, (ub - mu) / sigma


def _end_mass(e, t):
    """(N(e + t) - N(e))/n(e) for t >= 0, without forming the point e + t, whose rounding would lose
    t: with R the Mills ratio and D(x, h) = (R(x - h) - R(x + h))/(2 h) its divided difference,
        e <= 0 (u = -e):  t D(u - t/2, t/2) + expm1(t (u - t/2)) R(u - t)
        e > 0:            t D(e + t/2, t/2) - expm1(-t (e + t/2)) R(e + t)
    two positive terms each; rounding the arguments of D and R costs only their smoothness."""
    h = 0.5 * t
    left = e <= 0
    u = np.where(left, -e, e)
    d = t * millsratio_dd(np.where(left, u - h, u + h), h)
    return np.where(left, d + np.expm1(t * (u - h)) * millsratio(u - t),
                    d - np.expm1(-t * (u + h)) * millsratio(u + t))


class _Point:
    """x in standard units. Where x lies near an end, closer than max(1, |end|)/16 over
    1 + |log f(end)| (f the standardised density), it is placed by its offset t from that end,
    t = (x - lb)/sigma or (ub - x)/sigma, formed from the difference in data units (exact within a
    factor 2 of the end): the rounding of z = (x - mu)/sigma would cost max(1, |end|) eps/t of the
    result, or all of it when the point rounds onto the end, while the offset route costs about
    (5 + |log f(end)|) eps, the accuracy of f(end). Elsewhere, and wherever z - end is t exactly,
    the ufuncs take z, a and b."""

    def __init__(self, x, mu, sigma, lb, ub):
        self.a, self.b = _ends(mu, sigma, lb, ub)
        self.z = (x - mu) / sigma
        with np.errstate(invalid="ignore"):
            t_lo, t_hi = (x - lb) / sigma, (ub - x) / sigma
            # The near end, reflected to be the lower one ([a, b] -> [-b, -a] for the upper end).
            self.upper_end = t_hi < t_lo
            self.e = np.where(self.upper_end, -self.b, self.a)
            other = np.where(self.upper_end, -self.a, self.b)
            self.t = np.where(self.upper_end, t_hi, t_lo)
            self.log_f = tn.logpdf(self.e, self.e, other)
            close = (self.t >= 0) & (self.t * (1 + np.abs(self.log_f)) < np.maximum(1, np.abs(self.e)) / 16)
            # Where z - e is t, the standardisation lost nothing and the ufuncs take the point.
            self.near = close & (np.where(self.upper_end, self.b - self.z, self.z - self.a) != self.t)

    def args(self):
        return self.z, self.a, self.b

    def density(self, log):
        """f(z), or log f(z): near an end, f(e + t) = f(e) exp(-t (e + t/2))."""
        r = (tn.logpdf if log else tn.pdf)(*self.args())
        with np.errstate(all="ignore"):
            log_near = self.log_f - self.t * (self.e + 0.5 * self.t)
            near = log_near if log else np.exp(log_near)
        return np.where(self.near, near, r)[()]

    def mass(self, upper, log):
        """P(X <= z), or P(X > z) if upper; their logs if log."""
        f = {(False, False): tn.cdf, (False, True): tn.logcdf, (True, False): tn.sf, (True, True): tn.logsf}
        r = f[upper, log](*self.args())
        with np.errstate(all="ignore"):
            # The log of the mass between the point and its end; the other side holds 1 minus it.
            log_m = self.log_f + np.log(_end_mass(self.e, self.t))
            small = log_m if log else np.exp(log_m)
            large = np.log1p(-np.exp(log_m)) if log else -np.expm1(log_m)
            near = np.where(self.upper_end == upper, small, large)
        return np.where(self.near, near, r)[()]


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
