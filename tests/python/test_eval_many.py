"""Batch evaluation: Program.eval_many against repeated single evaluations."""

import math
import random

import numpy
import pytest

import _vantu


def random_program(seed, n_inputs, n_outputs):
    """A program of some forty random operations over `n_inputs` inputs:
    arithmetic, elementwise functions, comparisons with select, dot products
    (gathered into matrix kernels) and small linear systems."""
    rng = random.Random(seed)
    s = _vantu.Scope()
    pool = [s.input() for _ in range(n_inputs)]

    def pick(n=None):
        recent = pool[-6:]
        if n is None:
            return rng.choice(recent if rng.random() < 0.6 else pool)
        return [rng.choice(pool) for _ in range(n)]

    for _ in range(40):
        a, b = pick(), pick()
        kind = rng.randrange(9)
        if kind == 0:
            v = a + b
        elif kind == 1:
            v = a * b - rng.uniform(-2.0, 2.0)
        elif kind == 2:
            v = a / (b * b + 0.5)
        elif kind == 3:
            v = getattr(a, rng.choice(["sin", "exp", "tanh", "arctan", "sqrt", "log1p"]))()
        elif kind == 4:
            v = _vantu.select(a > b, a, b * 0.25)
        elif kind == 5:
            v = a ** rng.choice([2, 3, -1])
        elif kind == 6:
            v = _vantu.matmul(pick(6), pick(3), 1)[rng.randrange(2)]
        elif kind == 7:
            v = _vantu.solve(pick(4), pick(2))[rng.randrange(2)]
        else:
            v = _vantu.reduce("sum", pick(5))
        pool.append(v)
    return s.compile(pool[-n_outputs:])


def random_values(seed, count):
    rng = random.Random(seed)
    special = [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e300]
    return [rng.choice(special) if rng.random() < 0.05 else rng.uniform(-3.0, 3.0) for _ in range(count)]


def as_bits(values):
    return numpy.asarray(values, dtype=numpy.float64).view(numpy.uint64)


# Batch sizes: none, one, a few, the last size run in order on the calling
# thread, and prime sizes that the thread pool's chunks never divide evenly.
@pytest.mark.parametrize("instances", [0, 1, 7, 9999, 10007, 40009])
@pytest.mark.parametrize("shape", [(1, 1), (3, 2), (5, 4)], ids=lambda s: f"{s[0]}in-{s[1]}out")
def test_equals_repeated_eval(shape, instances):
    n_inputs, n_outputs = shape
    p = random_program(100 * n_inputs + n_outputs, n_inputs, n_outputs)
    assert (p.n_inputs, p.n_outputs) == shape
    values = random_values(instances, instances * n_inputs)
    expected = []
    for i in range(instances):
        expected += p.eval(values[i * n_inputs : (i + 1) * n_inputs])
    got = p.eval_many(values)
    assert type(got) is list and len(got) == instances * n_outputs
    assert numpy.array_equal(as_bits(got), as_bits(expected))
    # The same batch from a float64 array, into a caller's buffer.
    out = numpy.full(instances * n_outputs, 7.0)
    assert p.eval_many(numpy.array(values), out=out) is out
    assert numpy.array_equal(as_bits(out), as_bits(expected))


@pytest.fixture
def pair():
    s = _vantu.Scope()
    x, y = s.input("x"), s.input("y")
    return s.compile([x - y, x * y])


@pytest.mark.parametrize(
    "inputs",
    [
        [1, 2, 3, 4, 5, 6],
        (1.0, 2.0, 3.0, 4.0, 5.0, 6.0),
        numpy.array([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]),
        numpy.array([1, 2, 3, 4, 5, 6], dtype=numpy.int32),
        [[1, 2], [3, 4], [5, 6]],
        numpy.array([[1.0, 3.0, 5.0], [2.0, 4.0, 6.0]]).T,  # column-major storage
    ],
    ids=["list", "tuple", "rows", "int32", "nested-list", "transposed"],
)
def test_inputs_are_gathered_as_one_argument(pair, inputs):
    assert pair.eval_many(inputs) == [-1.0, 2.0, -1.0, 12.0, -1.0, 30.0]
    assert pair.eval_many(inputs=inputs) == [-1.0, 2.0, -1.0, 12.0, -1.0, 30.0]


@pytest.mark.parametrize(
    "n_inputs, inputs",
    [(2, [1, 2, 3, 4, 5]), (2, [1.0]), (3, numpy.zeros(4)), (3, 2.5), (4, numpy.zeros((3, 3)))],
    ids=["five-of-two", "one-of-two", "four-of-three", "number-of-three", "nine-of-four"],
)
def test_value_count_must_be_whole_vectors(n_inputs, inputs):
    s = _vantu.Scope()
    xs = [s.input() for _ in range(n_inputs)]
    count = numpy.size(inputs)
    for p in (s.compile([sum(xs)]), s.compile([])):
        out = numpy.full(1, 7.0)
        with pytest.raises(ValueError) as info:
            p.eval_many(inputs, out=out)
        assert str(info.value) == f"{count} inputs are not a whole number of vectors of {n_inputs}"
        assert out.tolist() == [7.0]


def test_program_without_inputs_takes_one_value_per_instance():
    s = _vantu.Scope()
    c = s.constant(3.0)
    p = s.compile([c.sin(), 2.5])
    assert p.n_inputs == 0
    sin3 = p.eval()[0]
    assert p.eval_many([10.0, 20.0, 30.0]) == [sin3, 2.5] * 3
    assert p.eval_many(4.0) == [sin3, 2.5]
    assert p.eval_many([]) == []
    assert p.eval_many(numpy.zeros(10007)) == [sin3, 2.5] * 10007


def test_no_outputs_and_empty_batches(pair):
    s = _vantu.Scope()
    s.input(), s.input()
    nothing = s.compile([])
    assert nothing.eval_many([1, 2, 3, 4]) == []
    assert nothing.eval_many(numpy.zeros(20000)) == []
    assert pair.eval_many([]) == []
    assert pair.eval_many(numpy.zeros((0, 2))) == []
    empty = numpy.zeros(0)
    assert pair.eval_many([], out=empty) is empty


def test_out_buffer(pair):
    out = numpy.zeros((3, 2))
    assert pair.eval_many([1, 2, 3, 4, 5, 6], out=out) is out
    assert out.tolist() == [[-1.0, 2.0], [-1.0, 12.0], [-1.0, 30.0]]
    # Strided: written in row-major order whatever the layout.
    wide = numpy.zeros((4, 3))
    pair.eval_many([1, 2, 3, 4], wide[:, 1])
    assert wide[:, 1].tolist() == [-1.0, 2.0, -1.0, 12.0]
    assert not wide[:, [0, 2]].any()
    assert pair.eval_many([1, 2], None) == [-1.0, 2.0]


@pytest.mark.parametrize(
    "out, exc, message",
    [
        (numpy.full(4, 7.0, dtype=numpy.float32), TypeError, "out takes a buffer of float64"),
        ([7.0] * 4, TypeError, "out takes a buffer of float64"),
        (numpy.full(5, 7.0), BufferError, "slice to copy from (of length 4) does not match buffer length of 5"),
        (numpy.full(3, 7.0), BufferError, "slice to copy from (of length 4) does not match buffer length of 3"),
        (numpy.full(4, 7.0), BufferError, "cannot write to read-only buffer"),
    ],
    ids=["float32", "list", "long", "short", "read-only"],
)
def test_out_errors_leave_out_unwritten(pair, out, exc, message):
    if exc is BufferError and "read-only" in message:
        out.flags.writeable = False
    before = list(out)
    with pytest.raises(exc) as info:
        pair.eval_many([1, 2, 3, 4], out=out)
    assert str(info.value) == message
    assert list(out) == before


def test_argument_binding_and_signature(pair):
    with pytest.raises(TypeError, match="inputs"):
        pair.eval_many()
    with pytest.raises(TypeError, match="outs"):
        pair.eval_many([1, 2], outs=None)
    with pytest.raises(TypeError):
        pair.eval_many([1, 2], None, None)
    assert _vantu.Program.eval_many.__text_signature__ == "($self, inputs, out=None)"
    assert _vantu.Program.eval_many.__doc__ == (
        "Evaluate `len(inputs) / n_inputs` input vectors laid back to back;\n"
        "their outputs back to back go into `out` or a new list, as in\n"
        "[`Self::eval`]. Natively the instances run in parallel; the GIL is\n"
        "released throughout."
    )


def test_the_lock_is_released_during_the_evaluation(seen_inside_unlocked):
    s = _vantu.Scope()
    x = s.input()
    acc = x
    for i in range(60):
        acc = (acc * 0.5 + float(i)).sin()
    p = s.compile([acc])  # finite for every finite input
    values = numpy.linspace(-1.0, 1.0, 20000)
    out = numpy.empty(values.size)
    assert seen_inside_unlocked(lambda o: p.eval_many(values, out=o), out, rounds=100)
