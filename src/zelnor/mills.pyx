# cython: language_level=3
"""Mills ratio R(x) = N(-x)/n(x), -R'(x), -R'''(x), plus (sqrt(pi/2) - R(x))/x on [0, 1].

This module is a thin numpy-vectorisation layer over the C++ kernels in
src/zelnor/_kernels/mills.  The kernels are templated on T in
{float, double}; the Cython binding (this file) and the tarsel pricer share the
same canonical math source.

The scalar entry points (_R, _R1, _R3, _R013_CF, _Rrel_below1) are cimport-able
from other Cython modules via the cdef extern declarations in mills.
"""
import numpy as np
cimport numpy as cnp
cnp.import_array()

ctypedef double (*scalar_kernel)(double) noexcept nogil


cdef object _elementwise(object x_arr, scalar_kernel kernel):
    # Walk the elements of a float64 array in C order, one kernel call each; a zero-dimensional
    # array gives a Python float, anything else an array of its shape. `flat` and `out` are
    # C-contiguous float64 by construction, so their data are read directly; the input is only read.
    cdef bint scalar = x_arr.ndim == 0
    cdef cnp.ndarray flat = np.ascontiguousarray(x_arr.ravel())
    cdef cnp.ndarray out = np.empty_like(flat)
    cdef const double* f = <const double*>cnp.PyArray_DATA(flat)
    cdef double* o = <double*>cnp.PyArray_DATA(out)
    cdef Py_ssize_t i
    for i in range(cnp.PyArray_SIZE(flat)):
        o[i] = kernel(f[i])
    if scalar:
        return o[0]
    return out.reshape(x_arr.shape)


def millsratio(x):
    "Mills ratio R(x) = N(-x)/n(x); scalar or ndarray, any x."
    return _elementwise(np.asarray(x, dtype=np.float64), _R)


def millsratio_d1(x):
    "-R'(x) = 1 - x R(x); scalar or ndarray, any x."
    return _elementwise(np.asarray(x, dtype=np.float64), _R1)


def millsratio_d3(x):
    "-R'''(x); scalar or ndarray, any x."
    return _elementwise(np.asarray(x, dtype=np.float64), _R3)


def millsratio_rel_below1(x):
    "(sqrt(pi/2) - R(x))/x; scalar or ndarray, 0 <= x <= 1."
    x_arr = np.asarray(x, dtype=np.float64)
    if np.any((x_arr < 0.0) | (x_arr > 1.0)):
        raise ValueError("millsratio_rel_below1 requires 0 <= x <= 1.")
    return _elementwise(x_arr, _Rrel_below1)
