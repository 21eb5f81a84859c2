"""Batch throughput: one scalar function of about fifty operations over a
million instances, through Program.eval_many and as vectorised numpy over
arrays of a million values, measured side by side in one run.

Run by hand (never part of the tests):

    PYTHONPATH=build/<dir>:python python3 bench/batch.py [instances] [rounds]

Three ways are timed, best of `rounds`, in wall time and in process CPU
time (the pool's threads included; the machines are shared, so a wall-time
speed-up needs idle cores, while equal CPU times show the split costs
nothing extra):
- eval_many on the whole batch (large batches are split over the thread
  pool, so this uses every core);
- the same batch as calls of 9999 instances, which stay on the calling
  thread: the single-core rate, and with it the pool's speed-up;
- numpy's ufuncs over whole columns (single-threaded).
Inputs and outputs are float64 arrays in every case, so neither side pays
for Python floats; eval_many writes into a preallocated `out`.
"""

import os
import sys
import time

import numpy as np

import _vantu

SEQUENTIAL_CALL = 9999  # below the batch size that goes to the thread pool


def body(x, y, z, sin, exp, sqrt, tanh):
    """About fifty operations on three inputs; `sin` and friends are the
    elementwise functions of whichever side runs it."""
    a = x * y + z
    b = sin(a) * 0.5 - y
    c = exp(-(x * x)) + b * z
    d = sqrt(c * c + 1.0) / (a * a + 2.0)
    e = tanh(d - x) * (b + 3.0)
    f = (a - b) * (c + d) - e * 0.25
    g = sin(f * 0.125) + exp(e * 0.01) * y
    h = (g * g - f) / (d + 4.0) + a * 1.5
    i = sqrt(h * h + g * g) - tanh(c * 0.5)
    j = (i + a) * (b - c) + (d * e - f) * 0.75
    k = sin(j * 0.001) * i + g / (h * h + 1.0)
    return [k - j * 0.5, k * e + z]


def traced():
    s = _vantu.Scope()
    x, y, z = s.input("x"), s.input("y"), s.input("z")
    outs = body(
        x, y, z, lambda t: t.sin(), lambda t: t.exp(), lambda t: t.sqrt(), lambda t: t.tanh()
    )
    return s.compile(outs)


def best(fn, rounds):
    """Best wall time and best process CPU time (all threads) of `rounds` calls."""
    fn()
    wall, cpu = [], []
    for _ in range(rounds):
        c0, t0 = time.process_time(), time.perf_counter()
        fn()
        wall.append(time.perf_counter() - t0)
        cpu.append(time.process_time() - c0)
    return min(wall), min(cpu)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    p = traced()
    rng = np.random.default_rng(7)
    cols = rng.uniform(-2.0, 2.0, (3, n))
    rows = np.ascontiguousarray(cols.T)  # instance after instance
    flat = rows.reshape(-1)
    out = np.empty(n * p.n_outputs)

    def vantu_batch():
        p.eval_many(flat, out=out)

    step = SEQUENTIAL_CALL * 3

    def vantu_sequential():
        for start in range(0, flat.size, step):
            part = flat[start : start + step]
            p.eval_many(part, out=out[start // 3 * 2 : (start + part.size) // 3 * 2])

    x, y, z = cols

    def numpy_batch():
        return body(x, y, z, np.sin, np.exp, np.sqrt, np.tanh)

    # The three agree bit for bit where the scalar functions agree; check the
    # arithmetic shape at least, so that the timings compare like with like.
    vantu_batch()
    ref = numpy_batch()
    got = out.reshape(n, p.n_outputs).T
    worst = max(float(np.max(np.abs(got[k] - ref[k]) / (1.0 + np.abs(ref[k])))) for k in range(2))
    assert worst < 1e-9, worst

    t_batch, c_batch = best(vantu_batch, rounds)
    t_seq, c_seq = best(vantu_sequential, rounds)
    t_np, c_np = best(numpy_batch, rounds)
    print(f"function: {p.n_ops} tape instructions, 3 inputs, {p.n_outputs} outputs; {n} instances")
    print(f"cores: {os.cpu_count()}; load average {os.getloadavg()[0]:.1f}; best of {rounds} rounds")
    print(f"  {'':<28} {'M instances/s':>14} {'wall ms':>9} {'cpu ms':>9}")
    for name, t, c in (
        ("eval_many, one call", t_batch, c_batch),
        (f"eval_many, calls of {SEQUENTIAL_CALL}", t_seq, c_seq),
        ("numpy, vectorised", t_np, c_np),
    ):
        print(f"  {name:<28} {n / t / 1e6:14.2f} {t * 1e3:9.1f} {c * 1e3:9.1f}")
    print(f"eval_many time / numpy time, one call:   {t_batch / t_np:6.2f}")
    print(f"eval_many time / numpy time, one thread: {t_seq / t_np:6.2f}")
    print(f"thread pool speed-up (wall):             {t_seq / t_batch:6.2f}")


if __name__ == "__main__":
    main()
