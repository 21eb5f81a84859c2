// The local derivative rule of every node kind, in its two forms: the tangent
// of a node from its operands' tangents (forward sweep), and the adjoint
// contributions a node sends to its operands (reverse sweep). The sweeps in
// sweeps.cpp decide which nodes to visit; these rules decide which nodes to
// build, in a fixed order, since node creation order is observable.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "autodiff/autodiff.hpp"

namespace vantu {

// The operands along which derivatives flow: all operands, except that a
// comparison has none and a select only its two values.
Operands dependency_operands(const Graph& g, NodeId id);

// The tangent of node `id`, given the tangents of its dependency operands in
// dependency order, at least one of them not the zero node. For a Solve
// component the tangents of every component of its system are computed and
// written to `system` as (component, tangent) pairs.
NodeId tangent_rule(Graph& g, NodeId id, std::span<const NodeId> operand_tangents,
                    std::vector<std::pair<NodeId, NodeId>>& system);

// What the adjoint rule of a node needs from the reverse sweep.
class AdjointSweep {
public:
    // Whether `id`, an operand of a visited node, depends on an input being
    // differentiated for.
    virtual bool in_cone(NodeId id) const = 0;
    // Adds `contribution` to the contribution list of `id`, which is in the
    // cone.
    virtual void contribute(NodeId id, NodeId contribution) = 0;
    // The adjoint of `id` as it stands: the sum of its contribution list,
    // which is emptied; the zero node when it has none or was never reached.
    virtual NodeId take_adjoint(NodeId id) = 0;

protected:
    ~AdjointSweep() = default;
};

// Sends the contributions of node `id` with adjoint `adjoint` (not the zero
// node) to those of its dependency operands that are in the cone. Input nodes
// are the sweep's business and never reach this.
void adjoint_rule(Graph& g, NodeId id, NodeId adjoint, AdjointSweep& sweep);

}  // namespace vantu
