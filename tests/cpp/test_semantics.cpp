// Scalar meanings of the operation catalogue. Expected values of the
// program's own operations were computed independently (the written
// recipes followed with Python floats) and are stored as hex floats; C
// library operations are checked where the program adds behaviour of its own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "graph/ops.hpp"
#include "graph/semantics.hpp"

using namespace vantu;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = f64_from_bits(0x7ff8000000000000ull);
const double kLn1em30 = f64_from_bits(0xc05144f69ff9ffc4ull);

// Equal bits, or both NaN.
::testing::AssertionResult same(double got, double want) {
    if (f64_bits(got) == f64_bits(want) || (got != got && want != want)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << std::hexfloat << got << " != " << want;
}

struct UnaryCase {
    UnaryOp op;
    double x;
    double want;
};

}  // namespace

TEST(Semantics, UnaryEdgeValues) {
    const double e80 = f64_from_bits(0x47255779b984f3ebull);
    const UnaryCase cases[] = {
        // exp: the C exp up to 80, then the tangent line at 80.
        {UnaryOp::Exp, 80.0, std::exp(80.0)},
        {UnaryOp::Exp, 81.0, 2.0 * e80},
        {UnaryOp::Exp, 100.0, 0x1.c02cfc37e8024p+119},
        {UnaryOp::Exp, kInf, kInf},
        {UnaryOp::Exp, -kInf, 0.0},
        {UnaryOp::Exp, kNaN, kNaN},
        // ln: clamped at 1e-30, never NaN below it.
        {UnaryOp::Ln, 0.0, kLn1em30},
        {UnaryOp::Ln, -1.0, kLn1em30},
        {UnaryOp::Ln, 1e-30, kLn1em30},
        {UnaryOp::Ln, -kInf, kLn1em30},
        {UnaryOp::Ln, 1.0000001e-30, std::log(1.0000001e-30)},
        {UnaryOp::Ln, kNaN, kNaN},
        // sqrt: +0.0 for every x <= 0.
        {UnaryOp::Sqrt, -4.0, 0.0},
        {UnaryOp::Sqrt, -0.0, 0.0},
        {UnaryOp::Sqrt, -kInf, 0.0},
        {UnaryOp::Sqrt, 2.25, 1.5},
        {UnaryOp::Sqrt, kNaN, kNaN},
        // sign: zeros and NaN pass through.
        {UnaryOp::Sign, -0.0, -0.0},
        {UnaryOp::Sign, 0.0, 0.0},
        {UnaryOp::Sign, -3.5, -1.0},
        {UnaryOp::Sign, kInf, 1.0},
        {UnaryOp::Sign, kNaN, kNaN},
        // round: halves away from zero.
        {UnaryOp::Round, 2.5, 3.0},
        {UnaryOp::Round, -2.5, -3.0},
        {UnaryOp::Round, 0.49999999999999994, 0.0},
        {UnaryOp::Floor, -0.5, -1.0},
        {UnaryOp::Ceil, -0.5, -0.0},
        {UnaryOp::Trunc, -1.5, -1.0},
        {UnaryOp::Abs, -0.0, 0.0},
        // digamma: the truncated series, reflection below zero, poles NaN.
        {UnaryOp::Digamma, 1.0, -0x1.2788cfdb4a4d7p-1},
        {UnaryOp::Digamma, 0.5, -0x1.f6a897d884ebep+0},
        {UnaryOp::Digamma, 6.0, 0x1.b4c4209ae361dp+0},
        {UnaryOp::Digamma, 0.001, -0x1.f449ac5754e19p+9},
        {UnaryOp::Digamma, -0.5, 0x1.2aed04ef627fbp-5},
        {UnaryOp::Digamma, -2.5, 0x1.1a6879388c255p+0},
        {UnaryOp::Digamma, 100.0, 0x1.26690d4274476p+2},
        {UnaryOp::Digamma, 0.0, kNaN},
        {UnaryOp::Digamma, -1.0, kNaN},
        {UnaryOp::Digamma, -kInf, kNaN},
        {UnaryOp::Digamma, kInf, kInf},
        // trigamma: poles +inf, +inf gives 0.
        {UnaryOp::Trigamma, 1.0, 0x1.a51a66245ddb3p+0},
        {UnaryOp::Trigamma, 0.5, 0x1.3bd3cc9bce459p+2},
        {UnaryOp::Trigamma, 2.5, 0x1.f62057f5c7e6bp-2},
        {UnaryOp::Trigamma, -0.5, 0x1.1de9e64dfd3b2p+3},
        {UnaryOp::Trigamma, -2.5, 0x1.3141822e21a3dp+3},
        {UnaryOp::Trigamma, 0.0, kInf},
        {UnaryOp::Trigamma, -2.0, kInf},
        {UnaryOp::Trigamma, kInf, 0.0},
        {UnaryOp::Trigamma, kNaN, kNaN},
        // rand_uniform: a pure function of the bit pattern.
        {UnaryOp::RandUniform, 0.0, 0x1.c4415072f63b9p-1},
        {UnaryOp::RandUniform, -0.0, 0x1.207b02884aa7cp-2},
        {UnaryOp::RandUniform, 1.0, 0x1.11af86b777e7dp-1},
        {UnaryOp::RandUniform, 1e300, 0x1.feb50654e7183p-1},
    };
    for (const UnaryCase& c : cases)
        EXPECT_TRUE(same(eval_unary(c.op, c.x), c.want)) << variant_name(c.op) << "(" << std::hexfloat << c.x << ")";
}

TEST(Semantics, BinaryAndComparisons) {
    EXPECT_TRUE(same(eval_binary(BinaryOp::Mod, -7.0, 3.0), -1.0));
    EXPECT_TRUE(same(eval_binary(BinaryOp::Powf, 2.0, 0.5), std::sqrt(2.0)));
    EXPECT_TRUE(same(eval_binary(BinaryOp::Atan2, 0.0, -1.0), std::atan2(0.0, -1.0)));
    EXPECT_TRUE(same(eval_binary(BinaryOp::Hypot, 3.0, 4.0), 5.0));
    // With a NaN operand every comparison is false except Ne.
    for (CmpOp op : {CmpOp::Gt, CmpOp::Ge, CmpOp::Lt, CmpOp::Le, CmpOp::Eq, CmpOp::Ne}) {
        double want = op == CmpOp::Ne ? 1.0 : 0.0;
        EXPECT_EQ(eval_cmp(op, kNaN, 1.0), want) << variant_name(op);
        EXPECT_EQ(eval_cmp(op, 1.0, kNaN), want) << variant_name(op);
    }
    EXPECT_EQ(eval_cmp(CmpOp::Ge, 1.0, 1.0), 1.0);
    EXPECT_EQ(eval_cmp(CmpOp::Gt, 1.0, 1.0), 0.0);
    EXPECT_EQ(eval_cmp(CmpOp::Eq, -0.0, 0.0), 1.0);
}

TEST(Semantics, IntegerPower) {
    struct Case {
        double x;
        std::int32_t n;
        double want;
    } cases[] = {
        {0.0, -1, kInf},
        {kNaN, 0, 1.0},
        {2.0, -3, 0.125},
        {1.1, 7, 0x1.f2df1fb5a7ed7p+0},
        // square-and-multiply rounds differently from pow here
        {0.999, 1000, 0x1.788526411edacp-2},
        {1.0000001, std::numeric_limits<std::int32_t>::min(), 0x1.22beeac54ca13p-310},
        {-1.0, std::numeric_limits<std::int32_t>::min(), 1.0},
    };
    for (const Case& c : cases) EXPECT_TRUE(same(powi_value(c.x, c.n), c.want)) << c.x << "^" << c.n;
}

TEST(Semantics, ReferenceFold) {
    struct Case {
        ReduceOp op;
        std::vector<double> x;
        double want;
    } cases[] = {
        // Four lanes, one value each: ((1e16 + 1) + (-1e16 + 1)) loses both ones.
        {ReduceOp::Sum, {1e16, 1.0, -1e16, 1.0}, 0.0},
        // The fifth value is added after the lanes are combined.
        {ReduceOp::Sum, {1e16, 1.0, -1e16, 1.0, 1.0}, 1.0},
        // Below four values: a plain left fold from +0.0.
        {ReduceOp::Sum, {1e16, 1.0, -1e16}, 0.0},
        {ReduceOp::Sum, {-0.0}, 0.0},
        {ReduceOp::Sum, {}, 0.0},
        {ReduceOp::Product, {}, 1.0},
        // (1e200 * 1e200) * (1e-200 * 1e-200) is inf * 0: the lane order shows.
        {ReduceOp::Product, {1e200, 1e200, 1e-200, 1e-200}, kNaN},
        {ReduceOp::Product, {1e200, 1e-200, 1e200, 1e-200}, 1.0},
        {ReduceOp::Min, {kNaN, 2.0, 1.0}, 1.0},
        {ReduceOp::Min, {kNaN}, kNaN},
        {ReduceOp::Min, {kNaN, kNaN}, kNaN},
        {ReduceOp::Min, {}, kInf},
        {ReduceOp::Max, {}, -kInf},
        {ReduceOp::Min, {0.0, -0.0}, -0.0},
        {ReduceOp::Min, {-0.0, 0.0}, -0.0},
        {ReduceOp::Max, {-0.0, 0.0}, 0.0},
        {ReduceOp::Max, {0.0, -0.0}, 0.0},
        {ReduceOp::Max, {3.0}, 3.0},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(same(reduce_values(c.op, c.x.data(), c.x.size()), c.want))
            << variant_name(c.op) << " of " << c.x.size() << " values";
}

TEST(Semantics, NaNsInMinMaxAndRandUniform) {
    const double snan = f64_from_bits(0x7ff0000000000001ull);
    const double neg_nan = f64_from_bits(0xfff8000000000000ull);
    // A quiet NaN is ignored; a signaling one gives its quieted self, the
    // first of two winning, as the AArch64 minimum/maximum instructions do.
    EXPECT_EQ(f64_bits(min_num(neg_nan, 2.0)), f64_bits(2.0));
    EXPECT_EQ(f64_bits(min_num(kNaN, neg_nan)), f64_bits(kNaN));
    EXPECT_EQ(f64_bits(min_num(snan, 2.0)), 0x7ff8000000000001ull);
    EXPECT_EQ(f64_bits(max_num(2.0, snan)), 0x7ff8000000000001ull);
    EXPECT_EQ(f64_bits(max_num(f64_from_bits(0xfff0000000000002ull), snan)), 0xfff8000000000002ull);
    const double with_snan[] = {3.0, snan, 1.0, 5.0};
    // The fold resumes after the quieted NaN: later values are compared to it.
    EXPECT_EQ(f64_bits(reduce_values(ReduceOp::Min, with_snan, 4)), f64_bits(1.0));
    // Every NaN hashes alike, so a NaN's sign or payload never shows.
    for (double nan : {neg_nan, snan, f64_from_bits(0x7ff800000000abcdull)})
        EXPECT_EQ(f64_bits(vantu_rand_uniform(nan)), f64_bits(vantu_rand_uniform(kNaN)));
}

TEST(Catalogue, NamesAndLookup) {
    EXPECT_EQ(unary_by_name("exp"), UnaryOp::Exp);
    EXPECT_EQ(unary_by_name("rand_uniform"), UnaryOp::RandUniform);
    EXPECT_FALSE(unary_by_name("Exp"));
    EXPECT_FALSE(unary_by_name("arcsin"));
    EXPECT_FALSE(binary_by_name("pow"));
    EXPECT_EQ(binary_by_name("powf"), BinaryOp::Powf);
    EXPECT_EQ(variant_name(UnaryOp::RandUniform), "RandUniform");
    EXPECT_EQ(extern_name(UnaryOp::Abs), "fabs");
    EXPECT_EQ(text_name(ReduceOp::Product), "prod");
    EXPECT_EQ(cmp_symbol(CmpOp::Ne), "!=");
}
