// The Python objects of the tracing front end and the shared graph handle.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "graph/graph.hpp"
#include "python/binding.hpp"

namespace vantu::py {

// -- Graph handle --------------------------------------------------------------

// One scope's graph with a plain (non-atomic) reference count and a
// reader/writer borrow state. Every holder (Scope, Tracer, Method) is bound
// to one thread, so neither needs atomics. The graph is never held across a
// call back into Python.
struct GraphBox {
    Graph graph;
    std::size_t refs = 1;
    int borrow = 0;  // 0 free, n > 0 readers, -1 one writer
};

inline GraphBox* graph_ref(GraphBox* box) {
    ++box->refs;
    return box;
}

inline void graph_unref(GraphBox* box) {
    if (--box->refs == 0) delete box;
}

// Frees a plain (non-GC) tracing object. Its graph reference is released
// only on the object's own thread; elsewhere it is leaked and reported, since
// the graph's count is not atomic.
inline void free_tracing_object(PyObject* self, GraphBox* graph, unsigned long thread,
                                const char* class_name) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (thread != current_thread())
        report_foreign_drop(class_name);
    else
        graph_unref(graph);
    PyObject_Free(self);
    Py_DECREF(type);
}

// The graph taken as writer for the duration of one constructor step.
class GraphWrite {
public:
    explicit GraphWrite(GraphBox* box) : box_(box) {
        if (box_->borrow != 0) throw InternalError("graph already borrowed");
        box_->borrow = -1;
    }
    ~GraphWrite() { box_->borrow = 0; }
    GraphWrite(const GraphWrite&) = delete;
    GraphWrite& operator=(const GraphWrite&) = delete;
    Graph& operator*() const { return box_->graph; }
    Graph* operator->() const { return &box_->graph; }

private:
    GraphBox* box_;
};

// The graph taken as reader (text, inspection, compilation).
class GraphRead {
public:
    explicit GraphRead(GraphBox* box) : box_(box) {
        if (box_->borrow < 0) throw InternalError("graph already mutably borrowed");
        ++box_->borrow;
    }
    ~GraphRead() { --box_->borrow; }
    GraphRead(const GraphRead&) = delete;
    GraphRead& operator=(const GraphRead&) = delete;
    const Graph& operator*() const { return box_->graph; }
    const Graph* operator->() const { return &box_->graph; }

private:
    GraphBox* box_;
};

// -- Objects -------------------------------------------------------------------

struct ScopeObject {
    PyObject_HEAD
    GraphBox* graph;
    std::vector<std::uint32_t>* inputs;  // graph input index of each input handed out
    unsigned long thread;
    int borrow;
};

struct TracerObject {
    PyObject_HEAD
    GraphBox* graph;
    NodeId node;
    unsigned long thread;
};

extern PyTypeObject* scope_type;
extern PyTypeObject* tracer_type;

// The scope behind `self`, on its own thread only.
inline ScopeObject* as_scope(PyObject* self) {
    auto* s = reinterpret_cast<ScopeObject*>(self);
    check_thread(s->thread, "Scope");
    return s;
}

inline bool is_tracer(PyObject* o) { return Py_TYPE(o) == tracer_type; }

// A new tracer on `node`, holding one more reference to the graph.
PyObject* new_tracer(GraphBox* graph, NodeId node);

// The node of a number that came from Python: keyed by its raw bit pattern,
// built from its canonical value (-0.0 gives the zero node, every NaN the
// one canonical NaN).
NodeId user_constant(GraphBox* graph, double v);

// Operand conversion: a tracer of this graph gives its node; a tracer of
// another graph raises ValueError "tracers from different scopes"; a number
// accepted by the float conversion gives its user constant; anything else
// gives no operand (no error).
std::optional<NodeId> to_operand(GraphBox* graph, PyObject* obj);

// TypeError "unsupported operand for a traced value: {type}".
[[noreturn]] void raise_unsupported_operand(PyObject* obj);

// Runs one constructor step with the graph taken as writer, then returns a
// new tracer on the node it gave (made after the graph is released).
template <class Build>
PyObject* traced(GraphBox* graph, Build&& build) {
    NodeId node;
    {
        GraphWrite g(graph);
        node = build(*g);
    }
    return new_tracer(graph, node);
}

// A power with a traced base: an exponent that converts to a 64-bit integer
// gives powi(base, n), another operand gives powf(base, exponent); nullopt
// when the exponent is no operand.
std::optional<NodeId> power_node(GraphBox* graph, NodeId base, PyObject* exponent);

// -- Methods -------------------------------------------------------------------

enum class MethodKind : std::uint8_t { Unary, Binary, Reduction };

// The Method a tracer attribute name stands for (alias names first, then the
// unary and binary text names), bound to the tracer's graph and node; null,
// with no error set, when the name is none of them.
PyObject* new_method(const TracerObject* tracer, std::string_view name);

// Registration steps of the module, in the order of __all__.
void register_scope(PyObject* module);
void register_tracer(PyObject* module);
void register_functions(PyObject* module);

}  // namespace vantu::py
