"""zelnor.truncnorm pdf, logpdf, logcdf, logsf, ppf, isf, entropy and dlogmass: the cases the textbook
formulas lose, against mpmath; inverse and consistency properties; the ufunc conventions (limits,
flags, quiet NaN, float32 loops, C entry points). The dense accuracy sweep is tools/truncnorm_accuracy.py."""
import ctypes
import itertools
import math
import warnings

import numpy as np
import pytest
from mpmath import mp, mpf

import zelnor.truncnorm as tn

EPS = np.finfo(np.float64).eps
INF = math.inf
POINT = [tn.pdf, tn.logpdf, tn.logcdf, tn.logsf]
INVERSE = [tn.ppf, tn.isf]
PAIR = [tn.entropy, tn.dlogmass]
NEW = POINT + INVERSE + PAIR
# Ends from the far ends of the double range to the smallest subnormal and zero.
U = 5e-324
EXTREMES = [-INF, -1e308, -1e154, -1e20, -1e6, -40.0, -10.0, -1.0, -1e-300, -U, 0.0, U, 1e-300, 1e-3, 1.0,
            8.0, 38.0, 40.0, 1e6, 1e52, 1e154, 1e200, INF]
PROBABILITIES = [5e-324, 1e-300, 1e-20, 0.3, 0.5, 0.7, 1 - 1e-16, 1.0 - 2**-53, 1.0]


def inside(a, b, count):
    """count points spread over [a, b], infinite ends replaced by +-30."""
    lo, hi = (a if math.isfinite(a) else -30.0), (b if math.isfinite(b) else 30.0)
    return lo + np.linspace(0.0, 1.0, count) * (hi - lo)


def pairs():
    a, b = zip(*itertools.combinations(EXTREMES, 2))
    return np.array(a), np.array(b)


# ---------------------------------------------------------------------------------------------
# The cases a new user would try, against mpmath at 100 digits
# ---------------------------------------------------------------------------------------------

def _q(t):
    return mpf(0) if t == INF else mpf(1) if t == -INF else mp.erfc(t / mp.sqrt(2)) / 2


def _mass(a, b):
    return _q(a) - _q(b) if a >= 0 else (1 - _q(-a)) - (1 - _q(-b)) if b <= 0 else 1 - _q(b) - _q(-a)


def _n(t):
    return mpf(0) if abs(t) == INF else mp.npdf(t)


def _quantile(p, a, b):
    """The root of (N(x) - N(a))/M = p by mpmath's own solver."""
    return mp.findroot(lambda x: _mass(a, x) / _mass(a, b) - p, (mpf(a), mpf(b)), solver="anderson")


def test_named_cases_against_mpmath():
    """Each within its acceptance tolerance: absolute, of max(1, |value|), for logpdf, logcdf and
    logsf beyond 1 and the entropy; relative for the rest."""
    with mp.workdps(100):
        log_n40 = mp.log(_q(mpf(40)))
        m = _mass(mpf(30), mpf(30.001))
        cases = [
            ("ppf 0.9 on [9, 10]", tn.ppf(0.9, 9.0, 10.0), _quantile(mpf("0.9"), mpf(9), mpf(10)), "rel", 4 * EPS),
            ("logcdf(-40)", tn.logcdf(-40.0, -INF, INF), log_n40, "abs", 8 * EPS),
            ("logsf(40)", tn.logsf(40.0, -INF, INF), log_n40, "abs", 8 * EPS),
            ("logcdf(-1e5)", tn.logcdf(-1e5, -INF, INF), mp.log(_q(mpf(1e5))), "abs", 8 * EPS),
            ("logcdf near 1", tn.logcdf(20.0, 10.0, INF), mp.log1p(-_q(mpf(20)) / _q(mpf(10))), "rel", 1e-14),
            ("entropy [39, inf)", tn.entropy(39.0, INF), mp.log(_q(mpf(39)) * mp.sqrt(2 * mp.pi)) + mpf(1) / 2
             + 39 * _n(mpf(39)) / (2 * _q(mpf(39))), "abs", 2e-14),
            ("dlogmass a", tn.dlogmass(30.0, 30.001)[0], -_n(mpf(30)) / m, "rel", 1e-13),
            ("dlogmass b", tn.dlogmass(30.0, 30.001)[1], _n(mpf(30.001)) / m, "rel", 1e-13),
            ("probit slope", tn.dlogmass(-INF, -40.0)[1], _n(mpf(40)) / _q(mpf(40)), "rel", 1e-13),
            ("logpdf narrow far out", tn.logpdf(30.5, 30.0, 30.5 + 1e-9), -mpf(30.5)**2 / 2
             - mp.log(mp.sqrt(2 * mp.pi)) - mp.log(_mass(mpf(30), mpf(30.5 + 1e-9))), "abs", 8 * EPS),
            ("logcdf of a subnormal side", tn.logcdf(3 * U, 0.0, 1.0),
             mp.log(mp.erf(3 * mpf(U) / mp.sqrt(2)) / mp.erf(1 / mp.sqrt(2))), "abs", 8 * EPS),
            ("logsf of a subnormal side", tn.logsf(-U, -2.0, U),
             mp.log(2 * mp.erf(mpf(U) / mp.sqrt(2)) / (mp.erf(2 / mp.sqrt(2)) + mp.erf(mpf(U) / mp.sqrt(2)))),
             "abs", 8 * EPS),
        ]
    for name, value, exact, kind, tolerance in cases:
        exact = float(exact)
        scale = max(1.0, abs(exact)) if kind == "abs" else abs(exact)
        assert abs(value - exact) <= tolerance * scale, f"{name}: {value!r} against {exact!r}"
    # Far in a tail the quantiles keep to their end: x* = 40 + 2.5e-302 and 1 - 2.8e-300.
    assert tn.ppf(1e-300, 40.0, 41.0) == 40.0 and tn.isf(1e-300, -1.0, 1.0) == 1.0
    assert tn.dlogmass(-INF, -40.0)[0] == 0.0 and tn.dlogmass(3.0, INF)[1] == 0.0


# ---------------------------------------------------------------------------------------------
# Properties
# ---------------------------------------------------------------------------------------------

INTERVALS = [(-INF, INF), (0.0, INF), (-INF, -3.0), (-2.0, 3.0), (9.0, 10.0), (30.0, 31.0), (100.0, 100.001),
             (1e3, 1e3 + 1e-6), (-1e-13, 2e-13), (5.0, 5.0 + 1e-9), (-1e6 - 1e-6, -1e6 + 1e-6), (0.3, 0.31)]


@pytest.mark.parametrize("a, b", INTERVALS)
def test_quantiles_invert_cdf_and_sf(a, b):
    """ppf(cdf(x)) = x and isf(sf(x)) = x to 4 ulp plus 1e-13 of the probability over the density."""
    x = inside(a, b, 401)[1:-1]
    f = tn.pdf(x, a, b)
    for inverse, forward in ((tn.ppf, tn.cdf), (tn.isf, tn.sf)):
        p = forward(x, a, b)
        kept = (p > 0) & (p < 1)  # p rounded to 0 or 1 gives an end
        tolerance = 4 * np.spacing(np.abs(x)) + 1e-13 * p / f
        err = np.abs(inverse(p, a, b) - x)[kept] / tolerance[kept]
        assert err.max() <= 1, (inverse.__name__, x[kept][np.argmax(err)])


@pytest.mark.parametrize("a, b", INTERVALS)
def test_log_probabilities_agree_with_the_probabilities_and_add_to_one(a, b):
    """Where a probability is below 1/2 its log is the log of the probability; above, log1p of minus
    the other side's, so that it keeps that complement's digits; the pair adds to one and is monotone."""
    x = inside(a, b, 803)[1:-1]
    lc, ls = tn.logcdf(x, a, b), tn.logsf(x, a, b)
    c, s = tn.cdf(x, a, b), tn.sf(x, a, b)
    for log_value, value, other in ((lc, c, s), (ls, s, c)):
        with np.errstate(divide="ignore"):
            expected = np.where(value > 0.5, np.log1p(-other), np.log(np.maximum(value, 1e-300)))
        check = value > 1e-300
        assert (np.abs(log_value - expected)[check] <= 1e-14 * np.abs(expected[check])).all()
    assert np.abs(np.exp(lc) + np.exp(ls) - 1).max() <= 4 * EPS
    assert (np.diff(lc) >= 0).all() and (np.diff(ls) <= 0).all()


@pytest.mark.parametrize("a, b", [(-2.0, 3.0), (0.5, 4.0), (5.0, 6.0), (-8.0, -7.5), (-INF, 1.0)])
def test_dlogmass_is_the_gradient_of_logmass_and_pdf_its_density(a, b):
    step = 1e-6
    da, db = tn.dlogmass(a, b)
    if math.isfinite(a):
        assert da == pytest.approx((tn.logmass(a + step, b) - tn.logmass(a - step, b)) / (2 * step), rel=1e-7)
    if math.isfinite(b):
        assert db == pytest.approx((tn.logmass(a, b + step) - tn.logmass(a, b - step)) / (2 * step), rel=1e-7)
        assert tn.pdf(b, a, b) == pytest.approx(math.exp(tn.logpdf(b, a, b)), rel=4 * EPS)
        assert db == pytest.approx(tn.pdf(b, a, b), rel=1e-14)


@pytest.mark.parametrize("a, b", INTERVALS)
def test_reflection_is_exact(a, b):
    x = inside(a, b, 51)
    p = np.array([1e-300, 1e-5, 0.25, 0.5, 0.75])
    assert (tn.logpdf(-x, -b, -a) == tn.logpdf(x, a, b)).all()
    assert (tn.logcdf(-x, -b, -a) == tn.logsf(x, a, b)).all()
    assert (tn.ppf(p, -b, -a) == -tn.isf(p, a, b)).all()
    assert tn.entropy(-b, -a) == tn.entropy(a, b)
    assert tn.dlogmass(-b, -a) == tuple(-v for v in reversed(tn.dlogmass(a, b)))


@pytest.mark.parametrize("f", INVERSE, ids=lambda f: f.__name__)
def test_quantiles_stay_in_the_interval_and_are_monotone_without_flags(f):
    """Every ordered pair of extreme ends, probabilities from the smallest subnormal to 1: never
    outside [a, b], never NaN, never inf for a finite end, monotone in the probability."""
    a, b = pairs()
    p = np.array(PROBABILITIES)[:, None]
    with np.errstate(all="raise", under="ignore"):
        x = f(p, a, b)
    assert ((x >= a) & (x <= b)).all()
    assert np.isfinite(x[1:-1][:, np.isfinite(a) & np.isfinite(b)]).all()
    assert (np.diff(x, axis=0) >= 0).all() if f is tn.ppf else (np.diff(x, axis=0) <= 0).all()


def _beyond_double_range(f, x, a, b):
    """Where a value may overflow: a log density -x^2/2 ... below -1.8e308 (|x| beyond 1.3e154), and
    the density and the slopes of the log mass, 1/(b - a) on a width below 1/DBL_MAX (5.6e-309)."""
    if f is tn.logpdf:
        return np.abs(x) >= 1.3e154
    return (b - a < 1 / np.finfo(np.float64).max) & (f in (tn.pdf, tn.dlogmass))


@pytest.mark.parametrize("f", POINT + PAIR, ids=lambda f: f.__name__)
def test_valid_input_raises_no_flag_but_underflow(f):
    """Nor overflow, but where the value lies beyond the double range."""
    a, b = pairs()
    args = np.broadcast_arrays(*((a, b) if f.nin == 2 else (np.array(EXTREMES)[:, None], a, b)))
    x, a, b = [None, *args] if f.nin == 2 else args
    inside = (a < b) if x is None else (x >= a) & (x <= b)
    beyond = _beyond_double_range(f, x, a, b) & inside
    with np.errstate(all="raise", under="ignore"):
        f(*[v[~beyond] for v in args])
    with np.errstate(all="raise", under="ignore", over="ignore"):
        values = f(*args)
    for v in values if f.nout == 2 else [values]:
        assert not np.isnan(v).any()
        if f in (tn.pdf, tn.logpdf, tn.dlogmass):
            assert beyond[inside & np.isinf(v)].all()


# Below 2^-60 in magnitude the density varies over [a, b] by less than a relative 2^-120: the
# distribution is uniform to far below double precision, and the uniform values are exact (P = 2^-1000).
P = 2.0**-1000
UNIFORM = [(tn.ppf, (0.25, 3 * U, 7 * U)), (tn.isf, (0.25, 3 * U, 7 * U)), (tn.ppf, (0.3, -3 * P, 7 * P)),
           (tn.isf, (0.5, -U, U)), (tn.ppf, (0.1, 1e-20, 3e-20)), (tn.isf, (0.75, -1e-20, 2**-61)),
           (tn.logcdf, (4 * U, 3 * U, 7 * U)), (tn.logsf, (4 * U, 3 * U, 7 * U)), (tn.logcdf, (-U, -3 * U, 2 * U)),
           (tn.logcdf, (0.0, -11 * U, 19 * U)),
           (tn.logsf, (1e-20, -1e-20, 3e-20)), (tn.logpdf, (5 * U, 3 * U, 7 * U)), (tn.logpdf, (0.0, -1e-20, 3e-20)),
           (tn.pdf, (0.0, 0.0, P)), (tn.pdf, (P, -3 * P, 7 * P)), (tn.pdf, (5 * U, 3 * U, 7 * U)),
           (tn.entropy, (3 * U, 7 * U)), (tn.entropy, (-1e-20, 3e-20)), (tn.dlogmass, (0.0, P)),
           (tn.dlogmass, (-1e-20, 3e-20)), (tn.dlogmass, (3 * U, 7 * U))]


def _uniform(f, args):
    """The uniform distribution's value, to 60 digits."""
    *first, a, b = [mpf(v) for v in args]
    w = b - a
    if f in INVERSE:
        p = first[0] if f is tn.ppf else 1 - first[0]
        return a + p * w
    return {tn.logcdf: lambda: mp.log((first[0] - a) / w), tn.logsf: lambda: mp.log((b - first[0]) / w),
            tn.logpdf: lambda: -mp.log(w), tn.pdf: lambda: 1 / w, tn.entropy: lambda: mp.log(w),
            tn.dlogmass: lambda: (-1 / w, 1 / w)}[f]()


@pytest.mark.parametrize("f, args", UNIFORM, ids=lambda v: getattr(v, "__name__", None))
def test_tiny_intervals_give_the_uniform_values(f, args):
    """To 2 eps relative, the quantiles to 1e-13 of p (b - a) (exact where the quantile is a multiple of
    U), the density to 32 eps (it is exp of the log density of the interval scaled to 2^-60, up to 41.6;
    8.5 eps measured); no flag but underflow where the value is below the normal range, and overflow
    where it is beyond the double range."""
    with mp.workdps(60):
        exact = _uniform(f, args)
        exact = [float(v) for v in (exact if f.nout == 2 else [exact])]
    extreme = {"under": "ignore"} if min(map(abs, exact)) < np.finfo(np.float64).tiny else {}
    if not all(map(math.isfinite, exact)):
        extreme = {"over": "ignore"}
    with np.errstate(all="raise", **extreme):
        values = f(*args)
    if f in INVERSE:
        tolerance = 1e-13 * args[0] * (args[2] - args[1])
    else:
        tolerance = (32 if f is tn.pdf else 2) * EPS * abs(exact[0])
    for value, e in zip(values if f.nout == 2 else [values], exact):
        assert value == e or abs(value - e) <= tolerance, (value, e)


# ---------------------------------------------------------------------------------------------
# Conventions
# ---------------------------------------------------------------------------------------------

def test_ends_and_equal_ends_give_the_limits():
    with np.errstate(all="raise"):
        assert tn.ppf(0.0, -1.0, 2.0) == -1.0 and tn.ppf(1.0, -1.0, 2.0) == 2.0
        assert tn.isf(0.0, -1.0, 2.0) == 2.0 and tn.isf(1.0, -1.0, 2.0) == -1.0
        assert tn.ppf(0.0, -INF, 0.0) == -INF and tn.isf(0.0, 0.0, INF) == INF
        assert tn.ppf(0.3, 2.0, 2.0) == 2.0 and tn.isf(0.3, 2.0, 2.0) == 2.0
        assert tn.logpdf(2.0, 2.0, 2.0) == INF and tn.logpdf(1.0, 2.0, 2.0) == -INF
        assert tn.pdf(3.0, -1.0, 2.0) == 0.0 and tn.logpdf(-2.0, -1.0, 2.0) == -INF
        assert tn.logcdf(2.0, 2.0, 2.0) == 0.0 and tn.logsf(2.0, 2.0, 2.0) == -INF
        assert tn.logcdf(-1.0, -1.0, 2.0) == -INF and tn.logsf(2.0, -1.0, 2.0) == -INF
        assert tn.entropy(2.0, 2.0) == -INF and tn.dlogmass(2.0, 2.0) == (-INF, INF)
        assert tn.entropy(-INF, INF) == pytest.approx(0.5 * math.log(2 * math.pi * math.e), rel=EPS)
        assert tn.dlogmass(-INF, INF) == (0.0, 0.0)


def _invalid_args(f):
    if f in INVERSE:
        return [(0.5, 2.0, 1.0), (-0.1, 0.0, 1.0), (1.5, 0.0, 1.0), (-INF, -INF, INF)]
    return [(0.5, 2.0, 1.0)] if f.nin == 3 else [(2.0, 1.0)]


@pytest.mark.parametrize("f", NEW, ids=lambda f: f.__name__)
def test_invalid_input_gives_nan_and_the_invalid_flag(f):
    for args in _invalid_args(f):
        with np.errstate(invalid="raise"), pytest.raises(FloatingPointError):
            f(*args)
        with np.errstate(invalid="ignore"), warnings.catch_warnings():
            warnings.simplefilter("error")
            out = f(*args)
            assert all(np.isnan(v) for v in (out if f.nout == 2 else [out]))


@pytest.mark.parametrize("f", NEW, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_nan_passes_through_quietly(f, dtype):
    nan = dtype("nan")
    cases = [(nan, 1.0), (0.0, nan), (nan, -INF)]
    if f.nin == 3:
        cases = [(nan, 0.0, 1.0)] + [(0.5,) + c for c in cases]
    with np.errstate(all="raise"):
        for args in cases:
            out = f(*[dtype(v) for v in args])
            assert all(np.isnan(v) for v in (out if f.nout == 2 else [out]))


@pytest.mark.parametrize("f", NEW, ids=lambda f: f.__name__)
def test_float32_loop_rounds_the_double_result(f):
    assert [t.split("->")[0] for t in f.types] == ["d" * f.nin, "f" * f.nin]
    rng = np.random.default_rng(4)
    lo = rng.uniform(-5, 5, 2000).astype(np.float32)
    hi = (lo + np.float32(10.0) ** rng.uniform(-3, 1, 2000).astype(np.float32)).astype(np.float32)
    first = rng.uniform(0, 1, 2000).astype(np.float32)
    if f.nin == 3 and f not in INVERSE:
        first = (lo + first * (hi - lo)).astype(np.float32)
    args = (first, lo, hi)[3 - f.nin:]
    single = f(*args)
    double = f(*[v.astype(np.float64) for v in args])
    for s, d in zip(single, double) if f.nout == 2 else [(single, double)]:
        assert s.dtype == np.float32 and (s == d.astype(np.float32)).all()


ENTRY_POINTS = {"pdf": "Pdf", "logpdf": "LogPdf", "logcdf": "LogCdf", "logsf": "LogSf", "ppf": "Ppf",
                "isf": "Isf", "entropy": "Entropy"}


@pytest.mark.parametrize("f", NEW, ids=lambda f: f.__name__)
def test_c_entry_points_give_the_ufunc_values(f):
    library = ctypes.CDLL(tn.__file__)
    rows = [(0.3, -1.0, 2.0), (0.01, 30.0, INF), (0.7, 1e6 - 1e-6, 1e6 + 1e-6), (1e-300, -INF, 0.5)]
    if f is tn.dlogmass:
        entry = library.zelnor_TruncNormDLogMass
        entry.restype = None
        entry.argtypes = [ctypes.c_double] * 2 + [ctypes.POINTER(ctypes.c_double)] * 2
        for _, a, b in rows:
            da, db = ctypes.c_double(), ctypes.c_double()
            entry(a, b, ctypes.byref(da), ctypes.byref(db))
            assert (da.value, db.value) == f(a, b)
        return
    entry = getattr(library, "zelnor_TruncNorm" + ENTRY_POINTS[f.__name__.removeprefix("truncnorm_")])
    entry.restype = ctypes.c_double
    entry.argtypes = [ctypes.c_double] * f.nin
    if f in POINT:
        rows = [(0.3, -1.0, 2.0), (30.5, 30.0, INF), (1e6, 1e6 - 1e-6, 1e6 + 1e-6), (-40.0, -INF, 0.5)]
    for row in rows:
        args = row[3 - f.nin:]
        assert entry(*args) == f(*args)
