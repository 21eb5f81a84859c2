// Derivatives built into the graph, evaluated with the reference node
// evaluator and checked against analytic derivatives, central differences,
// each other (reverse against forward sweeps) and the structural promises
// (which derivatives are the zero node, which nodes get built).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "autodiff/autodiff.hpp"
#include "graph/error.hpp"
#include "graph/graph.hpp"
#include "graph/semantics.hpp"
#include "graph_eval.hpp"

using namespace vantu;

namespace {

constexpr double kPi = 3.141592653589793;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double value(const Graph& g, NodeId id, const std::vector<double>& at) { return ref::GraphEval(g, at)(id); }

// |got - want| <= rel * |want| + abs.
::testing::AssertionResult close(double got, double want, double rel, double abs = 0.0) {
    if (std::fabs(got - want) <= rel * std::fabs(want) + abs) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << std::hexfloat << got << " vs " << want << std::defaultfloat << " ("
                                         << got << " vs " << want << ")";
}

// Central difference of node f in input i.
double central(const Graph& g, NodeId f, std::vector<double> at, std::size_t i) {
    const double x = at[i];
    const double h = 1e-6 * std::max(1.0, std::fabs(x));
    at[i] = x + h;
    const double xp = at[i], fp = value(g, f, at);
    at[i] = x - h;
    const double xm = at[i], fm = value(g, f, at);
    return (fp - fm) / (xp - xm);
}

std::vector<std::uint32_t> all_inputs(const Graph& g) {
    std::vector<std::uint32_t> w(g.n_inputs());
    for (std::uint32_t i = 0; i < w.size(); ++i) w[i] = i;
    return w;
}

bool has_unary(const Graph& g, UnaryOp op) {
    for (const Node& n : g.nodes())
        if (n.kind == NodeKind::Unary && n.op == static_cast<std::uint8_t>(op)) return true;
    return false;
}

std::string failure_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "(no failure)";
}

const char* const kTrigammaMessage = "vantu: the derivative of trigamma (polygamma of order 2) is not available";

}  // namespace

// -- The reference evaluator itself -------------------------------------------

TEST(GraphEval, DotAddsFourLanesBeforeTheLeftovers) {
    const double a[] = {1e16, 1.0, -1e16, 1.0, 1.0};
    const double ones[] = {1.0, 1.0, 1.0, 1.0, 1.0};
    EXPECT_EQ(ref::dot(a, ones, 5), 1.0);  // left to right would give 2.0
    const double negzero[] = {-0.0};
    EXPECT_EQ(f64_bits(ref::dot(negzero, ones, 1)), 0u);  // starts from +0.0
    EXPECT_EQ(f64_bits(ref::dot(a, ones, 0)), 0u);
    // Each product is rounded before it is added: (1 + 2^-30)(1 - 2^-30)
    // rounds to 1, so the sum is 0 (a fused multiply-add would give -2^-60).
    const double l[] = {1.0, 1.0 + 0x1p-30}, r[] = {-1.0, 1.0 - 0x1p-30};
    EXPECT_EQ(ref::dot(l, r, 2), 0.0);
}

TEST(GraphEval, SolvePivotsOnStrictlyGreaterMagnitude) {
    struct Case {
        std::vector<double> a, b, want;
    };
    const Case cases[] = {
        {{0.0, 1.0, 1.0, 0.0}, {2.0, 3.0}, {3.0, 2.0}},  // pivot to the second row
        // |-1| ties |1|: the first row stays the pivot (taking the second
        // would give -0x1.9bd9b0b66347cp-4 in the first component).
        {{-1.0, 0x1.93d38c0d6fe64p-1, 1.0, 0x1.f390b203a0e3cp-2},
         {0x1.c960d9f57d2cep-1, 0x1.8f2a0a3764e94p-2},
         {-0x1.9bd9b0b663478p-4, 0x1.01500b837172ep+0}},
        {{1e-3, 2.0, 3.0, 4.0, 5e-3, 6.0, 7.0, 8.0, 9e-3},
         {0.1, 0.2, 0.3},
         {0x1.475a31a35dcb9p-6, 0x1.47991fcc0d409p-6, 0x1.47a01dd09286ap-6}},
    };
    for (const Case& c : cases) {
        std::vector<double> x = ref::solve(c.a, c.b);
        ASSERT_EQ(x.size(), c.want.size());
        for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(f64_bits(x[i]), f64_bits(c.want[i])) << i;
    }
}

TEST(GraphEval, NodeMeanings) {
    Graph g;
    NodeId x = g.input("x"), y = g.input("y"), z = g.input("z");
    NodeId sel = g.select(x, y, z);
    EXPECT_EQ(value(g, sel, {kNaN, 2.0, 3.0}), 2.0);  // a NaN condition is not 0
    EXPECT_EQ(value(g, sel, {0.0, 2.0, 3.0}), 3.0);
    EXPECT_TRUE(std::isnan(value(g, z, {1.0, 2.0})));  // past the values given
    // Components of one system share its solution.
    const NodeId a[] = {x, y, z, x};
    const NodeId b[] = {y, z};
    std::vector<NodeId> s = g.solve(a, b);
    ref::GraphEval ev(g, {2.0, 1.0, 3.0});  // [[2, 1], [3, 2]] x = [1, 3]
    EXPECT_TRUE(close(ev(s[0]), -1.0, 0.0, 1e-15));
    EXPECT_TRUE(close(ev(s[1]), 3.0, 0.0, 1e-15));
}

// -- Local rules -----------------------------------------------------------------

TEST(UnaryDerivative, ValuesAgainstAnalyticDerivatives) {
    const double e80 = f64_from_bits(0x47255779b984f3ebull);
    const double euler = 0.5772156649015329;
    const double digamma_25 = -euler - 2.0 * std::log(2.0) + 2.0 + 2.0 / 3.0;
    struct Case {
        UnaryOp op;
        double x;
        double want;
        bool smooth;  // also check a central difference
        double rel = 1e-13;
    };
    const Case cases[] = {
        {UnaryOp::Exp, 1.0, 2.718281828459045, true},
        {UnaryOp::Exp, 100.0, e80, true},  // the own exp is linear above 80
        {UnaryOp::Exp, 80.0, std::exp(80.0), false},
        {UnaryOp::Ln, 2.0, 0.5, true},
        {UnaryOp::Ln, 0.0, 0.0, false},  // clamped
        {UnaryOp::Ln, -3.0, 0.0, true},
        {UnaryOp::Ln, 1e-30, 0.0, false},
        {UnaryOp::Sqrt, 2.25, 1.0 / 3.0, true},
        {UnaryOp::Sqrt, 0.0, 0.0, false},  // not infinite
        {UnaryOp::Sqrt, -1.0, 0.0, true},
        {UnaryOp::Sin, 0.7, std::cos(0.7), true},
        {UnaryOp::Cos, 0.7, -std::sin(0.7), true},
        {UnaryOp::Sinh, 0.7, std::cosh(0.7), true},
        {UnaryOp::Cosh, 0.7, std::sinh(0.7), true},
        {UnaryOp::Tanh, 0.7, 1.0 / (std::cosh(0.7) * std::cosh(0.7)), true},
        {UnaryOp::Atan, 0.7, 1.0 / 1.49, true},
        {UnaryOp::Tan, 0.7, 1.0 / (std::cos(0.7) * std::cos(0.7)), true},
        {UnaryOp::Log10, 3.0, 1.0 / (3.0 * std::log(10.0)), true},
        {UnaryOp::Log2, 3.0, 1.0 / (3.0 * std::log(2.0)), true},
        {UnaryOp::Log1p, 0.5, 1.0 / 1.5, true},
        {UnaryOp::Expm1, 0.3, std::exp(0.3), true},
        {UnaryOp::Cbrt, 2.0, 1.0 / (3.0 * std::cbrt(4.0)), true},
        {UnaryOp::Cbrt, -8.0, 1.0 / 12.0, true},
        {UnaryOp::Abs, -2.5, -1.0, true},
        {UnaryOp::Abs, 2.5, 1.0, true},
        {UnaryOp::Abs, 0.0, 0.0, false},  // sign(0)
        {UnaryOp::Asin, 0.3, 1.0 / std::sqrt(0.91), true},
        {UnaryOp::Acos, 0.3, -1.0 / std::sqrt(0.91), true},
        {UnaryOp::Asinh, 0.7, 1.0 / std::sqrt(1.49), true},
        {UnaryOp::Acosh, 1.7, 1.0 / std::sqrt(1.89), true},
        {UnaryOp::Atanh, 0.3, 1.0 / 0.91, true},
        {UnaryOp::Erf, 0.4, 2.0 / std::sqrt(kPi) * std::exp(-0.16), true},
        {UnaryOp::Erfc, 0.4, -2.0 / std::sqrt(kPi) * std::exp(-0.16), true},
        // The own digamma and trigamma are truncated series (about 1e-9
        // relative); the rest agree to rounding.
        {UnaryOp::Lgamma, 2.5, digamma_25, true, 1e-8},
        {UnaryOp::Tgamma, 2.5, 1.3293403881791372 * digamma_25, true, 1e-8},
        {UnaryOp::Digamma, 2.5, kPi * kPi / 2.0 - 4.0 - 4.0 / 9.0, true, 1e-8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(text_name(c.op)) + " at " + std::to_string(c.x));
        Graph g;
        NodeId x = g.input("x");
        NodeId f = g.unary(c.op, x);
        const std::uint32_t wrt[] = {0};
        NodeId reverse = gradient(g, f, wrt)[0];
        const NodeId roots[] = {f};
        NodeId forward = tangents(g, roots, 0)[0];
        EXPECT_EQ(reverse, forward);  // both are the local derivative times one
        EXPECT_EQ(reverse, unary_derivative(g, c.op, x));
        double got = value(g, reverse, {c.x});
        EXPECT_TRUE(close(got, c.want, c.rel));
        if (c.smooth) {
            EXPECT_TRUE(close(got, central(g, f, {c.x}, 0), 1e-6, 1e-9));
        }
    }
}

TEST(UnaryDerivative, PiecewiseConstantOperationsGiveTheZeroNode) {
    const UnaryOp ops[] = {UnaryOp::Floor, UnaryOp::Ceil,  UnaryOp::Round,
                           UnaryOp::Trunc, UnaryOp::Sign, UnaryOp::RandUniform};
    for (UnaryOp op : ops) {
        Graph g;
        NodeId x = g.input("x");
        NodeId f = g.unary(op, x);
        const std::size_t before = g.n_nodes();
        EXPECT_EQ(unary_derivative(g, op, x), g.zero());
        const std::uint32_t wrt[] = {0};
        EXPECT_EQ(gradient(g, f, wrt)[0], g.zero());
        const NodeId outs[] = {f};
        EXPECT_TRUE(jacobian_rows(g, outs, wrt)[0].empty());
        EXPECT_EQ(g.n_nodes(), before);
    }
}

TEST(UnaryDerivative, TrigammaStopsTheConstruction) {
    Graph g;
    NodeId x = g.input("x"), y = g.input("y");
    EXPECT_EQ(unary_derivative(g, UnaryOp::Digamma, x), g.unary(UnaryOp::Trigamma, x));
    NodeId f = g.mul(g.unary(UnaryOp::Trigamma, x), y);
    const std::uint32_t wx[] = {0};
    const NodeId roots[] = {f};
    EXPECT_EQ(failure_of([&] { gradient(g, f, wx); }), kTrigammaMessage);
    EXPECT_EQ(failure_of([&] { tangents(g, roots, 0); }), kTrigammaMessage);
    EXPECT_EQ(failure_of([&] { jacobian_rows(g, roots, wx); }), kTrigammaMessage);
    // Outside the cone trigamma is only a factor.
    const std::uint32_t wy[] = {1};
    EXPECT_EQ(gradient(g, f, wy)[0], g.unary(UnaryOp::Trigamma, x));
    // The failures left the pooled tables usable.
    NodeId h = g.mul(g.unary(UnaryOp::Sin, x), y);
    EXPECT_TRUE(close(value(g, gradient(g, h, wx)[0], {0.5, 2.0}), 2.0 * std::cos(0.5), 1e-15));
}

TEST(BinaryPartials, ValuesAgainstAnalyticDerivatives) {
    struct Case {
        BinaryOp op;
        double p, q, dp, dq;
        bool smooth;
    };
    const Case cases[] = {
        {BinaryOp::Powf, 2.0, 3.5, 3.5 * std::pow(2.0, 2.5), std::pow(2.0, 3.5) * std::log(2.0), true},
        // The own ln keeps d/dq finite at p = 0: 0^2.5 * ln(1e-30) = 0.
        {BinaryOp::Powf, 0.0, 2.5, 0.0, 0.0, false},
        {BinaryOp::Mod, 5.5, 2.0, 1.0, -2.0, true},
        {BinaryOp::Mod, -5.5, 2.0, 1.0, 2.0, true},
        {BinaryOp::Atan2, 0.3, -0.8, -0.8 / 0.73, -0.3 / 0.73, true},
        {BinaryOp::Hypot, 3.0, 4.0, 0.6, 0.8, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(text_name(c.op)) + " at " + std::to_string(c.p) + ", " + std::to_string(c.q));
        Graph g;
        NodeId p = g.input("p"), q = g.input("q");
        NodeId f = g.binary(c.op, p, q);
        const std::uint32_t wrt[] = {0, 1};
        std::vector<NodeId> d = gradient(g, f, wrt);
        const NodeId roots[] = {f};
        const std::vector<double> at = {c.p, c.q};
        const double want[] = {c.dp, c.dq};
        for (std::uint32_t i = 0; i < 2; ++i) {
            double got = value(g, d[i], at);
            EXPECT_TRUE(close(got, want[i], 1e-14)) << "partial " << i;
            EXPECT_TRUE(close(value(g, tangents(g, roots, i)[0], at), got, 1e-15));
            if (c.smooth) {
                EXPECT_TRUE(close(got, central(g, f, at, i), 1e-6, 1e-9));
            }
        }
    }
}

TEST(BinaryPartials, BuildOnlyWhatIsAsked) {
    const BinaryOp ops[] = {BinaryOp::Powf, BinaryOp::Mod, BinaryOp::Atan2, BinaryOp::Hypot};
    for (BinaryOp op : ops) {
        Graph g;
        NodeId p = g.input("p"), q = g.input("q");
        g.binary(op, p, q);
        const std::size_t before = g.n_nodes();
        auto [d1, d2] = binary_partials(g, op, p, q, false, false);
        EXPECT_EQ(d1, op == BinaryOp::Mod ? g.one() : g.zero()) << text_name(op);
        EXPECT_EQ(d2, g.zero());
        EXPECT_EQ(g.n_nodes(), before);
    }
    // d/dp pow(p, q) needs no logarithm; d/dq does.
    Graph g;
    NodeId p = g.input("p"), q = g.input("q");
    NodeId f = g.binary(BinaryOp::Powf, p, q);
    const std::uint32_t wp[] = {0}, wq[] = {1};
    gradient(g, f, wp);
    const NodeId roots[] = {f};
    tangents(g, roots, 0);
    EXPECT_FALSE(has_unary(g, UnaryOp::Ln));
    gradient(g, f, wq);
    EXPECT_TRUE(has_unary(g, UnaryOp::Ln));
}

// -- Sweeps ----------------------------------------------------------------------

namespace {

struct FunctionCase {
    const char* name;
    std::function<NodeId(Graph&, NodeId, NodeId, NodeId)> build;
    std::vector<double> at;
};

NodeId solve_system(Graph& g, NodeId x, NodeId y, NodeId z, std::vector<NodeId>* out = nullptr) {
    const NodeId a[] = {x, y, g.one(), z, g.constant(2.0), x, g.one(), g.mul(y, z), g.constant(3.0)};
    const NodeId b[] = {g.unary(UnaryOp::Sin, x), y, z};
    std::vector<NodeId> s = g.solve(a, b);
    if (out) *out = s;
    const NodeId terms[] = {s[0], g.mul(g.constant(2.0), s[1]), g.mul(s[2], x)};
    return g.reduce(ReduceOp::Sum, terms);
}

const std::vector<FunctionCase>& function_cases() {
    static const std::vector<FunctionCase> cases = {
        {"arith",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             NodeId q = g.mul(x, g.powi(y, -1));              // x / y
             return g.add(g.mul(q, g.neg(z)), g.powi(x, 5));  // -(x/y) z + x^5
         },
         {0.7, 1.3, -0.4}},
        {"powi_negative",
         [](Graph& g, NodeId x, NodeId y, NodeId) { return g.mul(g.powi(x, -3), g.powi(g.add(x, y), 2)); },
         {0.7, 1.3, 0.0}},
        {"unary_chain",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             NodeId e = g.unary(UnaryOp::Exp, g.mul(g.unary(UnaryOp::Ln, x), y));
             NodeId t = g.unary(UnaryOp::Tanh, g.unary(UnaryOp::Log1p, g.mul(x, z)));
             return g.add(e, g.mul(t, g.unary(UnaryOp::Sqrt, g.add(y, z))));
         },
         {0.7, 1.3, 0.4}},
        {"binary_mix",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             const NodeId terms[] = {g.binary(BinaryOp::Atan2, x, y), g.binary(BinaryOp::Hypot, y, z),
                                     g.binary(BinaryOp::Powf, x, z), g.binary(BinaryOp::Mod, z, y)};
             return g.reduce(ReduceOp::Sum, terms);
         },
         {0.7, 1.3, 2.9}},
        {"select",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             return g.select(g.cmp(CmpOp::Gt, x, y), g.mul(x, z), g.unary(UnaryOp::Sin, y));
         },
         {0.7, 1.3, 0.4}},
        {"select_taken",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             return g.select(g.cmp(CmpOp::Gt, x, y), g.mul(x, z), g.unary(UnaryOp::Sin, y));
         },
         {1.7, 1.3, 0.4}},
        {"sum_with_repeats",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             const NodeId terms[] = {x, x, g.mul(y, z), g.neg(z), g.constant(2.0)};
             return g.unary(UnaryOp::Sin, g.reduce(ReduceOp::Sum, terms));
         },
         {0.7, 1.3, 0.4}},
        {"product",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             const NodeId f[] = {x, y, z, x, g.constant(2.0), g.unary(UnaryOp::Cos, y)};
             return g.reduce(ReduceOp::Product, f);
         },
         {0.7, 1.3, -0.4}},
        {"min",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             const NodeId f[] = {x, g.mul(y, y), z, g.add(x, z)};
             return g.reduce(ReduceOp::Min, f);
         },
         {0.7, 1.3, 0.4}},
        {"max",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             const NodeId f[] = {g.unary(UnaryOp::Sin, x), g.mul(x, y), z};
             return g.mul(g.reduce(ReduceOp::Max, f), y);
         },
         {0.7, 1.3, 0.4}},
        {"dot",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             const NodeId l[] = {x, y, z, x, y};
             const NodeId r[] = {y, z, x, g.unary(UnaryOp::Sin, x), g.constant(2.0)};
             return g.dot(l, r);
         },
         {0.7, 1.3, -0.4}},
        {"solve",
         [](Graph& g, NodeId x, NodeId y, NodeId z) { return solve_system(g, x, y, z); },
         {0.7, 1.3, -0.4}},
        {"solve_one_component",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             std::vector<NodeId> s;
             solve_system(g, x, y, z, &s);
             return g.unary(UnaryOp::Exp, s[1]);
         },
         {0.7, 1.3, -0.4}},
        {"condition_only",
         [](Graph& g, NodeId x, NodeId y, NodeId z) {
             return g.select(g.cmp(CmpOp::Lt, x, z), g.mul(y, y), g.constant(1.0));
         },
         {0.7, 1.3, 0.4}},
    };
    return cases;
}

}  // namespace

TEST(Sweeps, ReverseForwardAndCentralDifferencesAgree) {
    for (const FunctionCase& c : function_cases()) {
        SCOPED_TRACE(c.name);
        Graph g;
        NodeId x = g.input("x"), y = g.input("y"), z = g.input("z");
        NodeId f = c.build(g, x, y, z);
        std::vector<std::uint32_t> wrt = all_inputs(g);
        std::vector<NodeId> rev = gradient(g, f, wrt);
        const NodeId roots[] = {f};
        std::vector<JacobianRow> rows = jacobian_rows(g, roots, wrt);
        ASSERT_EQ(rows.size(), 1u);
        ref::GraphEval ev(g, c.at);
        std::size_t entry = 0;
        for (std::uint32_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            NodeId fwd = tangents(g, roots, i)[0];
            const double r = ev(rev[i]);
            EXPECT_TRUE(close(ev(fwd), r, 1e-13, 1e-15));
            EXPECT_TRUE(close(r, central(g, f, c.at, i), 1e-7, 1e-9));
            if (fwd != g.zero()) {
                ASSERT_LT(entry, rows[0].size());
                EXPECT_EQ(rows[0][entry].column, i);
                EXPECT_EQ(rows[0][entry].node, fwd);
                ++entry;
            }
        }
        EXPECT_EQ(entry, rows[0].size());
    }
}

TEST(Sweeps, MinMaxFollowTheFirstExtremeOperandInStoredOrder) {
    // Each row lists, per stored position, whether that operand sits at the
    // extreme; the derivative is 1 for the first such position and 0 for
    // every other operand.
    const std::vector<std::vector<bool>> rows = {
        {true, false},       {false, true},        {true, true},
        {true, false, false}, {false, true, false}, {false, false, true},
        {true, true, false},  {true, false, true},  {false, true, true}, {true, true, true},
    };
    for (ReduceOp op : {ReduceOp::Min, ReduceOp::Max}) {
        for (const std::vector<bool>& extreme : rows) {
            const std::size_t m = extreme.size();
            SCOPED_TRACE(std::string(text_name(op)) + " of " + std::to_string(m) + " with extreme at " +
                         ::testing::PrintToString(extreme));
            Graph g;
            const NodeId in[] = {g.input("x"), g.input("y"), g.input("z")};
            NodeId f = g.reduce(op, std::span<const NodeId>(in, m));
            const std::vector<NodeId> stored(g.operands(f).begin(), g.operands(f).end());
            // Values by input index: 5 at the extreme, the others apart and off it.
            std::vector<double> at(m);
            const double sign = op == ReduceOp::Max ? 1.0 : -1.0;
            std::size_t first = m;
            for (std::size_t k = 0; k < m; ++k) {
                at[g.node(stored[k]).a] = sign * (extreme[k] ? 5.0 : 1.0 + static_cast<double>(k));
                if (extreme[k] && first == m) first = k;
            }
            std::vector<NodeId> rev = gradient(g, f, all_inputs(g));
            const NodeId roots[] = {f};
            for (std::size_t k = 0; k < m; ++k) {
                const std::uint32_t i = g.node(stored[k]).a;
                const double want = k == first ? 1.0 : 0.0;
                EXPECT_EQ(value(g, rev[i], at), want) << "position " << k;
                EXPECT_EQ(value(g, tangents(g, roots, i)[0], at), want) << "position " << k;
            }
        }
    }
}

TEST(Sweeps, DerivativeShapes) {
    Graph g;
    NodeId x = g.input("x"), y = g.input("y"), z = g.input("z");
    const std::uint32_t wx[] = {0}, wy[] = {1}, wxy[] = {0, 1};
    // An input with respect to itself and to another input.
    EXPECT_EQ(gradient(g, x, wxy), (std::vector<NodeId>{g.one(), g.zero()}));
    // x*x: two equal contributions in one Sum.
    NodeId sq = gradient(g, g.mul(x, x), wx)[0];
    EXPECT_EQ(g.kind(sq), NodeKind::Reduce);
    EXPECT_EQ(std::vector<NodeId>(g.operands(sq).begin(), g.operands(sq).end()), (std::vector<NodeId>{x, x}));
    EXPECT_EQ(value(g, sq, {1.25}), 2.5);
    // sin + cos: a Sum of cos(x) and -sin(x).
    NodeId sc = gradient(g, g.add(g.unary(UnaryOp::Sin, x), g.unary(UnaryOp::Cos, x)), wx)[0];
    const NodeId want_sc[] = {g.unary(UnaryOp::Cos, x), g.neg(g.unary(UnaryOp::Sin, x))};
    EXPECT_EQ(sc, g.reduce(ReduceOp::Sum, want_sc));
    // Nothing flows through a comparison or a select's condition.
    NodeId gt = g.cmp(CmpOp::Gt, x, y);
    EXPECT_EQ(gradient(g, g.select(gt, x, y), wx)[0], g.select(gt, g.one(), g.zero()));
    EXPECT_EQ(gradient(g, g.select(gt, z, g.constant(2.0)), wxy), (std::vector<NodeId>{g.zero(), g.zero()}));
    // A constant output.
    EXPECT_EQ(gradient(g, g.constant(4.0), wy)[0], g.zero());
    // A system that does not depend on the input contributes nothing.
    const NodeId a[] = {x, g.one(), g.constant(2.0), x}, b[] = {x, g.constant(3.0)};
    NodeId f = g.add(g.solve(a, b)[0], y);
    const NodeId roots[] = {f};
    EXPECT_EQ(tangents(g, roots, 1)[0], g.one());
    EXPECT_EQ(gradient(g, f, wy)[0], g.one());
}

TEST(Sweeps, ASystemIsDifferentiatedOnceForAllItsComponents) {
    Graph g;
    NodeId x = g.input("x"), y = g.input("y"), z = g.input("z");
    NodeId f = solve_system(g, x, y, z);  // uses all three components
    gradient(g, f, all_inputs(g));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> systems;
    for (const Node& n : g.nodes())
        if (n.kind == NodeKind::Solve) systems.emplace_back(n.b, n.c);
    std::sort(systems.begin(), systems.end());
    systems.erase(std::unique(systems.begin(), systems.end()), systems.end());
    EXPECT_EQ(systems.size(), 2u);  // the system and its one transposed solve
}

TEST(Jacobian, RowsHoldExactlyTheStructuralNonzeros) {
    Graph g;
    NodeId x = g.input("x"), y = g.input("y"), z = g.input("z");
    NodeId gt = g.cmp(CmpOp::Gt, x, y);
    const NodeId outputs[] = {
        g.unary(UnaryOp::Floor, x),
        g.add(x, g.neg(x)),  // x - x: the contributions 1 and -1 fold to 0
        g.mul(x, y),
        g.constant(3.0),
        g.select(gt, z, g.constant(1.0)),
        g.add(g.mul(z, g.constant(2.0)), x),
    };
    const std::uint32_t wrt[] = {0, 1, 2};
    std::vector<JacobianRow> rows = jacobian_rows(g, outputs, wrt);
    const std::vector<JacobianRow> want = {
        {},
        {},
        {{0, y}, {1, x}},  // d(xy)/dx = y is an entry even where y is 0
        {},
        {{2, g.select(gt, g.one(), g.zero())}},
        {{0, g.one()}, {2, g.constant(2.0)}},
    };
    EXPECT_EQ(rows, want);
}

TEST(Jacobian, DuplicateInputsFillOnlyTheirLastColumn) {
    Graph g;
    std::vector<NodeId> in;
    for (int i = 0; i < 20; ++i) in.push_back(g.input("x" + std::to_string(i)));
    NodeId small = g.mul(in[0], in[1]);
    std::vector<NodeId> terms;
    for (int i = 0; i < 20; ++i) terms.push_back(g.mul(in[i], in[i]));
    NodeId large = g.reduce(ReduceOp::Sum, terms);  // 20 dependencies: reverse sweep

    const std::uint32_t twice[] = {0, 0};
    EXPECT_EQ(gradient(g, small, twice), (std::vector<NodeId>{in[1], in[1]}));

    // Columns: input 0 at 0 and 20 (the last wins), inputs 1..19 at 1..19.
    std::vector<std::uint32_t> wrt = all_inputs(g);
    wrt.push_back(0);
    const NodeId outputs[] = {small, large};
    std::vector<JacobianRow> rows = jacobian_rows(g, outputs, wrt);
    EXPECT_EQ(rows[0], (JacobianRow{{1, in[0]}, {20, in[1]}}));
    ASSERT_EQ(rows[1].size(), 20u);
    for (std::uint32_t k = 0; k < 19; ++k) EXPECT_EQ(rows[1][k].column, k + 1);
    EXPECT_EQ(rows[1][19].column, 20u);
    EXPECT_EQ(value(g, rows[1][19].node, {1.5}), 3.0);
}

TEST(Jacobian, FifteenAndSixteenDependenciesAgree) {
    // The row of 16 dependencies takes the reverse sweep, the row of 15 the
    // forward sweeps; each is checked against the other sweep and against
    // central differences.
    Graph g;
    std::vector<NodeId> in;
    std::vector<double> at;
    for (int i = 0; i < 16; ++i) {
        in.push_back(g.input("x" + std::to_string(i)));
        at.push_back(0.1 * (i + 1));
    }
    auto ring = [&](std::size_t n) {
        std::vector<NodeId> t;
        for (std::size_t k = 0; k < n; ++k) t.push_back(g.mul(g.unary(UnaryOp::Sin, in[k]), in[(k + 1) % n]));
        return g.unary(UnaryOp::Exp, g.reduce(ReduceOp::Sum, t));
    };
    // The third row has 15 dependencies along derivative edges, but 16
    // inputs: the one in the condition counts for the choice.
    NodeId r15 = ring(15);
    const NodeId outputs[] = {r15, ring(16), g.select(g.cmp(CmpOp::Gt, in[15], g.zero()), r15, g.zero())};
    std::vector<std::uint32_t> wrt = all_inputs(g);
    std::vector<JacobianRow> rows = jacobian_rows(g, outputs, wrt);
    ASSERT_EQ(rows[0].size(), 15u);
    ASSERT_EQ(rows[1].size(), 16u);
    ASSERT_EQ(rows[2].size(), 15u);
    ref::GraphEval ev(g, at);
    std::vector<NodeId> rev15 = gradient(g, outputs[0], wrt);
    std::vector<NodeId> rev16 = gradient(g, outputs[1], wrt);
    std::vector<NodeId> rev_select = gradient(g, outputs[2], wrt);
    const NodeId root15[] = {outputs[0]}, root16[] = {outputs[1]};
    for (std::uint32_t k = 0; k < 16; ++k) {
        SCOPED_TRACE(k);
        // The two sweeps build different expressions here, so the nodes
        // show which one made each row.
        const NodeId fwd16 = tangents(g, root16, k)[0];
        EXPECT_NE(fwd16, rev16[k]);
        EXPECT_EQ(rows[1][k].node, rev16[k]);
        EXPECT_TRUE(close(ev(rev16[k]), ev(fwd16), 1e-14));
        EXPECT_TRUE(close(ev(fwd16), central(g, outputs[1], at, k), 1e-7));
        if (k < 15) {
            EXPECT_EQ(rows[0][k].node, tangents(g, root15, k)[0]);
            EXPECT_EQ(rows[2][k].node, rev_select[k]);
            EXPECT_TRUE(close(ev(rows[0][k].node), ev(rev15[k]), 1e-14));
            EXPECT_TRUE(close(ev(rev15[k]), central(g, outputs[0], at, k), 1e-7));
        }
    }
}

TEST(Sweeps, RepeatingADifferentiationBuildsNothing) {
    Graph g;
    NodeId x = g.input("x"), y = g.input("y"), z = g.input("z");
    std::vector<NodeId> s;
    solve_system(g, x, y, z, &s);
    const NodeId m[] = {s[0], s[1], g.mul(x, z)};
    const NodeId p[] = {g.reduce(ReduceOp::Max, m), s[2], y};
    NodeId f = g.reduce(ReduceOp::Product, p);
    const NodeId outputs[] = {f, g.unary(UnaryOp::Atan, s[0])};
    std::vector<std::uint32_t> wrt = all_inputs(g);

    auto differentiate = [&] {
        std::vector<NodeId> all = gradient(g, f, wrt);
        for (std::uint32_t i = 0; i < 3; ++i)
            for (NodeId t : tangents(g, outputs, i)) all.push_back(t);
        for (const JacobianRow& row : jacobian_rows(g, outputs, wrt))
            for (const JacobianEntry& e : row) all.push_back(e.node);
        return all;
    };
    const std::vector<NodeId> first = differentiate();
    const std::size_t nodes = g.n_nodes();
    const std::size_t pooled = g.scratch_tables.size() + g.stamped_tables.size();
    EXPECT_GT(pooled, 0u);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(differentiate(), first);
        EXPECT_EQ(g.n_nodes(), nodes);
        EXPECT_EQ(g.scratch_tables.size() + g.stamped_tables.size(), pooled);
    }
}

TEST(Sweeps, DeepChainsNeedNoRecursion) {
    Graph g;
    NodeId x = g.input("x");
    NodeId f = x;
    const int depth = 30000;
    for (int i = 0; i < depth; ++i) f = g.unary(UnaryOp::Sin, g.add(f, g.constant(0.001)));
    const std::uint32_t wrt[] = {0};
    const NodeId roots[] = {f};
    NodeId rev = gradient(g, f, wrt)[0];
    NodeId fwd = tangents(g, roots, 0)[0];
    ref::GraphEval ev(g, {0.5});
    // Plain reference loop: the chain rule along the chain.
    double v = 0.5, d = 1.0;
    for (int i = 0; i < depth; ++i) {
        d = d * std::cos(v + 0.001);
        v = std::sin(v + 0.001);
    }
    EXPECT_TRUE(close(ev(rev), d, 1e-12));
    EXPECT_TRUE(close(ev(fwd), d, 1e-12));
}

TEST(Sweeps, PooledTablesSurviveTheGenerationWrap) {
    // A pooled table about to wrap, full of entries stamped 1: the first
    // generation after the wrap must not see them.
    auto build = [](Graph& g) {
        NodeId x = g.input("x"), y = g.input("y"), z = g.input("z");
        return solve_system(g, x, y, z);
    };
    Graph fresh, worn;
    NodeId f_fresh = build(fresh), f_worn = build(worn);
    Graph::StampedTable stale;
    stale.generation = 0xffffffffu;
    stale.stamps.assign(worn.n_nodes(), 1);
    stale.values.assign(worn.n_nodes(), 7);
    worn.stamped_tables.push_back(stale);
    const NodeId roots_fresh[] = {f_fresh}, roots_worn[] = {f_worn};
    EXPECT_EQ(tangents(worn, roots_worn, 1), tangents(fresh, roots_fresh, 1));
    worn.stamped_tables.push_back(stale);
    EXPECT_EQ(gradient(worn, f_worn, all_inputs(worn)), gradient(fresh, f_fresh, all_inputs(fresh)));
}
