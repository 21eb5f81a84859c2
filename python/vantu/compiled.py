"""Compiled functions: numpy-style Python traced once per argument shape.

``Compiled(fn)`` (or the decorator ``jit``) is a ``_vantu.Dispatch`` whose
``_trace`` hook builds the program for a new combination of argument shapes:
each argument becomes input tracers (a scalar tracer for a number, a numpy
object array of tracers for an array or a list), ``fn`` runs once on them,
and its result is compiled. Calls with shapes seen before run the cached
program without running any Python code of ``fn``.
"""

import functools

import numpy

import _vantu
from vantu.arrays import TracerArray

__all__ = ["Compiled", "jit"]


def _trace_inputs(scope, shapes):
    """One argument per shape: a tracer for None, else an object array of tracers."""
    args = []
    for shape in shapes:
        if shape is None:
            args.append(scope.input())
            continue
        arr = numpy.empty(shape, dtype=object)
        flat = arr.reshape(-1)
        for i in range(flat.size):
            flat[i] = scope.input()
        args.append(arr.view(TracerArray))
    return args


def _flatten_result(result):
    """The outputs of a traced result and its shape (None for a scalar)."""
    if isinstance(result, (_vantu.Tracer, int, float)):
        return [result], None
    arr = numpy.asarray(result, dtype=object)
    if arr.ndim == 0:
        return [arr.item()], None
    return list(arr.reshape(-1)), tuple(int(n) for n in arr.shape)


class Compiled(_vantu.Dispatch):
    """A function traced into one compiled program per combination of argument shapes.

    Arguments may be numbers, sequences or arrays of numbers; arrays reach the
    traced function as numpy object arrays of tracers, so numpy code (ufuncs,
    slicing, ``@`` on small arrays, ``sum``) traces as written. Data-dependent
    control flow is not traceable: use ``vantu.where``.
    """

    def __init__(self, fn):
        self.fn = fn
        functools.update_wrapper(self, fn)

    def _trace(self, shapes):
        scope = _vantu.Scope()
        result = self.fn(*_trace_inputs(scope, shapes))
        outputs, shape = _flatten_result(result)
        return scope.compile(outputs), shape

    def __repr__(self):
        return f"<vantu.Compiled {getattr(self.fn, '__qualname__', self.fn)!r}>"


def jit(fn):
    """Decorator form of ``Compiled``: ``@vantu.jit`` over a numpy-style function."""
    return Compiled(fn)
