"""vantu: trace numpy-style Python into compiled, differentiable float64 programs.

The extension module ``_vantu`` holds the tracing machinery; this package
re-exports its public names and adds the pieces written in Python.
"""

import _vantu
from _vantu import *  # noqa: F401,F403  (the module's public names)
from _vantu import InternalError  # noqa: F401

# The array-library name of the module's select.
where = _vantu.select

from vantu.compiled import Compiled, jit  # noqa: E402
from vantu.derivatives import SparseMatrix, grad, jacobian  # noqa: E402

__all__ = list(_vantu.__all__) + ["InternalError", "where", "Compiled", "jit", "grad", "jacobian", "SparseMatrix"]
