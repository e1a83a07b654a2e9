#!/usr/bin/env python3
"""Write the reference tables of tests/data/ from exact mathematics.

Each table row holds the arguments of one function (doubles, or float32 values
for the *_float tables) and the exact value of the function there, written as
two doubles ref_hi ref_lo: ref_hi is the exact value rounded to the nearest
double and ref_lo the rest, exact - ref_hi, rounded to the nearest double.  A
test then measures the error of a computed value c as
((c - ref_hi) - ref_lo) / ref_hi without losing accuracy in the subtraction.

The exact values come from mpmath at a working precision chosen per row: a
base of BASE_DIGITS decimal digits, plus the digits that the formula loses to
cancellation at that argument (the lost_digits_* functions), plus the places
by which ref_lo lies further below ref_hi than usual (lo_depth).  Every row is
recomputed with VERIFY_EXTRA_DIGITS more digits, and generation fails if its
ref_hi/ref_lo pair changes.  `--check NAME` recomputes a random subset of the
rows of a table already on disk with CHECK_EXTRA_DIGITS more digits.

The continued-fraction convergents are rational functions: the main table of
their divided differences is computed in exact integer arithmetic, and it is
verified (and checked) by an independent evaluation in mpmath.
"""

import argparse
import math
import multiprocessing
import sys
import time
import zlib
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import Callable

import numpy as np
from mpmath import mp, mpf

from mp_reference import (DATA_DIR, REF_TEXT, columns_text, format_row, hi_lo, made_by, mills_d1, mills_d3,
                          mills_ratio, mills_rel, read_table, to_fraction, write_table)

SEED = 20240611
# ref_hi holds 16 significant digits and ref_lo normally starts 16 to 20
# places below it; BASE_DIGITS resolves ref_lo to 24 digits beyond that.
LO_PLACES = 20
BASE_DIGITS = LO_PLACES + 24
VERIFY_EXTRA_DIGITS = 25
CHECK_EXTRA_DIGITS = 40
MAX_JOBS = 2



# ---------------------------------------------------------------------------
# Number formats
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class Format:
    """A binary floating-point format in which the arguments are given."""
    dtype: type
    bits: type              # unsigned integer type of the same width
    tiny: float             # smallest positive normal number
    huge: float             # largest finite number
    reflection_cutoff: float  # -sqrt(2 ln huge) rounded: R overflows below it

    def cast(self, values):
        """Round values to this format, as a list of Python floats."""
        return np.asarray(values, dtype=np.float64).astype(self.dtype).astype(np.float64).tolist()

    def nearest(self, value: Fraction) -> float:
        """The number of this format nearest to an exact rational value."""
        guess = self.dtype(float(value))
        candidates = [np.nextafter(guess, self.dtype(-np.inf)), guess,
                      np.nextafter(guess, self.dtype(np.inf))]
        return float(min(candidates, key=lambda c: (abs(Fraction(float(c)) - value),
                                                    int(c.view(self.bits)) & 1)))

    def step(self, x: float, k: int) -> float:
        """The k-th representable number above x (below it for k < 0)."""
        y = self.dtype(x)
        toward = self.dtype(np.inf if k > 0 else -np.inf)
        for _ in range(abs(k)):
            y = np.nextafter(y, toward)
        return float(y)

    def holds(self, value: Fraction) -> bool:
        """True if the exact value rounds to a finite normal number here."""
        return self.tiny <= abs(value) <= self.huge


DOUBLE = Format(np.float64, np.uint64, sys.float_info.min, sys.float_info.max,
                -37.67712072049519)
SINGLE = Format(np.float32, np.uint32, float(np.finfo(np.float32).tiny),
                float(np.finfo(np.float32).max), -13.320874214172363)


# ---------------------------------------------------------------------------
# The functions, in mpmath at the current working precision
# ---------------------------------------------------------------------------

def divided_difference(x: mpf, dx: mpf) -> mpf:
    """(R(x - dx) - R(x + dx)) / (2 dx) at the exact x -+ dx; -R'(x) at dx = 0."""
    if dx == 0:
        return mills_d1(x)
    a = mp.fsub(x, dx, exact=True)
    b = mp.fadd(x, dx, exact=True)
    return (mills_ratio(a) - mills_ratio(b)) / (2 * dx)


def reflected_sum(x: mpf, dx: mpf) -> mpf:
    """(R(dx - x) + R(x + dx)) / (2 dx) at the exact dx - x and x + dx."""
    return (mills_ratio(mp.fsub(dx, x, exact=True))
            + mills_ratio(mp.fadd(x, dx, exact=True))) / (2 * dx)


def cf_divided_difference_backward(x: mpf, dx: mpf, n: int) -> mpf:
    """(K_m(a) - K_m(b)) / (b - a), m = n + 1, a = x - dx, b = x + dx.

    K_m = 1/t_1 with the tails t_m = x and t_j = x + j / t_(j+1), evaluated
    from the innermost level outwards.  Carrying, with the tails at a and at
    b, their divided difference D_j = (t_j(a) - t_j(b)) / (a - b), which obeys
    D_m = 1 and D_j = 1 - j D_(j+1) / (t_(j+1)(a) t_(j+1)(b)), gives the
    result as D_1 / (t_1(a) t_1(b)) with no difference of close values, and
    at dx = 0 the same lines give -K_m'(x).
    """
    a = mp.fsub(x, dx, exact=True)
    b = mp.fadd(x, dx, exact=True)
    ta, tb, d = a, b, mpf(1)
    for j in range(n, 0, -1):
        d = 1 - j * d / (ta * tb)
        ta = a + j / ta
        tb = b + j / tb
    return d / (ta * tb)


# ---------------------------------------------------------------------------
# Continued-fraction convergents in exact integer arithmetic
# ---------------------------------------------------------------------------

def scaled_convergent(p: int, q: int, m: int) -> tuple:
    """Integers (al, be, al', be') for the m-th convergent at a = p/q.

    With A_0 = 0, A_1 = 1, B_0 = 1, B_1 = a and A_(k+1) = a A_k + k A_(k-1)
    (B likewise), al = q^(m-1) A_m(a) and be = q^m B_m(a) obey the integer
    recurrence y_(k+1) = p y_k + k q^2 y_(k-1), so K_m(a) = q al / be; al' and
    be' are q^(m-1) A_m'(a) and q^m B_m'(a), from the differentiated
    recurrence y'_(k+1) = q y_k + p y'_k + k q^2 y'_(k-1).
    """
    q2 = q * q
    al0, al1, be0, be1 = 0, 1, 1, p
    dal0, dal1, dbe0, dbe1 = 0, 0, 0, q
    for k in range(1, m):
        dal0, dal1 = dal1, q * al1 + p * dal1 + k * q2 * dal0
        dbe0, dbe1 = dbe1, q * be1 + p * dbe1 + k * q2 * dbe0
        al0, al1 = al1, p * al1 + k * q2 * al0
        be0, be1 = be1, p * be1 + k * q2 * be0
    return al1, be1, dal1, dbe1


def convergent(a: Fraction, m: int) -> Fraction:
    """K_m(a) exactly."""
    al, be, _, _ = scaled_convergent(a.numerator, a.denominator, m)
    return Fraction(a.denominator * al, be)


def cf_divided_difference_exact(x: float, dx: float, n: int) -> Fraction:
    """(K_m(x - dx) - K_m(x + dx)) / (2 dx), m = n + 1; -K_m'(x) at dx = 0."""
    m = n + 1
    if dx == 0:
        x = Fraction(x)
        al, be, dal, dbe = scaled_convergent(x.numerator, x.denominator, m)
        return Fraction(x.denominator * (al * dbe - dal * be), be * be)
    a, b = Fraction(x) - Fraction(dx), Fraction(x) + Fraction(dx)
    return (convergent(a, m) - convergent(b, m)) / (b - a)


# ---------------------------------------------------------------------------
# Working precision: digits lost to cancellation, and digits below ref_hi
# ---------------------------------------------------------------------------

def log10_above_one(x: float) -> float:
    """log10 |x| where |x| > 1, else 0."""
    return math.log10(abs(x)) if abs(x) > 1 else 0.0


def near_double_digits(x: float) -> float:
    """-R'(0) = 1, -R'''(0) = 2 and Rrel(0) = 1 are doubles, so near x = 0
    these values are a double plus a term of order x: ref_lo ~ x lies
    log10(1/|x|) - LO_PLACES places further below ref_hi than usual, and
    the working precision has to reach down to it."""
    return max(0.0, -math.log10(abs(x)) - LO_PLACES) if x else 0.0


def lost_digits_r(x: float) -> float:
    """R has no cancellation; for x < 0, erfc(z) exp(z^2) amplifies the
    rounding of z = x/sqrt(2) by x^2 (see mp_reference.mills_ratio)."""
    return 2 * log10_above_one(x) + 1 if x < 0 else 0.0


def lost_digits_d1(x: float) -> float:
    """1 - x R(x) ~ 1/x^2 for large x while x R(x) ~ 1: 2 log10 x digits."""
    return lost_digits_r(x) + 2 * log10_above_one(x) + 1 + near_double_digits(x)


def lost_digits_d3(x: float) -> float:
    """x^2 + 2 - x (x^2 + 3) R(x) ~ 6/x^4 for large x while both terms are
    ~ x^2: log10(x^6 / 6) digits, 6 log10 x counted."""
    return lost_digits_r(x) + 6 * log10_above_one(x) + 1 + near_double_digits(x)


def lost_digits_rel(x: float) -> float:
    """sqrt(pi/2) - R(x) ~ x for small x: log10(1/x) digits."""
    return (-math.log10(abs(x)) if 0 < abs(x) < 1 else 0.0) + 1 + near_double_digits(x)


def lost_digits_dd(x: float, dx: float) -> float:
    """R(x - dx) - R(x + dx) ~ 2 dx R'(x), and |R / R'| is at most about
    1 + |x| (R ~ 1/x, R' ~ -1/x^2 for large x): log10((2 + |x|)/dx) digits."""
    if dx == 0:
        return lost_digits_d1(x)
    return lost_digits_r(min(x - dx, x + dx)) + max(0.0, math.log10((2 + abs(x)) / dx)) + 1


def lost_digits_rs(x: float, dx: float) -> float:
    """A sum of two positive terms: only the reflection amplification of R."""
    return lost_digits_r(min(dx - x, x + dx))


def lost_digits_cf(x: float, dx: float, n: int) -> float:
    """The backward evaluation adds positive terms far out; each of its n
    levels may add a rounding error, and for small arguments the divided
    differences D_j may partly cancel: 2 log10(n + 2) digits cover both."""
    return 2 * math.log10(n + 2) + 5


# ---------------------------------------------------------------------------
# Quantities: how an exact value is obtained for one row
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class Quantity:
    """One function of the tables, with the method of its exact value."""
    formula: str
    precision: str                        # the working-precision rule, for the header
    evaluate: Callable = None             # mpf arguments -> mpf, at the current precision
    lost_digits: Callable = None          # float arguments -> digits lost to cancellation
    exact: Callable = None                # float arguments -> Fraction, exact arithmetic


def evaluate_at(quantity: Quantity, args: tuple, digits: int) -> Fraction:
    """The mpmath value at the given working precision, as an exact rational."""
    with mp.workdps(digits):
        return to_fraction(quantity.evaluate(*[mpf(a) if isinstance(a, float) else a
                                               for a in args]))


def lo_depth(value: Fraction) -> float:
    """How many decimal places ref_lo sits further below ref_hi than the
    usual LO_PLACES.  Where a value comes close to a double by chance, ref_lo is
    far below the last place of ref_hi, and the working precision must reach
    down to it as well (near_double_digits foresees the systematic case)."""
    if not DOUBLE.holds(value):
        return 0.0
    hi, lo = hi_lo(value)
    return max(0.0, math.log10(abs(hi)) - math.log10(abs(lo)) - LO_PLACES) if lo else 0.0


def digits_for(quantity: Quantity, args: tuple, extra_digits: int, value: Fraction) -> int:
    digits = BASE_DIGITS + extra_digits + math.ceil(quantity.lost_digits(*args) + lo_depth(value))
    if digits > BASE_DIGITS + extra_digits + 2000:
        raise ArithmeticError("%r: no stable ref_lo below %d digits" % (args, digits))
    return digits


def reference(quantity: Quantity, args: tuple, extra_digits: int = 0) -> Fraction:
    """The exact value of a quantity at one row's arguments.

    The working precision is BASE_DIGITS + extra_digits, plus the digits the
    formula loses to cancellation, plus lo_depth of the value.  The last term
    depends on the value, so the first evaluation assumes it is 0 and is
    repeated at the precision its result asks for until that no longer grows.
    """
    if quantity.exact is not None:
        return quantity.exact(*args)
    value, digits = None, 0
    needed = digits_for(quantity, args, extra_digits, Fraction(0))
    while digits < needed:
        digits = needed
        value = evaluate_at(quantity, args, digits)
        needed = digits_for(quantity, args, extra_digits, value)
    return value


R_TEXT = "R(x) = sqrt(pi/2) erfc(x/sqrt(2)) exp(x^2/2) = N(-x)/n(x)"
LO_TEXT = ("; everywhere + max(0, log10|ref_hi/ref_lo| - %d), so that ref_lo is resolved "
           "to %d digits" % (LO_PLACES, BASE_DIGITS - LO_PLACES))
NEAR_ZERO_TEXT = ("; + max(0, log10(1/|x|) - %d) near 0, where the value tends to a double"
                  % LO_PLACES)
PRECISION_R = ("%d digits, + 2 log10|x| + 1 for x < 0 (erfc(z) exp(z^2) amplifies the "
               "rounding of z = x/sqrt(2) by x^2 there)" % BASE_DIGITS)

QUANTITIES = {
    "R": Quantity(
        R_TEXT, PRECISION_R, mills_ratio, lost_digits_r),
    "d1": Quantity(
        "-R'(x) = 1 - x R(x), " + R_TEXT,
        PRECISION_R + "; + 2 log10 x + 1 for x > 1 (1 - x R ~ 1/x^2 cancels)"
        + NEAR_ZERO_TEXT, mills_d1, lost_digits_d1),
    "d3": Quantity(
        "-R'''(x) = x^2 + 2 - x (x^2 + 3) R(x), " + R_TEXT,
        PRECISION_R + "; + 6 log10 x + 1 for x > 1 (the value ~ 6/x^4 is the "
        "difference of two terms ~ x^2)" + NEAR_ZERO_TEXT, mills_d3, lost_digits_d3),
    "rel": Quantity(
        "Rrel(x) = (sqrt(pi/2) - R(x))/x on [0, 1], Rrel(0) = 1, " + R_TEXT,
        "%d digits + log10(1/x) + 1 (sqrt(pi/2) - R(x) ~ x cancels)" % BASE_DIGITS
        + NEAR_ZERO_TEXT, mills_rel, lost_digits_rel),
    "dd": Quantity(
        "DD(x, dx) = (R(x - dx) - R(x + dx))/(2 dx) at the exact real x -+ dx, "
        "DD(x, 0) = -R'(x), " + R_TEXT,
        PRECISION_R + "; + log10((2 + |x|)/dx) + 1 (the difference of R ~ 2 dx R' "
        "cancels); at dx = 0 the rule of -R' = 1 - x R", divided_difference, lost_digits_dd),
    "rs": Quantity(
        "RS(x, dx) = (R(dx - x) + R(x + dx))/(2 dx) at the exact real dx - x and x + dx, "
        + R_TEXT, PRECISION_R + " (applied to both arguments of R; a sum does not cancel)",
        reflected_sum, lost_digits_rs),
    "cf_exact": Quantity(
        "CFDD(x, dx, n) = (K_m(x - dx) - K_m(x + dx))/(2 dx), m = n + 1, "
        "CFDD(x, 0, n) = -K_m'(x), K_m = A_m/B_m the m-th convergent of "
        "R(x) = 1/(x + 1/(x + 2/(x + 3/(x + ...)))): A_0 = 0, A_1 = 1, B_0 = 1, B_1 = x, "
        "A_(k+1) = x A_k + k A_(k-1), B likewise",
        "none: exact rational arithmetic on the exact x -+ dx (integer recurrences "
        "scaled by powers of the common denominator)",
        exact=cf_divided_difference_exact),
    "cf_backward": Quantity(
        "CFDD(x, dx, n) = (K_m(x - dx) - K_m(x + dx))/(2 dx), m = n + 1, "
        "CFDD(x, 0, n) = -K_m'(x), K_m the m-th convergent of "
        "R(x) = 1/(x + 1/(x + 2/(x + 3/(x + ...)))), i.e. cut after the n-th partial numerator",
        "%d digits + 2 log10(n + 2) + 5; evaluated from the innermost level outwards, "
        "carrying the divided differences of the tails, so no difference of close values "
        "is formed" % BASE_DIGITS,
        cf_divided_difference_backward, lost_digits_cf),
}


# ---------------------------------------------------------------------------
# Arguments
# ---------------------------------------------------------------------------

def log_uniform(rng, lo: float, hi: float, count: int) -> np.ndarray:
    """count random points, log-uniform in [lo, hi]."""
    return np.exp(rng.uniform(math.log(lo), math.log(hi), count))


def sweep(rng, lo: float, hi: float, count: int, log: bool = False) -> np.ndarray:
    """count points in [lo, hi] (0 < lo for log): half random, half evenly spaced."""
    even = count // 2
    if log:
        spaced = np.geomspace(lo, hi, even)
        drawn = log_uniform(rng, lo, hi, count - even)
    else:
        spaced = np.linspace(lo, hi, even)
        drawn = rng.uniform(lo, hi, count - even)
    return np.clip(np.concatenate([spaced, drawn]), min(lo, hi), max(lo, hi))


def decimals(*texts: str) -> list:
    """Decimal constants as exact rationals (each format rounds them itself)."""
    return [Fraction(t) for t in texts]


REL_ROW_STARTS = [Fraction(i, 12) for i in range(13)]
R1_ROW_STARTS = [Fraction(64 + 5 * i, 2 * (32 - i)) for i in range(27)]   # (32 + 2.5 i)/(32 - i)
R3_ROW_STARTS = [Fraction(7 * i, 2 * (50 - i)) for i in range(46)]        # 3.5 i/(50 - i)
R_BOUNDS = decimals("0", "1", "9.5", "11.4", "15.1", "24.1", "59.3", "548", "6.7e7")
D1_BOUNDS = decimals("0", "1", "11.5", "14.5", "21.2", "41", "165", "12800")
D3_BOUNDS = decimals("0", "17.1", "25.4", "50.5", "210", "17300")
STEPS = (0, 1, 3, -1, -3)


def neighbourhoods(fmt: Format, points, negated: bool = True) -> list:
    """Each point rounded to fmt, with the numbers 1 and 3 steps above and
    below it; with negated, the negatives too (the reflection evaluates the
    function at -x)."""
    out = []
    for p in points:
        t = fmt.nearest(Fraction(p))
        out += [fmt.step(t, k) for k in STEPS]
    if negated:
        out += [-v for v in out if -v >= fmt.reflection_cutoff]
    return out


def tail_guard(fmt: Format) -> float:
    """x where u = x^2 + 3 passes the square root of the largest finite number."""
    return math.sqrt(math.sqrt(fmt.huge))


def negative_side(fmt: Format, rng, count: int) -> list:
    """[cut-off, 0) evenly, and log-spaced in magnitude down to -1e-30."""
    cut = fmt.reflection_cutoff
    return [*sweep(rng, cut, 0.0, count), *-sweep(rng, 1e-30, -cut, count // 3, log=True)]


def near_zero(fmt: Format, rng, count: int) -> list:
    """[0, 1] evenly, and log-spaced from the subnormal range up to 1."""
    smallest = 1e-320 if fmt is DOUBLE else 1e-45
    return [*sweep(rng, 0.0, 1.0, count), *sweep(rng, smallest, 1.0, count // 4, log=True)]


def far_out(rng, far: float, count: int) -> list:
    """Log-spaced points in [1e3, far], and the last decade evenly spaced as
    well, so that the end of the normal range near far is densely covered."""
    return [*sweep(rng, 1e3, far, count, log=True), *sweep(rng, far / 10, far, count // 10)]


def share(count: int, scale: float) -> int:
    """A sweep size scaled to the table (the float32 tables are smaller)."""
    return int(count * scale)


def single_args(fmt: Format, args) -> list:
    return [(v,) for v in fmt.cast(args)]


def millsratio_args(fmt: Format, rng, scale: float) -> list:
    far = 1e300 if fmt is DOUBLE else fmt.huge    # R ~ 1/x: normal in float up to 8.5e37
    args = [
        *negative_side(fmt, rng, share(1600, scale)),
        *near_zero(fmt, rng, share(1700, scale)),
        *sweep(rng, 1.0, 9.5, share(3200, scale)),
        *sweep(rng, 9.5, 1e3, share(1300, scale)),
        *sweep(rng, 9.5, 1e3, share(1300, scale), log=True),
        *far_out(rng, far, share(2200, scale)),
        *neighbourhoods(fmt, R_BOUNDS + REL_ROW_STARTS + R1_ROW_STARTS),
        *neighbourhoods(fmt, [fmt.reflection_cutoff], negated=False),
        -0.0, 0.25, 0.5, 1.5, 2.0, 5.0, 10.0, 20.0, 100.0, 1000.0, 1e8,
        -1.0, -10.0, -13.0, -35.5, -37.0,
    ]
    return single_args(fmt, args)


def d1_args(fmt: Format, rng, scale: float) -> list:
    far = 1e154 if fmt is DOUBLE else 1e19    # -R' ~ 1/x^2: normal up to 6.7e153, 9.2e18
    args = [
        *negative_side(fmt, rng, share(1600, scale)),
        *near_zero(fmt, rng, share(1600, scale)),
        *sweep(rng, 1.0, 11.5, share(3300, scale)),
        *sweep(rng, 11.5, 1e3, share(1200, scale)),
        *sweep(rng, 11.5, 1e3, share(1200, scale), log=True),
        *far_out(rng, far, share(2200, scale)),
        *neighbourhoods(fmt, D1_BOUNDS + REL_ROW_STARTS + R1_ROW_STARTS),
        *neighbourhoods(fmt, [fmt.reflection_cutoff, tail_guard(fmt)], negated=False),
        -0.0, 0.5, 2.0, 12.0, 20.0, 1000.0, -1.0, -13.0, -35.5, -37.0,
    ]
    return single_args(fmt, args)


def d3_args(fmt: Format, rng, scale: float) -> list:
    far = 1.3e77 if fmt is DOUBLE else 5e9    # -R''' ~ 6/x^4: normal up to 1.28e77, 4.75e9
    args = [
        *negative_side(fmt, rng, share(1600, scale)),
        *near_zero(fmt, rng, share(1200, scale)),
        *sweep(rng, 1.0, 17.1, share(3600, scale)),
        *sweep(rng, 17.1, 1e3, share(1300, scale)),
        *sweep(rng, 17.1, 1e3, share(1300, scale), log=True),
        *far_out(rng, far, share(2200, scale)),
        *neighbourhoods(fmt, D3_BOUNDS + R3_ROW_STARTS),
        *neighbourhoods(fmt, [fmt.reflection_cutoff, tail_guard(fmt)], negated=False),
        -0.0, 0.5, 2.0, 12.0, 20.0, 1000.0, -1.0, -13.0, -35.5, -37.0,
    ]
    return single_args(fmt, args)


def rel_args(fmt: Format, rng, scale: float) -> list:
    smallest = 5e-324 if fmt is DOUBLE else 1.4e-45
    args = [
        *sweep(rng, 0.0, 1.0, share(8000, scale)),
        *sweep(rng, smallest, 1.0, share(2000, scale), log=True),
        *neighbourhoods(fmt, REL_ROW_STARTS, negated=False),
        -0.0, 0.5,
    ]
    return single_args(fmt, [a for a in args if 0.0 <= a <= 1.0])


def window_edge(x: float) -> float:
    """The series window of the divided difference, (1.25 + x) 0.0392, as
    computed in double arithmetic."""
    return (1.25 + x) * 0.0392


def divdiff_args(fmt: Format, rng, scale: float) -> list:
    rows = []
    # x in [-1, 60] with steps from 1e-12 to 5, dx = 0 and steps down to 1e-16
    x = rng.uniform(-1.0, 60.0, 8000)
    rows += zip(x, log_uniform(rng, 1e-12, 5.0, x.size))
    rows += [(v, 0.0) for v in rng.uniform(-1.0, 60.0, 500)]
    x = rng.uniform(-1.0, 60.0, 800)
    rows += zip(x, log_uniform(rng, 1e-16, 1e-12, x.size))
    # dx on and 1 and 3 steps either side of the series window edge
    for v in rng.uniform(-1.0, 60.0, 800):
        edge = window_edge(v)
        rows += [(v, DOUBLE.step(edge, k)) for k in STEPS]
    rows += lower_end_rows(rng)
    # x at and next to 17.1 with small steps
    rows += [(x17, dx) for x17 in neighbourhoods(DOUBLE, [Fraction("17.1")], negated=False)
             for dx in [0.0, *np.geomspace(1e-14, 0.5, 30)]]
    # x < 0 with small steps; tiny steps at fixed x; x beyond 60
    x = rng.uniform(-1.0, 0.0, 500)
    rows += zip(x, log_uniform(rng, 1e-16, 0.04, x.size))
    rows += [(x0, 10.0 ** -k) for x0 in (0.5, 1.0, 2.5, 10.0, 17.0, 20.0, 21.5, 30.0, 59.9)
             for k in range(8, 17)]
    x = log_uniform(rng, 60.0, 1e4, 300)
    rows += zip(x, log_uniform(rng, 1e-12, 5.0, x.size))
    return [(float(a), float(d)) for a, d in rows]


def lower_end_rows(rng) -> list:
    """x - dx at and next to the lower ends 21.2, 41, 165, 12800 of the
    continued-fraction regime: for each dx, x = t + dx rounded and the x one
    and two steps away, so that x - dx in double falls on and around t."""
    rows = []
    for t in (21.2, 41.0, 165.0, 12800.0):
        for dx in [0.0, *np.geomspace(1e-12, 0.95 * window_edge(t), 40)]:
            x0 = t + dx
            rows += [(DOUBLE.step(x0, k), dx) for k in (0, 1, 2, -1, -2)]
    return rows


def reflected_sum_args(fmt: Format, rng, scale: float) -> list:
    x = rng.uniform(-20.0, 60.0, 4200)
    dx = np.concatenate([rng.uniform(0.0, 30.0, 2400),
                         log_uniform(rng, 1e-10, 30.0, 1800)])
    x_neg = rng.uniform(-20.0, 0.0, 400)
    dx_neg = -x_neg + rng.uniform(0.0, 10.0, x_neg.size)
    rows = [*zip(x, dx), *zip(x_neg, dx_neg)]
    return [(float(a), float(d)) for a, d in rows if d > 0]


def cf_x_limit(n: int) -> float:
    """Largest x of the main convergent table: the denominators of the
    depth-n convergent at x -+ dx grow like x^(2n + 2), and this table keeps
    them below ~1e250 so that a double evaluation meets no overflow."""
    return min(1e30, 10.0 ** (250.0 / (2 * n + 2)))


def cf_rows(rng, n: int, count: int) -> list:
    """count rows with x - dx >= 21.2 for depth n: dx = 0, dx inside the
    window (1.25 + x) 0.0392 down to 1e-16, and larger dx."""
    a = log_uniform(rng, 21.2, cf_x_limit(n), count)
    kind = rng.integers(0, 10, count)
    rows = []
    for ai, k in zip(a, kind):
        if k == 0:
            dx = 0.0
        elif k <= 7:
            dx = math.exp(rng.uniform(math.log(1e-16), math.log(window_edge(ai))))
        else:
            dx = rng.uniform(0.0, ai)
        x = float(ai + dx)
        if Fraction(x) - Fraction(dx) >= Fraction("21.2"):
            rows.append((x, float(dx), n))
    return rows


def divdiff_cf_args(fmt: Format, rng, scale: float) -> list:
    rows = []
    for n in (2, 4, 6, 8):
        rows += cf_rows(rng, n, 800)
    for n in [0, 1, 3, 5, 7, *range(9, 31)]:
        rows += cf_rows(rng, n, 70)
    rows += [(0.5, 0.125, 11)] + [(50.0, 3.0, n) for n in range(21)]
    for n in (0, 1):
        x = rng.uniform(0.01, 5.0, 200)
        rows += [(float(v), float(rng.uniform(0.0, v)), n) for v in x]
    x = rng.uniform(0.01, 21.2, 400)
    rows += [(float(v), float(rng.uniform(0.0, v)), int(rng.integers(2, 31))) for v in x]
    return rows


FAR_DEPTHS = {0: 600, 1: 600, 2: 600, 3: 500, 4: 600, 8: 500, 30: 500, 200: 400,
              1000: 200, 10000: 100}


def far_step(rng, x: float) -> float:
    """A half step for x: zero, tiny against x, x/2, random, or close to x."""
    kind = rng.integers(0, 6)
    if kind == 0:
        return 0.0
    if kind == 1:
        return x * 2.0 ** -int(rng.integers(20, 1000))
    if kind == 2:
        return x / 2
    if kind == 3:
        return x * rng.uniform(0.0, 1.0)
    if kind == 4:
        return x - x * 2.0 ** -int(rng.integers(1, 53))
    return DOUBLE.step(x, -1)


def surely_outside_double(x: float, dx: float, n: int) -> bool:
    """For a = x - dx well above sqrt(n), K_m(t) = (1/t)(1 + O(n/t^2)), so the
    divided difference is 1/(a b) to within a factor close to 1: rows where
    that is ten decades below the smallest normal double are not evaluated."""
    a, b = x - dx, x + dx
    return a > 10 * math.sqrt(n + 1) and math.log10(a) + math.log10(b) > 318


def divdiff_cf_far_args(fmt: Format, rng, scale: float) -> list:
    rows = []
    for n, count in FAR_DEPTHS.items():
        for x in log_uniform(rng, 1.0, 1e300, count):
            dx = far_step(rng, float(x))
            if 0.0 <= dx < x and not surely_outside_double(float(x), dx, n):
                rows.append((float(x), float(dx), n))
    return rows


# ---------------------------------------------------------------------------
# Tables
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class Table:
    """One reference file: its rows' arguments, quantity and number format."""
    name: str
    title: str
    columns: tuple
    quantity: str
    make_args: Callable
    fmt: Format = DOUBLE
    scale: float = 1.0
    min_rows: int = 0
    check_quantity: str = None       # an independent method for verification

    @property
    def path(self) -> Path:
        return DATA_DIR / (self.name + ".txt")

    @property
    def checker(self) -> Quantity:
        return QUANTITIES[self.check_quantity or self.quantity]


FLOAT_NOTE = ("at arguments exactly representable as float32; rows whose value is not a "
              "finite normal float32 are left out")
DOUBLE_NOTE = "rows whose value is not a finite normal double are left out"

TABLES = [
    Table("millsratio", "Mills ratio R(x) of the standard normal distribution at double "
          "arguments; " + DOUBLE_NOTE, ("x",), "R", millsratio_args, min_rows=12000),
    Table("millsratio_d1", "-R'(x), minus the first derivative of the Mills ratio, at double "
          "arguments; " + DOUBLE_NOTE, ("x",), "d1", d1_args, min_rows=12000),
    Table("millsratio_d3", "-R'''(x), minus the third derivative of the Mills ratio, at double "
          "arguments; " + DOUBLE_NOTE, ("x",), "d3", d3_args, min_rows=12000),
    Table("millsratio_rel", "relative form (sqrt(pi/2) - R(x))/x of the Mills ratio on [0, 1] "
          "at double arguments", ("x",), "rel", rel_args, min_rows=10000),
    Table("millsratio_float", "Mills ratio R(x) " + FLOAT_NOTE, ("x",), "R", millsratio_args,
          SINGLE, 0.45, 5000),
    Table("millsratio_d1_float", "-R'(x) " + FLOAT_NOTE, ("x",), "d1", d1_args, SINGLE, 0.45,
          5000),
    Table("millsratio_d3_float", "-R'''(x) " + FLOAT_NOTE, ("x",), "d3", d3_args, SINGLE, 0.45,
          5000),
    Table("millsratio_rel_float", "relative form (sqrt(pi/2) - R(x))/x on [0, 1] at float32 "
          "arguments", ("x",), "rel", rel_args, SINGLE, 0.55, 5000),
    Table("divdiff", "symmetric divided difference (R(x - dx) - R(x + dx))/(2 dx) of the Mills "
          "ratio at double arguments", ("x", "dx"), "dd", divdiff_args, min_rows=15000),
    Table("reflected_sum", "reflected sum (R(dx - x) + R(x + dx))/(2 dx) of Mills ratios at "
          "double arguments; " + DOUBLE_NOTE, ("x", "dx"), "rs", reflected_sum_args,
          min_rows=3000),
    Table("divdiff_cf", "divided difference of the depth-n continued-fraction convergent of the "
          "Mills ratio at double arguments", ("x", "dx", "n"), "cf_exact", divdiff_cf_args,
          min_rows=5000, check_quantity="cf_backward"),
    Table("divdiff_cf_far", "divided difference of the depth-n continued-fraction convergent of "
          "the Mills ratio far out, x drawn up to 1e300 and depths up to 10000; " + DOUBLE_NOTE
          + " (beyond x ~ 3e161 none is)",
          ("x", "dx", "n"), "cf_backward", divdiff_cf_far_args, min_rows=2000),
]
TABLES_BY_NAME = {t.name: t for t in TABLES}


def table_rng(table: Table):
    """Each table draws from its own stream, so one table can be remade alone."""
    return np.random.default_rng([SEED, zlib.crc32(table.name.encode())])


def unique_args(args: list) -> list:
    """Arguments without repeats (-0.0 kept apart from 0.0), sorted."""
    seen = {tuple(repr(a) for a in row): row for row in args}
    return sorted(seen.values())


def evaluate_row(task: tuple):
    """Worker: the reference pair for one row, or None if the value is not a
    finite normal number of the table's format."""
    name, args = task
    table = TABLES_BY_NAME[name]
    value = reference(QUANTITIES[table.quantity], args)
    if not table.fmt.holds(value):
        return None
    pair = hi_lo(value)
    again = hi_lo(reference(table.checker, args, VERIFY_EXTRA_DIGITS))
    if again != pair:
        raise ArithmeticError("%s %r: %r at working precision, %r with %d more digits"
                              % (name, args, pair, again, VERIFY_EXTRA_DIGITS))
    return args, pair


def run_rows(pool, name: str, tasks: list) -> list:
    """Evaluate tasks in the pool, in order, reporting progress on stderr."""
    results, start, last = [], time.monotonic(), 0.0
    for i, result in enumerate(pool.imap(evaluate_row, tasks, chunksize=16), 1):
        results.append(result)
        now = time.monotonic() - start
        if now - last > 5 or i == len(tasks):
            last = now
            print("  %s: %d/%d rows evaluated, %.0f s" % (name, i, len(tasks), now),
                  file=sys.stderr, flush=True)
    return results


def header(table: Table, rows: list, seed_note: str) -> list:
    quantity = QUANTITIES[table.quantity]
    xs = [r[0][0] for r in rows]
    lines = [
        table.title,
        "function: " + quantity.formula,
        columns_text(table.columns),
        REF_TEXT,
        made_by("make_reference.py"),
        "working precision (decimal digits): " + quantity.precision
        + ("" if quantity.exact else LO_TEXT),
        "verification: every row recomputed %s; the pair did not change"
        % ("by the backward continued-fraction evaluation in mpmath at %d digits more than "
           "its rule" if table.check_quantity else "with %d more digits") % VERIFY_EXTRA_DIGITS,
        seed_note,
        "rows: %d, x from %r to %r" % (len(rows), min(xs), max(xs)),
    ]
    return lines


def make_table(pool, table: Table) -> None:
    start = time.monotonic()
    args = unique_args(table.make_args(table.fmt, table_rng(table), table.scale))
    tasks = [(table.name, a) for a in args]
    rows = [r for r in run_rows(pool, table.name, tasks) if r is not None]
    if len(rows) < table.min_rows:
        raise RuntimeError("%s: %d rows, fewer than %d" % (table.name, len(rows), table.min_rows))
    seed_note = ("seed: numpy.random.default_rng([%d, crc32(%r)])"
                 % (SEED, table.name))
    text = write_table(table.path, header(table, rows, seed_note), [format_row(a, p) for a, p in rows])
    print("%s: %d rows (%d skipped), %.0f kB, %.1f s" % (table.path.name, len(rows),
          len(args) - len(rows), len(text) / 1024, time.monotonic() - start), file=sys.stderr)


# ---------------------------------------------------------------------------
# Checking a table on disk
# ---------------------------------------------------------------------------

def row_args(table: Table, values) -> tuple:
    """A row's arguments as the generator made them: the depth n an integer, the rest doubles."""
    return tuple(int(v) if c == "n" else float(v) for c, v in zip(table.columns, values))


def check_task(task: tuple):
    """Worker: recompute one row with CHECK_EXTRA_DIGITS more digits."""
    name, args, pair = task
    again = hi_lo(reference(TABLES_BY_NAME[name].checker, args, CHECK_EXTRA_DIGITS))
    return None if again == pair else (args, pair, again)


def check_table(pool, table: Table, count: int, seed: int) -> bool:
    args, hi, lo = read_table(table.path.name, len(table.columns))
    picked = np.random.default_rng(seed).choice(hi.size, min(count, hi.size), replace=False)
    tasks = [(table.name, row_args(table, [a[i] for a in args]), (float(hi[i]), float(lo[i])))
             for i in sorted(picked)]
    failures = [f for f in pool.imap(check_task, tasks, chunksize=8) if f is not None]
    for args, pair, again in failures:
        print("MISMATCH %s %r: file %r, recomputed %r" % (table.name, args, pair, again),
              file=sys.stderr)
    print("%s: %d rows checked with %d more digits (seed %d), %d mismatches"
          % (table.path.name, len(tasks), CHECK_EXTRA_DIGITS, seed, len(failures)),
          file=sys.stderr)
    return not failures


# ---------------------------------------------------------------------------

def parse_command_line():
    names = [t.name for t in TABLES]
    parser = argparse.ArgumentParser(
        description="Write the reference tables of tests/data/ (exact values of the Mills "
                    "ratio and related quantities, computed with mpmath or exact rationals).")
    parser.add_argument("--only", choices=names, metavar="NAME",
                        help="remake only this table (one of: %s)" % ", ".join(names))
    parser.add_argument("--check", choices=names, metavar="NAME",
                        help="recompute a random subset of rows of this existing table at a "
                             "higher precision and fail if any ref_hi/ref_lo differs")
    parser.add_argument("--check-rows", type=int, default=300,
                        help="rows to recompute with --check (default 300)")
    parser.add_argument("--check-seed", type=int, default=None,
                        help="seed of the --check subset (default: a fresh random seed)")
    parser.add_argument("--jobs", type=int, default=MAX_JOBS, choices=range(1, MAX_JOBS + 1),
                        help="worker processes (default and maximum %d)" % MAX_JOBS)
    return parser.parse_args()


def main() -> int:
    options = parse_command_line()
    start = time.monotonic()
    with multiprocessing.Pool(options.jobs) as pool:
        if options.check:
            seed = options.check_seed
            if seed is None:
                seed = int(np.random.SeedSequence().entropy % 2**32)
            ok = check_table(pool, TABLES_BY_NAME[options.check], options.check_rows, seed)
            return 0 if ok else 1
        for table in TABLES:
            if options.only in (None, table.name):
                make_table(pool, table)
    print("done in %.1f s" % (time.monotonic() - start), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
