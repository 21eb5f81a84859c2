// The Program class (the Python face of one compiled tape) and the pieces of
// Scope that make programs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "python/objects.hpp"
#include "jit/native.hpp"
#include "tape/tape.hpp"

namespace vantu::py {

// Immutable after construction apart from the native cell, which goes once
// from empty to set; shared between threads without locks.
struct ProgramObject {
    PyObject_HEAD
    Tape* tape;
    std::vector<std::uint32_t>* pattern_rows;  // null unless a sparse Jacobian
    std::vector<std::uint32_t>* pattern_cols;
    std::size_t n_inputs;
    std::size_t n_outputs;
    // Set once by compile_native (the first stored code wins); read once per
    // evaluation call, so a call never mixes the two evaluators.
    std::atomic<NativeCode*> native;
};

extern PyTypeObject* program_type;

inline bool is_program(PyObject* o) { return Py_TYPE(o) == program_type; }

using Pattern = std::unique_ptr<std::vector<std::uint32_t>>;

// A new Program owning `tape`, with the (rows, cols) pattern of a sparse
// Jacobian's outputs or none.
PyObject* new_program(Tape tape, std::size_t n_inputs, Pattern rows = nullptr, Pattern cols = nullptr);

// Evaluates one instance on the taken thread buffers: checks the value count,
// grows the work array, runs the evaluator (the interpreter lock released for
// large programs) and leaves the outputs in buffers.outputs.
struct ThreadBuffers;
void evaluate(ProgramObject* program, ThreadBuffers& buffers);

// Output conversion of compile and the Jacobians: a tracer gives its node
// (one of another scope is refused), a number its user constant, anything
// else TypeError "outputs must be tracers or numbers".
std::vector<NodeId> convert_outputs(GraphBox* graph, PyObject* list);

// Compiles `outputs` over the scope's inputs as they stand now.
PyObject* compile_program(ScopeObject* scope, std::span<const NodeId> outputs, Pattern rows = nullptr,
                          Pattern cols = nullptr);

PyObject* scope_compile(PyObject* self, PyObject* args, PyObject* kwargs);

// Scope.gradient, Scope.jacobian and Scope.sparse_jacobian (derivatives.cpp).
PyObject* scope_gradient(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* scope_jacobian(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* scope_sparse_jacobian(PyObject* self, PyObject* args, PyObject* kwargs);

void register_program(PyObject* module);
void register_dispatch(PyObject* module);

}  // namespace vantu::py
