// The exact scalar meaning of every operation of the catalogue. Constant
// folding, the interpreter, the kernels and the native host functions all
// call these; there is no second definition anywhere. Every written
// operation rounds once, in the written order (the build disables
// floating-point contraction).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "graph/ops.hpp"

namespace vantu {

inline std::uint64_t f64_bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

inline double f64_from_bits(std::uint64_t b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}

inline constexpr std::uint64_t kCanonicalNanBits = 0x7ff8000000000000ull;

// NaN of any payload becomes the canonical quiet NaN, -0.0 becomes +0.0.
inline double canonical(double v) {
    if (v != v) return f64_from_bits(kCanonicalNanBits);
    if (v == 0.0) return 0.0;
    return v;
}

// The program's own definitions (extern names with the vantu_ prefix).
double vantu_exp(double x);
double vantu_ln(double x);
double vantu_sqrt(double x);
double vantu_sign(double x);
double vantu_rand_uniform(double x);
double vantu_digamma(double x);
double vantu_trigamma(double x);

double eval_unary(UnaryOp op, double x);
double eval_binary(BinaryOp op, double a, double b);

inline double eval_cmp(CmpOp op, double a, double b) {
    bool holds = false;
    switch (op) {
        case CmpOp::Gt: holds = a > b; break;
        case CmpOp::Ge: holds = a >= b; break;
        case CmpOp::Lt: holds = a < b; break;
        case CmpOp::Le: holds = a <= b; break;
        case CmpOp::Eq: holds = a == b; break;
        case CmpOp::Ne: holds = !(a == b); break;
    }
    return holds ? 1.0 : 0.0;
}

// A signaling NaN: all exponent bits, a nonzero fraction, the quiet bit clear.
inline bool is_signaling_nan(double v) {
    const std::uint64_t b = f64_bits(v);
    return (b & 0x7ff0000000000000ull) == 0x7ff0000000000000ull && (b & 0x000fffffffffffffull) != 0 &&
           (b & 0x0008000000000000ull) == 0;
}

inline double quieted(double v) { return f64_from_bits(f64_bits(v) | 0x0008000000000000ull); }

// IEEE 754 minNum / maxNum: a quiet NaN operand is ignored (both NaN gives
// the first), a signaling NaN makes the result NaN (the first signaling
// operand, quieted), and -0.0 counts as smaller than +0.0. This is exactly
// what the AArch64 fminnm/fmaxnm instructions compute, so inline native code
// and every other evaluator agree on all inputs.
inline double min_num(double a, double b) {
    if (a != a || b != b) {
        if (is_signaling_nan(a)) return quieted(a);
        if (is_signaling_nan(b)) return quieted(b);
        return b != b ? a : b;
    }
    if (a < b) return a;
    if (b < a) return b;
    return std::signbit(a) ? a : b;
}

inline double max_num(double a, double b) {
    if (a != a || b != b) {
        if (is_signaling_nan(a)) return quieted(a);
        if (is_signaling_nan(b)) return quieted(b);
        return b != b ? a : b;
    }
    if (a > b) return a;
    if (b > a) return b;
    return std::signbit(a) ? b : a;
}

// Integer power by square-and-multiply from the lowest bit; n = 0 gives 1.0
// for every x, negative n gives 1.0 / x^|n|.
inline double powi_value(double x, std::int32_t n) {
    if (n == 0) return 1.0;
    std::uint32_t m = n < 0 ? 0u - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
    double s = x;
    double a = 0.0;
    bool have = false;
    for (;;) {
        if (m & 1u) {
            a = have ? s * a : s;
            have = true;
        }
        m >>= 1;
        if (m == 0) break;
        s = s * s;
    }
    return n < 0 ? 1.0 / a : a;
}

// The reference fold: Sum and Product in four lanes over whole groups of
// four, combined as (L0 . L1) . (L2 . L3), then the leftovers in index order;
// Min and Max ignore NaN.
double reduce_values(ReduceOp op, const double* x, std::size_t n);

}  // namespace vantu
