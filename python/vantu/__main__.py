"""The demo: ``python -m vantu`` traces a small model, compiles it and runs it."""

import numpy

import _vantu
import vantu


def scope_demo() -> None:
    print("== Tracing into a scope ==")
    s = _vantu.Scope()
    x = s.input("x")
    y = s.input("y")
    r = (x * x + y * y).sqrt()
    angle = y.arctan2(x)
    print("r     =", r.expr())
    print("angle =", angle.expr())
    nodes = s.n_nodes()
    (x * x + y * y).sqrt()
    print(f"graph nodes: {nodes}; tracing r again adds {s.n_nodes() - nodes}")

    p = s.compile([r, angle])
    print(f"compiled: {p.n_inputs} inputs, {p.n_outputs} outputs, {p.n_ops} instructions")
    print(p.dump(), end="")
    print("eval(3, 4) =", p.eval(3.0, 4.0))


def matrix_demo() -> None:
    print("\n== Matrix kernels and a pivoting solve ==")
    s = _vantu.Scope()
    a = [s.input(f"a{i}{j}") for i in range(3) for j in range(3)]
    b = [s.input(f"b{i}") for i in range(3)]
    x = _vantu.solve(a, b)
    residual = [bi - ax for bi, ax in zip(b, _vantu.matmul(a, x, 1))]
    p = s.compile(x + residual)
    print(p.dump(), end="")
    rng = numpy.random.default_rng(7)
    am = rng.normal(size=(3, 3))
    bv = rng.normal(size=3)
    out = p.eval(am, bv)
    print("solution:", numpy.round(out[:3], 6), " numpy:", numpy.round(numpy.linalg.solve(am, bv), 6))
    print("residual:", out[3:])


def jit_demo() -> None:
    print("\n== numpy code, compiled once per argument shape ==")

    @vantu.jit
    def layer(w, v, bias):
        h = w @ v + bias
        return numpy.maximum(h, 0.0).sum()

    w = numpy.arange(6.0).reshape(2, 3) - 2.5
    v = numpy.array([0.5, -1.0, 2.0])
    got = layer(w, v, 0.25)
    want = numpy.maximum(w @ v + 0.25, 0.0).sum()
    print(f"layer(w, v, 0.25) = {got!r} (numpy: {float(want)!r})")
    print(layer.program(w, v, 0.25).dump(), end="")


def derivative_and_batch_demo() -> None:
    print("\n== Derivatives, batches and native code ==")

    def energy(q):
        return (q * q).sum() * 0.5 + numpy.cos(q).sum()

    dE = vantu.grad(energy)
    q = numpy.array([0.1, -0.4, 1.3])
    print("grad energy(q) =", dE(q), " (analytic:", q - numpy.sin(q), ")")

    s = _vantu.Scope()
    x = s.input("x")
    v = s.input("v")
    step = [x + 0.1 * v, v - 0.1 * x.sin()]
    p = s.compile(step)
    jac = s.jacobian(step)
    states = numpy.random.default_rng(3).normal(size=(5, 2))
    interpreted = p.eval_many(states)
    print("one pendulum step for 5 states:\n", numpy.round(numpy.reshape(interpreted, (5, 2)), 4))
    print("its Jacobian at (0.5, 0):", jac.eval(0.5, 0.0))
    try:
        p.compile_native()
        same = p.eval_many(states) == interpreted
        print("native code: compiled;", "bit-identical to the interpreter" if same else "DIFFERS from the interpreter")
    except ValueError as e:
        print(f"native code: {e} on this machine; the interpreter stays in use")


def main() -> None:
    scope_demo()
    matrix_demo()
    jit_demo()
    derivative_and_batch_demo()


if __name__ == "__main__":
    main()
