"""Derivative programs from Python: construction and evaluation cost.

Run by hand:  PYTHONPATH=build/dev:python python3 bench/derivatives.py

1. A scalar function of 1000 inputs with about 10^5 nodes (a seeded random
   DAG of the common operations). Reports the nodes the gradient adds per
   second of `Scope.gradient` (derivative construction plus compilation of
   the gradient program), and the gradient's evaluation time as a multiple
   of the function's (reverse mode promises a small constant, about 3 to 5).
2. The sparse Jacobian of a banded 1000-output residual (a discretised 1-D
   reaction-diffusion equation) through `vantu.jacobian(..., sparse=True)`:
   first call (trace, differentiate, compile), cached calls, and the ratio to
   evaluating the residual itself.
"""

import random
import time

import numpy

import _vantu
import vantu


def best_of(fn, repeat=5, number=1):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def random_function(scope, n_inputs, target_nodes, seed=7):
    rng = random.Random(seed)
    pool = [scope.input() for _ in range(n_inputs)]
    while scope.n_nodes() < target_nodes:
        a = pool[rng.randrange(len(pool))]
        b = pool[len(pool) - 1 - rng.randrange(min(len(pool), 64))]
        k = rng.randrange(8)
        if k == 0:
            v = a + b
        elif k == 1:
            v = a * b
        elif k == 2:
            v = a - 0.5 * b
        elif k == 3:
            v = (a * 0.25).sin()
        elif k == 4:
            v = a / (1.0 + b * b)
        elif k == 5:
            v = _vantu.reduce("max", [a, b])
        elif k == 6:
            v = (a * 0.01).exp()
        else:
            v = _vantu.select(a > b, a, b * 0.5)
        pool.append(v)
    # Every value reaches the output, so the whole graph is the function.
    return _vantu.reduce("sum", pool[n_inputs:])


def gradient_case():
    n_inputs, target = 1000, 100_000
    s = _vantu.Scope()
    t0 = time.perf_counter()
    f = random_function(s, n_inputs, target)
    trace = time.perf_counter() - t0
    nodes_f = s.n_nodes()
    t0 = time.perf_counter()
    pf = s.compile([f])
    compile_f = time.perf_counter() - t0
    t0 = time.perf_counter()
    pg = s.gradient(f)
    grad_call = time.perf_counter() - t0
    added = s.n_nodes() - nodes_f
    t0 = time.perf_counter()
    s.gradient(f)
    again = time.perf_counter() - t0

    x = numpy.random.default_rng(1).uniform(-1.0, 1.0, n_inputs)
    out_f = numpy.empty(1)
    out_g = numpy.empty(n_inputs)
    t_f = best_of(lambda: pf.eval(x, out=out_f), number=20)
    t_g = best_of(lambda: pg.eval(x, out=out_g), number=20)

    print(f"function: {nodes_f} nodes ({trace:.2f} s to trace), tape {pf.n_ops} instructions, "
          f"compiled in {compile_f * 1e3:.0f} ms")
    # The repeated call sweeps again (every node an intern hit) and compiles
    # the same program: the difference is mostly the cost of new nodes.
    print(f"gradient: +{added} nodes, tape {pg.n_ops} instructions")
    print(f"Scope.gradient: {grad_call * 1e3:.0f} ms ({added / grad_call / 1e6:.2f} M nodes/s incl. compile); "
          f"repeated (adds no nodes): {again * 1e3:.0f} ms; difference {(grad_call - again) * 1e3:.0f} ms")
    print(f"evaluation (interpreter): f {t_f * 1e6:.0f} us, gradient {t_g * 1e6:.0f} us, "
          f"ratio {t_g / t_f:.2f}")


def residual(u):
    # -u'' + u^3 = 1 on a uniform grid, u = 0 at both ends.
    h2 = 1.0 / (u.size - 1) ** 2
    inner = (2 * u[1:-1] - u[:-2] - u[2:]) / h2 + u[1:-1] ** 3 - 1.0
    return numpy.concatenate([u[:1], inner, u[-1:]])


def sparse_case():
    n = 1000
    u = numpy.linspace(0.0, 1.0, n) ** 2
    f = vantu.jit(residual)
    jac = vantu.jacobian(residual, sparse=True)
    t0 = time.perf_counter()
    f(u)
    first_f = time.perf_counter() - t0
    t0 = time.perf_counter()
    j = jac(u)
    first_j = time.perf_counter() - t0
    t_f = best_of(lambda: f(u), number=50)
    t_j = best_of(lambda: jac(u), number=50)
    print(f"banded residual, {n} outputs: {j.values.size} nonzeros of {n * n}")
    print(f"first call (trace + compile): residual {first_f * 1e3:.0f} ms, sparse Jacobian {first_j * 1e3:.0f} ms")
    print(f"cached calls: residual {t_f * 1e6:.0f} us, sparse Jacobian {t_j * 1e6:.0f} us, ratio {t_j / t_f:.2f}")


def main():
    gradient_case()
    print()
    sparse_case()


if __name__ == "__main__":
    main()
