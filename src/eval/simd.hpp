// Two-lane float64 vectors on GCC vector extensions. They compile to SSE2 on
// x86-64 and to NEON on AArch64; every operation is an elementwise IEEE
// operation rounded once per lane, so a lane computes exactly what the same
// scalar expression computes (the build disables contraction, so a * b + c
// stays a rounded product followed by a rounded sum on both targets).
#pragma once

#include <cstdint>
#include <cstring>

namespace vantu::simd {

using f64x2 = double __attribute__((vector_size(16)));
using i64x2 = std::int64_t __attribute__((vector_size(16)));
using u64x2 = std::uint64_t __attribute__((vector_size(16)));

// Unaligned loads and stores of two consecutive values.
inline f64x2 load2(const double* p) {
    f64x2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store2(double* p, f64x2 v) { std::memcpy(p, &v, sizeof v); }

inline f64x2 splat2(double x) { return f64x2{x, x}; }

inline f64x2 zero2() { return f64x2{0.0, 0.0}; }

// Magnitude by clearing the sign bits: the same bits as std::fabs per lane,
// NaN payloads included.
inline f64x2 abs2(f64x2 v) {
    u64x2 bits = reinterpret_cast<u64x2>(v) & u64x2{0x7fffffffffffffffull, 0x7fffffffffffffffull};
    return reinterpret_cast<f64x2>(bits);
}

// Lane mask of a > b: all ones where it holds, zero otherwise (and zero
// wherever either side is NaN).
inline i64x2 gt2(f64x2 a, f64x2 b) { return a > b; }

// Per lane: `yes` where the mask is all ones, `no` where it is zero.
inline f64x2 select2(i64x2 mask, f64x2 yes, f64x2 no) { return mask ? yes : no; }

// The four accumulators of the reference dot product held as two vectors
// {acc0, acc1} and {acc2, acc3}, combined in the reference order
// (acc0 + acc1) + (acc2 + acc3).
inline double combine4(f64x2 lo, f64x2 hi) { return (lo[0] + lo[1]) + (hi[0] + hi[1]); }

}  // namespace vantu::simd
