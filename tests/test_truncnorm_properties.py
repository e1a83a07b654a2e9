"""Properties of zelnor.truncnorm that hold on every interval, whatever the regime: a <= mean <= b,
0 <= var <= (b - a)^2/4, 0 <= cdf <= 1, cdf + sf = 1, cdf non-decreasing in x, ppf and isf in [a, b]
and inverting cdf and sf, logcdf and logsf at most 0 and adding up in probability, the signs of the
log mass's slopes, and the uniform limit near 0; no flag but underflow on valid input. The ends are
drawn from Hypothesis strategies aimed at the edges the kernel treats apart: subnormal and huge ends,
infinite ends, and the switches between its regimes (_kernels/truncnorm.h). Derandomized with no
example database, so CI runs the same cases every time; tools/truncnorm_properties.py runs those of the
mean, variance, cdf and sf on 10^6 random intervals."""
import math
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import zelnor.truncnorm as tn

EPS = np.finfo(np.float64).eps
U = 5e-324  # the smallest subnormal
INF = math.inf

# The switches of the kernel and of the Mills-ratio kernels it calls: half-width 1 and x h = 2 (the
# narrow series), the tail variance at t = 1 and c = 1 (cdf and sf), the Mills-ratio depths, the point
# where n(t) underflows, where exp(-c) does, where x^2 overflows and sqrt(2 DBL_MAX).
SWITCHES = [0.0, 1.0, 2.0, 9.5, 11.4, 11.5, 14.5, 15.1, 17.1, 21.2, 24.1, 25.4, 37.67712072049519, 39.0,
            41.0, 50.5, 59.3, 165.0, 210.0, 548.0, 746.0, 12800.0, 17300.0, 6.7e7, 2e9, 1e150, 1.3e154,
            1.8961503816218355e154, 1.7976931348623157e308]

settings.register_profile("ci", derandomize=True, database=None, deadline=None, max_examples=1000)
settings.load_profile("ci")


def near(values):
    """One of values, moved by up to three doubles either way, with either sign."""
    return st.builds(lambda v, k, s: s * _step(v, k), st.sampled_from(values), st.integers(-3, 3),
                     st.sampled_from([1.0, -1.0]))


def _step(v, k):
    for _ in range(abs(k)):
        v = math.nextafter(v, math.copysign(INF, k))
    return v


SUBNORMAL = st.integers(-40, 40).map(lambda k: k * U) | st.floats(-2.3e-308, 2.3e-308)
HUGE = st.floats(1e150, 1.8e308).flatmap(lambda v: st.sampled_from([v, -v]))
END = st.one_of(SUBNORMAL, HUGE, near(SWITCHES), st.floats(-50.0, 50.0), st.floats(allow_nan=False))


def _ordered(a, b):
    return (a, b) if a <= b else (b, a)


def _around(x, h):
    """[x - h, x + h] in double, ordered."""
    with np.errstate(over="ignore"):
        return _ordered(float(np.float64(x) - h), float(np.float64(x) + h))


# Intervals from two ends, one-sided ones, and centre and half-width pairs on the narrow series'
# switches h = 1 and x h = 2.
INTERVAL = st.one_of(
    st.tuples(END, END).map(lambda p: _ordered(*p)),
    st.tuples(SUBNORMAL, SUBNORMAL).map(lambda p: _ordered(*p)),
    END.map(lambda a: (a, INF)),
    END.map(lambda b: (-INF, b)),
    st.tuples(near(SWITCHES[1:24]), near([1.0, 0.5, 2.0])).map(lambda p: _around(p[0], abs(p[1]))),
    near(SWITCHES[1:24]).map(lambda x: _around(x, 2.0 / x if x else 1.0)),
)


def point(a, b):
    """A point of [a, b]: an end, a draw of END clipped to [a, b], or a fraction of a finite width."""
    inside = END.map(lambda x: min(max(x, a), b))
    if math.isfinite(b - a):
        inside |= st.floats(0.0, 1.0).map(lambda f: min(a + f * (b - a), b))
    return st.sampled_from([a, b]) | inside


@st.composite
def interval_and_points(draw):
    a, b = draw(INTERVAL)
    x1, x2 = _ordered(draw(point(a, b)), draw(point(a, b)))
    return a, b, x1, x2


def quiet(f, *args):
    """f(*args) as a Python float, failing on any floating-point flag but underflow."""
    with np.errstate(all="raise", under="ignore"):
        return float(f(*args))


# ---------------------------------------------------------------------------------------------


def mean_inside(a, b, *_):
    m = quiet(tn.mean, a, b)
    assert a <= m <= b, m


def var_bounded(a, b, *_):
    v = quiet(tn.var, a, b)
    with np.errstate(over="ignore"):
        width = np.float64(b) - np.float64(a) if a != b else 0.0  # [inf, inf] has width 0
        assert 0 <= v <= width * width / 4, v


def cdf_sf_probabilities(a, b, x, _):
    c, s = quiet(tn.cdf, x, a, b), quiet(tn.sf, x, a, b)
    assert 0 <= c <= 1 and 0 <= s <= 1, (c, s)


def cdf_sf_sum_to_one(a, b, x, _):
    """Each is within 2e-15 of its exact value; their sum within 8 eps of 1 (5.5 eps measured on 10^6
    random intervals)."""
    c, s = quiet(tn.cdf, x, a, b), quiet(tn.sf, x, a, b)
    assert abs(c + s - 1) <= 8 * EPS, (c, s)


def cdf_non_decreasing(a, b, x1, x2):
    """x1 <= x2: cdf(x1) <= cdf(x2) and sf(x1) >= sf(x2), up to the rounding of either value (the
    exact values of two close points may round across each other): 2 eps relative."""
    c1, c2 = quiet(tn.cdf, x1, a, b), quiet(tn.cdf, x2, a, b)
    s1, s2 = quiet(tn.sf, x1, a, b), quiet(tn.sf, x2, a, b)
    assert c1 <= c2 * (1 + 2 * EPS) and s2 <= s1 * (1 + 2 * EPS), (c1, c2, s1, s2)


def quantiles_inside(a, b, x, _):
    """ppf and isf in [a, b] and never NaN, from the smallest subnormal probability to the largest
    below 1, and at the point's own cdf."""
    for p in (U, 1e-300, quiet(tn.cdf, x, a, b), 0.5, 1 - 2**-53):
        for f in (tn.ppf, tn.isf):
            y = quiet(f, p, a, b)
            assert a <= y <= b, (f.__name__, p, y)


def quantiles_invert(a, b, x, _):
    """ppf(cdf(x)) = x and isf(sf(x)) = x to 4 ulp plus 1e-13 of the probability, or the subnormal
    spacing U it is rounded to, over the density; where the probability is not rounded to 0 or 1."""
    with np.errstate(all="ignore"):
        f = float(tn.pdf(x, a, b))
    for inverse, forward in ((tn.ppf, tn.cdf), (tn.isf, tn.sf)):
        p = quiet(forward, x, a, b)
        if 0 < p < 1:
            y = quiet(inverse, p, a, b)
            assert abs(y - x) <= 4 * math.ulp(x) + ((1e-13 * p + U) / f if f > 0 else INF), (inverse.__name__, p, y)


def log_probabilities(a, b, x, _):
    """logcdf, logsf <= 0, and their exponentials add to 1 within 8 eps."""
    lc, ls = quiet(tn.logcdf, x, a, b), quiet(tn.logsf, x, a, b)
    assert lc <= 0 and ls <= 0 and abs(math.exp(lc) + math.exp(ls) - 1) <= 8 * EPS, (lc, ls)


def density_entropy_slopes(a, b, x, _):
    """No flag but underflow, never NaN, and -dlogmass/da, dlogmass/db >= 0; overflow only where the
    value lies beyond the double range: a log density below -1.8e308 (|x| beyond 1.3e154), and the
    density and slopes 1/(b - a) of a width below 1/DBL_MAX."""
    narrower = b - a < 1 / np.finfo(np.float64).max
    over = {"over": "ignore"} if narrower or abs(x) >= 1.3e154 else {}
    with np.errstate(all="raise", under="ignore", **over):
        values = [tn.logpdf(x, a, b), tn.pdf(x, a, b), tn.entropy(a, b), *tn.dlogmass(a, b)]
    assert not np.isnan(values).any() and values[1] >= 0 and values[3] <= 0 <= values[4], values
    if math.isinf(values[4]) and not math.isinf(b):
        assert narrower, values


PROPERTIES = [mean_inside, var_bounded, cdf_sf_probabilities, cdf_sf_sum_to_one, cdf_non_decreasing,
              quantiles_inside, quantiles_invert, log_probabilities, density_entropy_slopes]


@pytest.mark.parametrize("holds", PROPERTIES, ids=lambda p: p.__name__)
@given(case=interval_and_points())
@example(case=(-3 * U, 2 * U, -U, -U))
@example(case=(234626691.72303438, INF, 234626691.72303438, 3e8))
@example(case=(INF, INF, INF, INF))
@example(case=(-1.7976931348623157e308, -1.7976931348623153e308, -INF, INF))
@example(case=(1.7976931348623153e308, INF, INF, INF))
@example(case=(-7 * U, INF, -6 * U, -6 * U))
@example(case=(-11 * U, 19 * U, 0.0, 19 * U))
@example(case=(-INF, -1.7976931348623153e308, -INF, -INF))
def test_property(holds, case):
    holds(*case)


TINY_END = SUBNORMAL | st.floats(-1e-10, 1e-10)


@given(ends=st.tuples(TINY_END, TINY_END, TINY_END))
@example(ends=(3 * U, 4 * U, 7 * U))
def test_uniform_near_zero(ends):
    """Within 1e-10 of 0 the density is constant to 5e-21 relative, so the mean is (a + b)/2 and the
    cdf (x - a)/(b - a), to rounding: 2 eps of the larger end plus half the subnormal spacing for the
    mean, 4 eps for the cdf and sf."""
    a, x, b = sorted(ends)
    if a == b:
        return
    mid = (Fraction(a) + Fraction(b)) / 2
    mean = quiet(tn.mean, a, b)
    assert abs(Fraction(mean) - mid) <= 2 * Fraction(EPS) * Fraction(max(abs(a), abs(b))) + Fraction(U) / 2, mean
    uniform = (Fraction(x) - Fraction(a)) / (Fraction(b) - Fraction(a))
    cdf, sf = quiet(tn.cdf, x, a, b), quiet(tn.sf, x, a, b)
    assert abs(cdf - uniform) <= 4 * EPS and abs(sf - (1 - uniform)) <= 4 * EPS, (cdf, sf, float(uniform))
