"""Benchmark of the Python package daskel.

1. Slices per second of daskel.dask.segment_stack on a stack of noisy pictures (default 64 of
   512 x 512, the tool's default settings), on a LocalCluster of one and of two worker processes
   with one thread each, beside a plain loop of daskel.segment in this process. The clusters are
   started, and daskel loaded in their workers, before the clock starts.
2. The overhead of daskel.solve over the same solver call made from C++ (daskel_call_timing),
   on one 256 x 256 x 3 problem, with float32 arrays in Fortran order (nothing to convert) and
   with float64 arrays in C order (rounded and reordered first). Whole calls in both languages,
   and, since the machine's noise is larger than the overhead, the parts of the overhead on
   their own: the Python half (checks and conversions, the compiled call replaced by one that
   returns at once) and the crossing into the extension (daskel._core.solve on 2 x 2 x 1).
   The calling thread's processor time (the solver runs on it), which other work on a shared
   machine disturbs less than wall time; medians of many calls, the C++ and Python batches
   alternating, the best median of each kept.

Run from the repository root after a build:

    PYTHONPATH=build/python /usr/bin/python3 python/bench/python_bench.py \
        --call-timing build/python/daskel_call_timing

The machines here are shared: compare figures from one run.
"""

import argparse
import statistics
import subprocess
import tempfile
import time

import numpy as np

import daskel
import daskel.dask


def noisy_stack(slices, size, seed=1):
    """uint8 pictures of three intensities in blobs that move from slice to slice, with noise
    of a quarter of the gap between the intensities."""
    random = np.random.default_rng(seed)
    i, j = np.mgrid[0:size, 0:size] / size
    stack = np.empty((slices, size, size), np.uint8)
    for s in range(slices):
        phase = 2 * np.pi * s / slices
        field = np.sin(6 * i + phase) + np.cos(5 * j - phase)
        clean = np.select([field < -0.5, field < 0.6], [50, 130], 210)
        stack[s] = np.clip(clean + random.normal(0, 20, (size, size)), 0, 255)
    return stack


def stack_rates(stack, worker_counts):
    """Slices per second of a plain loop and of each cluster size."""
    from distributed import Client, LocalCluster

    start = time.perf_counter()
    for picture in stack:
        daskel.segment(picture)
    rates = {"loop in this process": len(stack) / (time.perf_counter() - start)}
    for workers in worker_counts:
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster):
            daskel.dask.segment_stack(stack[:workers]).compute()  # load daskel in every worker
            start = time.perf_counter()
            daskel.dask.segment_stack(stack).compute()
            rates[f"{workers} worker{'s' if workers > 1 else ''}"] = (
                len(stack) / (time.perf_counter() - start))
    return rates


def median_seconds(call, calls):
    """The median processor time of this thread per call."""
    times = []
    for _ in range(calls):
        start = time.thread_time()
        call()
        times.append(time.thread_time() - start)
    return statistics.median(times)


class _ReturnAtOnce:
    """Stands in for daskel._core: the Python half of daskel.solve without the solve."""

    @staticmethod
    def solve(*arguments):
        return None, 0


def solve_times(call_timing, calls, batches):
    """Seconds per call of the C++ call, of daskel.solve, and of the parts of its overhead, on a
    256 x 256 x 3 problem."""
    random = np.random.default_rng(2)
    shape = (256, 256, 3)
    costs = random.uniform(0.0, 2.0, shape)
    u0 = np.full(shape, 1.0 / 3.0)
    costs32, u032 = np.asfortranarray(costs, np.float32), np.asfortranarray(u0, np.float32)
    tiny = np.asfortranarray(np.full((2, 2, 1), 0.5, np.float32))
    python = {"float32 Fortran order": (costs32, u032), "float64 C order": (costs, u0)}
    with tempfile.NamedTemporaryFile(suffix=".problem") as problem:
        problem.write(np.array(shape, "<i4").tobytes() + np.array([0.4, 4.0], "<f4").tobytes()
                      + costs32.tobytes(order="F") + u032.tobytes(order="F"))
        problem.flush()
        best = {}
        for _ in range(batches):
            run = subprocess.run([call_timing, problem.name, str(calls)], check=True,
                                 capture_output=True, text=True)
            medians = {"C++ call": float(run.stdout)}
            for name, (c, u) in python.items():
                medians[f"daskel.solve, {name}"] = median_seconds(
                    lambda: daskel.solve(c, u, 0.4, 4.0), calls)
            solver, daskel._solve._core = daskel._solve._core, _ReturnAtOnce
            try:
                for name, (c, u) in python.items():
                    medians[f"  its Python half, {name}"] = median_seconds(
                        lambda: daskel.solve(c, u, 0.4, 4.0), 10 * calls)
            finally:
                daskel._solve._core = solver
            medians["  the crossing (2 x 2 x 1 solve)"] = median_seconds(
                lambda: daskel._core.solve(tiny, tiny, 0.4, 4.0, 0), 10 * calls)
            for name, seconds in medians.items():
                best[name] = min(best.get(name, seconds), seconds)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--call-timing", required=True, help="the daskel_call_timing program")
    parser.add_argument("--slices", type=int, default=64)
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--calls", type=int, default=40, help="solver calls per batch")
    parser.add_argument("--batches", type=int, default=3)
    arguments = parser.parse_args()

    times = solve_times(arguments.call_timing, arguments.calls, arguments.batches)
    base = times["C++ call"]
    print(f"{'256 x 256 x 3 solve':42s} CPU ms per call   share of the C++ call")
    for name, seconds in times.items():
        print(f"{name:42s} {1e3 * seconds:9.3f}   {100 * seconds / base:7.2f} %")

    stack = noisy_stack(arguments.slices, arguments.size)
    title = f"{arguments.slices} slices of {arguments.size} x {arguments.size}"
    print(f"\n{title:42s} slices per second")
    for name, rate in stack_rates(stack, arguments.workers).items():
        print(f"{name:42s} {rate:9.2f}")


if __name__ == "__main__":
    main()
