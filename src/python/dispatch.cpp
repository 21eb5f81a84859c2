// The Dispatch class: one compiled program per combination of argument
// shapes for a traced function. Tracing is the subclass's business
// (`_trace(shapes)`); a call on a cached shape runs no Python code of the
// subclass.
#include <mutex>
#include <unordered_map>

#include "python/exchange.hpp"
#include "python/program.hpp"

namespace vantu::py {

namespace {

PyTypeObject* dispatch_type = nullptr;

struct ShapeHash {
    std::size_t operator()(const std::vector<std::uint64_t>& key) const noexcept {
        std::uint64_t h = key.size() * 0x9e3779b97f4a7c15ull;
        for (std::uint64_t v : key) h = table_mix(h ^ v);
        return static_cast<std::size_t>(h);
    }
};

// (program, result shape): two strong references.
struct Entry {
    Ref program;
    Ref shape;
};

struct Cache {
    std::mutex mutex;
    std::unordered_map<std::vector<std::uint64_t>, Entry, ShapeHash> map;
};

struct DispatchObject {
    PyObject_HEAD
    PyObject* empty;  // numpy.empty
    Cache* cache;
};

DispatchObject* as_dispatch(PyObject* self) { return reinterpret_cast<DispatchObject*>(self); }

PyObject* dispatch_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        // Any arguments are accepted and ignored: they belong to subclasses.
        Ref numpy = check_new(PyImport_ImportModule("numpy"));
        Ref empty = check_new(PyObject_GetAttrString(numpy.get(), "empty"));
        auto cache = std::make_unique<Cache>();
        Ref self = check_new(type->tp_alloc(type, 0));
        DispatchObject* d = as_dispatch(self.get());
        d->empty = empty.release();
        d->cache = cache.release();
        return self.release();
    });
}

int dispatch_traverse(PyObject* self, visitproc visit, void* arg) {
    DispatchObject* d = as_dispatch(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(d->empty);
    if (d->cache) {
        for (auto& [key, entry] : d->cache->map) {
            Py_VISIT(entry.program.get());
            Py_VISIT(entry.shape.get());
        }
    }
    return 0;
}

int dispatch_clear(PyObject* self) {
    DispatchObject* d = as_dispatch(self);
    Py_CLEAR(d->empty);
    if (d->cache) {
        // Release the references outside the map, whose destructors may run
        // Python code.
        decltype(d->cache->map) old;
        {
            std::lock_guard<std::mutex> lock(d->cache->mutex);
            old.swap(d->cache->map);
        }
    }
    return 0;
}

void dispatch_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    dispatch_clear(self);
    delete as_dispatch(self)->cache;
    as_dispatch(self)->cache = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

// The shapes tuple handed to _trace: None for a 0-dimensional argument,
// else a tuple of its sizes.
Ref shapes_tuple(const std::vector<std::uint64_t>& record) {
    Ref items = check_new(PyList_New(0));
    for (std::size_t i = 0; i < record.size();) {
        std::uint64_t nd = record[i++];
        if (nd == 0) {
            if (PyList_Append(items.get(), Py_None) < 0) raise();
            continue;
        }
        Ref dims = check_new(PyTuple_New(static_cast<Py_ssize_t>(nd)));
        for (std::uint64_t d = 0; d < nd; ++d) {
            PyObject* n = PyLong_FromUnsignedLongLong(record[i++]);
            if (!n) raise();
            PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(d), n);
        }
        if (PyList_Append(items.get(), dims.get()) < 0) raise();
    }
    return check_new(PyList_AsTuple(items.get()));
}

Entry lookup(PyObject* self, const std::vector<std::uint64_t>& record) {
    Cache& cache = *as_dispatch(self)->cache;
    {
        std::lock_guard<std::mutex> lock(cache.mutex);
        auto it = cache.map.find(record);
        if (it != cache.map.end()) return it->second;
    }
    // A miss: trace without the lock (the hook runs Python code).
    Ref shapes = shapes_tuple(record);
    static PyObject* trace_name = PyUnicode_InternFromString("_trace");
    if (!trace_name) raise();
    Ref result = check_new(PyObject_CallMethodOneArg(self, trace_name, shapes.get()));
    if (!PyTuple_Check(result.get())) {
        std::string tn = type_name(result.get());
        raise_format(PyExc_TypeError, "_trace() must return a tuple (program, result shape), not %s", tn.c_str());
    }
    Py_ssize_t len = PyTuple_GET_SIZE(result.get());
    if (len != 2)
        raise_format(PyExc_ValueError, "expected tuple of length %d, but got tuple of length %zd", 2, len);
    PyObject* program = PyTuple_GET_ITEM(result.get(), 0);
    PyObject* shape = PyTuple_GET_ITEM(result.get(), 1);
    if (!is_program(program)) {
        std::string tn = type_name(program);
        raise_format(PyExc_TypeError, "_trace() result item 0 must be a Program, not %s", tn.c_str());
    }
    if (shape != Py_None && !PyTuple_Check(shape)) {
        std::string tn = type_name(shape);
        raise_format(PyExc_TypeError, "_trace() result item 1 must be None or a tuple, not %s", tn.c_str());
    }
    Entry entry{Ref::borrow(program), Ref::borrow(shape)};
    Entry replaced;
    {
        std::lock_guard<std::mutex> lock(cache.mutex);
        Entry& slot = cache.map[record];
        replaced = std::move(slot);  // released after the lock
        slot = entry;
    }
    return entry;
}

PyObject* dispatch_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        if (kwargs && PyDict_GET_SIZE(kwargs) != 0)
            raise(PyExc_TypeError, "a traced function takes positional arguments only");
        TakenBuffers buffers;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
            gather(PyTuple_GET_ITEM(args, i), buffers->values, buffers->shapes);
        Entry entry = lookup(self, buffers->shapes);
        auto* program = reinterpret_cast<ProgramObject*>(entry.program.get());
        evaluate(program, *buffers);
        if (entry.shape.get() == Py_None) {
            if (buffers->outputs.empty())
                raise(PyExc_ValueError, "the traced program has no outputs, so it has no scalar result");
            return PyFloat_FromDouble(buffers->outputs[0]);
        }
        Ref array = check_new(PyObject_CallOneArg(as_dispatch(self)->empty, entry.shape.get()));
        Ref written = Ref::steal(output_step(buffers->outputs, array.get()));
        return array.release();
    });
}

PyObject* dispatch_program(PyObject* self, PyObject* args) {
    return guard_obj([&]() -> PyObject* {
        std::vector<double> values;
        std::vector<std::uint64_t> shapes;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) gather(PyTuple_GET_ITEM(args, i), values, shapes);
        return lookup(self, shapes).program.release();
    });
}

PyMethodDef dispatch_methods[] = {
    {"program", dispatch_program, METH_VARARGS,
     "program($self, *args)\n--\n\nThe program traced for the shapes of `args`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void register_dispatch(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(
                        "Dispatch(*_args, **_kwargs)\n--\n\n"
                        "A traced function's programs by argument shapes, the base of the Python\n"
                        "`Compiled`. A call gathers the arguments, looks the program up by their\n"
                        "shapes and evaluates it, all here; a new shape asks the subclass's\n"
                        "`_trace(shapes)` for the program and the shape of its result (`None`\n"
                        "for a scalar).")},
        {Py_tp_new, reinterpret_cast<void*>(dispatch_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dispatch_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(dispatch_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(dispatch_clear)},
        {Py_tp_call, reinterpret_cast<void*>(dispatch_call)},
        {Py_tp_methods, dispatch_methods},
        {0, nullptr},
    };
    static PyType_Spec type_slots = {"_vantu.Dispatch", sizeof(DispatchObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    dispatch_type = make_type(module, &type_slots);
    register_public(module, "Dispatch", reinterpret_cast<PyObject*>(dispatch_type));
}

}  // namespace vantu::py
