// The Method class: a tracer's named elementwise function (`t.sin`,
// `t.arctan2`), bound to the tracer's graph and node. Its type is created on
// first use; it is not a module attribute.
#include <array>
#include <string>

#include "python/objects.hpp"

namespace vantu::py {

namespace {

struct MethodObject {
    PyObject_HEAD
    GraphBox* graph;
    NodeId node;
    MethodKind kind;
    std::uint8_t op;
    unsigned long thread;
    std::string_view name;  // the attribute name, for argument errors (static storage)
};

struct Alias {
    std::string_view name;
    MethodKind kind;
    std::uint8_t op;
};

template <class E>
constexpr std::uint8_t code(E e) {
    return static_cast<std::uint8_t>(e);
}

// Array-library spellings, looked up before the catalogue's own text names.
constexpr std::array<Alias, 17> kAliases = {{
    {"arcsin", MethodKind::Unary, code(UnaryOp::Asin)},
    {"arccos", MethodKind::Unary, code(UnaryOp::Acos)},
    {"arctan", MethodKind::Unary, code(UnaryOp::Atan)},
    {"arcsinh", MethodKind::Unary, code(UnaryOp::Asinh)},
    {"arccosh", MethodKind::Unary, code(UnaryOp::Acosh)},
    {"arctanh", MethodKind::Unary, code(UnaryOp::Atanh)},
    {"log", MethodKind::Unary, code(UnaryOp::Ln)},
    {"fabs", MethodKind::Unary, code(UnaryOp::Abs)},
    {"absolute", MethodKind::Unary, code(UnaryOp::Abs)},
    {"rint", MethodKind::Unary, code(UnaryOp::Round)},
    {"gammaln", MethodKind::Unary, code(UnaryOp::Lgamma)},
    {"gamma", MethodKind::Unary, code(UnaryOp::Tgamma)},
    {"arctan2", MethodKind::Binary, code(BinaryOp::Atan2)},
    {"fmod", MethodKind::Binary, code(BinaryOp::Mod)},
    {"power", MethodKind::Binary, code(BinaryOp::Powf)},
    {"maximum", MethodKind::Reduction, code(ReduceOp::Max)},
    {"minimum", MethodKind::Reduction, code(ReduceOp::Min)},
}};

std::optional<Alias> lookup(std::string_view name) {
    for (const Alias& a : kAliases)
        if (a.name == name) return a;
    for (const OpInfo& row : kUnaryTable)
        if (row.text == name) return Alias{row.text, MethodKind::Unary, row.code};
    for (const OpInfo& row : kBinaryTable)
        if (row.text == name) return Alias{row.text, MethodKind::Binary, row.code};
    return std::nullopt;
}

PyTypeObject* method_type = nullptr;

MethodObject* as_method(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    check_thread(m->thread, "Method");
    return m;
}

void method_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    free_tracing_object(self, m->graph, m->thread, "Method");
}

// The operand of a one-argument method; anything that is neither a tracer
// nor a number is refused by name of its type.
NodeId operand_of(GraphBox* graph, PyObject* arg) {
    auto node = to_operand(graph, arg);
    if (!node) raise_unsupported_operand(arg);
    return *node;
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        MethodObject* m = as_method(self);
        if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
            std::string name(m->name);
            raise_format(PyExc_TypeError, "%s() takes no keyword arguments", name.c_str());
        }
        const Py_ssize_t n_args = PyTuple_GET_SIZE(args);
        const Py_ssize_t wanted = m->kind == MethodKind::Unary ? 0 : 1;
        if (n_args != wanted) raise_format(PyExc_TypeError, "wrong number of arguments: %zd", n_args);
        switch (m->kind) {
            case MethodKind::Unary:
                return traced(m->graph, [&](Graph& g) { return g.unary(static_cast<UnaryOp>(m->op), m->node); });
            case MethodKind::Binary: {
                PyObject* arg = PyTuple_GET_ITEM(args, 0);
                const auto op = static_cast<BinaryOp>(m->op);
                if (op == BinaryOp::Powf) {
                    // Like the power operator with a traced base.
                    auto r = power_node(m->graph, m->node, arg);
                    if (!r) raise_unsupported_operand(arg);
                    return new_tracer(m->graph, *r);
                }
                NodeId other = operand_of(m->graph, arg);
                return traced(m->graph, [&](Graph& g) { return g.binary(op, m->node, other); });
            }
            case MethodKind::Reduction: {
                NodeId other = operand_of(m->graph, PyTuple_GET_ITEM(args, 0));
                const NodeId list[2] = {m->node, other};
                return traced(m->graph, [&](Graph& g) { return g.reduce(static_cast<ReduceOp>(m->op), list); });
            }
        }
        throw InternalError("unknown method kind");
    });
}

PyTypeObject* get_method_type() {
    if (!method_type) {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("A tracer's elementwise function, bound to it (`t.sin`, `t.arctan2`).")},
            {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
            {Py_tp_call, reinterpret_cast<void*>(method_call)},
            {0, nullptr},
        };
        static PyType_Spec type_slots = {"_vantu.Method", sizeof(MethodObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        PyObject* type = PyType_FromSpec(&type_slots);
        if (!type) raise();
        // Kept for the life of the process, like a static type.
        method_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return method_type;
}

}  // namespace

PyObject* new_method(const TracerObject* tracer, std::string_view name) {
    auto hit = lookup(name);
    if (!hit) return nullptr;
    PyTypeObject* type = get_method_type();
    // Methods hold no Python references, so they are plain (non-GC) objects.
    auto* m = static_cast<MethodObject*>(PyObject_Malloc(sizeof(MethodObject)));
    if (!m) throw std::bad_alloc();
    PyObject_Init(reinterpret_cast<PyObject*>(m), type);
    m->graph = graph_ref(tracer->graph);
    m->node = tracer->node;
    m->kind = hit->kind;
    m->op = hit->op;
    m->thread = current_thread();
    m->name = hit->name;
    return reinterpret_cast<PyObject*>(m);
}

}  // namespace vantu::py
