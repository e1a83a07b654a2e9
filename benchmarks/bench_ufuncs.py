"""Time the ufunc zelnor.millsratio against the SciPy erfcx route and a bare C++ loop, in one run.

    R(x) = sqrt(pi/2) erfcx(x/sqrt(2))        (the SciPy route, written into preallocated buffers)

The bare loop (benchmarks/ufunc_floor.cpp) calls zelnor::MillsRatio<T> out of line once per element;
it is compiled here with g++ -O2 and with -O3 (the optimisation the extension modules are built with)
against zelnor.get_include() and loaded with ctypes. The arguments are uniform on [-5, 40], so the
loop keeps switching between the reflection, the polynomial pieces and the continued fractions;
mispredicted branches between those regimes take about half the time, as the row with the same
arguments sorted shows.

Each contender runs `--warmup` untimed passes, then `--repeats` timed ones, interleaved with the
other contenders so that a slow moment of a shared machine hits them all. Each pass is timed in CPU
time of the calling thread, where every contender runs, so that time the machine gives to other
processes is not counted. Prints a Markdown table (min and median per element) and the targets,
judged on the minima; exits 1 if a target is missed:
  float64 ufunc <= 0.6 x the SciPy route and <= 1.1 x the faster bare loop; float32 ufunc no slower
  than float64 (ratio <= 1.02, the scatter of repeated runs).
With --dask, also times 10^7 elements in 10 chunks on a two-process dask.distributed LocalCluster.
"""
import argparse
import ctypes
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import zelnor

HERE = os.path.dirname(os.path.abspath(__file__))
SCIPY = "SciPy route sqrt(pi/2) erfcx(x/sqrt(2)), float64"
UFUNC64 = "zelnor.millsratio(x, out=o), float64"
UFUNC32 = "zelnor.millsratio(x, out=o), float32"
OPTS = ("-O2", "-O3")


def build_floor(workdir, opt):
    """Compile the bare loop with the package's kernel source at optimisation `opt` and load it."""
    include = zelnor.get_include()
    lib = os.path.join(workdir, f"libufunc_floor{opt}.so")
    cmd = ["g++", opt, "-std=c++17", "-ffp-contract=off", "-fwrapv", "-fPIC", "-shared",
           "-I", include, os.path.join(HERE, "ufunc_floor.cpp"),
           os.path.join(include, "_kernels", "mills.cpp"), "-o", lib]
    subprocess.run(cmd, check=True)
    dll = ctypes.CDLL(lib)
    loops = {}
    for ctype, np_type, name in ((ctypes.c_double, np.float64, "double"),
                                 (ctypes.c_float, np.float32, "float")):
        f = getattr(dll, f"floor_millsratio_{name}")
        f.restype = None
        f.argtypes = [ctypes.POINTER(ctype), ctypes.POINTER(ctype), ctypes.c_long]
        loops[np_type] = f
    return loops


def floor_name(t, opt):
    return f"bare C++ loop over MillsRatio<{t}>, g++ {opt}"


def floor_call(loop, x, out):
    ctype = np.ctypeslib.as_ctypes_type(x.dtype)
    px = x.ctypes.data_as(ctypes.POINTER(ctype))
    po = out.ctypes.data_as(ctypes.POINTER(ctype))
    return lambda: loop(px, po, x.size)


def contenders(x64, floors):
    from scipy.special import erfcx

    x32 = x64.astype(np.float32)
    o64, o32, t64 = np.empty_like(x64), np.empty_like(x32), np.empty_like(x64)
    inv_sqrt2, sqrt_pi_2 = 1 / np.sqrt(2), np.sqrt(np.pi / 2)

    def scipy_route():
        np.multiply(x64, inv_sqrt2, out=t64)
        erfcx(t64, out=t64)
        np.multiply(t64, sqrt_pi_2, out=t64)

    funcs = {SCIPY: scipy_route}
    for opt, loops in floors.items():
        funcs[floor_name("double", opt)] = floor_call(loops[np.float64], x64, o64)
    funcs[UFUNC64] = lambda: zelnor.millsratio(x64, out=o64)
    funcs["zelnor.millsratio(x), float64"] = lambda: zelnor.millsratio(x64)
    sorted64 = np.sort(x64)
    funcs["zelnor.millsratio(x, out=o), float64, x sorted"] = lambda: zelnor.millsratio(sorted64, out=o64)
    for opt, loops in floors.items():
        funcs[floor_name("float", opt)] = floor_call(loops[np.float32], x32, o32)
    funcs[UFUNC32] = lambda: zelnor.millsratio(x32, out=o32)
    return funcs


def measure(funcs, warmup, repeats):
    for f in funcs.values():
        for _ in range(warmup):
            f()
    times = {name: [] for name in funcs}
    for r in range(repeats):
        for name, f in funcs.items():
            t0 = time.thread_time()
            f()
            times[name].append(time.thread_time() - t0)
        print(f"  repeat {r + 1}/{repeats} done", file=sys.stderr)
    return times


def time_dask(seed, repeats=3):
    """Each timed computation gets inputs of its own: Dask names a result by its graph, and a graph
    computed before would be answered from the workers' memory."""
    import dask.array as da
    from distributed import Client, LocalCluster, wait

    n, chunk = 10**7, 10**6
    print("  starting a LocalCluster of two worker processes", file=sys.stderr)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(2)
        inputs = [client.persist(da.random.default_rng(seed + k).uniform(-5, 40, n, chunks=chunk))
                  for k in range(2 * repeats)]
        wait(inputs)
        runs = {"computed on the workers": lambda x: wait(client.persist(zelnor.millsratio(x))),
                "computed and gathered here": lambda x: zelnor.millsratio(x).compute()}
        times = {label: [] for label in runs}
        same = True
        for k, x in enumerate(inputs):
            label = list(runs)[k % 2]
            t0 = time.perf_counter()
            result = runs[label](x)
            times[label].append(time.perf_counter() - t0)
            if label == "computed and gathered here":
                x_np = x.compute()
                t0 = time.perf_counter()
                expected = zelnor.millsratio(x_np)
                times.setdefault("NumPy in this process", []).append(time.perf_counter() - t0)
                same &= np.array_equal(result.view(np.uint64), expected.view(np.uint64))
    print(f"\n10^7 float64 arguments uniform on [-5, 40] in 10 chunks, already on the workers of a "
          f"two-process LocalCluster; best of {repeats}:")
    for label, ts in times.items():
        print(f"  {label}: {min(ts) * 1e3:.0f} ms")
    print(f"  bit for bit equal to NumPy: {same}")
    return same


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10**6, help="number of arguments (default 10^6)")
    parser.add_argument("--repeats", type=int, default=15, help="timed passes per contender")
    parser.add_argument("--warmup", type=int, default=3, help="untimed passes per contender")
    parser.add_argument("--seed", type=int, default=20240601, help="seed of the arguments")
    parser.add_argument("--dask", action="store_true", help="also time Dask on a LocalCluster")
    args = parser.parse_args()

    x64 = np.random.default_rng(args.seed).uniform(-5, 40, args.n)
    with tempfile.TemporaryDirectory() as workdir:
        print("compiling the bare C++ loops", file=sys.stderr)
        funcs = contenders(x64, {opt: build_floor(workdir, opt) for opt in OPTS})
        print(f"timing {len(funcs)} contenders on {args.n} arguments", file=sys.stderr)
        times = measure(funcs, args.warmup, args.repeats)

    print(f"\n{args.n} arguments uniform on [-5, 40]; ns per element, {args.repeats} repeats\n")
    print("| contender | min | median |")
    print("|---|---:|---:|")
    for name, ts in times.items():
        print(f"| {name} | {min(ts) / args.n * 1e9:.1f} | {statistics.median(ts) / args.n * 1e9:.1f} |")

    best = {name: min(ts) for name, ts in times.items()}
    ufunc64, ufunc32 = best[UFUNC64], best[UFUNC32]
    floor64 = min(best[floor_name("double", opt)] for opt in OPTS)
    targets = [
        ("float64 ufunc / SciPy route", ufunc64 / best[SCIPY], 0.6),
        ("float64 ufunc / faster bare loop", ufunc64 / floor64, 1.1),
        # "No slower", up to the 2 % by which the minima of repeated runs scatter.
        ("float32 ufunc / float64 ufunc", ufunc32 / ufunc64, 1.02),
    ]
    print()
    ok = True
    for label, ratio, limit in targets:
        met = ratio <= limit
        ok &= met
        print(f"{label}: {ratio:.3f} (target <= {limit}) {'met' if met else 'MISSED'}")
    if args.dask:
        ok &= time_dask(args.seed)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
