// The tape: the compiled form of a program, a straight-line list of
// instructions over one flat float64 work array. The compile pipeline
// produces it (compile.hpp); the interpreter (eval/interp) and the native
// backend (jit/) execute it; a Program owns it. Tapes are immutable after
// emission and shared between threads.
//
// Work array layout for one evaluation: the slot area (n_slots values, every
// destination and slot operand), the gather area (n_gather values, where
// Reduce and Dot copy their operands and kernels their non-contiguous
// blocks), then the scratch area (n_scratch values, the Solve workspace).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/ops.hpp"

namespace vantu {

// One value: bit 31 set names input (low 31 bits), clear names a work slot.
// An input index past the inputs supplied reads as NaN in every evaluator.
using Operand = std::uint32_t;
inline constexpr Operand kInputBit = 0x80000000u;

inline bool is_input(Operand o) { return (o & kInputBit) != 0; }
inline std::uint32_t operand_index(Operand o) { return o & ~kInputBit; }
inline Operand input_operand(std::uint32_t index) { return index | kInputBit; }

enum class InstrKind : std::uint8_t {
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
    Gemv,
    Gemm,
    Solve,
};

// A contiguous run of values a kernel reads; its length is implied by the
// instruction's dimensions.
enum class BlockKind : std::uint32_t {
    InputRange = 0,  // inputs base .. base+len
    List = 1,        // the operands pool[base .. base+len], gathered before the kernel runs
    SlotRange = 2,   // slots base .. base+len
};

struct Block {
    BlockKind kind = BlockKind::SlotRange;
    std::uint32_t base = 0;
};

// Post-processing of a Gemv or Gemm output block. kind -2: none; -1: role
// codes without a source block; 0, 1, 2: a source Block of that kind at
// `base` as long as the output block. One role code per output element in
// the pool from `roles` on.
struct Accumulator {
    std::int32_t kind = -2;
    std::uint32_t base = 0;
    std::uint32_t roles = 0;
};

inline constexpr std::int32_t kAccNone = -2;
inline constexpr std::int32_t kAccNoSource = -1;

// Role code of one output element: the low two bits choose the effect
// (0 "=": keep, 1 "-": b - out, 2 "+": b + out, 3 "neg": -out); with bit 2
// set, b is out[code >> 3] of the same block, else the source element (or
// out[j] itself without a source).
inline constexpr std::uint32_t kRoleKeep = 0;
inline constexpr std::uint32_t kRoleSub = 1;
inline constexpr std::uint32_t kRoleAdd = 2;
inline constexpr std::uint32_t kRoleNeg = 3;
inline constexpr std::uint32_t kRoleRefBit = 4;

// The fields of the three kernel instructions, kept in the tape's kernel
// table so that every instruction stays 16 bytes.
//   Gemv:  a (m x n), b = x (n), acc; m, n           -> m values
//   Gemm:  a (m x k), b = Bt (n x k), acc; m, k, n    -> m*n values
//   Solve: a (batch * n*n), b (batch * k*n); n, k = right-hand sides per
//          system, batch                              -> batch*k*n values
struct KernelInstr {
    Block a;
    Block b;
    Accumulator acc;
    std::uint32_t m = 0;
    std::uint32_t k = 0;
    std::uint32_t n = 0;
    std::uint32_t batch = 0;
};

// One instruction. Fields by kind:
//   Const          value
//   Add, Mul, Sub  a, b          MulAdd  a, b, c (a*b + c, product rounded first)
//   Neg            a             Powi    a, n (= exponent, i32)
//   Unary          a, op         Binary, Cmp  a, b, op
//   Select         a = cond, b = then, c = else
//   Reduce         a = pool start, b = len, op (ReduceOp)
//   Dot            a = pool start, b = len (2*len operands in the pool)
//   Gemv, Gemm, Solve  a = index into Tape::kernels
struct Instr {
    InstrKind kind = InstrKind::Const;
    std::uint8_t op = 0;
    std::uint16_t pad = 0;
    std::uint32_t a = 0;
    union {
        struct {
            std::uint32_t b;
            std::uint32_t c;
        } bc;
        double value;
    };

    Instr() : bc{0, 0} {}

    std::uint32_t b() const { return bc.b; }
    std::uint32_t c() const { return bc.c; }
    std::int32_t powi_n() const { return static_cast<std::int32_t>(bc.b); }

    static Instr constant(double v) {
        Instr i;
        i.kind = InstrKind::Const;
        i.value = v;
        return i;
    }
    static Instr make(InstrKind kind, std::uint32_t a, std::uint32_t b = 0, std::uint32_t c = 0,
                      std::uint8_t op = 0) {
        Instr i;
        i.kind = kind;
        i.op = op;
        i.a = a;
        i.bc.b = b;
        i.bc.c = c;
        return i;
    }
    static Instr powi(Operand a, std::int32_t n) {
        return make(InstrKind::Powi, a, static_cast<std::uint32_t>(n));
    }
};
static_assert(sizeof(Instr) == 16);

struct Tape {
    std::vector<Instr> instrs;
    std::vector<std::uint32_t> dests;  // one per instruction: first slot of its result
    std::vector<std::uint32_t> pool;   // operand lists, List blocks, role codes
    std::vector<Operand> outputs;
    std::size_t n_slots = 0;
    std::size_t n_gather = 0;
    std::size_t n_scratch = 0;
    std::size_t n_inputs = 0;
    std::vector<KernelInstr> kernels;  // fields of Gemv, Gemm and Solve instructions

    std::size_t n_ops() const { return instrs.size(); }
    // n_slots + n_gather + n_scratch: the least work array an evaluation takes.
    std::size_t work_len() const { return n_slots + n_gather + n_scratch; }

    // The listing: one line per instruction, then the outputs line.
    std::string dump() const;
};

// a * b, saturating at the largest size instead of wrapping, so that size
// checks on a malformed tape's dimensions fail instead of passing.
inline std::size_t size_mul(std::size_t a, std::size_t b) {
    std::size_t r;
    return __builtin_mul_overflow(a, b, &r) ? ~std::size_t{0} : r;
}

// The number of values a kernel instruction writes (1 for any other kind).
std::size_t kernel_out_len(InstrKind kind, const KernelInstr& k);

// The Solve workspace of n unknowns and nrhs right-hand sides: n*(n+nrhs),
// plus the panel buffers above 64 unknowns.
std::size_t solve_workspace(std::size_t n, std::size_t nrhs);

}  // namespace vantu
