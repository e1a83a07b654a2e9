# Scalar entry points of the truncated-normal kernels, for other Cython modules to cimport:
#
#     from zelnor.truncnorm cimport _TN_MEAN, _TN_VAR
#
# Build against zelnor.get_include() and compile the kernel sources _kernels/truncnorm.cpp,
# _kernels/divdiff.cpp and _kernels/mills.cpp found there into the extension.
# The standard normal truncated to [a, b]; x is a point, p and q probabilities; DLogMass writes the
# derivatives of the log mass in a and in b through its two pointers.

cdef extern from "_kernels/truncnorm.h" nogil:
    double _TN_LOGMASS "zelnor_TruncNormLogMass"(double a, double b)
    double _TN_MEAN "zelnor_TruncNormMean"(double a, double b)
    double _TN_VAR "zelnor_TruncNormVar"(double a, double b)
    double _TN_CDF "zelnor_TruncNormCdf"(double x, double a, double b)
    double _TN_SF "zelnor_TruncNormSf"(double x, double a, double b)
    double _TN_PDF "zelnor_TruncNormPdf"(double x, double a, double b)
    double _TN_LOGPDF "zelnor_TruncNormLogPdf"(double x, double a, double b)
    double _TN_LOGCDF "zelnor_TruncNormLogCdf"(double x, double a, double b)
    double _TN_LOGSF "zelnor_TruncNormLogSf"(double x, double a, double b)
    double _TN_PPF "zelnor_TruncNormPpf"(double p, double a, double b)
    double _TN_ISF "zelnor_TruncNormIsf"(double q, double a, double b)
    double _TN_ENTROPY "zelnor_TruncNormEntropy"(double a, double b)
    void _TN_DLOGMASS "zelnor_TruncNormDLogMass"(double a, double b, double* da, double* db)
