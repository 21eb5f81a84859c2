#include "eval/batch.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "eval/interp.hpp"
#include "eval/pool.hpp"
#include "graph/error.hpp"

namespace vantu {

// -- Batch entry points --------------------------------------------------------

namespace {

// Instances [first, first + count) in order over one work buffer. The
// interpreter writes every slot before reading it, so what a previous
// instance left in `work` never reaches a result: any split of a batch
// gives the bits of the plain loop.
void run_instances(const Tape& tape, std::span<const double> inputs, std::size_t width, std::size_t first,
                   std::size_t count, std::span<double> work, std::span<double> out) {
    const std::size_t n_out = tape.outputs.size();
    for (std::size_t i = first; i < first + count; ++i)
        eval(tape, inputs.subspan(i * width, width), work, out.subspan(i * n_out, n_out));
}

}  // namespace

std::size_t start_batch(std::size_t n_values, std::size_t n_inputs, std::size_t n_outputs,
                        std::vector<double>& out) {
    const std::size_t width = std::max<std::size_t>(n_inputs, 1);
    const std::size_t instances = n_values / width;
    // A trailing partial vector would be dropped without a word.
    check_eq("input values not a whole number of vectors", n_values - instances * width, 0);
    if (n_outputs != 0 && instances > out.max_size() / n_outputs) throw std::bad_alloc();
    out.assign(instances * n_outputs, 0.0);
    if (n_outputs != 0) check_eq("one output vector per input vector", out.size() / n_outputs, instances);
    return instances;
}

void eval_many_interpreted(const Tape& tape, std::span<const double> inputs, std::size_t n_inputs,
                           std::vector<double>& out) {
    const std::size_t width = std::max<std::size_t>(n_inputs, 1);
    const std::size_t n_out = tape.outputs.size();
    const std::size_t instances = start_batch(inputs.size(), n_inputs, n_out, out);
    if (n_out == 0 || instances == 0) return;

    if (instances < kParallelBatch) {
        std::vector<double> work(tape.work_len(), 0.0);
        run_instances(tape, inputs, width, 0, instances, work, out);
        return;
    }
    // Chunks write disjoint slices of `out`; each has a work buffer of its
    // own, made inside the task so that it lives on the thread running it.
    const std::size_t chunk = chunk_len(instances);
    const std::size_t tasks = (instances + chunk - 1) / chunk;
    parallel_for(tasks, [&](std::size_t t) {
        const std::size_t first = t * chunk;
        std::vector<double> work(tape.work_len(), 0.0);
        run_instances(tape, inputs, width, first, std::min(chunk, instances - first), work, out);
    });
}

// -- Native work buffers -------------------------------------------------------

namespace {

thread_local std::vector<std::vector<double>> free_buffers;

}  // namespace

NativeBuffer::NativeBuffer(std::size_t len) {
    if (!free_buffers.empty()) {
        data_ = std::move(free_buffers.back());
        free_buffers.pop_back();
    }
    if (data_.size() < len) data_.resize(len, 0.0);
}

NativeBuffer::~NativeBuffer() {
    // The push may need room in the list itself; if even that fails the
    // array is simply freed instead of pooled.
    try {
        free_buffers.push_back(std::move(data_));
    } catch (...) {
    }
}

std::size_t native_buffers_free() { return free_buffers.size(); }

}  // namespace vantu
