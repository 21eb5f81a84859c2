"""Scope and Tracer: the module's public names, inputs and constants, the
arithmetic operators (observed through the expression text and the node
count), their errors, and the thread and re-entrancy guards."""

import gc
import sys
import threading

import numpy
import pytest

import _vantu


def in_thread(fn):
    """Runs fn on a new thread; returns the exception it raised, or None."""
    caught = []

    def run():
        try:
            fn()
        except BaseException as e:  # noqa: B902  (the internal failure is a BaseException)
            caught.append(e)

    th = threading.Thread(target=run)
    th.start()
    th.join()
    return caught[0] if caught else None


def test_module_names():
    # Program and Dispatch join between the classes and the functions once
    # they are registered; the order of the rest is fixed.
    expected = ["Scope", "Tracer", "Program", "Dispatch", "select", "matmul", "reduce", "solve"]
    later = {"Program", "Dispatch"}
    assert _vantu.__all__ == [n for n in expected if n not in later or hasattr(_vantu, n)]
    assert all(hasattr(_vantu, n) for n in _vantu.__all__)
    assert not hasattr(_vantu, "Method")
    assert "InternalError" not in _vantu.__all__
    assert issubclass(_vantu.InternalError, BaseException)
    assert not issubclass(_vantu.InternalError, Exception)


def test_classes_are_closed():
    with pytest.raises(TypeError, match="cannot create '_vantu.Tracer' instances"):
        _vantu.Tracer()
    for cls in (_vantu.Scope, _vantu.Tracer):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    with pytest.raises(TypeError, match=r"Scope\(\) takes"):
        _vantu.Scope(1)
    assert _vantu.Scope.__doc__ == "An open graph: hands out input tracers and closes into programs."
    assert _vantu.Scope.__text_signature__ == "()"
    assert _vantu.Tracer.__doc__ == "An expression handle into a scope's graph."


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        ("input", "($self, name=None)", "A new positional input."),
        ("constant", "($self, v)", "A constant of this scope."),
        ("n_inputs", "($self)", "Number of inputs handed out."),
        ("n_nodes", "($self)", "Number of nodes in the graph."),
    ],
)
def test_scope_docstrings(method, signature, doc):
    m = getattr(_vantu.Scope, method)
    assert m.__text_signature__ == signature
    assert m.__doc__ == doc


def test_inputs_by_name():
    s = _vantu.Scope()
    assert (s.n_nodes(), s.n_inputs()) == (2, 0)
    a, b = s.input(), s.input()
    assert (a.expr(), b.expr()) == ("in0", "in1")
    x1, x2 = s.input("x"), s.input(name="x")
    assert x1 is not x2 and x1.expr() == x2.expr() == "x"
    assert (s.n_nodes(), s.n_inputs()) == (5, 4)
    # The default name counts every input handed out, named ones included,
    # and can meet an input named explicitly.
    s2 = _vantu.Scope()
    s2.input("in1")
    n = s2.n_nodes()
    assert s2.input().expr() == "in1"
    assert (s2.n_nodes(), s2.n_inputs()) == (n, 2)
    assert s.input("").expr() == ""
    assert s.input("µ x").expr() == "µ x"


@pytest.mark.parametrize(
    "value, text, grows",
    [
        (2.5, "2.5", 1),
        (-0.0, "0.0", 0),  # the zero node
        (0, "0.0", 0),
        (True, "1.0", 0),
        (float("nan"), "NaN", 1),
        (-float("nan"), "NaN", 1),
        (numpy.float64(1e-5), "1e-5", 1),
        (numpy.int32(7), "7.0", 1),
        (10**20, "1e20", 1),
    ],
)
def test_constant(value, text, grows):
    s = _vantu.Scope()
    c = s.constant(value)
    assert c.expr() == text
    assert s.n_nodes() == 2 + grows


def test_constant_nan_payloads_share_one_node():
    s = _vantu.Scope()
    x = s.input("x")
    signalling_negative = numpy.frombuffer(bytes.fromhex("0100000000f8ffff"), "<f8")[0]
    assert (x + float("nan")).expr() == (x + signalling_negative).expr() == "(x + NaN)"
    assert s.n_nodes() == 5


def test_constant_and_input_argument_errors():
    s = _vantu.Scope()
    with pytest.raises(TypeError, match="^input\\(\\) argument 'name' must be str or None, not int$"):
        s.input(5)
    with pytest.raises(TypeError, match="^constant\\(\\) argument 'v' must be a real number, not str$"):
        s.constant("1")
    with pytest.raises(TypeError, match="constant\\(\\) missing required argument 'v'"):
        s.constant()
    with pytest.raises(TypeError, match="unexpected keyword argument 'nam'|'nam' is an invalid keyword argument"):
        s.input(nam="x")
    with pytest.raises(TypeError, match="constant\\(\\) takes at most 1 argument \\(2 given\\)"):
        s.constant(1, 2)
    with pytest.raises(OverflowError):
        s.constant(10**400)

    class Bad:
        def __float__(self):
            raise KeyError("from __float__")

    with pytest.raises(KeyError, match="from __float__"):
        s.constant(Bad())
    assert (s.n_nodes(), s.n_inputs()) == (2, 0)


# Each row: the operation on inputs x, y (made in that order), its text and
# the number of nodes it adds to the graph.
OPERATORS = [
    ("x + y", lambda x, y: x + y, "(x + y)", 1),
    ("x + 1", lambda x, y: x + 1, "(1.0 + x)", 1),
    ("1 + x", lambda x, y: 1 + x, "(1.0 + x)", 1),
    ("x + True", lambda x, y: x + True, "(1.0 + x)", 1),
    ("x + f64", lambda x, y: x + numpy.float64(1), "(1.0 + x)", 1),
    ("x + 0", lambda x, y: x + 0, "x", 0),
    ("x - y", lambda x, y: x - y, "(x + -y)", 2),
    ("2 - x", lambda x, y: 2 - x, "(2.0 + -x)", 3),
    ("x * y", lambda x, y: x * y, "x*y", 1),
    ("3 * x", lambda x, y: 3 * x, "x*3.0", 2),
    ("x / y", lambda x, y: x / y, "x*y^-1", 2),
    ("2 / x", lambda x, y: 2 / x, "2.0*x^-1", 3),
    ("x // y", lambda x, y: x // y, "floor(x*y^-1)", 3),
    ("x % y", lambda x, y: x % y, "(x + -y*floor(x*y^-1))", 6),
    ("5 % x", lambda x, y: 5 % x, "(5.0 + -x*floor(5.0*x^-1))", 7),
    ("x ** 3", lambda x, y: x**3, "x^3", 1),
    ("x ** -1", lambda x, y: x**-1, "x^-1", 1),
    ("x ** True", lambda x, y: x**True, "x", 0),
    ("x ** i64", lambda x, y: x ** numpy.int64(2), "x^2", 1),
    ("x ** 0.5", lambda x, y: x**0.5, "powf(x, 0.5)", 2),
    ("x ** y", lambda x, y: x**y, "powf(x, y)", 1),
    ("2 ** x", lambda x, y: 2**x, "powf(2.0, x)", 2),
    ("-x", lambda x, y: -x, "-x", 1),
    ("--x", lambda x, y: -(-x), "x", 1),
    ("abs(x)", lambda x, y: abs(x), "abs(x)", 1),
    ("abs(-x)", lambda x, y: abs(-x), "abs(x)", 2),
    ("-(x*y)", lambda x, y: -(x * y), "-x*y", 2),
    ("x*(y+1)", lambda x, y: x * (y + 1), "x*((1.0 + y))", 2),
]


@pytest.mark.parametrize("op, text, grows", [r[1:] for r in OPERATORS], ids=[r[0] for r in OPERATORS])
def test_operators(op, text, grows):
    s = _vantu.Scope()
    x, y = s.input("x"), s.input("y")
    n = s.n_nodes()
    r = op(x, y)
    assert type(r) is _vantu.Tracer
    assert r.expr() == text
    assert s.n_nodes() == n + grows
    # The same operation again is shared, not rebuilt.
    assert op(x, y).expr() == text
    assert s.n_nodes() == n + grows


def test_positive_is_a_new_tracer_on_the_same_node():
    s = _vantu.Scope()
    x = s.input("x")
    p = +x
    assert p is not x and p.expr() == "x" and s.n_nodes() == 3


@pytest.mark.parametrize(
    "op",
    [
        lambda t: t + "a",
        lambda t: "a" - t,
        lambda t: t * None,
        lambda t: t / None,
        lambda t: t // "a",
        lambda t: t % "a",
        lambda t: t ** "a",
        lambda t: "a" ** t,
        lambda t: pow(t, 2, 3),
        lambda t: t @ t,
    ],
)
def test_operator_with_unconvertible_operand(op):
    s = _vantu.Scope()
    t = s.input()
    with pytest.raises(TypeError, match="unsupported operand type"):
        op(t)
    assert s.n_nodes() == 3


def test_in_place_operators_rebind():
    s = _vantu.Scope()
    t = u = s.input("t")
    t += 1
    t *= 2
    assert (t.expr(), u.expr()) == ("((1.0 + t))*2.0", "t")


@pytest.mark.parametrize("op", [lambda a, b: a + b, lambda a, b: b - a, lambda a, b: a**b, lambda a, b: b**a])
def test_tracers_of_two_scopes(op):
    s1, s2 = _vantu.Scope(), _vantu.Scope()
    a, b = s1.input(), s2.input()
    with pytest.raises(ValueError, match="^tracers from different scopes$"):
        op(a, b)
    assert (s1.n_nodes(), s2.n_nodes()) == (3, 3)


def test_truth_value_float_and_hash_are_refused():
    s = _vantu.Scope()
    t = s.input()
    truth = "a traced value has no truth value: data-dependent control flow is not traceable, use vantu.where"
    with pytest.raises(TypeError) as e:
        if t:
            pass
    assert str(e.value) == truth
    with pytest.raises(TypeError) as e:
        bool(t < 1)
    assert str(e.value) == truth
    with pytest.raises(TypeError) as e:
        float(t)
    assert str(e.value) == "a traced value cannot be converted to float during tracing"
    with pytest.raises(TypeError, match="unhashable"):
        hash(t)
    with pytest.raises(TypeError):
        {t: 1}


def test_graph_outlives_its_scope():
    s = _vantu.Scope()
    x = s.input("x")
    del s
    gc.collect()
    assert (x * 2).sin().expr() == "sin(x*2.0)"


def test_operand_conversion_runs_before_the_graph_is_taken():
    # A number whose conversion builds nodes on the same graph and hands out
    # an input: neither may find the graph or the scope held.
    s = _vantu.Scope()
    x = s.input("x")

    class Sneaky:
        def __float__(self):
            x * x
            s.input("z")
            return 2.0

    r = x + Sneaky()
    assert r.expr() == "(x + 2.0)"
    assert s.n_inputs() == 2
    assert repr(x - Sneaky()) == "Tracer((x + -2.0))"


def test_reentering_input_during_constant_is_refused():
    s = _vantu.Scope()
    s.input("x")

    class Reenter:
        def __float__(self):
            s.input("y")
            return 1.0

    n = s.n_nodes()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        s.constant(Reenter())
    assert (s.n_nodes(), s.n_inputs()) == (n, 1)
    # The scope is free again afterwards.
    assert s.input("y").expr() == "y"


@pytest.mark.parametrize(
    "use, cls",
    [
        (lambda s, t: t + 1, "Tracer"),
        (lambda s, t: 1 - t, "Tracer"),
        (lambda s, t: -t, "Tracer"),
        (lambda s, t: t < 2, "Tracer"),
        (lambda s, t: t.expr(), "Tracer"),
        (lambda s, t: repr(t), "Tracer"),
        (lambda s, t: t.sin, "Tracer"),
        (lambda s, t: s.input(), "Scope"),
        (lambda s, t: s.constant(1.5), "Scope"),
        (lambda s, t: s.n_nodes(), "Scope"),
    ],
)
def test_tracing_objects_stay_on_their_thread(use, cls):
    s = _vantu.Scope()
    t = s.input("x")
    n = s.n_nodes()
    e = in_thread(lambda: use(s, t))
    assert isinstance(e, _vantu.InternalError)
    assert str(e).startswith(cls + " object was sent to another thread")
    assert (s.n_nodes(), s.n_inputs()) == (n, 1)
    assert (t + 1).expr() == "(1.0 + x)"


def test_dropping_a_tracer_on_another_thread_is_reported(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append(str(u.exc_value)))
    s = _vantu.Scope()
    box = [s.input("x") + 1]
    assert in_thread(lambda: box.pop()) is None
    assert len(reports) == 1 and reports[0].startswith("Tracer object dropped on a thread other than its own")
    assert s.n_nodes() == 4
