#!/usr/bin/env python3
"""Measure the float32 kernels (the float32 loops of the top-level ufuncs, which run the float
instantiations of the kernel templates) against mpmath, regime by regime, densely around every
threshold and row boundary, and print the worst error of each regime in float ulps.

The error of a float result c against the exact value v is |c - v| in units of the float ulp of v
(2^(e - 24) for v in [2^(e-1), 2^e), at least 2^-149). For negative arguments, where the
exponential's argument carries its own rounding, the error is also given in units of
(x^2/2 + 2) float eps relative (for the divided difference at x <= -1.25, (x^2 + dx^2)/2 + 2).
The exact values come from tools/make_reference.py. Takes about a minute on 2 cores.
"""

import argparse
import math
import multiprocessing
import sys
import time

import numpy as np

import make_reference as mr
import mp_reference
import zelnor

F32 = np.float32
FEPS = float(np.finfo(F32).eps)
CUTOFF = 13.320874214172363        # float reflection cut-off of R
R_EDGE_FLOAT = 13.25               # beyond -13.25 R itself overflows float, sqrt(2 pi) exp(x^2/2) > FLT_MAX
NEAR = (0, 1, 2, 3, 5, 8, -1, -2, -3, -5, -8)   # float steps taken around each threshold
mp_reference.ERFC_LIMIT = 1e20               # as tools/accuracy_report.py: the asymptotic series beyond


def f32(values):
    return np.asarray(values, dtype=np.float64).astype(F32)


def around(points):
    """Each point in float and the floats a few steps on either side."""
    out = []
    for p in points:
        t = F32(p)
        for k in NEAR:
            v = t
            for _ in range(abs(k)):
                v = np.nextafter(v, F32(np.inf) if k > 0 else F32(-np.inf))
            out.append(v)
    return f32(out)


def spread(rng, lo, hi, count, log=False):
    if log:
        return f32(np.exp(rng.uniform(math.log(lo), math.log(hi), count)))
    return f32(rng.uniform(lo, hi, count))


def rows(lo, hi, z_of_x, count):
    """x at the row starts of a piece table z(x) = i on [lo, hi]."""
    xs = np.linspace(lo, hi, 20000)
    z = z_of_x(xs)
    return [xs[k] for k in range(1, xs.size) if math.floor(z[k]) != math.floor(z[k - 1])][:count]


R1_ROWS = rows(1.0, 16.0, lambda x: 32 * (x - 1) / (x + 2.5), 40)
R3_ROWS = rows(0.0, 31.0, lambda x: 50 * x / (x + 3.5), 60)
REL_ROWS = [i / 12 for i in range(13)]


# ---------------------------------------------------------------------------
# Regimes: (label, quantity, argument arrays, constant args, condition for negative arguments)
# ---------------------------------------------------------------------------

def unary_regimes(rng, n):
    neg = lambda x: x * x / 2 + 2
    r_bounds = [1, 9.5, 11.4, 15.1, 24.1, 59.3, 548, 6.7e7]
    d1_bounds = [1, 11.5, 14.5, 21.2, 41, 165, 12800]
    d3_bounds = [17.1, 25.4, 50.5, 210, 17300, 2.0 ** 32]
    return [
        ("millsratio", "R", "0 <= x <= 1 (C_Rrel rows)",
         np.concatenate([spread(rng, 0, 1, n), around(REL_ROWS)]), None),
        ("millsratio", "R", "1 < x < 9.5 (C_R1 rows)",
         np.concatenate([spread(rng, 1, 9.5, n), around(R1_ROWS)]), None),
        ("millsratio", "R", "9.5 <= x <= 1e30 (convergents, 1/x)",
         np.concatenate([spread(rng, 9.5, 1e30, n, log=True), around(r_bounds)]), None),
        ("millsratio", "R", "-13.32 <= x < 0", np.concatenate([spread(rng, -CUTOFF, 0, n),
                                                              -around(r_bounds[:3] + [0.5])]), neg),
        ("millsratio_d1", "d1", "0 <= x <= 1",
         np.concatenate([spread(rng, 0, 1, n), around(REL_ROWS)]), None),
        ("millsratio_d1", "d1", "1 < x < 11.5 (C_R1 rows)",
         np.concatenate([spread(rng, 1, 11.5, n), around(R1_ROWS)]), None),
        ("millsratio_d1", "d1", "11.5 <= x <= 1e18 (convergents)",
         np.concatenate([spread(rng, 11.5, 1e18, n, log=True), around(d1_bounds)]), None),
        ("millsratio_d1", "d1", "-13.2 <= x < 0",
         np.concatenate([spread(rng, -13.2, 0, n), -around([1, 11.5, 0.5])]), neg),
        ("millsratio_d3", "d3", "0 <= x < 17.1 (C_R3 rows)",
         np.concatenate([spread(rng, 0, 17.1, n), around(R3_ROWS)]), None),
        ("millsratio_d3", "d3", "17.1 <= x <= 4.29e9 (convergents)",
         np.concatenate([spread(rng, 17.1, 4.29e9, n, log=True), around(d3_bounds[:-1])]), None),
        ("millsratio_d3", "d3", "-13 <= x < 0",
         np.concatenate([spread(rng, -13.0, 0, n), -around([1, 10, 0.5])]), neg),
        ("millsratio_rel_below1", "rel", "1e-30 <= x <= 1",
         np.concatenate([spread(rng, 0, 1, n), spread(rng, 1e-30, 1, n // 2, log=True),
                         around(REL_ROWS[1:-1]), around([1.0])[around([1.0]) <= 1]]), None),
    ]


def window(x):
    return (1.25 + x) * 0.0392


def pair_regimes(rng, n):
    # Taylor: inside the window, x - dx < 21.2, steps log-spread down to 1e-7 x and up to the edge
    x_t = spread(rng, -1.2, 21.2, n)
    dx_t = f32(window(x_t.astype(float)) * np.exp(rng.uniform(math.log(1e-7), 0, n)))
    x_te = around(np.linspace(-1.0, 21.0, 60))
    dx_te = f32(window(x_te.astype(float)) * rng.uniform(0.9, 0.999, x_te.size))
    # direct: beyond the window, x > -1.25, x - dx >= -13.25 (where R(x - dx) overflows)
    x_d = spread(rng, -1.2, 60.0, n)
    dx_d = f32(window(x_d.astype(float)) * np.exp(rng.uniform(0, math.log(40), n)))
    ok = x_d.astype(float) - dx_d > -R_EDGE_FLOAT
    x_d, dx_d = x_d[ok], dx_d[ok]
    # direct just beyond the window edge, where R(x - dx) - R(x + dx) cancels most, out to 1e5
    x_e = spread(rng, 1.0, 1e5, n, log=True)
    dx_e = f32(window(x_e.astype(float)) * rng.uniform(1.0, 1.5, n))
    # continued fraction: x - dx >= 21.2 inside the window, around its depth bounds
    a = np.concatenate([spread(rng, 21.2, 1e7, n, log=True), around([21.2, 41, 165, 12800]).astype(float)])
    x_c = f32(a * (1 + 0.0392 * rng.uniform(0, 0.999, a.size)) + 0.049 * rng.uniform(0, 1, a.size))
    dx_c = f32(np.maximum(window(x_c.astype(float)) * np.exp(rng.uniform(math.log(1e-6), -1e-3, a.size)), 0))
    # reflected difference: x <= -1.25, x - dx above the cut-off
    x_r = np.concatenate([spread(rng, -CUTOFF, -1.25, n), around([-1.25, -2.0])])
    x_r = x_r[x_r <= -1.25]
    dx_r = f32(rng.uniform(0, 1, x_r.size) * (CUTOFF + x_r.astype(float)))
    dx_r[::7] = 0
    refl = lambda x, dx: (x * x + dx * dx) / 2 + 2
    # reflected sum: dx - x above the cut-off
    dx_s = spread(rng, 1e-6, 14.0, n, log=True)
    x_s = f32(rng.uniform(-13.0, np.minimum(30.0, dx_s.astype(float) + CUTOFF - 0.1)))
    neg_s = lambda x, dx: np.minimum(np.minimum(dx - x, x + dx), 0) ** 2 / 2 + 2
    return [
        ("millsratio_dd", "dd", "Taylor: dx < (1.25 + x) 0.0392, x - dx < 21.2",
         (np.concatenate([x_t, x_te]), np.concatenate([dx_t, dx_te])), None),
        ("millsratio_dd", "dd", "direct: -1.25 < x <= 60, beyond the window (near -1.25 the "
         "window is narrow and small steps cancel)", (x_d, dx_d),
         lambda x, dx: np.minimum(x - dx, 0) ** 2 / 2 + 2),
        ("millsratio_dd", "dd", "direct: 1 <= x <= 1e5, up to 1.5 times the window", (x_e, dx_e), None),
        ("millsratio_dd", "dd", "continued fraction: x - dx >= 21.2 in the window", (x_c, dx_c), None),
        ("millsratio_dd", "dd", "reflected difference: -13.32 <= x - dx, x <= -1.25", (x_r, dx_r), refl),
        ("millsratio_reflected_sum", "rs", "1e-6 <= dx <= 14, -13 <= x <= 30", (x_s, dx_s), neg_s),
    ]


def cf_regimes(rng, n):
    out = []
    for depths, label in (((1, 2, 4, 6, 8), "depths 1 to 8"), ((12, 20, 30), "depths 12, 20, 30")):
        a = spread(rng, 21.2, 1e6, n, log=True).astype(float)
        x = f32(a * (1 + rng.uniform(0, 0.05, n)))
        dx = f32(np.maximum(x.astype(float) - a, 0))
        d = rng.choice(depths, n)
        out.append(("millsratio_dd_cf", "cf_backward", "x - dx >= 21.2, dx <= 0.05 x, " + label,
                    (x, dx, d), None))
    return out


# ---------------------------------------------------------------------------

def exact_chunk(task):
    quantity, rows_ = task
    q = mr.QUANTITIES[quantity]
    out = np.full(len(rows_), np.nan)
    for i, row in enumerate(rows_):
        v = mr.reference(q, row)
        if mr.SINGLE.holds(v):
            out[i] = float(v)
        elif v == 0:
            out[i] = 0.0
    return out


def float_ulp(v):
    e = np.frexp(np.abs(v))[1]
    return np.ldexp(1.0, np.maximum(e - 24, -149))


def measure(pool, name, quantity, label, args, condition):
    f = getattr(zelnor, name)
    args = tuple(np.asarray(a) for a in args)
    with np.errstate(all="ignore"):
        if name == "millsratio_dd_cf":
            got = f(args[0], args[1], args[2].astype(np.int64)).astype(float)
        else:
            got = f(*args).astype(float)
    rows_ = [tuple(float(a[i]) if a.dtype.kind == "f" else int(a[i]) for a in args)
             for i in range(args[0].size)]
    chunks = [(quantity, rows_[i:i + 200]) for i in range(0, len(rows_), 200)]
    exact = np.concatenate(pool.map(exact_chunk, chunks))
    keep = np.isfinite(exact) & (exact != 0)
    with np.errstate(all="ignore"):
        ulps = np.where(np.isfinite(got), np.abs(got - exact) / float_ulp(exact), np.inf)
    ulps = ulps[keep]
    k = int(np.argmax(ulps))
    where = ", ".join("%.9g" % a[keep][k] for a in args)
    text = "| `%s` | %s | %d | %.3g (%s) |" % (name, label, ulps.size, ulps[k], where)
    if condition is not None:
        fargs = [a[keep].astype(float) for a in args]
        rel = np.abs(got[keep] - exact[keep]) / np.abs(exact[keep])
        units = rel / (FEPS * condition(*fargs))
        j = int(np.argmax(units))
        text += " %.3g (%s) |" % (units[j], ", ".join("%.9g" % a[j] for a in fargs))
    else:
        text += " |"
    return text, ulps[k]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=3000,
                        help="random arguments per regime, besides the threshold neighbourhoods")
    parser.add_argument("--seed", type=int, default=20240611)
    parser.add_argument("--jobs", type=int, default=2, choices=(1, 2))
    options = parser.parse_args()
    rng = np.random.default_rng(options.seed)
    regimes = (unary_regimes(rng, options.points) + pair_regimes(rng, options.points)
               + cf_regimes(rng, options.points))
    print("| function | regime | points | max float ulps (at) | relative, in units of the "
          "condition of a negative argument (at) |")
    print("|---|---|---:|---:|---:|")
    start = time.monotonic()
    with multiprocessing.Pool(options.jobs) as pool:
        for name, quantity, label, args, condition in regimes:
            if not isinstance(args, tuple):
                args = (args,)
            text, _ = measure(pool, name, quantity, label, args, condition)
            print(text, flush=True)
            print("  %.0f s" % (time.monotonic() - start), file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
