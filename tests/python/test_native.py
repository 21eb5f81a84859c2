"""Native code from Python: compile_native and the switch of every evaluator.

On AArch64 (the emulated pass in CI) native results must equal the
interpreter's bit for bit; elsewhere compile_native reports Unsupported and
the program stays interpreted.
"""

import math
import platform
import struct
import threading

import numpy
import pytest

import _vantu
import vantu

NATIVE = platform.machine() in ("aarch64", "arm64")
needs_native = pytest.mark.skipif(not NATIVE, reason="native code runs on AArch64 only")


def bits(values):
    """Bit patterns; a NaN only as "nan" (its sign and payload are not promised)."""
    return [struct.unpack("<Q", struct.pack("<d", v))[0] if not math.isnan(v) else "nan" for v in values]


def twin(build, n_inputs):
    """Two equal programs: one stays interpreted, the other goes native."""
    programs = []
    for _ in range(2):
        s = _vantu.Scope()
        xs = [s.input(f"x{i}") for i in range(n_inputs)]
        programs.append(s.compile(build(s, xs)))
    interpreted, native = programs
    native.compile_native()
    return interpreted, native


def every_kind(s, xs):
    a, b, c, d = xs[:4]
    unary = [getattr(a, op.lower() if op != "RandUniform" else "rand_uniform")() for op in UNARY]
    m = [xs[i % len(xs)] * (i + 1.0) for i in range(9 * 4)]
    gemv8 = _vantu.matmul(m[: 8 * 3], xs[:3], 1)  # 8 rows: one kernel call
    gemv4 = _vantu.matmul(m[: 4 * 3], xs[1:4], 1)  # 4 rows: expanded into dots
    gemm = _vantu.matmul(m[:12], m[12:24], 3)
    solved = _vantu.solve([a, b, c, d + 5.0], [1.0, b])
    big = _vantu.solve([xs[(i * 7) % len(xs)] + (10.0 if i % 6 == 0 else 0.0) for i in range(25)], xs[:5])
    return (
        unary
        + [a + b, a * b, a * b + c, a - b, -a, a ** 2, a ** -1, a ** 7, a ** -3]
        + [a.powf(b), a.mod(b), a.atan2(b), a.hypot(b)]
        + [a > b, a >= b, a < b, a <= b, a == b, a != b]
        + [_vantu.select(a > b, c, d), _vantu.select(a, b, c)]
        + [_vantu.reduce(op, [a, b, c, d, a * c]) for op in ("sum", "product", "min", "max")]
        + [_vantu.reduce("max", [x * (i + 0.5) for i, x in enumerate(xs * 5)])]
        + [b - v for v in gemv8] + gemv4 + gemm + solved + big
        + [_vantu.matmul(xs, xs, 1)[0]]
    )


UNARY = [
    "Exp", "Ln", "Sqrt", "Sin", "Cos", "Sinh", "Cosh", "Tanh", "Atan", "Floor", "Tan", "Log10", "Log2",
    "Log1p", "Expm1", "Cbrt", "Abs", "Sign", "Ceil", "Round", "Trunc", "Asin", "Acos", "Asinh", "Acosh",
    "Atanh", "Erf", "Erfc", "Lgamma", "Tgamma", "Digamma", "Trigamma", "RandUniform",
]

EDGE = [0.0, -0.0, 0.5, -2.5, 81.0, 1e-31, math.inf, -math.inf, math.nan, 3.0, 1e300, -7.0]


@pytest.mark.skipif(NATIVE, reason="this host runs native code")
def test_unsupported_host_stays_interpreted():
    s = _vantu.Scope()
    x = s.input()
    p = s.compile([x.sin()])
    for _ in range(2):
        with pytest.raises(ValueError) as info:
            p.compile_native()
        assert str(info.value) == "native compile failed: Unsupported"
    assert p.eval(0.5) == [math.sin(0.5)]


@needs_native
def test_compile_native_twice():
    s = _vantu.Scope()
    x = s.input()
    p = s.compile([x * x + 1.0])
    assert p.compile_native() is None
    assert p.compile_native() is None
    assert p.eval(3.0) == [10.0]


@needs_native
def test_every_instruction_kind_and_host_function():
    interpreted, native = twin(every_kind, 6)
    assert "Gemv(8x3" in native.dump() and "Gemm(" in native.dump() and "Solve" in native.dump()
    rng = numpy.random.default_rng(5)
    rows = [rng.choice(EDGE, size=6) for _ in range(40)] + [rng.normal(size=6) * 3 for _ in range(40)]
    for row in rows:
        assert bits(native.eval(row)) == bits(interpreted.eval(row))
    batch = numpy.concatenate(rows)
    assert bits(native.eval_many(batch)) == bits(interpreted.eval_many(batch))


@needs_native
def test_long_segments_and_many_live_values():
    def build(s, xs):
        acc = xs[0]
        live = []
        for i in range(2500):
            acc = (acc * xs[i % 8] + float(i)).sin()
            if i % 100 == 0:
                live.append(acc)
        # One node reading many distinct values at once.
        return [acc, _vantu.reduce("sum", live), _vantu.reduce("min", live)]

    interpreted, native = twin(build, 8)
    assert native.n_ops > 1024
    for k in range(5):
        row = [0.1 * (k + j) for j in range(8)]
        assert bits(native.eval(row)) == bits(interpreted.eval(row))


@needs_native
def test_batches_run_in_parallel_with_the_interpreters_bits():
    def build(s, xs):
        x, y = xs
        return [(x * y).exp() - y.sqrt(), x.atan2(y), _vantu.reduce("max", [x, y, 0.5])]

    interpreted, native = twin(build, 2)
    rng = numpy.random.default_rng(1)
    for n in (0, 1, 7, 1000, 20011):
        values = rng.normal(size=2 * n)
        assert bits(native.eval_many(values)) == bits(interpreted.eval_many(values))
    values = rng.normal(size=2 * 5000)
    results = {}

    def work(k):
        results[k] = native.eval_many(values)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    want = bits(interpreted.eval_many(values))
    assert all(bits(r) == want for r in results.values())


@needs_native
def test_signaling_nans_and_nan_payloads():
    # Raw buffers can carry any NaN: the inline minimum/maximum chains and
    # the reduction host function treat them exactly as the interpreter.
    def build(s, xs):
        a, b, c = xs
        return [_vantu.reduce("min", [a, b, c]), _vantu.reduce("max", [c, a, b]),
                _vantu.reduce("min", list(xs) * 7), (a + b).rand_uniform(), (-a).rand_uniform()]

    interpreted, native = twin(build, 3)
    patterns = [0x7FF0000000000001, 0xFFF8000000000000, 0x7FF800000000ABCD, 0x3FF0000000000000, 0x4000000000000000]
    rng = numpy.random.default_rng(2)
    for _ in range(60):
        raw = struct.pack("<3Q", *(int(p) for p in rng.choice(patterns, size=3)))
        row = numpy.frombuffer(raw, dtype="<f8")
        assert bits(native.eval(row)) == bits(interpreted.eval(row))


@needs_native
def test_dispatch_switches_to_native_code():
    f = vantu.jit(lambda x, y: numpy.sin(x) * y + numpy.maximum(x, 0.0))
    x = numpy.linspace(-2.0, 2.0, 9)
    interpreted = f(x, 2.0)
    f.program(x, 2.0).compile_native()
    assert numpy.array_equal(f(x, 2.0), interpreted)


@needs_native
def test_random_programs_match_the_interpreter():
    rng = numpy.random.default_rng(11)
    unary = ["sin", "exp", "ln", "sqrt", "tanh", "floor", "abs", "sign", "erf", "cbrt"]

    def build(s, xs):
        pool = list(xs)
        for _ in range(150):
            a = pool[rng.integers(len(pool))]
            b = pool[rng.integers(len(pool))]
            k = rng.integers(9)
            if k == 0:
                pool.append(a + b)
            elif k == 1:
                pool.append(a * b)
            elif k == 2:
                pool.append(a - b * 0.5)
            elif k == 3:
                pool.append(getattr(a, unary[rng.integers(len(unary))])())
            elif k == 4:
                pool.append(_vantu.select(a > b, a, b))
            elif k == 5:
                pool.append(a ** int(rng.integers(-3, 4)))
            elif k == 6:
                pool.append(_vantu.reduce(["sum", "min", "max", "product"][rng.integers(4)], [a, b, pool[-1]]))
            elif k == 7:
                pool.append(a.hypot(b))
            else:
                pool.append(_vantu.matmul([a, b, b, a], [a, b], 1)[0])
        return pool[-20:]

    for _ in range(10):
        state = rng.bit_generator.state
        interpreted = _build(build, 4)
        rng.bit_generator.state = state
        native = _build(build, 4)
        native.compile_native()
        for row in [rng.normal(size=4) * 2 for _ in range(10)] + [rng.choice(EDGE, size=4) for _ in range(10)]:
            assert bits(native.eval(row)) == bits(interpreted.eval(row))


def _build(build, n_inputs):
    s = _vantu.Scope()
    xs = [s.input(f"x{i}") for i in range(n_inputs)]
    return s.compile(build(s, xs))
