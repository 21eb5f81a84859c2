// The native IR: the form of a tape that code generators read. One node per
// tape instruction, except that Gemv and Gemm with fewer than 8 output rows
// are expanded into one Dot node per output element plus one scalar node per
// accumulator role, which compute exactly what the kernel and its role step
// compute. Every node's semantics are the interpreter's. Operand words keep
// the tape's encoding (bit 31 set: input index, clear: slot).
//
// The IR owns its operand lists (copied out of the tape's pool), so it does
// not depend on the tape after lowering. It is target-neutral: it knows
// which nodes call host functions, not how a target calls them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "graph/ops.hpp"
#include "tape/tape.hpp"

namespace vantu {

// "No such node": the answer of next_use and friends when there is none.
inline constexpr std::uint32_t kNoNode = 0xffffffffu;

enum class IrKind : std::uint8_t {
    Const,
    Add,
    Mul,
    MulAdd,
    Sub,
    Neg,
    Powi,
    Unary,
    Binary,
    Cmp,
    Select,
    Reduce,
    Dot,
    Kernel,
};

// A run of entries of IrProgram::lists.
struct IrList {
    std::uint32_t start = 0;
    std::uint32_t len = 0;
};

enum class KernelKind : std::uint8_t { Gemv = 0, Gemm = 1, Solve = 2 };

// A block a kernel reads: InputRange and SlotRange name values in place from
// `start`; a List block holds its operand words in `list` (the generated code
// gathers them into the work array before the call).
struct IrBlock {
    BlockKind kind = BlockKind::SlotRange;
    std::uint32_t start = 0;
    IrList list;
};

// A Gemv, Gemm or Solve kept whole. Dimensions: Gemv m, n; Gemm m, k, n;
// Solve n unknowns, k right-hand sides, batch systems.
struct IrKernel {
    KernelKind kind = KernelKind::Gemv;
    std::uint32_t m = 0;
    std::uint32_t k = 0;
    std::uint32_t n = 0;
    std::uint32_t batch = 0;
    IrBlock a;
    IrBlock b;
    // kAccNone: no accumulator; kAccNoSource: role codes only; 0, 1, 2: role
    // codes and a source block of that kind.
    std::int32_t acc_kind = kAccNone;
    IrBlock source;
    IrList roles;  // one role code per output element when acc_kind != kAccNone
};

// Fields by kind:
//   Const value           Add, Mul, Sub a, b        MulAdd a, b, c (a*b + c)
//   Neg a                 Powi a, n                 Unary a, op (UnaryOp code)
//   Binary a, b, op       Cmp a, b, op (CmpOp)      Select a = cond, b = then, c = else
//   Reduce list0, op (ReduceOp)                     Dot list0 . list1 (equal lengths)
//   Kernel kernel (index into IrProgram::kernels); writes kernel_out_len values from dest
struct IrNode {
    IrKind kind = IrKind::Const;
    std::uint8_t op = 0;
    std::uint32_t dest = 0;
    Operand a = 0;
    Operand b = 0;
    Operand c = 0;
    std::int32_t n = 0;
    std::uint32_t kernel = 0;
    double value = 0.0;
    IrList list0;
    IrList list1;
};

// Per key (slot or input index), the ascending node indices that touch it,
// compressed: node indices of key s are nodes[offsets[s] .. offsets[s+1]).
struct UseMap {
    std::vector<std::uint32_t> offsets;
    std::vector<std::uint32_t> nodes;

    std::span<const std::uint32_t> of(std::uint32_t key) const {
        return {nodes.data() + offsets[key], nodes.data() + offsets[key + 1]};
    }
    // The first node index >= from touching key, or kNoNode.
    std::uint32_t first_from(std::uint32_t key, std::uint32_t from) const;
    // The last node index <= bound touching key, or kNoNode.
    std::uint32_t last_at_most(std::uint32_t key, std::uint32_t bound) const;
};

struct IrProgram {
    std::vector<IrNode> nodes;
    std::vector<std::uint32_t> lists;  // operand words and role codes of every node
    std::vector<IrKernel> kernels;
    std::vector<Operand> outputs;      // the tape's outputs
    std::uint32_t n_slots = 0;
    UseMap uses;        // per slot: the nodes that read it (kernels: every slot of their blocks)
    UseMap writes;      // per slot: the nodes that write it (kernels: their whole output block)
    UseMap input_uses;  // per input index below input_width: the nodes that read it
    // The largest input index read by a node, a block or an output, plus 1.
    std::uint32_t input_width = 0;
    // Values a node may gather into the work array right after the slots:
    // a Min or Max list, or a kernel's List blocks one after another.
    std::size_t gather = 0;
    // The largest Solve workspace; it follows the gather area.
    std::size_t scratch = 0;

    std::span<const std::uint32_t> list(IrList l) const { return {lists.data() + l.start, l.len}; }
    // n_slots + gather + scratch, at least 1: the work array native code needs.
    std::size_t work_len() const;
};

// Translates a tape. Stops with an internal error on a malformed tape: an
// operand list, block or role list past the pool, a slot past the slot
// area, "kernel output block past the work array", "kernel reads its own
// output block".
IrProgram lower_to_ir(const Tape& tape);

// Expands a Gemv or Gemm instruction into Dot and role nodes appended to
// `ir` (uses and widths are not updated). A Solve stops with "a solve is
// no product". lower_to_ir expands products of fewer than 8 rows unless a
// List block names a slot of the product's own output block: the kernel
// gathers such operands before it writes anything, while the Dot nodes of
// an expansion would read slots that earlier elements already overwrote.
void expand_product(const Tape& tape, const Instr& instr, std::uint32_t dest, IrProgram& ir);

// Whether a List block (A, B or the accumulator source) of a Gemv or Gemm
// names a slot inside the instruction's output block.
bool product_lists_meet_output(const Tape& tape, const Instr& instr, std::uint32_t dest);

// The smallest node index greater than `after` that reads `slot`, or kNoNode.
std::uint32_t next_use(const IrProgram& ir, std::uint32_t slot, std::uint32_t after);
// The same for writes of `slot`, and for reads of input `index`.
std::uint32_t next_write(const IrProgram& ir, std::uint32_t slot, std::uint32_t after);
std::uint32_t next_input_use(const IrProgram& ir, std::uint32_t index, std::uint32_t after);

// The values a kernel writes from its destination slot, and the lengths of
// its A and B blocks (the source block is as long as the output).
std::size_t kernel_out_len(const IrKernel& k);
std::size_t kernel_a_len(const IrKernel& k);
std::size_t kernel_b_len(const IrKernel& k);

// Host functions generated code may call. Each takes C-convention arguments
// (floating-point values first in the float registers, integers and
// pointers in the integer registers) and returns a double.
enum class HostFn : std::uint8_t {
    Exp,     // (x)
    Ln,      // (x)
    Sin,     // (x)
    Cos,     // (x)
    Sinh,    // (x)
    Cosh,    // (x)
    Tanh,    // (x)
    Atan,    // (x)
    Unary,   // (row of the unary table, x)
    Binary,  // (op code, a, b)
    Powi,    // (exponent, x)
    Reduce,  // (op code, values, count)
    Kernel,  // (work, inputs, host context, kernel index)
};
inline constexpr int kHostFns = 13;

// Whether a node is evaluated by a host function, and which. Min and Max
// reductions are classified as calls; a code generator may still inline
// short lists of them.
std::optional<HostFn> host_call(const IrNode& node);

}  // namespace vantu
