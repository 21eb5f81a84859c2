// The Tracer class: a handle on one node of a scope's graph. Python
// arithmetic on tracers builds new nodes instead of computing numbers.
#include <string>

#include "graph/display.hpp"
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

std::optional<NodeId> power_node(GraphBox* graph, NodeId base, PyObject* exponent) {
    // The integer conversion (ints, bools, __index__) is tried first, before
    // the graph is taken.
    long n = PyLong_AsLong(exponent);
    if (!(n == -1 && PyErr_Occurred())) {
        GraphWrite g(graph);
        return g->powi(base, static_cast<std::int64_t>(n));
    }
    PyErr_Clear();
    auto other = to_operand(graph, exponent);
    if (!other) return std::nullopt;
    GraphWrite g(graph);
    return g->binary(BinaryOp::Powf, base, *other);
}

namespace {

TracerObject* as_tracer(PyObject* self) {
    auto* t = reinterpret_cast<TracerObject*>(self);
    check_thread(t->thread, "Tracer");
    return t;
}

void tracer_dealloc(PyObject* self) {
    auto* t = reinterpret_cast<TracerObject*>(self);
    free_tracing_object(self, t->graph, t->thread, "Tracer");
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
            if (auto other = to_operand(t->graph, right))
                return traced(t->graph, [&](Graph& g) { return build_arith(g, op, t->node, *other); });
        }
        if (is_tracer(right)) {
            TracerObject* t = as_tracer(right);
            if (auto other = to_operand(t->graph, left))
                return traced(t->graph, [&](Graph& g) { return build_arith(g, op, *other, t->node); });
        }
        Py_RETURN_NOTIMPLEMENTED;
    });
}

PyObject* power_slot(PyObject* left, PyObject* right, PyObject* modulus) {
    return guard_obj([&]() -> PyObject* {
        if (modulus != Py_None) Py_RETURN_NOTIMPLEMENTED;
        if (is_tracer(left)) {
            TracerObject* t = as_tracer(left);
            if (auto r = power_node(t->graph, t->node, right)) return new_tracer(t->graph, *r);
            Py_RETURN_NOTIMPLEMENTED;
        }
        if (is_tracer(right)) {
            TracerObject* t = as_tracer(right);
            if (auto other = to_operand(t->graph, left))
                return traced(t->graph, [&](Graph& g) { return g.binary(BinaryOp::Powf, *other, t->node); });
        }
        Py_RETURN_NOTIMPLEMENTED;
    });
}

PyObject* tracer_negative(PyObject* self) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        return traced(t->graph, [&](Graph& g) { return g.neg(t->node); });
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
        return traced(t->graph, [&](Graph& g) { return g.unary(UnaryOp::Abs, t->node); });
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

// -- Text ------------------------------------------------------------------------

// repr shows the expression only while its tree has at most this many nodes,
// so printing a tracer stays cheap however large its expression.
constexpr std::size_t kReprBudget = 200;

PyObject* text_object(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* tracer_repr(PyObject* self) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        std::string text;
        {
            GraphRead g(t->graph);
            if (!fits(*g, t->node, kReprBudget))
                return PyUnicode_FromFormat("Tracer(#%u, over %zu nodes)", static_cast<unsigned>(t->node),
                                            kReprBudget);
            text = "Tracer(";
            text += expr_text(*g, t->node);
            text += ')';
        }
        return text_object(text);
    });
}

PyObject* tracer_expr(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        std::string text;
        {
            GraphRead g(t->graph);
            text = expr_text(*g, t->node);
        }
        return text_object(text);
    });
}

// -- Rounding, select, comparisons ---------------------------------------------

template <UnaryOp op>
PyObject* tracer_unary_method(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        return traced(t->graph, [&](Graph& g) { return g.unary(op, t->node); });
    });
}

PyObject* tracer_select(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        static const char* const names[] = {"cond", "other", nullptr};
        PyObject* a[2];
        bind_args("select", args, kwargs, names, 2, a);
        auto cond = to_operand(t->graph, a[0]);
        if (!cond) raise_unsupported_operand(a[0]);
        auto other = to_operand(t->graph, a[1]);
        if (!other) raise_unsupported_operand(a[1]);
        return traced(t->graph, [&](Graph& g) { return g.select(*cond, t->node, *other); });
    });
}

// CPython calls this slot on the tracer's type for either operand order,
// mirroring the operator when the tracer stands on the right (2 < t arrives
// as t > 2), so `self` is always the tracer.
PyObject* tracer_richcompare(PyObject* self, PyObject* other, int op) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        CmpOp cmp;
        switch (op) {
            case Py_LT: cmp = CmpOp::Lt; break;
            case Py_LE: cmp = CmpOp::Le; break;
            case Py_EQ: cmp = CmpOp::Eq; break;
            case Py_NE: cmp = CmpOp::Ne; break;
            case Py_GT: cmp = CmpOp::Gt; break;
            case Py_GE: cmp = CmpOp::Ge; break;
            default: Py_RETURN_NOTIMPLEMENTED;
        }
        auto o = to_operand(t->graph, other);
        // No operand: CPython's own rules follow (TypeError for ordering,
        // identity for == and !=).
        if (!o) Py_RETURN_NOTIMPLEMENTED;
        return traced(t->graph, [&](Graph& g) { return g.cmp(cmp, t->node, *o); });
    });
}

// -- Attributes ------------------------------------------------------------------

// Real attributes first; only a name they lack is looked up among the
// elementwise function names.
PyObject* tracer_getattro(PyObject* self, PyObject* name) {
    return guard_obj([&]() -> PyObject* {
        TracerObject* t = as_tracer(self);
        // Tracers have no instance dict, so the generic lookup can only find
        // what the type's MRO holds; asking the (cached) type lookup first
        // spares every `t.sin` the cost of raising and clearing an
        // AttributeError.
        if (_PyType_Lookup(Py_TYPE(self), name)) {
            PyObject* found = PyObject_GenericGetAttr(self, name);
            if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
            PyErr_Clear();
        }
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
        if (utf8) {
            if (PyObject* m = new_method(t, std::string_view(utf8, static_cast<std::size_t>(len)))) return m;
        } else {
            PyErr_Clear();  // not encodable (lone surrogates): no function has that name
        }
        raise_format(PyExc_AttributeError, "'Tracer' object has no attribute '%U'", name);
    });
}

PyMethodDef tracer_methods[] = {
    {"expr", tracer_expr, METH_NOARGS, "expr($self)\n--\n\nThe expression as text."},
    {"select", as_cfunc(tracer_select), METH_VARARGS | METH_KEYWORDS,
     "select($self, cond, other)\n--\n\n`cond != 0 ? self : other` (the select node)."},
    {"__floor__", tracer_unary_method<UnaryOp::Floor>, METH_NOARGS, "__floor__($self)\n--\n\n"},
    {"__ceil__", tracer_unary_method<UnaryOp::Ceil>, METH_NOARGS, "__ceil__($self)\n--\n\n"},
    {"__trunc__", tracer_unary_method<UnaryOp::Trunc>, METH_NOARGS, "__trunc__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_tracer(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("An expression handle into a scope's graph.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(tracer_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(tracer_repr)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_richcompare, reinterpret_cast<void*>(tracer_richcompare)},
        {Py_tp_getattro, reinterpret_cast<void*>(tracer_getattro)},
        {Py_tp_methods, tracer_methods},
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
    static PyType_Spec type_slots = {"_vantu.Tracer", sizeof(TracerObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    tracer_type = make_type(module, &type_slots);
    register_public(module, "Tracer", reinterpret_cast<PyObject*>(tracer_type));
}

}  // namespace vantu::py
