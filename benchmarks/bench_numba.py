#!/usr/bin/env python3
"""Time zelnor.millsratio called inside @numba.njit code against the floor and the ufunc.

Contenders, each over the same float64 arguments, uniform on [-5, 40] so that the loop keeps
switching between the reflection, the polynomial pieces and the continued fractions:
  - a jitted loop calling zelnor.millsratio(x[i]) once per element (the Numba extension calls the
    exported entry point by address);
  - the same function called on the whole array inside jitted code (its element-wise form);
  - the floor: a bare C++ loop calling zelnor_MillsRatio once per element (benchmarks/floor.cpp,
    compiled with the package's flags, timed inside C++);
  - the ufunc zelnor.millsratio(x, out=o) from Python.

Each contender runs --warmup untimed passes, then --repeats timed ones, interleaved with the others
so that a slow moment of a shared machine hits them all; each pass is timed in CPU time of the
calling thread. Prints a Markdown table (min and median per element) and the target, judged on the
minima; exits 1 if it is missed: jitted loop <= 1.3 x the floor. Needs Numba and a C++ compiler.
"""
import argparse
import statistics
import sys
import tempfile
import time

import numba
import numpy as np

import zelnor
from bench_modules import build_floor

LOOP = "jitted loop, zelnor.millsratio(x[i])"
FLOOR = "bare C++ loop over zelnor_MillsRatio"


@numba.njit
def jitted_loop(x, out):
    for i in range(x.size):
        out[i] = zelnor.millsratio(x[i])


@numba.njit
def jitted_array(x):
    return zelnor.millsratio(x)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10**6, help="number of arguments (default 10^6)")
    parser.add_argument("--repeats", type=int, default=15, help="timed passes per contender")
    parser.add_argument("--warmup", type=int, default=3, help="untimed passes per contender")
    parser.add_argument("--seed", type=int, default=20240601, help="seed of the arguments")
    args = parser.parse_args()

    x = np.random.default_rng(args.seed).uniform(-5, 40, args.n)
    out = np.empty_like(x)
    seconds = np.empty(1)
    with tempfile.TemporaryDirectory() as workdir:
        print("compiling the bare C++ loop", file=sys.stderr)
        lib, compiler = build_floor(workdir)

        def floor():
            lib.floor_run(b"millsratio", x.ctypes.data, 0.0, 0, out.ctypes.data, x.size, 1, 0, 1,
                          seconds.ctypes.data)
            return seconds[0]

        def timed(call):
            def run():
                t0 = time.thread_time()
                call()
                return time.thread_time() - t0
            return run

        contenders = {
            LOOP: timed(lambda: jitted_loop(x, out)),
            "jitted zelnor.millsratio(x) on the array": timed(lambda: jitted_array(x)),
            FLOOR + f", {compiler}": floor,
            "ufunc zelnor.millsratio(x, out=o)": timed(lambda: zelnor.millsratio(x, out=out)),
        }
        print("compiling the jitted functions", file=sys.stderr)
        jitted_loop(x, out)
        same = np.array_equal(out.view(np.uint64), zelnor.millsratio(x).view(np.uint64))
        same &= np.array_equal(jitted_array(x).view(np.uint64), zelnor.millsratio(x).view(np.uint64))
        for run in contenders.values():
            for _ in range(args.warmup):
                run()
        times = {name: [] for name in contenders}
        for r in range(args.repeats):
            for name, run in contenders.items():
                times[name].append(run())
            print(f"  repeat {r + 1}/{args.repeats} done", file=sys.stderr)

    print(f"\n{args.n} float64 arguments uniform on [-5, 40]; ns per element, {args.repeats} repeats; "
          f"Numba {numba.__version__}, NumPy {np.__version__}\n")
    print("| contender | min | median |")
    print("|---|---:|---:|")
    for name, ts in times.items():
        print(f"| {name} | {min(ts) / args.n * 1e9:.1f} | {statistics.median(ts) / args.n * 1e9:.1f} |")
    ratio = min(times[LOOP]) / min(times[FLOOR + f", {compiler}"])
    met = ratio <= 1.3
    print(f"\njitted loop / bare C++ loop: {ratio:.3f} (target <= 1.3) {'met' if met else 'MISSED'}")
    print(f"jitted results equal to the ufunc's bit for bit: {same}")
    return 0 if met and same else 1


if __name__ == "__main__":
    sys.exit(main())
