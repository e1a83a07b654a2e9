#!/usr/bin/env python3
"""Count the intervals on which zelnor.truncnorm breaks a property that must hold everywhere.

The properties of tests/test_truncnorm_properties.py, on many random intervals at once: a <= mean <= b,
0 <= var <= (b - a)^2/4, 0 <= cdf, sf <= 1, |cdf + sf - 1| <= 8 eps, cdf non-decreasing and sf
non-increasing in x (2 eps relative), and no floating-point flag but underflow. The ends mix the kinds
the tests draw: subnormal, huge, infinite, near the kernel's switches, moderate, and random bit
patterns. Prints the violations of each property with the worst example; exits 1 if any.
"""
import argparse
import sys
import time

import numpy as np

import zelnor.truncnorm as tn

EPS = np.finfo(np.float64).eps
SWITCHES = np.array([0.0, 1.0, 2.0, 9.5, 11.4, 11.5, 14.5, 15.1, 17.1, 21.2, 24.1, 25.4, 37.67712072049519,
                     39.0, 41.0, 50.5, 59.3, 165.0, 210.0, 548.0, 746.0, 12800.0, 17300.0, 6.7e7, 2e9,
                     1e150, 1.3e154, 1.8961503816218355e154, 1.7976931348623157e308])


def ends(rng, count):
    """count ends, one kind in six each: subnormal, huge, infinite, a switch moved by up to 3 doubles,
    moderate (|t| <= 50), any finite bit pattern; random signs."""
    kind = rng.integers(0, 6, count)
    sub = rng.integers(-40, 41, count) * 5e-324
    huge = 10.0 ** rng.uniform(150, 308.25, count)
    switch = SWITCHES[rng.integers(0, SWITCHES.size, count)]
    # Adjacent doubles of one sign have adjacent bit patterns; the largest pattern kept is infinity's.
    switch = np.clip(switch.view(np.int64) + rng.integers(-3, 4, count), 0, 0x7FF0000000000000).view(np.float64)
    moderate = rng.uniform(-50, 50, count)
    bits = rng.integers(0, 0x7FF0000000000000, count).view(np.float64)
    out = np.choose(kind, [sub, huge, np.full(count, np.inf), switch, moderate, bits])
    return np.where(rng.random(count) < 0.5, out, -out)


def intervals(rng, count):
    """(a, b, x1, x2): ordered ends, x1 <= x2 inside, each an end or a point in between."""
    a, b = np.sort(np.stack([ends(rng, count), ends(rng, count)]), axis=0)
    with np.errstate(all="ignore"):
        width = b - a
        inside = [np.where(np.isfinite(width), a + rng.random(count) * width, np.clip(ends(rng, count), a, b))
                  for _ in range(2)]
    pick = [rng.integers(0, 3, count) for _ in range(2)]
    x1, x2 = np.sort(np.stack([np.choose(p, [a, b, np.clip(v, a, b)]) for p, v in zip(pick, inside)]), axis=0)
    return a, b, x1, x2


def flagged(f, *args):
    """Boolean array: the elements whose call raises a floating-point flag other than underflow,
    found by halving the array (a ufunc reports flags once per call, not per element)."""
    out = np.zeros(args[0].size, dtype=bool)

    def search(idx):
        try:
            with np.errstate(all="raise", under="ignore"):
                f(*[v[idx] for v in args])
        except FloatingPointError:
            if idx.size == 1:
                out[idx] = True
            else:
                search(idx[: idx.size // 2])
                search(idx[idx.size // 2:])

    search(np.arange(out.size))
    return out


def evaluate(a, b, x1, x2):
    """Boolean arrays of the violations of each property."""
    with np.errstate(all="ignore"):
        mean, var = tn.mean(a, b), tn.var(a, b)
        c1, s1, c2, s2 = tn.cdf(x1, a, b), tn.sf(x1, a, b), tn.cdf(x2, a, b), tn.sf(x2, a, b)
        width = np.where(a == b, 0.0, b - a)  # [inf, inf] has width 0, not inf - inf
        quarter_square = width * width / 4
    flags = flagged(tn.logmass, a, b) | flagged(tn.mean, a, b) | flagged(tn.var, a, b)
    return {
        "a <= mean <= b": ~((a <= mean) & (mean <= b)),
        "0 <= var <= (b - a)^2/4": ~((0 <= var) & (var <= quarter_square)),
        "0 <= cdf, sf <= 1": ~((0 <= c1) & (c1 <= 1) & (0 <= s1) & (s1 <= 1)),
        "|cdf + sf - 1| <= 8 eps": ~(np.abs(c1 + s1 - 1) <= 8 * EPS),
        "cdf up, sf down in x": ~((c1 <= c2 * (1 + 2 * EPS)) & (s2 <= s1 * (1 + 2 * EPS))),
        "no flag but underflow": flags | flagged(tn.cdf, x1, a, b) | flagged(tn.sf, x1, a, b),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10**6, help="random intervals (default 10^6)")
    parser.add_argument("--seed", type=int, default=20261208, help="seed of the intervals")
    options = parser.parse_args()
    rng = np.random.default_rng(options.seed)
    start, failed, batch = time.monotonic(), {}, 10**5
    for done in range(0, options.count, batch):
        case = intervals(rng, min(batch, options.count - done))
        for name, bad in evaluate(*case).items():
            failed.setdefault(name, [0, None])
            failed[name][0] += int(bad.sum())
            if bad.any() and failed[name][1] is None:
                failed[name][1] = tuple(float(v[bad][0]) for v in case)
        print(f"{done + batch} intervals, {time.monotonic() - start:.0f} s", file=sys.stderr)
    for name, (count, example) in failed.items():
        where = f", e.g. (a, b, x1, x2) = {example!r}" if count else ""
        print(f"{name}: {count} of {options.count} intervals{where}")
    return 1 if any(count for count, _ in failed.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
