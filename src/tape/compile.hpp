// The tape compiler's one entry point. Five phases run in a fixed order,
// each in its own file: "tape analyze" (compile.cpp), "tape lower"
// (lower.cpp), "tape fuse" (fuse.cpp), "tape schedule" (schedule.cpp),
// "tape emit" (emit.cpp). The same graph and outputs always give the same
// tape, on every run and machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "graph/graph.hpp"
#include "tape/tape.hpp"

namespace vantu {

// `outputs` are the program's outputs in order (repeats allowed); `inputs`
// gives, for each positional input, the graph's input number (repeats
// allowed: a graph input listed twice reads from its later position).
Tape compile_tape(const Graph& graph, std::span<const NodeId> outputs, std::span<const std::uint32_t> inputs,
                  std::size_t n_inputs);

}  // namespace vantu
