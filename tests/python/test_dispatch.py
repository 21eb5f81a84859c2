"""Dispatch by shapes, and the package's Compiled front end built on it."""

import numpy
import pytest

import _vantu
import vantu


class Recorder(_vantu.Dispatch):
    """Traces sum-of-all-inputs (or whatever `build` makes) and records the shapes asked for."""

    def __init__(self, build=None, result=None):
        self.calls = []
        self.build = build
        self.result = result

    def _trace(self, shapes):
        self.calls.append(shapes)
        if self.result is not None:
            return self.result(shapes)
        s = _vantu.Scope()
        n = 0
        for shape in shapes:
            n += 1 if shape is None else int(numpy.prod(shape))
        xs = [s.input() for _ in range(n)]
        return self.build(s, xs)


def summing(s, xs):
    return s.compile([_vantu.reduce("sum", xs + [0.0 * xs[0]])]), None


def test_constructor_ignores_its_arguments():
    assert isinstance(_vantu.Dispatch(1, 2, key=3), _vantu.Dispatch)


def test_shapes_key_the_cache():
    d = Recorder(summing)
    assert d(1.0, 2.0) == 3.0
    assert d(1, numpy.float64(5.0)) == 6.0
    assert d(numpy.array(2.0), 2) == 4.0  # a 0-d array shares the scalar entry
    assert d.calls == [(None, None)]
    assert d([1.0, 2.0]) == 3.0
    assert d(numpy.array([3.0, 4.0])) == 7.0  # a list and a 1-d array share one entry
    assert d(numpy.zeros((2, 3))) == 0.0
    assert d.calls == [(None, None), ((2,),), ((2, 3),)]


def test_array_results_are_row_major():
    def build(s, xs):
        a, b, c, d = xs
        return s.compile([a, b, c * 10.0, d * 10.0]), (2, 2)

    d = Recorder(build)
    out = d([1.0, 2.0, 3.0, 4.0])
    assert isinstance(out, numpy.ndarray) and out.dtype == numpy.float64
    assert out.tolist() == [[1.0, 2.0], [30.0, 40.0]]


def test_result_shape_mismatch_fails_every_time():
    def build(s, xs):
        return s.compile([xs[0], xs[1], xs[2]]), (2, 2)

    d = Recorder(build)
    for _ in range(2):
        with pytest.raises(BufferError) as info:
            d([1.0, 2.0, 3.0])
        assert str(info.value) == "slice to copy from (of length 3) does not match buffer length of 4"
    assert len(d.calls) == 1


@pytest.mark.parametrize(
    "result, exc",
    [
        (lambda shapes: [None, None], TypeError),
        (lambda shapes: (None, None, None), ValueError),
        (lambda shapes: (None, None), TypeError),
        (lambda shapes: (_vantu.Scope().compile([1.0]), [2]), TypeError),
    ],
    ids=["list", "three-tuple", "not-a-program", "shape-not-a-tuple"],
)
def test_bad_trace_results_are_not_cached(result, exc):
    d = Recorder(result=result)
    with pytest.raises(exc) as info:
        d(1.0)
    if exc is ValueError:
        assert str(info.value) == "expected tuple of length 2, but got tuple of length 3"
    with pytest.raises(exc):
        d(1.0)
    assert len(d.calls) == 2


def test_trace_errors_propagate():
    def result(shapes):
        raise KeyError("boom")

    d = Recorder(result=result)
    with pytest.raises(KeyError):
        d(1.0)


def test_wrong_input_count_and_no_outputs():
    d = Recorder(result=lambda shapes: (_vantu.Scope().compile([1.0]), None))
    with pytest.raises(ValueError, match=r"^expected 0 inputs, got 1$"):
        d(1.0)
    d = Recorder(result=lambda shapes: (_vantu.Scope().compile([]), None))
    with pytest.raises(ValueError, match="no outputs"):
        d()


def test_program_returns_the_cached_program_without_evaluating():
    d = Recorder(summing)
    p = d.program(1.0, 2.0)
    assert isinstance(p, _vantu.Program)
    d(1.0, 2.0)
    assert d.program(3.0, 4.0) is p
    assert len(d.calls) == 1


def test_missing_hook():
    with pytest.raises(AttributeError):
        _vantu.Dispatch()(1.0)


# -- Compiled ------------------------------------------------------------------


def test_jit_on_numpy_code():
    calls = []

    @vantu.jit
    def f(x, y):
        calls.append(1)
        return numpy.sin(x) * y + numpy.maximum(x, 0.0)

    x = numpy.arange(3.0) - 1.0
    want = numpy.sin(x) * 2.0 + numpy.maximum(x, 0.0)
    assert numpy.array_equal(f(x, 2.0), want)
    assert numpy.array_equal(f(x + 0.0, 2.0), want)
    assert len(calls) == 1
    assert f.__name__ == "f"


def test_jit_two_by_two_and_scalar_results():
    @vantu.jit
    def rot(theta, v):
        c, s = numpy.cos(theta), numpy.sin(theta)
        m = numpy.array([[c, -s], [s, c]])
        return m * v

    out = rot(0.5, numpy.array([2.0, 3.0]))
    want = numpy.array([[numpy.cos(0.5), -numpy.sin(0.5)], [numpy.sin(0.5), numpy.cos(0.5)]]) * [2.0, 3.0]
    assert out.shape == (2, 2)
    assert numpy.array_equal(out, want)

    norm = vantu.Compiled(lambda v: (v * v).sum() ** 0.5)
    assert norm([3.0, 4.0]) == 5.0
    assert isinstance(norm([3.0, 4.0]), float)


def test_jit_where_and_matmul():
    @vantu.jit
    def relu_affine(a, x):
        y = a @ x
        return numpy.frompyfunc(vantu.where, 3, 1)(y > 0, y, 0.0)

    a = numpy.array([[1.0, 2.0], [-3.0, 1.0]])
    x = numpy.array([1.0, 1.0])
    assert relu_affine(a, x).tolist() == [3.0, 0.0]
