# NumPy ufuncs of the standard normal truncated to [a, b]. Each takes the usual ufunc keywords (out=,
# where=, dtype=, casting=, order=, signature=) and has the ufunc methods; float32 in gives float32
# out, any other real input runs in float64. a > b gives NaN and the invalid flag. Each ufunc's own
# name (its __name__, quoted by NumPy's warnings) is truncnorm_<name>, an alias kept for pickling and
# left out of __all__.
import numpy as np

__all__ = ["logmass", "mean", "var", "cdf", "sf"]

# Cython's table of doctests, empty.
__test__: dict[str, str]

# Ends a, b.
logmass: np.ufunc
mean: np.ufunc
var: np.ufunc

# Point x, ends a, b.
cdf: np.ufunc
sf: np.ufunc
