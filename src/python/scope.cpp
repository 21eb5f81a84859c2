// The Scope class: an open graph that hands out input tracers and closes
// into programs.
#include <memory>
#include <string>

#include "python/objects.hpp"
#include "python/program.hpp"

namespace vantu::py {

PyTypeObject* scope_type = nullptr;

namespace {

PyObject* scope_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {nullptr};
        PyObject* none[1];
        bind_args("Scope", args, kwargs, names, 0, none);
        auto inputs = std::make_unique<std::vector<std::uint32_t>>();
        auto graph = std::make_unique<GraphBox>();
        Ref self = check_new(type->tp_alloc(type, 0));
        auto* s = reinterpret_cast<ScopeObject*>(self.get());
        s->thread = current_thread();
        s->borrow = 0;
        s->inputs = inputs.release();
        s->graph = graph.release();
        return self.release();
    });
}

void scope_dealloc(PyObject* self) {
    auto* s = reinterpret_cast<ScopeObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (s->graph) {
        if (s->thread != current_thread()) {
            report_foreign_drop("Scope");
        } else {
            delete s->inputs;
            graph_unref(s->graph);
        }
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* scope_input(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        ScopeObject* s = as_scope(self);
        BorrowExclusive borrow(s->borrow);
        static const char* const names[] = {"name", nullptr};
        PyObject* a[1];
        bind_args("input", args, kwargs, names, 0, a);
        std::string name;
        if (a[0] && a[0] != Py_None) {
            if (!PyUnicode_Check(a[0])) raise_arg_type("input", "name", "str or None", a[0]);
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(a[0], &len);
            if (!utf8) raise();
            name.assign(utf8, static_cast<std::size_t>(len));
        } else {
            name = "in" + std::to_string(s->inputs->size());
        }
        NodeId node;
        {
            GraphWrite g(s->graph);
            node = g->input(name);
            s->inputs->push_back(g->node(node).a);
        }
        return new_tracer(s->graph, node);
    });
}

PyObject* scope_constant(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        ScopeObject* s = as_scope(self);
        BorrowShared borrow(s->borrow);
        static const char* const names[] = {"v", nullptr};
        PyObject* a[1];
        bind_args("constant", args, kwargs, names, 1, a);
        double v = PyFloat_AsDouble(a[0]);
        if (v == -1.0 && PyErr_Occurred()) {
            // A refusal of the kind names the parameter; any other error of
            // the conversion (overflow, an error raised by __float__) stands.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise();
            PyErr_Clear();
            raise_arg_type("constant", "v", "a real number", a[0]);
        }
        return new_tracer(s->graph, user_constant(s->graph, v));
    });
}

PyObject* scope_n_inputs(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        ScopeObject* s = as_scope(self);
        BorrowShared borrow(s->borrow);
        return PyLong_FromSize_t(s->inputs->size());
    });
}

PyObject* scope_n_nodes(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        ScopeObject* s = as_scope(self);
        BorrowShared borrow(s->borrow);
        GraphRead g(s->graph);
        return PyLong_FromSize_t(g->n_nodes());
    });
}

PyMethodDef scope_methods[] = {
    {"input", as_cfunc(scope_input),
     METH_VARARGS | METH_KEYWORDS, "input($self, name=None)\n--\n\nA new positional input."},
    {"constant", as_cfunc(scope_constant),
     METH_VARARGS | METH_KEYWORDS, "constant($self, v)\n--\n\nA constant of this scope."},
    {"n_inputs", scope_n_inputs, METH_NOARGS, "n_inputs($self)\n--\n\nNumber of inputs handed out."},
    {"n_nodes", scope_n_nodes, METH_NOARGS, "n_nodes($self)\n--\n\nNumber of nodes in the graph."},
    {"compile", as_cfunc(scope_compile), METH_VARARGS | METH_KEYWORDS,
     "compile($self, outputs)\n--\n\nClose the scope over `outputs` into a program."},
    {"gradient", as_cfunc(scope_gradient), METH_VARARGS | METH_KEYWORDS,
     "gradient($self, output, wrt=...)\n--\n\n"
     "The gradient of one scalar output with respect to `inputs[wrt]`\n"
     "(reverse mode; all inputs when empty)."},
    {"jacobian", as_cfunc(scope_jacobian), METH_VARARGS | METH_KEYWORDS,
     "jacobian($self, outputs, wrt=...)\n--\n\n"
     "The Jacobian `d outputs / d inputs[wrt]` as a program with\n"
     "`len(outputs) * len(wrt)` outputs (row-major); `wrt` are input\n"
     "indices (all inputs when empty)."},
    {"sparse_jacobian", as_cfunc(scope_sparse_jacobian), METH_VARARGS | METH_KEYWORDS,
     "sparse_jacobian($self, outputs, wrt=...)\n--\n\n"
     "The Jacobian `d outputs / d inputs[wrt]` in its nonzeros: a program\n"
     "whose outputs are the structurally nonzero entries, row by row in\n"
     "ascending columns, with that pattern (`Program.pattern`)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_scope(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Scope()\n--\n\nAn open graph: hands out input tracers and closes into programs.")},
        {Py_tp_new, reinterpret_cast<void*>(scope_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(scope_dealloc)},
        {Py_tp_methods, scope_methods},
        {0, nullptr},
    };
    static PyType_Spec type_slots = {"_vantu.Scope", sizeof(ScopeObject), 0, Py_TPFLAGS_DEFAULT, slots};
    scope_type = make_type(module, &type_slots);
    register_public(module, "Scope", reinterpret_cast<PyObject*>(scope_type));
}

}  // namespace vantu::py
