#!/usr/bin/env python3
"""Check that the floating-point flags of every ufunc describe its result, over a large random sample.

For every top-level ufunc and every zelnor.truncnorm ufunc, in float32 and float64, --count random
valid arguments (fixed seed) spread over every regime: magnitudes log-uniform over the whole normal
range of the type, uniform ones where the kernels switch pieces, zeros and infinities; half-steps
from relative 1e-17 to huge; intervals one-sided, whole-line, narrow, far out, straddling zero and
random, with points inside, near and outside them. The arguments are normal numbers, zeros or
infinities, never NaN.

The flags an element may leave, as for a library function or np.exp:
    result a normal number             none (inexact aside)
    result subnormal or zero           underflow at most
    result infinite, finite arguments  overflow, or divide-by-zero at a pole; exactly one of them;
                                       none where the infinity is exact (log mass of a == b)
    result infinite, an infinite arg.  none
    result NaN                         invalid, and nothing else
The elements with a normal result are checked in chunks under np.errstate(all="raise"), a chunk that
raises being split until the offending elements are found; every other element is checked alone,
its flags read through np.errstate(call=...).

--save FILE writes the results, --compare FILE checks that they are the same bit for bit (save with
one build, compare with another). Prints a table per ufunc and dtype; exits 1 on any violation or
difference. Run with the package installed: python tools/flag_sweep.py --count 1000000
"""
import argparse
import sys
import time

import numpy as np

import zelnor
from zelnor import truncnorm

FLAG_NAMES = {1: "divide", 2: "overflow", 4: "underflow", 8: "invalid"}
CHUNK = 4096


def normal_magnitudes(rng, dtype, n, lo=None, hi=None):
    """Magnitudes log-uniform between lo and hi (default: the normal range of dtype)."""
    fi = np.finfo(dtype)
    lo = float(fi.tiny) if lo is None else lo
    hi = float(fi.max) if hi is None else hi
    m = np.exp2(rng.uniform(np.log2(lo), np.log2(hi), n))
    return np.clip(m, lo, hi)


def reals(rng, dtype, n):
    """Either sign: the whole range, the kernels' pieces (|x| < 60 and up to 2e4), 1e-3 .. 1e4, and a few
    zeros and infinities."""
    kind = rng.integers(0, 8, n)
    sign = rng.choice([-1.0, 1.0], n)
    v = np.select(
        [kind < 3, kind < 5, kind < 6, kind < 7],
        [normal_magnitudes(rng, dtype, n), rng.uniform(0, 60, n), rng.uniform(0, 2e4, n),
         normal_magnitudes(rng, dtype, n, 1e-3, 1e4)],
        rng.choice([0.0, np.inf], n))
    return sign * v


def steps(rng, dtype, x, n):
    """Half-steps: relative to x from 1e-17 to 1, uniform to 50, anything, and zero or infinite."""
    kind = rng.integers(0, 6, n)
    relative = np.abs(x) * 10.0 ** rng.uniform(-17, 0, n)
    sign = rng.choice([-1.0, 1.0], n)
    return np.select([kind < 2, kind < 3, kind < 5],
                     [sign * relative, rng.uniform(-50, 50, n), reals(rng, dtype, n)],
                     rng.choice([0.0, -0.0, np.inf, -np.inf], n))


def intervals(rng, dtype, n):
    """Ends a <= b: one-sided, whole line, narrow around any centre, far out, straddling, random."""
    kind = rng.integers(0, 7, n)
    c = reals(rng, dtype, n)
    u, v = reals(rng, dtype, n), reals(rng, dtype, n)
    scale = np.where(np.isfinite(c), np.abs(c), 1.0)
    width = scale * 10.0 ** rng.uniform(-17, 1, n) + normal_magnitudes(rng, dtype, n, 1e-300, 1e-3)
    far = rng.choice([-1.0, 1.0], n) * rng.uniform(5, 45, n)
    a = np.select([kind == 0, kind == 1, kind == 2, kind == 3, kind == 4, kind == 5],
                  [c, np.full(n, -np.inf), np.full(n, -np.inf), c, far, -np.abs(u)],
                  np.minimum(u, v))
    b = np.select([kind == 0, kind == 1, kind == 2, kind == 3, kind == 4, kind == 5],
                  [np.full(n, np.inf), c, np.full(n, np.inf), c + width,
                   far + np.abs(far) * 10.0 ** rng.uniform(-12, 0.5, n), np.abs(v)],
                  np.maximum(u, v))
    return a, b


def points(rng, dtype, a, b):
    """Inside [a, b] (log-close to either end or uniform), anywhere, or on an end."""
    n = a.size
    kind = rng.integers(0, 5, n)
    with np.errstate(invalid="ignore", over="ignore"):
        span = b - a
        inside = np.where(np.isfinite(span), a + rng.uniform(0, 1, n) * span, reals(rng, dtype, n))
        near_a = a + np.abs(a) * 10.0 ** rng.uniform(-16, 0, n)
        near_b = b - np.abs(b) * 10.0 ** rng.uniform(-16, 0, n)
    return np.select([kind == 0, kind == 1, kind == 2, kind == 3],
                     [inside, np.where(np.isfinite(near_a), near_a, inside),
                      np.where(np.isfinite(near_b), near_b, inside), reals(rng, dtype, n)],
                     np.where(rng.integers(0, 2, n) == 0, a, b))


def as_arguments(dtype, columns):
    """Cast to dtype; a value that falls below the normal range becomes zero (arguments are normal,
    zero or infinite), one beyond it infinite."""
    out = []
    tiny = np.finfo(dtype).tiny
    for c in columns:
        with np.errstate(over="ignore", under="ignore"):
            c = np.asarray(c, np.float64).astype(dtype)
        out.append(np.where(np.abs(c) < tiny, dtype(0) * np.sign(c), c).astype(dtype))
    return out


def arguments(f, dtype, rng, n):
    """Valid arguments for f: the ufunc's domain, and a <= b for an interval."""
    with np.errstate(over="ignore"):
        return draw_arguments(f, dtype, rng, n)


def draw_arguments(f, dtype, rng, n):
    name = f.__name__
    if name == "millsratio_rel_below1":
        x = np.concatenate([rng.uniform(0, 1, n // 2), normal_magnitudes(rng, dtype, n - n // 2, None, 1.0)])
        x[rng.integers(0, n, n // 100)] = 0.0
        return as_arguments(dtype, [x])
    if f.nin == 1:
        return as_arguments(dtype, [reals(rng, dtype, n)])
    if f.nin == 2 and f in TOP_LEVEL:
        x = reals(rng, dtype, n)
        return as_arguments(dtype, [x, steps(rng, dtype, x, n)])
    if f is zelnor.millsratio_dd_cf:
        x = reals(rng, dtype, n)
        depth = np.floor(10.0 ** rng.uniform(0, 2.5, n)).astype(np.int64) - 1
        return as_arguments(dtype, [x, steps(rng, dtype, x, n)]) + [depth]
    a, b = as_arguments(dtype, intervals(rng, dtype, n))
    a, b = np.minimum(a, b), np.maximum(a, b)
    if f.nin == 2:
        return [a, b]
    return as_arguments(dtype, [points(rng, dtype, a, b)]) + [a, b]


def flags_of(f, args):
    """The flags (NumPy's bits: 1 divide, 2 overflow, 4 underflow, 8 invalid) one call leaves."""
    seen = [0]

    def record(kind, flag):
        seen[0] |= flag

    with np.errstate(all="call", call=record):
        f(*args)
    return seen[0]


def raising_elements(f, args, idx):
    """Indices among idx whose evaluation raises under np.errstate(all="raise")."""
    try:
        with np.errstate(all="raise"):
            f(*(a[idx] for a in args))
        return []
    except FloatingPointError:
        if idx.size == 1:
            return [idx[0]]
        half = idx.size // 2
        return raising_elements(f, args, idx[:half]) + raising_elements(f, args, idx[half:])


def expected(value, any_infinite_argument, exact, dtype):
    """The flag sets allowed for one result."""
    if np.isnan(value):
        return {8}
    if np.isinf(value):
        return {0} if any_infinite_argument or exact else {1, 2}
    if value == 0 or abs(value) < np.finfo(dtype).tiny:
        return {0, 4}
    return {0}


def check(f, dtype, args):
    """Counts of each class of result, the elements whose flags are wrong, and the results."""
    with np.errstate(all="ignore"):
        result = f(*args)
    tiny = np.finfo(dtype).tiny
    normal = np.isfinite(result) & (np.abs(result) >= tiny)
    bad = [(i, "normal result, raises", "") for i in
           raising_elements_chunked(f, args, np.flatnonzero(normal))]
    reals_ = [a for a in args if a.dtype.kind == "f"]
    infinite_arg = np.logical_or.reduce([np.isinf(a) for a in reals_])
    # The log mass of an empty interval is -inf exactly.
    exact = args[0] == args[1] if f is truncnorm.logmass else np.zeros(result.shape, bool)
    counts = {"normal": int(normal.sum())}
    for i in np.flatnonzero(~normal):
        value = result[i]
        got = flags_of(f, [a[i] for a in args])
        allowed = expected(value, infinite_arg[i], exact[i], dtype)
        cls = ("nan" if np.isnan(value) else "subnormal or zero" if np.isfinite(value)
               else "inf, an inf arg" if infinite_arg[i] else "inf, exact" if exact[i]
               else "inf, finite args")
        counts[cls] = counts.get(cls, 0) + 1
        if got == 1:
            counts["of which a pole"] = counts.get("of which a pole", 0) + 1
        if got not in allowed:
            names = "+".join(v for k, v in FLAG_NAMES.items() if got & k) or "none"
            bad.append((i, f"{cls}, leaves {names}", f"result {value!r}"))
    return counts, bad, result


def raising_elements_chunked(f, args, idx):
    out = []
    for start in range(0, idx.size, CHUNK):
        out += raising_elements(f, args, idx[start:start + CHUNK])
    return out


TOP_LEVEL = [zelnor.millsratio, zelnor.millsratio_d1, zelnor.millsratio_d3, zelnor.millsratio_rel_below1,
             zelnor.millsratio_dd, zelnor.millsratio_reflected_sum, zelnor.millsratio_dd_cf]
TRUNCNORM = [truncnorm.logmass, truncnorm.mean, truncnorm.var, truncnorm.cdf, truncnorm.sf]


def label(f):
    return ("truncnorm." if f in TRUNCNORM else "") + f.__name__.removeprefix("truncnorm_")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10**6, help="arguments per ufunc and dtype")
    parser.add_argument("--seed", type=int, default=20)
    parser.add_argument("--only", help="check only the ufuncs whose name contains this")
    parser.add_argument("--save", help="write the results to this .npz file")
    parser.add_argument("--compare", help="compare the results bit for bit with this .npz file")
    opts = parser.parse_args()

    saved = dict(np.load(opts.compare)) if opts.compare else None
    results, failed = {}, False
    print(f"{'ufunc':32} {'dtype':8} {'violations':>10}  result classes")
    for f in TOP_LEVEL + TRUNCNORM:
        if opts.only and opts.only not in label(f):
            continue
        for dtype in (np.float32, np.float64):
            start = time.monotonic()
            rng = np.random.default_rng([opts.seed, (TOP_LEVEL + TRUNCNORM).index(f), dtype(0).itemsize])
            args = arguments(f, dtype, rng, opts.count)
            counts, bad, result = check(f, dtype, args)
            key = f"{label(f)}-{np.dtype(dtype).name}"
            results[key] = result
            classes = ", ".join(f"{k} {v}" for k, v in counts.items())
            print(f"{label(f):32} {np.dtype(dtype).name:8} {len(bad):10}  {classes} "
                  f"({time.monotonic() - start:.0f} s)", flush=True)
            kinds = {}
            for i, why, detail in bad:
                kinds.setdefault(why, []).append((i, detail))
            for why, cases in kinds.items():
                print(f"    {len(cases)} x {why}, e.g.")
                for i, detail in cases[:3]:
                    print("      args (" + ", ".join(repr(a[i].item()) for a in args) + f") {detail}")
            if saved is not None:
                bits = np.uint32 if dtype is np.float32 else np.uint64
                differ = np.flatnonzero(result.view(bits) != saved[key].view(bits))
                if differ.size:
                    print(f"    {differ.size} results differ from {opts.compare}")
                    for i in differ[:5]:
                        print("      args (" + ", ".join(repr(a[i].item()) for a in args)
                              + f"): {result[i]!r}, saved {saved[key][i]!r}")
                failed |= differ.size > 0
            failed |= len(bad) > 0
    if opts.save:
        np.savez(opts.save, **results)
    unchanged = ", results unchanged" if saved is not None else ""
    print("FAILED" if failed else "all flags describe their results" + unchanged)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
