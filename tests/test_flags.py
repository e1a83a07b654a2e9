"""The floating-point flags of every ufunc describe its result, as np.exp's do: nothing on a normal
result, overflow wherever finite arguments give an infinity (divide-by-zero at a pole), underflow only
on a subnormal or zero result, invalid only on NaN from non-NaN arguments; an earlier element's flag
stays. The large random sweep is tools/flag_sweep.py; here every regime is met on a grid."""
import itertools

import numpy as np
import pytest

import zelnor
from zelnor import truncnorm as tn
from flag_sweep import flags_of

FLOATS = [np.float32, np.float64]
DIVIDE, OVERFLOW, UNDERFLOW, INVALID = 1, 2, 4, 8  # NumPy's bits in an np.errstate(call=...) callback
ONE = [zelnor.millsratio, zelnor.millsratio_d1, zelnor.millsratio_d3, zelnor.millsratio_rel_below1]
STEPS = [zelnor.millsratio_dd, zelnor.millsratio_reflected_sum, zelnor.millsratio_dd_cf]
INTERVALS = [tn.logmass, tn.mean, tn.var, tn.cdf, tn.sf]


def flags(f, *args):
    """The flags one call leaves, as NumPy reports them."""
    return flags_of(f, args)


def grid(dtype, count):
    """Zero, infinities and magnitudes spread over every binade of the normal range and densely over
    the kernels' pieces (|x| <= 60, the float and double reflection cut-offs 13.3 and 37.7), either
    sign."""
    fi = np.finfo(dtype)
    with np.errstate(over="ignore"):  # the last power may round past the largest number
        binades = np.minimum(np.geomspace(float(fi.tiny), float(fi.max), count), float(fi.max))
    pieces = np.concatenate([np.linspace(0, 60, count), np.linspace(13, 14, 9), np.linspace(37.4, 38.8, 9)])
    m = np.concatenate([[0.0, np.inf], binades, pieces])
    return np.concatenate([m, -m]).astype(dtype)


def cases(f, dtype):
    """Valid arguments for f on a grid, as arrays: the domain of the relative form, a <= b."""
    if f is zelnor.millsratio_rel_below1:
        x = grid(dtype, 300)
        return [x[(x >= 0) & (x <= 1)]]
    if f in ONE:
        return [grid(dtype, 300)]
    g = grid(dtype, 24)
    if f in STEPS:
        x, dx = (np.array(c, dtype) for c in zip(*itertools.product(g, g)))
        return [x, dx] + ([np.resize(np.array([0, 1, 4, 9, 30]), x.size)] if f.nin == 3 else [])
    a, b = (np.array(c, dtype) for c in zip(*itertools.combinations_with_replacement(np.sort(g), 2)))
    if f.nin == 2:
        return [a, b]
    x = np.resize(g, a.size)
    return [x, a, b]


def allowed(f, value, args):
    """The flag sets a result may leave."""
    if np.isnan(value):
        return {INVALID}
    if np.isinf(value):
        exact = any(np.isinf(a) for a in args) or (f is tn.logmass and args[0] == args[1])
        return {0} if exact else {OVERFLOW, DIVIDE}
    if abs(value) < np.finfo(value.dtype).tiny:
        return {0, UNDERFLOW}
    return {0}


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("f", ONE + STEPS + INTERVALS, ids=lambda f: f.__name__)
def test_flags_describe_the_result(f, dtype):
    args = cases(f, dtype)
    with np.errstate(all="ignore"):
        values = f(*args)
    normal = np.isfinite(values) & (np.abs(values) >= np.finfo(dtype).tiny)
    with np.errstate(all="raise"):
        f(*(a[normal] for a in args))
    wrong = []
    for k in np.flatnonzero(~normal):
        row = [a[k] for a in args]
        got = flags(f, *row)
        if got not in allowed(f, values[k], row):
            wrong.append(f"{[r.item() for r in row]} -> {values[k]!r} with flags {got}")
    assert not wrong, f"{len(wrong)} of {(~normal).sum()}, e.g. {wrong[:4]}"


# Cases that raised a flag on a normal result: the variance and the others with an end near the
# double reflection cut-off 37.7 (or the float one), and tiny arguments whose squares underflow.
NORMAL = [
    (tn.var, (-30.0, np.inf)), (tn.var, (-38.6, np.inf)), (tn.var, (-26.6, np.inf)), (tn.var, (-np.inf, 30.0)),
    (tn.logmass, (1.19, 37.75)), (tn.mean, (-38.0, 1.0)), (tn.cdf, (38.2, -np.inf, np.inf)),
    (tn.sf, (-38.0, -50.0, np.inf)), (tn.mean, (0.0, 1e-160)), (tn.var, (-1e-160, 1.0)),
    (zelnor.millsratio, (-1e-200,)), (zelnor.millsratio, (-2e-154,)), (zelnor.millsratio, (1e-300,)),
    (zelnor.millsratio_d1, (-1e-200,)), (zelnor.millsratio_d3, (-1e-200,)),
    (zelnor.millsratio_rel_below1, (1e-300,)), (zelnor.millsratio_dd, (1.0, 1e-153)),
    (zelnor.millsratio_dd, (-1e-200, 1e-250)), (zelnor.millsratio_reflected_sum, (1e-160, 1e-161)),
]
NORMAL_FLOAT32 = [
    (tn.var, (-37.78, np.inf)), (tn.logmass, (0.0, 38.5)), (tn.mean, (-37.82, -7.3e-28)),
    (tn.cdf, (38.22, 6.6e-20, 39.1)), (tn.sf, (-33.3, -51.0, np.inf)), (zelnor.millsratio, (-6.5e-21,)),
    (zelnor.millsratio_d1, (7e-31,)), (zelnor.millsratio_rel_below1, (2.5e-35,)),
    (zelnor.millsratio_dd, (14.22, 2.4e-28)),
]


@pytest.mark.parametrize("f, args, dtype", [(f, a, np.float64) for f, a in NORMAL]
                         + [(f, a, np.float32) for f, a in NORMAL_FLOAT32],
                         ids=lambda v: getattr(v, "__name__", None))
def test_named_normal_results_raise_nothing(f, args, dtype):
    with np.errstate(all="raise"):
        value = f(*(dtype(a) for a in args))
    assert value.dtype == dtype and np.isfinite(value) and abs(value) >= np.finfo(dtype).tiny


@pytest.mark.parametrize("f", [zelnor.millsratio, zelnor.millsratio_d1, zelnor.millsratio_d3],
                         ids=lambda f: f.__name__)
@pytest.mark.parametrize("x, dtype", [(-37.7, np.float64), (-38.0, np.float64), (-1e10, np.float64),
                                      (-1e300, np.float64), (-14.0, np.float32), (-3e38, np.float32)])
def test_every_infinite_result_from_a_finite_argument_raises_overflow(f, x, dtype):
    with np.errstate(over="ignore"):
        assert f(dtype(x)) == np.inf
    assert flags(f, dtype(x)) == flags(np.exp, dtype(1000.0)) == OVERFLOW
    assert flags(f, dtype(-np.inf)) == 0


def test_a_pole_raises_divide_by_zero_and_an_empty_interval_nothing():
    assert flags(zelnor.millsratio_reflected_sum, 1.0, 0.0) == flags(np.divide, 1.0, 0.0) == DIVIDE
    assert flags(tn.logmass, 2.0, 2.0) == 0 and tn.logmass(2.0, 2.0) == -np.inf


@pytest.mark.parametrize("order", [1, -1])
def test_an_earlier_elements_flag_stays(order):
    """A normal result before or after an overflow or an underflow does not clear it."""
    assert flags(zelnor.millsratio, np.array([-38.0, 0.5])[::order]) == OVERFLOW
    assert flags(zelnor.millsratio, np.array([1e308, 0.5])[::order]) == UNDERFLOW
