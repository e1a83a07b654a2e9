# Scalar entry points of the divided-difference kernels, for other Cython modules to cimport:
#
#     from zelnor.divdiff cimport _R_DD, _R_DD_CF
#
# Build against zelnor.get_include() and compile the kernel sources _kernels/divdiff.cpp and
# _kernels/mills.cpp found there into the extension.

cdef extern from "_kernels/divdiff.h" nogil:
    double _R_DD "zelnor_MillsRatioDiff"(double x, double dx, int theta)
    double _R_DD_CF "zelnor_MillsRatioDiff_CF"(double x, double dx, int n_terms)
