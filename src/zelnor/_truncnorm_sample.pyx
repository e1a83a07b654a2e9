# cython: language_level=3
"""Draws from the standard normal truncated to [a, b], from a NumPy bit generator; exposed as
zelnor.truncnorm.sample."""
import numpy as np
cimport numpy as cnp
from cpython.pycapsule cimport PyCapsule_GetPointer
from numpy.random cimport bitgen_t
from numpy.random.c_distributions cimport (
    random_standard_exponential, random_standard_normal, random_standard_uniform)

cnp.import_array()


cdef extern from "_kernels/truncnorm_sample.h" nogil:
    ctypedef struct zelnor_RandomSource:
        void *state
        double (*uniform)(void *) noexcept nogil
        double (*normal)(void *) noexcept nogil
        double (*exponential)(void *) noexcept nogil
    void zelnor_TruncNormSampleFill(double a, double b, const zelnor_RandomSource *source,
                                    double *out, Py_ssize_t n)
    void zelnor_TruncNormSampleEach(const double *a, const double *b, const zelnor_RandomSource *source,
                                    double *out, Py_ssize_t n)


# The kernel's variates, from NumPy's documented C functions on the bit generator's state.
cdef double _uniform(void *state) noexcept nogil:
    return random_standard_uniform(<bitgen_t *>state)


cdef double _normal(void *state) noexcept nogil:
    return random_standard_normal(<bitgen_t *>state)


cdef double _exponential(void *state) noexcept nogil:
    return random_standard_exponential(<bitgen_t *>state)


def sample(a, b, size=None, rng=None):
    """Independent draws from the standard normal truncated to [a, b].

    a, b : ends of the interval, floats or array-likes broadcasting against each other (either end
        may be infinite; a == b gives the point a).
    size : int or tuple of ints, optional. The output shape, as for NumPy's Generator methods: a and
        b broadcast to it. Without it the output has the broadcast shape of a and b, and scalar ends
        give a Python float.
    rng : None, int, numpy.random.Generator or numpy.random.BitGenerator, as numpy.random.default_rng
        takes it. The draws use the generator's own bits (under its lock), so a seed reproduces them
        and they interleave with the generator's other draws.

    Every draw lies in [a, b] and is exact to double precision however far out or narrow the
    interval is. For N(loc, scale^2) truncated to [lo, hi]:
    loc + scale * sample((lo - loc)/scale, (hi - loc)/scale).

    Raises ValueError if a > b or an end is NaN, or if size does not hold the shape of a and b.
    """
    a_arr = np.asarray(a, dtype=np.float64)
    b_arr = np.asarray(b, dtype=np.float64)
    if not np.all(a_arr <= b_arr):
        raise ValueError("sample needs a <= b (and no NaN)")
    shape = np.broadcast_shapes(a_arr.shape, b_arr.shape)
    if size is not None:
        size = tuple(np.atleast_1d(np.asarray(size, dtype=np.intp)).tolist())
        if np.broadcast_shapes(shape, size) != size:
            raise ValueError(f"size {size} does not hold the shape {shape} of a and b")
        shape = size
    bit_generator = np.random.default_rng(rng).bit_generator
    cdef zelnor_RandomSource source
    source.state = PyCapsule_GetPointer(bit_generator.capsule, "BitGenerator")
    source.uniform = _uniform
    source.normal = _normal
    source.exponential = _exponential

    cdef cnp.ndarray out = np.empty(shape, dtype=np.float64)
    cdef double *o = <double *>cnp.PyArray_DATA(out)
    cdef Py_ssize_t n = out.size
    cdef double a0, b0
    cdef const double *fa
    cdef const double *fb
    if a_arr.size == 1 and b_arr.size == 1:
        a0 = a_arr.reshape(-1)[0]
        b0 = b_arr.reshape(-1)[0]
        with bit_generator.lock, nogil:
            zelnor_TruncNormSampleFill(a0, b0, &source, o, n)
    else:
        flat_a = np.ascontiguousarray(np.broadcast_to(a_arr, shape).ravel())
        flat_b = np.ascontiguousarray(np.broadcast_to(b_arr, shape).ravel())
        fa = <const double *>cnp.PyArray_DATA(flat_a)
        fb = <const double *>cnp.PyArray_DATA(flat_b)
        with bit_generator.lock, nogil:
            zelnor_TruncNormSampleEach(fa, fb, &source, o, n)
    if size is None and out.ndim == 0:
        return o[0]
    return out
