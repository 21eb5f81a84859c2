#!/usr/bin/env python3
"""Writes tests/data/cross_arch_cases.inc: the expected bits of the
cross-architecture test (tests/cpp/test_cross_arch.cpp).

This is the independent oracle. It follows the written definitions of the
operations with Python floats (IEEE double, one rounding per operation) and
exact rational arithmetic, never the C++ code: floor, ceil, trunc, round,
fmod and sqrt are computed exactly with fractions and integer square roots;
the program's own operations follow their recipes step by step; the folds
and the integer power follow their written orders. Special values of C math
functions come from the C standard's list of special cases (plus one
correctly rounded constant where that list names pi).

Where one of the program's own operations calls a C math function (exp below
81, ln, digamma, trigamma), the generator calls this machine's C library
through ctypes and records each call with its result. The test then compares
the final bits only on a machine whose C library gives the same results for
those calls: everything else about those operations is the program's own
arithmetic and must agree everywhere.

    python3 tools/gen_cross_arch.py           # rewrite the data file
    python3 tools/gen_cross_arch.py --check   # exit 1 if it is out of date

The row functions (scalar_rows, reduce_rows, dot_rows) can also be imported
by tests that check programs end to end.
"""

import ctypes
import ctypes.util
import math
import os
import re
import struct
import sys
from fractions import Fraction

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "cross_arch_cases.inc")

INF = math.inf


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def is_nan(x):
    return x != x


def signbit(x):
    return bits(x) >> 63 == 1


NAN = from_bits(0x7FF8000000000000)
MIN_SUB = from_bits(1)


def div(a, b):
    """IEEE division (Python raises on a zero divisor instead)."""
    if b == 0.0:
        if is_nan(a) or a == 0.0:
            return NAN
        return -INF if signbit(a) != signbit(b) else INF
    return a / b

MAX = from_bits(0x7FEFFFFFFFFFFFFF)
NEG_NAN = from_bits(0xFFF8000000000000)
PAYLOAD_NAN = from_bits(0x7FF800000000ABCD)

# pi to 40 digits, for the correctly rounded multiples in special values.
PI_EXACT = Fraction("3.141592653589793238462643383279502884197")


def nearest(q):
    """The double nearest to the rational q (Python rounds int/int exactly)."""
    return q.numerator / q.denominator if q else 0.0


# -- C math library calls, recorded --------------------------------------------

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("exp", "log", "tan", "sin"):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double]


# C math results to reuse instead of calling this machine's library, keyed
# by (name, argument bits): --check replays the ones the data file recorded,
# so that it judges the data file, not the library it runs on.
REPLAY = {}


class Calls:
    """The C math calls one case made, in order: (name, argument, result)."""

    def __init__(self):
        self.made = []

    def __call__(self, name, x):
        known = REPLAY.get((name, bits(x)))
        r = from_bits(known) if known is not None else getattr(_libm, name)(x)
        self.made.append((name, x, r))
        return r


# -- The program's own operations -----------------------------------------------

E80 = from_bits(0x47255779B984F3EB)
LN_1EM30 = from_bits(0xC05144F69FF9FFC4)
PI = from_bits(0x400921FB54442D18)
PI2 = from_bits(0x4023BD3CC9BE45DE)
Q1, Q2, Q3 = from_bits(0x3FB5555555555555), from_bits(0x3F81111111111111), from_bits(0xBF70410410410410)
R1, R2, R3 = from_bits(0x3FC5555555555555), from_bits(0x3FA1111111111111), from_bits(0x3F98618618618618)


def own_exp(x, c):
    if x > 80.0:
        return ((x + -80.0) + 1.0) * E80
    return c("exp", x)


def own_ln(x, c):
    if x > 1e-30:
        return c("log", x)
    if is_nan(x):
        return x
    return LN_1EM30


def own_sqrt(x, c):
    if x > 0.0:
        return exact_sqrt(x)
    if is_nan(x):
        return x
    return 0.0


def own_sign(x, c):
    if x < 0.0:
        return -1.0
    if x > 0.0:
        return 1.0
    return x


def own_rand_uniform(x, c):
    m = (1 << 64) - 1
    b = bits(NAN) if is_nan(x) else bits(x)  # every NaN hashes as the canonical NaN
    z = (b + 0x9E3779B97F4A7C15) & m
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & m
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & m
    z = z ^ (z >> 31)
    return float(z >> 11) * 2.0**-53


def digamma(x, c):
    if x == INF or is_nan(x):
        return x
    if x <= 0.0:
        if x == -INF or x == math.floor(x):
            return NAN
        return digamma(1.0 - x, c) - div(PI, c("tan", PI * x))
    s = 0.0
    while x < 6.0:
        t = div(1.0, x)
        x = x + 1.0
        s = s - t
    h = div(1.0, x)
    h2 = h * h
    ln = c("log", x)
    return ((s + ln) + h * -0.5) - h2 * (Q1 - h2 * (h2 * Q3 + Q2))


def trigamma(x, c):
    if is_nan(x):
        return x
    if x == INF:
        return 0.0
    if x <= 0.0:
        if x == -INF or x == math.floor(x):
            return INF
        s = c("sin", PI * x)
        return div(PI2, s * s) - trigamma(1.0 - x, c)
    s = 0.0
    while x < 6.0:
        q = x * x
        x = x + 1.0
        s = s + div(1.0, q)
    h = div(1.0, x)
    h2 = h * h
    return ((s + h) + h2 * 0.5) + (h * h2) * (R1 - h2 * (R2 - h2 * (h2 / -30.0 + R3)))


# -- Exact operations, by rational arithmetic ------------------------------------


def exact_sqrt(x):
    """Correctly rounded square root of a positive double."""
    if x == INF:
        return x
    q = Fraction(x)
    num, den = q.numerator, q.denominator  # den is a power of two
    t = den.bit_length() - 1
    if t % 2:
        num, t = num * 2, t + 1
    s = max(0, (240 - num.bit_length()) // 2)
    n = num << (2 * s)
    r = math.isqrt(n)
    # An odd sticky bit below the root keeps an inexact root off every tie.
    r2 = 2 * r + (r * r != n)
    return nearest(Fraction(r2, 1 << (t // 2 + s + 1)))


def integral(x, rounding):
    """floor, ceil, trunc or round of x; zero results keep x's sign."""
    if is_nan(x) or x in (INF, -INF):
        return x
    q = Fraction(x)
    k = rounding(q)
    if k == 0:
        return -0.0 if signbit(x) else 0.0
    return float(k)


def round_half_away(q):
    k = math.floor(abs(q) + Fraction(1, 2))
    return -k if q < 0 else k


def exact_fmod(a, b):
    if is_nan(a) or is_nan(b) or a in (INF, -INF) or b == 0.0:
        return NAN
    if b in (INF, -INF):
        return a
    qa, qb = Fraction(a), Fraction(b)
    k = math.trunc(qa / qb)
    r = qa - k * qb
    if r == 0:
        return -0.0 if signbit(a) else 0.0
    return nearest(r)  # exact: |r| < |b| and r is a multiple of b's and a's quantum


def fabs(x):
    return from_bits(bits(x) & ~(1 << 63))


# -- Integer power, comparisons, folds -------------------------------------------


def powi(x, n):
    if n == 0:
        return 1.0
    m = abs(n)
    s, a = x, None
    while True:
        if m & 1:
            a = s if a is None else s * a
        m >>= 1
        if m == 0:
            break
        s = s * s
    return div(1.0, a) if n < 0 else a


CMP = {
    ">": lambda a, b: a > b,
    ">=": lambda a, b: a >= b,
    "<": lambda a, b: a < b,
    "<=": lambda a, b: a <= b,
    "==": lambda a, b: a == b,
    "!=": lambda a, b: not (a == b),
}


def lane_fold(xs, identity, combine):
    """Four lanes over whole groups of four, (L0.L1).(L2.L3), then the rest."""
    n = len(xs)
    if n < 4:
        s = identity
        for v in xs:
            s = combine(s, v)
        return s
    lanes = [identity] * 4
    whole = n - n % 4
    for i in range(0, whole, 4):
        for k in range(4):
            lanes[k] = combine(lanes[k], xs[i + k])
    s = combine(combine(lanes[0], lanes[1]), combine(lanes[2], lanes[3]))
    for v in xs[whole:]:
        s = combine(s, v)
    return s


def min_max(xs, want_min):
    """IEEE minNum/maxNum of all values: NaN ignored, -0.0 below +0.0."""
    if not xs:
        return INF if want_min else -INF
    real = [v for v in xs if not is_nan(v)]
    if not real:
        return xs[0]
    key = lambda v: (v, 0 if signbit(v) else 1)
    return min(real, key=key) if want_min else max(real, key=key)


def reduce_ref(op, xs):
    if op == "sum":
        return lane_fold(xs, 0.0, lambda a, b: a + b)
    if op == "prod":
        return lane_fold(xs, 1.0, lambda a, b: a * b)
    return min_max(xs, op == "min")


def dot_ref(a, b):
    """The reference dot product: the Sum fold over rounded products."""
    return lane_fold([x * y for x, y in zip(a, b)], 0.0, lambda p, q: p + q)


# -- The tables -----------------------------------------------------------------

OWN = {
    "exp": own_exp, "ln": own_ln, "sqrt": own_sqrt, "sign": own_sign,
    "rand_uniform": own_rand_uniform, "digamma": digamma, "trigamma": trigamma,
    "floor": lambda x, c: integral(x, math.floor), "ceil": lambda x, c: integral(x, math.ceil),
    "trunc": lambda x, c: integral(x, math.trunc), "round": lambda x, c: integral(x, round_half_away),
    "abs": lambda x, c: fabs(x),
}

EDGE = [0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.5, -2.5, INF, -INF, NAN, NEG_NAN, PAYLOAD_NAN, MIN_SUB, -MIN_SUB, MAX, -MAX]

# A spread over both branches of digamma and trigamma, then arguments whose
# results change when a compiler fuses a multiply with the following add in
# their series (found by searching for them; most arguments round the same
# either way).
GRID = [-29.3 + k * 2.47 for k in range(24)]
FUSE_DIGAMMA = [1.4703683328870683, -1.6301014267229856, 5.176236380094159, 0.18491232961405357]
FUSE_TRIGAMMA = [4.248765109728274, 11.204535008583505, -0.630910908142842, 22.486575094106932]

OWN_OPERANDS = {
    "exp": [80.0, 81.0, 80.5, 100.0, 709.0, 1e300, MAX, -745.5, 1e-300, -80.0, 0.1],
    "ln": [1e-30, 1.0000001e-30, 1e-31, 2.0, 10.0, 1e300, from_bits(0x3FF0000000000001)],
    "sqrt": [-4.0, 2.0, 3.0, 0.1, 1e-300, 1e300, 4503599627370497.0, from_bits(0x3FEFFFFFFFFFFFFF)],
    "sign": [-1e-300, 5.0],
    "rand_uniform": [123.456, -123.456, 1e300],
    "digamma": [6.0, 1e-9, 3.7, 100.0, 1e10, 1e300, -2.5, -1e-300, -3.0, -7.25, 0.1] + GRID + FUSE_DIGAMMA,
    "trigamma": [6.0, 1e-9, 3.7, 100.0, 1e10, 1e300, -2.5, -1e-300, -3.0, -7.25, 0.1] + GRID + FUSE_TRIGAMMA,
    "floor": [0.49999999999999994, -0.4, 1.5, 4503599627370495.5, -4503599627370495.5, 4503599627370496.0, 1e300],
    "ceil": [0.49999999999999994, -0.4, 1.5, 4503599627370495.5, -4503599627370495.5, 1e300],
    "trunc": [0.49999999999999994, -0.4, 1.5, 4503599627370495.5, -4503599627370495.5, -1e300],
    "round": [0.49999999999999994, -0.4, 1.5, 3.5, -3.5, 4503599627370495.5, -4503599627370495.5, 1e300],
    "abs": [-1.5, 3.0],
}

MOD_PAIRS = [
    (-7.0, 3.0), (7.0, -3.0), (-7.0, -3.0), (5.5, 2.0), (-0.0, 3.0), (0.0, -3.0), (1e300, 3.0),
    (3.0, 1e-300), (0.1, 0.03), (1e308, 1e-308), (MIN_SUB, 1.0), (-1.0, MIN_SUB), (6.0, 3.0), (-6.0, 3.0),
    (INF, 2.0), (-INF, INF), (2.0, INF), (-2.0, -INF), (2.0, 0.0), (2.0, -0.0), (NAN, 1.0), (1.0, NAN),
    (MAX, 0.75), (MAX, MIN_SUB),
]

POWI_BASES = [2.0, -2.0, 0.0, -0.0, 1.1, -1.1, 0.5, 3.0, 1e-200, 1e200, INF, -INF, NAN, MIN_SUB]
POWI_EXPONENTS = [0, 1, 2, 3, -1, -2, -3, 5, 7, 10, 31, -31, 1023, -1074, 2**31 - 1, -(2**31)]

CMP_PAIRS = [(1.0, 2.0), (2.0, 1.0), (1.0, 1.0), (0.0, -0.0), (NAN, 1.0), (1.0, NAN), (NAN, NAN),
             (-INF, INF), (INF, INF), (MIN_SUB, 0.0)]

# Special values of C math functions (the C standard's list of special
# cases). Each row: (operation, operands, result).
PI_2 = nearest(PI_EXACT / 2)
PI_4 = nearest(PI_EXACT / 4)
PI_3_4 = nearest(PI_EXACT * 3 / 4)
ANNEX = [
    ("sin", (0.0,), 0.0), ("sin", (-0.0,), -0.0), ("sin", (INF,), NAN), ("sin", (-INF,), NAN),
    ("cos", (0.0,), 1.0), ("cos", (-0.0,), 1.0), ("cos", (INF,), NAN),
    ("tan", (0.0,), 0.0), ("tan", (-0.0,), -0.0), ("tan", (-INF,), NAN),
    ("sinh", (-0.0,), -0.0), ("sinh", (INF,), INF), ("sinh", (-INF,), -INF),
    ("cosh", (-0.0,), 1.0), ("cosh", (-INF,), INF),
    ("tanh", (-0.0,), -0.0), ("tanh", (INF,), 1.0), ("tanh", (-INF,), -1.0),
    ("atan", (-0.0,), -0.0), ("atan", (INF,), PI_2), ("atan", (-INF,), -PI_2),
    ("log10", (1.0,), 0.0), ("log10", (0.0,), -INF), ("log10", (-0.0,), -INF), ("log10", (INF,), INF),
    ("log10", (-1.0,), NAN),
    ("log2", (1.0,), 0.0), ("log2", (-0.0,), -INF), ("log2", (INF,), INF), ("log2", (-INF,), NAN),
    ("log1p", (0.0,), 0.0), ("log1p", (-0.0,), -0.0), ("log1p", (-1.0,), -INF), ("log1p", (INF,), INF),
    ("log1p", (-2.0,), NAN),
    ("expm1", (-0.0,), -0.0), ("expm1", (-INF,), -1.0), ("expm1", (INF,), INF),
    ("cbrt", (-0.0,), -0.0), ("cbrt", (INF,), INF), ("cbrt", (-INF,), -INF),
    ("asin", (-0.0,), -0.0), ("asin", (2.0,), NAN), ("acos", (1.0,), 0.0), ("acos", (-2.0,), NAN),
    ("asinh", (-0.0,), -0.0), ("asinh", (-INF,), -INF),
    ("acosh", (1.0,), 0.0), ("acosh", (INF,), INF), ("acosh", (0.5,), NAN),
    ("atanh", (-0.0,), -0.0), ("atanh", (1.0,), INF), ("atanh", (-1.0,), -INF), ("atanh", (2.0,), NAN),
    ("erf", (-0.0,), -0.0), ("erf", (INF,), 1.0), ("erf", (-INF,), -1.0),
    ("erfc", (INF,), 0.0), ("erfc", (-INF,), 2.0),
    ("lgamma", (1.0,), 0.0), ("lgamma", (2.0,), 0.0), ("lgamma", (0.0,), INF), ("lgamma", (-0.0,), INF),
    ("lgamma", (-2.0,), INF), ("lgamma", (-INF,), INF), ("lgamma", (INF,), INF),
    ("tgamma", (0.0,), INF), ("tgamma", (-0.0,), -INF), ("tgamma", (INF,), INF), ("tgamma", (-INF,), NAN),
    ("tgamma", (-1.0,), NAN),
    ("powf", (NAN, 0.0), 1.0), ("powf", (NAN, -0.0), 1.0), ("powf", (1.0, NAN), 1.0),
    ("powf", (-1.0, INF), 1.0), ("powf", (-1.0, -INF), 1.0), ("powf", (0.0, -3.0), INF),
    ("powf", (-0.0, -3.0), -INF), ("powf", (-0.0, -2.0), INF), ("powf", (-0.0, 3.0), -0.0),
    ("powf", (-0.0, 2.0), 0.0), ("powf", (0.5, -INF), INF), ("powf", (2.0, -INF), 0.0),
    ("powf", (0.5, INF), 0.0), ("powf", (2.0, INF), INF), ("powf", (-INF, -3.0), -0.0),
    ("powf", (-INF, 3.0), -INF), ("powf", (-INF, 2.0), INF), ("powf", (INF, -0.5), 0.0),
    ("powf", (-8.0, 1.0 / 3.0), NAN),
    ("atan2", (0.0, -0.0), nearest(PI_EXACT)), ("atan2", (-0.0, -0.0), -nearest(PI_EXACT)),
    ("atan2", (0.0, 0.0), 0.0), ("atan2", (-0.0, 0.0), -0.0), ("atan2", (-0.0, -1.0), -nearest(PI_EXACT)),
    ("atan2", (1.0, -0.0), PI_2), ("atan2", (-1.0, 0.0), -PI_2), ("atan2", (INF, -INF), PI_3_4),
    ("atan2", (-INF, INF), -PI_4), ("atan2", (1.0, INF), 0.0), ("atan2", (-1.0, INF), -0.0),
    ("atan2", (NAN, 1.0), NAN),
    ("hypot", (INF, NAN), INF), ("hypot", (NAN, -INF), INF), ("hypot", (-3.0, 0.0), 3.0),
    ("hypot", (-0.0, -0.0), 0.0), ("hypot", (NAN, 1.0), NAN),
]


def scalar_rows():
    """(kind, op, a, b, expected, calls); b is the integer exponent of powi."""
    rows = []
    for op, fn in OWN.items():
        for x in EDGE + OWN_OPERANDS.get(op, []):
            c = Calls()
            rows.append(("unary", op, x, 0, fn(x, c), c.made))
    for a, b in MOD_PAIRS:
        rows.append(("binary", "mod", a, b, exact_fmod(a, b), []))
    for op, args, r in ANNEX:
        kind = "binary" if len(args) == 2 else "unary"
        rows.append((kind, op, args[0], args[1] if len(args) == 2 else 0, r, []))
    for x in POWI_BASES:
        for n in POWI_EXPONENTS:
            rows.append(("powi", "powi", x, n, powi(x, n), []))
    for sym, rel in CMP.items():
        for a, b in CMP_PAIRS:
            rows.append(("cmp", sym, a, b, 1.0 if rel(a, b) else 0.0, []))
    return rows


def _lists():
    mixed = [1.5, -2.25, 1e16, 3.0, -1e16, 0.1, 7.0, -0.3, 2.0**-30, 5.0, -1.0, 1e-5, 0.7]
    return [
        [], [3.5], [-0.0], [NAN], [0.1, 0.2], [0.1, 0.2, 0.3], [1e16, 1.0, -1e16, 1.0],
        [1.0, 2.0, 3.0, 4.0, 1e16], mixed[:8], mixed[:9], mixed, [NAN, 2.0, 1.0], [2.0, NAN, NAN, 1.0, -0.0],
        [NAN, NAN], [-0.0, 0.0], [0.0, -0.0], [-0.0, -0.0, -0.0, -0.0, -0.0], [INF, -INF, 1.0],
        [INF, 1.0, 2.0, 3.0, -INF], [0.0, INF, 1.0, 1.0, 1.0], [1e300, 1e300, 1e-300, 1e-300, 1e10],
        [MIN_SUB, MIN_SUB, MIN_SUB, MIN_SUB, 0.5, 0.5],
    ]


def reduce_rows():
    """(op, values, expected)."""
    return [(op, xs, reduce_ref(op, xs)) for op in ("sum", "prod", "min", "max") for xs in _lists()]


def dot_rows():
    """(left, right, expected) for the reference dot product: lengths around
    the group of four, a cancellation that only the lane order loses, and
    products that overflow or make NaN."""
    rows = []
    base = [1.5, -2.25, 1e16, 3.0, -1e16, 0.1, 7.0, -0.3, 2.0**-30, 5.0, -1.0, 1e-5, 0.7]
    other = [0.5, 4.0, 1.0, -0.125, 1.0, 3.0, -1.0, 9.0, 2.0**30, 0.2, 1.0, 1e5, -3.0]
    for n in (0, 1, 3, 4, 5, 8, 9, 13):
        rows.append((base[:n], other[:n], dot_ref(base[:n], other[:n])))
    # A fused multiply-add would keep the 2^-60 that rounding the product
    # loses, in the leftover loop and in a lane.
    e = 1.0 + 2.0**-30
    rows.append(([1.0, e], [-1.0, e], None))
    rows.append(([1.0, 0.0, 0.0, 0.0, e, 0.0, 0.0, 0.0], [-1.0, 0.0, 0.0, 0.0, e, 0.0, 0.0, 0.0], None))
    rows.append(([1e200, 1e200, -1e200, 1.0, 2.0], [1e200, 1.0, 1e200, 1.0, 2.0], None))
    rows.append(([INF, 0.0, 1.0, 1.0], [0.0, 1.0, 1.0, 1.0], None))
    return [(a, b, dot_ref(a, b) if r is None else r) for a, b, r in rows]


# -- Output ---------------------------------------------------------------------


def hexbits(x):
    return "0x%016xull" % bits(x)


def render():
    out = [
        "// Generated by tools/gen_cross_arch.py from the written definitions of the",
        "// operations; do not edit. Regenerate with: python3 tools/gen_cross_arch.py",
        "",
        "// Scalar cases: kind, operation, first operand, second operand (for powi the",
        "// integer exponent in two's complement), expected bits, then the C math calls",
        "// the expected value was computed from (first index into kCalls, count).",
        "static const ScalarCase kScalarCases[] = {",
    ]
    calls = []
    for kind, op, a, b, r, made in scalar_rows():
        second = "0x%016xull" % (b & (2**64 - 1)) if kind == "powi" else hexbits(b)
        out.append('    {Kind::%s, "%s", %s, %s, %s, %d, %d},' % (
            kind.capitalize(), op, hexbits(a), second, hexbits(r), len(calls), len(made)))
        calls.extend(made)
    out.append("};")
    out.append("")
    out.append("// C math calls: function, argument bits, result bits on the generating machine.")
    out.append("static const LibmCall kCalls[] = {")
    for name, x, r in calls:
        out.append('    {"%s", %s, %s},' % (name, hexbits(x), hexbits(r)))
    out.append("};")
    out.append("")
    values = []
    out.append("// Reductions: operation, first index into kReduceValues, count, expected bits.")
    out.append("static const ReduceCase kReduceCases[] = {")
    for op, xs, r in reduce_rows():
        out.append('    {"%s", %d, %d, %s},' % (op, len(values), len(xs), hexbits(r)))
        values.extend(xs)
    out.append("};")
    out.append("")
    out.append("// Dot products: first index into kDotValues, length n (left factors, then")
    out.append("// right factors), expected bits.")
    out.append("static const DotCase kDotCases[] = {")
    dot_values = []
    for a, b, r in dot_rows():
        out.append("    {%d, %d, %s}," % (len(dot_values), len(a), hexbits(r)))
        dot_values.extend(a + b)
    out.append("};")
    for name, vals in (("kReduceValues", values), ("kDotValues", dot_values)):
        out.append("")
        out.append("static const std::uint64_t %s[] = {" % name)
        for i in range(0, len(vals), 4):
            out.append("    " + " ".join(hexbits(v) + "," for v in vals[i:i + 4]))
        out.append("};")
    return "\n".join(out) + "\n"


def main(argv):
    if argv[1:] == ["--check"]:
        current = open(OUT).read() if os.path.exists(OUT) else ""
        for name, arg, result in re.findall(r'\{"(\w+)", 0x([0-9a-f]{16})ull, 0x([0-9a-f]{16})ull\},', current):
            REPLAY[(name, int(arg, 16))] = int(result, 16)
        if current != render():
            sys.exit("tests/data/cross_arch_cases.inc is out of date: run python3 tools/gen_cross_arch.py")
        return
    if argv[1:]:
        sys.exit(__doc__)
    text = render()
    os.makedirs(os.path.dirname(OUT), exist_ok=True)
    with open(OUT, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv)
