// The Tracer class: a handle on one node of a scope's graph. Python
// arithmetic on tracers builds new nodes instead of computing numbers.
#include "graph/semantics.hpp"
#include "python/objects.hpp"

namespace vantu::py {

PyTypeObject* tracer_type = nullptr;

PyObject* new_tracer(GraphBox* graph, NodeId node) {
    // Tracers hold no Python references, so they are plain (non-GC) objects
    // allocated without zero-filling.
    auto* t = static_cast<TracerObject*>(PyObject_Malloc(sizeof(TracerObject)));
    if (!t) throw std::bad_alloc();
    PyObject_Init(reinterpret_cast<PyObject*>(t), tracer_type);
    t->graph = graph_ref(graph);
    t->node = node;
    t->thread = current_thread();
    return reinterpret_cast<PyObject*>(t);
}

NodeId user_constant(GraphBox* graph, double v) {
    GraphWrite g(graph);
    return g->cached_constant(f64_bits(v), canonical(v));
}

std::optional<NodeId> to_operand(GraphBox* graph, PyObject* obj) {
    if (is_tracer(obj)) {
        auto* t = reinterpret_cast<TracerObject*>(obj);
        if (t->graph != graph) raise(PyExc_ValueError, "tracers from different scopes");
        return t->node;
    }
    double v;
    if (!try_as_double(obj, &v)) return std::nullopt;
    return user_constant(graph, v);
}

void raise_unsupported_operand(PyObject* obj) {
    std::string tn = type_name(obj);
    raise_format(PyExc_TypeError, "unsupported operand for a traced value: %s", tn.c_str());
}

namespace {

TracerObject* as_tracer(PyObject* self) {
    auto* t = reinterpret_cast<TracerObject*>(self);
    check_thread(t->thread, "Tracer");
    return t;
}

void tracer_dealloc(PyObject* self) {
    auto* t = reinterpret_cast<TracerObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (t->thread != current_thread())
        report_foreign_drop("Tracer");
    else
        graph_unref(t->graph);
    PyObject_Free(self);
    Py_DECREF(type);
}

// -- Arithmetic ------------------------------------------------------------------

enum class Arith { Add, Sub, Mul, Div, FloorDiv, Mod };

// x - y is x + (-y); x / y is x * y^-1; x // y is floor(x / y); x % y is
// x - y * floor(x / y), the remainder with the sign of the divisor.
NodeId build_arith(Graph& g, Arith op, NodeId x, NodeId y) {
    switch (op) {
        case Arith::Add: return g.add(x, y);
        case Arith::Sub: return g.add(x, g.neg(y));
        case Arith::Mul: return g.mul(x, y);
        case Arith::Div: return g.mul(x, g.powi(y, -1));
        case Arith::FloorDiv: return g.unary(UnaryOp::Floor, g.mul(x, g.powi(y, -1)));
        case Arith::Mod: {
            NodeId q = g.unary(UnaryOp::Floor, g.mul(x, g.powi(y, -1)));
            return g.add(x, g.neg(g.mul(y, q)));
        }
    }
    throw InternalError("unknown arithmetic operator");
}

// One slot serves both orders: CPython calls it with the tracer on either side.
template <Arith op>
PyObject* arith_slot(PyObject* left, PyObject* right) {
    return guard_obj([&]() -> PyObject* {
        if (is_tracer(left)) {
            TracerObject* t = as_tracer(left);
            if (auto other = to_operand(t->graph, right)) {
                NodeId n;
                {
                    GraphWrite g(t->graph);
                    n = build_arith(*g, op, t->node, *other);
                }
                return new_tracer(t->graph, n);
            }
        }
        if (is_tracer(right)) {
            TracerObject* t = as_tracer(right);
            if (auto other = to_operand(t->graph, left)) {
                NodeId n;
                {
                    GraphWrite g(t->graph);
                    n = build_arith(*g, op, *other, t->node);
                }
                return new_tracer(t->graph, n);
            }
        }
        Py_RETURN_NOTIMPLEMENTED;
    });
}

PyObject* power_slot(PyObject* left, PyObject* right, PyObject* modulus) {
    return guard_obj([&]() -> PyObject* {
        if (modulus != Py_None) Py_RETURN_NOTIMPLEMENTED;
        if (is_tracer(left)) {
            TracerObject* t = as_tracer(left);
            // An exponent that converts to an integer gives an integer power.
            long n = PyLong_AsLong(right);
            if (!(n == -1 && PyErr_Occurred())) {
                NodeId r;
                {
                    GraphWrite g(t->graph);
                    r = g->powi(t->node, static_cast<std::int64_t>(n));
                }
                return new_tracer(t->graph, r);
            }
            PyErr_Clear();
            if (auto other = to_operand(t->graph, right)) {
                NodeId r;
                {
                    GraphWrite g(t->graph);
                    r = g->binary(BinaryOp::Powf, t->node, *other);
                }
                return new_tracer(t->graph, r);
            }
            Py_RETURN_NOTIMPLEMENTED;
        }
        if (is_tracer(right)) {
            TracerObject* t = as_tracer(right);
            if (auto other = to_operand(t->graph, left)) {
                NodeId r;
                {
                    GraphWrite g(t->graph);
                    r = g->binary(BinaryOp::Powf, *other, t->node);
                }
                return new_tracer(t->graph, r);
            }
        }
        Py_RETURN_NOTIMPLEMENTED;
    });
}

PyObject* tracer_negative(PyObject* self) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        NodeId n;
        {
            GraphWrite g(t->graph);
            n = g->neg(t->node);
        }
        return new_tracer(t->graph, n);
    });
}

PyObject* tracer_positive(PyObject* self) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        return new_tracer(t->graph, t->node);
    });
}

PyObject* tracer_absolute(PyObject* self) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        NodeId n;
        {
            GraphWrite g(t->graph);
            n = g->unary(UnaryOp::Abs, t->node);
        }
        return new_tracer(t->graph, n);
    });
}

int tracer_bool(PyObject* self) {
    return guard_int([&]() -> int {
        as_tracer(self);
        raise(PyExc_TypeError,
              "a traced value has no truth value: data-dependent control flow is not traceable, use "
              "vantu.where");
    });
}

PyObject* tracer_float(PyObject* self) {
    return guard_obj([&]() -> PyObject* {
        as_tracer(self);
        raise(PyExc_TypeError, "a traced value cannot be converted to float during tracing");
    });
}

PyObject* tracer_repr(PyObject* self) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        return PyUnicode_FromFormat("Tracer(#%u)", static_cast<unsigned>(t->node));
    });
}

}  // namespace

void register_tracer(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("An expression handle into a scope's graph.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(tracer_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(tracer_repr)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_nb_add, reinterpret_cast<void*>(arith_slot<Arith::Add>)},
        {Py_nb_subtract, reinterpret_cast<void*>(arith_slot<Arith::Sub>)},
        {Py_nb_multiply, reinterpret_cast<void*>(arith_slot<Arith::Mul>)},
        {Py_nb_true_divide, reinterpret_cast<void*>(arith_slot<Arith::Div>)},
        {Py_nb_floor_divide, reinterpret_cast<void*>(arith_slot<Arith::FloorDiv>)},
        {Py_nb_remainder, reinterpret_cast<void*>(arith_slot<Arith::Mod>)},
        {Py_nb_power, reinterpret_cast<void*>(power_slot)},
        {Py_nb_negative, reinterpret_cast<void*>(tracer_negative)},
        {Py_nb_positive, reinterpret_cast<void*>(tracer_positive)},
        {Py_nb_absolute, reinterpret_cast<void*>(tracer_absolute)},
        {Py_nb_bool, reinterpret_cast<void*>(tracer_bool)},
        {Py_nb_float, reinterpret_cast<void*>(tracer_float)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"_vantu.Tracer", sizeof(TracerObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    tracer_type = make_type(module, &spec);
    register_public(module, "Tracer", reinterpret_cast<PyObject*>(tracer_type));
}

}  // namespace vantu::py
