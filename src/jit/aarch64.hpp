// AArch64 code generation: one straight-line function per segment of IR
// nodes, keeping values in floating-point registers between nodes and
// calling host functions for everything but simple arithmetic. The code
// computes bit for bit what the interpreter computes: every operation rounds
// as the interpreter's does, and no multiply is ever fused with an add.
//
// Generated functions have the C signature
//     void segment(double* work, const double* inputs, const HostContext* ctx)
// and keep no value in registers across their end: every value a later node
// or the program's outputs need is in the work array when they return.
//
// Register conventions: x19 work base, x20 input base, x21 host context,
// x22 .. x28 cached host addresses, x9 high part of a large work offset,
// x10 immediate scratch, x16 call target; d0 .. d7 carry host-call
// arguments and serve as temporaries inside a node; d8 .. d15 (callee-saved,
// register positions 0 .. 7) and d16 .. d31 (caller-saved, positions
// 8 .. 23) hold values.
#pragma once

#include <cstdint>
#include <vector>

#include "jit/host.hpp"
#include "jit/ir.hpp"

namespace vantu {

// Most nodes a segment covers.
inline constexpr std::uint32_t kSegmentNodes = 1024;

struct SegmentCode {
    std::vector<std::uint32_t> words;
    std::vector<HostFn> hosts;  // host functions the segment calls, cached ones first
};

// Emits nodes [first, end) of `ir` as one function. `ctx` holds the kernel
// descriptors of the whole program (build_host_context). Segments share
// nothing mutable and may be emitted in parallel.
SegmentCode emit_segment(const IrProgram& ir, const HostContext& ctx, std::uint32_t first, std::uint32_t end);

// Whether the generated code for `node` calls a host function: host_call,
// except Min and Max lists of 1 to 16 operands, which are inlined.
bool emits_call(const IrNode& node);

}  // namespace vantu
