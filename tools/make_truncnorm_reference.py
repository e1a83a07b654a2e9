#!/usr/bin/env python3
"""Write the truncated-normal reference tables tests/data/truncnorm_*.txt from mpmath.

Five tables over the same cases: truncnorm_logmass, truncnorm_mean and truncnorm_var with columns
a b ref_hi ref_lo, truncnorm_cdf and truncnorm_sf with columns x a b ref_hi ref_lo. The exact value
is ref_hi + ref_lo (nearest double, nearest double to the rest); tools/truncnorm_mp.py says how it is
computed and verified. The cases are random intervals of the acceptance set (fixed seed) and chosen
ones: the switches between the kernel's regimes, one-sided intervals and the whole line, and the
places where the textbook formulas fail (far in a tail, narrow, tiny across zero).

`--check` recomputes a random subset of the committed rows with more digits and exits non-zero if
any value changed.
"""
import argparse
import math
import sys
import time
import numpy as np

import truncnorm_mp
from mp_reference import DATA_DIR, REF_TEXT, columns_text, format_row, made_by, read_table, write_table

SEED = 20240917
CHECK_EXTRA_DIGITS = 40

MOMENT_TABLES = {
    "logmass": "log(N(b) - N(a))",
    "mean": "(n(a) - n(b))/(N(b) - N(a))",
    "var": "1 + (a n(a) - b n(b))/(N(b) - N(a)) - mean^2",
}
POINT_TABLES = {
    "cdf": "(N(x) - N(a))/(N(b) - N(a))",
    "sf": "(N(b) - N(x))/(N(b) - N(a))",
}


def steps(v, k=1):
    """v and the doubles k steps either side of it."""
    return [v, float(np.nextafter(v, math.inf)) if k else v, float(np.nextafter(v, -math.inf))]


def chosen_intervals():
    """Intervals at the regime switches (half-width 1; x h = 2; a = 0; the tail-variance switch
    t = 1), one-sided and whole-line ones, and the cases where the textbook formulas fail."""
    inf = math.inf
    out = []
    for x in [1e-3, 0.3, 0.9, 1.0, 1.5, 2.0, 3.0, 5.0, 10.0, 21.2, 40.0, 1e2, 1e3, 1e4, 1e6]:
        for h in steps(1.0) + steps(2.0 / x) + steps(x) + [x * 0.999, x * 1.001, 0.0392 * (1.25 + x)]:
            for c in (x, -x):
                out.append((c - h, c + h))
    for t in steps(1.0) + [0.0, 1e-3, 0.5, 2.0, 9.5, 17.1, 40.0, 1e3, 1e8, 1e20]:
        out += [(t, inf), (-inf, -t), (-t, inf), (-inf, t)]
    out += [(-inf, inf), (-1e-150, 1e-150), (-1e-13, 2e-13), (-1e-10, 1e-10), (-2e-12, 1e-12),
            (30.0, 31.0), (100.0, 100.001), (1e3, 1e3 + 1e-6), (5.0, 5.0 + 1e-9), (8.0, 8.5),
            (1e6 - 1e-6, 1e6 + 1e-6), (1e6, 3e6), (-1e6, 1e6), (-40.0, 40.0), (37.0, 39.0)]
    return [(a, b) for a, b in out if a < b]


def points(a, b):
    """Points inside [a, b] at fractions of the width from either end, or at distances from the
    finite end of a one-sided interval."""
    if math.isinf(a) and math.isinf(b):
        return [-40.0, -8.0, -1.0, 0.0, 1e-3, 2.0, 30.0]
    if math.isinf(b):
        return [a + d for d in (1e-9, 1e-3, 0.5, 3.0, 40.0)]
    if math.isinf(a):
        return [b - d for d in (1e-9, 1e-3, 0.5, 3.0, 40.0)]
    w = b - a
    return [a + f * w for f in (1e-9, 0.25, 0.5)] + [b - f * w for f in (1e-9, 0.25)]


def cases():
    """(intervals, points): the moment rows (a, b) and the point rows (x, a, b)."""
    rng = np.random.default_rng(SEED)
    random_cases = truncnorm_mp.sample(rng, 2500)
    intervals = chosen_intervals() + [(a, b) for _, a, b in random_cases]
    at = [(x, a, b) for a, b in chosen_intervals() for x in points(a, b) if a < x < b]
    return intervals, at + random_cases


def header(name, formula, columns, rows):
    return [
        f"truncated standard normal on [a, b]: {name} = {formula}",
        "n, N the standard normal density and distribution function; either end may be infinite",
        columns_text(columns),
        REF_TEXT,
        f"{made_by('make_truncnorm_reference.py')}, seed {SEED}",
        f"working precision (decimal digits): {truncnorm_mp.BASE_DIGITS} + 4 log10 max(2, |a|, |b|)"
        " + 2 log10 max(1, 1/h) + 2, + log10(1/(2 x h)) for a narrow interval on one side of 0 "
        "(x the centre, h the half-width); cdf and sf + 2 log10 max(2, |x|)",
        f"verification: every row recomputed with {truncnorm_mp.VERIFY_EXTRA} more digits, the "
        "precision doubled until the pair did not change",
        f"rows: {rows}",
    ]


def write(name, comments, rows):
    path = DATA_DIR / f"truncnorm_{name}.txt"
    write_table(path, comments, rows)
    print(f"wrote {path} ({len(rows)} rows)", file=sys.stderr)


def make():
    intervals, at = cases()
    start = time.monotonic()
    moment_rows = {name: [] for name in MOMENT_TABLES}
    for i, (a, b) in enumerate(intervals):
        for name, (hi, lo) in zip(MOMENT_TABLES, truncnorm_mp.moments(a, b)):
            moment_rows[name].append(format_row((a, b), (hi, lo)))
        if i % 500 == 0:
            print(f"intervals {i}/{len(intervals)}, {time.monotonic() - start:.0f} s", file=sys.stderr)
    point_rows = {name: [] for name in POINT_TABLES}
    for i, (x, a, b) in enumerate(at):
        for name, (hi, lo) in zip(POINT_TABLES, truncnorm_mp.cdf_sf(x, a, b)):
            point_rows[name].append(format_row((x, a, b), (hi, lo)))
        if i % 500 == 0:
            print(f"points {i}/{len(at)}, {time.monotonic() - start:.0f} s", file=sys.stderr)
    for name, formula in MOMENT_TABLES.items():
        write(name, header(name, formula, ("a", "b"), len(intervals)), moment_rows[name])
    for name, formula in POINT_TABLES.items():
        write(name, header(name, formula, ("x", "a", "b"), len(at)), point_rows[name])


def read(name, nargs):
    """Rows of a committed table as lists of the arguments and the pair (hi, lo)."""
    args, hi, lo = read_table(f"truncnorm_{name}.txt", nargs)
    return np.column_stack(args + [hi, lo]).tolist()


def check(count, seed):
    """Recompute count random rows of each table with CHECK_EXTRA_DIGITS more digits."""
    rng = np.random.default_rng(seed)
    changed = 0
    tables = [(MOMENT_TABLES, 2, truncnorm_mp.moments), (POINT_TABLES, 3, truncnorm_mp.cdf_sf)]
    for names, nargs, compute in tables:
        data = {name: read(name, nargs) for name in names}
        rows = len(next(iter(data.values())))
        for k in rng.choice(rows, size=min(count, rows), replace=False):
            args = data[next(iter(names))][k][:nargs]
            for name, value in zip(names, compute(*args, extra_digits=CHECK_EXTRA_DIGITS)):
                stored = tuple(data[name][k][nargs:])
                if stored != value:
                    changed += 1
                    print(f"truncnorm_{name} row {k} {args}: stored {stored}, now {value}")
    print(f"checked {count} rows per table with seed {seed}: {changed} changed", file=sys.stderr)
    return changed == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="recompute random committed rows with more digits instead of writing")
    parser.add_argument("--check-rows", type=int, default=200, help="rows per table for --check")
    parser.add_argument("--check-seed", type=int, default=None, help="seed of the rows for --check")
    options = parser.parse_args()
    if options.check:
        seed = options.check_seed if options.check_seed is not None else int(time.time())
        return 0 if check(options.check_rows, seed) else 1
    make()
    return 0


if __name__ == "__main__":
    sys.exit(main())
