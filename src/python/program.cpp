// The Program class and Scope.compile.
#include "python/program.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "eval/batch.hpp"
#include "eval/interp.hpp"
#include "jit/native_batch.hpp"
#include "python/exchange.hpp"
#include "tape/compile.hpp"

namespace vantu::py {

PyTypeObject* program_type = nullptr;

PyObject* new_program(Tape tape, std::size_t n_inputs, Pattern rows, Pattern cols) {
    auto own_tape = std::make_unique<Tape>(std::move(tape));
    Ref self = check_new(program_type->tp_alloc(program_type, 0));
    auto* p = reinterpret_cast<ProgramObject*>(self.get());
    new (&p->native) std::atomic<NativeCode*>(nullptr);
    p->n_inputs = n_inputs;
    p->n_outputs = own_tape->outputs.size();
    p->tape = own_tape.release();
    p->pattern_rows = rows.release();
    p->pattern_cols = cols.release();
    return self.release();
}

void evaluate(ProgramObject* program, ThreadBuffers& buffers) {
    if (buffers.values.size() != program->n_inputs)
        raise_format(PyExc_ValueError, "expected %zu inputs, got %zu", program->n_inputs, buffers.values.size());
    const Tape& tape = *program->tape;
    const NativeCode* native = program->native.load(std::memory_order_acquire);
    buffers.outputs.resize(program->n_outputs, 0.0);
    if (native) {
        grow_work(buffers.work, native->work_len);
        // Native code may read inputs up to its input width; the places past
        // the values given read as NaN, as in the interpreter.
        if (buffers.values.size() < native->input_width)
            buffers.values.resize(native->input_width, std::numeric_limits<double>::quiet_NaN());
    } else {
        grow_work(buffers.work, tape.work_len());
    }
    auto run = [&] {
        if (native)
            eval_native(*native, buffers.values, buffers.work, buffers.outputs);
        else
            eval(tape, buffers.values, buffers.work, buffers.outputs);
    };
    if (tape.n_ops() < kGilReleaseOps) {
        run();
    } else {
        GilRelease released;
        run();
    }
}

std::vector<NodeId> convert_outputs(GraphBox* graph, PyObject* list) {
    std::vector<NodeId> nodes;
    // A number conversion may run Python code that changes the list, so the
    // size is read at every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        if (is_tracer(item.get())) {
            auto* t = reinterpret_cast<TracerObject*>(item.get());
            // A node id of another graph would name an unrelated node here.
            if (t->graph != graph) raise(PyExc_ValueError, "tracers from different scopes");
            nodes.push_back(t->node);
            continue;
        }
        double v;
        if (!try_as_double(item.get(), &v)) raise(PyExc_TypeError, "outputs must be tracers or numbers");
        nodes.push_back(user_constant(graph, v));
    }
    return nodes;
}

PyObject* compile_program(ScopeObject* scope, std::span<const NodeId> outputs, Pattern rows, Pattern cols) {
    Tape tape;
    {
        GraphRead g(scope->graph);
        tape = compile_tape(*g, outputs, *scope->inputs, scope->inputs->size());
    }
    return new_program(std::move(tape), scope->inputs->size(), std::move(rows), std::move(cols));
}

PyObject* scope_compile(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        ScopeObject* s = as_scope(self);
        BorrowShared borrow(s->borrow);
        static const char* const names[] = {"outputs", nullptr};
        PyObject* a[1];
        bind_args("compile", args, kwargs, names, 1, a);
        if (!PyList_Check(a[0])) raise_arg_type("compile", "outputs", "list", a[0]);
        std::vector<NodeId> nodes = convert_outputs(s->graph, a[0]);
        return compile_program(s, nodes);
    });
}

namespace {

ProgramObject* as_program(PyObject* self) { return reinterpret_cast<ProgramObject*>(self); }

void program_dealloc(PyObject* self) {
    ProgramObject* p = as_program(self);
    PyTypeObject* type = Py_TYPE(self);
    delete p->native.load();
    delete p->tape;
    delete p->pattern_rows;
    delete p->pattern_cols;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* program_eval(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard_obj([&]() -> PyObject* {
        PyObject* out = nullptr;
        if (kwnames) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
                PyObject* name = PyTuple_GET_ITEM(kwnames, i);
                if (PyUnicode_CompareWithASCIIString(name, "out") != 0)
                    raise_format(PyExc_TypeError, "eval() got an unexpected keyword argument '%U'", name);
                out = args[nargs + i];
            }
        }
        TakenBuffers buffers;
        for (Py_ssize_t i = 0; i < nargs; ++i) gather(args[i], buffers->values, buffers->shapes);
        evaluate(as_program(self), *buffers);
        return output_step(buffers->outputs, out);
    });
}

PyObject* program_eval_many(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_obj([&]() -> PyObject* {
        static const char* const names[] = {"inputs", "out", nullptr};
        PyObject* a[2] = {nullptr, nullptr};
        bind_args("eval_many", args, kwargs, names, 1, a);
        ProgramObject* p = as_program(self);
        // Arrays of this call's own: a batch may dwarf any single evaluation,
        // and the thread's buffers would keep its size for good.
        std::vector<double> values;
        std::vector<std::uint64_t> shapes;
        gather(a[0], values, shapes);
        const std::size_t width = std::max<std::size_t>(p->n_inputs, 1);
        if (values.size() % width != 0)
            raise_format(PyExc_ValueError, "%zu inputs are not a whole number of vectors of %zu", values.size(),
                         p->n_inputs);
        std::vector<double> outputs;
        {
            GilRelease released;
            if (const NativeCode* native = p->native.load(std::memory_order_acquire))
                eval_many_native(*native, values, p->n_inputs, outputs);
            else
                eval_many_interpreted(*p->tape, values, p->n_inputs, outputs);
        }
        return output_step(outputs, a[1]);
    });
}

PyObject* program_compile_native(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        ProgramObject* p = as_program(self);
        if (p->native.load(std::memory_order_acquire)) Py_RETURN_NONE;
        NativeCompile result;
        {
            GilRelease released;
            result = compile_native_code(*p->tape);
        }
        if (!result.code) {
            std::string why = result.error ? debug_form(*result.error) : "Unsupported";
            raise_format(PyExc_ValueError, "native compile failed: %s", why.c_str());
        }
        // Another thread may have stored its code meanwhile: the first wins.
        NativeCode* expected = nullptr;
        if (p->native.compare_exchange_strong(expected, result.code.get(), std::memory_order_acq_rel))
            result.code.release();
        Py_RETURN_NONE;
    });
}

PyObject* program_dump(PyObject* self, PyObject*) {
    return guard_obj([&]() -> PyObject* {
        std::string text = as_program(self)->tape->dump();
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* get_n_inputs(PyObject* self, void*) { return PyLong_FromSize_t(as_program(self)->n_inputs); }
PyObject* get_n_outputs(PyObject* self, void*) { return PyLong_FromSize_t(as_program(self)->n_outputs); }
PyObject* get_n_ops(PyObject* self, void*) { return PyLong_FromSize_t(as_program(self)->tape->n_ops()); }

PyObject* get_pattern(PyObject* self, void*) {
    return guard_obj([&]() -> PyObject* {
        ProgramObject* p = as_program(self);
        if (!p->pattern_rows) Py_RETURN_NONE;
        auto to_list = [](const std::vector<std::uint32_t>& v) {
            Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(v.size())));
            for (std::size_t i = 0; i < v.size(); ++i) {
                PyObject* n = PyLong_FromUnsignedLong(v[i]);
                if (!n) raise();
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
            }
            return list;
        };
        Ref rows = to_list(*p->pattern_rows);
        Ref cols = to_list(*p->pattern_cols);
        return check_new(PyTuple_Pack(2, rows.get(), cols.get())).release();
    });
}

PyMethodDef program_methods[] = {
    {"eval", as_cfunc(program_eval), METH_FASTCALL | METH_KEYWORDS,
     "eval($self, *args, out=None)\n--\n\n"
     "Evaluate on the inputs `args` hold back to back (numbers, float64\n"
     "arrays, anything numpy converts). The outputs go into `out` when\n"
     "given, a writable float64 buffer of `n_outputs` values that is\n"
     "returned, else into a new list. A program is shared, not borrowed:\n"
     "threads evaluate it at once, each on its own buffers, and a large one\n"
     "releases the GIL while it runs."},
    {"eval_many", as_cfunc(program_eval_many), METH_VARARGS | METH_KEYWORDS,
     "eval_many($self, inputs, out=None)\n--\n\n"
     "Evaluate `len(inputs) / n_inputs` input vectors laid back to back;\n"
     "their outputs back to back go into `out` or a new list, as in\n"
     "[`Self::eval`]. Natively the instances run in parallel; the GIL is\n"
     "released throughout."},
    {"compile_native", program_compile_native, METH_NOARGS,
     "compile_native($self)\n--\n\n"
     "Compile the tape to native code; evaluation switches over. A large\n"
     "batch of function-body calls runs on the thread pool."},
    {"dump", program_dump, METH_NOARGS, "dump($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef program_getset[] = {
    {"n_inputs", get_n_inputs, nullptr, nullptr, nullptr},
    {"n_outputs", get_n_outputs, nullptr, nullptr, nullptr},
    {"pattern", get_pattern, nullptr,
     "`(rows, cols)` of a sparse Jacobian's outputs, `None` for any other\nprogram.", nullptr},
    {"n_ops", get_n_ops, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void register_program(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("A compiled function: the tape, evaluated by the interpreter or, after\n"
                                      "`compile_native()`, by the native backend.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(program_dealloc)},
        {Py_tp_methods, program_methods},
        {Py_tp_getset, program_getset},
        {0, nullptr},
    };
    static PyType_Spec type_slots = {"_vantu.Program", sizeof(ProgramObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    program_type = make_type(module, &type_slots);
    register_public(module, "Program", reinterpret_cast<PyObject*>(program_type));
}

}  // namespace vantu::py
