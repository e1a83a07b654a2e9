#!/usr/bin/env python3
"""Measure zelnor.truncnorm against mpmath over the acceptance set and check the tolerances.

The cases are tools/truncnorm_mp.sample: centres 0 and +-10^-3 .. 10^6 (log-uniform), half-widths
log-uniform from 10^-12 max(1, |centre|) to 10^6, one interval in eight one-sided, and for each a
point x inside, log-uniformly close to either end. Tolerances:

    logmass  |error| <= 4 eps max(1, |log mass|)
    mean     |error| <= 1e-14 max(|mean|, standard deviation)
    var      relative error <= 1e-13
    cdf, sf  relative error <= 1e-13 each (values below the normal range: absolute error <= the
             smallest normal number)

Prints, per quantity, the worst error against its tolerance, where it lies (the kernel's regime and
the arguments), and the worst per regime; exits non-zero when a tolerance is exceeded. Run from the
repository with the package installed: python tools/truncnorm_accuracy.py --count 100000 --jobs 2
"""
import argparse
import math
import multiprocessing
import sys
import time

import numpy as np

import truncnorm_mp

EPS = 2.0**-52
TINY = 2.2250738585072014e-308


def regime(a, b):
    """The kernel's regime for [a, b] (see the header of src/zelnor/_kernels/truncnorm.h)."""
    if -a > b:
        a, b = -b, -a
    if math.isinf(a):
        return "whole line"
    h = b / 2 - a / 2
    x = a / 2 + b / 2
    if h <= 1 and x * h <= 2:
        return "narrow (Hermite series)"
    if a < 0:
        return "straddling 0"
    return "tail pair" if math.isfinite(b) else "one-sided tail"


def exact(case):
    x, a, b = case
    return truncnorm_mp.moments(a, b) + truncnorm_mp.cdf_sf(x, a, b)


def references(cases, jobs):
    """(len(cases), 5, 2) array of (hi, lo): logmass, mean, var, cdf, sf."""
    start = time.monotonic()
    out = []
    with multiprocessing.Pool(jobs) as pool:
        for i, row in enumerate(pool.imap(exact, cases, chunksize=200)):
            out.append(row)
            if (i + 1) % 10000 == 0:
                print(f"  mpmath: {i + 1}/{len(cases)} cases, {time.monotonic() - start:.0f} s",
                      file=sys.stderr)
    return np.array(out, dtype=np.float64)


def errors(cases, ref):
    """Error over tolerance of each quantity, as a dict of arrays (NaN where not measured)."""
    import zelnor.truncnorm as tn

    x, a, b = (np.array(c) for c in zip(*cases))
    hi, lo = ref[..., 0], ref[..., 1]
    out = {}
    out["logmass"] = np.abs((tn.logmass(a, b) - hi[:, 0]) - lo[:, 0]) / (
        4 * EPS * np.maximum(1.0, np.abs(hi[:, 0])))
    sd = np.sqrt(hi[:, 2])
    out["mean"] = np.abs((tn.mean(a, b) - hi[:, 1]) - lo[:, 1]) / (
        1e-14 * np.maximum(np.abs(hi[:, 1]), sd))
    out["var"] = np.abs(((tn.var(a, b) - hi[:, 2]) - lo[:, 2]) / hi[:, 2]) / 1e-13
    for k, (name, f) in enumerate([("cdf", tn.cdf), ("sf", tn.sf)], start=3):
        value = f(x, a, b)
        normal = hi[:, k] >= TINY
        err = np.full(len(x), np.nan)
        err[normal] = np.abs(((value[normal] - hi[normal, k]) - lo[normal, k]) / hi[normal, k]) / 1e-13
        err[~normal] = np.abs(value[~normal] - hi[~normal, k]) / TINY
        out[name] = err
    return out


def report(cases, err):
    regimes = np.array([regime(a, b) for _, a, b in cases])
    ok = True
    for name, e in err.items():
        k = int(np.nanargmax(e))
        x, a, b = cases[k]
        where = f"a={a!r}, b={b!r}" + (f", x={x!r}" if name in ("cdf", "sf") else "")
        print(f"{name:8s} worst {e[k]:.3g} of its tolerance, {regimes[k]}, at {where}")
        for r in sorted(set(regimes)):
            sel = regimes == r
            print(f"           {r:26s} {np.nanmax(e[sel]):.3g}  ({sel.sum()} cases)")
        ok &= bool(np.nanmax(e) <= 1.0)
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=100000, help="number of cases (default 10^5)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the cases")
    parser.add_argument("--jobs", type=int, default=1, help="processes for the mpmath values")
    options = parser.parse_args()
    cases = truncnorm_mp.sample(np.random.default_rng(options.seed), options.count)
    print(f"{len(cases)} cases, seed {options.seed}", file=sys.stderr)
    err = errors(cases, references(cases, options.jobs))
    ok = report(cases, err)
    print("all within tolerance" if ok else "TOLERANCE EXCEEDED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
