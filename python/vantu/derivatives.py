"""Derivatives of numpy-style Python functions: ``grad`` and ``jacobian``.

Both trace the function as ``Compiled`` does (one program per combination of
argument shapes, cached in the ``_vantu.Dispatch`` base), but compile the
derivative of its result instead of the result itself, built symbolically in
the traced graph. A call on shapes seen before runs the cached derivative
program without running any Python code of the function.

    >>> df = grad(lambda x: (x**2).sum())
    >>> df(numpy.array([1.0, 2.0]))
    array([2., 4.])
"""

import functools
import math
import operator
from collections import namedtuple

import numpy

import _vantu
from vantu.compiled import _flatten_result, _trace_inputs

__all__ = ["grad", "jacobian", "SparseMatrix"]


class SparseMatrix(namedtuple("SparseMatrix", ["values", "rows", "cols", "shape"])):
    """A sparse Jacobian: ``values[k]`` is entry ``(rows[k], cols[k])`` of a
    matrix of ``shape`` = (result size, differentiated argument size), rows
    and columns counting the flattened result and argument(s).

    The entries are the structurally nonzero derivatives, row by row in
    ascending columns; an entry may still be 0.0 for particular argument
    values. ``(values, (rows, cols))`` with ``shape`` is the usual coordinate
    form of sparse-matrix libraries.
    """

    __slots__ = ()

    def toarray(self):
        """The dense matrix, zero outside the pattern."""
        dense = numpy.zeros(self.shape)
        dense[self.rows, self.cols] = self.values
        return dense


def _argnums(argnums):
    """The argnums option as (tuple of ints, whether it was a single int)."""
    if isinstance(argnums, tuple):
        return tuple(operator.index(i) for i in argnums), False
    try:
        return (operator.index(argnums),), True
    except TypeError:
        raise TypeError(f"argnums must be an int or a tuple of ints, not {type(argnums).__name__}") from None


def _size(shape):
    return 1 if shape is None else math.prod(shape)


def _shaped(flat, shape):
    """`flat` reshaped to `shape`, or its one value as a float for shape ()."""
    return float(flat.reshape(())) if shape == () else flat.reshape(shape)


class _Derivative(_vantu.Dispatch):
    """Common tracing of the derivative classes: the subclass's ``_build``
    turns the traced outputs into the program."""

    def __init__(self, fn, argnums=0):
        self.fn = fn
        self.argnums, self._single = _argnums(argnums)
        # Per program: what a call needs beyond the values (split layout,
        # sparse pattern). Keyed by the cached program itself.
        self._layouts = {}
        functools.update_wrapper(self, fn)

    def _columns(self, shapes):
        """Per differentiated argument: (first input position, shape)."""
        n = len(shapes)
        starts = [0]
        for shape in shapes:
            starts.append(starts[-1] + _size(shape))
        picked = []
        for i in self.argnums:
            if not -n <= i < n:
                raise TypeError(f"argnums {i} needs at least {i + 1 if i >= 0 else -i} positional arguments, got {n}")
            picked.append(i % n)
        if len(set(picked)) != len(picked):
            raise ValueError(f"argnums {self.argnums} names an argument twice")
        return [(starts[i], shapes[i]) for i in picked]

    def _trace(self, shapes):
        scope = _vantu.Scope()
        columns = self._columns(shapes)
        outputs, result_shape = _flatten_result(self.fn(*_trace_inputs(scope, shapes)))
        wrt = [k for start, shape in columns for k in range(start, start + _size(shape))]
        program, shape, layout = self._build(scope, outputs, result_shape, wrt, [s for _, s in columns])
        if layout is not None:
            self._layouts[program] = layout
        return program, shape

    def _layout(self, args):
        return self._layouts[self.program(*args)]

    def __repr__(self):
        return f"<vantu.{type(self).__name__.lstrip('_')} of {getattr(self.fn, '__qualname__', self.fn)!r}>"


class _Gradient(_Derivative):
    """The gradient of a scalar-valued function with respect to one argument:
    an array of that argument's shape, a float for a number. Calls run
    entirely in the Dispatch base."""

    def _build(self, scope, outputs, result_shape, wrt, arg_shapes):
        if result_shape is not None:
            raise TypeError(f"grad needs a scalar-valued function, got a result of shape {result_shape}")
        out = outputs[0]
        if not isinstance(out, _vantu.Tracer):
            out = scope.constant(out)
        # An empty wrt would mean every input: an empty argument has none.
        program = scope.gradient(out, wrt) if wrt else scope.compile([])
        if self._single:
            return program, arg_shapes[0], None
        return program, (len(wrt),), [s or () for s in arg_shapes]


class _GradientParts(_Gradient):
    """The gradient with respect to several arguments, as a tuple."""

    def __call__(self, *args):
        flat = super().__call__(*args)
        parts, start = [], 0
        for shape in self._layout(args):
            size = math.prod(shape)
            parts.append(_shaped(flat[start : start + size], shape))
            start += size
        return tuple(parts)


class _Jacobian(_Derivative):
    """The Jacobian with respect to one argument: an array of shape
    result_shape + argument_shape (a float when both are scalars)."""

    def _build(self, scope, outputs, result_shape, wrt, arg_shapes):
        result_shape = result_shape or ()
        program = scope.jacobian(outputs, wrt) if wrt else scope.compile([])
        if self._single:
            return program, (result_shape + (arg_shapes[0] or ())) or None, None
        return program, (len(outputs), len(wrt)), (result_shape, [s or () for s in arg_shapes])


class _JacobianParts(_Jacobian):
    """The Jacobian with respect to several arguments, as a tuple."""

    def __call__(self, *args):
        matrix = super().__call__(*args)
        result_shape, arg_shapes = self._layout(args)
        parts, start = [], 0
        for shape in arg_shapes:
            size = math.prod(shape)
            parts.append(_shaped(matrix[:, start : start + size], result_shape + shape))
            start += size
        return tuple(parts)


class _SparseJacobian(_Derivative):
    """The Jacobian in its structural nonzeros, as a ``SparseMatrix`` over the
    flattened result (rows) and the flattened arguments laid end to end
    (columns)."""

    def _build(self, scope, outputs, result_shape, wrt, arg_shapes):
        if wrt:
            program = scope.sparse_jacobian(outputs, wrt)
            rows, cols = program.pattern
        else:
            program, rows, cols = scope.compile([]), [], []
        rows = numpy.array(rows, dtype=numpy.intp)
        cols = numpy.array(cols, dtype=numpy.intp)
        # Shared by every call on these shapes.
        rows.flags.writeable = False
        cols.flags.writeable = False
        return program, (len(rows),), (rows, cols, (len(outputs), len(wrt)))

    def __call__(self, *args):
        values = super().__call__(*args)
        rows, cols, shape = self._layout(args)
        return SparseMatrix(values, rows, cols, shape)


def grad(fn, argnums=0):
    """The gradient of the scalar-valued numpy-style function ``fn``.

    ``grad(fn)(x, ...)`` differentiates with respect to the first argument and
    returns an array of its shape (a float for a number); ``argnums`` picks
    another argument, or several as a tuple (then a tuple of gradients).
    One derivative program is traced per combination of argument shapes.
    """
    single = not isinstance(argnums, tuple)
    return (_Gradient if single else _GradientParts)(fn, argnums)


def jacobian(fn, argnums=0, sparse=False):
    """The Jacobian of the numpy-style function ``fn``.

    ``jacobian(fn)(x, ...)`` returns an array of shape result_shape + x_shape
    (entry ``[i..., j...]`` is d result[i...] / d x[j...]); ``argnums`` picks
    other arguments as for ``grad``. With ``sparse=True`` the result is a
    ``SparseMatrix`` holding only the structurally nonzero entries.
    """
    if sparse:
        return _SparseJacobian(fn, argnums)
    single = not isinstance(argnums, tuple)
    return (_Jacobian if single else _JacobianParts)(fn, argnums)
