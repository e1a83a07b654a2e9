#!/usr/bin/env python3
"""Measure the accuracy of zelnor's Python functions and of the SciPy routes a user would write
instead, against mpmath, and write docs/accuracy.md (a table) and docs/accuracy.png (error
against the argument, one panel per function).

Every function is evaluated at --points arguments (100000 by default) drawn from a fixed seed and
spread over all its regimes: log-spaced far tails, negative arguments down to where the value
overflows, the piece tables, and for the divided differences steps from 1e-16 to beyond the
series window. Besides these, every regime threshold and every row boundary of the piece tables
gets a dense neighbourhood (the doubles a few steps on either side, and random points within a
relative 1e-3), and every row of a piece table a uniform sample of its own, so that a maximum in a
narrow window cannot hide between the random points. The exact values come from the mpmath functions of tools/make_reference.py, at
its base precision plus the digits the formula loses to cancellation at each argument, so the
reference is exact to well below a unit in the last place even where the SciPy route loses
everything.
Rows whose exact value is not a finite normal double are left out.

The error of a computed value c against the exact value v = hi + lo (hi the nearest double) is
|((c - hi) - lo)/hi|, relative; a NaN or an infinity where v is finite counts as an infinite
error. The run fails (exit status 1) if zelnor exceeds a bound the package promises.
"""

import argparse
import hashlib
import math
import multiprocessing
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import mpmath
import numpy as np
import scipy

import make_reference as mr
import mp_reference
import scipy_routes as sr
import zelnor
from zelnor import divdiff, mills

# mpmath's erfc slows down by two orders of magnitude for arguments beyond about 1e60. The
# enveloping series that mp_reference.mills_ratio uses past its own limit converges, at the precisions
# needed here, within a few terms from x = 1e20 on (its terms fall like 1/x^2 and its smallest term,
# about exp(-x^2/2), lies far below any working precision), so the exact values take it from there.
mp_reference.ERFC_LIMIT = 1e20

ROOT = Path(__file__).resolve().parent.parent
MAX_JOBS = 2
CHUNK = 500
CF_DEPTH = 4              # the default n_terms of millsratio_dd_cf
EPS = 2.0 ** -52


# ---------------------------------------------------------------------------
# Arguments
# ---------------------------------------------------------------------------

def overflow_edge(log_factor):
    """The negative x below which sqrt(2 pi) f(|x|) exp(x^2/2) exceeds the largest double, where
    log_factor(y) = ln f(y): the value of R (f = 1), -R' (f = y) and -R''' (f = y^3 + 3y) for
    x < 0 is dominated by that term. Found by a few fixed-point steps from the reflection
    cut-off."""
    y = -mr.DOUBLE.reflection_cutoff
    for _ in range(8):
        y = math.sqrt(2 * (math.log(sys.float_info.max) - 0.5 * math.log(2 * math.pi)
                           - log_factor(y)))
    return -y * (1 - 1e-12)


R_EDGE = overflow_edge(lambda y: 0.0)
D1_EDGE = overflow_edge(math.log)
D3_EDGE = overflow_edge(lambda y: math.log(y ** 3 + 3 * y))


def draw(rng, count, pieces):
    """count values from a mixture: pieces of (weight, kind, lo, hi), kind 'lin' for uniform on
    [lo, hi], 'log' for log-uniform on [lo, hi] (0 < lo < hi), '-log' for minus that."""
    weights = np.array([p[0] for p in pieces], dtype=float)
    which = rng.choice(len(pieces), size=count, p=weights / weights.sum())
    out = np.empty(count)
    for k, (_, kind, lo, hi) in enumerate(pieces):
        sel = which == k
        if kind == "lin":
            out[sel] = rng.uniform(lo, hi, sel.sum())
        else:
            values = np.exp(rng.uniform(math.log(lo), math.log(hi), sel.sum()))
            out[sel] = values if kind == "log" else -values
    return out


NEIGHBOUR_STEPS = (0, 1, 2, 3, 8, 64, -1, -2, -3, -8, -64)
PER_ROW = 1000            # uniform points in each row of a piece table


def near(rng, points, spread=1e-3, random_count=20):
    """Dense neighbourhoods of the given points: the doubles NEIGHBOUR_STEPS steps away, and
    random_count points log-spread within a relative `spread` on either side."""
    out = []
    for p in points:
        p = float(p)
        for k in NEIGHBOUR_STEPS:
            out.append(p + k * math.ulp(p) if p != 0 else k * 5e-324)
        offsets = np.exp(rng.uniform(math.log(1e-15), math.log(spread), random_count))
        out.extend(p * (1 + offsets * rng.choice([-1.0, 1.0], random_count)))
    return np.array(out)


def across_rows(rng, starts):
    """PER_ROW uniform points in each row [starts[i], starts[i + 1]) of a piece table."""
    starts = [float(t) for t in starts]
    return np.concatenate([rng.uniform(lo, hi, PER_ROW) for lo, hi in zip(starts, starts[1:])])


def whole_line(lower, upper, bounds, rows):
    """For R, -R', -R''': negative arguments down to `lower` (uniform, and log-spaced towards 0),
    the piece tables on [0, 25] and the continued-fraction tail log-spaced up to `upper`; dense
    around the thresholds `bounds` and the row starts `rows` (and their negatives, where the
    reflection evaluates the function), and across every row."""
    def make(rng, count):
        points = [float(t) for t in bounds + rows]
        dense = near(rng, points)
        dense = np.concatenate([dense, -dense, across_rows(rng, rows), near(rng, [lower, upper])])
        dense = dense[(dense >= lower) & (dense <= upper)]
        return (np.concatenate([draw(rng, count, [(0.15, "lin", lower, 0.0), (0.05, "-log", 1e-8, 1.0),
                                                  (0.05, "log", 1e-8, 1.0), (0.15, "lin", 0.0, 1.0),
                                                  (0.25, "lin", 1.0, 25.0), (0.35, "log", 1.0, upper)]),
                                dense]),)
    return make


REL_ROWS = [float(t) for t in mr.REL_ROW_STARTS]
R_ROWS = [t for t in mr.R1_ROW_STARTS if t > 1]
# -R''' leaves its tail guard on u = x^2 + 3 here; beyond, its value falls through the subnormals.
D3_TAIL_GUARD = math.sqrt(math.sqrt(sys.float_info.max))


def rel_args(rng, count):
    """(0, 1]: uniform, and log-spaced down to 1e-30 where sqrt(pi/2) - R(x) ~ x; dense at and
    across its rows."""
    dense = np.concatenate([near(rng, REL_ROWS[1:]), across_rows(rng, REL_ROWS)])
    return (np.concatenate([draw(rng, count, [(0.5, "lin", 0.0, 1.0), (0.5, "log", 1e-30, 1.0)]),
                            dense[(dense > 0) & (dense <= 1)]]),)


def window(x):
    """Half-steps below this use the series regimes of the divided difference."""
    return (1.25 + x) * 0.0392


CF_BOUNDS = (21.2, 41.0, 165.0, 12800.0)   # depths 8, 6, 4, 2 of the difference from x - dx on


def dd_boundaries(rng):
    """Dense around the thresholds of the difference branch: x = -1.25 (where the window closes,
    the reflected difference taking every step below it) and from the left of 0 (where it takes the
    steps beyond the window) with steps from 0 and 1e-16 to 1, the seed switch x = 17.1 and the depth
    bounds of x - dx inside the window, each with steps log-spread over the window."""
    x_turn = np.concatenate([near(rng, [-1.25]), -draw(rng, 200, [(1.0, "log", 1e-300, 1.0)])])
    dx_turn = np.where(rng.uniform(size=x_turn.size) < 0.1, 0.0,
                       draw(rng, x_turn.size, [(1.0, "log", 1e-16, 1.0)]))
    a = near(rng, CF_BOUNDS + (17.1,), spread=1e-6)
    dx_in = window(a) * draw(rng, a.size, [(1.0, "log", 1e-10, 0.9)])
    dx_in[::5] = 0.0
    return np.concatenate([x_turn, a + dx_in]), np.concatenate([dx_turn, dx_in])


def dd_args(rng, count):
    """Divided differences: -1 <= x <= 60 with steps log-spaced from 1e-16 to 30 and steps around
    the series window; the far tail up to 1e6 with steps from 1e-16 x to 0.9 x; -37 <= x < -1 with
    steps from 0 and 1e-16 up to where x - dx reaches the overflow point; dense around every
    threshold."""
    main, edge, tail = int(0.55 * count), int(0.15 * count), int(0.15 * count)
    neg = count - main - edge - tail
    x_main = draw(rng, main, [(0.5, "lin", -1.0, 2.0), (0.5, "lin", -1.0, 60.0)])
    dx_main = draw(rng, main, [(1.0, "log", 1e-16, 30.0)])
    x_edge = rng.uniform(-1.0, 60.0, edge)
    dx_edge = window(x_edge) * rng.uniform(0.5, 2.0, edge)
    x_tail = draw(rng, tail, [(1.0, "log", 60.0, 1e6)])
    dx_tail = x_tail * draw(rng, tail, [(1.0, "log", 1e-16, 0.9)])
    x_neg = rng.uniform(-37.0, -1.0, neg)
    dx_neg = draw(rng, neg, [(1.0, "log", 1e-16, 1.0)]) * np.minimum(30.0, x_neg - R_EDGE)
    dx_neg[::50] = 0.0
    x_bound, dx_bound = dd_boundaries(rng)
    return (np.concatenate([x_main, x_edge, x_tail, x_neg, x_bound]),
            np.concatenate([dx_main, dx_edge, dx_tail, dx_neg, dx_bound]))


RS_EDGE = -36.5


def rs_args(rng, count):
    """Reflected sum: half-steps log-spaced from 1e-10 to 30, -20 <= x <= 60 with dx - x >= -36.5,
    so that R(dx - x) < 3e289 and the sum divided by 2 dx stays finite."""
    dx = draw(rng, count, [(1.0, "log", 1e-10, 30.0)])
    return rng.uniform(-20.0, np.minimum(60.0, dx - RS_EDGE)), dx


def cf_args(rng, count):
    """Continued-fraction divided difference: x - dx log-spaced on [21.2, 1e15] (where
    millsratio_dd uses it) with dx from 1e-16 to 1 times x - dx, and small arguments 0 < x <= 21.2
    with 0 <= dx < x, where the recurrence meets mixed signs."""
    deep = int(0.9 * count)
    a = draw(rng, deep, [(1.0, "log", 21.2, 1e15)])
    dx_deep = a * draw(rng, deep, [(1.0, "log", 1e-16, 1.0)])
    x_small = rng.uniform(0.01, 21.2, count - deep)
    dx_small = x_small * rng.uniform(0.0, 1.0, count - deep)
    return np.concatenate([a + dx_deep, x_small]), np.concatenate([dx_deep, dx_small])


# ---------------------------------------------------------------------------
# What is measured
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class Range:
    """A row of the table: the arguments selected by `select`, and the bound zelnor must meet;
    with `unit`, the errors of this row are given in units of unit(*args) instead."""
    label: str
    select: Callable
    bound: float = None
    unit: Callable = None


@dataclass(frozen=True)
class Panel:
    """One panel of the figure: error against argument `index` for the arguments `select`."""
    index: int
    label: str
    scale: str
    select: Callable
    note: str = ""


@dataclass(frozen=True)
class Case:
    name: str                  # as shown in the table
    quantity: str              # key of make_reference.QUANTITIES
    make_args: Callable        # (rng, count) -> tuple of float64 arrays
    zelnor: Callable           # the argument arrays -> values
    route: Callable            # the same through the SciPy route
    route_label: str
    ranges: tuple
    plot: tuple = None         # Panels; by default x > 0 on a log scale beside x < 0
    constants: tuple = ()      # integer arguments appended to every row of the reference
    route_name: str = "SciPy route"

    def reference_rows(self, args):
        return [tuple(float(a[i]) for a in args) + self.constants for i in range(args[0].size)]


def everywhere(*args):
    return np.ones(args[0].shape, dtype=bool)


def x_at_least_0(x, *rest):
    return x >= 0


def x_up_to_10(x, *rest):
    return (x >= 0) & (x <= 10)


def x_above_10(x, *rest):
    return x > 10


def x_below_0(x, *rest):
    return x < 0


def whole_line_ranges(edge, top, bound):
    """x >= 0 with the bound zelnor promises, split at 10 where the cancelling routes start to
    lose digits fast, and x < 0 down to where the value overflows."""
    top = ("%.0e" % top).replace("e+", "e")
    return (Range("0 <= x <= " + top, x_at_least_0, bound),
            Range("0 <= x <= 10", x_up_to_10),
            Range("10 < x <= " + top, x_above_10),
            Range("%.2f <= x < 0" % edge, x_below_0))


def dd_main(x, dx):
    """-1 <= x <= 60 with both points x -+ dx >= -1: beyond, the reflected R(x - dx) carries the
    conditioning of exp((x - dx)^2/2), as R does for negative arguments."""
    return (x >= -1) & (x <= 60) & (x - dx >= -1)


def dd_reflected(x, dx):
    return (x >= -1) & (x <= 60) & (x - dx < -1)


def dd_below_turn(x, dx):
    return x <= -1.25


def reflected_difference_unit(x, dx):
    """The conditioning of exp((x^2 + dx^2)/2) in the reflected difference, in eps."""
    return EPS * ((x * x + dx * dx) / 2 + 2)


CASES = [
    Case("millsratio", "R", whole_line(R_EDGE, 1e300, mr.R_BOUNDS, REL_ROWS + R_ROWS),
         mills.millsratio, sr.millsratio,
         "`R = sqrt(pi/2)*erfcx(x/sqrt(2))`", whole_line_ranges(R_EDGE, 1e300, 4.5e-16)),
    Case("millsratio_d1", "d1", whole_line(D1_EDGE, 1e150, mr.D1_BOUNDS, REL_ROWS + R_ROWS),
         mills.millsratio_d1, sr.millsratio_d1,
         "`1 - x*R`", whole_line_ranges(D1_EDGE, 1e150, 9e-16)),
    Case("millsratio_d3", "d3",
         whole_line(D3_EDGE, 1.2e77, mr.D3_BOUNDS + [D3_TAIL_GUARD],
                    [float(t) for t in mr.R3_ROW_STARTS]),
         mills.millsratio_d3, sr.millsratio_d3,
         "`x**2 + 2 - x*(x**2 + 3)*R`", whole_line_ranges(D3_EDGE, 1.2e77, 8e-16)),
    Case("millsratio_rel_below1", "rel", rel_args, mills.millsratio_rel_below1,
         sr.millsratio_rel_below1, "`(sqrt(pi/2) - R)/x`",
         (Range("1e-30 <= x <= 1", everywhere),),
         plot=(Panel(0, "x", "log", everywhere),)),
    Case("millsratio_dd", "dd", dd_args, divdiff.millsratio_dd, sr.millsratio_dd,
         "`(R(x - dx) - R(x + dx))/(2*dx)`",
         (Range("-1 <= x <= 60, 1e-16 <= dx, x - dx >= -1", dd_main, 1.5e-14),
          Range("the same, dx <= 1e-8", lambda x, dx: dd_main(x, dx) & (dx <= 1e-8)),
          Range("the same, dx within a factor 2 of the series window",
                lambda x, dx: dd_main(x, dx) & (dx >= 0.5 * window(x)) & (dx <= 2 * window(x))),
          Range("-1 <= x <= 60, dx <= 30, -31 <= x - dx < -1", dd_reflected),
          Range("60 < x <= 1e6, 1e-16 x <= dx <= 0.9 x", lambda x, dx: x > 60),
          Range("-1.25 < x < -0.5, 0 <= dx, x - dx above the overflow point; in units of "
                "eps ((x^2 + dx^2)/2 + 2)", lambda x, dx: (x > -1.25) & (x < -0.5), 4.0,
                reflected_difference_unit),
          Range("-0.5 <= x < 0, the same; in units of eps ((x^2 + dx^2)/2 + 2)",
                lambda x, dx: (x >= -0.5) & (x < 0), None, reflected_difference_unit),
          Range("-37 <= x <= -1.25, 0 <= dx <= 30, x - dx above the overflow point; "
                "in units of eps ((x^2 + dx^2)/2 + 2)", dd_below_turn, 4.0,
                reflected_difference_unit)),
         plot=(Panel(0, "x", "symlog", everywhere), Panel(1, "dx", "log", lambda x, dx: dx > 0))),
    Case("millsratio_dd(theta=-1)", "rs", rs_args,
         lambda x, dx: divdiff.millsratio_dd(x, dx, -1), sr.reflected_sum,
         "`(R(dx - x) + R(x + dx))/(2*dx)`",
         (Range("-20 <= x <= 60, 1e-10 <= dx <= 30, dx - x >= %g" % RS_EDGE, everywhere),),
         plot=(Panel(0, "x", "symlog", everywhere),)),
    Case("millsratio_dd_cf", "cf_backward", cf_args,
         lambda x, dx: divdiff.millsratio_dd_cf(x, dx, CF_DEPTH),
         lambda x, dx: sr.convergent_dd(x, dx, CF_DEPTH),
         "NumPy, not SciPy: `(K(x - dx) - K(x + dx))/(2*dx)`, K the same convergent",
         (Range("21.2 <= x - dx <= 1e15, 1e-16 <= dx/(x - dx) <= 1",
                lambda x, dx: x - dx >= 21.2),
          Range("0 < x <= 21.2, 0 <= dx < x", lambda x, dx: x - dx < 21.2)),
         plot=(Panel(1, "dx", "log", everywhere),), constants=(CF_DEPTH,),
         route_name="naive difference of convergents"),
]


# ---------------------------------------------------------------------------
# Exact values
# ---------------------------------------------------------------------------

def reference_chunk(task):
    """Worker: (hi, lo) of the exact value for each row, NaN where it is not a finite normal
    double."""
    quantity, rows = task
    q = mr.QUANTITIES[quantity]
    out = np.full((len(rows), 2), np.nan)
    for i, row in enumerate(rows):
        value = mr.reference(q, row)
        if mr.DOUBLE.holds(value):
            out[i] = mr.hi_lo(value)
    return out


def cache_path(cache_dir, case, args):
    digest = hashlib.sha256()
    for a in args:
        digest.update(np.ascontiguousarray(a).tobytes())
    key = (case.quantity, case.constants, mr.BASE_DIGITS, mpmath.__version__)
    digest.update(repr(key).encode())
    return Path(cache_dir) / ("%s-%s.npy" % (case.quantity, digest.hexdigest()[:16]))


def references(pool, case, args, cache_dir):
    """The exact values as an (n, 2) array of hi, lo, computed in the pool with progress."""
    path = cache_path(cache_dir, case, args) if cache_dir else None
    if path is not None and path.exists():
        print("  %s: exact values read from %s" % (case.name, path), file=sys.stderr)
        return np.load(path)
    rows = case.reference_rows(args)
    tasks = [(case.quantity, rows[i:i + CHUNK]) for i in range(0, len(rows), CHUNK)]
    parts, start, last, done = [], time.monotonic(), 0.0, 0
    for part in pool.imap(reference_chunk, tasks):
        parts.append(part)
        done += len(part)
        now = time.monotonic() - start
        if now - last > 5 or done == len(rows):
            last = now
            print("  %s: %d/%d exact values, %.0f s, about %.0f s left"
                  % (case.name, done, len(rows), now, now / done * (len(rows) - done)),
                  file=sys.stderr, flush=True)
    result = np.concatenate(parts)
    if path is not None:
        path.parent.mkdir(parents=True, exist_ok=True)
        np.save(path, result)
    return result


def relative_error(values, hi, lo):
    with np.errstate(all="ignore"):
        err = np.abs(((values - hi) - lo) / hi)
    return np.where(np.isnan(err), np.inf, err)


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------

@dataclass
class Result:
    case: Case
    args: tuple
    zelnor_err: np.ndarray
    route_err: np.ndarray
    rows: list = field(default_factory=list)   # (range, count, zelnor max, p99.9, route max, p99.9)
    failures: list = field(default_factory=list)


def summarise(result):
    for rng in result.case.ranges:
        sel = rng.select(*result.args)
        if not sel.any():
            raise RuntimeError("%s: no argument in %s" % (result.case.name, rng.label))
        stats = [sel.sum()]
        unit = rng.unit(*(a[sel] for a in result.args)) if rng.unit else 1.0
        for err in (result.zelnor_err[sel] / unit, result.route_err[sel] / unit):
            stats += [err.max(), np.percentile(err, 99.9, method="higher")]
        result.rows.append((rng, *stats))
        if rng.bound is not None and stats[1] > rng.bound:
            k = np.flatnonzero(sel)[np.argmax(result.zelnor_err[sel] / unit)]
            result.failures.append("%s on %s: max error %.3g > %.3g at %s"
                                   % (result.case.name, rng.label, stats[1], rng.bound,
                                      ", ".join(repr(float(a[k])) for a in result.args)))


def fmt(err):
    if not np.isfinite(err):
        return "inf"
    if err == 0:
        return "0"
    return "%.2g" % err


def markdown_table(results):
    lines = ["| function | arguments | points | zelnor max | zelnor 99.9% | SciPy route "
             "| route max | route 99.9% |",
             "|---|---|---:|---:|---:|---|---:|---:|"]
    for res in results:
        for i, (rng, count, zmax, zp, rmax, rp) in enumerate(res.rows):
            name = "`%s`" % res.case.name if i == 0 else ""
            route = res.case.route_label if i == 0 else ""
            bound = " (bound %.2g)" % rng.bound if rng.bound is not None else ""
            lines.append("| %s | %s%s | %d | %s | %s | %s | %s | %s |"
                         % (name, rng.label, bound, count, fmt(zmax), fmt(zp), route, fmt(rmax),
                            fmt(rp)))
    return lines


def write_markdown(path, results, options):
    text = [
        "# Accuracy",
        "",
        "Relative error |computed - exact|/|exact| of zelnor and of the SciPy route a user would "
        "write instead, at %d arguments per function (seed %d) spread over every regime. "
        "Exact values: mpmath at %d digits plus the digits each formula loses to cancellation "
        "at that argument. One unit in the last place of a double is 1.1e-16 to 2.2e-16 relative. "
        "A NaN or infinity where the exact value is a finite normal double, or an error beyond "
        "the double range, shows as inf; rows whose exact value is not a finite normal double "
        "are left out. "
        "`R` in the routes stands for `sqrt(pi/2)*erfcx(x/sqrt(2))` with SciPy's `erfcx`; every "
        "route is evaluated in float64 with NumPy." % (options.points, options.seed,
                                                      mr.BASE_DIGITS),
        "",
        *markdown_table(results),
        "",
        "For x < 0 both zelnor and the SciPy route are limited by the conditioning of "
        "exp(x^2/2), about (x^2/2 + 2) eps; the same holds for the divided differences whose "
        "point x - dx lies below -1. For x <= -1.25, and for x < 0 beyond the series window, "
        "`millsratio_dd` sums two positive terms from the reflection of R, where the route's "
        "difference cancels; its errors for x < -1 are given in units of that conditioning, "
        "eps ((x^2 + dx^2)/2 + 2). `millsratio_dd_cf` "
        "computes the divided difference of the depth-%d continued-fraction convergent K of R; "
        "its reference is that quantity in "
        "mpmath, and its baseline forms the same convergent in float64 and subtracts." % CF_DEPTH,
        "",
        "![Relative error against the argument, zelnor and the SciPy route](accuracy.png)",
        "",
        "Made by `python tools/accuracy_report.py` with zelnor %s, NumPy %s, SciPy %s, "
        "mpmath %s." % (zelnor.__version__, np.__version__, scipy.__version__,
                        mpmath.__version__),
    ]
    path.write_text("\n".join(text) + "\n")


FLOOR = 1e-19        # exact results are drawn here on the log scale
CEILING = 1e3        # larger errors, infinities included, are drawn here


def write_plot(path, results, seed):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    whole_line = (Panel(0, "x", "log", lambda x, *rest: x > 0, ", x > 0"),
                  Panel(0, "x", "linear", lambda x, *rest: x < 0, ", x < 0"))
    panels = [(res, panel) for res in results for panel in res.case.plot or whole_line]
    cols = 3
    rows = (len(panels) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(15, 3.4 * rows), squeeze=False)
    axes = axes.ravel()
    pick = np.random.default_rng(seed)
    for ax, (res, panel) in zip(axes, panels):
        chosen = np.flatnonzero(panel.select(*res.args))
        shown = pick.permutation(chosen)[:25000]
        arg = res.args[panel.index][shown]
        for err, name, colour in ((res.route_err, res.case.route_name, "tab:orange"),
                                  (res.zelnor_err, "zelnor", "tab:blue")):
            ax.scatter(arg, np.clip(err[shown], FLOOR, CEILING), s=1, lw=0, alpha=0.5,
                       color=colour, label=name, rasterized=True)
        ax.axhline(EPS, color="grey", lw=0.7, ls="--")
        ax.set_yscale("log")
        ax.set_ylim(FLOOR / 3, CEILING * 3)
        if panel.scale == "symlog":
            ax.set_xscale("symlog", linthresh=1.0)
            ax.set_xticks([-10.0 ** k for k in range(int(np.log10(-arg.min())), -1, -1)] + [0.0]
                          + [10.0 ** k for k in range(0, int(np.log10(arg.max())) + 1)])
            ax.set_xlim(arg.min() * 1.2, arg.max() * 1.2)
        else:
            ax.set_xscale(panel.scale)
        if panel.scale == "log":
            # matplotlib's own ticks overflow on a range of hundreds of decades: at most eight
            # decades are marked, all inside the range
            first, last = np.log10(arg.min()), np.log10(arg.max())
            step = max(1, math.ceil((last - first) / 8))
            ax.set_xticks(10.0 ** np.arange(math.ceil(first), math.floor(last) + 1, step))
            ax.set_xlim(arg.min(), arg.max())
        ax.set_xlabel(panel.label)
        ax.set_ylabel("relative error")
        ax.set_title("%s against %s%s" % (res.case.name, panel.label, panel.note), fontsize=10)
        ax.legend(loc="upper left", markerscale=8, fontsize=8)
    for ax in axes[len(panels):]:
        ax.set_visible(False)
    fig.suptitle("Relative error against mpmath (dashed: 2^-52; exact results drawn at 1e-19, "
                 "errors above 1e3 and NaN at 1e3)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


# ---------------------------------------------------------------------------

def parse_command_line():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=100000,
                        help="arguments per function (default 100000)")
    parser.add_argument("--seed", type=int, default=20240611, help="seed of the arguments")
    parser.add_argument("--jobs", type=int, default=MAX_JOBS, choices=range(1, MAX_JOBS + 1),
                        help="worker processes for mpmath (default and maximum %d)" % MAX_JOBS)
    parser.add_argument("--out-dir", type=Path, default=ROOT / "docs",
                        help="where accuracy.md and accuracy.png go (default docs/)")
    parser.add_argument("--cache", metavar="DIR",
                        help="keep the exact values in DIR (for instance under /tmp) and reuse "
                             "them when the same arguments come again")
    parser.add_argument("--only", choices=[c.name for c in CASES], action="append",
                        help="measure only this function (repeatable); for a quick look")
    return parser.parse_args()


REFINE_SEEDS = 16        # worst arguments of each table row, searched around in a second pass
REFINE_POINTS = 300      # points around each


def with_exact_values(pool, case, args, cache_dir):
    """The arguments whose exact value is a finite normal double, with its hi and lo."""
    ref = references(pool, case, args, cache_dir)
    keep = ~np.isnan(ref[:, 0])
    return tuple(a[keep] for a in args), ref[keep, 0], ref[keep, 1]


def around_worst(rng, case, args, err):
    """Second pass: REFINE_POINTS arguments within a relative 1e-15 to 1e-3 of each of the
    REFINE_SEEDS worst arguments of each range (a maximum in a narrow window is seldom hit by
    the first pass itself, but its neighbourhood shows larger errors than elsewhere)."""
    seeds = set()
    for rng_ in case.ranges:
        idx = np.flatnonzero(rng_.select(*args))
        seeds.update(idx[np.argsort(err[idx])[-REFINE_SEEDS:]].tolist())
    seeds = np.array(sorted(seeds), dtype=int)
    out = []
    for a in args:
        base = np.repeat(a[seeds], REFINE_POINTS)
        jitter = np.exp(rng.uniform(math.log(1e-15), math.log(1e-3), base.size))
        out.append(base * (1 + jitter * rng.choice([-1.0, 1.0], base.size)))
    return tuple(out)


def main():
    options = parse_command_line()
    start = time.monotonic()
    cases = [c for c in CASES if not options.only or c.name in options.only]
    results = []
    with multiprocessing.Pool(options.jobs) as pool:
        for case in cases:
            rng = np.random.default_rng([options.seed, CASES.index(case)])
            args, hi, lo = with_exact_values(pool, case, case.make_args(rng, options.points),
                                             options.cache)
            with np.errstate(all="ignore"):
                first = relative_error(case.zelnor(*args), hi, lo)
            more, more_hi, more_lo = with_exact_values(pool, case, around_worst(rng, case, args, first),
                                                       options.cache)
            args = tuple(np.concatenate(pair) for pair in zip(args, more))
            hi, lo = np.concatenate([hi, more_hi]), np.concatenate([lo, more_lo])
            with np.errstate(all="ignore"):
                result = Result(case, args, relative_error(case.zelnor(*args), hi, lo),
                                relative_error(case.route(*args), hi, lo))
            summarise(result)
            results.append(result)
    options.out_dir.mkdir(parents=True, exist_ok=True)
    for line in markdown_table(results):
        print(line)
    write_markdown(options.out_dir / "accuracy.md", results, options)
    with np.errstate(over="ignore"):   # matplotlib's log scales meet ranges of 300 decades
        write_plot(options.out_dir / "accuracy.png", results, options.seed)
    print("wrote %s and %s in %.0f s" % (options.out_dir / "accuracy.md",
                                         options.out_dir / "accuracy.png",
                                         time.monotonic() - start), file=sys.stderr)
    failures = [f for r in results for f in r.failures]
    for f in failures:
        print("FAIL " + f, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
