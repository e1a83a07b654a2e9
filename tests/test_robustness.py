"""zelnor.mills and zelnor.divdiff under abuse: every function, on every success and error path, called
thousands of times leaks nothing (reference counts of the inputs, traced memory and allocated blocks
stay flat) and modifies no input; eight threads sharing arrays get what one thread gets.

The exact messages are tested beside each module; here only the exception types matter."""
import concurrent.futures
import gc
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

import zelnor.divdiff as divdiff
import zelnor.mills as mills

REPEATS = 5000


class IntRaises:
    def __int__(self):
        raise ArithmeticError("no integer here")


class IntReturnsStr:
    def __int__(self):
        return "1"


class IntSubclass(int):
    pass


class IntReturnsSubclass:
    def __int__(self):
        return IntSubclass(1)


def values():
    """Arguments across every regime and IEEE edge, in an array made afresh for each test."""
    x = np.array([-40.0, -37.7, -5.0, -1.0, -0.0, 0.0, 0.3, 1.0, 2.5, 9.5, 30.0, 600.0, 1e8, 1e300,
                  np.inf, -np.inf, np.nan])
    return np.concatenate([x, np.linspace(-8.0, 40.0, 983)])


def mills_cases(f):
    """(args, kwargs, expected exception or None) for one function of zelnor.mills."""
    grid = values()
    in_domain = np.linspace(0.0, 1.0, 7)
    arg = in_domain if f is mills.millsratio_rel_below1 else grid
    with np.errstate(over="ignore"):
        narrow = arg.astype(np.float32)
    read_only = arg.reshape(-1, 1)[::2].copy()
    read_only.flags.writeable = False
    cases = [
        ((arg,), {}, None),
        ((), {"x": arg}, None),
        ((float(arg[3]),), {}, None),
        ((narrow,), {}, None),
        ((np.asfortranarray(np.outer(arg[:4], arg[:3])) / 4,), {}, None),
        ((read_only,), {}, None),
        ((list(arg[:5]),), {}, None),
        ((np.zeros((3, 0)),), {}, None),
        ((), {}, TypeError),
        ((arg, arg), {}, TypeError),
        ((), {"y": arg}, TypeError),
        ((arg,), {"x": arg}, TypeError),
        (("abc",), {}, ValueError),
        ((object(),), {}, TypeError),
        (([[0.5, 1.0], [0.5]],), {}, ValueError),
    ]
    if f is mills.millsratio_rel_below1:
        cases += [((1.5,), {}, ValueError), ((grid,), {}, ValueError), ((np.array([[0.5], [-1e-300]]),), {}, ValueError)]
    return cases


def divdiff_cases(f):
    """(args, kwargs, expected exception or None) for one function of zelnor.divdiff."""
    third = "theta" if f is divdiff.millsratio_dd else "n_terms"
    x = values()
    x2 = x[: x.size // 2 * 2].reshape(2, -1)
    with np.errstate(invalid="ignore"):
        dx = np.abs(np.sin(x2))
    read_only = x2.copy()
    read_only.flags.writeable = False
    column = x[:6].reshape(6, 1).copy()
    cases = [
        ((x2, dx), {}, None),
        ((x2, dx, -1), {}, None),
        ((x2, dx, 7), {}, None),
        ((read_only, 0.125, True), {}, None),
        ((column, dx[0, :5]), {}, None),
        ((column.astype(np.float32), [0.25, 1e-9]), {}, None),
        ((2.0, 0.5), {third: 2.7}, None),
        ((), {"dx": 0.5, third: -1, "x": 1.0}, None),
        ((np.zeros(0), 0.5), {}, None),
        ((), {}, TypeError),
        ((1.0,), {}, TypeError),
        ((1.0, 0.5, 1, 2), {}, TypeError),
        ((1.0,), {"x": 2.0}, TypeError),
        ((1.0, 0.5), {"bogus": 1}, TypeError),
        ((), {"dx": 0.5}, TypeError),
        ((1.0, 0.5, "1"), {}, TypeError),
        ((1.0, 0.5, None), {}, TypeError),
        ((1.0, 0.5, 2**31), {}, OverflowError),
        ((1.0, 0.5, -(2**31) - 1), {}, OverflowError),
        ((1.0, 0.5, 2**70), {}, OverflowError),
        ((1.0, 0.5, float("nan")), {}, ValueError),
        ((1.0, 0.5, float("inf")), {}, OverflowError),
        ((1.0, 0.5, IntRaises()), {}, ArithmeticError),
        ((1.0, 0.5, IntReturnsStr()), {}, TypeError),
        ((1.0, 0.5, IntReturnsSubclass()), {}, DeprecationWarning),
        (("abc", 0.5, None), {}, TypeError),
        (("abc", 0.5), {}, ValueError),
        ((1.0, object()), {}, TypeError),
        ((x[:2], x[:3]), {}, ValueError),
        ((x2, dx.T), {}, ValueError),
    ]
    return cases


FUNCTIONS = [
    (mills.millsratio, mills_cases),
    (mills.millsratio_d1, mills_cases),
    (mills.millsratio_d3, mills_cases),
    (mills.millsratio_rel_below1, mills_cases),
    (divdiff.millsratio_dd, divdiff_cases),
    (divdiff.millsratio_dd_cf, divdiff_cases),
]
IDS = [f.__name__ for f, _ in FUNCTIONS]


def call(f, args, kwargs, expected):
    """One call, asserting the outcome's type; nothing of it is kept."""
    try:
        result = f(*args, **kwargs)
    except Exception as e:
        assert expected is not None and type(e) is expected, (args, kwargs, e)
    else:
        assert expected is None, (args, kwargs, result)
        assert type(result) in (float, np.ndarray)


def run(f, cases, repeats):
    # The deprecated __int__ result is an error under this filter, so it takes an error path too.
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        for _ in range(repeats):
            for args, kwargs, expected in cases:
                call(f, args, kwargs, expected)


def inputs_of(cases):
    """Every distinct argument object of the cases, by identity, leaving out the interpreter's shared
    ints, strings and None, whose reference counts other code moves."""
    seen = {}
    for args, kwargs, _ in cases:
        for a in [*args, *kwargs.values()]:
            if not isinstance(a, (int, str, type(None))):
                seen[id(a)] = a
    return list(seen.values())


def snapshot(obj):
    """What must not change: an array's bytes, shape, strides and flags; a list's items."""
    if isinstance(obj, np.ndarray):
        return obj.tobytes(), obj.shape, obj.strides, obj.flags.writeable, obj.dtype
    if isinstance(obj, list):
        return repr(obj)
    return None


@pytest.mark.parametrize("f, make_cases", FUNCTIONS, ids=IDS)
def test_repeated_calls_leak_nothing_and_modify_no_input(f, make_cases):
    cases = make_cases(f)
    inputs = inputs_of(cases)
    before = [snapshot(a) for a in inputs]
    # Warm up: first calls fill NumPy's and the interpreter's caches, which are not leaks.
    run(f, cases, 50)
    gc.collect()
    refcounts = [sys.getrefcount(a) for a in inputs]
    tracemalloc.start()
    try:
        run(f, cases, 50)
        gc.collect()
        blocks0, (traced0, _) = sys.getallocatedblocks(), tracemalloc.get_traced_memory()
        run(f, cases, REPEATS)
        gc.collect()
        blocks1, (traced1, peak) = sys.getallocatedblocks(), tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    calls = REPEATS * len(cases)
    print(f"\n{f.__name__}: {calls} calls ({len(cases)} cases), traced memory {traced1 - traced0:+d} B "
          f"(peak {peak / 1024:.0f} KiB), allocated blocks {blocks1 - blocks0:+d}")
    # A leak of one object on any path would add at least REPEATS blocks of at least 16 B; what
    # moves without a leak (free lists, caches) stays within a few KiB and a few dozen blocks.
    assert abs(blocks1 - blocks0) < REPEATS // 10
    assert abs(traced1 - traced0) < 4 * REPEATS
    assert [sys.getrefcount(a) for a in inputs] == refcounts
    assert [snapshot(a) for a in inputs] == before


def shared_workload():
    """(function, args) pairs over arrays shared by every thread, each array read-only or not."""
    x = values()
    grid = np.add.outer(x[:40], x[40:90] / 7)
    frozen = grid.T.copy()
    frozen.flags.writeable = False
    unit = np.linspace(0.0, 1.0, 2001).reshape(3, -1)
    steps = np.abs(np.cos(x[40:90]))
    return [
        (mills.millsratio, (grid,)),
        (mills.millsratio_d1, (frozen,)),
        (mills.millsratio_d3, (grid,)),
        (mills.millsratio_rel_below1, (unit,)),
        (divdiff.millsratio_dd, (grid, steps, 1)),
        (divdiff.millsratio_dd, (frozen.T, steps, -1)),
        (divdiff.millsratio_dd_cf, (grid, steps, 6)),
        (divdiff.millsratio_dd_cf, (frozen[:, :1], steps[:, None].T, 2)),
    ]


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def test_eight_threads_on_shared_arrays_match_one_thread():
    work = shared_workload()
    inputs = inputs_of([(args, {}, None) for _, args in work])
    before = [snapshot(a) for a in inputs]
    expected = [bits(f(*args)) for f, args in work]

    def worker(seed):
        # Each thread walks the work in its own order, with refused calls in between.
        order = np.random.default_rng(seed).permutation(len(work) * 100) % len(work)
        mismatches = 0
        for k in order:
            f, args = work[k]
            mismatches += not np.array_equal(bits(f(*args)), expected[k])
            with pytest.raises(ValueError):
                mills.millsratio_rel_below1(outside)
        return mismatches

    outside = work[0][1][0]
    refcounts = [sys.getrefcount(a) for a in inputs]
    # Switching every microsecond interleaves the threads wherever the interpreter may switch: between
    # calls and inside the NumPy functions written in Python that the conversions use.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            mismatches = list(pool.map(worker, range(8)))
    finally:
        sys.setswitchinterval(interval)
    assert mismatches == [0] * 8
    assert [sys.getrefcount(a) for a in inputs] == refcounts
    assert [snapshot(a) for a in inputs] == before
