# Scalar entry points of the truncated-normal kernels, for other Cython modules to cimport:
#
#     from zelnor.truncnorm cimport _TN_MEAN, _TN_VAR
#
# Build against zelnor.get_include() and compile the kernel sources _kernels/truncnorm.cpp,
# _kernels/divdiff.cpp and _kernels/mills.cpp found there into the extension.
# The standard normal truncated to [a, b]; x is a point for cdf and sf.

cdef extern from "_kernels/truncnorm.h" nogil:
    double _TN_LOGMASS "zelnor_TruncNormLogMass"(double a, double b)
    double _TN_MEAN "zelnor_TruncNormMean"(double a, double b)
    double _TN_VAR "zelnor_TruncNormVar"(double a, double b)
    double _TN_CDF "zelnor_TruncNormCdf"(double x, double a, double b)
    double _TN_SF "zelnor_TruncNormSf"(double x, double a, double b)
