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

The extended set adds, at the same cases, a probability p and a probability q log-uniform from 1e-300
to 1/2 (one each per case, their own seed), with tolerances

    logpdf          |error| <= 8 eps max(1, |logpdf|)
    pdf             relative error <= 8 eps max(1, |logpdf|)
    logcdf, logsf   relative error <= 8 eps where |value| >= 1, <= 1e-14 below (absolute error <= the
                    smallest normal number where the value is below it)
    ppf, isf        |x - x*| <= 4 ulp(x*) + 1e-13 p/f(x*) (q for isf), f the truncated density, and
                    x inside [a, b]
    entropy         |error| <= 2e-14 max(1, |entropy|)
    dlogmass        relative error <= 1e-13 in each output, exactly 0 at an infinite end

Prints, per quantity, the worst error against its tolerance, where it lies (the kernel's regime and
the arguments), and the worst per regime; exits non-zero when a tolerance is exceeded. Run from the
repository with the package installed: python tools/truncnorm_accuracy.py --count 100000 --jobs 2
(--set extended for the newer functions, --set all for both).
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


def references(cases, jobs, reference=exact):
    """(len(cases), k, 2) array of (hi, lo) from reference per case; by default logmass, mean, var,
    cdf, sf."""
    start = time.monotonic()
    out = []
    with multiprocessing.Pool(jobs) as pool:
        for i, row in enumerate(pool.imap(reference, cases, chunksize=200)):
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


EXTENDED = ["logpdf", "pdf", "logcdf", "logsf", "entropy", "dlogmass a", "dlogmass b", "ppf", "isf"]
POINTS = {"cdf", "sf", "logpdf", "pdf", "logcdf", "logsf"}


def probabilities(rng, count):
    """count probabilities log-uniform from 1e-300 to 1/2."""
    return 10 ** rng.uniform(-300, math.log10(0.5), count)


def extended_cases(cases, seed):
    """The cases with p and q, and zelnor's ppf(p) and isf(q) there: Newton's method in mpmath starts
    from them (any start converges to the same root, since the log probabilities are concave)."""
    import zelnor.truncnorm as tn

    rng = np.random.default_rng(seed + 1000)
    p, q = probabilities(rng, len(cases)), probabilities(rng, len(cases))
    x, a, b = (np.array(c) for c in zip(*cases))
    ppf, isf = tn.ppf(p, a, b), tn.isf(q, a, b)
    return [c + (float(p[k]), float(q[k]), float(ppf[k]), float(isf[k])) for k, c in enumerate(cases)]


def exact_extended(case):
    """(hi, lo) rows: logpdf, pdf, logcdf, logsf, entropy, dlogmass a and b, ppf, p/f at ppf, isf,
    q/f at isf."""
    x, a, b, p, q, ppf, isf = case
    rows = truncnorm_mp.log_densities(x, a, b) + truncnorm_mp.entropy_slopes(a, b)
    for prob, upper, start in ((p, False, ppf), (q, True, isf)):
        root, scale = truncnorm_mp.quantile(prob, a, b, upper, start)
        rows += [root, (scale, 0.0)]
    return rows


def _relative(value, hi, lo, tolerance):
    """Relative error over tolerance; where the exact value is below the normal range (or rounds to
    0), absolute error over the smallest normal number; where it is infinite, 0 if equal, else inf."""
    with np.errstate(all="ignore"):
        err = np.abs(((value - hi) - lo) / hi) / tolerance
        err = np.where(np.abs(hi) < TINY, np.abs(value - hi) / TINY, err)
        return np.where(np.isinf(hi), np.where(value == hi, 0.0, np.inf), err)


def _exact_zero(err, value, infinite_end):
    """An output that is exactly 0 at an infinite end must be 0 there, not merely tiny."""
    return np.where(infinite_end, np.where(value == 0, 0.0, np.inf), err)


def extended_errors(cases, ref):
    """Error over tolerance of each new quantity, as a dict of arrays."""
    import zelnor.truncnorm as tn

    x, a, b, p, q = (np.array(c) for c in list(zip(*cases))[:5])
    hi, lo = ref[..., 0], ref[..., 1]
    out = {}
    with np.errstate(all="ignore"):
        logpdf_scale = np.maximum(1.0, np.abs(hi[:, 0]))
        out["logpdf"] = np.abs((tn.logpdf(x, a, b) - hi[:, 0]) - lo[:, 0]) / (8 * EPS * logpdf_scale)
        out["pdf"] = _relative(tn.pdf(x, a, b), hi[:, 1], lo[:, 1], 8 * EPS * logpdf_scale)
        for k, name in ((2, "logcdf"), (3, "logsf")):
            tolerance = np.where(np.abs(hi[:, k]) >= 1, 8 * EPS, 1e-14)
            out[name] = _relative(getattr(tn, name)(x, a, b), hi[:, k], lo[:, k], tolerance)
        out["entropy"] = np.abs((tn.entropy(a, b) - hi[:, 4]) - lo[:, 4]) / (2e-14 * np.maximum(1.0, np.abs(hi[:, 4])))
        da, db = tn.dlogmass(a, b)
        out["dlogmass a"] = _exact_zero(_relative(da, hi[:, 5], lo[:, 5], 1e-13), da, np.isinf(a))
        out["dlogmass b"] = _exact_zero(_relative(db, hi[:, 6], lo[:, 6], 1e-13), db, np.isinf(b))
        for k, name, prob in ((7, "ppf", p), (9, "isf", q)):
            value = getattr(tn, name)(prob, a, b)
            root = hi[:, k]
            tolerance = 4 * np.spacing(np.abs(root)) + 1e-13 * hi[:, k + 1]
            err = np.abs((value - root) - lo[:, k]) / tolerance
            out[name] = np.where((value >= a) & (value <= b), err, np.inf)
    return out


def report(cases, err):
    regimes = np.array([regime(c[1], c[2]) for c in cases])
    ok = True
    for name, e in err.items():
        k = int(np.nanargmax(e))
        x, a, b = cases[k][:3]
        where = f"a={a!r}, b={b!r}" + (f", x={x!r}" if name in POINTS else "")
        if name in ("ppf", "isf"):
            where += f", p={cases[k][3]!r}" if name == "ppf" else f", q={cases[k][4]!r}"
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
    parser.add_argument("--set", choices=["moments", "extended", "all"], default="moments",
                        help="log mass, mean, var, cdf, sf (moments, the default), the extended set "
                             "(a few times slower), or both")
    options = parser.parse_args()
    cases = truncnorm_mp.sample(np.random.default_rng(options.seed), options.count)
    print(f"{len(cases)} cases, seed {options.seed}", file=sys.stderr)
    ok = True
    if options.set != "extended":
        ok &= report(cases, errors(cases, references(cases, options.jobs)))
    if options.set != "moments":
        cases = extended_cases(cases, options.seed)
        ok &= report(cases, extended_errors(cases, references(cases, options.jobs, exact_extended)))
    print("all within tolerance" if ok else "TOLERANCE EXCEEDED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
