"""The vector paths behind the contiguous loops of millsratio, millsratio_d1 and millsratio_d3, each
forced in turn: the kernels' bits, the floating-point flags of the element-by-element loop, and
NumPy's conventions."""
import numpy as np
import pytest

import zelnor
from zelnor import _ufuncs
from test_ufuncs import FLOATS, assert_same_bits, kernel, unary_arguments

VECTORISED = [zelnor.millsratio, zelnor.millsratio_d1, zelnor.millsratio_d3]
PATHS = ["baseline", "avx2", "avx512"]
FLAGS = ["invalid", "divide", "over", "under"]


@pytest.fixture(params=PATHS)
def path(request):
    try:
        previous = _ufuncs._set_vector_path(request.param)
    except ValueError:
        pytest.skip(f"this CPU does not run the {request.param} path")
    yield request.param
    _ufuncs._set_vector_path(previous)


def test_unknown_path_is_refused_and_nothing_changes():
    current = _ufuncs._set_vector_path("baseline")
    with pytest.raises(ValueError, match="'sse9' is not available"):
        _ufuncs._set_vector_path("sse9")
    assert _ufuncs._set_vector_path(current) == "baseline"


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("f", VECTORISED, ids=lambda f: f.__name__)
def test_contiguous_loops_give_the_kernels_bits(path, f, dtype):
    x = unary_arguments(dtype, np.random.default_rng(11))
    with np.errstate(all="ignore"):
        got = f(x)
        # Every length up to 40 from every offset, so the partial last vector of each path is seen.
        pieces = np.concatenate([f(x[k:k + n]) for k in range(3) for n in range(41)])
        in_place = x.copy()
        f(in_place, out=in_place)
    want = kernel(f.__name__, dtype, x)
    assert_same_bits(got, want, x)
    assert_same_bits(in_place, want, x)
    assert_same_bits(pieces, np.concatenate([want[k:k + n] for k in range(3) for n in range(41)]))


def raised(f, x):
    """The flags a call leaves, as the set of np.errstate categories that turn into errors."""
    found = set()
    for flag in FLAGS:
        with np.errstate(all="ignore", **{flag: "raise"}):
            try:
                f(x)
            except FloatingPointError:
                found.add(flag)
    return found


def flag_arguments(dtype):
    """Arguments whose results are +-0 or +-inf, overflow, underflow (or are exactly subnormal) or NaN,
    mixed into ordinary ones."""
    fi = np.finfo(dtype)
    cutoff = 37.67712072049519 if dtype is np.float64 else 13.320874214172363
    edges = np.array([np.nan, np.inf, -np.inf, fi.max, -fi.max, fi.tiny, fi.smallest_subnormal,
                      -cutoff, -cutoff * 1.001, -cutoff * 0.999, np.sqrt(fi.max), 1 / fi.tiny,
                      2 / fi.tiny, fi.max ** 0.25], dtype=dtype)
    ordinary = np.linspace(-5, 40, 37).astype(dtype)
    return edges, ordinary


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("f", VECTORISED, ids=lambda f: f.__name__)
def test_flags_are_those_of_the_element_loop(path, f, dtype):
    """The contiguous loop leaves the union of the flags that the elements leave one by one (strided
    input runs the kernels one element at a time), wherever the element lies: in a vector, in the
    first or a later of the chunks that a block sorts, and in the first, a middle or the last of the
    blocks that the loop checks in turn (16384 elements each)."""
    edges, ordinary = flag_arguments(dtype)
    ordinary = np.tile(ordinary, 1000)
    for edge in edges:
        for position in (0, 5, 2100, 16384 + 700, ordinary.size - 1):
            x = ordinary.copy()
            x[position] = edge
            strided = np.repeat(x, 2)[::2]
            assert raised(f, x) == raised(f, strided), (edge, position)
    assert raised(f, ordinary) == set()
