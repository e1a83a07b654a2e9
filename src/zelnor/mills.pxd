# Scalar entry points of the Mills-ratio kernels, for other Cython modules to cimport:
#
#     from zelnor.mills cimport _R, _R1
#
# Build against zelnor.get_include() and compile the kernel source _kernels/mills.cpp found there
# into the extension (the entry points are plain C functions, safe to call without the GIL).

cdef extern from "_kernels/mills.h" nogil:
    double _R "zelnor_MillsRatio"(double x)
    double _R1 "zelnor_MillsRatioDeriv1"(double x)
    double _R3 "zelnor_MillsRatioDeriv3"(double x)
    double _Rrel_below1 "zelnor_MillsRatioRel_below1"(double x)
    double _R013_CF "zelnor_MillsRatio_CF"(double xu, int n, int d)
