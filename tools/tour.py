"""A short tour of what zelnor computes, printed next to what the naive formulas give.

Run after installing the package:  python tools/tour.py
"""
import argparse

import numpy as np

import zelnor
from zelnor import divdiff, mills, truncnorm


def show(label, value):
    print(f"  {label:<44} {value!r}")


def main():
    argparse.ArgumentParser(description=__doc__).parse_args()
    np.set_printoptions(precision=17)

    print("The Mills ratio R(x) = N(-x)/n(x), on numbers and on arrays of any shape:")
    show("millsratio(0.0) = sqrt(pi/2)", mills.millsratio(0.0))
    show("millsratio(-3.0)  (reflection)", mills.millsratio(-3.0))
    show("millsratio(40.0)  (continued fraction)", mills.millsratio(40.0))
    show("millsratio([[0.5, 2.0], [9.5, 1e8]])", mills.millsratio([[0.5, 2.0], [9.5, 1e8]]))

    print("\nIts derivatives without cancellation, where 1 - x R(x) loses every digit:")
    x = 1e5
    r = mills.millsratio(x)
    show(f"millsratio_d1({x:g}) = -R'(x)", mills.millsratio_d1(x))
    show(f"1 - x * millsratio({x:g})  (naive)", 1 - x * r)
    show(f"millsratio_d3({x:g}) = -R'''(x)", mills.millsratio_d3(x))
    show("millsratio_d1(1e100) ~ 1/x^2", mills.millsratio_d1(1e100))

    print("\nThe relative form (sqrt(pi/2) - R(x))/x on [0, 1], exact at 0:")
    show("millsratio_rel_below1([0.0, 1e-300, 0.5, 1.0])", mills.millsratio_rel_below1([0.0, 1e-300, 0.5, 1.0]))
    try:
        mills.millsratio_rel_below1(1.5)
    except ValueError as e:
        show("millsratio_rel_below1(1.5)", e)

    print("\nDivided differences (R(x - dx) - R(x + dx))/(2 dx), exact even for tiny steps:")
    x, dx = 10.0, 1e-9
    naive = (mills.millsratio(x - dx) - mills.millsratio(x + dx)) / (2 * dx)
    show(f"millsratio_dd({x:g}, {dx:g})", divdiff.millsratio_dd(x, dx))
    show(f"the same difference formed naively", naive)
    show(f"millsratio_d1({x:g}), its limit as dx -> 0", mills.millsratio_d1(x))
    show("millsratio_dd([[1.0], [30.0]], [0.5, 1e-6])", divdiff.millsratio_dd([[1.0], [30.0]], [0.5, 1e-6]))
    show("millsratio_dd(-3.0, 4.0, theta=-1)  (reflected sum)", divdiff.millsratio_dd(-3.0, 4.0, theta=-1))
    show("millsratio_dd_cf(50.0, 3.0, n_terms=8)", divdiff.millsratio_dd_cf(50.0, 3.0, n_terms=8))

    print("\nThe truncated normal on [a, b], exact where the textbook formulas cancel:")
    show("truncnorm.mean(30.0, 31.0)", float(truncnorm.mean(30.0, 31.0)))
    show("truncnorm.var(30.0, 31.0)", float(truncnorm.var(30.0, 31.0)))
    show("truncnorm.var(100.0, 100.001)  (narrow, far out)", float(truncnorm.var(100.0, 100.001)))
    show("truncnorm.sf(35.0, 30.0, np.inf)  (never 1 - cdf)", float(truncnorm.sf(35.0, 30.0, np.inf)))
    show("truncnorm.ppf(0.9, 9.0, 10.0)  (quantile)", float(truncnorm.ppf(0.9, 9.0, 10.0)))
    show("truncnorm.logcdf(-40.0, -np.inf, np.inf)", float(truncnorm.logcdf(-40.0, -np.inf, np.inf)))
    show("truncnorm.sample(30.0, 31.0, size=3, rng=1)", truncnorm.sample(30.0, 31.0, size=3, rng=1))

    print("\nThe same functions as NumPy ufuncs at the top level: float32 stays float32 (the float")
    print("kernels), and a chunked Dask array gives a lazy Dask array:")
    show("zelnor.millsratio(np.float32([0.5, 40.0]))", zelnor.millsratio(np.array([0.5, 40.0], np.float32)))
    try:
        import dask.array as da
    except ImportError:
        print("  (pip install 'dask[array]' to see zelnor.millsratio on a chunked Dask array)")
    else:
        x = da.linspace(-5.0, 40.0, 10**6, chunks=10**5)
        lazy = zelnor.millsratio(x)
        show("x = da.linspace(-5, 40, 10**6, chunks=10**5)", x)
        show("zelnor.millsratio(x)", lazy)
        same = np.array_equal(lazy.compute(), zelnor.millsratio(x.compute()))
        show("its .compute() equals the NumPy result", same)


if __name__ == "__main__":
    main()
