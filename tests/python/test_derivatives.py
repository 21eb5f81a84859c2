"""Derivative programs: Scope.gradient/jacobian/sparse_jacobian and vantu.grad/jacobian."""

import math

import numpy
import pytest

import _vantu
import vantu


@pytest.fixture
def xy():
    s = _vantu.Scope()
    return s, s.input("x"), s.input("y")


def fd_jacobian(f, x, h=1e-6):
    """Central differences of a float function of a float array: result_shape + x_shape."""
    x = numpy.asarray(x, dtype=float)
    cols = []
    for k in range(x.size):
        e = numpy.zeros(x.size)
        e[k] = h
        step = e.reshape(x.shape)
        cols.append((numpy.asarray(f(x + step)) - numpy.asarray(f(x - step))) / (2 * h))
    return numpy.moveaxis(numpy.array(cols), 0, -1).reshape(numpy.shape(f(x)) + x.shape)


# -- Scope methods: errors -------------------------------------------------------


class Other:
    tracer = _vantu.Scope().input()


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda s, x, y: s.gradient(1.0), TypeError, "gradient() argument 'output' must be Tracer, not float"),
        (lambda s, x, y: s.gradient(), TypeError, "gradient() missing required argument 'output' (pos 1)"),
        (lambda s, x, y: s.gradient(x, wrt="x"), TypeError, "gradient() argument 'wrt' must be a sequence of int, not str"),
        (lambda s, x, y: s.jacobian([x], wrt=None), TypeError, "jacobian() argument 'wrt' must be a sequence of int, not NoneType"),
        (lambda s, x, y: s.sparse_jacobian([x], wrt=0), TypeError, "sparse_jacobian() argument 'wrt' must be a sequence of int, not int"),
        (lambda s, x, y: s.gradient(x, wrt=[0, 1.5]), TypeError, "'float' object cannot be interpreted as an integer"),
        (lambda s, x, y: s.jacobian((x,)), TypeError, "jacobian() argument 'outputs' must be list, not tuple"),
        (lambda s, x, y: s.sparse_jacobian([x, "y"]), TypeError, "outputs must be tracers or numbers"),
        (lambda s, x, y: s.gradient(x, wrt=[5]), ValueError, "input index 5 out of range"),
        (lambda s, x, y: s.jacobian([x], wrt=[2]), ValueError, "input index 2 out of range"),
        (lambda s, x, y: s.gradient(x, wrt=[7, -1]), ValueError, "input index 7 out of range"),  # the first failure
        (lambda s, x, y: s.gradient(x, wrt=[-1, 7]), OverflowError, "can't convert negative value to size_t"),
        (lambda s, x, y: s.sparse_jacobian([x], wrt=[2**64]), OverflowError, "Python int too large to convert to C size_t"),
        (lambda s, x, y: s.gradient(Other.tracer), ValueError, "tracers from different scopes"),
        (lambda s, x, y: s.jacobian([x, Other.tracer]), ValueError, "tracers from different scopes"),
    ],
)
def test_errors(xy, call, exc, message):
    s, x, y = xy
    with pytest.raises(exc) as info:
        call(s, x, y)
    assert str(info.value) == message
    # A refused call leaves the scope usable.
    assert s.gradient(x * y).eval(2.0, 3.0) == [3.0, 2.0]


@pytest.mark.parametrize("method", ["gradient", "jacobian", "sparse_jacobian"])
def test_trigamma_fails_and_digamma_differentiates_to_trigamma(xy, method):
    s, x, y = xy
    differentiate = getattr(s, method)
    wrap = (lambda t: t) if method == "gradient" else (lambda t: [t])
    with pytest.raises(_vantu.InternalError) as info:
        differentiate(wrap(x.trigamma() * y))
    assert str(info.value) == "vantu: the derivative of trigamma (polygamma of order 2) is not available"
    assert not isinstance(info.value, Exception)
    # The graph was given back: the scope still traces and differentiates.
    d = differentiate(wrap(x.digamma()), wrt=[0]).eval(0.75, 0.0)
    assert d == s.compile([x.trigamma()]).eval(0.75, 0.0)


def test_conversions_run_before_the_graph_is_taken(xy):
    s, x, y = xy

    class TracingIndex:
        """An index whose conversion traces in the same scope."""

        def __index__(self):
            x.sin() * y
            return 1

    assert s.gradient(x * y, wrt=[TracingIndex()]).eval(2.0, 3.0) == [2.0]

    class InputIndex:
        def __index__(self):
            s.input()
            return 0

    # Handing out an input while the call uses the input list is refused.
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        s.gradient(x, wrt=[InputIndex()])


# -- Scope methods: wrt mapping and layout ---------------------------------------------


@pytest.mark.parametrize("wrt", [None, [], (), [0, 1], range(2), numpy.array([0, 1]), [True - 1, True]])
def test_wrt_forms(xy, wrt):
    s, x, y = xy
    p = s.gradient(x * x * y) if wrt is None else s.gradient(x * x * y, wrt=wrt)
    assert (p.n_inputs, p.n_outputs) == (2, 2)
    assert p.eval(3.0, 5.0) == [30.0, 9.0]


def test_wrt_order_duplicates_and_later_inputs(xy):
    s, x, y = xy
    f = x * (y + 1.0)
    z = s.input("z")  # handed out after f, before differentiating
    assert s.gradient(f, wrt=[1, 0, 1]).eval(2.0, 0.5, 9.0) == [2.0, 1.5, 2.0]
    g = s.gradient(f)
    assert (g.n_inputs, g.n_outputs) == (3, 3)
    assert g.eval(2.0, 0.5, 9.0) == [1.5, 2.0, 0.0]
    # A duplicated column: only the last one holds the derivative.
    assert s.jacobian([f, z * x], wrt=[0, 0]).eval(2.0, 0.5, 9.0) == [0.0, 1.5, 0.0, 9.0]
    rows, cols = s.sparse_jacobian([f, z * x], wrt=[0, 0]).pattern
    assert (rows, cols) == ([0, 1], [1, 1])
    s.input()  # inputs handed out later are not inputs of g
    assert g.n_inputs == 3 and s.gradient(f).n_inputs == 4


def test_wrt_counts_handed_out_inputs_not_graph_inputs():
    s = _vantu.Scope()
    a = s.input("a")
    s.input("a")  # the same graph input handed out twice
    b = s.input("b")
    f = a * a * b
    assert s.gradient(f, wrt=[2]).eval(3.0, 3.0, 5.0) == [9.0]
    assert s.gradient(f).eval(3.0, 3.0, 5.0) == [30.0, 30.0, 9.0]


def test_dense_layout_and_structural_zeros(xy):
    s, x, y = xy
    p = s.jacobian([x * y, x.sin(), 2.5, y.floor() + x], wrt=[0, 1])
    assert (p.n_inputs, p.n_outputs) == (2, 8)
    nan = float("nan")
    # The structural zeros are the constant 0.0, so NaN inputs do not reach them.
    expect = [nan, nan, nan, 0.0, 0.0, 0.0, 1.0, 0.0]
    assert numpy.array_equal(p.eval(nan, nan), expect, equal_nan=True)
    assert p.eval(1.0, 2.0) == [2.0, 1.0, math.cos(1.0), 0.0, 0.0, 0.0, 1.0, 0.0]


def test_sparse_pattern_is_structural(xy):
    s, x, y = xy
    outputs = [x.floor(), x - x, x * y, 3.0, _vantu.select(x > y, x, 0.0), x.abs() + y * y]
    p = s.sparse_jacobian(outputs, wrt=[0, 1])
    # floor, x - x, the constant and the comparison contribute nothing; x*y
    # has both entries even where y is 0 at run time.
    assert p.pattern == ([2, 2, 4, 5, 5], [0, 1, 0, 0, 1])
    assert p.pattern is not p.pattern
    values = p.eval(2.0, 0.0)
    assert values == [0.0, 2.0, 1.0, 1.0, 0.0]
    dense = numpy.array(s.jacobian(outputs, wrt=[0, 1]).eval(2.0, 0.0)).reshape(6, 2)
    rows, cols = p.pattern
    expect = numpy.zeros((6, 2))
    expect[rows, cols] = values
    assert (dense == expect).all()
    assert s.sparse_jacobian([x.floor(), 1.0]).pattern == ([], [])
    assert s.compile([x]).pattern is None and s.jacobian([x]).pattern is None


def test_rows_of_15_and_16_dependencies_agree():
    s = _vantu.Scope()
    xs = [s.input() for _ in range(16)]
    terms = [(x * x).sin() for x in xs]
    # Row 0 depends on 15 inputs (forward sweeps), row 1 on 16 (one reverse sweep).
    p = s.jacobian([_vantu.reduce("sum", terms[:15]), _vantu.reduce("sum", terms)])
    v = numpy.linspace(-1.3, 1.7, 16)
    row15, row16 = numpy.array(p.eval(v)).reshape(2, 16)
    assert row15[15] == 0.0
    assert (row15[:15] == row16[:15]).all()
    assert row16 == pytest.approx(2 * v * numpy.cos(v * v), rel=1e-14)
    assert (row15 == s.gradient(_vantu.reduce("sum", terms[:15])).eval(v)).all()


@pytest.mark.parametrize("method", ["gradient", "jacobian", "sparse_jacobian"])
def test_repeating_a_differentiation_adds_no_nodes(xy, method):
    s, x, y = xy
    f = (x * y).exp() + x.hypot(y)
    arg = f if method == "gradient" else [f, x / y]
    before = s.n_nodes()
    first = getattr(s, method)(arg)
    grown = s.n_nodes()
    assert grown > before
    second = getattr(s, method)(arg)
    assert s.n_nodes() == grown
    assert first.eval(0.5, 2.0) == second.eval(0.5, 2.0)


@pytest.mark.parametrize(
    "op, point, expect",
    [
        ("max", (3.0, 2.0), [1.0, 0.0]),
        ("max", (2.0, 3.0), [0.0, 1.0]),
        ("min", (3.0, 2.0), [0.0, 1.0]),
        ("max", (2.0, 2.0), "tie"),
        ("min", (-1.0, -1.0), "tie"),
    ],
)
def test_min_max_derivatives(xy, op, point, expect):
    s, x, y = xy
    f = _vantu.reduce(op, [x, y])
    g = s.gradient(f).eval(*point)
    if expect == "tie":
        # Exactly one operand takes the whole derivative.
        assert sorted(g) == [0.0, 1.0]
    else:
        assert g == expect
    assert s.jacobian([f]).eval(*point) == g


def test_select_derivative(xy):
    s, x, y = xy
    p = s.gradient(_vantu.select(x > y, x * x, -x))
    assert p.eval(1.5, 0.0) == [3.0, 0.0]
    assert p.eval(-2.0, 0.0) == [-1.0, 0.0]


# -- vantu.grad and vantu.jacobian on numpy code -------------------------------------------------

X6 = numpy.array([0.7, -1.2, 0.4, 1.9, -0.3, 1.1])


def solve_2x2(x):
    a = x[:4].reshape(2, 2) + numpy.array([[3.0, 0.0], [0.0, 3.0]])
    return numpy.linalg.solve(a, x[4:])


NUMPY_FUNCTIONS = {
    "elementwise": lambda x: numpy.exp(x) * numpy.sin(x) / (1 + x * x) + numpy.arctan2(x, 2.0),
    "where": lambda x: numpy.where(x > 0, x * x, -x),
    "maximum": lambda x: numpy.maximum(x[:3], x[3:]) + numpy.minimum(x[:3], 0.5 * x[3:]),
    "dot": lambda x: x[:3] @ x[3:],
    "matmul": lambda x: x.reshape(2, 3) @ x[:3],
    "matmul-matrix": lambda x: x.reshape(3, 2) @ x.reshape(2, 3),
    "solve": solve_2x2,
    "sum-of-squares": lambda x: (x**2).sum(),
}


@pytest.mark.parametrize("name", NUMPY_FUNCTIONS)
def test_jacobian_of_numpy_code_against_finite_differences(name):
    f = NUMPY_FUNCTIONS[name]
    expect = fd_jacobian(f, X6)
    dense = vantu.jacobian(f)(X6)
    assert dense.shape == expect.shape
    assert dense == pytest.approx(expect, rel=1e-6, abs=1e-8)
    sparse = vantu.jacobian(f, sparse=True)(X6)
    assert isinstance(sparse, vantu.SparseMatrix)
    assert sparse.shape == (expect.size // X6.size, X6.size)
    assert (sparse.toarray() == dense.reshape(sparse.shape)).all()
    if expect.shape == X6.shape:  # a scalar function: the gradient is its Jacobian
        assert (vantu.grad(f)(X6) == dense).all()


def test_grad_example_and_result_kinds():
    df = vantu.grad(lambda x: (x**2).sum())
    got = df(numpy.array([1.0, 2.0]))
    assert isinstance(got, numpy.ndarray) and got.tolist() == [2.0, 4.0]
    assert isinstance(df, _vantu.Dispatch)
    # A number argument gives a float; a matrix argument an array of its shape.
    dsin = vantu.grad(lambda t: numpy.sin(t) * t)(0.5)
    assert type(dsin) is float and dsin == pytest.approx(math.cos(0.5) * 0.5 + math.sin(0.5), rel=1e-15)
    m = numpy.arange(6.0).reshape(2, 3)
    assert (vantu.grad(lambda a: (a * a).sum())(m) == 2 * m).all()
    # A constant function has a zero gradient.
    assert vantu.grad(lambda a: 4.0)(m).tolist() == [[0.0] * 3] * 2


@pytest.mark.parametrize(
    "argnums, expect",
    [
        (0, 18.0),
        (1, [9.0, 18.0]),
        (-1, [9.0, 18.0]),
        ((1, 0), ([9.0, 18.0], 18.0)),
        ((0,), (18.0,)),
    ],
)
def test_grad_argnums(argnums, expect):
    f = lambda s, v: s * s * (v * [1.0, 2.0]).sum()  # noqa: E731
    got = vantu.grad(f, argnums=argnums)(3.0, [1.0, 1.0])
    if isinstance(expect, tuple):
        assert isinstance(got, tuple)
        assert [numpy.asarray(g).tolist() for g in got] == list(expect)
    else:
        assert numpy.asarray(got).tolist() == expect


def test_jacobian_shapes_and_argnums():
    f = lambda a, b: numpy.sin(a).reshape(-1)[:4] * b  # noqa: E731
    a = numpy.array([[0.1, 0.2, 0.3], [0.4, 0.5, 0.6]])
    ja = vantu.jacobian(f)(a, 2.0)
    assert ja.shape == (4, 2, 3)
    assert ja == pytest.approx(fd_jacobian(lambda t: f(t, 2.0), a), rel=1e-7)
    jb = vantu.jacobian(f, argnums=1)(a, 2.0)
    assert jb.shape == (4,) and (jb == numpy.sin(a).reshape(-1)[:4]).all()
    both = vantu.jacobian(f, argnums=(0, 1))(a, 2.0)
    assert (both[0] == ja).all() and (both[1] == jb).all()
    scalar = vantu.jacobian(lambda t: t * t)(3.0)
    assert type(scalar) is float and scalar == 6.0


def test_empty_argument_differentiates_nothing():
    # An empty argument has no inputs: its derivative is empty, not the
    # derivative with respect to every input.
    f = lambda e, t: t * t + e.sum()  # noqa: E731
    empty = numpy.zeros(0)
    assert vantu.grad(f)(empty, 3.0).shape == (0,)
    assert vantu.grad(f, argnums=(0, 1))(empty, 3.0)[1] == 6.0
    assert vantu.jacobian(f)(empty, 3.0).shape == (0,)
    sparse = vantu.jacobian(f, sparse=True)(empty, 3.0)
    assert sparse.shape == (1, 0) and sparse.values.size == 0


def test_one_trace_per_argument_shape():
    calls = []

    def f(x):
        calls.append(numpy.shape(x))
        return (x * x).sum()

    df = vantu.grad(f)
    for v in ([1.0, 2.0], numpy.array([3.0, 4.0]), [5.0, 6.0, 7.0], (8.0, 9.0)):
        assert df(v).tolist() == [2 * t for t in numpy.asarray(v)]
    assert calls == [(2,), (3,)]


def test_sparse_jacobian_of_a_banded_residual():
    def residual(u):
        # The 1-D Laplacian with a cubic reaction term, fixed ends.
        inner = u[:-2] - 2 * u[1:-1] + u[2:] - u[1:-1] ** 3
        return numpy.concatenate([u[:1], inner, u[-1:]])

    n = 7
    u = numpy.linspace(0.0, 1.0, n)
    jac = vantu.jacobian(residual, sparse=True)(u)
    rows = [0] + [i for i in range(1, n - 1) for _ in range(3)] + [n - 1]
    cols = [0] + [j for i in range(1, n - 1) for j in (i - 1, i, i + 1)] + [n - 1]
    assert (jac.rows.tolist(), jac.cols.tolist(), jac.shape) == (rows, cols, (n, n))
    expect = numpy.zeros((n, n))
    expect[0, 0] = expect[-1, -1] = 1.0
    for i in range(1, n - 1):
        expect[i, i - 1] = expect[i, i + 1] = 1.0
        expect[i, i] = -2.0 - 3 * u[i] ** 2
    assert jac.toarray() == pytest.approx(expect, rel=1e-15)
    assert (jac.toarray() == vantu.jacobian(residual)(u)).all()


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: vantu.grad(lambda x: x * 2.0)([1.0, 2.0]), TypeError, "grad needs a scalar-valued function, got a result of shape (2,)"),
        (lambda: vantu.grad(lambda x: x, argnums=1)(1.0), TypeError, "argnums 1 needs at least 2 positional arguments, got 1"),
        (lambda: vantu.jacobian(lambda x, y: x, argnums=(0, -2))(1.0, 2.0), ValueError, "argnums (0, -2) names an argument twice"),
        (lambda: vantu.grad(lambda x: x, argnums="0"), TypeError, "argnums must be an int or a tuple of ints, not str"),
    ],
)
def test_package_errors(make, exc, message):
    with pytest.raises(exc) as info:
        make()
    assert str(info.value) == message
