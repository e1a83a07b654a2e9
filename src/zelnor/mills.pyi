# Each function takes a number or anything NumPy converts to an array, computes in float64 and gives
# a Python float for a number (or a zero-dimensional array), a float64 array of the input's shape
# otherwise.
from typing import Any, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Number: TypeAlias = float | np.floating[Any] | np.integer[Any] | np.bool_

# Cython's table of doctests, empty.
__test__: dict[str, str]

@overload
def millsratio(x: _Number) -> float: ...
@overload
def millsratio(x: ArrayLike) -> float | NDArray[np.float64]: ...
@overload
def millsratio_d1(x: _Number) -> float: ...
@overload
def millsratio_d1(x: ArrayLike) -> float | NDArray[np.float64]: ...
@overload
def millsratio_d3(x: _Number) -> float: ...
@overload
def millsratio_d3(x: ArrayLike) -> float | NDArray[np.float64]: ...

# Raises ValueError unless every element lies in [0, 1].
@overload
def millsratio_rel_below1(x: _Number) -> float: ...
@overload
def millsratio_rel_below1(x: ArrayLike) -> float | NDArray[np.float64]: ...
