// Dense kernels behind Gemv, Gemm and Solve. Every output element of gemv and
// gemm is computed exactly as dot_ref (the reference dot product, also what a
// Dot instruction computes), so a product traced as Dot nodes and the same
// product fused into a kernel give identical bits. The kernels allocate
// nothing and never fail on numeric grounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vantu {

// Four accumulators over whole groups of four products, combined as
// (acc0 + acc1) + (acc2 + acc3), then the leftover products one by one.
// Every product is rounded before it is added.
double dot_ref(const double* a, const double* b, std::size_t n);

// out[i] = dot_ref(row i of A, x) for A m x n row-major.
void gemv(std::span<const double> a, std::span<const double> x, std::size_t m, std::size_t n,
          std::span<double> out);

// out[i*n + j] = dot_ref(row i of A, row j of Bt), A m x k, Bt n x k.
void gemm(std::span<const double> a, std::span<const double> bt, std::size_t m, std::size_t k,
          std::size_t n, std::span<double> out);

// Plain reference loops beside the tiled kernels (one dot_ref per element),
// the oracles of the kernel tests; same preconditions, unchecked.
void gemv_ref(std::span<const double> a, std::span<const double> x, std::size_t m, std::size_t n,
              std::span<double> out);
void gemm_ref(std::span<const double> a, std::span<const double> bt, std::size_t m, std::size_t k,
              std::size_t n, std::span<double> out);

// The accumulator step, in place and in increasing element order.
// `source` may be empty (no source block).
void apply_roles(std::span<const std::uint32_t> codes, std::span<const double> source,
                 std::span<double> out);

// gemm followed by apply_roles, fused where the codes allow.
void gemm_with_roles(std::span<const double> a, std::span<const double> bt, std::size_t m,
                     std::size_t k, std::size_t n, std::span<const double> source,
                     std::span<const std::uint32_t> codes, std::span<double> out);

// `batch` dense systems A x = b by Gaussian elimination with partial pivoting
// (ties keep the earlier row, NaN never wins), each with nrhs right-hand
// sides of n values; the solutions go to out in the layout of b. The
// workspace holds at least solve_workspace(n, nrhs) values (tape.hpp).
void lu_solve(std::span<const double> a, std::span<const double> b, std::size_t n, std::size_t nrhs,
              std::size_t batch, std::span<double> out, std::span<double> workspace);

}  // namespace vantu
