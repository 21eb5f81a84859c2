// Symbolic differentiation of a graph into the same graph. Derivatives are
// ordinary nodes built through the graph's constructors, so they are
// simplified, folded and shared like any other node, and repeating a
// differentiation returns the same nodes without adding any.
//
// Derivatives never flow through comparisons or through the condition of a
// select. The rules follow the program's own scalar definitions, clamps
// included (the slope of exp is constant above 80, that of ln vanishes at and
// below 1e-30, that of sqrt at and below 0).
//
// Every function may stop with an InternalError; the one a caller can meet
// is differentiating through trigamma. Nodes built before a failure stay in
// the graph, unreferenced.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "graph/graph.hpp"
#include "graph/ops.hpp"

namespace vantu {

// f'(x) for f = unary(op, ·). Fails for Trigamma.
NodeId unary_derivative(Graph& g, UnaryOp op, NodeId x);

// The partials of binary(op, x, y) with respect to x and to y. A partial not
// asked for is the zero node and builds nothing, except that the first
// partial of Mod is always the one node.
std::pair<NodeId, NodeId> binary_partials(Graph& g, BinaryOp op, NodeId x, NodeId y, bool need_first,
                                          bool need_second);

// Reverse sweep: the derivative of `root` with respect to each input index of
// `wrt`, in `wrt` order (the zero node where root does not depend on it; an
// index listed twice gets the same node twice).
std::vector<NodeId> gradient(Graph& g, NodeId root, std::span<const std::uint32_t> wrt);

// Forward sweep: the derivative of each root with respect to the input of
// index `wrt_input`, in root order.
std::vector<NodeId> tangents(Graph& g, std::span<const NodeId> roots, std::uint32_t wrt_input);

// One structurally nonzero entry of a Jacobian row; `column` is a position in
// the `wrt` list.
struct JacobianEntry {
    std::uint32_t column = 0;
    NodeId node = 0;

    friend bool operator==(const JacobianEntry&, const JacobianEntry&) = default;
};

using JacobianRow = std::vector<JacobianEntry>;

// The Jacobian d outputs / d inputs[wrt], one row per output in output order.
// A row holds its entries in ascending column order and never an entry whose
// node is the zero node. An input index listed in `wrt` more than once
// belongs to its last column only. Rows depending on more than 15 of the
// columns cost one reverse sweep each; the others share one forward sweep per
// column.
std::vector<JacobianRow> jacobian_rows(Graph& g, std::span<const NodeId> outputs,
                                       std::span<const std::uint32_t> wrt);

}  // namespace vantu
