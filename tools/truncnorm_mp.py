"""Exact values of the truncated standard normal on [a, b], from mpmath.

Shared by tools/make_truncnorm_reference.py (the committed test tables), tools/truncnorm_accuracy.py
(the acceptance measurement) and tools/truncnorm_report.py (the comparison with SciPy).

The formulas are the textbook ones, evaluated at a working precision high enough to absorb their
cancellation:

    M = N(b) - N(a)                  mass, as Q(a) - Q(b), N(b) - N(a) or an erf difference,
                                     whichever has no cancellation of its own beyond M's
    mean = (n(a) - n(b)) / M
    var  = 1 + (a n(a) - b n(b)) / M - mean^2
    cdf(x) = (N(x) - N(a)) / M,  sf(x) = (N(b) - N(x)) / M

The working precision starts from an estimate of the digits these lose (M against Q(a) for a narrow
interval far out, var against mean^2 and a n(a)/M, erfc's amplification of the rounding of t/sqrt 2
by t^2) and every value is recomputed with VERIFY_EXTRA more digits; the precision doubles until the
two agree to the last bit of (hi, lo). All arguments are exact doubles.
"""
import math
from fractions import Fraction

from mpmath import mp, mpf

BASE_DIGITS = 30
VERIFY_EXTRA = 25
MAX_DIGITS = 4000


def hi_lo(value):
    """An mpf as (nearest double, nearest double to the rest); infinities as (value, 0)."""
    if mp.isinf(value) or not 1e-300 < abs(value) < 1e300:
        # Infinities, zeros, and values whose (hi, lo) the tests never resolve: only hi matters.
        return float(value), 0.0
    exact = _fraction(value)
    hi = float(exact)
    return hi, float(exact - Fraction(hi))


def _fraction(value):
    sign, man, exp, _ = value._mpf_
    man = -man if sign else man
    return Fraction(man << exp) if exp >= 0 else Fraction(man, 1 << -exp)


def _upper(t):
    """Q(t) = N(-t) = erfc(t/sqrt 2)/2, for any extended real t."""
    if mp.isinf(t):
        return mpf(0) if t > 0 else mpf(1)
    return mp.erfc(t / mp.sqrt(2)) / 2


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
        return [mp.log(m), mean, var]

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


def _log_probability(part, complement, m):
    """log(part/m), taken as log1p(-complement/m) where part is the larger: a probability near 1 keeps
    the digits of its small complement, which the ratio itself would round away."""
    if part >= complement:
        return mp.log1p(-complement / m)
    return mp.log(part / m)


def log_densities(x, a, b, extra_digits=0):
    """((logpdf hi, lo), (pdf hi, lo), (logcdf hi, lo), (logsf hi, lo)) at x on [a, b], a < x < b
    doubles. logpdf = log n(x) - log M, pdf its exponential; logcdf, logsf the logs of
    (N(x) - N(a))/M and (N(b) - N(x))/M."""
    x_m, a_m, b_m = mpf(x), mpf(a), mpf(b)

    def compute():
        m = _between(a_m, b_m)
        below, above = _between(a_m, x_m), _between(x_m, b_m)
        log_pdf = -x_m * x_m / 2 - mp.log(mp.sqrt(2 * mp.pi)) - mp.log(m)
        return [log_pdf, mp.exp(log_pdf), _log_probability(below, above, m), _log_probability(above, below, m)]

    return _stable(compute, estimated_digits(a, b) + int(2 * math.log10(_magnitude(x))) + extra_digits)


def entropy_slopes(a, b, extra_digits=0):
    """((entropy hi, lo), (d log M/da hi, lo), (d log M/db hi, lo)) on [a, b], a < b doubles:
    H = log M + log sqrt(2 pi) + 1/2 + (a n(a) - b n(b))/(2 M), -n(a)/M and n(b)/M."""
    a_m, b_m = mpf(a), mpf(b)

    def compute():
        m = _between(a_m, b_m)
        h = mp.log(m) + mp.log(mp.sqrt(2 * mp.pi)) + mpf(1) / 2 + (_t_density(a_m) - _t_density(b_m)) / (2 * m)
        return [h, -_density(a_m) / m, _density(b_m) / m]

    return _stable(compute, estimated_digits(a, b) + extra_digits)


def quantile(p, a, b, upper, start, extra_digits=0):
    """((x hi, lo), p/f(x)): the point x in [a, b] with P(X <= x) = p (upper: P(X > x) = p), 0 < p < 1,
    and the scale p/f(x) of the quantile's acceptance tolerance (f the truncated density).

    The root of the mpmath equation is found by Newton's method on the log of the probability (which
    is concave: the truncated normal is log-concave), from start (any point of [a, b]), to the working
    precision. The precision doubles until two runs agree to a millionth of the tolerance
    4 ulp(x) + 1e-13 p/f(x): where x lies within p of an end, resolving it to the last bit of (hi, lo)
    would take hundreds of digits that the measurement does not need."""
    a_m, b_m, p_m = mpf(a), mpf(b), mpf(p)
    sign = -1 if upper else 1

    def part(x):
        return _between(x, b_m) if upper else _between(a_m, x)

    def compute():
        m = _between(a_m, b_m)
        log_target = mp.log(p_m * m)
        x = mpf(start)
        if x <= a_m:
            # At an end the probability of one side is 0: start from its linear estimate.
            x = a_m + (1 - p_m if upper else p_m) * m / _density(a_m)
        elif x >= b_m:
            x = b_m - (p_m if upper else 1 - p_m) * m / _density(b_m)
        last_step = mp.inf
        for _ in range(400):
            if not a_m < x < b_m:
                # The root lies within the working precision of an end.
                return min(max(x, a_m), b_m), p_m * m / _density(min(max(x, a_m), b_m))
            f = part(x)
            if f == 0:
                return x, p_m * m / _density(x)
            nxt = x - sign * (mp.log(f) - log_target) * f / _density(x)
            if nxt <= a_m or nxt >= b_m:
                # Overshot a finite end: halve the way to it instead.
                nxt = (x + (a_m if nxt <= a_m else b_m)) / 2
            # Done when the step is at the working precision, or no longer falls (it has reached the
            # rounding noise of the probability; a second precision tells whether that suffices).
            step = abs(nxt - x)
            done = step <= mp.eps * 4 * abs(x) or step >= last_step
            last_step = step
            x = nxt
            if done:
                return x, p_m * m / _density(x)
        raise ArithmeticError("no quantile at p=%r on [%r, %r]" % (p, a, b))

    digits = estimated_digits(a, b) + int(2 * math.log10(_magnitude(start))) + extra_digits
    while digits <= MAX_DIGITS:
        with mp.workdps(digits):
            x1, _ = compute()
        with mp.workdps(digits + VERIFY_EXTRA):
            x2, scale = compute()
            tolerance = 4 * mp.ldexp(1, mp.frexp(x2)[1] - 53) + mpf("1e-13") * scale if x2 != 0 else scale * mpf("1e-13")
            if abs(x1 - x2) <= tolerance * mpf("1e-6"):
                return hi_lo(x2), float(scale)
        digits *= 2
    raise ArithmeticError("no stable quantile below %d digits" % MAX_DIGITS)
