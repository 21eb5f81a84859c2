// Module entry: multi-phase initialisation with one exec step that registers
// the classes and functions in the order of __all__.
#include "python/objects.hpp"
#include "python/program.hpp"

namespace vantu::py {
namespace {

const char kInternalErrorDoc[] =
    "A broken internal invariant of vantu (or a tracing object used from another thread).\n"
    "Derives from BaseException, not Exception, so that ordinary error handling does not\n"
    "swallow it.";

int exec_module(PyObject* module) {
    return guard_int([&]() -> int {
        if (!internal_error) {
            internal_error = PyErr_NewExceptionWithDoc("_vantu.InternalError", kInternalErrorDoc,
                                                       PyExc_BaseException, nullptr);
            if (!internal_error) raise();
        }
        if (PyModule_AddObjectRef(module, "InternalError", internal_error) < 0) raise();
        register_scope(module);
        register_tracer(module);
        register_program(module);
        register_dispatch(module);
        register_functions(module);
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vantu", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vantu::py

PyMODINIT_FUNC PyInit__vantu(void) { return PyModuleDef_Init(&vantu::py::module_def); }
