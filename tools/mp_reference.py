"""What the mpmath references of the tools and the tests share: the Mills ratio R and the normal tail
Q in mpmath, exact values split into two doubles, and the format of the reference tables of tests/data.

R(x) = Q(x)/n(x) = N(-x)/n(x) with Q(x) = erfc(x/sqrt 2)/2; -R' = 1 - x R, -R''' = x^2 + 2 - x (x^2 + 3) R
and Rrel = (sqrt(pi/2) - R)/x follow from R' = x R - 1. Used by tools/fit_coefficients.py (the
coefficient tables), tools/make_reference.py (the Mills-ratio tables), tools/truncnorm_mp.py (the
truncated-normal tables) and the tests, which read the tables with read_table.

A table file holds comment lines starting with '#', then one row per line: the arguments, then the
exact value as ref_hi ref_lo, the nearest double and the nearest double to the rest, all as Python
repr (integers as such), so that reading them back gives the same doubles.
"""
from fractions import Fraction
from pathlib import Path

import mpmath
import numpy as np
from mpmath import mp, mpf

DATA_DIR = Path(__file__).resolve().parent.parent / "tests" / "data"

# mpmath's erfc decides between its series and its asymptotic expansion with a machine float holding
# the square of its argument z = x/sqrt(2), which overflows for z above about 1.3e154; past
# ERFC_LIMIT the Mills ratio comes from its own asymptotic expansion instead.
ERFC_LIMIT = 1e154


def to_fraction(value) -> Fraction:
    """The exact rational value of a finite mpf."""
    sign, man, exp, _ = value._mpf_
    man = -man if sign else man
    return Fraction(man << exp) if exp >= 0 else Fraction(man, 1 << -exp)


def hi_lo(value: Fraction) -> tuple:
    """Split an exact value into (nearest double, nearest double to the rest).

    Fraction -> float is int / int true division, which CPython rounds correctly, subnormal results
    included.
    """
    hi = float(value)
    return hi, float(value - Fraction(hi))


def upper_tail(t):
    """Q(t) = N(-t) = erfc(t/sqrt 2)/2, for any extended real t."""
    if mp.isinf(t):
        return mpf(0) if t > 0 else mpf(1)
    return mp.erfc(t / mp.sqrt(2)) / 2


def mills_ratio(x):
    """R(x) = sqrt(pi/2) erfc(z) exp(z^2) with z = x/sqrt(2).

    z is rounded to the working precision but z^2 is then formed exactly, so the product is
    erfc(z) exp(z^2) for that one rounded z. For x >= 0 this function of z changes by a relative
    amount of order one times the relative change of z, so the rounding of z costs nothing; for x < 0
    it grows like exp(z^2) and the relative error of z is amplified by 2 z^2 = x^2, which the caller's
    working precision must absorb.
    """
    if x > ERFC_LIMIT:
        return mills_ratio_asymptotic(x)
    z = x / mp.sqrt(2)
    return mp.sqrt(mp.pi / 2) * mp.erfc(z) * mp.exp(mp.fmul(z, z, exact=True))


def mills_ratio_asymptotic(x):
    """R(x) = sum_k (-1)^k (2k-1)!! / x^(2k+1), summed until below 2^-prec.

    R(x) = int_0^inf exp(-x t) exp(-t^2/2) dt, and the Taylor polynomials of exp(-s) alternately over-
    and underestimate it, so the series envelops R: the error of a partial sum is at most the first
    term left out.
    """
    bound = mpf(2) ** -(mp.prec + 10) / x
    term, total, k = 1 / x, mpf(0), 0
    while abs(term) > bound:
        total += term
        term *= -(2 * k + 1) / (x * x)
        k += 1
    return total


def mills_d1(x):
    """-R'(x) = 1 - x R(x)."""
    return 1 - x * mills_ratio(x)


def mills_d3(x):
    """-R'''(x) = x^2 + 2 - x (x^2 + 3) R(x)."""
    return x * x + 2 - x * (x * x + 3) * mills_ratio(x)


def mills_rel(x):
    """Rrel(x) = (sqrt(pi/2) - R(x))/x, with its limit Rrel(0) = 1 (R(0) = sqrt(pi/2), R'(0) = -1)."""
    if x == 0:
        return mpf(1)
    return (mp.sqrt(mp.pi / 2) - mills_ratio(x)) / x


# --- Table files ---------------------------------------------------------------------------------

REF_TEXT = ("ref_hi = exact value rounded to the nearest double, ref_lo = (exact - ref_hi) rounded to "
            "the nearest double; arguments and references are Python repr(float)")


def columns_text(columns) -> str:
    return "columns: %s ref_hi ref_lo" % " ".join(columns)


def made_by(script: str) -> str:
    return "made by tools/%s with mpmath %s and numpy %s" % (script, mpmath.__version__, np.__version__)


def format_row(args, pair) -> str:
    """One table row: the arguments (doubles or integers) and the pair (ref_hi, ref_lo)."""
    return " ".join([repr(a) if isinstance(a, float) else str(a) for a in args] + [repr(pair[0]), repr(pair[1])])


def write_table(path: Path, comments, rows) -> str:
    """Write the comment lines (without their '# ') and the formatted rows; return the text."""
    text = "\n".join(["# " + c for c in comments] + list(rows)) + "\n"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return text


def read_table(name: str, nargs: int):
    """Columns of a reference table: the argument arrays and the exact value as (hi, lo) arrays."""
    table = np.loadtxt(DATA_DIR / name, ndmin=2)
    return [table[:, k] for k in range(nargs)], table[:, nargs], table[:, nargs + 1]
