# NumPy ufuncs of the standard normal truncated to [a, b]. Each takes the usual ufunc keywords (out=,
# where=, dtype=, casting=, order=, signature=) and has the ufunc methods; float32 in gives float32
# out, other real input follows NumPy's casting. a > b gives NaN and the invalid flag.
import numpy as np

# Cython's table of doctests, empty.
__test__: dict[str, str]

# Ends a, b.
logmass: np.ufunc
mean: np.ufunc
var: np.ufunc

# Point x, ends a, b.
cdf: np.ufunc
sf: np.ufunc
pdf: np.ufunc
logpdf: np.ufunc
logcdf: np.ufunc
logsf: np.ufunc

# Probability p (q for isf), ends a, b.
ppf: np.ufunc
isf: np.ufunc

# Ends a, b; dlogmass has two outputs, the derivatives in a and in b.
entropy: np.ufunc
dlogmass: np.ufunc
