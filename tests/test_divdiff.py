"""zelnor.divdiff: the third argument's conversion, argument errors and the order failures surface in,
broadcasting, texts and introspection, and accuracy against the mpmath reference tables."""
import ctypes
import inspect
import warnings

import numpy as np
import pytest

import zelnor.divdiff as divdiff
from reference import load, rel_error, worst

dd, dd_cf = divdiff.millsratio_dd, divdiff.millsratio_dd_cf
FUNCTIONS = [dd, dd_cf]
EPS = np.finfo(float).eps

DOC_DD = (
    "Mills-ratio symmetric divided difference:\n"
    "        theta = +1: returns (R(x-dx) - R(x+dx)) / (2 dx)  (difference branch)\n"
    "        theta = -1: returns (R(dx-x) + R(x+dx)) / (2 dx)  (sum branch; first argument\n"
    "                    reflected so both R-evaluations land on positive arguments)\n"
    "    Scalars or broadcastable ndarrays for x, dx; theta scalar (+/-1).  For theta=+1 a\n"
    "    three-regime split (CF asymp / 5-term R'''-seeded Taylor / direct R difference)\n"
    "    bounds the relative error at the worst-case boundary; theta=-1 is a pure sum of two\n"
    "    Mills ratios (no cancellation).\n"
    "    "
)
DOC_DD_CF = (
    "Deep-asymptotic cancellation-free divided difference via the (V, T, P^a, P^b) CF\n"
    "    recurrence (table-free, algorithmic loop).  n_terms >= 0 supported.  Scalars or\n"
    "    broadcastable ndarrays for x, dx; n_terms scalar.\n"
    "    "
)
MODULE_DOC = """Symmetric divided differences of the Mills ratio R(x) = N(-x)/n(x).

For a midpoint x and half-step dx (so the two evaluation points are x - dx and x + dx):

    millsratio_dd(x, dx, theta=+1) = (R(x-dx) - R(x+dx)) / (2 dx)  (difference branch)
    millsratio_dd(x, dx, theta=-1) = (R(dx-x) + R(x+dx)) / (2 dx)  (sum branch; first
                                     argument reflected so both R-evaluations land on
                                     positive arguments)
    millsratio_dd_cf(x, dx, n)     = deep-asymptotic cancellation-free divided difference
                                     via the coupled (V, T, Pa, Pb) recurrence on the
                                     depth-n CF convergent of R; table-free.

Note: theta=-1 is NOT the literal arithmetic divided difference -- the first argument is
reflected (R(dx - x) instead of R(x - dx)) so that both R-evaluations land on positive
arguments, avoiding cancellation when x < 0.

This module is a thin numpy-vectorisation layer over the C++ kernels in
src/zelnor/_kernels/divdiff.  The kernels are templated on T in {float, double}
and share the same canonical math source with the tarsel pricer.

The scalar entry points (_R_DD, _R_DD_CF) are cimport-able from other Cython modules
via the cdef extern declarations in divdiff.
"""


def test_texts_and_introspection():
    assert divdiff.__doc__ == MODULE_DOC
    assert divdiff.np is np and divdiff.__test__ == {}
    for f, doc, third, default in [(dd, DOC_DD, "theta", 1), (dd_cf, DOC_DD_CF, "n_terms", 4)]:
        name = f.__name__
        assert f.__qualname__ == name and f.__module__ == "zelnor.divdiff"
        assert f.__doc__ == doc
        assert str(inspect.signature(f)) == f"(x, dx, {third}={default})"
        assert f.__defaults__ == (default,) and type(f.__defaults__[0]) is int


def test_results_are_the_entry_points():
    library = ctypes.CDLL(divdiff.__file__)
    for name, f, k in [("zelnor_MillsRatioDiff", dd, 1), ("zelnor_MillsRatioDiff_CF", dd_cf, 4)]:
        entry = getattr(library, name)
        entry.restype = ctypes.c_double
        entry.argtypes = [ctypes.c_double, ctypes.c_double, ctypes.c_int]
        for x, dx in [(1.0, 0.5), (30.0, 1e-9), (-0.5, 2.0)]:
            assert f(x, dx) == entry(x, dx, k)
            assert f(x, dx, -k) == entry(x, dx, -k)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: dd(1.0), "millsratio_dd() takes at least 2 positional arguments (1 given)"),
        (lambda: dd(), "millsratio_dd() takes at least 2 positional arguments (0 given)"),
        (lambda: dd(1.0, 0.5, 1, 2), "millsratio_dd() takes at most 3 positional arguments (4 given)"),
        (lambda: dd(1.0, 0.5, 1, 2, theta=1), "millsratio_dd() takes at most 3 positional arguments (4 given)"),
        (lambda: dd(dx=0.5), "millsratio_dd() takes at least 2 positional arguments (0 given)"),
        (lambda: dd(x=1.0), "millsratio_dd() takes at least 2 positional arguments (1 given)"),
        (lambda: dd(x=1.0, theta=-1), "millsratio_dd() takes at least 2 positional arguments (1 given)"),
        (lambda: dd_cf(1.0, 0.5, theta=1), "millsratio_dd_cf() got an unexpected keyword argument 'theta'"),
        (lambda: dd(1.0, x=2.0), "millsratio_dd() got multiple values for keyword argument 'x'"),
        (lambda: dd(1.0, 0.5, 1, theta=1), "millsratio_dd() got multiple values for keyword argument 'theta'"),
        (lambda: dd(1.0, 0.5, y=1, theta=1), "millsratio_dd() got an unexpected keyword argument 'y'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_in_any_order():
    assert dd(dx=0.5, theta=-1, x=1.0) == dd(1.0, 0.5, -1)
    assert dd_cf(n_terms=7, x=30.0, dx=2.0) == dd_cf(30.0, 2.0, 7)


class IntSubclass(int):
    pass


class ReturnsSubclass:
    def __int__(self):
        return IntSubclass(-1)


class ReturnsString:
    def __int__(self):
        return "1"


@pytest.mark.parametrize("f", FUNCTIONS)
@pytest.mark.parametrize(
    "bad, error, message",
    [
        ("1", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (2**64, OverflowError, None),
        (float("nan"), ValueError, None),
        (float("inf"), OverflowError, None),
        (ReturnsString(), TypeError, "__int__ returned non-int (type str)"),
    ],
)
def test_third_argument_refused(f, bad, error, message):
    with pytest.raises(error) as info:
        f(1.0, 0.5, bad)
    if message is not None:
        assert str(info.value) == message


def test_third_argument_is_converted_before_x():
    with pytest.raises(TypeError, match="^an integer is required$"):
        dd("not a number", 0.5, None)
    with pytest.raises(ValueError, match="could not convert"):
        dd("not a number", 0.5, 1)
    with pytest.raises(ValueError, match="could not convert"):
        dd(1.0, "not a number")
    with pytest.raises(ValueError, match="broadcast"):
        dd([1.0, 2.0], [0.1, 0.2, 0.3])


def test_int_subclass_from_int_is_deprecated_but_accepted():
    with pytest.warns(DeprecationWarning) as record:
        value = dd(1.0, 0.5, ReturnsSubclass())
    assert str(record[0].message) == (
        "__int__ returned non-int (type IntSubclass).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python."
    )
    assert value == dd(1.0, 0.5, -1)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            dd(1.0, 0.5, ReturnsSubclass())


# The sign of theta picks the branch (0 is the difference); floats truncate toward zero.
@pytest.mark.parametrize("x, dx", [(1.0, 0.5), (-3.0, 4.0), (25.0, 0.25)])
def test_theta_selects_by_sign(x, dx):
    difference, reflected = dd(x, dx, 1), dd(x, dx, -1)
    assert difference != reflected
    for theta in [2, 0, True, False, -0.5, 1.9, 2**31 - 1]:
        assert dd(x, dx, theta) == difference
    for theta in [-7, -1.5, -(2**31)]:
        assert dd(x, dx, theta) == reflected


@pytest.mark.parametrize("x, dx", [(1.0, 0.5), (30.0, 2.0), (0.5, 0.125)])
def test_n_terms_edges(x, dx):
    assert dd_cf(x, dx, 0) == 1 / ((x - dx) * (x + dx))
    assert dd_cf(x, dx, -3) == dd_cf(x, dx, 1) == dd_cf(x, dx, -(2**31))


@pytest.mark.parametrize("f", FUNCTIONS)
def test_broadcasting(f):
    x = np.array([[1.0], [30.0]])
    dx = np.array([0.125, 0.5, 2.0])
    result = f(x, dx)
    assert result.shape == (2, 3) and result.dtype == np.float64 and result.flags.c_contiguous
    for r in range(2):
        for c in range(3):
            assert result[r, c] == f(float(x[r, 0]), float(dx[c]))
    assert f([1.0, 2.0], 0.25).shape == (2,)
    assert f(np.arange(3, dtype=np.int32) + 1, np.float32(0.25)).dtype == np.float64
    assert f(np.zeros(0), 0.5).shape == (0,)
    assert type(f(np.array([1.0]), 0.5)) is np.ndarray and f(np.array([1.0]), 0.5).shape == (1,)


@pytest.mark.parametrize("f", FUNCTIONS)
@pytest.mark.parametrize("x, dx", [(1.0, 0.5), (np.float32(1.0), np.array(0.5)), (np.array(1.0), 1)])
def test_zero_dimensional_broadcast_gives_python_float(f, x, dx):
    assert type(f(x, dx)) is float


@pytest.mark.parametrize("f", FUNCTIONS)
def test_inputs_read_only_and_untouched(f):
    x = np.linspace(1.0, 40.0, 6).reshape(2, 3)
    dx = np.full((2, 3), 0.25)
    expected = f(x.copy(), dx.copy())
    for a in (x, dx):
        a.flags.writeable = False
    result = f(x, dx)
    np.testing.assert_array_equal(result, expected)
    assert result is not x and not np.shares_memory(result, x) and not np.shares_memory(result, dx)
    np.testing.assert_array_equal(x, np.linspace(1.0, 40.0, 6).reshape(2, 3))


@pytest.mark.parametrize("f", FUNCTIONS)
def test_nan_elements(f):
    result = f(np.array([np.nan, 30.0, 30.0]), np.array([0.5, np.nan, 0.5]))
    assert np.isnan(result[0]) and np.isnan(result[1]) and result[2] == f(30.0, 0.5)


def test_divided_difference_accuracy():
    (x, dx), hi, lo = load("divdiff.txt", 2)
    inside = (x >= -1) & (x <= 60)
    err = rel_error(dd(x[inside], dx[inside]), hi[inside], lo[inside])
    assert err.max() <= 1.5e-14, worst(err, x[inside], dx[inside])


def test_reflected_sum_accuracy():
    (x, dx), hi, lo = load("reflected_sum.txt", 2)
    # R(dx - x) itself overflows a double below about -37.6, even where the quotient would not.
    keep = dx - x > -37.6
    x, dx, hi, lo = x[keep], dx[keep], hi[keep], lo[keep]
    err = rel_error(dd(x, dx, -1), hi, lo)
    # A sum of two positive terms: the exponential of the reflection bounds it, as for R itself.
    neg = np.minimum(np.minimum(dx - x, x + dx), 0.0)
    allowed = 8 * EPS + 4 * (neg * neg / 2) * EPS
    assert np.all(err <= allowed), worst(err / allowed, x, dx)


def test_continued_fraction_accuracy():
    (x, dx, n), hi, lo = load("divdiff_cf.txt", 3)
    values = np.array([dd_cf(a, b, int(k)) for a, b, k in zip(x, dx, n)])
    err = rel_error(values, hi, lo)
    # Deep in the tail every term of the recurrences is positive: a few ulps at the depths the
    # divided difference uses (up to 8), growing about linearly with the depth beyond.
    deep = x - dx >= 21.2
    allowed = np.maximum(8, n[deep]) * EPS
    assert np.all(err[deep] <= allowed), worst(err[deep] / allowed, x[deep], dx[deep], n[deep])
    # Nearer the origin signs mix in the first passes: about 2e-14. At depth 1 the value is
    # (ab - 1)/((b^2 + 1)(a^2 + 1)), whose numerator cancels where ab is close to 1.
    ab = (x - dx) * (x + dx)
    cancellation = np.where(n == 1, np.abs(ab / (ab - 1)), 1.0)
    allowed = np.maximum(2e-14, 4 * EPS * cancellation)
    near = ~deep
    assert np.all(err[near] <= allowed[near]), worst(err[near] / allowed[near], x[near], dx[near], n[near])
