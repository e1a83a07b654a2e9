#!/usr/bin/env python3
"""Time zelnor.mills and zelnor.divdiff at 1, 10^3 and 10^6 elements against the SciPy route a user
would write instead and against the floor: a bare C++ loop calling the exported C entry point once
per element (benchmarks/floor.cpp, compiled here with the package's flags and timed inside C++).

Arguments are mixed over the regimes of each function and drawn from a fixed seed; a size of 1 is
a Python float (a scalar call). For each function and size the three contenders are timed in
rounds, one repeat of each per round, so that a burst of load from elsewhere hits all of them
alike; each repeat runs enough calls to last --min-time seconds, after --warmup untimed calls.
Time is the CPU time of the calling thread (page faults of fresh output arrays included), so that
waiting for a core on a shared machine is not counted. Reported: nanoseconds per element, minimum
and median over the repeats; the ratios use the minima. The run prints a Markdown table with the
machine and the date, and the ratios the package promises; --strict exits 1 when one of those is
missed.
"""

import argparse
import ctypes
import datetime
import gc
import math
import os
import platform
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
import scipy

import zelnor
from zelnor import divdiff, mills

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
import scipy_routes as sr  # noqa: E402

# The flags the package compiles its kernels with (the release build type and the project's own
# arguments in meson.build), so that the floor runs the same machine code per call.
CXXFLAGS = ["-O3", "-std=c++17", "-ffp-contract=off", "-fno-fast-math", "-fwrapv", "-fPIC",
            "-fvisibility=hidden", "-DNDEBUG"]
KERNEL_SOURCES = ["_kernels/mills.cpp", "_kernels/divdiff.cpp"]
SIZES = (1, 1000, 1000000)


# ---------------------------------------------------------------------------
# Mixed arguments
# ---------------------------------------------------------------------------

def mixture(rng, n, pieces):
    """n values, shuffled: equal shares of the pieces (kind, lo, hi), 'lin' uniform on [lo, hi],
    'log' log-uniform."""
    parts = []
    for k, (kind, lo, hi) in enumerate(pieces):
        m = n * (k + 1) // len(pieces) - n * k // len(pieces)
        if kind == "lin":
            parts.append(rng.uniform(lo, hi, m))
        else:
            parts.append(np.exp(rng.uniform(math.log(lo), math.log(hi), m)))
    return rng.permutation(np.concatenate(parts))


def whole_line(rng, n):
    """Reflection, the piece tables and the continued-fraction tail in equal shares."""
    return mixture(rng, n, [("lin", -30.0, 0.0), ("lin", 0.0, 1.0), ("lin", 1.0, 9.5),
                            ("log", 9.5, 1e4)])


def unit_interval(rng, n):
    return rng.uniform(0.0, 1.0, n)


def dd_midpoints(rng, n):
    """With dx = 0.05: the direct difference for x below 0.03, the Taylor series up to x = 21.25,
    the continued-fraction regime beyond, a quarter of them in the tail up to 1e4."""
    return mixture(rng, n, [("lin", -1.0, 60.0), ("lin", -1.0, 60.0), ("lin", -1.0, 60.0),
                            ("log", 60.0, 1e4)])


def rs_midpoints(rng, n):
    return rng.uniform(-20.0, 60.0, n)


def cf_midpoints(rng, n):
    return mixture(rng, n, [("log", 21.3, 1e6)])


@dataclass(frozen=True)
class Bench:
    label: str
    zelnor: Callable          # (x, dx) -> values; dx is None for one-argument functions
    route: Callable
    route_label: str
    floor: str                # the name floor.cpp knows the entry point by
    midpoints: Callable       # (rng, n) -> x
    dx: float = None          # the scalar half-step of the divided differences
    k: int = 0                # theta or n_terms of the floor loop


BENCHES = [
    Bench("millsratio", lambda x, dx: mills.millsratio(x), lambda x, dx: sr.millsratio(x),
          "sqrt(pi/2)*erfcx(x/sqrt(2))", "millsratio", whole_line),
    Bench("millsratio_d1", lambda x, dx: mills.millsratio_d1(x),
          lambda x, dx: sr.millsratio_d1(x), "1 - x*R", "millsratio_d1", whole_line),
    Bench("millsratio_d3", lambda x, dx: mills.millsratio_d3(x),
          lambda x, dx: sr.millsratio_d3(x), "x**2 + 2 - x*(x**2 + 3)*R", "millsratio_d3",
          whole_line),
    Bench("millsratio_rel_below1", lambda x, dx: mills.millsratio_rel_below1(x),
          lambda x, dx: sr.millsratio_rel_below1(x), "(sqrt(pi/2) - R)/x",
          "millsratio_rel_below1", unit_interval),
    Bench("millsratio_dd(x, 0.05)", divdiff.millsratio_dd, sr.millsratio_dd,
          "(R(x - dx) - R(x + dx))/(2*dx)", "millsratio_dd", dd_midpoints, 0.05, 1),
    Bench("millsratio_dd(x, 0.5, -1)", lambda x, dx: divdiff.millsratio_dd(x, dx, -1),
          sr.reflected_sum, "(R(dx - x) + R(x + dx))/(2*dx)", "millsratio_dd", rs_midpoints,
          0.5, -1),
    Bench("millsratio_dd_cf(x, 0.05)", divdiff.millsratio_dd_cf,
          lambda x, dx: sr.convergent_dd(x, dx, 4),
          "NumPy: (K(x - dx) - K(x + dx))/(2*dx)", "millsratio_dd_cf", cf_midpoints, 0.05, 4),
]


# ---------------------------------------------------------------------------
# The floor
# ---------------------------------------------------------------------------

def build_floor(workdir):
    """Compile floor.cpp and the installed kernel sources, each on its own, into one shared
    library, and load it."""
    include = zelnor.get_include()
    compiler = os.environ.get("CXX", "g++")
    objects = []
    for source in [HERE / "floor.cpp"] + [Path(include) / s for s in KERNEL_SOURCES]:
        obj = Path(workdir) / (source.stem + ".o")
        subprocess.run([compiler, *CXXFLAGS, "-I", include, "-c", str(source), "-o", str(obj)],
                       check=True)
        objects.append(str(obj))
    library = Path(workdir) / "floor.so"
    subprocess.run([compiler, "-shared", *objects, "-o", str(library), "-lm"], check=True)
    lib = ctypes.CDLL(str(library))
    lib.floor_run.restype = ctypes.c_int
    lib.floor_run.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_double, ctypes.c_int,
                              ctypes.c_void_p, ctypes.c_long, ctypes.c_long, ctypes.c_int,
                              ctypes.c_int, ctypes.c_void_p]
    return lib, compiler


class Floor:
    """The bare C++ loop for one function and one argument array."""

    def __init__(self, lib, bench, x):
        self.lib, self.bench = lib, bench
        self.x = np.ascontiguousarray(np.atleast_1d(x), dtype=np.float64)
        self.out = np.empty_like(self.x)
        self.seconds = np.empty(1)

    def run(self, inner, warmup=0):
        ok = self.lib.floor_run(self.bench.floor.encode(), self.x.ctypes.data,
                                self.bench.dx or 0.0, self.bench.k, self.out.ctypes.data,
                                self.x.size, inner, warmup, 1, self.seconds.ctypes.data)
        if not ok:
            raise RuntimeError("floor.cpp does not know " + self.bench.floor)
        return self.seconds[0]


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

def python_timer(call):
    def run(inner, warmup=0):
        for _ in range(warmup):
            call()
        start = time.thread_time()
        for _ in range(inner):
            call()
        return time.thread_time() - start
    return run


def calibrate(run, min_time):
    """Calls per repeat so that one repeat lasts about min_time seconds."""
    once = max(run(1), 1e-9)
    if once >= min_time:
        return 1
    inner = max(1, int(min_time / once))
    return max(1, int(inner * min_time / max(run(inner), 1e-9)))


def measure(timers, options):
    """Per-call times of each timer: {name: array over repeats}, the timers taking turns."""
    inners = {}
    for name, run in timers.items():
        run(1, options.warmup)
        inners[name] = calibrate(run, options.min_time)
    times = {name: [] for name in timers}
    gc.disable()
    try:
        for _ in range(options.repeats):
            for name, run in timers.items():
                times[name].append(run(inners[name]) / inners[name])
    finally:
        gc.enable()
    return {name: np.array(t) for name, t in times.items()}


def check_same(bench, x, lib):
    """The three contenders compute the same thing: zelnor equals the floor bit for bit and the
    route agrees where it is accurate (a wrong call would otherwise be timed unnoticed)."""
    floor = Floor(lib, bench, x)
    floor.run(1)
    got = np.atleast_1d(bench.zelnor(x, bench.dx))
    if not np.array_equal(got, floor.out, equal_nan=True):
        raise RuntimeError("%s: the module and the floor loop disagree" % bench.label)
    route = np.atleast_1d(bench.route(x, bench.dx))
    with np.errstate(all="ignore"):
        close = np.abs(route - got) <= 1e-6 * np.abs(got)
    if np.mean(close) < 0.5:
        raise RuntimeError("%s: the route disagrees with zelnor at most arguments" % bench.label)


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------

def ns(t, n):
    v = t * 1e9 / n
    return "%.3g" % v if v < 100 else "%.0f" % v


def machine():
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        lines = lscpu.splitlines()[:10]
    except (OSError, subprocess.CalledProcessError):
        lines = [platform.processor() or platform.machine()]
    return lines


def markdown(rows, compiler, options):
    compiler_version = subprocess.run([compiler, "--version"], capture_output=True,
                                      text=True).stdout.splitlines()[0]
    lines = [
        "Nanoseconds per element (CPU time of the calling thread), minimum (median) over %d "
        "repeats; a size of 1 is a Python float. "
        "Floor: a bare C++ loop calling the exported entry point once per element, timed in C++. "
        "Ratios from the minima." % options.repeats,
        "",
        "| function | elements | zelnor | SciPy route | C++ floor | zelnor/floor | "
        "zelnor/route | route |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for bench, n, t in rows:
        z, r, f = t["zelnor"], t["route"], t["floor"]
        lines.append("| `%s` | %d | %s (%s) | %s (%s) | %s (%s) | %.2f | %.2f | `%s` |"
                     % (bench.label, n, ns(z.min(), n), ns(np.median(z), n), ns(r.min(), n),
                        ns(np.median(r), n), ns(f.min(), n), ns(np.median(f), n),
                        z.min() / f.min(), z.min() / r.min(), bench.route_label))
    lines += [
        "",
        "Measured %s with Python %s, NumPy %s, SciPy %s, zelnor %s; floor built by %s with %s. "
        "Machine (`lscpu | head`):" % (datetime.date.today().isoformat(),
                                       platform.python_version(), np.__version__,
                                       scipy.__version__, zelnor.__version__, compiler_version,
                                       " ".join(CXXFLAGS)),
        "",
        "```",
        *machine(),
        "```",
    ]
    return lines


def promises(rows):
    """The ratios the package promises at 10^6 elements: (text, ratio, limit)."""
    big = {bench.label: t for bench, n, t in rows if n == max(SIZES)}
    checks = []

    def add(text, label, over, limit):
        if label in big:
            checks.append((text, big[label]["zelnor"].min() / big[label][over].min(), limit))

    add("millsratio / SciPy erfcx route", "millsratio", "route", 1.0)
    add("millsratio / C++ floor (zelnor.mills promise)", "millsratio", "floor", 1.2)
    add("millsratio / C++ floor (benchmark acceptance)", "millsratio", "floor", 1.25)
    add("millsratio_d1 / SciPy 1 - x*R route", "millsratio_d1", "route", 1.0)
    add("millsratio_dd, scalar dx / C++ floor", "millsratio_dd(x, 0.05)", "floor", 1.3)
    return checks


def parse_command_line():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=15, help="timed repeats (default 15)")
    parser.add_argument("--warmup", type=int, default=3,
                        help="untimed calls before timing (default 3)")
    parser.add_argument("--min-time", type=float, default=0.02,
                        help="seconds one repeat should last at least (default 0.02)")
    parser.add_argument("--sizes", type=int, nargs="+", default=list(SIZES),
                        help="element counts (default 1 1000 1000000)")
    parser.add_argument("--only", action="append", choices=[b.label for b in BENCHES],
                        help="time only this function (repeatable)")
    parser.add_argument("--seed", type=int, default=20240611, help="seed of the arguments")
    parser.add_argument("--markdown", type=Path, help="also write the table to this file")
    parser.add_argument("--strict", action="store_true",
                        help="exit 1 if a promised ratio is missed")
    return parser.parse_args()


def main():
    options = parse_command_line()
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="zelnor-floor-") as workdir:
        print("building the C++ floor ...", file=sys.stderr, flush=True)
        lib, compiler = build_floor(workdir)
        rows = []
        for bench in BENCHES:
            if options.only and bench.label not in options.only:
                continue
            x_all = bench.midpoints(np.random.default_rng(options.seed), max(options.sizes))
            check_same(bench, x_all[:1000], lib)
            for n in options.sizes:
                x = float(x_all[0]) if n == 1 else x_all[:n].copy()
                floor = Floor(lib, bench, x)
                timers = {"zelnor": python_timer(lambda: bench.zelnor(x, bench.dx)),
                          "route": python_timer(lambda: bench.route(x, bench.dx)),
                          "floor": floor.run}
                with np.errstate(all="ignore"):
                    times = measure(timers, options)
                rows.append((bench, n, times))
                print("  %-26s n=%-8d zelnor %s, route %s, floor %s ns/element (%.0f s)"
                      % (bench.label, n, ns(times["zelnor"].min(), n), ns(times["route"].min(), n),
                         ns(times["floor"].min(), n), time.monotonic() - start),
                      file=sys.stderr, flush=True)
    lines = markdown(rows, compiler, options)
    print("\n".join(lines))
    if options.markdown:
        options.markdown.write_text("\n".join(lines) + "\n")
    missed = 0
    print()
    for text, ratio, limit in promises(rows):
        ok = ratio <= limit
        missed += not ok
        print("%-48s %.3f (limit %.2f) %s" % (text, ratio, limit, "ok" if ok else "MISSED"))
    return 1 if options.strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
