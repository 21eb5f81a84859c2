// The differentiating methods of Scope: gradient, jacobian and
// sparse_jacobian. Each converts its arguments first (conversions may run
// Python code), then takes the graph as writer only for the derivative
// construction, and compiles the resulting nodes over the scope's inputs as
// Scope.compile does.
#include <memory>

#include "autodiff/autodiff.hpp"
#include "python/program.hpp"

namespace vantu::py {

namespace {

// The wrt mapping: a sequence of positions in the scope's input list, each
// mapped to its graph input index; omitted or empty means every handed-out
// input. Entries go through the interpreter's index conversion, so a
// negative or oversized one raises its OverflowError unchanged.
std::vector<std::uint32_t> convert_wrt(const char* fname, const ScopeObject* s, PyObject* wrt) {
    const std::vector<std::uint32_t>& inputs = *s->inputs;
    if (!wrt) return inputs;
    // A str is a sequence too, but of characters, never of indices.
    if (wrt == Py_None || PyUnicode_Check(wrt) || !PySequence_Check(wrt))
        raise_arg_type(fname, "wrt", "a sequence of int", wrt);
    // A tuple copy: converting an entry may run Python code that changes a
    // list in place.
    Ref items = check_new(PySequence_Tuple(wrt));
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n == 0) return inputs;
    std::vector<std::uint32_t> mapped;
    mapped.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = check_new(PyNumber_Index(PyTuple_GET_ITEM(items.get(), i)));
        std::size_t k = PyLong_AsSize_t(index.get());
        if (k == static_cast<std::size_t>(-1) && PyErr_Occurred()) raise();
        if (k >= inputs.size()) raise_format(PyExc_ValueError, "input index %zu out of range", k);
        mapped.push_back(inputs[k]);
    }
    return mapped;
}

// Binds (outputs, wrt) of jacobian and sparse_jacobian, converts both and
// returns the Jacobian rows with the column count.
std::vector<JacobianRow> jacobian_of(const char* fname, ScopeObject* s, PyObject* args, PyObject* kwargs,
                                     std::size_t* n_cols) {
    static const char* const names[] = {"outputs", "wrt", nullptr};
    PyObject* a[2];
    bind_args(fname, args, kwargs, names, 1, a);
    if (!PyList_Check(a[0])) raise_arg_type(fname, "outputs", "list", a[0]);
    std::vector<NodeId> outputs = convert_outputs(s->graph, a[0]);
    std::vector<std::uint32_t> wrt = convert_wrt(fname, s, a[1]);
    *n_cols = wrt.size();
    GraphWrite g(s->graph);
    return jacobian_rows(*g, outputs, wrt);
}

}  // namespace

PyObject* scope_gradient(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        ScopeObject* s = as_scope(self);
        BorrowShared borrow(s->borrow);
        static const char* const names[] = {"output", "wrt", nullptr};
        PyObject* a[2];
        bind_args("gradient", args, kwargs, names, 1, a);
        if (!is_tracer(a[0])) raise_arg_type("gradient", "output", "Tracer", a[0]);
        auto* t = reinterpret_cast<TracerObject*>(a[0]);
        // A node id of another graph would name an unrelated node here.
        if (t->graph != s->graph) raise(PyExc_ValueError, "tracers from different scopes");
        NodeId root = t->node;
        std::vector<std::uint32_t> wrt = convert_wrt("gradient", s, a[1]);
        std::vector<NodeId> nodes;
        {
            GraphWrite g(s->graph);
            nodes = gradient(*g, root, wrt);
        }
        return compile_program(s, nodes);
    });
}

PyObject* scope_jacobian(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        ScopeObject* s = as_scope(self);
        BorrowShared borrow(s->borrow);
        std::size_t n = 0;
        std::vector<JacobianRow> rows = jacobian_of("jacobian", s, args, kwargs, &n);
        // Row-major m x n; structural zeros are the graph's constant 0.0.
        std::vector<NodeId> dense(rows.size() * n, NodeId{0});
        for (std::size_t r = 0; r < rows.size(); ++r)
            for (const JacobianEntry& e : rows[r]) dense[r * n + e.column] = e.node;
        return compile_program(s, dense);
    });
}

PyObject* scope_sparse_jacobian(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        ScopeObject* s = as_scope(self);
        BorrowShared borrow(s->borrow);
        std::size_t n = 0;
        std::vector<JacobianRow> rows = jacobian_of("sparse_jacobian", s, args, kwargs, &n);
        std::vector<NodeId> entries;
        auto pattern_rows = std::make_unique<std::vector<std::uint32_t>>();
        auto pattern_cols = std::make_unique<std::vector<std::uint32_t>>();
        for (std::size_t r = 0; r < rows.size(); ++r) {
            for (const JacobianEntry& e : rows[r]) {
                entries.push_back(e.node);
                pattern_rows->push_back(static_cast<std::uint32_t>(r));
                pattern_cols->push_back(e.column);
            }
        }
        return compile_program(s, entries, std::move(pattern_rows), std::move(pattern_cols));
    });
}

}  // namespace vantu::py
