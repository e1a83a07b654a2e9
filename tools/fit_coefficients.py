#!/usr/bin/env python3
"""Fit the piecewise-polynomial tables of the Mills ratio and write them as a C++ header.

R(x) = N(-x)/n(x) is the Mills ratio of the standard normal distribution.  The
kernels evaluate three functions of it from constant tables of polynomial pieces:

  C_Rrel  Rrel(x) = (sqrt(pi/2) - R(x))/x         x in [0, 1]       z = 12 x
  C_R1    -R'(x) = 1 - x R(x)                     x in [1, 97/6)    z = 32 (x - 1)/(x + 2.5)
  C_R3    -R'''(x) = x^2 + 2 - x (x^2 + 3) R(x)   x in [0, 31.5)    z = 50 x/(x + 3.5)

A kernel maps x to z, takes row i = trunc(z) and evaluates that row's polynomial
in s = z - i by Horner's rule.  Row i of a table is the polynomial of degree w - 1
(w the row width) that interpolates the function at the w Chebyshev nodes of the
first kind on s in [0, 1], computed at 50 significant digits and rounded
coefficient by coefficient to the nearest double.

Before writing anything the generator checks that it reproduces the reference
rows below bit for bit, and that every row the kernels can reach stays within
2.5e-16 relative error of the true function.  With --check it writes nothing and
fails if the header on disk differs from the one it would write.
"""

import argparse
import difflib
import sys
import time
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import Callable

from mpmath import mp, mpf

from mp_reference import hi_lo, mills_d1, mills_d3, mills_rel, to_fraction

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = REPO_ROOT / "src" / "zelnor" / "_mills_coef.h"

# Working precision of the fit, in decimal digits.  Solving for the monomial
# coefficients at Chebyshev nodes loses a few digits to conditioning, Rrel loses a
# few more to the cancellation in sqrt(pi/2) - R(x) near x = 0, and each
# coefficient must be known well past 17 digits to round it to the right double.
# From about 40 digits upwards every coefficient of every table comes out the
# same (at 30 digits a few hundred still differ in their last bit); 50 leaves a
# margin.
WORK_DIGITS = 50

# The stored rows must stay within this relative error of the true function on
# every row a kernel can reach.
MAX_REL_ERROR = 2.5e-16

# Intervals of s in [0, 1] per row at which the stored rows are compared with the
# true function; sampling four or sixteen times denser moves the maxima only in
# their fourth digit.
ERROR_SAMPLES = 256


# --- Maps from the mapped coordinate back to x ------------------------------------

def rrel_x_of_z(z):
    """Inverse of z = 12 x."""
    return z / 12


def r1_x_of_z(z):
    """Inverse of z = 32 (x - 1)/(x + 2.5)."""
    return (32 + mpf(2.5) * z) / (32 - z)


def r3_x_of_z(z):
    """Inverse of z = 50 x/(x + 3.5)."""
    return mpf(3.5) * z / (50 - z)


def rrel_fit_x(i, s):
    """The x at which row i of C_Rrel is fitted, for local variable s.

    The row's interval ends a = i/12 and b = (i + 1)/12 are taken as doubles, as a
    double-precision evaluation of x = a + (b - a) s would hold them; the rest of
    the map is exact.  Rounding the ends shifts the nodes by less than 1e-17 in x,
    far below the fitting error, so the rows are as accurate as with the exact
    map x = (i + s)/12 (the error measurement below uses the exact map, the one
    the kernels apply).  The convention does fix the last bits of the high-order
    coefficients: under the exact map c6 and c7 move by tens of units in their
    last place (about 1e-25 in absolute terms), and the reference rows were made
    with the rounded ends.
    """
    a = mpf(i / 12)
    b = mpf((i + 1) / 12)
    return a + (b - a) * s


def exact_fit_x(x_of_z):
    """Row i fitted on x(z) with z = i + s in full working precision."""
    return lambda i, s: x_of_z(i + s)


# --- Table descriptions -----------------------------------------------------------

@dataclass(frozen=True)
class Table:
    name: str
    rows: int
    width: int
    func: Callable           # the function the table holds
    func_text: str           # the same, in words for the header
    x_of_z: Callable         # inverse of the kernels' mapped coordinate
    fit_x: Callable          # x(i, s) at which row i is fitted
    z_text: str              # the mapped coordinate, for the header
    reachable: int           # rows 0 .. reachable-1 are used by the kernels
    at_zero: str             # note on row 0's values at x = 0, for the header ("" if none)


TABLES = (
    Table("C_Rrel", 12, 8, mills_rel, "the relative form Rrel(x) = (sqrt(pi/2) - R(x))/x",
          rrel_x_of_z, rrel_fit_x, "z = 12 x", 12,
          "row 0 has c0 = 1 exactly, the limit Rrel(0)"),
    Table("C_R1", 26, 8, mills_d1, "-R'(x) = 1 - x R(x)",
          r1_x_of_z, exact_fit_x(r1_x_of_z), "z = 32 (x - 1)/(x + 2.5)", 24, ""),
    Table("C_R3", 45, 9, mills_d3, "-R'''(x) = x^2 + 2 - x (x^2 + 3) R(x)",
          r3_x_of_z, exact_fit_x(r3_x_of_z), "z = 50 x/(x + 3.5)", 42,
          "the fit itself gives row 0 c0 = 2 = -R'''(0) and c1 = -0.21 sqrt(pi/2), "
          "the slope -3 sqrt(pi/2) of -R''' times dx/dz = 0.07"),
)

# Reference rows, {table: {row: coefficients c0, c1, ...}}: all of C_Rrel, and the
# first row, the last rows the kernels reach and the last stored row of C_R1 and
# C_R3.  The fit must reproduce every one of these doubles bit for bit before
# anything is written.
REFERENCE_ROWS = {
    "C_Rrel": {
        0: (1.0, -0.05222142238813716, 0.002314814814632304, -9.066219018308359e-05,
            3.2150148093635393e-06, -1.049207214667232e-07, 3.1747412868461658e-09,
            -8.181832155743707e-11),
        1: (0.9500058434233228, -0.04785142539805684, 0.0020611150286913332,
            -7.879070439434305e-05, 2.7351696394277882e-06, -8.756884001248881e-08,
            2.6040490377601506e-09, -6.612821122656705e-11),
        2: (0.9041393924882832, -0.04395504945809056, 0.0018403159170131999,
            -6.86759456852932e-05, 2.33407244162705e-06, -7.331600232416762e-08,
            2.142751954008674e-09, -5.361815847158066e-11),
        3: (0.8619582458470937, -0.040471463270170725, 0.001647590369901791,
            -6.003183589238092e-05, 1.9977576684326855e-06, -6.157168601819215e-08,
            1.7686869030624921e-09, -4.361160602707492e-11),
        4: (0.8230762790219901, -0.03734868455895263, 0.0014788913058506813,
            -5.262267342622526e-05, 1.7149036061140052e-06, -5.1864346992849886e-08,
            1.464404082345293e-09, -3.558226982637687e-11),
        5: (0.7871555275635429, -0.03454216113748549, 0.0013308152825848647,
            -4.6253658706491024e-05, 1.4763029262718868e-06, -4.381624734045847e-08,
            1.2161205298368843e-09, -2.911944457342348e-11),
        6: (0.7538993617236158, -0.032013598325074694, 0.001200491591859211,
            -4.076330538660189e-05, 1.2744446141417648e-06, -3.712384505587928e-08,
            1.0129151506068687e-09, -2.3901605254302183e-11),
        7: (0.7230467299947964, -0.029729986988100948, 0.0010854917967352113,
            -3.601734293887541e-05, 1.1031827972270407e-06, -3.1542467834696725e-08,
            8.461075312198616e-10, -1.96762563556725e-11),
        8: (0.6943672899272524, -0.0276627954656827, 0.000983755718441569,
            -3.1903802382321565e-05, 9.57473592082586e-07, -2.68742973285529e-08,
            7.087770614462522e-10, -1.6244501366989223e-11),
        9: (0.6676572776694563, -0.025787295774111246, 0.0008935307004003329,
            -2.832904354394483e-05, 8.331653564502964e-07, -2.295891956347508e-08,
            5.953895087896636e-10, -1.3449189871286501e-11),
        10: (0.6427359943405786, -0.02408200015891944, 0.0008133216211253367,
             -2.5214533869796095e-05, 7.268310025742487e-07, -1.9665870750764083e-08,
             5.015061418983988e-10, -1.1165784642725488e-11),
        11: (0.6194428089243869, -0.02252818859274345, 0.0007418496349378746,
             -2.249422893909321e-05, 6.356335378143368e-07, -1.6888739426799828e-08,
             4.235564664619773e-10, -9.295303129514128e-12),
    },
    "C_R1": {
        0: (0.34432045758120156, -0.03405489990411223, 0.001192475013485524,
            -1.3635915460280841e-05, -1.3251365677088036e-07, 2.4578598186034305e-09,
            4.7259798016565235e-11, -2.1299291732726891e-13),
        22: (0.01271985704941791, -0.003155846255834055, 0.0002649210987800892,
             -9.321496586034821e-06, 1.7572542851795311e-07, -3.234043106873131e-10,
             -6.875556935207283e-11, 1.061797613056228e-12),
        23: (0.009819785730108346, -0.002653267668440114, 0.00023800671851479017,
             -8.62316683305915e-06, 1.7311425406524061e-07, -7.133843445508475e-10,
             -6.12853392609736e-11, 1.2480422998988533e-12),
        25: (0.005399035170233996, -0.0017992474166552762, 0.00019035152391663708,
             -7.275888307985233e-06, 1.626582865548259e-07, -1.3410511347824749e-09,
             -4.2913325720609484e-11, 1.409765189350702e-12),
    },
    "C_R3": {
        0: (2.0, -0.26319596883625507, 0.014336080623274922, -0.0003959952602827748,
            4.9514198856184626e-06, 4.228710181162853e-09, -6.27381397100515e-10,
            -1.2478958407475078e-12, 8.792260397509944e-14),
        41: (8.932778278723018e-05, -4.750286863181163e-05, 1.0452073793884978e-05,
             -1.2428336593835535e-06, 8.891769978275243e-08, -4.143719984494855e-09,
             1.347336671455385e-10, -2.976294539588219e-12, 3.5147617349765186e-14),
        44: (1.3618684871246934e-05, -1.0240158871515846e-05, 3.09855654748656e-06,
             -4.839562344425118e-07, 4.2339425714291866e-08, -2.227233852439785e-09,
             8.123610422588729e-11, -2.112980412160489e-12, 3.472000806969173e-14),
    },
}


class GenerationError(Exception):
    """A check failed; nothing has been written."""


def progress(message):
    print(message, file=sys.stderr, flush=True)


# --- Fitting ------------------------------------------------------------------------

def chebyshev_nodes(w):
    """The w Chebyshev nodes of the first kind mapped to [0, 1], ascending.

    s_j = (1 - cos((2j + 1) pi/(2w)))/2.  Interpolating there keeps the error close
    to that of the best polynomial of degree w - 1; the nodes lie strictly inside
    (0, 1), so no row is ever sampled at its ends (in particular not at x = 0,
    where Rrel is only a limit).
    """
    return [(1 - mp.cos((2 * j + 1) * mp.pi / (2 * w))) / 2 for j in range(w)]


def interpolate(values, nodes):
    """Monomial coefficients c0..c_{w-1} of the polynomial through (nodes, values).

    The Vandermonde system is small (w <= 9) and, at the working precision, its
    conditioning costs only a few of the 50 digits.
    """
    w = len(nodes)
    vandermonde = mp.matrix([[s ** k for k in range(w)] for s in nodes])
    c = mp.lu_solve(vandermonde, mp.matrix(values))
    return [c[k] for k in range(w)]


def nearest_double(v):
    """v rounded to the nearest binary64 value (ties to even)."""
    return hi_lo(to_fraction(v))[0]


def fit_row(table, i):
    """Row i of a table: the interpolant at the Chebyshev nodes, rounded to doubles."""
    nodes = chebyshev_nodes(table.width)
    values = [table.func(table.fit_x(i, s)) for s in nodes]
    return [nearest_double(c) for c in interpolate(values, nodes)]


def fit_table(table):
    """All rows of a table, with the exact value of C_Rrel at x = 0."""
    rows = [fit_row(table, i) for i in range(table.rows)]
    if table.name == "C_Rrel":
        # Rrel(0) = 1 is the value at x = 0; the fit gives it only to within an
        # ulp (0.9999999999999999), so it is set exactly.
        rows[0][0] = 1.0
    return rows


def check_reference_rows(table, rows):
    """Fail unless every reference coefficient is reproduced bit for bit; return their count."""
    count = 0
    for i, expected in REFERENCE_ROWS[table.name].items():
        for k, (want, got) in enumerate(zip(expected, rows[i])):
            if want.hex() != got.hex():
                raise GenerationError(
                    f"{table.name} row {i} column c{k}: fitted {got!r} ({got.hex()}), "
                    f"reference {want!r} ({want.hex()})")
            count += 1
    return count


# --- Accuracy of the stored rows ------------------------------------------------

def horner(coefficients, s):
    """The row polynomial of the stored doubles at s, in working precision."""
    p = mpf(coefficients[-1])
    for c in reversed(coefficients[:-1]):
        p = p * s + c
    return p


def row_error(table, i, coefficients):
    """Largest relative error of a stored row against the function on its interval.

    The row is sampled at ERROR_SAMPLES + 1 equally spaced s in [0, 1] through the
    kernels' own map, x = x(i + s).
    """
    worst = mpf(0)
    for k in range(ERROR_SAMPLES + 1):
        s = mpf(k) / ERROR_SAMPLES
        exact = table.func(table.x_of_z(i + s))
        worst = max(worst, abs(horner(coefficients, s) - exact) / abs(exact))
    return float(worst)


def table_errors(table, rows):
    """(max error over reachable rows, max over unreachable rows or None); fails above the bound."""
    errors = [row_error(table, i, row) for i, row in enumerate(rows)]
    for i in range(table.reachable):
        if errors[i] > MAX_REL_ERROR:
            raise GenerationError(
                f"{table.name} row {i}: max relative error {errors[i]:.3e} "
                f"exceeds {MAX_REL_ERROR:.1e}")
    unreachable = errors[table.reachable:]
    return max(errors[:table.reachable]), (max(unreachable) if unreachable else None)


# --- Header -------------------------------------------------------------------------

def fraction_text(q):
    return str(q.numerator) if q.denominator == 1 else f"{q.numerator}/{q.denominator}"


def row_start(table, i):
    """Exact x at which row i begins (z = i)."""
    if table.name == "C_Rrel":
        return Fraction(i, 12)
    if table.name == "C_R1":
        return (32 + Fraction(5, 2) * i) / (32 - i)
    return Fraction(7, 2) * i / (50 - i)


def interval_text(table, first, end):
    """The x covered by rows first .. end-1, as a half-open interval.

    The last C_Rrel row also serves x = 1 (the kernels cap the row index there),
    so that interval is closed.
    """
    lo, hi = row_start(table, first), row_start(table, end)
    close = "]" if table.name == "C_Rrel" and end == table.rows else ")"
    return f"x in [{fraction_text(lo)}, {fraction_text(hi)}{close}"


def table_range_text(table):
    return interval_text(table, 0, table.rows)


def row_interval_text(table, i):
    return interval_text(table, i, i + 1)


def error_text(errors):
    reachable, unreachable = errors
    text = f"{reachable:.1e} (reachable rows)"
    if unreachable is not None:
        text += f", {unreachable:.1e} (unreachable rows)"
    return text


def header_intro(errors):
    lines = [
        "// generated by tools/fit_coefficients.py; do not edit",
        "//",
        "// Piecewise polynomials for the Mills ratio R(x) = N(-x)/n(x) of the standard normal.",
        "// A kernel maps x to a coordinate z, takes row i = trunc(z) and evaluates the row's",
        "// polynomial in s = z - i by Horner's rule; the coefficient of s^k in row i is element",
        "// w*i + k of the table, w the row width.",
        "//",
    ]
    for table in TABLES:
        lines.append(f"//   {table.name + ':':7} {table.func_text}, {table_range_text(table)},")
        lines.append(f"//   {'':7} {table.z_text}, {table.rows} rows of width {table.width}.")
    lines += [
        "//",
        "// Row i interpolates the function at the w Chebyshev nodes of the first kind on",
        "// s in [0, 1], x = x(i + s); the fit is made at 50 significant digits and each",
        "// coefficient rounded to the nearest double.  Measured max relative error of the",
        "// stored rows against the true function:",
    ]
    for table in TABLES:
        lines.append(f"//   {table.name + ':':7} {error_text(errors[table.name])}")
    return lines


def table_comment(table):
    last = table.reachable - 1
    text = [f"// {table.name}: {table.func_text};",
            f"// {table_range_text(table)}, {table.z_text}, width {table.width} (degree {table.width - 1}).",
            f"// Rows 0 to {last} are reached by the kernels"]
    if table.reachable < table.rows:
        joiner = "and" if table.rows - table.reachable == 2 else "to"
        text[-1] += f"; rows {table.reachable} {joiner} {table.rows - 1} are stored but never reached."
    else:
        text[-1] += "."
    if table.at_zero:
        text.append(f"// At x = 0, {table.at_zero}.")
    return text


def table_lines(table, rows):
    lines = table_comment(table)
    lines.append(f"inline constexpr double {table.name}[{table.rows * table.width}] = {{")
    for i, row in enumerate(rows):
        values = ", ".join(repr(c) for c in row)
        lines.append(f"    {values},  // row {i}: {row_interval_text(table, i)}")
    lines.append("};")
    return lines


def render_header(fitted, errors):
    lines = header_intro(errors)
    lines += [
        "#ifndef ZELNOR_MILLS_COEF_H",
        "#define ZELNOR_MILLS_COEF_H",
        "",
        "// The tables have one definition shared by every translation unit and are exported by the shared",
        "// libraries (default visibility even when the build hides symbols).",
        "#pragma GCC visibility push(default)",
        "",
    ]
    for table in TABLES:
        lines += table_lines(table, fitted[table.name])
        lines.append("")
    lines += [
        "#pragma GCC visibility pop",
        "",
        "#endif",
    ]
    return "\n".join(lines) + "\n"


# --- Driver -------------------------------------------------------------------------

def generate():
    """Fit, check and measure every table; return the header text."""
    fitted, errors = {}, {}
    matched = 0
    with mp.workdps(WORK_DIGITS):
        for table in TABLES:
            start = time.monotonic()
            progress(f"fitting {table.name}: {table.rows} rows x {table.width}")
            rows = fit_table(table)
            matched += check_reference_rows(table, rows)
            errors[table.name] = table_errors(table, rows)
            fitted[table.name] = rows
            progress(f"  {table.name} done in {time.monotonic() - start:.1f} s")
    progress(f"all {matched} reference coefficients reproduced bit for bit")
    for table in TABLES:
        print(f"{table.name}: max relative error {error_text(errors[table.name])}")
    return render_header(fitted, errors)


def check_header(path, text):
    """Return 0 if the file at path holds exactly text, else print a diff summary and return 1."""
    try:
        current = path.read_text()
    except FileNotFoundError:
        progress(f"{path} does not exist")
        return 1
    if current == text:
        progress(f"{path} is up to date")
        return 0
    diff = list(difflib.unified_diff(current.splitlines(), text.splitlines(),
                                     str(path), "regenerated", lineterm="", n=0))
    body = diff[2:]  # past the two file-name lines
    removed = sum(1 for line in body if line.startswith("-"))
    added = sum(1 for line in body if line.startswith("+"))
    progress(f"{path} differs from the regenerated header (-{removed}/+{added} lines):")
    for line in diff[:40]:
        progress(line)
    if len(diff) > 40:
        progress(f"... ({len(diff) - 40} more diff lines)")
    return 1


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description="Fit the Mills-ratio coefficient tables and write them as a C++ header.")
    parser.add_argument("--check", action="store_true",
                        help="regenerate in memory and fail if the header on disk differs")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help=f"header to write or check (default: {DEFAULT_OUTPUT.relative_to(REPO_ROOT)})")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    try:
        text = generate()
    except GenerationError as error:
        progress(f"error: {error}")
        return 1
    if args.check:
        return check_header(args.output, text)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(text)
    progress(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
