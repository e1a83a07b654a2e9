"""Time zelnor.truncnorm.mean and var together against scipy.stats.truncnorm.stats(moments='mv').

The intervals are those of the accuracy acceptance set (tools/truncnorm_mp.sample without its
points): centres 0 and +-10^-3 .. 10^6, half-widths 10^-12 max(1, |centre|) .. 10^6, one in eight
one-sided. zelnor runs on all `--count` intervals (default 10^6). SciPy is far slower, so it runs on
the first `--scipy-count` of them (default 10^4) and its time is scaled linearly to `--count`;
--check-scaling also times it on a tenth as many, to show that its time per interval holds.

Each contender runs `--repeats` timed passes (wall time, minimum reported). Prints a Markdown table
and exits 1 if zelnor is less than `--target` (default 100) times faster than SciPy.

A second table times logpdf, logcdf, logsf, entropy, dlogmass, ppf and isf one by one on the same
intervals (points x as in the accuracy set, probabilities log-uniform from 1e-300 to 1/2) beside
scipy.stats.truncnorm's methods of the same names (for dlogmass, which SciPy lacks, the textbook
-n(a)/(N(b) - N(a)), n(b)/(N(b) - N(a)) with scipy.special), in processor time per element, which a
busy machine inflates less than wall time. It exits 1 where zelnor exceeds its budget: 100 ns per
element, 250 ns for ppf and isf.

A third table times logmass, mean, var, cdf and sf one by one, in processor time per interval, on the
intervals above (with their points x) and on intervals across zero: half-widths h log-uniform from
10^-3 to 10^3 (from where the distribution is uniform to well past where it is the whole normal),
centres uniform in (-h, h), a point x uniform inside. It exits 1 where one exceeds `--moment-target`
(default 40 ns). --moments-only runs this table alone (no SciPy).
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import truncnorm_mp  # noqa: E402

import zelnor.truncnorm as tn  # noqa: E402


def intervals(count, seed):
    cases = truncnorm_mp.sample(np.random.default_rng(seed), count)
    a = np.array([c[1] for c in cases])
    b = np.array([c[2] for c in cases])
    return a, b


def best_time(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def zelnor_mean_var(a, b):
    return tn.mean(a, b), tn.var(a, b)


def scipy_mean_var(a, b):
    from scipy.stats import truncnorm

    with np.errstate(all="ignore"):
        return truncnorm.stats(a, b, moments="mv")


BUDGET_NS = {"logpdf": 100, "logcdf": 100, "logsf": 100, "entropy": 100, "dlogmass": 100, "ppf": 250,
             "isf": 250}


def points(count, seed):
    """The intervals with a point inside each and a probability log-uniform from 1e-300 to 1/2."""
    cases = truncnorm_mp.sample(np.random.default_rng(seed), count)
    x, a, b = (np.array(c) for c in zip(*cases))
    p = 10 ** np.random.default_rng(seed + 1).uniform(-300, np.log10(0.5), count)
    return x, a, b, p


def cpu_time(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.process_time()
        run()
        times.append(time.process_time() - start)
    return min(times)


def textbook_dlogmass(a, b):
    from scipy.special import ndtr
    from scipy.stats import norm

    mass = ndtr(b) - ndtr(a)
    return -norm.pdf(a) / mass, norm.pdf(b) / mass


def function_rows(count, scipy_count, repeats, seed):
    """(name, zelnor ns per element, SciPy ns per element) for each function with a budget."""
    from scipy.stats import truncnorm

    x, a, b, p = points(count, seed)
    args = {"logpdf": (x, a, b), "logcdf": (x, a, b), "logsf": (x, a, b), "entropy": (a, b),
            "dlogmass": (a, b), "ppf": (p, a, b), "isf": (p, a, b)}
    rows = []
    for name, values in args.items():
        print(f"timing {name}", file=sys.stderr)
        ours = cpu_time(lambda: getattr(tn, name)(*values), repeats) / count
        few = [v[:scipy_count] for v in values]
        if name == "dlogmass":
            theirs = lambda: textbook_dlogmass(*few)  # noqa: E731
        elif name == "entropy":
            theirs = lambda: truncnorm.entropy(*few)  # noqa: E731
        else:
            theirs = lambda: getattr(truncnorm, name)(*few)  # noqa: E731
        with np.errstate(all="ignore"):
            scipy_time = cpu_time(theirs, repeats) / scipy_count
        rows.append((name, 1e9 * ours, 1e9 * scipy_time))
    return rows


MOMENTS = ["logmass", "mean", "var", "cdf", "sf"]


def across_zero(count, seed):
    """(x, a, b) across zero: half-widths log-uniform from 1e-3 to 1e3, centres uniform in (-h, h),
    x uniform inside."""
    rng = np.random.default_rng(seed)
    h = 10 ** rng.uniform(-3, 3, count)
    centre = rng.uniform(-1, 1, count) * h
    a, b = centre - h, centre + h
    inside = (a < 0) & (b > 0)
    a, b = a[inside], b[inside]
    return a + rng.random(a.size) * (b - a), a, b


def moment_rows(count, repeats, seed):
    """(name, ns per interval on the mixed set, ns per interval across zero) for each of MOMENTS."""
    x, a, b, _ = points(count, seed)
    sets = [(x, a, b), across_zero(count, seed + 2)]
    rows = []
    for name in MOMENTS:
        print(f"timing {name}", file=sys.stderr)
        f = getattr(tn, name)
        times = []
        for px, pa, pb in sets:
            values = (px, pa, pb) if name in ("cdf", "sf") else (pa, pb)
            times.append(1e9 * cpu_time(lambda: f(*values), repeats) / pa.size)
        rows.append((name, *times))
    return rows


def print_moments(rows, target, count):
    print(f"\n| function | mixed (ns per interval) | across zero (ns per interval) | target (ns) |")
    print("|---|---:|---:|---:|")
    for name, mixed, across in rows:
        print(f"| {name} | {mixed:.1f} | {across:.1f} | {target:g} |")
    print(f"\nprocessor time, {count} intervals of each set")
    return all(mixed <= target and across <= target for _, mixed, across in rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10**6, help="intervals for zelnor")
    parser.add_argument("--scipy-count", type=int, default=10**4, help="intervals for SciPy")
    parser.add_argument("--repeats", type=int, default=3, help="timed passes per contender")
    parser.add_argument("--target", type=float, default=100.0, help="required speed ratio")
    parser.add_argument("--seed", type=int, default=2)
    parser.add_argument("--check-scaling", action="store_true",
                        help="also time SciPy on a tenth of --scipy-count, to show it scales linearly")
    parser.add_argument("--moment-target", type=float, default=40.0,
                        help="ns per interval allowed for logmass, mean, var, cdf and sf")
    parser.add_argument("--moments-only", action="store_true",
                        help="time only logmass, mean, var, cdf and sf (no SciPy)")
    options = parser.parse_args()

    moments = moment_rows(options.count, options.repeats, options.seed)
    if options.moments_only:
        return 0 if print_moments(moments, options.moment_target, options.count) else 1

    print(f"sampling {options.count} intervals", file=sys.stderr)
    a, b = intervals(options.count, options.seed)
    print("timing zelnor", file=sys.stderr)
    t_zelnor = best_time(lambda: zelnor_mean_var(a, b), options.repeats)
    n = options.scipy_count
    print(f"timing SciPy on {n} intervals", file=sys.stderr)
    t_scipy_n = best_time(lambda: scipy_mean_var(a[:n], b[:n]), options.repeats)
    t_scipy = t_scipy_n * options.count / n
    rows = [("zelnor.truncnorm mean + var", options.count, t_zelnor, t_zelnor),
            ("scipy.stats.truncnorm.stats(moments='mv')", n, t_scipy_n, t_scipy)]
    if options.check_scaling:
        m = max(1, n // 10)
        t_m = best_time(lambda: scipy_mean_var(a[:m], b[:m]), options.repeats)
        rows.append(("scipy.stats.truncnorm.stats(moments='mv')", m, t_m, t_m * options.count / m))
    ratio = t_scipy / t_zelnor
    functions = function_rows(options.count, n, options.repeats, options.seed)

    print(f"| contender | intervals timed | time (s) | per interval (ns) | time for {options.count} (s) |")
    print("|---|---:|---:|---:|---:|")
    for name, count, t, scaled in rows:
        print(f"| {name} | {count} | {t:.4g} | {1e9 * t / count:.0f} | {scaled:.4g} |")
    print(f"\nSciPy / zelnor on {options.count} intervals: {ratio:.0f} x (target >= {options.target:g} x;"
          f" SciPy timed on {n} and scaled linearly)")
    print("\n| function | zelnor (ns per element) | budget (ns) | scipy.stats.truncnorm (ns per element) |")
    print("|---|---:|---:|---:|")
    within = True
    for name, ours, theirs in functions:
        scipy_name = "textbook with scipy.special" if name == "dlogmass" else name
        print(f"| {name} | {ours:.0f} | {BUDGET_NS[name]} | {theirs:.0f} ({scipy_name}) |")
        within &= ours <= BUDGET_NS[name]
    print(f"\nprocessor time, zelnor on {options.count} elements, SciPy on {n}")
    within &= print_moments(moments, options.moment_target, options.count)
    return 0 if ratio >= options.target and within else 1


if __name__ == "__main__":
    sys.exit(main())
