"""The ufuncs on Dask and xarray arrays through __array_ufunc__: lazy graphs, labels kept, and the same
bits as NumPy when two worker processes of a dask.distributed LocalCluster compute them."""
import sys

import dask
import dask.array as da
import numpy as np
import pytest
import xarray as xr
from distributed import Client, LocalCluster

import zelnor

FLOATS = [np.float32, np.float64]
BITS = {np.dtype(np.float32): np.uint32, np.dtype(np.float64): np.uint64}


def assert_same_bits(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    assert np.array_equal(got.view(BITS[got.dtype]), want.view(BITS[want.dtype]))


def sample(dtype, shape=(120, 40), seed=0):
    x = np.random.default_rng(seed).uniform(-5, 40, shape).astype(dtype)
    x.flat[:4] = [np.nan, np.inf, -np.inf, -0.0]
    return x


@pytest.mark.parametrize("dtype", FLOATS)
def test_dask_arrays_give_lazy_dask_arrays(dtype):
    x = sample(dtype)
    dx = da.from_array(x, chunks=(50, 15))
    with np.errstate(all="ignore"):
        cases = [
            (zelnor.millsratio, (dx,), zelnor.millsratio(x)),
            (zelnor.millsratio_d3, (dx,), zelnor.millsratio_d3(x)),
            (zelnor.millsratio_dd, (dx, dtype(0.5)), zelnor.millsratio_dd(x, dtype(0.5))),
            # a row of half-steps broadcasts against the chunked midpoints
            (zelnor.millsratio_reflected_sum, (dx, x[0]), zelnor.millsratio_reflected_sum(x, x[0])),
            # an int64 depth: a Python int beside float32 input would choose the float64 loop
            (zelnor.millsratio_dd_cf, (dx, dtype(0.5), np.int64(4)),
             zelnor.millsratio_dd_cf(x, dtype(0.5), np.int64(4))),
        ]
    for f, args, want in cases:
        lazy = f(*args)
        assert isinstance(lazy, da.Array), f.__name__
        assert lazy.dtype == dtype and lazy.chunks == dx.chunks
        # In the calling thread, so that np.errstate applies: -inf and the zero step give NaN and poles.
        with np.errstate(all="ignore"):
            assert_same_bits(lazy.compute(scheduler="sync"), want)


def test_data_arrays_keep_their_labels():
    t, k = np.arange(120), np.linspace(0, 1, 40)
    x = xr.DataArray(sample(np.float64), dims=("t", "k"), coords={"t": t, "k": k}, name="x")
    r = zelnor.millsratio(x)
    assert isinstance(r, xr.DataArray)
    assert r.dims == ("t", "k")
    xr.testing.assert_identical(r.coords.to_dataset(), x.coords.to_dataset())
    assert_same_bits(r.values, zelnor.millsratio(x.values))

    # Two arrays on different dimensions broadcast by name, as xarray does for NumPy's own ufuncs.
    step = xr.DataArray(np.array([1e-6, 0.1, 2.0]), dims="h", coords={"h": [0, 1, 2]})
    with np.errstate(invalid="ignore"):  # the difference at x = -inf is inf - inf
        dd = zelnor.millsratio_dd(x, step)
        assert_same_bits(dd.values, zelnor.millsratio_dd(x.values[..., None], step.values))
    assert dd.dims == np.add(x, step).dims == ("t", "k", "h")

    chunked = zelnor.millsratio(x.chunk({"t": 30}))
    assert isinstance(chunked.data, da.Array)
    assert_same_bits(chunked.compute().values, zelnor.millsratio(x.values))


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster, timeout=120) as c:
        c.wait_for_workers(2, timeout=120)
        yield c


@pytest.mark.parametrize("dtype", FLOATS)
def test_two_worker_processes_compute_the_same_bits(client, dtype):
    """10^7 arguments made on the workers in 10 chunks; the graph ships the ufuncs to the worker
    processes by reference, and the results come back equal to NumPy's bit for bit."""
    n = 10**7
    rng = da.random.default_rng(11)
    x = rng.uniform(-5, 40, n, chunks=n // 10).astype(dtype)
    step = rng.uniform(1e-6, 2.0, n, chunks=n // 10).astype(dtype)
    depth = np.int64(6)  # a Python int beside float32 input would choose the float64 loop
    r, dd, x_np, step_np = dask.compute(zelnor.millsratio(x), zelnor.millsratio_dd_cf(x, step, depth),
                                        x, step)
    assert len(client.scheduler_info()["workers"]) == 2
    # The worker processes imported zelnor to unpickle the ufuncs of the graph.
    assert all(client.run(lambda: "zelnor" in sys.modules).values())
    assert_same_bits(r, zelnor.millsratio(x_np))
    assert_same_bits(dd, zelnor.millsratio_dd_cf(x_np, step_np, depth))
