// The interpreter: the reference evaluator of a tape over one work buffer.
// It never allocates while running; every temporary lives in the work
// buffer's gather and scratch areas, whose sizes emission fixed.
#pragma once

#include <cstddef>
#include <span>

#include "tape/tape.hpp"

namespace vantu {

// Runs the whole tape and copies the outputs into `out`. `work` holds at
// least tape.work_len() values ("work buffer too short" otherwise) and `out`
// exactly tape.outputs.size() ("output buffer of the wrong size"). Inputs
// past inputs.size() read as NaN.
void eval(const Tape& tape, std::span<const double> inputs, std::span<double> work, std::span<double> out);

// The loop behind eval over the half-open instruction range [from, to).
void run(const Tape& tape, std::span<const double> inputs, std::span<double> work, std::size_t from,
         std::size_t to);

}  // namespace vantu
