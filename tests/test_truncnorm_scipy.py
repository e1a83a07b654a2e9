"""zelnor.truncnorm.TruncatedNormal in SciPy's distribution infrastructure: every delegated method is
the ufunc's value bit for bit (SciPy silently integrates numerically whatever it does not find),
points just inside an end keep their offset, transformations and plots work, and zelnor.truncnorm
imports without SciPy."""
import subprocess
import sys

import matplotlib
import mpmath
import numpy as np
import pytest

from zelnor import truncnorm as tn

matplotlib.use("Agg")
TruncatedNormal = tn.TruncatedNormal

# Parameters, and points in data units: away from the ends, or standardised without rounding.
CASES = [
    (dict(), [-1.5, 0.0, 0.3, 4.0]),
    (dict(mu=2.5, sigma=0.2, lb=0), [0.5, 2.0, 2.5, 3.7]),
    (dict(lb=30, ub=31), [30.001, 30.02, 30.5, 30.999]),
    (dict(mu=-1.0, sigma=2.0, lb=-np.inf, ub=-40.0), [-60.0, -41.0, -40.5]),
    (dict(mu=1e6, sigma=2.0**-10, lb=1e6 + 30 * 2.0**-10, ub=1e6 + 31 * 2.0**-10),
     [1e6 + 30.125 * 2.0**-10, 1e6 + 30.5 * 2.0**-10]),
    (dict(mu=0.0, sigma=2.0, lb=-1e-8, ub=1e-8), [-5e-9, 0.0, 7e-9]),
    (dict(mu=np.array([0.0, 1.0]), sigma=1.0, lb=np.array([[38.0], [-3.0]]), ub=np.array([np.inf, 40.0])),
     [[[38.5, 39.0], [-2.0, 0.5]]]),
]
PROBABILITIES = [1e-300, 1e-10, 0.3, 0.5, 0.99]


def standardised(x, mu=0.0, sigma=1.0, lb=-np.inf, ub=np.inf):
    return (np.asarray(x) - mu) / sigma, (lb - mu) / sigma, (ub - mu) / sigma


def params(p):
    return {"mu": 0.0, "sigma": 1.0, "lb": -np.inf, "ub": np.inf, **p}


@pytest.mark.parametrize("p, xs", CASES, ids=[str(i) for i in range(len(CASES))])
def test_delegated_methods_are_the_ufuncs_bit_for_bit(p, xs):
    X, q = TruncatedNormal(**p), params(p)
    for x in xs:
        z, a, b = standardised(x, **q)
        sigma = q["sigma"]
        for method, expected in [
            ("pdf", tn.pdf(z, a, b) / sigma),
            ("logpdf", tn.logpdf(z, a, b) - np.log(sigma)),
            ("cdf", tn.cdf(z, a, b)),
            ("logcdf", tn.logcdf(z, a, b)),
            ("ccdf", tn.sf(z, a, b)),
            ("logccdf", tn.logsf(z, a, b)),
        ]:
            np.testing.assert_array_equal(getattr(X, method)(x), expected, err_msg=f"{method}({x})")
    _, a, b = standardised(0.0, **q)
    mu, sigma, lb, ub = q["mu"], q["sigma"], q["lb"], q["ub"]
    for prob in PROBABILITIES:
        np.testing.assert_array_equal(X.icdf(prob), np.clip(mu + sigma * tn.ppf(prob, a, b), lb, ub))
        np.testing.assert_array_equal(X.iccdf(prob), np.clip(mu + sigma * tn.isf(prob, a, b), lb, ub))
    np.testing.assert_array_equal(X.mean(), mu + sigma * tn.mean(a, b))
    np.testing.assert_array_equal(X.variance(), sigma**2 * tn.var(a, b))
    np.testing.assert_array_equal(X.entropy(), tn.entropy(a, b) + np.log(sigma))
    shape = (5,) + np.shape(X.mean())
    draws = X.sample(5, rng=42)
    np.testing.assert_array_equal(draws, np.clip(mu + sigma * tn.sample(a, b, shape, rng=42), lb, ub))
    assert np.all((lb <= draws) & (draws <= ub) & np.isfinite(draws))


def exact(mu, sigma, lb, ub, x):
    """pdf, cdf and ccdf at x by mpmath, the point standardised exactly."""
    with mpmath.workdps(80):
        mu, sigma, lb, ub, x = map(mpmath.mpf, (mu, sigma, lb, ub, x))
        a, b, z = (lb - mu) / sigma, (ub - mu) / sigma, (x - mu) / sigma
        n_b = mpmath.ncdf(b) if mpmath.isfinite(b) else 1
        mass = n_b - mpmath.ncdf(a)
        return (mpmath.npdf(z) / mass / sigma, (mpmath.ncdf(z) - mpmath.ncdf(a)) / mass,
                (n_b - mpmath.ncdf(z)) / mass)


# 12.5 sigma out, where the point would round onto the end in standard units, and a narrow interval
# where z would keep only part of the offset.
NEAR_ENDS = [(dict(mu=2.5, sigma=0.2, lb=0.0, ub=np.inf), t) for t in (1e-300, 1e-20, 1e-12, 1e-9)]
NEAR_ENDS += [(dict(mu=-2.5, sigma=0.2, lb=-np.inf, ub=0.0), -t) for t in (1e-300, 1e-20, 1e-12, 1e-9)]
NEAR_ENDS += [(dict(mu=0.0, sigma=3.0, lb=-1e-8, ub=1e-8), x) for x in (-1e-8 + 1e-20, -4e-9, 1e-8 - 1e-17)]


@pytest.mark.parametrize("p, x", NEAR_ENDS)
def test_points_near_an_end_keep_their_offset(p, x):
    X = TruncatedNormal(**p)
    values = exact(p["mu"], p["sigma"], p["lb"], p["ub"], x)
    # The accuracy of the density at the end, the exp of its log: (5 + |log|) eps.
    log_pdf = float(mpmath.log(values[0] * p["sigma"]))
    for method, value in zip(["pdf", "cdf", "ccdf"], values):
        log_exact = float(mpmath.log(value))
        tol = 2.2e-16 * (5 + max(abs(log_pdf), abs(log_exact)))
        assert abs(getattr(X, "log" + method)(x) - log_exact) <= tol * max(1.0, abs(log_exact)), method
        assert getattr(X, method)(x) == pytest.approx(float(value), rel=tol, abs=1e-320), method


def test_transformations_and_plots_work_as_for_scipys_own():
    X = TruncatedNormal(mu=2.5, sigma=0.2, lb=0)
    Y = 2 * X + 1
    assert Y.mean() == pytest.approx(2 * X.mean() + 1, rel=1e-15)
    assert Y.cdf(6.2) == pytest.approx(X.cdf(2.6), rel=1e-15)
    assert np.all(Y.sample(1000, rng=0) >= 1)
    for dist in (X, Y, TruncatedNormal(lb=30, ub=31)):
        assert dist.plot() is not None
    matplotlib.pyplot.close("all")


@pytest.mark.parametrize("p", [dict(lb=38.0), dict(lb=30.0, ub=31.0), dict(mu=-5.0, sigma=1e-3, lb=1e3, ub=1e3 + 1e-9),
                               dict(mu=2.5, sigma=0.2, lb=0.0)])
def test_samples_far_out_are_never_inf(p):
    q = params(p)
    draws = TruncatedNormal(**p).sample((1000,), rng=1)
    assert np.all(np.isfinite(draws) & (draws >= q["lb"]) & (draws <= q["ub"]))


def test_truncnorm_imports_without_scipy():
    code = (
        "import sys; sys.modules['scipy'] = None\n"
        "import zelnor.truncnorm as tn\n"
        "assert 30 <= tn.sample(30.0, 31.0, rng=0) <= 31\n"
        "try:\n    tn.TruncatedNormal\nexcept ImportError as e:\n    print(e)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "pip install 'zelnor[scipy]'" in out
