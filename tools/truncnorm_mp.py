"""Exact values of the truncated standard normal on [a, b], from mpmath.

Shared by tools/make_truncnorm_reference.py (the committed test tables), tools/truncnorm_accuracy.py
(the acceptance measurement) and tools/truncnorm_report.py (the comparison with SciPy).

The formulas are the textbook ones, evaluated at a working precision high enough to absorb their
cancellation:

    M = N(b) - N(a)                  mass, as Q(a) - Q(b), N(b) - N(a) or an erf difference,
                                     whichever has no cancellation of its own beyond M's
    log M                            for M > 1/2 as log1p(-(N(a) + Q(b)))
    mean = (n(a) - n(b)) / M
    var  = 1 + (a n(a) - b n(b)) / M - mean^2
    cdf(x) = (N(x) - N(a)) / M,  sf(x) = (N(b) - N(x)) / M

The working precision starts from an estimate of the digits these lose (M against Q(a) for a narrow
interval far out, var against mean^2 and a n(a)/M, erfc's amplification of the rounding of t/sqrt 2
by t^2) and every value is recomputed with VERIFY_EXTRA more digits; the precision doubles until the
two agree to the last bit of (hi, lo). All arguments are exact doubles.
"""
import math

from mpmath import mp, mpf

from mp_reference import hi_lo as split
from mp_reference import to_fraction
from mp_reference import upper_tail as _upper

BASE_DIGITS = 30
VERIFY_EXTRA = 25
MAX_DIGITS = 4000


def hi_lo(value):
    """An mpf as (nearest double, nearest double to the rest); infinities as (value, 0)."""
    if mp.isinf(value) or not 1e-300 < abs(value) < 1e300:
        # Infinities, zeros, and values whose (hi, lo) the tests never resolve: only hi matters.
        return float(value), 0.0
    return split(to_fraction(value))


def _lower(t):
    """N(t) = erfc(-t/sqrt 2)/2."""
    return _upper(-t)


def _between(a, b):
    """N(b) - N(a) for a <= b, from the side where neither term is close to 1."""
    if a >= 0:
        return _upper(a) - _upper(b)
    if b <= 0:
        return _lower(b) - _lower(a)
    return 1 - _upper(b) - _lower(a)


def _density(t):
    return mpf(0) if mp.isinf(t) else mp.npdf(t)


def _t_density(t):
    """t n(t), 0 at an infinite end."""
    return mpf(0) if mp.isinf(t) else t * mp.npdf(t)


def _magnitude(*values):
    finite = [abs(v) for v in values if math.isfinite(v)]
    return max([2.0] + finite)


def estimated_digits(a, b):
    """Digits the formulas may lose on [a, b]: erfc at large arguments (2 log10 t), the mass of a
    narrow interval far out against Q(a) (log10 1/(2 x h)), and the variance, at least about
    min(h, 1/|x|)^2/12, against mean^2 ~ x^2 and the terms a n(a)/M ~ x^2."""
    big = _magnitude(a, b)
    h = (b - a) / 2 if math.isfinite(b - a) else math.inf
    x = abs(a + b) / 2 if math.isfinite(a + b) else 0.0
    c = 2 * x * h
    lost = 4 * math.log10(big) + 2 * math.log10(max(1.0, 1.0 / h)) + 2
    if c < 1 and (a >= 0 or b <= 0):
        lost += math.log10(1 / c)
    return BASE_DIGITS + int(lost)


def _log_mass(a, b, m):
    """log M; for M > 1/2 as log1p of minus the mass outside, N(a) + Q(b), a sum: log M itself rounds
    to 0 at every working precision below -log10(1 - M) digits, where the tiny log mass would be lost
    (and the check with more digits, repeating the same rounding, would not notice)."""
    if m > 0.5:
        return mp.log1p(-(_lower(a) + _upper(b)))
    return mp.log(m)


def _moments(a, b):
    m = _between(a, b)
    mean = (_density(a) - _density(b)) / m
    var = 1 + (_t_density(a) - _t_density(b)) / m - mean * mean
    return m, mean, var


def _stable(compute, digits):
    """Run compute() at digits and at digits + VERIFY_EXTRA; double until every value's (hi, lo)
    agrees. Returns the list of (hi, lo) pairs."""
    while digits <= MAX_DIGITS:
        with mp.workdps(digits):
            first = [hi_lo(v) for v in compute()]
        with mp.workdps(digits + VERIFY_EXTRA):
            second = [hi_lo(v) for v in compute()]
        if first == second:
            return first
        digits *= 2
    raise ArithmeticError("no stable value below %d digits" % MAX_DIGITS)


def moments(a, b, extra_digits=0):
    """((logmass hi, lo), (mean hi, lo), (var hi, lo)) on [a, b], a < b doubles."""
    a_m, b_m = mpf(a), mpf(b)

    def compute():
        m, mean, var = _moments(a_m, b_m)
        return [_log_mass(a_m, b_m, m), mean, var]

    return _stable(compute, estimated_digits(a, b) + extra_digits)


def cdf_sf(x, a, b, extra_digits=0):
    """((cdf hi, lo), (sf hi, lo)) at x on [a, b], a < x < b doubles."""
    x_m, a_m, b_m = mpf(x), mpf(a), mpf(b)

    def compute():
        m = _between(a_m, b_m)
        return [_between(a_m, x_m) / m, _between(x_m, b_m) / m]

    return _stable(compute, estimated_digits(a, b) + int(2 * math.log10(_magnitude(x))) + extra_digits)


def sample(rng, count):
    """count test cases (x, a, b) of the acceptance set: centres 0 and +-10^-3 .. 10^6 (log-uniform),
    half-widths log-uniform from 10^-12 max(1, |centre|) to 10^6, one interval in eight one-sided.
    x is a point inside, placed log-uniformly close to either end (down to 10^-12 of the width)."""
    cases = []
    while len(cases) < count:
        centre = 0.0 if rng.random() < 0.04 else rng.choice([-1.0, 1.0]) * 10 ** rng.uniform(-3, 6)
        if rng.random() < 0.125:
            if rng.random() < 0.5:
                a, b = centre, math.inf
                x = a + 10 ** rng.uniform(-6, 2)
            else:
                a, b = -math.inf, centre
                x = b - 10 ** rng.uniform(-6, 2)
        else:
            h = 10 ** rng.uniform(math.log10(1e-12 * max(1.0, abs(centre))), 6)
            a, b = centre - h, centre + h
            u = 0.5 * 10 ** rng.uniform(-12, 0) * (b - a)
            x = a + u if rng.random() < 0.5 else b - u
        if a < x < b:
            cases.append((float(x), float(a), float(b)))
    return cases
