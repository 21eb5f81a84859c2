// The node store of one scope: an append-only arena of 16-byte node records
// with structural sharing and a fixed set of simplifications applied while
// nodes are built. Guarantees to every reader:
//  - the graph never holds two equal nodes (a constructor returns the
//    existing node instead);
//  - node ids only grow, and an operand always has a smaller id than its user;
//  - node 0 is the constant 0.0 and node 1 the constant 1.0;
//  - every node carries a structural hash computed from its kind, its
//    sub-operation and its operands' hashes (never from ids), which orders
//    the operands of Reduce nodes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph/error.hpp"
#include "graph/intern.hpp"
#include "graph/ops.hpp"

namespace vantu {

using NodeId = std::uint32_t;

enum class NodeKind : std::uint8_t {
    Const,
    Input,
    Add,
    Mul,
    Neg,
    Powi,
    Unary,
    Binary,
    Cmp,
    Select,
    Reduce,
    Dot,
    Solve,
};

// Payload by kind (unused words are 0):
//   Const  a = constant pool index        Input  a = input index
//   Add, Mul  a <= b operand ids          Neg    a
//   Powi   a = base, b/c = exponent (low/high words of an i64)
//   Unary  op, a      Binary, Cmp  op, a, b      Select  a = cond, b = then, c = else
//   Reduce op, a = list start, b = list length
//   Dot    a = list start, b = 2n (n left factors, then n right factors)
//   Solve  a = component, b = list start, c = n*n + n (matrix row-major, then rhs)
struct Node {
    NodeKind kind = NodeKind::Const;
    std::uint8_t op = 0;
    std::uint16_t pad = 0;
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    std::uint32_t c = 0;

    friend bool operator==(const Node&, const Node&) = default;
};
static_assert(sizeof(Node) == 16);

inline std::int64_t powi_exponent(const Node& n) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(n.c) << 32) | n.b);
}

// A node's operands in operand order: the fixed operands of kinds Add..Select,
// or a view of the list of Reduce, Dot and Solve.
struct Operands {
    const NodeId* list = nullptr;
    std::uint32_t n = 0;
    NodeId fixed[3] = {0, 0, 0};

    const NodeId* begin() const { return list ? list : fixed; }
    const NodeId* end() const { return begin() + n; }
    std::uint32_t size() const { return n; }
    NodeId operator[](std::uint32_t i) const { return begin()[i]; }
};

class Graph {
public:
    Graph();

    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    static constexpr NodeId kZero = 0;
    static constexpr NodeId kOne = 1;
    NodeId zero() const { return kZero; }
    NodeId one() const { return kOne; }

    // -- Constructors: each applies its simplification rules in order, then
    // interns. Ids passed in must be ids of this graph.
    NodeId constant(double value);
    NodeId cached_constant(std::uint64_t key, double value);
    NodeId input(std::string_view name);
    NodeId add(NodeId x, NodeId y);
    NodeId mul(NodeId x, NodeId y);
    NodeId neg(NodeId x);
    NodeId powi(NodeId x, std::int64_t n);
    NodeId unary(UnaryOp op, NodeId x);
    NodeId binary(BinaryOp op, NodeId x, NodeId y);
    NodeId cmp(CmpOp op, NodeId x, NodeId y);
    NodeId select(NodeId cond, NodeId then_, NodeId else_);
    NodeId reduce(ReduceOp op, std::span<const NodeId> list);
    NodeId dot(std::span<const NodeId> left, std::span<const NodeId> right);
    std::vector<NodeId> solve(std::span<const NodeId> matrix, std::span<const NodeId> rhs);

    // The shared arena range of a list of ids.
    std::pair<std::uint32_t, std::uint32_t> intern_list(std::span<const NodeId> ids);

    // -- Readers.
    std::size_t n_nodes() const { return nodes_.size(); }
    std::size_t n_inputs() const { return input_names_.size(); }
    std::size_t n_constants() const { return constants_.size(); }
    std::size_t list_arena_size() const { return lists_.size(); }
    const Node& node(NodeId id) const;
    NodeKind kind(NodeId id) const { return node(id).kind; }
    std::uint64_t hash(NodeId id) const;
    Operands operands(NodeId id) const;
    double constant_value(NodeId id) const;
    bool is_const(NodeId id) const { return node(id).kind == NodeKind::Const; }
    const std::string& input_name(std::uint32_t index) const;
    std::span<const NodeId> list(std::uint32_t start, std::uint32_t length) const;
    std::span<const Node> nodes() const { return nodes_; }

    // Per-node u32 tables that the derivative sweeps borrow and give back,
    // so repeated differentiation does not reallocate graph-sized tables.
    std::vector<std::vector<std::uint32_t>> scratch_tables;

    // Node-indexed u32 tables of the derivative sweeps whose entries count
    // only while their stamp equals the table's generation: a sweep starts
    // by advancing the generation instead of clearing. Pooled as above.
    struct StampedTable {
        std::uint32_t generation = 0;
        std::vector<std::uint32_t> stamps;
        std::vector<std::uint32_t> values;
    };
    std::vector<StampedTable> stamped_tables;

private:
    NodeId intern(const Node& record);
    NodeId append(const Node& record, std::uint64_t table_hash);
    std::uint64_t structural_hash(const Node& record) const;
    NodeId fold(double value) { return constant(canonical_value(value)); }
    static double canonical_value(double v);
    void check_id(NodeId id) const;

    std::vector<Node, LargeAlloc<Node>> nodes_;
    std::vector<std::uint64_t, LargeAlloc<std::uint64_t>> hashes_;
    IdTable node_table_;

    std::vector<double> constants_;
    std::vector<std::uint64_t> constant_bits_;  // found through node_table_ by constant_key_hash

    std::vector<NodeId> lists_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> list_ranges_;
    IdTable list_table_;  // content -> index into list_ranges_

    std::vector<std::string> input_names_;
    std::unordered_map<std::string, std::uint32_t> input_index_;

    U64Map constant_cache_;  // presented bit pattern -> constant node

    std::vector<NodeId> scratch_;
};

// -- Readers on the hot paths of compilation and differentiation -----------------

inline void Graph::check_id(NodeId id) const { check_index("node id", id, nodes_.size()); }

inline const Node& Graph::node(NodeId id) const {
    check_id(id);
    return nodes_[id];
}

inline std::span<const NodeId> Graph::list(std::uint32_t start, std::uint32_t length) const {
    check_range("operand list", start, length, lists_.size());
    return {lists_.data() + start, length};
}

inline Operands Graph::operands(NodeId id) const {
    const Node& n = node(id);
    Operands o;
    switch (n.kind) {
        case NodeKind::Const:
        case NodeKind::Input:
            break;
        case NodeKind::Neg:
        case NodeKind::Powi:
        case NodeKind::Unary:
            o.n = 1;
            o.fixed[0] = n.a;
            break;
        case NodeKind::Add:
        case NodeKind::Mul:
        case NodeKind::Binary:
        case NodeKind::Cmp:
            o.n = 2;
            o.fixed[0] = n.a;
            o.fixed[1] = n.b;
            break;
        case NodeKind::Select:
            o.n = 3;
            o.fixed[0] = n.a;
            o.fixed[1] = n.b;
            o.fixed[2] = n.c;
            break;
        case NodeKind::Reduce:
        case NodeKind::Dot:
            o.list = list(n.a, n.b).data();
            o.n = n.b;
            break;
        case NodeKind::Solve:
            o.list = list(n.b, n.c).data();
            o.n = n.c;
            break;
    }
    return o;
}

// The 64-bit finalizer and the mixing step of the structural hash.
std::uint64_t structural_mix(std::uint64_t z);
std::uint64_t structural_step(std::uint64_t h, std::uint64_t v);
std::uint64_t structural_hash_bytes(std::string_view s);

}  // namespace vantu
