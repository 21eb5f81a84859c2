"""Tracer text (expr, repr) and the tracer's own functions: named elementwise
methods, rounding protocol methods, select, comparisons, and numpy ufuncs on
object arrays of tracers."""

import inspect
import math
import threading

import numpy
import pytest

import _vantu


@pytest.fixture
def xy():
    s = _vantu.Scope()
    return s, s.input("x"), s.input("y")


# -- Text ----------------------------------------------------------------------


def tree_of_size(x, size):
    """A tracer whose expression tree has exactly `size` nodes over only about
    2 log2(size) distinct ones: sin adds one node, t + t doubles and adds one."""
    if size == 1:
        return x
    if size % 2:
        half = tree_of_size(x, (size - 1) // 2)
        return half + half
    return tree_of_size(x, size - 1).sin()


def text_tree_size(text):
    """Nodes of a tree of sin, + and x, counted from its inline text."""
    return text.count("sin(") + text.count(" + ") + text.count("x")


def test_repr_shows_text_up_to_200_tree_nodes():
    s = _vantu.Scope()
    x = s.input("x")
    assert repr(x) == "Tracer(x)"
    assert repr(x - 1) == "Tracer((x + -1.0))"
    t200 = tree_of_size(x, 200)
    assert s.n_nodes() < 40
    assert repr(t200) == "Tracer(" + t200.expr() + ")"
    assert text_tree_size(t200.expr()) == 200
    t201 = tree_of_size(x, 201)
    r = repr(t201)
    assert r.startswith("Tracer(#") and r.endswith(", over 200 nodes)")
    node = int(r[len("Tracer(#") : -len(", over 200 nodes)")])
    assert 2 < node < s.n_nodes()
    assert text_tree_size(t201.expr()) == 201


def test_expr_switches_to_the_listing_for_large_expressions():
    s = _vantu.Scope()
    acc = s.input("x")
    for i in range(400):
        acc = acc + s.input(f"v{i}")
    text = acc.expr()
    node = repr(acc)[len("Tracer(#") : -len(", over 200 nodes)")]
    lines = text.split("\n")
    assert len(lines) == 401
    assert lines[0].endswith(" = (x + v0)") and lines[0].startswith("%")
    assert lines[399] == f"%{node} = (%{lines[398].split(' ')[0][1:]} + v399)"
    assert lines[-1] == f"%{node}"
    # Small pieces of the same graph stay inline.
    assert (s.input("v0") * 2).expr() == "v0*2.0"


def test_expr_signature():
    assert _vantu.Tracer.expr.__text_signature__ == "($self)"
    assert _vantu.Tracer.expr.__doc__ == "The expression as text."


# -- Named methods -------------------------------------------------------------

UNARY = [
    "exp", "ln", "sqrt", "sin", "cos", "sinh", "cosh", "tanh", "atan", "floor", "tan", "log10", "log2",
    "log1p", "expm1", "cbrt", "abs", "sign", "ceil", "round", "trunc", "asin", "acos", "asinh", "acosh",
    "atanh", "erf", "erfc", "lgamma", "tgamma", "digamma", "trigamma", "rand_uniform",
]  # fmt: skip

UNARY_ALIASES = {
    "arcsin": "asin", "arccos": "acos", "arctan": "atan", "arcsinh": "asinh", "arccosh": "acosh",
    "arctanh": "atanh", "log": "ln", "fabs": "abs", "absolute": "abs", "rint": "round",
    "gammaln": "lgamma", "gamma": "tgamma",
}  # fmt: skip


@pytest.mark.parametrize("name, op", [(n, n) for n in UNARY] + list(UNARY_ALIASES.items()))
def test_unary_method(xy, name, op):
    s, x, y = xy
    m = getattr(x, name)
    assert type(m).__name__ == "Method"
    r = m()
    assert r.expr() == f"{op}(x)"
    assert s.n_nodes() == 5
    # The alias and the catalogue name build the same node.
    assert getattr(x, op)().expr() == r.expr()
    assert s.n_nodes() == 5


@pytest.mark.parametrize(
    "name, arg, text, grows",
    [
        ("atan2", "y", "atan2(x, y)", 1),
        ("arctan2", "y", "atan2(x, y)", 1),
        ("hypot", 2, "hypot(x, 2.0)", 2),
        ("mod", "y", "mod(x, y)", 1),
        ("fmod", -1.5, "mod(x, -1.5)", 2),
        ("powf", "y", "powf(x, y)", 1),
        ("power", 0.5, "powf(x, 0.5)", 2),
        # An integer exponent gives an integer power, as with **.
        ("powf", 2, "x^2", 1),
        ("power", 2, "x^2", 1),
        ("power", -1, "x^-1", 1),
        ("power", True, "x", 0),
        ("power", numpy.int64(3), "x^3", 1),
        ("power", 2**40, "powf(x, 1099511627776.0)", 2),
    ],
)
def test_binary_method(xy, name, arg, text, grows):
    s, x, y = xy
    r = getattr(x, name)(y if arg == "y" else arg)
    assert r.expr() == text
    assert s.n_nodes() == 4 + grows


@pytest.mark.parametrize("name, reduction", [("maximum", "max"), ("minimum", "min")])
def test_reduction_method(xy, name, reduction):
    s, x, y = xy
    r = getattr(x, name)(3)
    assert r.expr().startswith(reduction + "(")
    n = s.n_nodes()
    assert n == 6  # the constant 3.0 and the reduction
    # The same node as the module's reduction over [x, 3].
    assert _vantu.reduce(reduction, [x, 3]).expr() == r.expr()
    assert getattr(y, name)(x).expr() == _vantu.reduce(reduction, [x, y]).expr()
    assert s.n_nodes() == n + 1


def test_method_objects(xy):
    s, x, y = xy
    assert x.log is not x.ln and x.sin is not x.sin
    assert type(x.log) is type(x.ln)
    assert x.log().expr() == x.ln().expr() == "ln(x)"
    assert s.n_nodes() == 5
    method = type(x.sin)
    assert method.__doc__ == "A tracer's elementwise function, bound to it (`t.sin`, `t.arctan2`)."
    assert not hasattr(_vantu, "Method")
    with pytest.raises(TypeError, match="cannot create '_vantu.Method' instances"):
        method()
    with pytest.raises(TypeError):
        type("Sub", (method,), {})
    # Real methods are found first.
    for real in ("expr", "select", "__floor__"):
        assert type(getattr(x, real)).__name__ == "builtin_function_or_method"


def test_method_keeps_the_graph_alive():
    m = _vantu.Scope().input().cos
    assert m().expr() == "cos(in0)"


@pytest.mark.parametrize("name", ["pow", "prod", "sum", "max", "maximum_", "Sin", "exp2", "\udc80"])
def test_unknown_attribute(xy, name):
    s, x, y = xy
    with pytest.raises(AttributeError) as e:
        getattr(x, name)
    assert str(e.value) == f"'Tracer' object has no attribute '{name}'"
    assert not hasattr(x, name)
    with pytest.raises(AttributeError):
        x.sin = 1


@pytest.mark.parametrize(
    "call, count",
    [
        (lambda t: t.sin(1), 1),
        (lambda t: t.arcsin(1, 2), 2),
        (lambda t: t.atan2(), 0),
        (lambda t: t.hypot(1, 2), 2),
        (lambda t: t.power(), 0),
        (lambda t: t.maximum(), 0),
        (lambda t: t.minimum(1, 2, 3), 3),
    ],
)
def test_method_argument_count(xy, call, count):
    s, x, y = xy
    with pytest.raises(TypeError) as e:
        call(x)
    assert str(e.value) == f"wrong number of arguments: {count}"
    assert s.n_nodes() == 4


@pytest.mark.parametrize(
    "call, type_name",
    [
        (lambda t: t.arctan2("x"), "str"),
        (lambda t: t.hypot(None), "NoneType"),
        (lambda t: t.power("2"), "str"),
        (lambda t: t.powf([2]), "list"),
        (lambda t: t.maximum({}), "dict"),
        (lambda t: t.fmod(1j), "complex"),
    ],
)
def test_method_unsupported_operand(xy, call, type_name):
    s, x, y = xy
    with pytest.raises(TypeError) as e:
        call(x)
    assert str(e.value) == f"unsupported operand for a traced value: {type_name}"
    assert s.n_nodes() == 4


def test_method_errors_from_operands_and_keywords(xy):
    s, x, y = xy
    other = _vantu.Scope().input()
    for call in (x.hypot, x.power, x.maximum):
        with pytest.raises(ValueError, match="^tracers from different scopes$"):
            call(other)
    with pytest.raises(TypeError, match=r"^sin\(\) takes no keyword arguments$"):
        x.sin(x=1)
    with pytest.raises(TypeError, match=r"^arctan2\(\) takes no keyword arguments$"):
        x.arctan2(other=y)
    assert s.n_nodes() == 4


def test_method_stays_on_its_thread(xy):
    s, x, y = xy
    m = x.exp
    caught = []
    th = threading.Thread(target=lambda: caught.append(pytest.raises(BaseException, m).value))
    th.start()
    th.join()
    assert isinstance(caught[0], _vantu.InternalError)
    assert str(caught[0]).startswith("Method object was sent to another thread")
    assert s.n_nodes() == 4


# -- Rounding protocol, select, comparisons --------------------------------------


@pytest.mark.parametrize(
    "fn, method, op", [(math.floor, "__floor__", "floor"), (math.ceil, "__ceil__", "ceil"), (math.trunc, "__trunc__", "trunc")]
)
def test_rounding_protocol(xy, fn, method, op):
    s, x, y = xy
    r = fn(x * y)
    assert type(r) is _vantu.Tracer and r.expr() == f"{op}(x*y)"
    assert getattr(x * y, op)().expr() == r.expr()
    assert s.n_nodes() == 6
    m = getattr(_vantu.Tracer, method)
    assert m.__text_signature__ == "($self)" and not m.__doc__


def test_round_has_no_slot(xy):
    s, x, y = xy
    with pytest.raises(TypeError):
        round(x)
    assert x.rint().expr() == x.round().expr() == "round(x)"


def test_select_method(xy):
    s, x, y = xy
    assert x.select(x > y, 0.0).expr() == "select((x > y), x, 0.0)"
    assert x.select(cond=y, other=2).expr() == "select(y, x, 2.0)"
    assert x.select(1, y).expr() == "x"  # a constant condition picks at once
    assert x.select(0, y).expr() == "y"
    assert x.select(float("nan"), y).expr() == "x"
    assert _vantu.Tracer.select.__text_signature__ == "($self, cond, other)"
    assert _vantu.Tracer.select.__doc__ == "`cond != 0 ? self : other` (the select node)."
    assert inspect.signature(x.select) == inspect.Signature(
        [inspect.Parameter(n, inspect.Parameter.POSITIONAL_OR_KEYWORD) for n in ("cond", "other")]
    )


def test_select_method_errors(xy):
    s, x, y = xy
    n = s.n_nodes()
    with pytest.raises(TypeError, match="missing required argument 'other'"):
        x.select(y)
    with pytest.raises(TypeError, match="^unsupported operand for a traced value: str$"):
        x.select("c", y)
    # The condition is converted first: its constant stays when `other` fails.
    with pytest.raises(TypeError, match="^unsupported operand for a traced value: list$"):
        x.select(0.25, [])
    assert s.n_nodes() == n + 1
    with pytest.raises(ValueError, match="^tracers from different scopes$"):
        x.select(y, _vantu.Scope().input())


@pytest.mark.parametrize(
    "cmp, text",
    [
        (lambda x, y: x < y, "(x < y)"),
        (lambda x, y: x <= y, "(x <= y)"),
        (lambda x, y: x == y, "(x == y)"),
        (lambda x, y: x != y, "(x != y)"),
        (lambda x, y: x > y, "(x > y)"),
        (lambda x, y: x >= y, "(x >= y)"),
        (lambda x, y: x == 1, "(x == 1.0)"),
        # A number on the left: CPython mirrors the operator onto the tracer.
        (lambda x, y: 2 < x, "(x > 2.0)"),
        (lambda x, y: 2 >= x, "(x <= 2.0)"),
        (lambda x, y: 2 == x, "(x == 2.0)"),
        (lambda x, y: numpy.float64(2) != x, "(x != 2.0)"),
    ],
)
def test_comparison(xy, cmp, text):
    s, x, y = xy
    r = cmp(x, y)
    assert type(r) is _vantu.Tracer and r.expr() == text


def test_comparison_with_non_operands(xy):
    s, x, y = xy
    assert (x == "a") is False
    assert (x != None) is True  # noqa: E711
    assert (x == x.sin) is False
    for cmp in (lambda: x < "a", lambda: x >= None, lambda: [] > x):
        with pytest.raises(TypeError, match="not supported between instances"):
            cmp()
    with pytest.raises(ValueError, match="^tracers from different scopes$"):
        x == _vantu.Scope().input()  # noqa: B015
    assert s.n_nodes() == 4


# -- numpy ufuncs over object arrays ---------------------------------------------


@pytest.mark.parametrize(
    "ufunc, method",
    [
        (numpy.sin, "sin"),
        (numpy.log, "ln"),
        (numpy.arcsinh, "asinh"),
        (numpy.sqrt, "sqrt"),
        (numpy.rint, "round"),
        (numpy.absolute, "abs"),
        (numpy.floor, "floor"),
    ],
)
def test_numpy_unary_ufunc_on_tracers(xy, ufunc, method):
    s, x, y = xy
    out = ufunc(numpy.array([x, y * 2], dtype=object))
    assert [t.expr() for t in out] == [f"{method}(x)", f"{method}(y*2.0)"]


@pytest.mark.parametrize(
    "ufunc, text", [(numpy.arctan2, "atan2"), (numpy.hypot, "hypot"), (numpy.fmod, "mod"), (numpy.power, "powf")]
)
def test_numpy_binary_ufunc_on_tracers(xy, ufunc, text):
    s, x, y = xy
    out = ufunc(numpy.array([x, y], dtype=object), numpy.array([y, x], dtype=object))
    assert [t.expr() for t in out] == [f"{text}(x, y)", f"{text}(y, x)"]
