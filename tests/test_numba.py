"""The ufuncs inside @numba.njit code: bit for bit the ufunc's loops in float32 and float64 over every
regime, NaN for domain errors without an exception, the types of the results, the element-wise form
on arrays, caching, and registration through Numba's entry point alone."""
import importlib
import os
import subprocess
import sys

import numpy as np
import pytest

numba = pytest.importorskip("numba")

import zelnor  # noqa: E402
import zelnor.truncnorm as tn  # noqa: E402
from zelnor import _numba  # noqa: E402
from test_ufuncs import assert_same_bits, log_uniform, pair_arguments, unary_arguments  # noqa: E402

N_ARGUMENTS = 10**5
FLOATS = [np.float32, np.float64]
KERNELS = {k.name: k for k in _numba.KERNELS}
UFUNCS = {name: getattr(importlib.import_module(k.module), name) for name, k in KERNELS.items()}


def intervals(dtype, rng, n=N_ARGUMENTS):
    """Ends a, b around centres in [-40, 40] and of magnitudes 1e-3 to 1e6, half-widths from 1e-12 of
    the centre to 1e6; a infinite in one case in eight, b in another, reversed ends and NaN in one in
    forty each."""
    x = np.concatenate([rng.uniform(-40, 40, n // 2),
                        rng.choice([-1, 1], n - n // 2) * 10.0 ** rng.uniform(-3, 6, n - n // 2)])
    h = np.maximum(1.0, np.abs(x)) * 10.0 ** rng.uniform(-12, 0, n) * rng.choice([1, 1e6], n)
    a, b = x - h, x + h
    kind = rng.integers(0, 40, n)
    a[kind < 5] = -np.inf
    b[(kind >= 5) & (kind < 10)] = np.inf
    a[kind == 10], b[kind == 10] = b[kind == 10], a[kind == 10].copy()
    a[kind == 11] = np.nan
    return a.astype(dtype), b.astype(dtype)


def arguments(name, dtype, rng):
    if name == "millsratio_dd_cf":
        x, dx = pair_arguments(dtype, rng)
        n = rng.integers(0, 40, x.size)
        n[:8] = [-1, -2**31, 2**31, 2**40, 0, 1, 2**31 - 1 + 2**32, -2**63]
        return x, dx, n
    if KERNELS[name].module == "zelnor.truncnorm":
        a, b = intervals(dtype, rng)
        if UFUNCS[name].nin == 2:
            return a, b
        if name in ("ppf", "isf"):
            # Probabilities: uniform, tiny, close to 1, and a few outside [0, 1].
            p = np.concatenate([rng.uniform(0, 1, a.size // 2), 10.0 ** -rng.uniform(0, 300, a.size // 4),
                                1 - 10.0 ** -rng.uniform(0, 17, a.size // 8)])
            p = np.concatenate([p, rng.uniform(-0.1, 1.1, a.size - p.size)])
            return rng.permutation(p).astype(dtype), a, b
        with np.errstate(invalid="ignore"):
            inside = a + rng.uniform(-0.1, 1.1, a.size) * (b - a)
        return np.where(np.isfinite(inside), inside, rng.uniform(-40, 40, a.size)).astype(dtype), a, b
    if UFUNCS[name].nin == 2:
        return pair_arguments(dtype, rng)
    return (unary_arguments(dtype, rng),)


def jitted_loop(f):
    """A jitted loop calling f once per element, output k into row k of out."""
    if f.nout == 2:
        def loop(x, y, out):
            for i in range(out.shape[1]):
                out[0, i], out[1, i] = f(x[i], y[i])
    elif f.nin == 1:
        def loop(x, out):
            for i in range(out.shape[1]):
                out[0, i] = f(x[i])
    elif f.nin == 2:
        def loop(x, y, out):
            for i in range(out.shape[1]):
                out[0, i] = f(x[i], y[i])
    else:
        def loop(x, y, z, out):
            for i in range(out.shape[1]):
                out[0, i] = f(x[i], y[i], z[i])
    return numba.njit(loop)


def outputs(f, *args):
    """The ufunc's outputs as the rows of one array."""
    with np.errstate(all="ignore"):
        return np.array(f(*args)).reshape(f.nout, -1)


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("name", KERNELS)
def test_jitted_loop_equals_the_ufunc_bit_for_bit(name, dtype):
    f = UFUNCS[name]
    args = arguments(name, dtype, np.random.default_rng(sum(map(ord, name))))
    out = np.empty((f.nout, args[0].size), dtype)
    jitted_loop(f)(*args, out)
    want = outputs(f, *args)
    assert want.dtype == dtype
    for got_k, want_k in zip(out, want):
        assert_same_bits(got_k, want_k, *args)


def test_every_ufunc_of_the_package_is_in_the_table():
    # Objects, not names: a module may hold one ufunc under two names.
    ufuncs = {f for module in (zelnor, tn) for f in vars(module).values() if isinstance(f, np.ufunc)}
    assert ufuncs == set(UFUNCS.values())


DOMAIN_ERRORS = [
    ("millsratio_rel_below1", (1.5,)), ("millsratio_rel_below1", (-1e-30,)),
    ("millsratio_dd_cf", (1.0, 0.5, -1)), ("millsratio_dd_cf", (1.0, 0.5, 2**31)),
    ("logmass", (1.0, -1.0)), ("mean", (1.0, -1.0)), ("var", (np.inf, -np.inf)),
    ("cdf", (0.0, 1.0, -1.0)), ("sf", (0.0, 1.0, -1.0)), ("pdf", (0.0, 1.0, -1.0)),
    ("logpdf", (0.0, 1.0, -1.0)), ("logcdf", (0.0, 1.0, -1.0)), ("logsf", (0.0, 1.0, -1.0)),
    ("ppf", (1.5, 0.0, 1.0)), ("isf", (-0.5, 0.0, 1.0)), ("entropy", (1.0, -1.0)),
    ("dlogmass", (1.0, -1.0)),
]


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("name, args", DOMAIN_ERRORS)
def test_domain_errors_give_nan_and_raise_nothing(name, args, dtype):
    args = tuple(dtype(a) if isinstance(a, float) else a for a in args)
    f = UFUNCS[name]
    with np.errstate(all="raise"):
        with pytest.raises(FloatingPointError):
            f(*args)
        got = numba.njit(lambda *a: f(*a))(*args)
    assert np.isnan(got).all()


def return_type(f, *args):
    jitted = numba.njit(lambda *a: f(*a))
    jitted(*args)
    return jitted.nopython_signatures[-1].return_type


@pytest.mark.parametrize("name, args, want", [
    ("millsratio", (np.float32(1),), numba.float32),
    ("millsratio", (1.0,), numba.float64),
    ("millsratio", (1,), numba.float64),
    ("millsratio", (True,), numba.float64),
    ("millsratio_dd", (np.float32(1), np.float32(0.5)), numba.float32),
    ("millsratio_dd", (np.float32(1), 0.5), numba.float64),
    ("millsratio_dd", (1, np.float32(0.5)), numba.float64),
    ("millsratio_dd", (np.array([True, False]), np.float32(0.5)), numba.float64[::1]),
    ("millsratio_dd", (np.float32([1, 2]), np.float32(0.5)), numba.float32[::1]),
    ("millsratio_dd_cf", (np.float32(1), np.float32(0.5), 4), numba.float32),
    ("millsratio_dd_cf", (np.float32(1), np.float32(0.5), np.int8(4)), numba.float32),
    ("cdf", (np.float32(0), np.float32(-1), np.float32(1)), numba.float32),
    ("cdf", (0, np.float32(-1), np.float32(1)), numba.float64),
    ("dlogmass", (np.float32(0), np.float32(1)), numba.types.UniTuple(numba.float32, 2)),
    ("dlogmass", (np.float32(0), 1.0), numba.types.UniTuple(numba.float64, 2)),
])
def test_float32_runs_where_every_real_argument_is_float32(name, args, want):
    assert return_type(UFUNCS[name], *args) == want


@pytest.mark.parametrize("name, args", [
    ("millsratio_dd_cf", (1.0, 0.5, 4.0)), ("millsratio", (1j,)), ("millsratio", (1.0, 2.0)),
    ("mean", (0.0,)),
])
def test_wrong_arguments_do_not_compile(name, args):
    with pytest.raises(numba.core.errors.TypingError):
        numba.njit(lambda *a: UFUNCS[name](*a))(*args)


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("name", KERNELS)
def test_arrays_broadcast_and_loop_element_wise(name, dtype):
    f = UFUNCS[name]
    args = [a[:24] for a in arguments(name, dtype, np.random.default_rng(5))]
    # The first argument along one axis, the others along the other; a scalar last where it is real.
    args = [args[0].reshape(4, 6, 1)] + [a[:5] for a in args[1:]]
    if len(args) > 1 and KERNELS[name].cargs[len(args) - 1] == "r":
        args[-1] = args[-1][0]
    got = numba.njit(lambda *a: f(*a))(*args)
    with np.errstate(all="ignore"):
        want = f(*args)
    for got_k, want_k in zip(*((got, want) if f.nout == 2 else ((got,), (want,)))):
        assert got_k.shape == want_k.shape and got_k.dtype == want_k.dtype
        assert_same_bits(got_k.ravel(), want_k.ravel())


ENTRY_POINT = """
import sys
import zelnor, zelnor.truncnorm
assert "numba" not in sys.modules, "importing zelnor imported numba"
import numba
f = numba.njit(lambda x, a, b: zelnor.millsratio(x) + zelnor.truncnorm.cdf(x, a, b))
print(f(0.5, 0.0, 1.0) == zelnor.millsratio(0.5) + zelnor.truncnorm.cdf(0.5, 0.0, 1.0),
      "zelnor._numba" in sys.modules)
"""


def test_numba_finds_the_extension_through_its_entry_point():
    done = subprocess.run([sys.executable, "-c", ENTRY_POINT], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True", "True"]


CACHED = """
import numba, numpy as np, zelnor, zelnor.truncnorm as tn

def g(x):
    return zelnor.millsratio(x[3]) + zelnor.millsratio_dd(x, 0.25).sum() + tn.dlogmass(x[3], 40.0)[1]

f = numba.njit(cache=True)(g)
x = np.linspace(-3.0, 30.0, 7)
print(f(x) == g(x), sum(f.stats.cache_hits.values()))
"""


def test_jitted_functions_can_be_cached(tmp_path):
    (tmp_path / "cached.py").write_text(CACHED)
    env = {**os.environ, "NUMBA_CACHE_DIR": str(tmp_path / "cache")}
    runs = [subprocess.run([sys.executable, "cached.py"], cwd=tmp_path, env=env, capture_output=True,
                           text=True) for _ in range(2)]
    assert [r.stdout.split() for r in runs] == [["True", "0"], ["True", "1"]], runs[1].stderr
