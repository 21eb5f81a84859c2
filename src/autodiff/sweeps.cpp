// The sweeps that apply the local rules of rules.cpp over a graph: the
// reverse sweep behind gradient, the forward sweep behind tangents, and the
// per-row choice between them behind jacobian_rows. Their graph-sized
// tables are borrowed from the graph's pools and given back on every path
// out, failures included, so repeated differentiation reuses them.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "autodiff/autodiff.hpp"
#include "autodiff/rules.hpp"
#include "graph/error.hpp"
#include "graph/intern.hpp"

namespace vantu {

namespace {

// -- Pooled tables -------------------------------------------------------------

// An item taken from one of the graph's pools (or made anew when the pool
// is empty) and given back when the borrower goes, on every path out.
template <class T>
class Borrowed {
public:
    explicit Borrowed(std::vector<T>& pool) : pool_(pool) {
        if (!pool.empty()) {
            item = std::move(pool.back());
            pool.pop_back();
        }
    }
    ~Borrowed() {
        try {
            pool_.push_back(std::move(item));
        } catch (...) {  // no memory for the pool itself: the item is dropped
        }
    }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;

    T item;

private:
    std::vector<T>& pool_;
};

// A u32 vector borrowed from the graph's pool, empty on arrival.
struct PooledVector {
    explicit PooledVector(Graph& g) : b(g.scratch_tables), v(b.item) { v.clear(); }

    Borrowed<std::vector<std::uint32_t>> b;
    std::vector<std::uint32_t>& v;
};

// A node-indexed map borrowed from the graph's pool; on arrival it covers
// every node of the graph and holds no entry.
class StampedMap {
public:
    explicit StampedMap(Graph& g) : g_(g), b_(g.stamped_tables), t_(b_.item) { clear(); }

    // Forgets every entry and covers the nodes the graph has now.
    void clear() {
        if (t_.stamps.size() < g_.n_nodes()) {
            t_.stamps.resize(g_.n_nodes(), 0);  // stamp 0 is never current
            t_.values.resize(g_.n_nodes());
        }
        if (++t_.generation == 0) {
            std::fill(t_.stamps.begin(), t_.stamps.end(), 0);
            t_.generation = 1;
        }
    }

    bool has(NodeId id) const { return id < t_.stamps.size() && t_.stamps[id] == t_.generation; }
    std::uint32_t at(NodeId id) const { return t_.values[id]; }
    void set(NodeId id, std::uint32_t value) {
        check_index("sweep table", id, t_.stamps.size());
        t_.stamps[id] = t_.generation;
        t_.values[id] = value;
    }

private:
    Graph& g_;
    Borrowed<Graph::StampedTable> b_;
    Graph::StampedTable& t_;
};

// -- Reverse sweep -------------------------------------------------------------

class ReverseSweep final : public AdjointSweep {
public:
    explicit ReverseSweep(Graph& g)
        : g_(g), position_(g), order_(g), cone_(g), head_(g), tail_(g), item_(g), next_(g), terms_(g),
          gradient_(g) {}

    std::vector<NodeId> run(NodeId root, std::span<const std::uint32_t> wrt) {
        collect(root);
        mark_cone(wrt);
        std::vector<std::uint32_t>& order = order_.v;
        head_.v.assign(order.size(), kNoId);
        tail_.v.assign(order.size(), kNoId);
        gradient_.v.assign(g_.n_inputs(), g_.zero());
        if (cone_.v[position_.at(root)]) contribute(root, g_.one());
        for (std::size_t i = order.size(); i-- > 0;) {
            const NodeId id = order[i];
            const NodeId abar = take(static_cast<std::uint32_t>(i));
            if (abar == g_.zero()) continue;
            if (g_.kind(id) == NodeKind::Input)
                gradient_.v[g_.node(id).a] = abar;
            else
                adjoint_rule(g_, id, abar, *this);
        }
        std::vector<NodeId> out;
        out.reserve(wrt.size());
        for (std::uint32_t w : wrt) out.push_back(gradient_.v[w]);
        return out;
    }

    bool in_cone(NodeId id) const override { return cone_.v[position(id)]; }

    void contribute(NodeId id, NodeId contribution) override {
        const std::uint32_t pos = position(id);
        check(cone_.v[pos] != 0, "in the cone");
        const auto item = static_cast<std::uint32_t>(item_.v.size());
        item_.v.push_back(contribution);
        next_.v.push_back(kNoId);
        if (head_.v[pos] == kNoId)
            head_.v[pos] = item;
        else
            next_.v[tail_.v[pos]] = item;
        tail_.v[pos] = item;
    }

    NodeId take_adjoint(NodeId id) override { return position_.has(id) ? take(position_.at(id)) : g_.zero(); }

private:
    std::uint32_t position(NodeId id) const {
        check(position_.has(id), "in the cone");
        return position_.at(id);
    }

    // Every node reachable from the root along dependency edges, ascending.
    void collect(NodeId root) {
        g_.node(root);
        std::vector<std::uint32_t>& order = order_.v;
        PooledVector stack(g_);
        position_.set(root, 0);  // marks the node as seen until positions are known
        stack.v.push_back(root);
        while (!stack.v.empty()) {
            NodeId id = stack.v.back();
            stack.v.pop_back();
            order.push_back(id);
            for (NodeId o : dependency_operands(g_, id))
                if (!position_.has(o)) {
                    position_.set(o, 0);
                    stack.v.push_back(o);
                }
        }
        std::sort(order.begin(), order.end());
        for (std::size_t i = 0; i < order.size(); ++i) position_.set(order[i], static_cast<std::uint32_t>(i));
    }

    // In the cone: an input differentiated for, or a node with a dependency
    // operand in the cone. Operands precede their users in the order.
    void mark_cone(std::span<const std::uint32_t> wrt) {
        PooledVector wanted(g_);
        wanted.v.assign(g_.n_inputs(), 0);
        for (std::uint32_t w : wrt) {
            check_index("input index", w, g_.n_inputs());
            wanted.v[w] = 1;
        }
        const std::vector<std::uint32_t>& order = order_.v;
        cone_.v.assign(order.size(), 0);
        for (std::size_t i = 0; i < order.size(); ++i) {
            const Node n = g_.node(order[i]);
            if (n.kind == NodeKind::Const) continue;
            if (n.kind == NodeKind::Input) {
                cone_.v[i] = wanted.v[n.a];
                continue;
            }
            for (NodeId o : dependency_operands(g_, order[i]))
                if (cone_.v[position_.at(o)]) {
                    cone_.v[i] = 1;
                    break;
                }
        }
    }

    // The sum of the contribution list at `pos`, which is emptied; the zero
    // node for an empty list. One Sum reduction, so contributions are added
    // in the graph's canonical order rather than as a chain.
    NodeId take(std::uint32_t pos) {
        std::vector<std::uint32_t>& terms = terms_.v;
        terms.clear();
        for (std::uint32_t it = head_.v[pos]; it != kNoId; it = next_.v[it]) terms.push_back(item_.v[it]);
        head_.v[pos] = kNoId;
        tail_.v[pos] = kNoId;
        if (terms.empty()) return g_.zero();
        return g_.reduce(ReduceOp::Sum, terms);
    }

    Graph& g_;
    StampedMap position_;  // node -> position in order_
    PooledVector order_;   // the reached nodes, ascending
    PooledVector cone_;    // per position: 1 when in the cone
    PooledVector head_;    // per position: first item of its contribution list
    PooledVector tail_;    // per position: last item
    PooledVector item_;    // contribution items: the contributed node
    PooledVector next_;    // contribution items: the next item of the same list
    PooledVector terms_;
    PooledVector gradient_;  // per input index
};

}  // namespace

// -- Entry points --------------------------------------------------------------

std::vector<NodeId> gradient(Graph& g, NodeId root, std::span<const std::uint32_t> wrt) {
    ReverseSweep sweep(g);
    return sweep.run(root, wrt);
}

std::vector<NodeId> tangents(Graph& g, std::span<const NodeId> roots, std::uint32_t wrt_input) {
    for (NodeId r : roots) g.node(r);
    check_index("input index", wrt_input, g.n_inputs());
    StampedMap tangent(g);
    PooledVector stack(g);  // pairs (node, expanded)
    PooledVector operand_tangents(g);
    std::vector<std::pair<NodeId, NodeId>> system;
    for (std::size_t i = roots.size(); i-- > 0;) {
        stack.v.push_back(roots[i]);
        stack.v.push_back(0);
    }
    while (!stack.v.empty()) {
        const bool expanded = stack.v.back() != 0;
        stack.v.pop_back();
        const NodeId id = stack.v.back();
        stack.v.pop_back();
        if (tangent.has(id)) continue;
        if (!expanded) {
            stack.v.push_back(id);
            stack.v.push_back(1);
            Operands deps = dependency_operands(g, id);
            for (std::uint32_t k = deps.size(); k-- > 0;)
                if (!tangent.has(deps[k])) {
                    stack.v.push_back(deps[k]);
                    stack.v.push_back(0);
                }
            continue;
        }
        const Node n = g.node(id);
        if (n.kind == NodeKind::Input) {
            tangent.set(id, n.a == wrt_input ? g.one() : g.zero());
            continue;
        }
        std::vector<std::uint32_t>& ts = operand_tangents.v;
        ts.clear();
        bool all_zero = true;
        for (NodeId o : dependency_operands(g, id)) {
            check(tangent.has(o), "operand differentiated");
            ts.push_back(tangent.at(o));
            all_zero = all_zero && ts.back() == g.zero();
        }
        if (all_zero) {
            tangent.set(id, g.zero());
            continue;
        }
        system.clear();
        const NodeId t = tangent_rule(g, id, ts, system);
        for (auto [component, tc] : system) tangent.set(component, tc);
        tangent.set(id, t);
    }
    std::vector<NodeId> out;
    out.reserve(roots.size());
    for (NodeId r : roots) {
        check(tangent.has(r), "root differentiated");
        out.push_back(tangent.at(r));
    }
    return out;
}

std::vector<JacobianRow> jacobian_rows(Graph& g, std::span<const NodeId> outputs,
                                       std::span<const std::uint32_t> wrt) {
    // A row with more dependent columns than this takes one reverse sweep.
    constexpr std::size_t kForwardLimit = 15;

    for (NodeId o : outputs) g.node(o);
    PooledVector column_of(g);  // input index -> its last position in wrt
    column_of.v.assign(g.n_inputs(), kNoId);
    for (std::size_t j = 0; j < wrt.size(); ++j) {
        check_index("input index", wrt[j], g.n_inputs());
        column_of.v[wrt[j]] = static_cast<std::uint32_t>(j);
    }

    std::vector<JacobianRow> rows(outputs.size());
    std::vector<std::vector<std::uint32_t>> registered(wrt.size());  // column -> rows
    {
        StampedMap seen(g);
        PooledVector stack(g);
        PooledVector inputs(g);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;  // (column, input index)
        std::vector<std::uint32_t> indices;
        for (std::size_t r = 0; r < outputs.size(); ++r) {
            // The inputs the output reaches along all operands, conditions
            // and compared values included.
            seen.clear();
            inputs.v.clear();
            stack.v.assign(1, outputs[r]);
            seen.set(outputs[r], 0);
            while (!stack.v.empty()) {
                NodeId id = stack.v.back();
                stack.v.pop_back();
                if (g.kind(id) == NodeKind::Input) inputs.v.push_back(g.node(id).a);
                for (NodeId o : g.operands(id))
                    if (!seen.has(o)) {
                        seen.set(o, 0);
                        stack.v.push_back(o);
                    }
            }
            std::sort(inputs.v.begin(), inputs.v.end());
            pairs.clear();
            for (std::uint32_t i : inputs.v)
                if (column_of.v[i] != kNoId) pairs.emplace_back(column_of.v[i], i);
            std::sort(pairs.begin(), pairs.end());
            if (pairs.size() > kForwardLimit) {
                indices.clear();
                for (auto [column, input] : pairs) indices.push_back(input);
                std::vector<NodeId> d = gradient(g, outputs[r], indices);
                for (std::size_t k = 0; k < pairs.size(); ++k) rows[r].push_back({pairs[k].first, d[k]});
            } else {
                for (auto [column, input] : pairs) registered[column].push_back(static_cast<std::uint32_t>(r));
            }
        }
    }

    // One forward sweep per column, shared by every row registered there.
    std::vector<NodeId> roots;
    for (std::size_t j = 0; j < wrt.size(); ++j) {
        if (registered[j].empty()) continue;
        roots.clear();
        for (std::uint32_t r : registered[j]) roots.push_back(outputs[r]);
        std::vector<NodeId> t = tangents(g, roots, wrt[j]);
        for (std::size_t k = 0; k < roots.size(); ++k)
            rows[registered[j][k]].push_back({static_cast<std::uint32_t>(j), t[k]});
    }

    // Structural zeros are not entries.
    for (JacobianRow& row : rows)
        std::erase_if(row, [&](const JacobianEntry& e) { return e.node == g.zero(); });
    return rows;
}

}  // namespace vantu
