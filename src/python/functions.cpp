// The module functions select, reduce, matmul and solve. They accept
// numbers as well as tracers, so each first finds its scope from the first
// tracer among its operands, then converts every operand in argument order.
// User iterables are consumed completely before the graph is taken.
#include <span>
#include <string>
#include <vector>

#include "python/objects.hpp"

namespace vantu::py {

namespace {

// Every item of an iterable, in order (iteration errors propagate).
std::vector<Ref> collect(PyObject* iterable) {
    std::vector<Ref> items;
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(iterable);
        items.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) items.push_back(Ref::borrow(PySequence_Fast_GET_ITEM(iterable, i)));
        return items;
    }
    Ref it = check_new(PyObject_GetIter(iterable));
    while (PyObject* item = PyIter_Next(it.get())) items.push_back(Ref::steal(item));
    if (PyErr_Occurred()) raise();
    return items;
}

// The graph of the first tracer among the operands.
GraphBox* find_graph(std::span<const Ref> first, std::span<const Ref> second = {}) {
    for (auto part : {first, second}) {
        for (const Ref& item : part) {
            if (is_tracer(item.get())) {
                auto* t = reinterpret_cast<TracerObject*>(item.get());
                check_thread(t->thread, "Tracer");
                return t->graph;
            }
        }
    }
    raise(PyExc_TypeError, "a traced operand is needed");
}

// The nodes of the operands in order; the first error, or the first item
// that is no operand, stops the conversion (nodes already made stay).
std::vector<NodeId> convert(GraphBox* graph, std::span<const Ref> items) {
    std::vector<NodeId> nodes;
    nodes.reserve(items.size());
    for (const Ref& item : items) {
        auto node = to_operand(graph, item.get());
        if (!node) raise_unsupported_operand(item.get());
        nodes.push_back(*node);
    }
    return nodes;
}

// A new list of tracers on `nodes`.
PyObject* tracer_list(GraphBox* graph, const std::vector<NodeId>& nodes) {
    Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
    for (std::size_t i = 0; i < nodes.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_tracer(graph, nodes[i]));
    return list.release();
}

PyObject* fn_select(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"cond", "a", "b", nullptr};
        PyObject* a[3];
        bind_args("select", args, kwargs, names, 3, a);
        const Ref operands[3] = {Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2])};
        GraphBox* graph = find_graph(operands);
        std::vector<NodeId> n = convert(graph, operands);
        return traced(graph, [&](Graph& g) { return g.select(n[0], n[1], n[2]); });
    });
}

PyObject* fn_reduce(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"op", "xs", nullptr};
        PyObject* a[2];
        bind_args("reduce", args, kwargs, names, 2, a);
        if (!PyUnicode_Check(a[0])) raise_arg_type("reduce", "op", "str", a[0]);
        struct Name {
            const char* text;
            ReduceOp op;
        };
        static const Name kNames[] = {
            {"sum", ReduceOp::Sum}, {"product", ReduceOp::Product}, {"min", ReduceOp::Min}, {"max", ReduceOp::Max}};
        const Name* hit = nullptr;
        for (const Name& n : kNames)
            if (PyUnicode_CompareWithASCIIString(a[0], n.text) == 0) hit = &n;
        if (!hit) raise_format(PyExc_ValueError, "unknown reduction '%U'", a[0]);
        std::vector<Ref> items = collect(a[1]);
        GraphBox* graph = find_graph(items);
        std::vector<NodeId> nodes = convert(graph, items);
        return traced(graph, [&](Graph& g) { return g.reduce(hit->op, nodes); });
    });
}

PyObject* fn_matmul(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"a", "b", "n", nullptr};
        PyObject* a[3];
        bind_args("matmul", args, kwargs, names, 3, a);
        if (!PyIndex_Check(a[2])) raise_arg_type("matmul", "n", "int", a[2]);
        const std::size_t n = PyLong_AsSize_t(check_new(PyNumber_Index(a[2])).get());
        if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) raise();
        std::vector<Ref> items_a = collect(a[0]);
        std::vector<Ref> items_b = collect(a[1]);
        GraphBox* graph = find_graph(items_a, items_b);
        std::vector<NodeId> left = convert(graph, items_a);
        std::vector<NodeId> right = convert(graph, items_b);
        const std::size_t len_a = left.size(), len_b = right.size();
        if (n == 0 || len_b < n || len_b % n != 0 || len_a % (len_b / n) != 0)
            raise(PyExc_ValueError, "matmul takes the m*k entries of a and the k*n of b");
        const std::size_t k = len_b / n, m = len_a / k;
        if (m != 0 && n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / m) {
            PyErr_NoMemory();
            raise();
        }
        std::vector<NodeId> entries;
        entries.reserve(m * n);
        std::vector<NodeId> column(k);
        {
            GraphWrite g(graph);
            for (std::size_t i = 0; i < m; ++i) {
                std::span<const NodeId> row(left.data() + i * k, k);
                for (std::size_t j = 0; j < n; ++j) {
                    for (std::size_t t = 0; t < k; ++t) column[t] = right[j + t * n];
                    entries.push_back(g->dot(row, column));
                }
            }
        }
        return tracer_list(graph, entries);
    });
}

PyObject* fn_solve(PyObject*, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"a", "b", nullptr};
        PyObject* a[2];
        bind_args("solve", args, kwargs, names, 2, a);
        std::vector<Ref> items_a = collect(a[0]);
        std::vector<Ref> items_b = collect(a[1]);
        GraphBox* graph = find_graph(items_a, items_b);
        std::vector<NodeId> matrix = convert(graph, items_a);
        std::vector<NodeId> rhs = convert(graph, items_b);
        const std::size_t n = rhs.size();
        std::size_t n_squared = 0;
        if (__builtin_mul_overflow(n, n, &n_squared) || matrix.size() != n_squared)
            raise(PyExc_ValueError, "solve takes the n*n entries of a and the n of b");
        std::vector<NodeId> x;
        {
            GraphWrite g(graph);
            x = g->solve(matrix, rhs);
        }
        return tracer_list(graph, x);
    });
}

PyMethodDef kFunctions[] = {
    {"select", as_cfunc(fn_select), METH_VARARGS | METH_KEYWORDS,
     "select(cond, a, b)\n--\n\n`where(cond, a, b)` over tracers and numbers of one scope."},
    {"matmul", as_cfunc(fn_matmul), METH_VARARGS | METH_KEYWORDS,
     "matmul(a, b, n)\n--\n\n"
     "`a @ b` for the `m * k` entries of `a` and the `k * n` of `b`, both\n"
     "row-major: the `m * n` entries of the product, each one `Dot` node. The\n"
     "rows against one column fuse into a `Gemv` kernel once compiled, against\n"
     "several columns into a `Gemm`."},
    {"reduce", as_cfunc(fn_reduce), METH_VARARGS | METH_KEYWORDS,
     "reduce(op, xs)\n--\n\n"
     "A reduction (`\"sum\"`, `\"product\"`, `\"min\"`, `\"max\"`) over an iterable,\n"
     "one `Reduce` node in the reference fold order."},
    {"solve", as_cfunc(fn_solve), METH_VARARGS | METH_KEYWORDS,
     "solve(a, b)\n--\n\n"
     "The solution of the dense system `A x = b`, `a` the `n*n` entries\n"
     "row-major and `b` the `n` right-hand sides: one pivoting kernel in the\n"
     "compiled program, differentiable."},
};

}  // namespace

void register_functions(PyObject* module) {
    Ref module_name = check_new(PyModule_GetNameObject(module));
    for (PyMethodDef& def : kFunctions) {
        Ref fn = check_new(PyCFunction_NewEx(&def, nullptr, module_name.get()));
        register_public(module, def.ml_name, fn.get());
    }
}

}  // namespace vantu::py
