"""The Mills ratio R(x) = N(-x)/n(x) of the standard normal distribution, its derivatives, its
relative form on [0, 1] and its symmetric divided differences, close to full double precision over
the whole real line.

Modules: zelnor.mills (R, -R', -R''', the relative form) and zelnor.divdiff (divided differences).
"""
import os

__version__ = "0.1.0"


def get_include():
    """Directory to add to the include path of a native extension that calls the kernels.

    It holds the declaration files mills.pxd and divdiff.pxd (for ``cimport``), the kernel headers
    and sources under ``_kernels/`` and the coefficient tables ``_mills_coef.h``.
    """
    return os.path.dirname(os.path.abspath(__file__))
