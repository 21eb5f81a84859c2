"""Object arrays of tracers that numpy code can trace through.

numpy applies most ufuncs to object arrays by calling each element's method
of the same name, which a tracer answers. A few ufuncs (comparisons,
``maximum``/``minimum``, ``sign``) instead take the truth value of an element
comparison, which a traced value cannot give. ``TracerArray`` routes those
through the tracers' own methods, lifts plain numbers next to tracers into
their scope where a method needs a tracer first, and maps the dense linear
algebra (``@``, ``dot``, ``linalg.solve``) and whole-array sums onto the
module's fused operations, so that a traced model keeps one ``Dot`` per
product entry (fused into matrix kernels once compiled) and one ``Reduce``
per sum.
"""

import numpy

import _vantu

__all__ = ["TracerArray", "as_traced"]


def _first_tracer(values):
    for v in values:
        if isinstance(v, _vantu.Tracer):
            return v
    return None


def _lift(value, like):
    """A number as a tracer of `like`'s scope (the constant node itself)."""
    if isinstance(value, _vantu.Tracer):
        return value
    return _vantu.select(1.0, value, like)


def _method(name, numeric):
    """An elementwise handler calling the tracer method `name`.

    With no tracer among the arguments, the plain numeric function applies.
    """

    def handler(*args):
        t = _first_tracer(args)
        if t is None:
            return numeric(*args)
        first = _lift(args[0], t)
        return getattr(first, name)(*args[1:])

    return handler


def _extreme(op, numeric):
    def handler(a, b):
        if _first_tracer((a, b)) is None:
            return numeric(a, b)
        return _vantu.reduce(op, [a, b])

    return handler


# Ufuncs whose object loops do not trace on their own.
_ELEMENTWISE = {
    numpy.maximum: _extreme("max", numpy.fmax),
    numpy.minimum: _extreme("min", numpy.fmin),
    numpy.fmax: _extreme("max", numpy.fmax),
    numpy.fmin: _extreme("min", numpy.fmin),
    numpy.sign: _method("sign", numpy.sign),
    numpy.arctan2: _method("arctan2", numpy.arctan2),
    numpy.hypot: _method("hypot", numpy.hypot),
    numpy.fmod: _method("fmod", numpy.fmod),
    numpy.power: _method("power", numpy.power),
    numpy.float_power: _method("power", numpy.float_power),
    numpy.square: lambda x: x * x,
    numpy.reciprocal: lambda x: 1.0 / x,
}

_COMPARISONS = {
    numpy.greater,
    numpy.greater_equal,
    numpy.less,
    numpy.less_equal,
    numpy.equal,
    numpy.not_equal,
}


def _plain(x):
    return x.view(numpy.ndarray) if isinstance(x, TracerArray) else x


def _wrap(result):
    if isinstance(result, numpy.ndarray) and result.dtype == object:
        return result.view(TracerArray)
    return result


def _matmul(a, b):
    a = numpy.asarray(_plain(a), dtype=object)
    b = numpy.asarray(_plain(b), dtype=object)
    if a.ndim == 0 or b.ndim == 0 or a.ndim > 2 or b.ndim > 2:
        return None
    vec_a, vec_b = a.ndim == 1, b.ndim == 1
    a2 = a.reshape(1, -1) if vec_a else a
    b2 = b.reshape(-1, 1) if vec_b else b
    m, k = a2.shape
    k2, n = b2.shape
    if k != k2:
        raise ValueError(f"matmul: shapes {a.shape} and {b.shape} do not align")
    if _first_tracer(list(a2.flat) + list(b2.flat)) is None:
        return None
    if k == 0:
        out = numpy.zeros((m, n)).astype(object)
    else:
        out = numpy.array(_vantu.matmul(list(a2.flat), list(b2.flat), n), dtype=object).reshape(m, n)
    if vec_a and vec_b:
        return out[0, 0]
    if vec_a:
        return _wrap(out.reshape(n))
    if vec_b:
        return _wrap(out.reshape(m))
    return _wrap(out)


def _solve(a, b):
    a = numpy.asarray(_plain(a), dtype=object)
    b = numpy.asarray(_plain(b), dtype=object)
    if a.ndim != 2 or a.shape[0] != a.shape[1] or b.ndim not in (1, 2) or b.shape[0] != a.shape[0]:
        return None
    if b.ndim == 1:
        return _wrap(numpy.array(_vantu.solve(list(a.flat), list(b)), dtype=object))
    cols = [_vantu.solve(list(a.flat), list(b[:, j])) for j in range(b.shape[1])]
    return _wrap(numpy.array(cols, dtype=object).T.copy())


def _where(cond, a, b):
    cond, a, b = numpy.broadcast_arrays(*(numpy.asarray(_plain(v), dtype=object) for v in (cond, a, b)))
    out = numpy.empty(cond.shape, dtype=object)
    for idx in numpy.ndindex(cond.shape):
        c, x, y = cond[idx], a[idx], b[idx]
        if _first_tracer((c, x, y)) is None:
            out[idx] = x if c != 0 or c != c else y
        else:
            out[idx] = _vantu.select(c, x, y)
    return _wrap(out) if out.ndim else out[()]


def _sum(a, axis=None, dtype=None, out=None, keepdims=False, where=True, **kwargs):
    """A whole-array sum as one Reduce node; NotImplemented for other forms."""
    a = numpy.asarray(_plain(a), dtype=object)
    if axis is not None and not (a.ndim == 1 and axis in (0, -1, (0,))):
        return NotImplemented
    if dtype is not None or out is not None or keepdims or where is not True or kwargs:
        return NotImplemented
    items = list(a.flat)
    if _first_tracer(items) is None:
        return NotImplemented
    return _vantu.reduce("sum", items)


class TracerArray(numpy.ndarray):
    """A numpy object array of tracers (and numbers) whose numpy operations trace.

    Made by ``as_traced``; ``Compiled`` hands its array arguments to the traced
    function in this form. Slicing, arithmetic, ufuncs, ``@``, ``sum`` and
    ``numpy.where`` work as on numbers but build graph nodes.
    """

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        plain = [_plain(x) for x in inputs]
        if "out" in kwargs:
            kwargs["out"] = tuple(_plain(o) for o in kwargs["out"])
        if method == "__call__":
            handler = _ELEMENTWISE.get(ufunc)
            if handler is not None and not kwargs:
                return _wrap(numpy.frompyfunc(handler, ufunc.nin, 1)(*plain))
            if ufunc in _COMPARISONS:
                kwargs.setdefault("dtype", object)
            if ufunc is numpy.matmul and not kwargs:
                result = _matmul(*plain)
                if result is not None:
                    return result
        elif method == "reduce" and ufunc is numpy.add:
            result = _sum(*plain, **kwargs)
            if result is not NotImplemented:
                return result
        return _wrap(getattr(ufunc, method)(*plain, **kwargs))

    def __array_function__(self, func, types, args, kwargs):
        if func is numpy.where and len(args) == 3 and not kwargs:
            return _where(*args)
        if func in (numpy.dot, numpy.matmul) and len(args) == 2 and not kwargs:
            result = _matmul(*args)
            if result is not None:
                return result
        if func is numpy.linalg.solve and len(args) == 2 and not kwargs:
            result = _solve(*args)
            if result is not None:
                return result
        return _wrap(super().__array_function__(func, types, args, kwargs))


def as_traced(values):
    """``values`` (tracers, numbers, nested lists or arrays of them) as a TracerArray."""
    return numpy.asarray(values, dtype=object).view(TracerArray)
