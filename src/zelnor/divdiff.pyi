# x and dx broadcast against each other; the result is a Python float when both are numbers (or
# zero-dimensional arrays), a float64 array of the broadcast shape otherwise. The third argument is
# anything that converts to a 32-bit int: negative theta selects the reflected sum.
from typing import Any, SupportsInt, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Number: TypeAlias = float | np.floating[Any] | np.integer[Any] | np.bool_

# Cython's table of doctests, empty.
__test__: dict[str, str]

@overload
def millsratio_dd(x: _Number, dx: _Number, theta: SupportsInt = 1) -> float: ...
@overload
def millsratio_dd(x: ArrayLike, dx: ArrayLike, theta: SupportsInt = 1) -> float | NDArray[np.float64]: ...
@overload
def millsratio_dd_cf(x: _Number, dx: _Number, n_terms: SupportsInt = 4) -> float: ...
@overload
def millsratio_dd_cf(x: ArrayLike, dx: ArrayLike, n_terms: SupportsInt = 4) -> float | NDArray[np.float64]: ...
