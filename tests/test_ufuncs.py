"""The top-level ufuncs: bit for bit the float and double kernel instantiations, NumPy's conventions
side by side with NumPy's own ufuncs, the invalid flag outside the domains, the interpreter lock and
pickling by reference."""
import ctypes
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pytest

import zelnor
from zelnor import _ufuncs
from gil import runs_without_the_interpreter_lock

FLOATS = [np.float32, np.float64]
UNARY = [zelnor.millsratio, zelnor.millsratio_d1, zelnor.millsratio_d3, zelnor.millsratio_rel_below1]
BINARY = [zelnor.millsratio_dd, zelnor.millsratio_reflected_sum]
ALL = UNARY + BINARY + [zelnor.millsratio_dd_cf]

# The kernels as the extension exports them: the double C entry point and the float instantiation of
# the template (C++ names mangled for T MillsRatio<float>(T) and T MillsRatioDiff<float>(T, T, int)),
# with the integer argument that the ufunc fixes or passes through.
LIB = ctypes.CDLL(_ufuncs.__file__)
KERNELS = {
    "millsratio": ("zelnor_MillsRatio", "_ZN6zelnor10MillsRatioIfEET_S1_", None),
    "millsratio_d1": ("zelnor_MillsRatioDeriv1", "_ZN6zelnor16MillsRatioDeriv1IfEET_S1_", None),
    "millsratio_d3": ("zelnor_MillsRatioDeriv3", "_ZN6zelnor16MillsRatioDeriv3IfEET_S1_", None),
    "millsratio_rel_below1": ("zelnor_MillsRatioRel_below1",
                              "_ZN6zelnor20MillsRatioRel_below1IfEET_S1_", None),
    "millsratio_dd": ("zelnor_MillsRatioDiff", "_ZN6zelnor14MillsRatioDiffIfEET_S1_S1_i", 1),
    "millsratio_reflected_sum": ("zelnor_MillsRatioDiff", "_ZN6zelnor14MillsRatioDiffIfEET_S1_S1_i", -1),
    "millsratio_dd_cf": ("zelnor_MillsRatioDiff_CF", "_ZN6zelnor17MillsRatioDiff_CFIfEET_S1_S1_i", "n"),
}
N_ARGUMENTS = 10**5

# Regime boundaries of the kernels (reflection cut-offs in double and float, polynomial pieces,
# continued-fraction depths, 1/x, tail guards), probed with their neighbours.
BOUNDARIES = [37.67712072049519, 13.320874214172363, 1, 9.5, 11.4, 11.5, 14.5, 15.1, 17.1, 21.2,
              24.1, 25.4, 41, 50.5, 59.3, 165, 210, 548, 12800, 17300, 6.7e7,
              1.8446742974197924e19, 1.3407807929942596e154]


def specials(dtype):
    fi = np.finfo(dtype)
    return np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan, fi.smallest_subnormal,
                     -fi.smallest_subnormal, fi.tiny, -fi.tiny, fi.max, -fi.max], dtype=dtype)


def near(values, dtype):
    """Each value (rounded to dtype) and its two neighbours on either side."""
    with np.errstate(over="ignore"):
        v = np.asarray(values, dtype=dtype)
    down, up = np.nextafter(v, dtype(-np.inf)), np.nextafter(v, dtype(np.inf))
    return np.concatenate([v, down, up, np.nextafter(down, dtype(-np.inf)), np.nextafter(up, dtype(np.inf))])


def log_uniform(rng, dtype, n):
    """Magnitudes spread over every binade of dtype, subnormals included, either sign."""
    fi = np.finfo(dtype)
    e = rng.uniform(np.log2(float(fi.smallest_subnormal)), np.log2(float(fi.max)), n)
    return (rng.choice([-1.0, 1.0], n) * np.exp2(e)).astype(dtype)


def unary_arguments(dtype, rng):
    b = np.array(BOUNDARIES)
    parts = [specials(dtype), near(np.concatenate([b, -b, [0.0]]), dtype)]
    fixed = sum(p.size for p in parts)
    k = (N_ARGUMENTS - fixed) // 3
    parts += [rng.uniform(-40, 40, k).astype(dtype), rng.uniform(0, 1, k).astype(dtype),
              log_uniform(rng, dtype, N_ARGUMENTS - fixed - 2 * k)]
    return np.concatenate(parts)


def pair_arguments(dtype, rng, n=N_ARGUMENTS):
    """Midpoints over every regime with half-steps from 0 through tiny, relative to x, around the
    series window of the difference (3.92 % of x + 1.25) and large, plus infinities and NaN."""
    x = np.concatenate([rng.uniform(-40, 60, n // 2), rng.uniform(20, 2e4, n // 4),
                        log_uniform(rng, dtype, n - n // 2 - n // 4).astype(np.float64)])
    window = (1.25 + x) * 0.0392
    kind = rng.integers(0, 5, n)
    dx = np.select(
        [kind == 0, kind == 1, kind == 2, kind == 3],
        [np.abs(x) * 10.0 ** rng.uniform(-12, 0, n), window * rng.uniform(0.999, 1.001, n),
         rng.uniform(-50, 50, n), rng.choice(specials(dtype), n).astype(np.float64)],
        log_uniform(rng, dtype, n).astype(np.float64))
    with np.errstate(over="ignore"):
        pairs = np.stack([x, dx]).astype(dtype)
    edges = np.array([[0.0, -0.0, 1.0, np.nan, np.inf, -np.inf, 30.0, 30.0, -2.0, np.nan],
                      [0.0, 0.0, -0.0, 1.0, 1.0, 0.5, np.nan, np.inf, 0.0, np.nan]], dtype=dtype)
    return np.concatenate([edges, pairs[:, : n - edges.shape[1]]], axis=1)


def kernel(name, dtype, *args):
    """The kernel instantiation behind the ufunc `name`, one ctypes call per element."""
    double_symbol, float_symbol, fixed = KERNELS[name]
    ctype = ctypes.c_float if dtype is np.float32 else ctypes.c_double
    f = getattr(LIB, float_symbol if dtype is np.float32 else double_symbol)
    f.restype = ctype
    f.argtypes = [ctype] * (len(args) if fixed is None else 2) + ([] if fixed is None else [ctypes.c_int])
    columns = [a.tolist() for a in args]
    if fixed is not None and fixed != "n":
        columns.append([fixed] * len(columns[0]))
    return np.array([f(*a) for a in zip(*columns)], dtype=dtype)


def assert_same_bits(got, want, *args):
    bits = {np.float32: np.uint32, np.float64: np.uint64}[want.dtype.type]
    bad = np.flatnonzero(got.view(bits) != want.view(bits))
    cases = "; ".join(
        "args (" + ", ".join(repr(a[k].item()) for a in args) + f"): ufunc {got[k]!r}, kernel {want[k]!r}"
        for k in bad[:5])
    assert bad.size == 0, f"{bad.size} of {got.size} differ, e.g. {cases}"


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("f", UNARY, ids=lambda f: f.__name__)
def test_unary_bits_equal_the_kernel(f, dtype):
    rng = np.random.default_rng(1)
    x = unary_arguments(dtype, rng)
    if f is zelnor.millsratio_rel_below1:
        # Only the domain; outside it the kernel extrapolates and the ufunc answers NaN (tested below).
        x = np.concatenate([x, near([0.0, 1.0], dtype), np.abs(log_uniform(rng, dtype, 2 * N_ARGUMENTS))])
        x = x[np.isnan(x) | ((x >= 0) & (x <= 1))][:N_ARGUMENTS]
    assert x.size == N_ARGUMENTS
    with np.errstate(all="ignore"):
        got = f(x)
    assert got.dtype == dtype
    assert_same_bits(got, kernel(f.__name__, dtype, x), x)


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("f", BINARY, ids=lambda f: f.__name__)
def test_pair_bits_equal_the_kernel(f, dtype):
    x, dx = pair_arguments(dtype, np.random.default_rng(2))
    assert x.size == N_ARGUMENTS
    with np.errstate(all="ignore"):
        got = f(x, dx)
    assert got.dtype == dtype
    assert_same_bits(got, kernel(f.__name__, dtype, x, dx), x, dx)


@pytest.mark.parametrize("dtype", FLOATS)
def test_dd_cf_bits_equal_the_kernel(dtype):
    rng = np.random.default_rng(3)
    x, dx = pair_arguments(dtype, rng)
    n = rng.integers(0, 40, x.size)
    with np.errstate(all="ignore"):
        got = zelnor.millsratio_dd_cf(x, dx, n)
    assert got.dtype == dtype
    assert_same_bits(got, kernel("millsratio_dd_cf", dtype, x, dx, n), x, dx, n)


# NumPy's conventions, checked side by side with a NumPy ufunc of the same arity where one applies.
SAMPLE = np.random.default_rng(4).uniform(0.05, 0.95, (6, 8))  # in every function's domain


def companions(f, dtype):
    """Fixed valid values for the inputs after the first, of the float type given: a Python float
    beside float32 input would choose the float64 loop, the first one it casts to safely."""
    return {1: (), 2: (dtype(0.25),), 3: (dtype(0.25), np.int64(3))}[f.nin]


def call(f, x, **kwargs):
    """Apply a ufunc of any arity to x (the other inputs are fixed valid values that broadcast)."""
    t = np.float32 if np.asarray(x).dtype.type is np.float32 else np.float64
    return f(x, *companions(f, t), **kwargs)


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32,
                                   np.uint32, np.int64, np.uint64, np.float16, np.float32, np.float64])
def test_float32_runs_in_float32_and_everything_else_in_float64(f, dtype):
    # The float64 loop comes first, so NumPy's search for the first loop the input casts to safely
    # stops there for integers, bool and float16, as for SciPy's special functions; float32 matches
    # the float loop exactly.
    assert [t[0] for t in f.types] == ["d", "f"]
    x = np.array([0, 1], dtype=dtype)
    want = np.float32 if dtype is np.float32 else np.float64
    got = f(x, *companions(f, want))
    assert got.dtype == want
    np.testing.assert_array_equal(got, f(x.astype(want), *companions(f, want)))


@pytest.mark.parametrize("f", BINARY + [zelnor.millsratio_dd_cf], ids=lambda f: f.__name__)
def test_a_python_scalar_beside_float32_input_chooses_float64_unless_a_dtype_is_given(f):
    x = SAMPLE.astype(np.float32)
    rest = (0.25,) + ((3,) if f.nin == 3 else ())
    assert f(x, *rest).dtype == np.float64
    assert_same_bits(f(x, *rest), f(x.astype(np.float64), *rest))
    assert_same_bits(f(x, *rest, signature=f.types[1]), call(f, x))


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
@pytest.mark.parametrize("x", [0.5, 1, np.float32(0.5), np.float64(0.5), np.array(0.5),
                               np.array(0.5, np.float32), np.float16(0.5)])
def test_zero_dimensional_results_are_numpy_scalars_as_for_exp(f, x):
    got = call(f, x)
    assert type(got) is type(np.exp(x)) or (type(got) is np.float64 and type(np.exp(x)) is np.float16)


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_out_is_written_and_returned(f):
    out = np.empty_like(SAMPLE)
    assert call(f, SAMPLE, out=out) is out
    assert call(f, SAMPLE, out=(out,)) is out
    np.testing.assert_array_equal(out, call(f, SAMPLE))
    # A float32 out is allowed under same_kind casting: the float64 loop runs and its result is cast,
    # as np.exp does.
    out32 = np.empty(SAMPLE.shape, np.float32)
    call(f, SAMPLE, out=out32)
    np.testing.assert_array_equal(out32, call(f, SAMPLE).astype(np.float32))
    strided = np.zeros((6, 16))
    call(f, SAMPLE, out=strided[:, ::2])
    np.testing.assert_array_equal(strided[:, ::2], call(f, SAMPLE))
    assert not strided[:, 1::2].any()


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
@pytest.mark.parametrize("bad_out", [np.empty((6, 8), np.int64), np.empty((6, 7)), np.empty((6, 8), bool)])
def test_refused_out_fails_as_for_exp(f, bad_out):
    with pytest.raises(Exception) as numpy_error:
        np.exp(SAMPLE, out=bad_out)
    with pytest.raises(numpy_error.type):
        call(f, SAMPLE, out=bad_out)


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_where_leaves_masked_elements_untouched(f):
    mask = np.random.default_rng(5).random(SAMPLE.shape) < 0.5
    out = np.full(SAMPLE.shape, -7.0)
    call(f, SAMPLE, out=out, where=mask)
    np.testing.assert_array_equal(out[mask], call(f, SAMPLE)[mask])
    assert (out[~mask] == -7.0).all()
    row_mask = np.array([True, False] * 4)  # broadcast against the rows, as np.exp allows
    out = np.full(SAMPLE.shape, -7.0)
    call(f, SAMPLE, out=out, where=row_mask)
    assert (out[:, ~row_mask] == -7.0).all()
    np.testing.assert_array_equal(out[:, row_mask], call(f, SAMPLE)[:, row_mask])


@pytest.mark.parametrize("f", UNARY + BINARY, ids=lambda f: f.__name__)
def test_dtype_and_signature_choose_the_loop(f):
    assert call(f, SAMPLE, dtype=np.float32).dtype == np.exp(SAMPLE, dtype=np.float32).dtype
    # The float loop on the input cast to float32, not the float64 result rounded.
    assert_same_bits(call(f, SAMPLE, dtype=np.float32), call(f, SAMPLE.astype(np.float32)))
    assert_same_bits(call(f, SAMPLE.astype(np.float32), dtype=np.float64),
                     call(f, SAMPLE.astype(np.float32).astype(np.float64)))
    assert call(f, SAMPLE, signature=f.types[1]).dtype == np.float32
    with pytest.raises(TypeError):
        np.exp(SAMPLE, dtype=np.float32, casting="safe")
    with pytest.raises(TypeError):
        call(f, SAMPLE, dtype=np.float32, casting="safe")
    with pytest.raises(TypeError):
        call(f, SAMPLE.astype(np.int32), casting="no")


def test_depth_ufunc_takes_a_signature_as_ldexp_does():
    # With a single output, dtype= fixes every operand, the integer one too, so NumPy finds no loop
    # for ldexp and none for millsratio_dd_cf; a signature naming every operand chooses the loop.
    # (Not one that leaves operands open beside Python scalars: NumPy caches the loop its search
    # chose for those operand types without a signature, the float64 one, and then refuses the
    # signature, as it does for SciPy's special functions.)
    for f, args, sig in [(np.ldexp, (SAMPLE, 3), "fl->f"),
                         (zelnor.millsratio_dd_cf, (SAMPLE, 0.25, 3), "ffl->f")]:
        with pytest.raises(TypeError):
            f(*args, dtype=np.float32)
        assert f(*args, signature=sig).dtype == np.float32
    want = zelnor.millsratio_dd_cf(SAMPLE.astype(np.float32), np.float32(0.25), np.int64(3))
    assert_same_bits(zelnor.millsratio_dd_cf(SAMPLE, 0.25, 3, signature="ffl->f"), want)
    assert_same_bits(zelnor.millsratio_dd_cf(SAMPLE, 0.25, 3, signature=(np.float32,) * 2 + (np.int64, None)),
                     want)


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
@pytest.mark.parametrize("shape", [(0,), (3, 0), (0, 0, 2)])
@pytest.mark.parametrize("dtype", FLOATS)
def test_empty_input_gives_empty_output(f, shape, dtype):
    got = call(f, np.empty(shape, dtype))
    assert got.shape == np.exp(np.empty(shape, dtype)).shape == shape
    assert got.dtype == dtype


def views(a):
    """Non-contiguous, reversed, transposed and byte-swapped versions of a two-dimensional array."""
    return {
        "step": a[::2, ::3], "reversed": a[::-1, ::-1], "transposed": a.T, "column": a[:, 1],
        "byteswapped": a.astype(a.dtype.newbyteorder()),
        "byteswapped-strided": a.astype(a.dtype.newbyteorder())[1::2, ::-2],
    }


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
@pytest.mark.parametrize("dtype", FLOATS)
def test_strided_and_byteswapped_inputs_match_contiguous(f, dtype):
    for label, v in views(SAMPLE.astype(dtype)).items():
        got = call(f, v)
        assert got.dtype == np.exp(v).dtype, label
        assert_same_bits(got, call(f, np.ascontiguousarray(v, dtype=dtype)))


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_memory_order_follows_the_input_as_for_exp(f):
    fortran = np.asfortranarray(SAMPLE)
    assert call(f, fortran).flags.f_contiguous == np.exp(fortran).flags.f_contiguous
    assert call(f, SAMPLE, order="F").flags.f_contiguous


@pytest.mark.parametrize("f", BINARY, ids=lambda f: f.__name__)
def test_outer_and_broadcasting_of_two_inputs(f):
    x, dx = np.linspace(-3, 30, 7), np.array([1e-3, 0.5, 2.0])
    got = f.outer(x, dx)
    assert got.shape == np.add.outer(x, dx).shape == (7, 3)
    np.testing.assert_array_equal(got, f(x[:, None], dx[None, :]))
    with pytest.raises(ValueError):
        np.exp.outer(x, dx)
    with pytest.raises(ValueError):
        zelnor.millsratio.outer(x, dx)


def test_three_inputs_broadcast():
    x = np.linspace(20, 60, 3).reshape(3, 1, 1)
    dx = np.array([0.0, 0.01, 1.0, 5.0]).reshape(1, 4, 1)
    n = np.arange(5)
    got = zelnor.millsratio_dd_cf(x, dx, n)
    assert got.shape == (3, 4, 5)
    bx, bdx, bn = np.broadcast_arrays(x, dx, n)
    assert_same_bits(got.ravel(), kernel("millsratio_dd_cf", np.float64, bx.ravel(), bdx.ravel(), bn.ravel()))
    with pytest.raises(ValueError):  # NumPy defines .outer for two inputs only
        zelnor.millsratio_dd_cf.outer(x.ravel(), dx.ravel(), n)


@pytest.mark.parametrize("dtype", FLOATS)
def test_depth_accepts_python_and_numpy_integers_as_ldexp_does(dtype):
    x = SAMPLE.astype(dtype)
    # A depth other than int64 beside float32 input would choose the float64 loop.
    loop = zelnor.millsratio_dd_cf.types[0 if dtype is np.float64 else 1]
    for n in (4, np.int8(4), np.int32(4), np.uint32(4), np.int64(4), np.full(x.shape, 4, np.int16)):
        assert np.ldexp(x, n).dtype == dtype
        assert_same_bits(zelnor.millsratio_dd_cf(x, dtype(0.25), n, signature=loop),
                         zelnor.millsratio_dd_cf(x, dtype(0.25), np.full(x.shape, 4)))
    for n in (4.0, np.full(x.shape, 4.0)):
        with pytest.raises(TypeError):
            np.ldexp(x, n)
        with pytest.raises(TypeError):
            zelnor.millsratio_dd_cf(x, dtype(0.25), n)


# Outside a domain: NaN and the invalid flag, which np.errstate turns into silence, a warning or an error.
def violations():
    for dtype in FLOATS:
        for x in (-0.5, 1.5, np.inf, -np.inf, np.nextafter(dtype(1), dtype(2)),
                  -np.finfo(dtype).smallest_subnormal):
            yield pytest.param(zelnor.millsratio_rel_below1, (dtype(x),),
                               id=f"rel_below1-{dtype.__name__}-{x}")
        for n in (-1, -(2**31), 2**31, 2**63 - 1, -(2**63)):
            yield pytest.param(zelnor.millsratio_dd_cf, (dtype(30), dtype(0.5), np.int64(n)),
                               id=f"dd_cf-{dtype.__name__}-{n}")
        # NaN in x does not excuse a depth outside its range.
        yield pytest.param(zelnor.millsratio_dd_cf, (dtype(np.nan), dtype(0.5), np.int64(-1)),
                           id=f"dd_cf-{dtype.__name__}-nan")


@pytest.mark.parametrize("f, args", violations())
def test_domain_violation_follows_errstate(f, args):
    with np.errstate(invalid="raise"):
        with pytest.raises(FloatingPointError, match="invalid value"):
            f(*args)
    with np.errstate(invalid="warn"):
        with pytest.warns(RuntimeWarning, match=f"invalid value encountered in {f.__name__}"):
            f(*args)
    with np.errstate(invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("error")
        got = f(*args)
    assert np.isnan(got) and got.dtype == args[0].dtype


def test_only_the_violating_elements_are_nan():
    x = np.array([-0.5, 0.0, 0.5, 1.0, 2.0, np.nan])
    with np.errstate(invalid="ignore"):
        got = zelnor.millsratio_rel_below1(x)
    np.testing.assert_array_equal(np.isnan(got), [True, False, False, False, True, True])
    np.testing.assert_array_equal(got[1:4], zelnor.millsratio_rel_below1(x[1:4]))
    with np.errstate(invalid="ignore"):
        got = zelnor.millsratio_dd_cf(40.0, 0.5, np.array([-1, 0, 4, 2**31]))
    np.testing.assert_array_equal(np.isnan(got), [True, False, False, True])


def finite_arguments(f, dtype, rng):
    """Finite arguments over every regime, in the domain."""
    if f.nin == 1:
        x = unary_arguments(dtype, rng)
        ok = np.isfinite(x) & ((x >= 0) & (x <= 1) if f is zelnor.millsratio_rel_below1 else True)
        return (x[ok],)
    x, dx = pair_arguments(dtype, rng, 20000)
    ok = np.isfinite(x) & np.isfinite(dx)
    return (x[ok], dx[ok]) + ((rng.integers(0, 30, ok.sum()),) if f.nin == 3 else ())


def valid_arguments(f, dtype, rng):
    """Finite arguments, and for the divided difference and the reflected sum a nonzero step whose two
    evaluation points have a finite Mills ratio: a zero step is 0/0 where the series does not apply,
    and two infinite Mills ratios leave inf - inf."""
    args = finite_arguments(f, dtype, rng)
    if f not in BINARY:
        return args
    x, dx = args
    with np.errstate(all="ignore"):
        points = (dx - x, x + dx) if f is zelnor.millsratio_reflected_sum else (x - abs(dx), x + abs(dx))
        ok = (dx != 0) & np.isfinite(zelnor.millsratio(points[0])) & np.isfinite(zelnor.millsratio(points[1]))
    return x[ok], dx[ok]


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_valid_input_raises_no_invalid_flag(f, dtype):
    args = valid_arguments(f, dtype, np.random.default_rng(6))
    with np.errstate(all="ignore", invalid="raise"):
        assert not np.isnan(f(*args)).any()


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_finite_results_raise_no_overflow_flag(f, dtype):
    # A huge x squared on the way to a correct +0 would raise it, and so would an abandoned attempt of
    # the continued-fraction recurrences that overflowed before the rescaled one succeeded.
    args = finite_arguments(f, dtype, np.random.default_rng(7))
    with np.errstate(all="ignore"):
        finite = np.isfinite(f(*args))
    with np.errstate(over="raise", divide="raise"):
        f(*(a[finite] for a in args))


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_nan_passes_through_quietly(f, dtype):
    nan = np.array([np.nan, -np.nan], dtype)
    others = {1: [()], 2: [(dtype(0.5),), (dtype(40),), (nan,)], 3: [(dtype(0.5), 4), (nan, 12)]}[f.nin]
    with np.errstate(all="raise"):
        for rest in others:
            assert np.isnan(f(nan, *rest)).all()
            if f.nin > 1:
                assert np.isnan(f(dtype(30), *((nan,) + rest[1:]))).all()


@pytest.mark.parametrize("f", [zelnor.millsratio, zelnor.millsratio_dd, zelnor.millsratio_dd_cf],
                         ids=lambda f: f.__name__)
def test_loops_run_without_the_interpreter_lock(f):
    x = np.random.default_rng(8).uniform(0.01, 0.99, 10**7)
    assert runs_without_the_interpreter_lock(lambda: call(f, x))


@pytest.mark.parametrize("f", ALL, ids=lambda f: f.__name__)
def test_ufuncs_pickle_by_reference(f):
    blob = pickle.dumps(f)
    assert len(blob) < 100 and b"zelnor" in blob and f.__name__.encode() in blob
    assert pickle.loads(blob) is f


def test_pickled_ufuncs_resolve_in_a_fresh_interpreter():
    code = "import pickle, sys; print(*(f.__name__ for f in pickle.loads(sys.stdin.buffer.read())))"
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps(ALL), capture_output=True,
                         check=True).stdout
    assert out.decode().split() == [f.__name__ for f in ALL]


def test_top_level_names_are_the_ufuncs():
    for f in ALL:
        assert isinstance(f, np.ufunc)
        assert getattr(zelnor, f.__name__) is getattr(_ufuncs, f.__name__) is f
        assert f.nout == 1 and f.__doc__.startswith(f.__name__ + "(")


PUBLIC = sorted([f.__name__ for f in ALL] + ["get_include", "get_kernel_sources", "mills", "divdiff",
                                            "truncnorm"])

# In a fresh interpreter: the submodules load on first access, and a star import brings the public
# names only.
FIRST_HOUR = """\
import sys
import zelnor
assert "zelnor.truncnorm" not in sys.modules
print(zelnor.truncnorm.var(-30.0, float("inf")), zelnor.mills.__name__, zelnor.divdiff.__name__)
print(" ".join(dir(zelnor)))
namespace = {}
exec("from zelnor import *", namespace)
print(" ".join(sorted(k for k in namespace if k != "__builtins__")))
try:
    zelnor.nothing
except AttributeError as e:
    print(e)
"""


def test_submodules_load_on_first_access_and_a_star_import_brings_the_public_names():
    out = subprocess.run([sys.executable, "-c", FIRST_HOUR], capture_output=True, text=True,
                         check=True).stdout.splitlines()
    assert out[0] == "1.0 zelnor.mills zelnor.divdiff"
    assert out[1].split() == sorted(PUBLIC + ["__version__"])
    assert out[2].split() == PUBLIC
    assert out[3] == "module 'zelnor' has no attribute 'nothing'"


def test_small_integers_run_the_float64_kernel():
    # float32's reflection cut-off is 13.3: in float32 R(-14) would be +inf.
    got = zelnor.millsratio(np.int16(-14))
    assert type(got) is np.float64 and got == zelnor.millsratio(-14.0) and np.isfinite(got)


TYPED_USE = """\
import numpy as np
import zelnor
from zelnor import millsratio_dd_cf
x = np.zeros(3, np.float32)
y = zelnor.millsratio(x, out=np.empty_like(x))
z = millsratio_dd_cf.outer
"""


def test_stub_matches_the_module_and_the_top_level_names_are_exported(tmp_path):
    stubtest = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zelnor._ufuncs"], cwd=tmp_path,
                              capture_output=True, text=True)
    assert stubtest.returncode == 0, stubtest.stdout
    (tmp_path / "use.py").write_text(TYPED_USE)
    checked = subprocess.run([sys.executable, "-m", "mypy", "--strict", "use.py"], cwd=tmp_path,
                             capture_output=True, text=True)
    assert checked.returncode == 0, checked.stdout
