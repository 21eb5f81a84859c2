// The expression text of a node: one nested inline formula for small
// expressions (shared subexpressions repeated), a numbered listing with one
// line per inner node for large ones. The spelling is fixed: tests and users
// compare it character for character.
#pragma once

#include <cstddef>
#include <string>

#include "graph/graph.hpp"

namespace vantu {

// The inline form is used while the estimated text stays within this many
// bytes; past it, the numbered listing.
inline constexpr std::size_t kInlineTextLimit = 4096;

// The text of the expression rooted at `root`.
std::string expr_text(const Graph& graph, NodeId root);

// True when the expression, walked as a tree (a shared subexpression counted
// once per occurrence), has at most `budget` nodes. Costs at most `budget`
// node visits whatever the size of the expression.
bool fits(const Graph& graph, NodeId root, std::size_t budget);

// The text of one constant: the shortest decimal that reads back to the same
// double, plain between 1e-4 and 1e16 (and for zero) with at least one digit
// after the point, scientific otherwise; "NaN", "inf", "-inf".
std::string constant_text(double value);

}  // namespace vantu
