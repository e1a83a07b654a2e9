"""zelnor.truncnorm.sample: the fit over the whole grid of intervals of tools/truncnorm_sampling.py
(with fewer draws than the tool's 10^6), the shapes and errors of NumPy's Generator methods, the
generator conventions, and the released interpreter lock."""
import sys
from pathlib import Path

import numpy as np
import pytest
from gil import runs_without_the_interpreter_lock

from zelnor import truncnorm as tn

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import truncnorm_sampling  # noqa: E402

GRID = truncnorm_sampling.grid()


@pytest.mark.parametrize("a, b", GRID, ids=[f"[{a:.17g},{b:.17g}]" for a, b in GRID])
def test_draws_fit_the_exact_distribution(a, b):
    row, ok = truncnorm_sampling.check(a, b, 50_000, seed=12345)
    assert row["inside"], "a draw outside [a, b], inf or NaN"
    assert ok, row


@pytest.mark.parametrize(
    "a, b, size, shape",
    [
        (30.0, 31.0, None, None),
        (np.float32(0), 1, None, None),
        (30.0, 31.0, 4, (4,)),
        (30.0, 31.0, (2, 3), (2, 3)),
        (np.zeros(3), 1.0, None, (3,)),
        (np.zeros((2, 1)), np.ones(3), None, (2, 3)),
        (np.zeros(3), np.ones(3), (4, 3), (4, 3)),
        (np.array(0.0), 1.0, None, None),
        (np.zeros(0), 1.0, None, (0,)),
    ],
)
def test_shapes_follow_numpy_generators(a, b, size, shape):
    x = tn.sample(a, b, size, rng=1)
    if shape is None:
        assert type(x) is float
    else:
        assert isinstance(x, np.ndarray) and x.shape == shape and x.dtype == np.float64
    assert np.all((np.asarray(a) <= x) & (x <= np.asarray(b)))


@pytest.mark.parametrize(
    "a, b, size, message",
    [
        (1.0, 0.0, None, "a <= b"),
        (np.nan, 1.0, None, "a <= b"),
        ([0.0, 2.0], [1.0, 1.0], None, "a <= b"),
        (np.zeros((2, 3)), 1.0, 3, "size"),
        (np.zeros(3), 1.0, (3, 2), "size|shape mismatch"),
    ],
)
def test_invalid_arguments(a, b, size, message):
    with pytest.raises(ValueError, match=message):
        tn.sample(a, b, size, rng=0)


@pytest.mark.parametrize("rng", [7, np.random.default_rng(7), np.random.PCG64(7)], ids=["int", "Generator", "BitGenerator"])
def test_seeds_generators_and_bit_generators_give_the_same_draws(rng):
    expected = tn.sample(-1.0, 38.0, 1000, rng=np.random.default_rng(7))
    np.testing.assert_array_equal(tn.sample(-1.0, 38.0, 1000, rng=rng), expected)


def test_draws_interleave_with_the_generators_own():
    # The sampler takes its bits from the generator itself: its next draw follows the sampler's.
    g, h = np.random.default_rng(3), np.random.default_rng(3)
    tn.sample(30.0, 31.0, 10, rng=g)
    tn.sample(30.0, 31.0, 10, rng=h)
    after = g.random(4)
    np.testing.assert_array_equal(after, h.random(4))
    assert not np.array_equal(after, np.random.default_rng(3).random(4))


def test_one_interval_and_per_element_intervals_draw_alike():
    # size with scalar ends chooses the method once; arrays of ends choose it per element.
    for a, b in truncnorm_sampling.HARD:
        np.testing.assert_array_equal(tn.sample(a, b, 500, rng=5), tn.sample(np.full(500, a), b, rng=5))


def test_the_loop_runs_without_the_interpreter_lock():
    assert runs_without_the_interpreter_lock(lambda: tn.sample(30.0, 31.0, 2_000_000, rng=0))
