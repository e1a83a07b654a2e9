"""zelnor.truncnorm: accuracy against the mpmath tables (tools/make_truncnorm_reference.py), the
conventions of the ufuncs (limits at a == b, the invalid flag for a > b, quiet NaN, points outside
the interval, infinite ends), reflection, the float32 loops and the C entry points."""
import ctypes
import itertools
import math
import pickle
import subprocess
import sys
import warnings

import mpmath
import numpy as np
import pytest

import zelnor.truncnorm as tn
from gil import runs_without_the_interpreter_lock
from reference import load, rel_error, worst

EPS = np.finfo(np.float64).eps
TINY = np.finfo(np.float64).tiny
INF = math.inf
UFUNCS = [tn.logmass, tn.mean, tn.var, tn.cdf, tn.sf]
PAIR = [tn.logmass, tn.mean, tn.var]


def public_name(f):
    """The name in zelnor.truncnorm of the ufunc f, whose own name says truncnorm_."""
    return f.__name__.removeprefix("truncnorm_")

# Arguments from the far ends of the double range to zero, for the flag and limit tests.
EXTREMES = [-INF, -1e308, -1e200, -1e154, -1e52, -1e20, -1e6, -40.0, -38.0, -10.0, -1.0, -1e-3, -1e-300,
            -5e-324, 0.0, 5e-324, 1e-300, 1e-3, 1.0, 10.0, 38.0, 40.0, 1e6, 1e20, 1e52, 1e154, 1e200,
            1e308, INF]


def pairs():
    """Every ordered pair a < b of EXTREMES, as two arrays."""
    a, b = zip(*[(a, b) for a, b in itertools.combinations(EXTREMES, 2)])
    return np.array(a), np.array(b)


def triples():
    """Every point of EXTREMES against every ordered pair, as three arrays."""
    x, a, b = zip(*[(x, a, b) for a, b in itertools.combinations(EXTREMES, 2) for x in EXTREMES])
    return np.array(x), np.array(a), np.array(b)


# ---------------------------------------------------------------------------------------------
# Accuracy against mpmath
# ---------------------------------------------------------------------------------------------

# The kernel's measured accuracy, stated in the header of _kernels/truncnorm.h from 10^5 random cases,
# with a margin of 1.5 to 3 (measured on these tables: 1.53 eps, 3.0e-16, 3.1e-15, 6.7e-16, 6.7e-16),
# not the looser acceptance tolerances: a regime switch moved to where its formula has lost digits, or a
# regression of a few units of 1e-15, fails here. The log mass is measured against max(1, |log mass|),
# the mean against max(|mean|, standard deviation), the rest relatively; cdf and sf each on its own, so
# the small one of the pair keeps its relative accuracy, and rows whose value lies below the normal
# range are compared absolutely.
HEADER_BOUNDS = {"logmass": 3 * EPS, "mean": 1e-15, "var": 1e-14, "cdf": 5e-15, "sf": 5e-15}


@pytest.mark.parametrize("name", HEADER_BOUNDS)
def test_accuracy_stated_in_the_kernel_header(name):
    if name in ("cdf", "sf"):
        (x, a, b), hi, lo = load(f"truncnorm_{name}.txt", 3)
        value = getattr(tn, name)(x, a, b)
        normal = hi >= TINY
        assert np.abs(value[~normal] - hi[~normal]).max(initial=0.0) <= TINY
        args = (x[normal], a[normal], b[normal])
        err = rel_error(value[normal], hi[normal], lo[normal])
    else:
        (a, b), hi, lo = load(f"truncnorm_{name}.txt", 2)
        args = (a, b)
        value = getattr(tn, name)(a, b)
        if name == "logmass":
            err = np.abs((value - hi) - lo) / np.maximum(1.0, np.abs(hi))
        elif name == "mean":
            _, var_hi, _ = load("truncnorm_var.txt", 2)
            err = np.abs((value - hi) - lo) / np.maximum(np.abs(hi), np.sqrt(var_hi))
        else:
            assert (value > 0).all() and np.isfinite(value).all()
            err = rel_error(value, hi, lo)
    err = err / HEADER_BOUNDS[name]
    assert err.max() <= 1.0, worst(err, *args)


def _nudged(values):
    """Each value and its neighbours two doubles away on either side."""
    return [float(v) for t in values for v in np.nextafter(np.nextafter(t, [-INF, INF]), [-INF, INF])] + list(values)


# The switches between the formulas, each approached from both sides: straddling halves from erf to
# 1 - 2 n(t) R(t) at t = 1 and to 1 at t = 8.5; the mean across zero from the series to n(a), n(b) at
# h = 1/8 and from expm1 to n(a) - n(b) at c = ln 2; the scaled mass from the series to R(s) - e^(-c) R(t)
# at c = 1 and to R(s) alone at c = 37.5 (for the whole, and for the part below and above x); the
# tail-pair variance without the terms of b, where c passes about 40 to 60.
SWITCH_INTERVALS = (
    [(-t, 3.0) for t in _nudged([1.0, 8.5]) + [7.0, 8.0, 8.4]] + [(-0.5, t) for t in _nudged([1.0, 8.5]) + [8.0, 8.4]]
    + [(x - h, x + h) for x in (0.0, 0.01, 0.1) for h in _nudged([0.125])]
    + [(x - 2.0, x + 2.0) for x in _nudged([math.log(2) / 4])]
    + [(a, math.sqrt(a * a + 2 * c)) for a in (0.0, 0.5, 3.0, 20.0) for c in _nudged([1.0, 37.5])]
    + [(a, math.sqrt(a * a + 2 * c)) for a in (0.1, 2.0, 30.0) for c in range(36, 64, 3)]
)


def _mp_moments(a, b, points):
    """log mass, mean, var, and cdf and sf at the points, from mpmath."""
    a, b = mpmath.mpf(a), mpmath.mpf(b)
    # N(t) - N(s) as Q(s) - Q(t), Q(t) = N(-t): no mass of these intervals lies far below zero.
    q = lambda t: mpmath.ncdf(-t)  # noqa: E731
    n = mpmath.npdf
    m = q(a) - q(b)
    mean = (n(a) - n(b)) / m
    var = 1 + (a * n(a) - b * n(b)) / m - mean**2
    xs = [mpmath.mpf(float(x)) for x in points]
    return mpmath.log(m), mean, var, [(q(a) - q(x)) / m for x in xs], [(q(x) - q(b)) / m for x in xs]


@pytest.mark.parametrize("a, b", SWITCH_INTERVALS)
def test_accuracy_on_both_sides_of_each_switch(a, b):
    x = a + (b - a) * np.array([1, 3, 5, 7]) / 8
    with mpmath.workdps(80):
        log_m, mean, var, cdf, sf = _mp_moments(a, b, x)
    assert abs(tn.logmass(a, b) - log_m) <= HEADER_BOUNDS["logmass"] * max(1, abs(log_m)), "logmass"
    assert abs(tn.mean(a, b) - mean) <= HEADER_BOUNDS["mean"] * max(abs(mean), mpmath.sqrt(var)), "mean"
    assert abs(tn.var(a, b) / var - 1) <= HEADER_BOUNDS["var"], "var"
    for name, exact in (("cdf", cdf), ("sf", sf)):
        value = getattr(tn, name)(x, a, b)
        assert all(abs(v / e - 1) <= HEADER_BOUNDS[name] for v, e in zip(value, exact)), (name, value, exact)


def textbook_var(a, b):
    """1 + (a n(a) - b n(b))/M - mean^2 with M = N(b) - N(a), in double: what the tables must defeat."""

    def big_n(t):
        return 0.5 * np.array([math.erfc(-v / math.sqrt(2)) for v in t])

    def n(t):
        return np.exp(-0.5 * t * t) / math.sqrt(2 * math.pi)

    def t_n(t):
        return np.where(np.isinf(t), 0.0, t * n(t))

    with np.errstate(all="ignore"):
        m = big_n(b) - big_n(a)
        mean = (n(a) - n(b)) / m
        return 1 + (t_n(a) - t_n(b)) / m - mean * mean


def test_tables_hold_the_cases_the_textbook_formulas_lose():
    """Narrow intervals far out, intervals far in a tail, tiny intervals across zero, one-sided ones
    far out: on rows of each kind the textbook variance in double has no correct digit left, so the
    accuracy test above tells the kernel from it."""
    (a, b), hi, lo = load("truncnorm_var.txt", 2)
    wrong = ~(rel_error(textbook_var(a, b), hi, lo) < 0.1)
    finite = np.isfinite(a) & np.isfinite(b)
    with np.errstate(invalid="ignore"):
        centre, half = (a + b) / 2, (b - a) / 2
    kinds = {
        "narrow far out": finite & (np.abs(centre) > 1e5) & (half < 1e-5 * np.abs(centre)),
        "far in a tail": finite & (a > 30),
        "tiny across zero": finite & (a < 0) & (b > 0) & (half < 1e-9),
        "one-sided far out": np.isinf(b) & (a > 30) | np.isinf(a) & (b < -30),
    }
    for kind, rows in kinds.items():
        assert (rows & wrong).any(), kind


# ---------------------------------------------------------------------------------------------
# Conventions
# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("a", [-INF, -3.0, 0.0, 1e-300, 2.5, 1e200, INF])
def test_equal_ends_give_the_limits(a):
    with np.errstate(all="raise"):
        assert tn.logmass(a, a) == -INF
        assert tn.mean(a, a) == a
        assert tn.var(a, a) == 0.0
        # The distribution of the point a: P(X <= x) jumps to 1 at x = a.
        assert tn.cdf(a, a, a) == 1.0 and tn.sf(a, a, a) == 0.0
        below = -INF if a > -INF else None
        if below is not None:
            assert tn.cdf(below, a, a) == 0.0 and tn.sf(below, a, a) == 1.0


@pytest.mark.parametrize("f", UFUNCS, ids=public_name)
def test_reversed_ends_give_nan_and_the_invalid_flag(f):
    args = (0.5, 2.0, 1.0) if f.nin == 3 else (2.0, 1.0)
    with np.errstate(invalid="raise"), pytest.raises(FloatingPointError):
        f(*args)
    with np.errstate(invalid="warn"), pytest.warns(RuntimeWarning, match="invalid value"):
        f(*args)
    with np.errstate(invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.isnan(f(*args))


def test_only_reversed_elements_are_nan():
    a, b = np.array([0.0, 2.0, -1.0]), np.array([1.0, 1.0, -1.0])
    with np.errstate(invalid="ignore"):
        assert np.isnan(tn.var(a, b)).tolist() == [False, True, False]


@pytest.mark.parametrize("f", UFUNCS, ids=public_name)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_nan_passes_through_quietly(f, dtype):
    nan = dtype("nan")
    cases = [(nan, 1.0), (0.0, nan), (nan, nan), (nan, -INF), (INF, nan)]
    if f.nin == 3:
        cases = [(nan, 0.0, 1.0)] + [(0.5,) + c for c in cases]
    with np.errstate(all="raise"):
        for args in cases:
            assert np.isnan(f(*[dtype(v) for v in args]))


@pytest.mark.parametrize("f", PAIR, ids=public_name)
def test_valid_input_raises_no_flag_but_underflow(f):
    """inf - inf, 0 * inf, squares of huge ends, exp of huge arguments, log 0: none may leak. Only a
    log mass beyond the range (the square of a huge finite end) overflows."""
    a, b = pairs()
    with np.errstate(over="ignore"):
        overflows = np.isinf(f(a, b)) & np.isfinite(a) & np.isfinite(b)
    assert overflows.any() == (f is tn.logmass)
    with np.errstate(all="raise", under="ignore"):
        values = f(a[~overflows], b[~overflows])
    assert not np.isnan(values).any()


@pytest.mark.parametrize("f", [tn.cdf, tn.sf], ids=public_name)
def test_valid_points_raise_no_flag_and_give_probabilities(f):
    x, a, b = triples()
    with np.errstate(all="raise", under="ignore"):
        values = f(x, a, b)
    assert ((values >= 0) & (values <= 1)).all()


def test_variance_is_never_negative_nor_infinite():
    a, b = pairs()
    with np.errstate(under="ignore"):
        v = tn.var(a, b)
    assert ((v >= 0) & np.isfinite(v)).all()
    # Where neither the width nor 1/|end| is beyond the square root of the normal range, the
    # variance (about min(width^2/12, 1/end^2)) does not underflow.
    moderate = (b / 2 - a / 2 >= 1e-150) & (np.minimum(np.abs(a), np.abs(b)) <= 1e150)
    assert (v[moderate] > 0).all()


def test_points_outside_the_interval_give_0_and_1():
    a, b = np.array([-1.0, 2.0, -INF, 3.0]), np.array([1.0, 5.0, 0.0, INF])
    for x in (-INF, -2.0, 0.5 * a - 1):
        below = np.minimum(x, a)
        assert (tn.cdf(below, a, b) == 0).all() and (tn.sf(below, a, b) == 1).all()
    above = np.maximum(np.array(6.0), b)
    assert (tn.cdf(above, a, b) == 1).all() and (tn.sf(above, a, b) == 0).all()
    assert (tn.cdf(a, a, b) == 0).all() and (tn.sf(a, a, b) == 1).all()
    assert (tn.cdf(b, a, b) == 1).all() and (tn.sf(b, a, b) == 0).all()


def test_whole_line_and_half_lines_are_the_normal_and_the_half_normal():
    with np.errstate(all="raise"):
        assert tn.logmass(-INF, INF) == 0.0 and tn.mean(-INF, INF) == 0.0 and tn.var(-INF, INF) == 1.0
        half_normal_mean = math.sqrt(2 / math.pi)
        assert tn.logmass(0.0, INF) == pytest.approx(-math.log(2), rel=1e-16)
        assert tn.mean(0.0, INF) == pytest.approx(half_normal_mean, rel=1e-15)
        assert tn.mean(-INF, 0.0) == -tn.mean(0.0, INF)
        assert tn.var(0.0, INF) == pytest.approx(1 - 2 / math.pi, rel=1e-15)
        assert tn.cdf(0.0, -INF, INF) == 0.5 and tn.sf(0.0, -INF, INF) == 0.5
        assert tn.sf(1.0, -INF, INF) == pytest.approx(0.5 * math.erfc(1 / math.sqrt(2)), rel=1e-15)


def test_reflection_is_exact():
    """The kernel reflects to a + b >= 0 before anything else, so [a, b] and [-b, -a] give the same
    numbers bit for bit, the mean negated and cdf and sf exchanged."""
    (a, b), _, _ = load("truncnorm_var.txt", 2)
    assert (tn.mean(-b, -a) == -tn.mean(a, b)).all()
    assert (tn.var(-b, -a) == tn.var(a, b)).all()
    assert (tn.logmass(-b, -a) == tn.logmass(a, b)).all()
    (x, a, b), _, _ = load("truncnorm_cdf.txt", 3)
    assert (tn.cdf(-x, -b, -a) == tn.sf(x, a, b)).all()
    assert (tn.sf(-x, -b, -a) == tn.cdf(x, a, b)).all()


# ---------------------------------------------------------------------------------------------
# Loops and entry points
# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("f", UFUNCS, ids=public_name)
def test_loops_are_float64_then_float32(f):
    sig = "" if f.nin == 2 else "f"
    assert f.types == [f"dd{'d' if f.nin == 3 else ''}->d", f"ff{sig}->f"]


@pytest.mark.parametrize("f", UFUNCS, ids=public_name)
def test_float32_loop_rounds_the_double_result(f):
    rng = np.random.default_rng(3)
    lo = rng.uniform(-5, 5, 4000).astype(np.float32)
    hi = (lo + np.float32(10.0) ** rng.uniform(-3, 1, 4000).astype(np.float32)).astype(np.float32)
    hi = np.where(hi > lo, hi, np.nextafter(lo, np.float32(INF)))
    args = (lo, hi)
    if f.nin == 3:
        x = (lo + rng.uniform(0, 1, 4000).astype(np.float32) * (hi - lo)).astype(np.float32)
        args = (x, lo, hi)
    single = f(*args)
    assert single.dtype == np.float32
    assert (single == f(*[v.astype(np.float64) for v in args]).astype(np.float32)).all()


ENTRY_POINTS = {"logmass": "LogMass", "mean": "Mean", "var": "Var", "cdf": "Cdf", "sf": "Sf"}


@pytest.mark.parametrize("f", UFUNCS, ids=public_name)
def test_c_entry_points_give_the_ufunc_values(f):
    entry = getattr(ctypes.CDLL(tn.__file__), "zelnor_TruncNorm" + ENTRY_POINTS[public_name(f)])
    entry.restype = ctypes.c_double
    entry.argtypes = [ctypes.c_double] * f.nin
    rows = [(0.3, -1.0, 2.0), (40.0, 30.0, INF), (1e6, 1e6 - 1e-6, 1e6 + 1e-6), (-2.0, -INF, 0.5)]
    for row in rows:
        args = row[3 - f.nin:]
        assert entry(*args) == f(*args)


def test_loops_run_without_the_interpreter_lock():
    a = np.random.default_rng(8).uniform(0.0, 5.0, 2 * 10**6)
    assert runs_without_the_interpreter_lock(lambda: tn.var(a, a + 1.0))


SIGNATURES = {"logmass": "a, b", "mean": "a, b", "var": "a, b", "cdf": "x, a, b", "sf": "x, a, b",
              "pdf": "x, a, b", "logpdf": "x, a, b", "logcdf": "x, a, b", "logsf": "x, a, b", "ppf": "p, a, b",
              "isf": "q, a, b", "entropy": "a, b", "dlogmass": "a, b"}


@pytest.mark.parametrize("f", [getattr(tn, name) for name in SIGNATURES], ids=public_name)
def test_names_say_truncnorm_and_the_docstring_names_the_arguments(f):
    name = public_name(f)
    assert f.__name__ == f"truncnorm_{name}" and getattr(tn, f.__name__) is f
    # NumPy's first line can only say x1, x2; the docstring's own first line follows it.
    assert f.__doc__.split("\n\n")[1] == f"{name}({SIGNATURES[name]})"
    args = (0.5, 2.0, 1.0) if f.nin == 3 else (2.0, 1.0)
    with np.errstate(invalid="warn"), pytest.warns(RuntimeWarning) as caught:
        f(*args)
    assert str(caught[0].message) == f"invalid value encountered in truncnorm_{name}"


def test_module_exports_the_public_names_only():
    # Beside the ufuncs, the sampler; and in dir() the SciPy distribution, which a star import skips.
    public = [*SIGNATURES, "sample"]
    assert tn.__all__ == public and dir(tn) == sorted([*public, "TruncatedNormal"])
    namespace = {}
    exec("from zelnor.truncnorm import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(public)


def test_ufuncs_pickle_by_reference_with_every_protocol():
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        blob = pickle.dumps(UFUNCS, protocol=protocol)
        assert pickle.loads(blob) == UFUNCS
    code = "import pickle, sys; print(*(f.__name__ for f in pickle.loads(sys.stdin.buffer.read())))"
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(UFUNCS), capture_output=True,
                         check=True).stdout
    assert out.decode().split() == [f.__name__ for f in UFUNCS]
