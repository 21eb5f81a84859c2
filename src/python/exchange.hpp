// Argument exchange between Python and evaluation: gathering arguments into
// one flat array of float64 input values (with the shape record that keys
// the Dispatch cache), the output step into a new list or a caller's
// float64 buffer, and the per-thread reusable evaluation arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "python/binding.hpp"

namespace vantu::py {

// One thread's reusable evaluation arrays, shared by every program evaluated
// on that thread.
struct ThreadBuffers {
    std::vector<double> values;         // gathered input values of the call
    std::vector<std::uint64_t> shapes;  // shape record: per argument, dimension count then sizes
    std::vector<double> work;           // the work buffer
    std::vector<double> outputs;        // output values
};

// Takes the thread's ThreadBuffers out of its slot for the duration of one
// call (leaving empty arrays there, so a nested call on the same thread
// during argument conversion never shares them) and puts them back on every
// path. `values` and `shapes` start empty, keeping their capacity.
class TakenBuffers {
public:
    TakenBuffers();
    ~TakenBuffers();
    TakenBuffers(const TakenBuffers&) = delete;
    TakenBuffers& operator=(const TakenBuffers&) = delete;
    ThreadBuffers* operator->() { return &buffers_; }
    ThreadBuffers& operator*() { return buffers_; }

private:
    ThreadBuffers buffers_;
};

// Gathers one argument: a float; a list or tuple of numbers; a native
// float64 buffer of any dimensions and strides (copied in row-major order);
// any other number; otherwise numpy.asarray(x, "float64"), gathered again.
void gather(PyObject* arg, std::vector<double>& values, std::vector<std::uint64_t>& shapes);

// The output step: a new list of floats when `out` is null or None;
// otherwise `out` must be a writable native float64 buffer of exactly
// values.size() items, written in row-major order and returned (new
// reference).
PyObject* output_step(std::span<const double> values, PyObject* out);

// Grows `work` to at least `len` values (never shrinks; new places 0.0).
inline void grow_work(std::vector<double>& work, std::size_t len) {
    if (work.size() < len) work.resize(len, 0.0);
}

// Releases the interpreter lock for its lifetime. Nothing that touches
// Python objects may run inside.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Programs of this many instructions or more are evaluated with the
// interpreter lock released.
inline constexpr std::size_t kGilReleaseOps = 256;

}  // namespace vantu::py
