"""zelnor.mills: conversions and shapes, argument errors, the range check, introspection, the module
frame and its import behaviour, and accuracy against the mpmath reference tables."""
import ctypes
import inspect
import subprocess
import sys
import textwrap
from fractions import Fraction

import mpmath
import numpy as np
import pytest

import zelnor.mills as mills
from reference import load, rel_error, worst

FUNCTIONS = [mills.millsratio, mills.millsratio_d1, mills.millsratio_d3, mills.millsratio_rel_below1]
DOCSTRINGS = {
    "millsratio": "Mills ratio R(x) = N(-x)/n(x); scalar or ndarray, any x.",
    "millsratio_d1": "-R'(x) = 1 - x R(x); scalar or ndarray, any x.",
    "millsratio_d3": "-R'''(x); scalar or ndarray, any x.",
    "millsratio_rel_below1": "(sqrt(pi/2) - R(x))/x; scalar or ndarray, 0 <= x <= 1.",
}
MODULE_DOC = (
    "Mills ratio R(x) = N(-x)/n(x), -R'(x), -R'''(x), plus (sqrt(pi/2) - R(x))/x on [0, 1].\n"
    "\n"
    "This module is a thin numpy-vectorisation layer over the C++ kernels in\n"
    "src/zelnor/_kernels/mills.  The kernels are templated on T in\n"
    "{float, double}; the Cython binding (this file) and the tarsel pricer share the\n"
    "same canonical math source.\n"
    "\n"
    "The scalar entry points (_R, _R1, _R3, _R013_CF, _Rrel_below1) are cimport-able\n"
    "from other Cython modules via the cdef extern declarations in mills.\n"
)
RANGE_MESSAGE = "millsratio_rel_below1 requires 0 <= x <= 1."

# Arguments inside the relative form's domain, so every function accepts them.
SAMPLE = np.array([[0.0, 0.125, 0.25], [0.5, 0.75, 1.0]])


def elementwise(f, a):
    """The function applied one Python float at a time: what every array result must match."""
    return np.array([f(float(v)) for v in np.asarray(a, dtype=np.float64).ravel()]).reshape(np.shape(a))


@pytest.mark.parametrize("f", FUNCTIONS)
@pytest.mark.parametrize("x", [0.5, 1, np.float32(0.5), np.float64(0.25), np.array(0.75), True])
def test_scalar_inputs_give_python_float(f, x):
    result = f(x)
    assert type(result) is float
    assert result == f(np.array(float(x)))


@pytest.mark.parametrize("f", FUNCTIONS)
@pytest.mark.parametrize(
    "x, shape",
    [
        (np.array([0.5]), (1,)),
        (np.zeros(0), (0,)),
        (np.zeros((3, 0)), (3, 0)),
        ([[0.5, 1.0], [0.0, 0.25]], (2, 2)),
        (SAMPLE.astype(np.float32), (2, 3)),
        (np.array([[0, 1], [1, 0]], dtype=np.int64), (2, 2)),
        (np.asfortranarray(SAMPLE), (2, 3)),
        (np.arange(12.0).reshape(3, 4)[:, ::2] / 12, (3, 2)),
    ],
    ids=["one-element", "empty", "empty-2d", "nested-list", "float32", "int", "fortran", "strided"],
)
def test_array_inputs_give_float64_arrays_of_their_shape(f, x, shape):
    result = f(x)
    assert type(result) is np.ndarray and result.dtype == np.float64
    assert result.shape == shape and result.flags.c_contiguous
    np.testing.assert_array_equal(result, elementwise(f, x))


@pytest.mark.parametrize("f", FUNCTIONS)
def test_input_is_only_read_and_never_returned(f):
    a = SAMPLE.copy()
    result = f(a)
    assert result is not a and not np.shares_memory(result, a)
    np.testing.assert_array_equal(a, SAMPLE)


@pytest.mark.parametrize("f", FUNCTIONS)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("ndim", [0, 2])
def test_read_only_inputs_are_accepted(f, dtype, ndim):
    a = SAMPLE.astype(dtype) if ndim else np.array(0.5, dtype=dtype)
    a.flags.writeable = False
    np.testing.assert_array_equal(f(a), elementwise(f, a))


@pytest.mark.parametrize("f", FUNCTIONS)
def test_argument_errors(f):
    name = f.__name__
    cases = [
        ((), {}, f"{name}() takes exactly 1 positional argument (0 given)"),
        ((0.5, 0.5), {}, f"{name}() takes exactly 1 positional argument (2 given)"),
        ((), {"y": 0.5}, f"{name}() got an unexpected keyword argument 'y'"),
        ((0.5,), {"x": 0.5}, f"{name}() got multiple values for keyword argument 'x'"),
        ((0.5,), {"y": 0.5}, f"{name}() got an unexpected keyword argument 'y'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            f(*args, **kwargs)
        assert str(info.value) == message
    assert f(x=0.5) == f(0.5)


def test_conversion_errors_propagate_from_numpy():
    with pytest.raises(ValueError, match="could not convert string to float"):
        mills.millsratio("abc")
    with pytest.raises(TypeError):
        mills.millsratio(object())


@pytest.mark.parametrize("x", [1.5, -0.25, [0.5, 1.0000000000000002], np.array([[0.0], [-1e-300]]), np.inf])
def test_relative_form_refuses_arguments_outside_its_domain(x):
    with pytest.raises(ValueError) as info:
        mills.millsratio_rel_below1(x)
    assert str(info.value) == RANGE_MESSAGE


@pytest.mark.parametrize("x", [0.0, -0.0, 1.0, np.zeros(0), [0.0, 1.0]])
def test_relative_form_accepts_its_closed_domain(x):
    """The ends 0 and 1 are inside: Rrel(0) = 1 exactly, Rrel(1) = sqrt(pi/2) - R(1) to 4.5e-16."""
    values = mills.millsratio_rel_below1(x)
    assert np.shape(values) == np.shape(x)
    exact = [1 if v == 0 else mpmath.sqrt(mpmath.pi / 2) - mills_ratio_mp(mpmath.mpf(v)) for v in np.ravel(x)]
    assert all(abs(v - e) <= 4.5e-16 * e for v, e in zip(np.ravel(values), exact))


def test_relative_form_lets_nan_through_to_the_kernel():
    assert np.isnan(mills.millsratio_rel_below1(np.nan))


@pytest.mark.parametrize("f", FUNCTIONS)
def test_introspection(f):
    name = f.__name__
    assert name in DOCSTRINGS and f.__qualname__ == name
    assert f.__module__ == "zelnor.mills"
    assert f.__doc__ == DOCSTRINGS[name]
    assert str(inspect.signature(f)) == "(x)"


def test_module_namespace():
    assert mills.__doc__ == MODULE_DOC
    assert mills.np is np
    assert mills.__test__ == {} and type(mills.__test__) is dict
    names = [k for k in vars(mills) if not k.startswith("__") or k in ("__builtins__", "__test__")]
    assert names == ["__builtins__", "np", *DOCSTRINGS, "__test__"]


def test_reimport_gives_the_same_module_object():
    functions = {name: getattr(mills, name) for name in [*DOCSTRINGS, "np"]}
    del sys.modules["zelnor.mills"]
    try:
        import zelnor.mills as again
    finally:
        sys.modules["zelnor.mills"] = mills
    assert again is mills
    assert all(getattr(again, k) is v for k, v in functions.items())


def test_executing_again_with_another_module_object_is_refused():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(mills)
    assert definition
    other = type(mills)("zelnor.mills")
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(other, definition)
    assert str(info.value) == "Module 'mills' has already been imported. Re-initialisation is not supported."


def test_a_second_interpreter_is_refused():
    # Python 3.13 renamed the private module and returns the failure instead of raising it.
    script = textwrap.dedent(
        """
        import zelnor.mills
        try:
            import _interpreters
        except ModuleNotFoundError:
            import _xxsubinterpreters as interpreters
            try:
                interpreters.run_string(interpreters.create(), "import zelnor.mills")
            except interpreters.RunFailedError as e:
                print(str(e).replace("<class 'ImportError'>", "ImportError"))
        else:
            failure = _interpreters.run_string(_interpreters.create(), "import zelnor.mills")
            print(f"{failure.type.__name__}: {failure.msg}")
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    if sys.version_info >= (3, 12):
        # The interpreter reads the modules' declaration that they support one interpreter only.
        refusal = "ImportError: module zelnor._ufuncs does not support loading in subinterpreters"
    else:
        # The module's own initialisation notices the second interpreter.
        refusal = ("ImportError: Interpreter change detected - this module can only be loaded into one "
                   "interpreter per process.")
    assert out.stdout.strip() == refusal


ACCURACY = [
    ("millsratio.txt", mills.millsratio, 4.5e-16),
    ("millsratio_d1.txt", mills.millsratio_d1, 8e-16),
    ("millsratio_d3.txt", mills.millsratio_d3, 8e-16),
    ("millsratio_rel.txt", mills.millsratio_rel_below1, 4.5e-16),
]


@pytest.mark.parametrize("table, f, bound", ACCURACY, ids=[a[0] for a in ACCURACY])
def test_accuracy_against_mpmath(table, f, bound):
    (x,), hi, lo = load(table, 1)
    values = f(x)
    if f is mills.millsratio_d3:
        # Beyond the tail guard on u = x^2 + 3 (the square root of the largest double) -R''', about
        # 6/x^4, is at the bottom of the normal range or subnormal: two roundings, or the subnormal
        # spacing.
        beyond = x * x + 3 > 1.3407807929942596e154
        eps = np.finfo(float).eps
        gap = np.abs((values[beyond] - hi[beyond]) - lo[beyond])
        assert np.all(gap <= 2 * eps * hi[beyond] + 5e-324), worst(gap, x[beyond])
        x, values, hi, lo = x[~beyond], values[~beyond], hi[~beyond], lo[~beyond]
    err = rel_error(values, hi, lo)
    # For x < 0 the reflection's exponential amplifies the rounding of x^2/2: about (x^2/2) eps.
    neg = np.minimum(x, 0.0)
    allowed = np.where(x >= 0, bound, 4 * (neg * neg / 2 + 2) * np.finfo(float).eps)
    assert np.all(err <= allowed), worst(err / allowed, x)


def test_special_values():
    x = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -38.0, 1e8])
    np.testing.assert_array_equal(
        mills.millsratio(x), [1.2533141373155003, 1.2533141373155003, 0.0, np.inf, np.nan, np.inf, 1e-08]
    )
    np.testing.assert_array_equal(mills.millsratio_d1(x[:5]), [1.0, 1.0, 0.0, np.inf, np.nan])
    np.testing.assert_array_equal(mills.millsratio_d3(x[:5]), [2.0, 2.0, 0.0, np.inf, np.nan])


def mills_ratio_mp(x):
    """R(x) = sqrt(pi/2) erfc(x/sqrt 2) exp(x^2/2) in mpmath, at 40 digits."""
    with mpmath.workdps(40):
        return mpmath.sqrt(mpmath.pi / 2) * mpmath.erfc(x / mpmath.sqrt(2)) * mpmath.exp(x * x / 2)


def convergent(x, n):
    """The exact rational R_n(x) = 1/(x + 1/(x + 2/(... + n/x))), the order-n convergent."""
    t = Fraction(x)
    for j in range(n, 0, -1):
        t = x + Fraction(j) / t
    return 1 / t


@pytest.mark.parametrize("n", [2, 4, 6, 8, 10, 12])
def test_continued_fraction_orders_are_the_exact_convergents(n):
    """Each closed form is its convergent R_n, and -R'_n = 1 - x R_n, -R'''_n = x^2 + 2 - x u R_n
    (u = x^2 + 3, exact at these x), to 2 eps: measured 1.9 units of 2^-53 at worst. Small x, where
    1/u is not negligible, so that a changed constant anywhere in a closed form shows."""
    cf = ctypes.CDLL(mills.__file__).zelnor_MillsRatio_CF
    cf.restype, cf.argtypes = ctypes.c_double, [ctypes.c_double, ctypes.c_int, ctypes.c_int]
    for x in (1.5, 2.0, 3.0, 5.5, 9.5, 12.0, 20.0, 60.0):
        t = Fraction(x)
        r, u = convergent(t, n), t * t + 3
        exact = {0: r, 1: 1 - t * r, 3: t * t + 2 - t * u * r}
        for d, value in exact.items():
            got = cf(float(u) if d else x, n, d)
            error = abs(Fraction(got) - value) / value if value else abs(got)
            assert error <= 2 * np.finfo(float).eps, f"R_{n}, d = {d}, x = {x!r}: {got!r}, exact {float(value)!r}"
