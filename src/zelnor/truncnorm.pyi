# NumPy ufuncs of the standard normal truncated to [a, b]. Each takes the usual ufunc keywords (out=,
# where=, dtype=, casting=, order=, signature=) and has the ufunc methods; float32 in gives float32
# out, any other real input runs in float64. a > b gives NaN and the invalid flag. Each ufunc's own
# name (its __name__, quoted by NumPy's warnings) is truncnorm_<name>, an alias kept for pickling and
# left out of __all__.
from typing import overload

import numpy as np
import numpy.typing as npt

# N(mu, sigma^2) truncated to [lb, ub] as a SciPy distribution object; needs zelnor[scipy].
from zelnor._truncnorm_scipy import TruncatedNormal as TruncatedNormal

__all__ = ["logmass", "mean", "var", "cdf", "sf", "pdf", "logpdf", "logcdf", "logsf", "ppf", "isf", "entropy",
           "dlogmass", "sample"]

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

# Exact draws from the standard normal truncated to [a, b]; a float for scalar ends and no size.
@overload
def sample(a: float, b: float, size: None = None, rng: np.random.Generator | np.random.BitGenerator | int | None = None) -> float: ...
@overload
def sample(
    a: npt.ArrayLike, b: npt.ArrayLike, size: int | tuple[int, ...] | None = None,
    rng: np.random.Generator | np.random.BitGenerator | int | None = None,
) -> float | npt.NDArray[np.float64]: ...
