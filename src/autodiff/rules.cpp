#include "autodiff/rules.hpp"

#include <cstdint>

#include "graph/error.hpp"
#include "graph/semantics.hpp"

namespace vantu {

namespace {

// Constants of the rules, given by bit pattern so that no decimal
// conversion can shift them.
constexpr std::uint64_t kBits80 = 0x4054000000000000ull;
constexpr std::uint64_t kBitsE80 = 0x47255779b984f3ebull;          // slope of exp above 80
constexpr std::uint64_t kBits1em30 = 0x39b4484bfeebc2a0ull;        // where ln stops
constexpr std::uint64_t kBitsInvLn10 = 0x3fdbcb7b1526e50dull;      // 1 / ln 10
constexpr std::uint64_t kBitsInvLn2 = 0x3ff71547652b82feull;       // 1 / ln 2
constexpr std::uint64_t kBitsTwoOverSqrtPi = 0x3ff20dd750429b6dull;  // 2 / sqrt(pi)

NodeId exact(Graph& g, std::uint64_t bits) { return g.cached_constant(bits, f64_from_bits(bits)); }

NodeId recip(Graph& g, NodeId x) { return g.powi(x, -1); }

// 1 / sqrt(1 - x*x): the slope of asin.
NodeId asin_slope(Graph& g, NodeId x) {
    NodeId xx = g.mul(x, x);
    NodeId m = g.neg(xx);
    NodeId s = g.add(g.one(), m);
    return recip(g, g.unary(UnaryOp::Sqrt, s));
}

// 2/sqrt(pi) * exp(-x*x): the slope of erf.
NodeId erf_slope(Graph& g, NodeId x) {
    NodeId c = exact(g, kBitsTwoOverSqrtPi);
    NodeId xx = g.mul(x, x);
    NodeId e = g.unary(UnaryOp::Exp, g.neg(xx));
    return g.mul(c, e);
}

// The operand list of a list node, copied: building nodes may move the arena.
std::vector<NodeId> operand_copy(const Graph& g, NodeId id) {
    Operands ops = g.operands(id);
    return std::vector<NodeId>(ops.begin(), ops.end());
}

// k * x^(k-1), the slope of Powi(x, k).
NodeId powi_slope(Graph& g, NodeId x, std::int64_t k) {
    NodeId kc = g.constant(static_cast<double>(k));
    NodeId p = g.powi(x, k - 1);
    return g.mul(kc, p);
}

// Prefix products P[k] = x[0] * ... * x[k-1] and suffix products
// S[k] = x[k+1] * ... * x[m-1], each built as a running product (one for
// the empty product), prefixes first.
void product_factors(Graph& g, std::span<const NodeId> x, std::vector<NodeId>& prefix,
                     std::vector<NodeId>& suffix) {
    const std::size_t m = x.size();
    prefix.assign(m, g.one());
    suffix.assign(m, g.one());
    for (std::size_t k = 0; k + 1 < m; ++k) prefix[k + 1] = g.mul(prefix[k], x[k]);
    for (std::size_t k = m - 1; k >= 1; --k) suffix[k - 1] = g.mul(suffix[k], x[k]);
}

// The switches of a running Min or Max: s[k] (k >= 1) holds when x[k] beats
// the extreme of x[0..k-1] strictly, so ties keep the earlier operand.
// s[0] is the one node.
void extreme_switches(Graph& g, ReduceOp op, std::span<const NodeId> x, std::vector<NodeId>& s) {
    const CmpOp beats = op == ReduceOp::Min ? CmpOp::Lt : CmpOp::Gt;
    const std::size_t m = x.size();
    s.assign(m, g.one());
    NodeId running = x[0];
    for (std::size_t k = 1; k < m; ++k) {
        s[k] = g.cmp(beats, x[k], running);
        if (k + 1 < m) {  // the last running extreme is never compared
            const NodeId pair[2] = {running, x[k]};
            running = g.reduce(op, pair);
        }
    }
}

// The size n of a Solve list of n*n + n entries.
std::size_t solve_size(std::size_t len) {
    std::size_t n = 0;
    while (n * (n + 1) < len) ++n;
    check(n * (n + 1) == len, "solve: a square matrix over the right-hand side");
    return n;
}

}  // namespace

// -- Local derivatives ---------------------------------------------------------

NodeId unary_derivative(Graph& g, UnaryOp op, NodeId x) {
    g.node(x);  // range check
    switch (op) {
        case UnaryOp::Exp: {
            // Above 80 the own exp is linear with the slope e^80.
            NodeId above = g.cmp(CmpOp::Gt, x, exact(g, kBits80));
            NodeId slope = exact(g, kBitsE80);
            NodeId e = g.unary(UnaryOp::Exp, x);
            return g.select(above, slope, e);
        }
        case UnaryOp::Ln: {
            // The own ln is constant at and below 1e-30.
            NodeId clamped = g.cmp(CmpOp::Le, x, exact(g, kBits1em30));
            NodeId r = recip(g, x);
            return g.select(clamped, g.zero(), r);
        }
        case UnaryOp::Sqrt: {
            // The own sqrt is 0 at and below 0, so its slope is 0 there, not infinite.
            NodeId clamped = g.cmp(CmpOp::Le, x, g.zero());
            NodeId half = g.constant(0.5);
            NodeId r = recip(g, g.unary(UnaryOp::Sqrt, x));
            return g.select(clamped, g.zero(), g.mul(half, r));
        }
        case UnaryOp::Sin: return g.unary(UnaryOp::Cos, x);
        case UnaryOp::Cos: return g.neg(g.unary(UnaryOp::Sin, x));
        case UnaryOp::Sinh: return g.unary(UnaryOp::Cosh, x);
        case UnaryOp::Cosh: return g.unary(UnaryOp::Sinh, x);
        case UnaryOp::Tanh: {
            NodeId t = g.unary(UnaryOp::Tanh, x);
            NodeId tt = g.mul(t, t);
            return g.add(g.one(), g.neg(tt));
        }
        case UnaryOp::Atan: {
            NodeId xx = g.mul(x, x);
            return recip(g, g.add(g.one(), xx));
        }
        case UnaryOp::Tan: {
            NodeId t = g.unary(UnaryOp::Tan, x);
            NodeId tt = g.mul(t, t);
            return g.add(g.one(), tt);
        }
        case UnaryOp::Log10: {
            NodeId c = exact(g, kBitsInvLn10);
            return g.mul(c, recip(g, x));
        }
        case UnaryOp::Log2: {
            NodeId c = exact(g, kBitsInvLn2);
            return g.mul(c, recip(g, x));
        }
        case UnaryOp::Log1p: return recip(g, g.add(g.one(), x));
        case UnaryOp::Expm1: return g.unary(UnaryOp::Exp, x);
        case UnaryOp::Cbrt: {
            NodeId r = g.unary(UnaryOp::Cbrt, x);
            NodeId three = g.constant(3.0);
            NodeId rr = g.mul(r, r);
            return recip(g, g.mul(three, rr));
        }
        case UnaryOp::Abs: return g.unary(UnaryOp::Sign, x);
        case UnaryOp::Asin: return asin_slope(g, x);
        case UnaryOp::Acos: return g.neg(asin_slope(g, x));
        case UnaryOp::Asinh: {
            NodeId xx = g.mul(x, x);
            NodeId s = g.add(g.one(), xx);
            return recip(g, g.unary(UnaryOp::Sqrt, s));
        }
        case UnaryOp::Acosh: {
            NodeId xx = g.mul(x, x);
            NodeId m1 = g.neg(g.one());
            NodeId s = g.add(xx, m1);
            return recip(g, g.unary(UnaryOp::Sqrt, s));
        }
        case UnaryOp::Atanh: {
            NodeId xx = g.mul(x, x);
            NodeId m = g.neg(xx);
            return recip(g, g.add(g.one(), m));
        }
        case UnaryOp::Erf: return erf_slope(g, x);
        case UnaryOp::Erfc: return g.neg(erf_slope(g, x));
        case UnaryOp::Lgamma: return g.unary(UnaryOp::Digamma, x);
        case UnaryOp::Tgamma: {
            NodeId t = g.unary(UnaryOp::Tgamma, x);
            NodeId d = g.unary(UnaryOp::Digamma, x);
            return g.mul(t, d);
        }
        case UnaryOp::Digamma: return g.unary(UnaryOp::Trigamma, x);
        case UnaryOp::Trigamma:
            fail("vantu: the derivative of trigamma (polygamma of order 2) is not available");
        // Piecewise constant (or, for rand_uniform, not meant to be
        // differentiated): the derivative is structurally zero.
        case UnaryOp::Floor:
        case UnaryOp::Sign:
        case UnaryOp::Ceil:
        case UnaryOp::Round:
        case UnaryOp::Trunc:
        case UnaryOp::RandUniform:
            return g.zero();
    }
    fail("unary_derivative: unknown operation");
}

std::pair<NodeId, NodeId> binary_partials(Graph& g, BinaryOp op, NodeId x, NodeId y, bool need_first,
                                          bool need_second) {
    g.node(x);
    g.node(y);
    NodeId d1 = g.zero();
    NodeId d2 = g.zero();
    switch (op) {
        case BinaryOp::Powf:
            if (need_first) {
                NodeId m1 = g.neg(g.one());
                NodeId p = g.binary(BinaryOp::Powf, x, g.add(y, m1));
                d1 = g.mul(y, p);
            }
            if (need_second) {
                // The own ln keeps this finite for x <= 1e-30.
                NodeId p = g.binary(BinaryOp::Powf, x, y);
                NodeId l = g.unary(UnaryOp::Ln, x);
                d2 = g.mul(p, l);
            }
            break;
        case BinaryOp::Mod:
            d1 = g.one();  // fmod(x, y) = x - trunc(x / y) * y
            if (need_second) {
                NodeId q = g.mul(x, recip(g, y));
                d2 = g.neg(g.unary(UnaryOp::Trunc, q));
            }
            break;
        case BinaryOp::Atan2:
            if (need_first || need_second) {
                NodeId xx = g.mul(x, x);
                NodeId yy = g.mul(y, y);
                NodeId inv = recip(g, g.add(xx, yy));
                if (need_first) d1 = g.mul(y, inv);
                if (need_second) d2 = g.neg(g.mul(x, inv));
            }
            break;
        case BinaryOp::Hypot:
            if (need_first || need_second) {
                NodeId inv = recip(g, g.binary(BinaryOp::Hypot, x, y));
                if (need_first) d1 = g.mul(x, inv);
                if (need_second) d2 = g.mul(y, inv);
            }
            break;
    }
    return {d1, d2};
}

Operands dependency_operands(const Graph& g, NodeId id) {
    Operands ops = g.operands(id);
    switch (g.kind(id)) {
        case NodeKind::Cmp:
            ops.n = 0;
            break;
        case NodeKind::Select:
            ops.fixed[0] = ops.fixed[1];
            ops.fixed[1] = ops.fixed[2];
            ops.n = 2;
            break;
        default:
            break;
    }
    return ops;
}

// -- Tangent form --------------------------------------------------------------

NodeId tangent_rule(Graph& g, NodeId id, std::span<const NodeId> t,
                    std::vector<std::pair<NodeId, NodeId>>& system) {
    const Node n = g.node(id);
    switch (n.kind) {
        case NodeKind::Add:
            return g.add(t[0], t[1]);
        case NodeKind::Mul: {
            NodeId p = g.mul(t[0], n.b);
            NodeId q = g.mul(n.a, t[1]);
            return g.add(p, q);
        }
        case NodeKind::Neg:
            return g.neg(t[0]);
        case NodeKind::Powi: {
            NodeId slope = powi_slope(g, n.a, powi_exponent(n));
            return g.mul(slope, t[0]);
        }
        case NodeKind::Unary: {
            NodeId d = unary_derivative(g, static_cast<UnaryOp>(n.op), n.a);
            return g.mul(d, t[0]);
        }
        case NodeKind::Binary: {
            auto [d1, d2] = binary_partials(g, static_cast<BinaryOp>(n.op), n.a, n.b, t[0] != g.zero(),
                                            t[1] != g.zero());
            NodeId p = g.mul(d1, t[0]);
            NodeId q = g.mul(d2, t[1]);
            return g.add(p, q);
        }
        case NodeKind::Select:
            return g.select(n.a, t[0], t[1]);
        case NodeKind::Reduce: {
            const auto op = static_cast<ReduceOp>(n.op);
            if (op == ReduceOp::Sum) return g.reduce(ReduceOp::Sum, t);
            const std::vector<NodeId> x = operand_copy(g, id);
            std::vector<NodeId> terms;
            if (op == ReduceOp::Product) {
                std::vector<NodeId> prefix, suffix;
                product_factors(g, x, prefix, suffix);
                for (std::size_t k = 0; k < x.size(); ++k) {
                    if (t[k] == g.zero()) continue;
                    NodeId w = g.mul(prefix[k], suffix[k]);
                    terms.push_back(g.mul(t[k], w));
                }
                return g.reduce(ReduceOp::Sum, terms);
            }
            // Min, Max: the tangent of the operand the running extreme last
            // switched to.
            std::vector<NodeId> s;
            extreme_switches(g, op, x, s);
            NodeId tau = t[0];
            for (std::size_t k = 1; k < x.size(); ++k) tau = g.select(s[k], t[k], tau);
            return tau;
        }
        case NodeKind::Dot: {
            const std::vector<NodeId> x = operand_copy(g, id);
            const std::size_t half = x.size() / 2;
            std::vector<NodeId> terms;
            terms.reserve(half);
            for (std::size_t k = 0; k < half; ++k) {
                NodeId p = g.mul(t[k], x[half + k]);
                NodeId q = g.mul(x[k], t[half + k]);
                terms.push_back(g.add(p, q));
            }
            return g.reduce(ReduceOp::Sum, terms);
        }
        case NodeKind::Solve: {
            // A x = b gives A dx = db - dA x, solved once for the whole system.
            const std::vector<NodeId> list = operand_copy(g, id);
            const std::size_t m = solve_size(list.size());
            std::span<const NodeId> all(list);
            std::span<const NodeId> a = all.first(m * m);
            const std::vector<NodeId> x = g.solve(a, all.subspan(m * m));
            std::vector<NodeId> d(m);
            for (std::size_t p = 0; p < m; ++p) {
                NodeId ax = g.dot(t.subspan(p * m, m), x);
                NodeId nax = g.neg(ax);
                d[p] = g.add(t[m * m + p], nax);
            }
            const std::vector<NodeId> dx = g.solve(a, d);
            system.clear();
            for (std::size_t i = 0; i < m; ++i) system.emplace_back(x[i], dx[i]);
            return dx.at(n.a);
        }
        case NodeKind::Const:
        case NodeKind::Input:
        case NodeKind::Cmp:
            break;
    }
    fail("tangent rule of a node without dependencies");
}

// -- Adjoint form --------------------------------------------------------------

void adjoint_rule(Graph& g, NodeId id, NodeId abar, AdjointSweep& sweep) {
    const Node n = g.node(id);
    auto send = [&](NodeId to, NodeId v) { sweep.contribute(to, v); };
    switch (n.kind) {
        case NodeKind::Add:
            if (sweep.in_cone(n.a)) send(n.a, abar);
            if (sweep.in_cone(n.b)) send(n.b, abar);
            return;
        case NodeKind::Mul:
            // x * x sends its operand two contributions.
            if (sweep.in_cone(n.a)) send(n.a, g.mul(abar, n.b));
            if (sweep.in_cone(n.b)) send(n.b, g.mul(abar, n.a));
            return;
        case NodeKind::Neg:
            if (sweep.in_cone(n.a)) send(n.a, g.neg(abar));
            return;
        case NodeKind::Powi:
            if (sweep.in_cone(n.a)) {
                NodeId slope = powi_slope(g, n.a, powi_exponent(n));
                send(n.a, g.mul(abar, slope));
            }
            return;
        case NodeKind::Unary:
            if (sweep.in_cone(n.a)) {
                NodeId d = unary_derivative(g, static_cast<UnaryOp>(n.op), n.a);
                send(n.a, g.mul(abar, d));
            }
            return;
        case NodeKind::Binary: {
            const bool first = sweep.in_cone(n.a);
            const bool second = sweep.in_cone(n.b);
            auto [d1, d2] = binary_partials(g, static_cast<BinaryOp>(n.op), n.a, n.b, first, second);
            if (first) send(n.a, g.mul(abar, d1));
            if (second) send(n.b, g.mul(abar, d2));
            return;
        }
        case NodeKind::Select:
            // Nothing flows into the condition.
            if (sweep.in_cone(n.b)) send(n.b, g.select(n.a, abar, g.zero()));
            if (sweep.in_cone(n.c)) send(n.c, g.select(n.a, g.zero(), abar));
            return;
        case NodeKind::Reduce: {
            const auto op = static_cast<ReduceOp>(n.op);
            const std::vector<NodeId> x = operand_copy(g, id);
            if (op == ReduceOp::Sum) {
                for (NodeId xk : x)
                    if (sweep.in_cone(xk)) send(xk, abar);
                return;
            }
            if (op == ReduceOp::Product) {
                std::vector<NodeId> prefix, suffix;
                product_factors(g, x, prefix, suffix);
                for (std::size_t k = 0; k < x.size(); ++k) {
                    if (!sweep.in_cone(x[k])) continue;
                    NodeId w = g.mul(prefix[k], suffix[k]);
                    send(x[k], g.mul(abar, w));
                }
                return;
            }
            // Min, Max: position k receives when its switch holds and no later
            // switch does; g carries the product of (1 - s_j) over j > k.
            std::vector<NodeId> s;
            extreme_switches(g, op, x, s);
            NodeId gate = g.one();
            for (std::size_t k = x.size(); k-- > 0;) {
                if (sweep.in_cone(x[k])) {
                    NodeId f = k == 0 ? gate : g.mul(s[k], gate);
                    send(x[k], g.mul(abar, f));
                }
                if (k >= 1) {
                    NodeId off = g.add(g.one(), g.neg(s[k]));
                    gate = g.mul(gate, off);
                }
            }
            return;
        }
        case NodeKind::Dot: {
            const std::vector<NodeId> x = operand_copy(g, id);
            const std::size_t half = x.size() / 2;
            for (std::size_t k = 0; k < half; ++k) {
                if (sweep.in_cone(x[k])) send(x[k], g.mul(abar, x[half + k]));
                if (sweep.in_cone(x[half + k])) send(x[half + k], g.mul(abar, x[k]));
            }
            return;
        }
        case NodeKind::Solve: {
            // The whole system at once: with lambda = A^-T xbar, b receives
            // lambda and A receives -lambda x^T. The components' adjoints are
            // taken (and their lists emptied), so the system is handled once.
            const std::vector<NodeId> list = operand_copy(g, id);
            const std::size_t m = solve_size(list.size());
            std::span<const NodeId> all(list);
            std::span<const NodeId> a = all.first(m * m);
            std::span<const NodeId> b = all.subspan(m * m);
            const std::vector<NodeId> x = g.solve(a, b);
            std::vector<NodeId> xbar(m);
            for (std::size_t i = 0; i < m; ++i) xbar[i] = x[i] == id ? abar : sweep.take_adjoint(x[i]);
            std::vector<NodeId> at(m * m);
            for (std::size_t p = 0; p < m; ++p)
                for (std::size_t q = 0; q < m; ++q) at[q * m + p] = a[p * m + q];
            const std::vector<NodeId> lambda = g.solve(at, xbar);
            for (std::size_t p = 0; p < m; ++p) {
                if (sweep.in_cone(b[p])) send(b[p], lambda[p]);
                for (std::size_t q = 0; q < m; ++q) {
                    NodeId apq = a[p * m + q];
                    if (sweep.in_cone(apq)) send(apq, g.neg(g.mul(lambda[p], x[q])));
                }
            }
            return;
        }
        case NodeKind::Const:
        case NodeKind::Input:
        case NodeKind::Cmp:
            break;
    }
    fail("adjoint rule of a node without dependencies");
}

}  // namespace vantu
