// Expression text of hand-built graphs. Expected texts are written out by
// hand from the node structure; constants are given as hex floats so the
// expected spelling does not come from the formatter under test.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "graph/display.hpp"
#include "graph/graph.hpp"

using namespace vantu;

namespace {

// `prefix` followed by a decimal number (concatenating onto a literal trips a
// false -Wrestrict warning in GCC 12).
std::string cat(const char* prefix, std::uint64_t n) {
    std::string s = prefix;
    s += std::to_string(n);
    return s;
}

struct ConstCase {
    double value;
    const char* text;
};

}  // namespace

TEST(Display, ConstantSpellings) {
    const double inf = std::numeric_limits<double>::infinity();
    const ConstCase cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0x1.8p+1, "3.0"},
        {0x1p-1, "0.5"},
        {-0x1p+1, "-2.0"},
        {0x1.999999999999ap-4, "0.1"},
        {0x1.5555555555555p-2, "0.3333333333333333"},
        {0x1.e240c9fbe76c9p+16, "123456.789"},
        // The switch points: 1e-4 is plain, the double just below it and
        // 1e-5 are scientific; just below 1e16 is plain, 1e16 scientific.
        {0x1.a36e2eb1c432dp-14, "0.0001"},
        {-0x1.a36e2eb1c432dp-14, "-0.0001"},
        {0x1.a36e2eb1c432cp-14, "9.999999999999999e-5"},
        {0x1.4f8b588e368f1p-17, "1e-5"},
        {0x1.421f5f40d8376p-23, "1.5e-7"},
        {0x1.c6bf526340000p+49, "1000000000000000.0"},
        {0x1.1c37937e07fffp+53, "9999999999999998.0"},
        {0x1.1c37937e08000p+53, "1e16"},
        {-0x1.b1ae4d6e2ef50p+67, "-2.5e20"},
        {0x1p+60, "1.152921504606847e18"},
        {0x1.9b759505df0d1p-997, "1.2e-300"},
        {0x0.0000000000001p-1022, "5e-324"},
        {0x1.fffffffffffffp+1023, "1.7976931348623157e308"},
        {inf, "inf"},
        {-inf, "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (const ConstCase& c : cases) {
        EXPECT_EQ(constant_text(c.value), c.text) << c.text;
        Graph g;
        EXPECT_EQ(expr_text(g, g.constant(c.value)), c.text) << c.text;
    }
}

TEST(Display, InlineForms) {
    Graph g;
    NodeId x = g.input("x"), y = g.input("y"), z = g.input("z");
    NodeId xy = g.mul(x, y);
    NodeId w = g.input("w");  // after xy, so xy is the first operand of xy + w
    NodeId sum_yz = g.add(y, z);
    struct Case {
        NodeId node;
        const char* text;
    };
    const Case cases[] = {
        {x, "x"},
        {g.add(x, g.one()), "(1.0 + x)"},
        {g.add(x, g.neg(y)), "(x + -y)"},
        {g.mul(x, g.powi(y, -1)), "x*y^-1"},
        {g.mul(x, sum_yz), "x*((y + z))"},
        {g.neg(g.add(x, y)), "-((x + y))"},
        {g.mul(x, g.neg(y)), "x*(-y)"},
        {g.add(xy, w), "(x*y + w)"},
        {g.powi(sum_yz, 3), "((y + z))^3"},
        {g.powi(g.neg(x), 2147483647), "(-x)^2147483647"},
        {g.powi(x, std::numeric_limits<std::int32_t>::min()), "x^-2147483648"},
        {g.neg(g.mul(x, y)), "-x*y"},
        {g.unary(UnaryOp::Sqrt, sum_yz), "sqrt((y + z))"},
        {g.unary(UnaryOp::RandUniform, g.neg(x)), "rand_uniform(-x)"},
        {g.binary(BinaryOp::Powf, x, sum_yz), "powf(x, (y + z))"},
        {g.binary(BinaryOp::Hypot, g.neg(x), y), "hypot(-x, y)"},
        {g.cmp(CmpOp::Gt, x, y), "(x > y)"},
        {g.cmp(CmpOp::Ge, y, x), "(y >= x)"},
        {g.cmp(CmpOp::Lt, x, g.constant(2.0)), "(x < 2.0)"},
        {g.cmp(CmpOp::Le, x, y), "(x <= y)"},
        {g.cmp(CmpOp::Eq, x, y), "(x == y)"},
        {g.cmp(CmpOp::Ne, g.neg(x), y), "(-x != y)"},
        {g.select(g.cmp(CmpOp::Gt, x, y), x, y), "select((x > y), x, y)"},
        {g.select(x, g.neg(y), sum_yz), "select(x, -y, (y + z))"},
    };
    for (const Case& c : cases) EXPECT_EQ(expr_text(g, c.node), c.text) << c.text;
}

TEST(Display, SharedSubexpressionIsRepeated) {
    Graph g;
    NodeId x = g.input("x"), y = g.input("y");
    NodeId s = g.add(x, y);
    EXPECT_EQ(expr_text(g, g.mul(s, s)), "((x + y))*((x + y))");
    NodeId e = g.unary(UnaryOp::Exp, s);
    EXPECT_EQ(expr_text(g, g.binary(BinaryOp::Atan2, e, g.add(e, x))), "atan2(exp((x + y)), (x + exp((x + y))))");
}

TEST(Display, ReductionInStoredOrder) {
    Graph g;
    NodeId x = g.input("x"), y = g.input("y"), z = g.input("z");
    const std::pair<ReduceOp, const char*> ops[] = {
        {ReduceOp::Sum, "sum"}, {ReduceOp::Product, "prod"}, {ReduceOp::Min, "min"}, {ReduceOp::Max, "max"}};
    for (auto [op, name] : ops) {
        std::vector<NodeId> list = {z, g.neg(x), y};
        NodeId r = g.reduce(op, list);
        // The constructor orders operands by structural hash; the text
        // follows the stored order, whatever the order given.
        std::string expected = std::string(name) + "(";
        const Operands stored = g.operands(r);
        ASSERT_EQ(stored.size(), 3u);
        for (std::uint32_t i = 0; i < stored.size(); ++i) {
            if (i) expected += ", ";
            expected += stored[i] == x ? "x" : stored[i] == y ? "y" : stored[i] == z ? "z" : "-x";
        }
        expected += ")";
        EXPECT_EQ(expr_text(g, r), expected);
    }
}

TEST(Display, DotAndSolve) {
    Graph g;
    NodeId a0 = g.input("a0"), a1 = g.input("a1"), b0 = g.input("b0"), b1 = g.input("b1");
    std::vector<NodeId> left = {a0, a1}, right = {b0, b1};
    EXPECT_EQ(expr_text(g, g.dot(left, right)), "dot(a0*b0 + a1*b1)");
    std::vector<NodeId> left2 = {g.add(a0, a1), g.neg(a1), b1}, right2 = {b0, g.mul(a0, b0), g.one()};
    EXPECT_EQ(expr_text(g, g.dot(left2, right2)), "dot(((a0 + a1))*b0 + (-a1)*a0*b0 + b1*1.0)");

    std::vector<NodeId> m2 = {a0, a1, b0, b1}, r2 = {a1, b0};
    auto x2 = g.solve(m2, r2);
    ASSERT_EQ(x2.size(), 2u);
    EXPECT_EQ(expr_text(g, x2[0]), "solve2[0]");
    EXPECT_EQ(expr_text(g, g.add(x2[1], a0)), "(a0 + solve2[1])");
    std::vector<NodeId> m3(9), r3(3);
    for (int i = 0; i < 9; ++i) m3[i] = g.input(cat("m", i));
    for (int i = 0; i < 3; ++i) r3[i] = g.input(cat("r", i));
    auto x3 = g.solve(m3, r3);
    EXPECT_EQ(expr_text(g, x3[1]), "solve3[1]");
    EXPECT_EQ(expr_text(g, x3[2]), "solve3[2]");
}

TEST(Display, ListingPastTheThreshold) {
    // x + v0 + v1 + ...: every addition costs 8 plus the name of its new
    // input, so 400 of them are far past the inline limit.
    Graph g;
    NodeId acc = g.input("x");
    std::string expected;
    for (int i = 0; i < 400; ++i) {
        NodeId v = g.input(cat("v", i));
        std::string prev = i == 0 ? std::string("x") : cat("%", acc);
        acc = g.add(acc, v);
        expected += cat("%", acc) + " = (" + prev + " + v" + std::to_string(i) + ")\n";
    }
    // Inner operands are referenced by id, leaves written out, and no tight
    // parentheses are added.
    NodeId neg = g.neg(acc);
    NodeId two = g.constant(2.0);
    NodeId prod = g.mul(neg, two);
    NodeId pw = g.powi(prod, -2);
    expected += cat("%", neg) + " = -%" + std::to_string(acc) + "\n";
    expected += cat("%", prod) + " = %" + std::to_string(neg) + "*2.0\n";
    expected += cat("%", pw) + " = %" + std::to_string(prod) + "^-2\n";
    expected += cat("%", pw);
    EXPECT_EQ(expr_text(g, pw), expected);
}

TEST(Display, InlineLimitIsExact) {
    // -name costs 8 + the length of the name.
    for (std::size_t len : {4088u, 4089u}) {
        Graph g;
        std::string name(len, 'q');
        NodeId n = g.neg(g.input(name));
        std::string text = expr_text(g, n);
        if (len == 4088)
            EXPECT_EQ(text, "-" + name);
        else
            EXPECT_EQ(text, cat("%", n) + " = -" + name + "\n%" + std::to_string(n));
    }
    // A leaf alone past the limit is its own reference.
    Graph g;
    std::string long_name(5000, 'r');
    EXPECT_EQ(expr_text(g, g.input(long_name)), long_name);
}

namespace {

// A node whose expression tree has exactly `size` nodes while the graph
// holds only about 2 log2(size) of them: x, sin(t) adds one node to the tree,
// t + t doubles it and adds one.
NodeId tree_of_size(Graph& g, NodeId x, std::uint64_t size) {
    if (size == 1) return x;
    if (size % 2 == 1) {
        NodeId half = tree_of_size(g, x, (size - 1) / 2);
        return g.add(half, half);
    }
    return g.unary(UnaryOp::Sin, tree_of_size(g, x, size - 1));
}

}  // namespace

TEST(Display, FitsCountsTreeVisits) {
    Graph g;
    NodeId x = g.input("x");
    NodeId n200 = tree_of_size(g, x, 200);
    NodeId n201 = tree_of_size(g, x, 201);
    EXPECT_LT(g.n_nodes(), 40u);
    EXPECT_TRUE(fits(g, n200, 200));
    EXPECT_FALSE(fits(g, n200, 199));
    EXPECT_FALSE(fits(g, n201, 200));
    EXPECT_TRUE(fits(g, n201, 201));
    EXPECT_TRUE(fits(g, x, 1));
    EXPECT_FALSE(fits(g, x, 0));
    // A wide node is refused without walking its operands.
    std::vector<NodeId> many;
    for (int i = 0; i < 1000; ++i) many.push_back(g.input(cat("w", i)));
    EXPECT_FALSE(fits(g, g.reduce(ReduceOp::Max, many), 200));
}

TEST(Display, HugeTreeOfFewNodesIsListed) {
    // A tree of 2^41 - 1 nodes over 41 distinct ones: the size estimate
    // saturates and the listing names each distinct node once.
    Graph g;
    NodeId t = g.input("x");
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        std::string prev = i == 0 ? std::string("x") : cat("%", t);
        t = g.add(t, t);
        expected += cat("%", t) + " = (" + prev + " + " + prev + ")\n";
    }
    expected += cat("%", t);
    EXPECT_EQ(expr_text(g, t), expected);
    EXPECT_FALSE(fits(g, t, 200));
}
