"""Tracing cost: nanoseconds per traced operation and per interned node.

Run by hand:  PYTHONPATH=build/dev:python python3 bench/trace.py
Traces a long polynomial chain (Horner form, every step makes new nodes)
and a wide sum, and reports the cost per Python-level operation and per
node that the graph actually kept.
"""

import time

import _vantu


def horner(n):
    s = _vantu.Scope()
    x = s.input("x")
    nodes0 = s.n_nodes()
    t0 = time.perf_counter()
    acc = x
    for i in range(n):
        acc = acc * x + (i + 1.5)
    dt = time.perf_counter() - t0
    return dt, 2 * n, s.n_nodes() - nodes0


def wide_sum(n):
    s = _vantu.Scope()
    xs = [s.input() for _ in range(n)]
    nodes0 = s.n_nodes()
    t0 = time.perf_counter()
    acc = xs[0]
    for t in xs[1:]:
        acc = acc + t
    dt = time.perf_counter() - t0
    return dt, n - 1, s.n_nodes() - nodes0


def repeated(n):
    # The same operation again and again: every call is an intern hit.
    s = _vantu.Scope()
    x = s.input("x")
    y = s.input("y")
    t0 = time.perf_counter()
    for _ in range(n):
        x * y
    dt = time.perf_counter() - t0
    return dt, n, 1


def plain_python(n):
    t0 = time.perf_counter()
    acc = 0.5
    for i in range(n):
        acc = acc * 0.999 + (i + 1.5)
    return time.perf_counter() - t0, 2 * n


def main():
    print(f"{'case':<28}{'ops':>10}{'new nodes':>12}{'ns/op':>10}{'ns/node':>10}")
    for n in (100_000, 1_000_000):
        for name, fn in [("polynomial chain (Horner)", horner), ("wide sum", wide_sum)]:
            dt, ops, nodes = fn(n)
            print(f"{name:<28}{ops:>10}{nodes:>12}{dt / ops * 1e9:>10.1f}{dt / max(nodes, 1) * 1e9:>10.1f}")
    dt, ops, _ = repeated(1_000_000)
    print(f"{'repeated x*y (interned)':<28}{ops:>10}{0:>12}{dt / ops * 1e9:>10.1f}")
    dt, ops = plain_python(1_000_000)
    print(f"{'plain Python floats':<28}{ops:>10}{'':>12}{dt / ops * 1e9:>10.1f}")


if __name__ == "__main__":
    main()
