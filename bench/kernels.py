"""Dense kernels and interpreter throughput beside numpy, measured in one run.

Run by hand (never part of the tests):

    cmake -S . -B build/<dir> -G Ninja -DVANTU_BENCH=ON && ninja -C build/<dir> bench_kernels
    python3 bench/kernels.py build/<dir>/bench_kernels [seconds per measurement]

The C++ program (bench/kernels.cpp) times the kernels; this script times
numpy on the same sizes with the call overhead amortised: stacked 3-D
batches through numpy.matmul and numpy.linalg.solve, about 4 MB of operands
per call for the small sizes.

Both sides are timed in CPU time, not wall time, because the machines this
runs on are shared: a descheduled process must not look like a slow kernel.
Our kernels run on one core, so numpy's BLAS is held to one thread as well
(OPENBLAS_NUM_THREADS=1) unless the variable is already set.
"""

import os
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402  (after the thread setting, which BLAS reads at load)

SIZES = (4, 8, 32, 128, 512)
BATCH_SIZES = (2, 3, 4, 8, 16)


def instances(n):
    return max(1, (1 << 19) // (n * n))


def rate(work, body, seconds):
    """Units of work per second: best of three rounds of repeated calls."""
    body()
    best = 0.0
    for _ in range(3):
        calls = 0
        t0 = time.process_time()
        while True:
            body()
            calls += 1
            dt = time.process_time() - t0
            if dt >= seconds / 3:
                break
        best = max(best, work * calls / dt)
    return best


def numpy_rates(seconds):
    rng = np.random.default_rng(42)
    res = {}
    for n in SIZES:
        b = instances(n)
        a = rng.uniform(-1, 1, (b, n, n))
        m = rng.uniform(-1, 1, (b, n, n))
        v = rng.uniform(-1, 1, (b, n, 1))
        out_v = np.empty((b, n, 1))
        out_m = np.empty((b, n, n))
        flops = 2.0 * n * n * b
        res["gemv", n] = 1e-9 * rate(flops, lambda: np.matmul(a, v, out=out_v), seconds)
        res["gemm", n] = 1e-9 * rate(flops * n, lambda: np.matmul(a, m, out=out_m), seconds)
        solve_flops = (2.0 / 3.0 * n**3 + 2.0 * n * n) * b
        res["solve", n] = 1e-9 * rate(solve_flops, lambda: np.linalg.solve(a, v), seconds)
    for n in BATCH_SIZES:
        b = 4096
        a = rng.uniform(-1, 1, (b, n, n))
        v = rng.uniform(-1, 1, (b, n, 1))
        res["solve_batch", n] = 1e9 / rate(b, lambda: np.linalg.solve(a, v), seconds)
    return res


def ours(exe, seconds):
    text = subprocess.run([exe, str(seconds)], check=True, capture_output=True, text=True).stdout
    res = {}
    for line in text.splitlines():
        what, size, value = line.split()
        res[what, int(size)] = float(value)
    return res


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    exe = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 0.3
    mine = ours(exe, seconds)
    theirs = numpy_rates(seconds)

    print(f"numpy {np.__version__}, OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS', '(unset)')}")
    for (what, size), value in mine.items():
        if what.startswith("interp_"):
            order = "random" if what == "interp_random" else "repeating"
            print(f"interpreter: {value / 1e6:.0f} M instructions/s on a {size}-instruction scalar tape, "
                  f"kinds in {order} order")
    print()
    print(f"{'kernel':<8}{'n':>5}{'vantu GFLOP/s':>15}{'numpy GFLOP/s':>15}{'ratio':>8}")
    for what in ("gemv", "gemm", "solve"):
        for n in SIZES:
            a, b = mine[what, n], theirs[what, n]
            print(f"{what:<8}{n:>5}{a:>15.2f}{b:>15.2f}{a / b:>8.2f}")
    print()
    print(f"{'batched solve':<14}{'n':>3}{'vantu ns/system':>17}{'numpy ns/system':>17}{'speed-up':>10}")
    for n in BATCH_SIZES:
        a, b = mine["solve_batch", n], theirs["solve_batch", n]
        print(f"{'':<14}{n:>3}{a:>17.1f}{b:>17.1f}{b / a:>10.2f}")


if __name__ == "__main__":
    main()
