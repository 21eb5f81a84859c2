// Host functions: what generated code calls for everything beyond simple
// arithmetic. Each has the C calling convention (floating-point arguments
// and the result in float registers, integers and pointers in integer
// registers) and computes exactly what the interpreter computes, through the
// same scalar routines (graph/semantics) and kernels (eval/kernels).
//
// No host function ever unwinds into generated code. A failed check records
// its message for the calling thread and the function returns NaN (or
// nothing); the native evaluator raises the recorded failure as an internal
// error once the generated segment has returned (host_raise_pending).
//
// Target-neutral: any code generator reaches these through host_address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "jit/ir.hpp"

namespace vantu {

// Where a kernel block lives when the kernel runs.
enum class DescBase : std::uint8_t { None, Work, Inputs };

struct DescBlock {
    DescBase base = DescBase::None;
    std::size_t offset = 0;  // in values from the base
};

// One Gemv, Gemm or Solve node. Dimensions as in IrKernel. List blocks have
// been gathered by the generated code into the work array at their offsets.
struct KernelDesc {
    KernelKind kind = KernelKind::Gemv;
    std::uint32_t m = 0;
    std::uint32_t k = 0;
    std::uint32_t n = 0;
    std::uint32_t batch = 0;
    DescBlock a;
    DescBlock b;
    DescBlock source;  // base None: no source block
    bool has_roles = false;
    std::size_t roles = 0;  // start of the role codes in HostContext::roles
    std::size_t out = 0;    // first slot of the output block
    std::size_t workspace = 0;      // Solve workspace offset in the work array
    std::size_t workspace_len = 0;  // values available there
};

// The shared, immutable table generated code passes to the kernel host
// function: one descriptor per Kernel node, in node order.
struct HostContext {
    std::vector<KernelDesc> kernels;
    std::vector<std::uint32_t> roles;
};

// Descriptors for every Kernel node of `ir`. The work array is laid out as
// the slots, then ir.gather values where List blocks are gathered (one
// kernel at a time, A then B then the source), then the Solve workspace.
HostContext build_host_context(const IrProgram& ir);

// Offset of the gather area and of the workspace in the work array.
inline std::size_t gather_offset(const IrProgram& ir) { return ir.n_slots; }
inline std::size_t scratch_offset(const IrProgram& ir) { return std::size_t{ir.n_slots} + ir.gather; }

extern "C" {
double vantu_host_exp(double x) noexcept;
double vantu_host_ln(double x) noexcept;
double vantu_host_sin(double x) noexcept;
double vantu_host_cos(double x) noexcept;
double vantu_host_sinh(double x) noexcept;
double vantu_host_cosh(double x) noexcept;
double vantu_host_tanh(double x) noexcept;
double vantu_host_atan(double x) noexcept;
// `row` indexes the unary table of the catalogue (below 33).
double vantu_host_unary(std::uint64_t row, double x) noexcept;
// `code` is a BinaryOp code (below 4).
double vantu_host_binary(std::uint64_t code, double a, double b) noexcept;
double vantu_host_powi(std::int32_t n, double x) noexcept;
// The reference fold of `count` values; codes above 3 count as 3 (Max).
double vantu_host_reduce(std::uint64_t code, const double* values, std::uint64_t count) noexcept;
// Kernel node `index` of `ctx` over the work and input arrays.
void vantu_host_kernel(double* work, const double* inputs, const HostContext* ctx, std::uint64_t index) noexcept;
}

// The address generated code calls for `fn`.
std::uint64_t host_address(HostFn fn);

// Records a failure of a host function on the calling thread (the first
// one counts until it is raised).
void host_fail(const char* message) noexcept;
// Throws the calling thread's recorded failure as an InternalError, if
// there is one, and clears it.
void host_raise_pending();
// Forgets a recorded failure (one left by a direct call outside an
// evaluation must not surface in the next one).
void host_clear_pending() noexcept;

}  // namespace vantu
