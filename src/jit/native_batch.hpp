// Native batch evaluation: one program's native code over many input
// vectors laid back to back, in parallel chunks on the thread pool.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "jit/native.hpp"

namespace vantu {

// The contract of eval_many_interpreted (eval/batch.hpp) over native code:
// `out` becomes instances * n_outputs values, instance after instance.
// Instances are cut into chunks of chunk_len instances that run on the pool,
// each over a work buffer from its thread's native buffer pool. Where the
// code may read inputs past the vector width, a chunk first copies its
// instances into vectors padded with NaN, so a missing input reads as NaN
// exactly as in the interpreter.
void eval_many_native(const NativeCode& code, std::span<const double> inputs, std::size_t n_inputs,
                      std::vector<double>& out);

}  // namespace vantu
