# NumPy ufuncs over the float and double kernels, re-exported at the top level (zelnor.millsratio and
# so on). Each takes the usual ufunc keywords (out=, where=, dtype=, casting=, order=, signature=) and
# has the ufunc methods (.at; .outer for two inputs); float32 in gives float32 out, any other real
# input runs in float64.
import numpy as np

# Cython's table of doctests, empty.
__test__: dict[str, str]

# One argument x.
millsratio: np.ufunc
millsratio_d1: np.ufunc
millsratio_d3: np.ufunc
millsratio_rel_below1: np.ufunc  # NaN and the invalid flag outside [0, 1]

# Midpoint x and half-step dx.
millsratio_dd: np.ufunc
millsratio_reflected_sum: np.ufunc

# x, dx and an integer depth n_terms; NaN and the invalid flag outside [0, 2**31 - 1].
millsratio_dd_cf: np.ufunc
