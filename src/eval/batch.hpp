// Batch evaluation: one program over many input vectors laid back to back,
// and the per-thread pool of native work buffers.
//
// Each thread keeps a free list (a stack) of float64 arrays. Taking a buffer
// pops the most recently returned array and grows it to the size asked for,
// zero-filling only the new tail (old contents stay); with an empty list a
// new zero-filled array of exactly that size is made. Giving it back pushes
// it whatever its length: the list never shrinks or discards arrays. The
// arrays live as long as their thread, so pool workers keep them between
// batches and a batch task allocates nothing after warm-up.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "tape/tape.hpp"

namespace vantu {

// -- Batch entry points --------------------------------------------------------

// Evaluates `tape` on every instance of `inputs`: instances of
// max(n_inputs, 1) values each (a program without inputs takes one value
// per instance); the caller checks that they divide inputs.size(), a
// trailing partial vector stops with an internal error.
// `out` becomes instances * n_outputs values, instance after instance, each
// exactly what the interpreter's eval gives for that instance alone. A small
// batch runs in order on the calling thread over one zero-filled work buffer;
// a large one is cut into chunks by chunk_len that run on the thread pool,
// each over its own work buffer, with the same results.
void eval_many_interpreted(const Tape& tape, std::span<const double> inputs, std::size_t n_inputs,
                           std::vector<double>& out);

// The common start of every batch evaluation: the number of instances of
// max(n_inputs, 1) values in `n_values` (a trailing partial vector stops
// with an internal error), with `out` made instances * n_outputs zeros.
std::size_t start_batch(std::size_t n_values, std::size_t n_inputs, std::size_t n_outputs,
                        std::vector<double>& out);

// Batches of this many instances or more go to the thread pool.
inline constexpr std::size_t kParallelBatch = 10000;

// (eval_many_native, the same contract over native code, belongs here.)

// -- Native work buffers -------------------------------------------------------

// A work buffer lent by the current thread's free list for the lifetime of
// this object. Take and return it on the same thread.
class NativeBuffer {
public:
    explicit NativeBuffer(std::size_t len);
    ~NativeBuffer();
    NativeBuffer(const NativeBuffer&) = delete;
    NativeBuffer& operator=(const NativeBuffer&) = delete;

    // The whole array: at least the length asked for, possibly longer.
    std::span<double> span() { return data_; }

private:
    std::vector<double> data_;
};

// How many arrays the current thread's free list holds right now.
std::size_t native_buffers_free();

}  // namespace vantu
