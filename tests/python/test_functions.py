"""The module functions select, reduce, matmul and solve: scope search over
mixed tracers and numbers, conversion order, the order of their checks,
shapes, and the nodes they build (observed through expr and n_nodes)."""

import gc
import inspect
import math
import sys
import threading

import pytest

import _vantu
import vantu


def inputs(s, *names):
    return [s.input(n) for n in names]


def names(prefix, n):
    return [f"{prefix}{i}" for i in range(n)]


@pytest.mark.parametrize(
    "fn, signature, doc",
    [
        ("select", "(cond, a, b)", "`where(cond, a, b)` over tracers and numbers of one scope."),
        (
            "reduce",
            "(op, xs)",
            'A reduction (`"sum"`, `"product"`, `"min"`, `"max"`) over an iterable,\n'
            "one `Reduce` node in the reference fold order.",
        ),
        (
            "matmul",
            "(a, b, n)",
            "`a @ b` for the `m * k` entries of `a` and the `k * n` of `b`, both\n"
            "row-major: the `m * n` entries of the product, each one `Dot` node. The\n"
            "rows against one column fuse into a `Gemv` kernel once compiled, against\n"
            "several columns into a `Gemm`.",
        ),
        (
            "solve",
            "(a, b)",
            "The solution of the dense system `A x = b`, `a` the `n*n` entries\n"
            "row-major and `b` the `n` right-hand sides: one pivoting kernel in the\n"
            "compiled program, differentiable.",
        ),
    ],
)
def test_signatures_and_docstrings(fn, signature, doc):
    f = getattr(_vantu, fn)
    assert f.__text_signature__ == signature
    assert f.__doc__ == doc
    assert f.__module__ == "_vantu"
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in inspect.signature(f).parameters.values())


def test_where_is_select():
    assert vantu.where is _vantu.select
    assert "where" in vantu.__all__


# -- select ----------------------------------------------------------------------


def test_select():
    s = _vantu.Scope()
    c, t, u = inputs(s, "c", "t", "u")
    assert _vantu.select(c, t, u).expr() == "select(c, t, u)"
    assert _vantu.select(c, t, 0.0).expr() == "select(c, t, 0.0)"
    assert _vantu.select(t > u, 1, -1).expr() == "select((t > u), 1.0, -1.0)"
    assert _vantu.select(b=u, a=t, cond=c).expr() == "select(c, t, u)"
    # A numeric condition decides at once; NaN counts as true.
    assert _vantu.select(2, t, u).expr() == "t"
    assert _vantu.select(float("nan"), 1, u).expr() == "1.0"
    assert _vantu.select(c, t, t).expr() == "t"
    # The same call again builds nothing new.
    n = s.n_nodes()
    _vantu.select(c, t, 0.0)
    assert s.n_nodes() == n


def test_select_errors():
    s = _vantu.Scope()
    c, t = inputs(s, "c", "t")
    other = _vantu.Scope().input()
    n = s.n_nodes()
    with pytest.raises(TypeError, match="^a traced operand is needed$"):
        _vantu.select(1, 2, 3)
    with pytest.raises(ValueError, match="^tracers from different scopes$"):
        _vantu.select(c, t, other)
    # Conversion follows argument order: the constant converted before a
    # failing operand stays, and the str fails before the foreign tracer is
    # reached.
    with pytest.raises(TypeError, match="^unsupported operand for a traced value: str$"):
        _vantu.select(0.75, t, "a")
    assert s.n_nodes() == n + 1
    with pytest.raises(TypeError, match="^unsupported operand for a traced value: str$"):
        _vantu.select("a", t, other)
    with pytest.raises(TypeError, match="missing required argument 'b'"):
        _vantu.select(c, t)


# -- reduce ----------------------------------------------------------------------


@pytest.mark.parametrize("op, text", [("sum", "sum"), ("product", "prod"), ("min", "min"), ("max", "max")])
def test_reduce(op, text):
    s = _vantu.Scope()
    x, y, z = inputs(s, "x", "y", "z")
    r = _vantu.reduce(op, [x, y, z])
    body = r.expr()
    assert body.startswith(text + "(") and sorted(body[len(text) + 1 : -1].split(", ")) == ["x", "y", "z"]
    n = s.n_nodes()
    assert n == 6
    # One node whatever the order or kind of the iterable.
    for xs in ([z, y, x], (y, x, z), iter([x, z, y]), (v for v in (z, x, y))):
        assert _vantu.reduce(op, xs).expr() == body
    assert s.n_nodes() == n
    assert _vantu.reduce(op, [x]).expr() == "x"


def test_reduce_consumes_a_generator_fully():
    s = _vantu.Scope()
    (t,) = inputs(s, "t")
    gen = (v for v in [t, 1])
    r = _vantu.reduce("max", gen)
    assert r.expr() in ("max(t, 1.0)", "max(1.0, t)")
    assert next(gen, "done") == "done"
    assert s.n_nodes() == 4


def test_reduce_errors():
    s = _vantu.Scope()
    (t,) = inputs(s, "t")
    # The name is checked before the operands are looked at.
    for xs in ([t], 5, [1, 2], ["a"]):
        with pytest.raises(ValueError, match="^unknown reduction 'prod'$"):
            _vantu.reduce("prod", xs)
    with pytest.raises(ValueError, match="^unknown reduction 'Sum'$"):
        _vantu.reduce("Sum", [t])
    with pytest.raises(TypeError, match="^reduce\\(\\) argument 'op' must be str, not int$"):
        _vantu.reduce(0, [t])
    for xs in ([], [1, 2], range(3)):
        with pytest.raises(TypeError, match="^a traced operand is needed$"):
            _vantu.reduce("sum", xs)
    with pytest.raises(TypeError, match="not iterable"):
        _vantu.reduce("sum", 5)
    with pytest.raises(TypeError, match="^unsupported operand for a traced value: NoneType$"):
        _vantu.reduce("min", [t, None])
    with pytest.raises(ValueError, match="^tracers from different scopes$"):
        _vantu.reduce("min", [t, _vantu.Scope().input()])

    def failing():
        yield t
        yield 2.5
        raise KeyError("in iteration")

    with pytest.raises(KeyError):
        _vantu.reduce("sum", failing())
    # Iteration ends before any conversion: nothing was built.
    assert s.n_nodes() == 3


# -- matmul ----------------------------------------------------------------------


def test_matmul_entries():
    s = _vantu.Scope()
    a = inputs(s, *names("a", 6))  # 2 x 3
    b = inputs(s, *names("b", 12))  # 3 x 4
    c = _vantu.matmul(a, b, 4)
    assert type(c) is list and len(c) == 8 and all(type(t) is _vantu.Tracer for t in c)
    for i in range(2):
        for j in range(4):
            terms = " + ".join(f"a{3 * i + k}*b{j + 4 * k}" for k in range(3))
            assert c[4 * i + j].expr() == f"dot({terms})"
    n = s.n_nodes()
    assert n == 2 + 18 + 8
    assert [t.expr() for t in _vantu.matmul(iter(a), tuple(b), n=4)] == [t.expr() for t in c]
    assert s.n_nodes() == n


def test_matmul_repeated_operands_and_numbers():
    s = _vantu.Scope()
    t, u = inputs(s, "t", "u")
    c = _vantu.matmul([t] * 6, [u] * 12, 4)
    assert len(c) == 8 and len({x.expr() for x in c}) == 1
    assert c[0].expr() == "dot(t*u + t*u + t*u)"
    # k = 1 is an outer product of plain products.
    assert [x.expr() for x in _vantu.matmul([t, u], [u, 2], 2)] == ["t*u", "t*2.0", "u*u", "u*2.0"]
    assert _vantu.matmul([1, 2], [t, u], 1)[0].expr() == "dot(1.0*t + 2.0*u)"
    # No rows: nothing to build, but a tracer gave the scope.
    assert _vantu.matmul([], [t, u], 2) == []


@pytest.mark.parametrize("len_a, len_b, n", [(6, 4, 0), (6, 4, 3), (2, 4, 5), (5, 4, 2), (3, 0, 1), (1, 1, 2)])
def test_matmul_shape_errors(len_a, len_b, n):
    s = _vantu.Scope()
    t = s.input()
    with pytest.raises(ValueError, match="^matmul takes the m\\*k entries of a and the k\\*n of b$"):
        _vantu.matmul([t] * len_a, [t] * len_b, n)


def test_matmul_check_order():
    s = _vantu.Scope()
    t, u = inputs(s, "t", "u")
    other = _vantu.Scope().input()
    # The kind of n comes before the iterables are touched.
    gen = (v for v in [t])
    with pytest.raises(TypeError, match="^matmul\\(\\) argument 'n' must be int, not float$"):
        _vantu.matmul(gen, [u], 1.0)
    assert next(gen) is t
    with pytest.raises(OverflowError):
        _vantu.matmul([t], [u], -1)
    with pytest.raises(TypeError, match="^a traced operand is needed$"):
        _vantu.matmul([], [], 0)
    # Conversion, a before b, comes before the shape check.
    with pytest.raises(TypeError, match="^unsupported operand for a traced value: str$"):
        _vantu.matmul([t, "a"], [other], 7)
    with pytest.raises(ValueError, match="^tracers from different scopes$"):
        _vantu.matmul([t], [other, "a"], 7)
    with pytest.raises(TypeError, match="^unsupported operand for a traced value: str$"):
        _vantu.matmul([3.5], [t, "a"], 7)
    assert s.n_nodes() == 5  # t, u and the constant 3.5


# -- solve -----------------------------------------------------------------------


def test_solve():
    s = _vantu.Scope()
    a = inputs(s, *names("a", 9))
    b = inputs(s, *names("b", 3))
    x = _vantu.solve(a, b)
    assert [t.expr() for t in x] == ["solve3[0]", "solve3[1]", "solve3[2]"]
    assert s.n_nodes() == 2 + 12 + 3
    t = s.input("t")
    assert [v.expr() for v in _vantu.solve([t] * 4, [1, 2])] == ["solve2[0]", "solve2[1]"]
    # One unknown is a quotient, the same node as b0 / a0.
    (q,) = _vantu.solve((v for v in [a[0]]), [b[0]])
    n = s.n_nodes()
    assert q.expr() == (b[0] / a[0]).expr()
    assert s.n_nodes() == n


def test_solve_errors():
    s = _vantu.Scope()
    t = s.input("t")
    for a, b in (([t] * 3, [1, 2]), ([t], []), ([t] * 4, [1])):
        with pytest.raises(ValueError, match="^solve takes the n\\*n entries of a and the n of b$"):
            _vantu.solve(a, b)
    with pytest.raises(TypeError, match="^a traced operand is needed$"):
        _vantu.solve([], [])
    with pytest.raises(TypeError, match="^a traced operand is needed$"):
        _vantu.solve([1.0], [2.0])
    with pytest.raises(TypeError, match="^unsupported operand for a traced value: list$"):
        _vantu.solve([t, t, t, []], [1])


def test_functions_stay_on_the_tracers_thread():
    s = _vantu.Scope()
    t = s.input("t")
    n = s.n_nodes()
    calls = [
        lambda: _vantu.select(1, t, 2),
        lambda: _vantu.reduce("sum", [2, t]),
        lambda: _vantu.matmul([t], [t], 1),
        lambda: _vantu.solve([t], [t]),
    ]
    caught = []

    def run():
        for call in calls:
            try:
                call()
            except BaseException as e:  # noqa: B902
                caught.append(e)

    th = threading.Thread(target=run)
    th.start()
    th.join()
    assert len(caught) == 4
    assert all(isinstance(e, _vantu.InternalError) for e in caught)
    assert s.n_nodes() == n


def test_repeated_tracing_leaks_no_objects():
    s = _vantu.Scope()
    x, y = inputs(s, "x", "y")
    other = _vantu.Scope().input()

    def work():
        x.sin()
        x.arctan2(y)
        x.power(0.5)
        x.maximum(2)
        math.floor(x)
        x.select(x < y, 1)
        x == "a"
        repr(x * y)
        (x + 1).expr()
        _vantu.select(x, y, 1)
        _vantu.reduce("sum", (v for v in [x, y, 2]))
        _vantu.matmul([x, y], [y, x], 1)
        _vantu.solve([x, y, y, x], [1, 2])
        for bad in (lambda: x.sin(1), lambda: x.pow, lambda: x.hypot("a"), lambda: _vantu.reduce("sum", [x, other])):
            try:
                bad()
            except (TypeError, AttributeError, ValueError):
                pass

    for _ in range(50):
        work()
    nodes = s.n_nodes()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(500):
        work()
    gc.collect()
    assert sys.getallocatedblocks() - before < 50
    assert s.n_nodes() == nodes
