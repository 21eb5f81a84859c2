"""numpy code over TracerArray: what traces and which nodes it builds."""

import numpy
import pytest

import _vantu
import vantu
from vantu.arrays import as_traced


@pytest.fixture
def scope():
    return _vantu.Scope()


def traced(scope, n):
    return as_traced([scope.input(f"v{i}") for i in range(n)])


@pytest.mark.parametrize(
    "fn, text",
    [
        (lambda a, b: numpy.maximum(a, b), "max("),
        (lambda a, b: numpy.minimum(a, 2.0), "min("),
        (lambda a, b: numpy.fmax(a, b), "max("),
        (lambda a, b: numpy.sign(a), "sign(v"),
        (lambda a, b: a > b, " > "),
        (lambda a, b: 1.0 <= a, " >= "),
        (lambda a, b: numpy.arctan2(1.0, a), "atan2(1.0, v"),
        (lambda a, b: numpy.power(2.0, a), "powf(2.0, v"),
        (lambda a, b: numpy.hypot(a, b), "hypot(v"),
        (lambda a, b: numpy.sin(a) * b, "sin(v"),
        (lambda a, b: numpy.square(a), "v0*v0"),
        (lambda a, b: numpy.where(a > b, a, 0.0), "select("),
    ],
    ids=["maximum", "minimum", "fmax", "sign", "greater", "reflected-le", "arctan2-number-first",
         "power-number-first", "hypot", "sin", "square", "where"],
)
def test_elementwise_operations_trace(scope, fn, text):
    a = traced(scope, 2)
    b = as_traced([scope.input("w0"), scope.input("w1")])
    out = fn(a, b)
    assert isinstance(out, numpy.ndarray) and out.shape == (2,)
    assert all(isinstance(t, _vantu.Tracer) for t in out)
    assert text in out[0].expr()


def test_all_number_arguments_stay_numbers(scope):
    a = as_traced([1.0, -2.0])
    assert numpy.maximum(a, 0.0).tolist() == [1.0, 0.0]
    assert numpy.sign(a).tolist() == [1.0, -1.0]


def test_sum_is_one_reduction(scope):
    a = traced(scope, 5)
    s = a.sum()
    assert s.expr().startswith("sum(")
    assert numpy.sum(a).expr() == s.expr()
    assert (a * a).sum(axis=0).expr().startswith("sum(")


def test_matmul_builds_dot_nodes_and_a_kernel(scope):
    m = traced(scope, 6).reshape(3, 2)
    x = traced(scope, 2)
    y = m @ x
    assert y.shape == (3,)
    assert y[0].expr().startswith("dot(")
    p = scope.compile(list(y))
    assert "Gemv" in p.dump()
    mm = numpy.dot(m, m.T)
    assert mm.shape == (3, 3)
    v = x @ x
    assert isinstance(v, _vantu.Tracer)


def test_linalg_solve(scope):
    a = traced(scope, 4).reshape(2, 2)
    b = as_traced([scope.input("b0"), scope.input("b1")])
    x = numpy.linalg.solve(a, b)
    assert [t.expr() for t in x] == ["solve2[0]", "solve2[1]"]
    p = scope.compile(list(x))
    assert p.eval([2.0, 0.0, 0.0, 4.0, 1.0, 8.0]) == [0.5, 2.0]


def test_compiled_function_with_the_whole_toolbox():
    @vantu.jit
    def model(a, x, lo):
        y = a @ x
        return numpy.maximum(numpy.where(y > 0, y, 0.1 * y), lo).sum()

    a = numpy.array([[1.0, 2.0], [-3.0, 1.0]])
    x = numpy.array([1.0, 1.0])
    y = a @ x
    want = numpy.maximum(numpy.where(y > 0, y, 0.1 * y), -0.1).sum()
    assert model(a, x, -0.1) == want
