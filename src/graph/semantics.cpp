#include "graph/semantics.hpp"

#include <cmath>
#include <limits>

namespace vantu {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Constants given by their bit patterns, so that no decimal conversion can
// shift them.
const double kE80 = f64_from_bits(0x47255779b984f3ebull);     // nearest double to e^80
const double kLn1em30 = f64_from_bits(0xc05144f69ff9ffc4ull);  // ln(1e-30)
const double kPi = f64_from_bits(0x400921fb54442d18ull);
const double kPi2 = f64_from_bits(0x4023bd3cc9be45deull);  // nearest double to pi^2
const double kQ1 = f64_from_bits(0x3fb5555555555555ull);   // 1/12
const double kQ2 = f64_from_bits(0x3f81111111111111ull);   // 1/120
const double kQ3 = f64_from_bits(0xbf70410410410410ull);   // -1/252
const double kR1 = f64_from_bits(0x3fc5555555555555ull);   // 1/6
const double kR2 = f64_from_bits(0x3fa1111111111111ull);   // 1/30
const double kR3 = f64_from_bits(0x3f98618618618618ull);   // 1/42

}  // namespace

// Above 80 the exponential continues as its tangent line at 80, so it
// overflows only near the top of the double range.
double vantu_exp(double x) {
    if (x > 80.0) return ((x + -80.0) + 1.0) * kE80;
    return std::exp(x);
}

// Clamped at 1e-30: zero and negative arguments give ln(1e-30), never NaN.
double vantu_ln(double x) {
    if (x > 1e-30) return std::log(x);
    if (x != x) return x;
    return kLn1em30;
}

// 0 for every x <= 0 (including -0.0 and -inf); NaN stays NaN.
double vantu_sqrt(double x) {
    if (x > 0.0) return std::sqrt(x);
    if (x != x) return x;
    return 0.0;
}

// -1 or +1 by the sign; zeros of both signs and NaN pass through.
double vantu_sign(double x) {
    if (x < 0.0) return -1.0;
    if (x > 0.0) return 1.0;
    return x;
}

// A pure function of the argument's bit pattern: one round of a 64-bit
// finalizer, scaled to [0, 1). Every NaN hashes as the canonical NaN: which
// NaN an IEEE operation propagates from two NaN operands depends on operand
// order, which compilers may swap for commutative operations, so the
// payload and sign of a computed NaN are not reproducible between
// evaluators, and hashing them would turn that into different numbers.
double vantu_rand_uniform(double x) {
    std::uint64_t b = x != x ? kCanonicalNanBits : f64_bits(x);
    std::uint64_t z = b + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z = z ^ (z >> 31);
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

double vantu_digamma(double x) {
    if (x == kInf || x != x) return x;
    if (x <= 0.0) {
        if (x == std::floor(x)) return f64_from_bits(kCanonicalNanBits);
        double px = kPi * x;
        double q = kPi / std::tan(px);
        return vantu_digamma(1.0 - x) - q;
    }
    double s = 0.0;
    while (x < 6.0) {
        double t = 1.0 / x;
        x = x + 1.0;
        s = s - t;
    }
    double h = 1.0 / x;
    double h2 = h * h;
    double l = std::log(x);
    double series = kQ1 - h2 * (h2 * kQ3 + kQ2);
    return ((s + l) + h * -0.5) - h2 * series;
}

double vantu_trigamma(double x) {
    if (x != x) return x;
    if (x == kInf) return 0.0;
    if (x <= 0.0) {
        if (x == std::floor(x)) return kInf;
        double s = std::sin(kPi * x);
        return kPi2 / (s * s) - vantu_trigamma(1.0 - x);
    }
    double s = 0.0;
    while (x < 6.0) {
        double q = x * x;
        x = x + 1.0;
        s = s + 1.0 / q;
    }
    double h = 1.0 / x;
    double h2 = h * h;
    double inner = h2 / -30.0 + kR3;
    double series = kR1 - h2 * (kR2 - h2 * inner);
    return ((s + h) + h2 * 0.5) + (h * h2) * series;
}

double eval_unary(UnaryOp op, double x) {
    switch (op) {
        case UnaryOp::Exp: return vantu_exp(x);
        case UnaryOp::Ln: return vantu_ln(x);
        case UnaryOp::Sqrt: return vantu_sqrt(x);
        case UnaryOp::Sin: return std::sin(x);
        case UnaryOp::Cos: return std::cos(x);
        case UnaryOp::Sinh: return std::sinh(x);
        case UnaryOp::Cosh: return std::cosh(x);
        case UnaryOp::Tanh: return std::tanh(x);
        case UnaryOp::Atan: return std::atan(x);
        case UnaryOp::Floor: return std::floor(x);
        case UnaryOp::Tan: return std::tan(x);
        case UnaryOp::Log10: return std::log10(x);
        case UnaryOp::Log2: return std::log2(x);
        case UnaryOp::Log1p: return std::log1p(x);
        case UnaryOp::Expm1: return std::expm1(x);
        case UnaryOp::Cbrt: return std::cbrt(x);
        case UnaryOp::Abs: return std::fabs(x);
        case UnaryOp::Sign: return vantu_sign(x);
        case UnaryOp::Ceil: return std::ceil(x);
        case UnaryOp::Round: return std::round(x);
        case UnaryOp::Trunc: return std::trunc(x);
        case UnaryOp::Asin: return std::asin(x);
        case UnaryOp::Acos: return std::acos(x);
        case UnaryOp::Asinh: return std::asinh(x);
        case UnaryOp::Acosh: return std::acosh(x);
        case UnaryOp::Atanh: return std::atanh(x);
        case UnaryOp::Erf: return std::erf(x);
        case UnaryOp::Erfc: return std::erfc(x);
        case UnaryOp::Lgamma: return std::lgamma(x);
        case UnaryOp::Tgamma: return std::tgamma(x);
        case UnaryOp::Digamma: return vantu_digamma(x);
        case UnaryOp::Trigamma: return vantu_trigamma(x);
        case UnaryOp::RandUniform: return vantu_rand_uniform(x);
    }
    return x;
}

double eval_binary(BinaryOp op, double a, double b) {
    switch (op) {
        case BinaryOp::Powf: return std::pow(a, b);
        case BinaryOp::Mod: return std::fmod(a, b);
        case BinaryOp::Atan2: return std::atan2(a, b);
        case BinaryOp::Hypot: return std::hypot(a, b);
    }
    return a;
}

double reduce_values(ReduceOp op, const double* x, std::size_t n) {
    if (op == ReduceOp::Min || op == ReduceOp::Max) {
        if (n == 0) return op == ReduceOp::Min ? kInf : -kInf;
        double r = x[0];
        if (op == ReduceOp::Min)
            for (std::size_t i = 1; i < n; ++i) r = min_num(r, x[i]);
        else
            for (std::size_t i = 1; i < n; ++i) r = max_num(r, x[i]);
        return r;
    }
    const bool sum = op == ReduceOp::Sum;
    const double id = sum ? 0.0 : 1.0;
    double s = id;
    std::size_t i = 0;
    if (n >= 4) {
        double l0 = id, l1 = id, l2 = id, l3 = id;
        if (sum) {
            for (; i + 4 <= n; i += 4) {
                l0 = l0 + x[i];
                l1 = l1 + x[i + 1];
                l2 = l2 + x[i + 2];
                l3 = l3 + x[i + 3];
            }
            s = (l0 + l1) + (l2 + l3);
        } else {
            for (; i + 4 <= n; i += 4) {
                l0 = l0 * x[i];
                l1 = l1 * x[i + 1];
                l2 = l2 * x[i + 2];
                l3 = l3 * x[i + 3];
            }
            s = (l0 * l1) * (l2 * l3);
        }
    }
    if (sum)
        for (; i < n; ++i) s = s + x[i];
    else
        for (; i < n; ++i) s = s * x[i];
    return s;
}

}  // namespace vantu
