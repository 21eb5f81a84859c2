"""Per-call overhead of a small program: Program.eval and a cached Dispatch call.

Run by hand:  PYTHONPATH=build/dev:python python3 bench/call_overhead.py
A 10-instruction function of two inputs, called with float arguments and
with a small numpy array, side by side with a plain Python function and a
numpy expression doing the same arithmetic.
"""

import math
import timeit

import numpy

import _vantu
import vantu


def plain(x, y):
    a = x * y + 1.0
    b = a * a - x
    c = math.sin(b) + y / a
    return c * c + b


def build():
    s = _vantu.Scope()
    x = s.input("x")
    y = s.input("y")
    a = x * y + 1.0
    b = a * a - x
    c = b.sin() + y / a
    p = s.compile([c * c + b])
    return p


def main():
    p = build()
    f = vantu.jit(lambda x, y: (lambda a: (lambda b: (numpy.sin(b) + y / a) ** 2 + b)(a * a - x))(x * y + 1.0))
    arr = numpy.array([0.3, 0.7])
    f(0.3, 0.7)
    f(arr[0:1], arr[1:2])
    assert abs(p.eval(0.3, 0.7)[0] - plain(0.3, 0.7)) < 1e-12
    print(f"program: {p.n_ops} instructions")
    n = 200_000
    rows = [
        ("plain Python function", lambda: plain(0.3, 0.7)),
        ("numpy expression (arrays of 1)", lambda: (numpy.sin((arr[:1] * arr[1:] + 1.0) ** 2 - arr[:1]))),
        ("Program.eval(float, float)", lambda: p.eval(0.3, 0.7)),
        ("Program.eval(ndarray of 2)", lambda: p.eval(arr)),
        ("Dispatch call (float, float)", lambda: f(0.3, 0.7)),
        ("Dispatch call (ndarray, ndarray)", lambda: f(arr[0:1], arr[1:2])),
    ]
    for name, fn in rows:
        t = min(timeit.repeat(fn, number=n, repeat=5)) / n
        print(f"{name:<36}{t * 1e9:>10.0f} ns")


if __name__ == "__main__":
    main()
