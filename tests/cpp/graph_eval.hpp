// A reference evaluator of graph nodes for tests: node by node, memoised,
// with no tape, no compiler and no kernels in between. Scalar kinds go
// through the one set of scalar definitions (graph/semantics.hpp); Dot and
// Solve have their own plain loops here, written from the fold orders the
// whole system promises, so that a compiled program can be checked against
// this evaluator bit for bit.
//
// Solve is plain Gaussian elimination without panels; it is the reference
// for systems whose kernel also eliminates column by column (up to 64
// unknowns).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "graph/error.hpp"
#include "graph/graph.hpp"
#include "graph/semantics.hpp"

namespace vantu::ref {

// The reference dot product: four accumulators from +0.0 over whole groups
// of four products, combined as (acc0 + acc1) + (acc2 + acc3), then the
// leftover products one by one. Every product is rounded before it is added.
inline double dot(const double* a, const double* b, std::size_t n) {
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        for (std::size_t j = 0; j < 4; ++j) {
            double p = a[i + j] * b[i + j];
            acc[j] = acc[j] + p;
        }
    double s = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    for (; i < n; ++i) {
        double p = a[i] * b[i];
        s = s + p;
    }
    return s;
}

// x with A x = rhs, A n x n row-major, by Gaussian elimination with partial
// pivoting: the first row of strictly greatest magnitude in the column is
// the pivot (ties keep the earlier row, NaN never wins), whole augmented rows
// are swapped, and nothing checks for singularity.
inline std::vector<double> solve(std::span<const double> matrix, std::span<const double> rhs) {
    const std::size_t n = rhs.size();
    check(matrix.size() == n * n, "ref::solve: a square matrix over the right-hand side");
    const std::size_t w = n + 1;
    std::vector<double> a(n * w);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) a[i * w + j] = matrix[i * n + j];
        a[i * w + n] = rhs[i];
    }
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t p = c;
        double best = std::fabs(a[c * w + c]);
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r * w + c]) > best) {
                best = std::fabs(a[r * w + c]);
                p = r;
            }
        if (p != c)
            for (std::size_t j = 0; j < w; ++j) std::swap(a[c * w + j], a[p * w + j]);
        for (std::size_t i = c + 1; i < n; ++i) {
            double l = a[i * w + c] / a[c * w + c];
            a[i * w + c] = l;
            for (std::size_t j = c + 1; j < w; ++j) {
                double p2 = l * a[c * w + j];
                a[i * w + j] = a[i * w + j] - p2;
            }
        }
    }
    std::vector<double> x(n);
    for (std::size_t i = n; i-- > 0;) {
        double s = a[i * w + n];
        for (std::size_t j = i + 1; j < n; ++j) {
            double p = a[i * w + j] * x[j];
            s = s - p;
        }
        x[i] = s / a[i * w + i];
    }
    return x;
}

// Values of the nodes of one graph for one set of input values, indexed by
// graph input index; an input past the values given reads as NaN. Nodes
// added to the graph after construction can be evaluated too. Evaluation
// walks an explicit stack, so deep graphs are fine.
class GraphEval {
public:
    GraphEval(const Graph& graph, std::vector<double> inputs) : graph_(graph), inputs_(std::move(inputs)) {}

    double operator()(NodeId id) {
        graph_.node(id);  // range check
        if (values_.size() < graph_.n_nodes()) {
            values_.resize(graph_.n_nodes());
            known_.resize(graph_.n_nodes(), 0);
        }
        if (known_[id]) return values_[id];
        stack_.assign(1, id);
        while (!stack_.empty()) {
            NodeId top = stack_.back();
            if (known_[top]) {
                stack_.pop_back();
                continue;
            }
            bool ready = true;
            for (NodeId o : graph_.operands(top))
                if (!known_[o]) {
                    stack_.push_back(o);
                    ready = false;
                }
            if (!ready) continue;
            values_[top] = compute(top);
            known_[top] = 1;
            stack_.pop_back();
        }
        return values_[id];
    }

    std::vector<double> operator()(std::span<const NodeId> ids) {
        std::vector<double> out;
        out.reserve(ids.size());
        for (NodeId id : ids) out.push_back((*this)(id));
        return out;
    }

private:
    // Every operand of `id` is known.
    double compute(NodeId id) {
        const Node n = graph_.node(id);
        auto v = [&](NodeId o) { return values_[o]; };
        switch (n.kind) {
            case NodeKind::Const:
                return graph_.constant_value(id);
            case NodeKind::Input:
                return n.a < inputs_.size() ? inputs_[n.a] : f64_from_bits(kCanonicalNanBits);
            case NodeKind::Add:
                return v(n.a) + v(n.b);
            case NodeKind::Mul:
                return v(n.a) * v(n.b);
            case NodeKind::Neg:
                return -v(n.a);
            case NodeKind::Powi:
                return powi_value(v(n.a), static_cast<std::int32_t>(powi_exponent(n)));
            case NodeKind::Unary:
                return eval_unary(static_cast<UnaryOp>(n.op), v(n.a));
            case NodeKind::Binary:
                return eval_binary(static_cast<BinaryOp>(n.op), v(n.a), v(n.b));
            case NodeKind::Cmp:
                return eval_cmp(static_cast<CmpOp>(n.op), v(n.a), v(n.b));
            case NodeKind::Select:
                return v(n.a) != 0.0 ? v(n.b) : v(n.c);  // a NaN condition selects b
            case NodeKind::Reduce: {
                std::vector<double> xs;
                for (NodeId o : graph_.operands(id)) xs.push_back(v(o));
                return reduce_values(static_cast<ReduceOp>(n.op), xs.data(), xs.size());
            }
            case NodeKind::Dot: {
                std::vector<double> xs;
                for (NodeId o : graph_.operands(id)) xs.push_back(v(o));
                const std::size_t half = xs.size() / 2;
                return dot(xs.data(), xs.data() + half, half);
            }
            case NodeKind::Solve: {
                // One solution per system, shared by its components.
                auto key = std::make_pair(n.b, n.c);
                auto it = solutions_.find(key);
                if (it == solutions_.end()) {
                    std::vector<double> xs;
                    for (NodeId o : graph_.operands(id)) xs.push_back(v(o));
                    std::size_t m = 0;  // the list holds m*m + m values
                    while (m * (m + 1) < xs.size()) ++m;
                    check(m * (m + 1) == xs.size(), "graph_eval: malformed solve list");
                    std::span<const double> all(xs);
                    it = solutions_.emplace(key, solve(all.first(m * m), all.subspan(m * m))).first;
                }
                return it->second.at(n.a);
            }
        }
        fail("graph_eval: unknown node kind");
    }

    const Graph& graph_;
    std::vector<double> inputs_;
    std::vector<double> values_;
    std::vector<std::uint8_t> known_;
    std::vector<NodeId> stack_;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<double>> solutions_;
};

}  // namespace vantu::ref
