"""What a user without zelnor writes instead: the Mills ratio through SciPy's scaled complementary
error function, and the related quantities by their textbook formulas in float64.

    R(x) = N(-x)/n(x) = sqrt(pi/2) erfcx(x/sqrt(2)),   erfcx(z) = exp(z^2) erfc(z)

Each formula below is exact mathematics; evaluated in floating point, the ones with a difference of
nearly equal terms lose digits: 1 - x R about 2 log10 x of them, x^2 + 2 - x (x^2 + 3) R about
5 log10 x, a symmetric difference of R with half-step h about log10(x/h), and sqrt(pi/2) - R near
x = 0 about log10(1/x). tools/accuracy_report.py measures those losses and
benchmarks/bench_modules.py times these routes beside zelnor.
"""
import numpy as np
from scipy.special import erfcx

SQRT_PI_2 = np.sqrt(np.pi / 2)


def millsratio(x):
    """R(x) = sqrt(pi/2) erfcx(x/sqrt(2))."""
    return SQRT_PI_2 * erfcx(x / np.sqrt(2))


def millsratio_d1(x):
    """-R'(x) = 1 - x R(x)."""
    return 1 - x * millsratio(x)


def millsratio_d3(x):
    """-R'''(x) = x^2 + 2 - x (x^2 + 3) R(x)."""
    x2 = x * x
    return x2 + 2 - x * (x2 + 3) * millsratio(x)


def millsratio_rel_below1(x):
    """(sqrt(pi/2) - R(x))/x."""
    return (SQRT_PI_2 - millsratio(x)) / x


def millsratio_dd(x, dx):
    """(R(x - dx) - R(x + dx))/(2 dx), the central difference."""
    return (millsratio(x - dx) - millsratio(x + dx)) / (2 * dx)


def reflected_sum(x, dx):
    """(R(dx - x) + R(x + dx))/(2 dx)."""
    return (millsratio(dx - x) + millsratio(x + dx)) / (2 * dx)


def convergent(t, m):
    """K_m(t) = A_m/B_m, the m-th convergent of R(t) = 1/(t + 1/(t + 2/(t + ...))), by the forward
    recurrence A_(k+1) = t A_k + k A_(k-1) (B likewise) from A_0 = 0, A_1 = 1, B_0 = 1, B_1 = t."""
    a_prev, a, b_prev, b = 0.0, 1.0, 1.0, t
    for k in range(1, m):
        a_prev, a = a, t * a + k * a_prev
        b_prev, b = b, t * b + k * b_prev
    return a / b


def convergent_dd(x, dx, n_terms):
    """(K_m(x - dx) - K_m(x + dx))/(2 dx), m = n_terms + 1: the divided difference of the depth-n
    convergent formed naively from two convergent values (plain NumPy, no SciPy needed)."""
    m = n_terms + 1
    return (convergent(x - dx, m) - convergent(x + dx, m)) / (2 * dx)
