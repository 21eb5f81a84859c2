"""Programs from Python: compile, eval, argument exchange and the output step."""

import math
import struct
import sys
import threading

import numpy
import pytest

import _vantu


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


@pytest.fixture
def two_inputs():
    s = _vantu.Scope()
    x = s.input("x")
    y = s.input("y")
    return s, x, y


@pytest.fixture
def diff_program(two_inputs):
    s, x, y = two_inputs
    return s.compile([x - y, x * y])


@pytest.mark.parametrize(
    "args",
    [
        (1, 2),
        (1.0, 2.0),
        ((1, 2),),
        ([1.0, 2.0],),
        (numpy.array([1.0, 2.0]),),
        (numpy.array([[1.0], [2.0]]),),
        (numpy.array([[1, 2]], dtype=numpy.int32),),
        ([[1, 2]],),
        (numpy.array([1.0, 2.0], dtype=">f8"),),
        (numpy.array([2.0, 9.0, 1.0, 9.0])[::2][::-1],),  # negative stride
        (numpy.float64(1.0), True + 1),
        (numpy.array(1.0), 2.0),
    ],
    ids=[
        "ints",
        "floats",
        "tuple",
        "list",
        "array",
        "column",
        "int32",
        "nested-list",
        "big-endian",
        "strided",
        "numpy-scalar-and-bool-int",
        "zero-dim",
    ],
)
def test_every_argument_kind_gathers_the_same_values(diff_program, args):
    assert diff_program.eval(*args) == [-1.0, 2.0]


def test_value_count_is_checked(diff_program):
    with pytest.raises(ValueError, match=r"^expected 2 inputs, got 1$"):
        diff_program.eval(1)
    with pytest.raises(ValueError, match=r"^expected 2 inputs, got 3$"):
        diff_program.eval([1, 2, 3])


def test_out_buffer(diff_program):
    buf = numpy.zeros(2)
    assert diff_program.eval(1.0, 2.0, out=buf) is buf
    assert list(buf) == [-1.0, 2.0]
    # Any dimensions and strides: written in row-major order.
    wide = numpy.zeros((2, 2))
    view = wide[:, 1]
    diff_program.eval(3.0, 4.0, out=view)
    assert wide.tolist() == [[0.0, -1.0], [0.0, 12.0]]
    # `out` given positionally is one more input.
    with pytest.raises(ValueError, match=r"^expected 2 inputs, got 4$"):
        diff_program.eval(1.0, 2.0, buf)


@pytest.mark.parametrize(
    "out, exc, message",
    [
        (numpy.zeros(2, dtype=numpy.float32), TypeError, "out takes a buffer of float64"),
        (b"0123456789abcdef", TypeError, "out takes a buffer of float64"),
        ([0.0, 0.0], TypeError, "out takes a buffer of float64"),
        (numpy.zeros(3), BufferError, "slice to copy from (of length 2) does not match buffer length of 3"),
        (numpy.zeros(1), BufferError, "slice to copy from (of length 2) does not match buffer length of 1"),
    ],
    ids=["float32", "bytes", "list", "long", "short"],
)
def test_out_errors(diff_program, out, exc, message):
    with pytest.raises(exc) as info:
        diff_program.eval(1.0, 2.0, out=out)
    assert str(info.value) == message


def test_read_only_out_is_refused_and_left_alone(diff_program):
    buf = numpy.full(2, 7.0)
    buf.flags.writeable = False
    with pytest.raises(BufferError, match=r"^cannot write to read-only buffer$"):
        diff_program.eval(1.0, 2.0, out=buf)
    assert buf.tolist() == [7.0, 7.0]


def test_unknown_keyword(diff_program):
    with pytest.raises(TypeError, match="unexpected keyword argument 'outs'"):
        diff_program.eval(1.0, 2.0, outs=None)


def test_properties_and_no_outputs(two_inputs):
    s, x, y = two_inputs
    p = s.compile([])
    assert p.eval(1.0, 2.0) == []
    assert (p.n_inputs, p.n_outputs, p.n_ops, p.pattern) == (2, 0, 0, None)
    p = s.compile([x + y, 2.5])
    assert p.n_outputs == 2 and p.n_ops >= 1
    assert p.eval(1.0, 2.0) == [3.0, 2.5]
    assert isinstance(p.dump(), str) and p.dump().endswith("\n")


def test_compile_refusals(two_inputs):
    s, x, y = two_inputs
    with pytest.raises(TypeError, match="outputs"):
        s.compile((x,))
    with pytest.raises(TypeError, match=r"^outputs must be tracers or numbers$"):
        s.compile([x, "a"])
    other = _vantu.Scope().input()
    with pytest.raises(ValueError, match=r"^tracers from different scopes$"):
        s.compile([other])


def test_inputs_handed_out_later_are_not_inputs(two_inputs):
    s, x, y = two_inputs
    p = s.compile([x + y])
    z = s.input("z")
    assert p.n_inputs == 2
    assert s.compile([x + z]).eval(1.0, 2.0, 5.0) == [6.0]


@pytest.mark.parametrize(
    "name", ["exp", "ln", "sqrt", "sin", "tanh", "sign", "round", "digamma", "trigamma", "rand_uniform", "erf", "atan"]
)
def test_interpreter_gives_the_folded_bits(name):
    s = _vantu.Scope()
    x = s.input("x")
    p = s.compile([getattr(x, name)()])
    for v in [0.5, 0.0, 81.0, 1e-31, -3.0, 2.5, 7.25, 1e300, -math.inf]:
        constants = _vantu.Scope()
        folded = constants.compile([getattr(constants.constant(v), name)()]).eval()[0]
        got = p.eval(v)[0]
        assert bits(got) == bits(folded) or (math.isnan(got) and math.isnan(folded)), (name, v)


def test_two_threads_evaluate_one_large_program():
    s = _vantu.Scope()
    xs = [s.input() for _ in range(8)]
    acc = xs[0]
    for i in range(600):
        acc = (acc * xs[i % 8] + float(i)).sin()
    p = s.compile([acc])
    assert p.n_ops >= 256
    args = [[0.1 * (k + j) for j in range(8)] for k in range(40)]
    serial = [p.eval(a) for a in args]
    results = {}
    barrier = threading.Barrier(2)

    def work(name):
        barrier.wait()
        results[name] = [p.eval(a) for a in args]

    threads = [threading.Thread(target=work, args=(n,)) for n in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results["a"] == serial and results["b"] == serial


def test_repeated_eval_does_not_leak(diff_program):
    x = numpy.array([1.0, 2.0])
    for _ in range(200):
        diff_program.eval(x)
    before = sys.getallocatedblocks()
    for _ in range(2000):
        diff_program.eval(x)
        diff_program.eval(1.0, 2.0)
    assert sys.getallocatedblocks() - before < 50


def test_large_programs_release_the_lock(seen_inside_unlocked):
    s = _vantu.Scope()
    x = s.input()
    acc = x
    for i in range(20000):
        acc = (acc * 0.5 + float(i)).sin()
    p = s.compile([acc])
    assert p.n_ops >= 256
    out = numpy.empty(1)
    assert seen_inside_unlocked(lambda o: p.eval(0.25, out=o), out, rounds=200)
