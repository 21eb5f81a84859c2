// The graph store: sharing, the construction rules in their order, and the
// structural hash (expected hashes computed independently from the written
// recipe).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "graph/error.hpp"
#include "graph/graph.hpp"
#include "graph/semantics.hpp"

using namespace vantu;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = f64_from_bits(0x7ff8000000000000ull);

struct GraphTest : ::testing::Test {
    Graph g;
    NodeId x = g.input("x");
    NodeId y = g.input("y");
    NodeId z = g.input("z");

    bool is_const_value(NodeId id, double v) const {
        return g.kind(id) == NodeKind::Const && f64_bits(g.constant_value(id)) == f64_bits(v);
    }
};

}  // namespace

TEST_F(GraphTest, FreshGraphAndConstants) {
    Graph fresh;
    EXPECT_EQ(fresh.n_nodes(), 2u);
    EXPECT_EQ(fresh.constant(0.0), 0u);
    EXPECT_EQ(fresh.constant(1.0), 1u);
    NodeId minus_zero = fresh.constant(-0.0);
    EXPECT_EQ(minus_zero, 2u);  // keyed by bit pattern, not by value
    // Two NaNs with different payloads are different constants.
    EXPECT_NE(fresh.constant(f64_from_bits(0x7ff8000000000001ull)), fresh.constant(kNaN));
    // The constant-node cache answers by the presented key.
    NodeId c = fresh.cached_constant(f64_bits(-0.0), 0.0);
    EXPECT_EQ(c, 0u);
    EXPECT_EQ(fresh.cached_constant(f64_bits(-0.0), 5.0), 0u);
}

TEST_F(GraphTest, InputsAreIdentifiedByName) {
    std::size_t before = g.n_nodes();
    EXPECT_EQ(g.input("x"), x);
    EXPECT_EQ(g.n_nodes(), before);
    EXPECT_EQ(g.n_inputs(), 3u);
    EXPECT_EQ(g.input_name(g.node(z).a), "z");
}

TEST_F(GraphTest, AddMulNeg) {
    EXPECT_EQ(g.add(x, y), g.add(y, x));
    EXPECT_EQ(g.add(x, g.zero()), x);
    EXPECT_EQ(g.add(g.zero(), x), x);
    NodeId inf = g.constant(kInf);
    EXPECT_EQ(g.mul(inf, g.zero()), g.zero());  // 0 * inf folds to zero by rule
    EXPECT_EQ(g.mul(g.one(), x), x);
    EXPECT_TRUE(is_const_value(g.add(g.constant(2.0), g.constant(3.0)), 5.0));
    // Canonical folds: -0.0 and NaN results.
    EXPECT_EQ(g.add(g.constant(-0.0), g.constant(-0.0)), g.zero());
    EXPECT_TRUE(is_const_value(g.add(inf, g.constant(-kInf)), kNaN));
    NodeId xx = g.add(x, x);
    EXPECT_EQ(g.node(xx).kind, NodeKind::Add);
    EXPECT_EQ(g.node(xx).a, x);
    EXPECT_EQ(g.node(xx).b, x);
    EXPECT_EQ(g.neg(g.neg(x)), x);
    EXPECT_EQ(g.neg(g.zero()), g.zero());
    EXPECT_TRUE(is_const_value(g.neg(g.constant(2.0)), -2.0));
    EXPECT_EQ(g.neg(g.constant(-0.0)), g.zero());
}

TEST_F(GraphTest, Powers) {
    NodeId p6 = g.powi(g.powi(x, 2), 3);
    EXPECT_EQ(g.node(p6).kind, NodeKind::Powi);
    EXPECT_EQ(g.node(p6).a, x);
    EXPECT_EQ(powi_exponent(g.node(p6)), 6);
    EXPECT_EQ(g.powi(g.powi(x, 2), 0), g.one());
    EXPECT_EQ(g.powi(x, 1), x);
    EXPECT_EQ(g.node(g.powi(g.zero(), -1)).kind, NodeKind::Powi);  // no fold to inf
    EXPECT_TRUE(is_const_value(g.powi(g.constant(2.0), -2), 0.25));
    // Nested exponents whose product leaves 32 bits stay nested.
    NodeId big = g.powi(g.powi(x, 1 << 20), 1 << 20);
    EXPECT_EQ(g.node(g.node(big).a).kind, NodeKind::Powi);
    // Beyond 32 bits the power becomes Powf with the exponent as a constant.
    NodeId p40 = g.powi(x, std::int64_t{1} << 40);
    ASSERT_EQ(g.node(p40).kind, NodeKind::Binary);
    EXPECT_EQ(g.node(p40).op, static_cast<std::uint8_t>(BinaryOp::Powf));
    EXPECT_TRUE(is_const_value(g.node(p40).b, 1099511627776.0));

    EXPECT_EQ(g.binary(BinaryOp::Powf, x, g.constant(3.0)), g.powi(x, 3));
    EXPECT_EQ(g.binary(BinaryOp::Powf, x, g.constant(64.0)), g.powi(x, 64));
    EXPECT_EQ(g.binary(BinaryOp::Powf, x, g.constant(-2.0)), g.powi(x, -2));
    EXPECT_EQ(g.node(g.binary(BinaryOp::Powf, x, g.constant(65.0))).kind, NodeKind::Binary);
    EXPECT_EQ(g.node(g.binary(BinaryOp::Powf, x, g.constant(2.5))).kind, NodeKind::Binary);
    EXPECT_EQ(g.node(g.binary(BinaryOp::Powf, x, g.constant(-0.0))).kind, NodeKind::Binary);
    EXPECT_EQ(g.binary(BinaryOp::Powf, x, g.zero()), g.one());
    EXPECT_EQ(g.binary(BinaryOp::Powf, x, g.one()), x);
}

TEST_F(GraphTest, UnaryAndBinaryFolds) {
    // The own logarithm is never NaN, so ln(-1) folds.
    EXPECT_TRUE(is_const_value(g.unary(UnaryOp::Ln, g.constant(-1.0)), f64_from_bits(0xc05144f69ff9ffc4ull)));
    // NaN results are not folded.
    NodeId asin2 = g.unary(UnaryOp::Asin, g.constant(2.0));
    EXPECT_EQ(g.node(asin2).kind, NodeKind::Unary);
    EXPECT_EQ(g.unary(UnaryOp::Sin, g.zero()), g.zero());
    EXPECT_EQ(g.unary(UnaryOp::Ceil, g.constant(-0.5)), g.zero());  // -0.0 folds to +0.0
    NodeId abs_x = g.unary(UnaryOp::Abs, x);
    EXPECT_EQ(g.unary(UnaryOp::Abs, g.neg(g.neg(g.neg(x)))), abs_x);
    EXPECT_EQ(g.unary(UnaryOp::Abs, abs_x), abs_x);
    NodeId sq = g.unary(UnaryOp::Sqrt, x);
    EXPECT_EQ(g.unary(UnaryOp::Abs, sq), sq);
    EXPECT_EQ(g.unary(UnaryOp::Abs, g.neg(sq)), sq);
    EXPECT_TRUE(is_const_value(g.binary(BinaryOp::Mod, g.constant(-7.0), g.constant(3.0)), -1.0));
    EXPECT_EQ(g.node(g.binary(BinaryOp::Mod, g.constant(1.0), g.zero())).kind, NodeKind::Binary);
    EXPECT_NE(g.binary(BinaryOp::Atan2, x, y), g.binary(BinaryOp::Atan2, y, x));
}

TEST_F(GraphTest, ComparisonsAndSelect) {
    NodeId nan = g.constant(kNaN);
    EXPECT_EQ(g.cmp(CmpOp::Ne, nan, nan), g.one());
    EXPECT_EQ(g.cmp(CmpOp::Eq, nan, nan), g.zero());
    EXPECT_NE(g.cmp(CmpOp::Gt, x, y), g.cmp(CmpOp::Lt, y, x));
    EXPECT_EQ(g.select(nan, x, y), x);
    EXPECT_EQ(g.select(g.zero(), x, y), y);
    NodeId c = g.cmp(CmpOp::Gt, x, y);
    EXPECT_EQ(g.select(c, x, x), x);
    EXPECT_EQ(g.node(g.select(c, x, y)).kind, NodeKind::Select);
}

TEST_F(GraphTest, Reductions) {
    NodeId one = g.one();
    NodeId s = g.reduce(ReduceOp::Sum, std::vector<NodeId>{x, one, y, g.constant(2.0), g.zero()});
    ASSERT_EQ(g.node(s).kind, NodeKind::Reduce);
    auto ops = g.operands(s);
    ASSERT_EQ(ops.size(), 3u);
    NodeId three = g.constant(3.0);
    std::vector<NodeId> members(ops.begin(), ops.end());
    EXPECT_TRUE(std::is_permutation(members.begin(), members.end(), std::vector<NodeId>{x, y, three}.begin()));
    for (std::size_t i = 1; i < members.size(); ++i) EXPECT_LT(g.hash(members[i - 1]), g.hash(members[i]));

    EXPECT_EQ(g.reduce(ReduceOp::Product, std::vector<NodeId>{x, g.constant(2.0), g.constant(0.5)}), x);
    EXPECT_EQ(g.reduce(ReduceOp::Product, std::vector<NodeId>{x, g.zero()}), g.zero());
    EXPECT_EQ(g.reduce(ReduceOp::Product, std::vector<NodeId>{x, g.constant(1e-200), g.constant(1e-200)}), g.zero());
    EXPECT_EQ(g.operands(g.reduce(ReduceOp::Sum, std::vector<NodeId>{x, x})).size(), 2u);
    EXPECT_EQ(g.reduce(ReduceOp::Max, std::vector<NodeId>{x}), x);
    EXPECT_EQ(g.reduce(ReduceOp::Sum, std::vector<NodeId>{}), g.zero());
    EXPECT_EQ(g.reduce(ReduceOp::Product, std::vector<NodeId>{}), g.one());
    // Constants cancelling to zero leave nothing behind; a NaN is kept.
    EXPECT_EQ(g.reduce(ReduceOp::Sum, std::vector<NodeId>{x, g.constant(2.0), g.constant(-2.0)}), x);
    NodeId with_nan = g.reduce(ReduceOp::Sum, std::vector<NodeId>{x, g.constant(kNaN)});
    EXPECT_EQ(g.node(with_nan).kind, NodeKind::Reduce);
    // Min and Max keep duplicates and constants.
    EXPECT_EQ(g.operands(g.reduce(ReduceOp::Min, std::vector<NodeId>{x, x, g.one()})).size(), 3u);
    // The operand order does not depend on the order given.
    EXPECT_EQ(g.reduce(ReduceOp::Max, std::vector<NodeId>{z, y, x}), g.reduce(ReduceOp::Max, std::vector<NodeId>{x, z, y}));
    // Long lists (general sort) order the same way as short ones.
    std::vector<NodeId> many;
    for (int i = 0; i < 40; ++i) {
        std::string name = std::to_string(i);
        name.insert(0, 1, 'v');
        many.push_back(g.input(name));
    }
    auto long_ops = g.operands(g.reduce(ReduceOp::Sum, many));
    for (std::size_t i = 1; i < long_ops.size(); ++i) EXPECT_LT(g.hash(long_ops[i - 1]), g.hash(long_ops[i]));
}

TEST_F(GraphTest, DotAndSolve) {
    EXPECT_EQ(g.dot(std::vector<NodeId>{x}, std::vector<NodeId>{y}), g.mul(x, y));
    EXPECT_EQ(g.dot(std::vector<NodeId>{}, std::vector<NodeId>{}), g.zero());
    NodeId d = g.dot(std::vector<NodeId>{x, y}, std::vector<NodeId>{y, x});
    EXPECT_EQ(g.node(d).kind, NodeKind::Dot);
    auto dops = g.operands(d);
    EXPECT_EQ(std::vector<NodeId>(dops.begin(), dops.end()), (std::vector<NodeId>{x, y, y, x}));
    auto one = g.solve(std::vector<NodeId>{x}, std::vector<NodeId>{y});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], g.mul(y, g.powi(x, -1)));
    EXPECT_TRUE(g.solve(std::vector<NodeId>{}, std::vector<NodeId>{}).empty());
    auto sol = g.solve(std::vector<NodeId>{x, y, y, x}, std::vector<NodeId>{g.one(), z});
    ASSERT_EQ(sol.size(), 2u);
    EXPECT_EQ(sol[1], sol[0] + 1);
    // Equal operand lists share one arena range.
    EXPECT_EQ(g.node(sol[0]).b, g.node(sol[1]).b);
    std::size_t arena = g.list_arena_size();
    EXPECT_EQ(g.solve(std::vector<NodeId>{x, y, y, x}, std::vector<NodeId>{g.one(), z}), sol);
    EXPECT_EQ(g.list_arena_size(), arena);
    EXPECT_THROW(g.dot(std::vector<NodeId>{x}, std::vector<NodeId>{}), InternalError);
    EXPECT_THROW(g.solve(std::vector<NodeId>{x, y, z}, std::vector<NodeId>{x, y}), InternalError);
}

TEST_F(GraphTest, RebuildingAddsNothing) {
    auto build = [&] {
        NodeId a = g.add(g.mul(x, y), g.unary(UnaryOp::Sin, z));
        return g.reduce(ReduceOp::Product, std::vector<NodeId>{a, g.powi(a, -1), x});
    };
    NodeId first = build();
    std::size_t n = g.n_nodes();
    EXPECT_EQ(build(), first);
    EXPECT_EQ(g.n_nodes(), n);
}

TEST_F(GraphTest, BadIdsAreInternalErrors) {
    EXPECT_THROW(g.add(x, 1000), InternalError);
    EXPECT_THROW(g.node(1000), InternalError);
    EXPECT_THROW(g.input_name(99), InternalError);
}

TEST(StructuralHash, MatchesTheRecipe) {
    Graph g;
    NodeId x = g.input("x");
    NodeId y = g.input("y");
    NodeId z = g.input("z");
    EXPECT_EQ(g.hash(g.zero()), 0x916e274aadc059d7ull);
    EXPECT_EQ(g.hash(g.one()), 0x806244c54b90d6c6ull);
    EXPECT_EQ(g.hash(g.constant(-0.0)), 0x24de9b1020911363ull);
    EXPECT_EQ(g.hash(x), 0x9db4846e5317f79dull);
    EXPECT_EQ(g.hash(g.input("")), 0x756d0a56bf2c8a48ull);
    EXPECT_EQ(g.hash(g.input("a_long_name")), 0xa5aa473fd295030dull);
    EXPECT_EQ(g.hash(g.add(x, y)), 0x0ef3242af5a931deull);
    EXPECT_EQ(g.hash(g.mul(y, x)), 0x6d742617198e71fbull);
    EXPECT_EQ(g.hash(g.neg(x)), 0xf89de11917f38e54ull);
    EXPECT_EQ(g.hash(g.powi(x, -1)), 0x33a0bb8f485b759eull);
    EXPECT_EQ(g.hash(g.unary(UnaryOp::Sin, x)), 0xb25aefdfa8ac50f8ull);
    EXPECT_EQ(g.hash(g.binary(BinaryOp::Atan2, x, y)), 0x9aee4ea0d51383d6ull);
    NodeId gt = g.cmp(CmpOp::Gt, x, y);
    EXPECT_EQ(g.hash(gt), 0xb3b0236f897e50a1ull);
    EXPECT_EQ(g.hash(g.select(gt, x, y)), 0x3973713b1c332d81ull);
    EXPECT_EQ(g.hash(g.dot(std::vector<NodeId>{x, y}, std::vector<NodeId>{y, x})), 0x34af6bc5047c874eull);
    auto sol = g.solve(std::vector<NodeId>{x, y, y, x}, std::vector<NodeId>{g.one(), g.constant(2.0)});
    EXPECT_EQ(g.hash(sol[1]), 0xbf40b4c152b552eeull);
    // The hash decides the operand order of a reduction.
    NodeId c3 = g.constant(3.0);
    NodeId s = g.reduce(ReduceOp::Sum, std::vector<NodeId>{x, y, z, c3});
    auto ops = g.operands(s);
    EXPECT_EQ(std::vector<NodeId>(ops.begin(), ops.end()), (std::vector<NodeId>{c3, y, x, z}));
    EXPECT_EQ(g.hash(s), 0x7ff6fc9c6c74da65ull);
}
