#include "python/binding.hpp"

#include <cstdarg>
#include <exception>
#include <string>

namespace vantu::py {

PyObject* internal_error = nullptr;

void raise_format(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw PythonError{};
}

void set_error_from_exception() noexcept {
    PyObject* internal = internal_error ? internal_error : PyExc_SystemError;
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) PyErr_SetString(internal, "a Python error was signalled but not set");
    } catch (const InternalError& e) {
        PyErr_SetString(internal, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(internal, e.what());
    } catch (...) {
        PyErr_SetString(internal, "unknown C++ exception");
    }
}

void report_foreign_drop(const char* class_name) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    std::string message = std::string(class_name) +
                          " object dropped on a thread other than its own; its graph reference is leaked";
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, tb);
}

std::string type_name(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    const char* s = PyUnicode_AsUTF8(name.get());
    if (!s) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    return s;
}

void bind_args(const char* fname, PyObject* args, PyObject* kwargs, const char* const* names,
               int n_required, PyObject** out) {
    // PyArg_ParseTupleAndKeywords gives exactly the interpreter's wording.
    int n = 0;
    while (names[n]) ++n;
    if (n > 4) throw InternalError("bind_args takes at most four parameters");
    std::string format;
    for (int i = 0; i < n; ++i) {
        if (i == n_required) format += '|';
        format += 'O';
    }
    format += ':';
    format += fname;
    for (int i = 0; i < n; ++i) out[i] = nullptr;
    PyObject* dummy[4] = {nullptr, nullptr, nullptr, nullptr};
    PyObject** slots[4];
    for (int i = 0; i < 4; ++i) slots[i] = i < n ? &out[i] : &dummy[i];
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(names), slots[0],
                                     slots[1], slots[2], slots[3]))
        raise();
}

void raise_arg_type(const char* fname, const char* param, const char* expected, PyObject* got) {
    std::string tn = type_name(got);
    raise_format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", fname, param, expected, tn.c_str());
}

bool try_as_double(PyObject* obj, double* out) {
    if (PyFloat_Check(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    *out = v;
    return true;
}

void register_public(PyObject* module, const char* name, PyObject* obj) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
    if (!all) {
        Ref list = check_new(PyList_New(0));
        if (PyDict_SetItemString(dict, "__all__", list.get()) < 0) raise();
        all = list.get();
    }
    Ref s = check_new(PyUnicode_FromString(name));
    if (PyList_Append(all, s.get()) < 0) raise();
    if (PyModule_AddObjectRef(module, name, obj) < 0) raise();
}

PyTypeObject* make_type(PyObject* module, PyType_Spec* slots, PyObject* base) {
    PyObject* t = PyType_FromModuleAndSpec(module, slots, base);
    if (!t) raise();
    return reinterpret_cast<PyTypeObject*>(t);
}

}  // namespace vantu::py
