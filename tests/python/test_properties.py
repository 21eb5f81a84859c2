"""Properties over random inputs and random expression graphs.

- Constant folding and evaluation compute every operation alike: the value a
  scope folds for constant operands equals what the compiled program
  computes from inputs (up to the canonical form folded constants take:
  every NaN alike, zeros as +0.0).
- Every way of evaluating one program gives the same bits: eval, eval_many,
  a Dispatch call, and native code where this machine runs it.
"""

import math
import platform
import struct

import numpy
from hypothesis import given, settings
from hypothesis import strategies as st

import _vantu

NATIVE = platform.machine() in ("aarch64", "arm64")

UNARY = [
    "exp", "ln", "sqrt", "sin", "cos", "sinh", "cosh", "tanh", "atan", "floor", "tan", "log10", "log2", "log1p",
    "expm1", "cbrt", "abs", "sign", "ceil", "round", "trunc", "asin", "acos", "asinh", "acosh", "atanh", "erf",
    "erfc", "lgamma", "tgamma", "digamma", "trigamma", "rand_uniform",
]
BINARY = ["powf", "mod", "atan2", "hypot"]

# Doubles across the whole range, without -0.0 (a user's -0.0 is the zero
# node, so folding sees +0.0 where evaluation sees -0.0).
values = st.floats(allow_nan=True, allow_infinity=True).map(lambda v: 0.0 if v == 0.0 else v)


def canonical_bits(v):
    if math.isnan(v):
        return "nan"
    return struct.unpack("<Q", struct.pack("<d", 0.0 if v == 0.0 else v))[0]


def raw_bits(vs):
    return [struct.unpack("<Q", struct.pack("<d", v))[0] if not math.isnan(v) else "nan" for v in vs]


@settings(max_examples=300, deadline=None)
@given(op=st.sampled_from(UNARY), x=values)
def test_folding_matches_evaluation_unary(op, x):
    s = _vantu.Scope()
    folded = s.compile([getattr(s.constant(x), op)()]).eval()[0]
    t = _vantu.Scope()
    computed = t.compile([getattr(t.input(), op)()]).eval(x)[0]
    assert canonical_bits(folded) == canonical_bits(computed)


@settings(max_examples=300, deadline=None)
@given(op=st.sampled_from(BINARY + ["add", "sub", "mul", "div", "lt", "ge", "eq", "ne"]), x=values, y=values)
def test_folding_matches_evaluation_binary(op, x, y):
    def apply(a, b):
        if op in BINARY:
            return getattr(a, op)(b)
        return {
            "add": lambda: a + b, "sub": lambda: a - b, "mul": lambda: a * b, "div": lambda: a / b,
            "lt": lambda: a < b, "ge": lambda: a >= b, "eq": lambda: a == b, "ne": lambda: a != b,
        }[op]()

    # Where a construction rule applies, folding is not plain evaluation:
    if op in ("mul", "div") and (x == 0.0 or y == 0.0 or (op == "div" and math.isinf(y))):
        return  # x * 0 is the zero node whatever x is (and x / inf is x * 0)
    if op == "powf" and abs(y) <= 64 and y == int(y):
        return  # small integral exponents become integer powers
    s = _vantu.Scope()
    folded = s.compile([apply(s.constant(x), s.constant(y))]).eval()[0]
    t = _vantu.Scope()
    computed = t.compile([apply(t.input(), t.input())]).eval(x, y)[0]
    assert canonical_bits(folded) == canonical_bits(computed)


# -- Random programs ----------------------------------------------------------------


@st.composite
def programs(draw):
    """A recipe: a list of steps, each combining earlier values."""
    n_inputs = draw(st.integers(1, 4))
    steps = draw(st.lists(st.tuples(st.integers(0, 11), st.integers(0, 10**6), st.integers(0, 10**6),
                                    st.sampled_from(UNARY), st.floats(-4, 4)), min_size=1, max_size=40))
    return n_inputs, steps


def build(recipe):
    n_inputs, steps = recipe
    s = _vantu.Scope()
    pool = [s.input() for _ in range(n_inputs)]
    for kind, i, j, unary, c in steps:
        a, b = pool[i % len(pool)], pool[j % len(pool)]
        pool.append([
            lambda: a + b, lambda: a * b - c, lambda: getattr(a, unary)(), lambda: a / (b * b + 1.0),
            lambda: _vantu.select(a > b, a, b * c), lambda: a ** int(c), lambda: a.hypot(b),
            lambda: _vantu.reduce("min", [a, b, c]), lambda: _vantu.reduce("sum", [a, b, a * c, b, c]),
            lambda: _vantu.matmul([a, b, b, a, c, a], [a, b], 1)[1], lambda: _vantu.solve([a, b, c, a + 3.0], [b, c])[0],
            lambda: a.atan2(b + c),
        ][kind]())
    outputs = pool[n_inputs:][-8:]
    return s.compile(outputs), n_inputs


@settings(max_examples=60, deadline=None)
@given(recipe=programs(), data=st.data())
def test_every_evaluator_gives_the_same_bits(recipe, data):
    p, n_inputs = build(recipe)
    rows = [data.draw(st.lists(values, min_size=n_inputs, max_size=n_inputs)) for _ in range(3)]
    single = [raw_bits(p.eval(row)) for row in rows]
    batch = p.eval_many([v for row in rows for v in row])
    n_out = p.n_outputs
    assert [raw_bits(batch[k * n_out:(k + 1) * n_out]) for k in range(3)] == single

    class Fixed(_vantu.Dispatch):
        def _trace(self, shapes):
            return p, (n_out,)

    d = Fixed()
    assert [raw_bits(d(*row)) for row in rows] == single
    if NATIVE:
        q, _ = build(recipe)
        q.compile_native()
        assert [raw_bits(q.eval(row)) for row in rows] == single
        assert raw_bits(q.eval_many(numpy.array(rows).ravel())) == raw_bits(batch)
