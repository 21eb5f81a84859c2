// Our thin layer over the CPython C API: an owning reference type, the one
// error funnel that turns C++ exceptions into Python exceptions, argument
// helpers with the interpreter's wording, thread binding and the object
// borrow flag. Every entry point from CPython runs its body through `guard`,
// so no C++ exception ever crosses the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "graph/error.hpp"

namespace vantu::py {

// -- Owning reference ----------------------------------------------------------

class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference (may be null).
    static Ref steal(PyObject* p) { return Ref(p); }
    // Takes a new reference to a borrowed one.
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// -- Errors ----------------------------------------------------------------

// Thrown when a Python exception is already set and the entry point must
// return its error value.
struct PythonError {};

[[noreturn]] inline void raise() { throw PythonError{}; }

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Checks a new reference from the C API: null means a Python error is set.
inline Ref check_new(PyObject* p) {
    if (!p) raise();
    return Ref::steal(p);
}

// The module's internal-failure exception (a BaseException subclass).
extern PyObject* internal_error;

// Sets the Python error for the exception in flight. Called from a catch
// block only.
void set_error_from_exception() noexcept;

// Runs `body`; a C++ exception becomes a Python error and `error_value` is
// returned instead.
template <class R, class F>
inline R guard(R error_value, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_exception();
        return error_value;
    }
}

template <class F>
inline PyObject* guard_obj(F&& body) noexcept {
    return guard<PyObject*>(nullptr, std::forward<F>(body));
}

template <class F>
inline int guard_int(F&& body) noexcept {
    return guard<int>(-1, std::forward<F>(body));
}

// -- Threads -------------------------------------------------------------------

inline unsigned long current_thread() { return PyThread_get_thread_ident(); }

// Stops with the internal failure unless the calling thread is `owner`.
inline void check_thread(unsigned long owner, const char* class_name) {
    if (owner != current_thread()) {
        throw InternalError(std::string(class_name) +
                            " object was sent to another thread; tracing objects stay on "
                            "the thread that created them");
    }
}

// Reports through the unraisable hook that a tracing object was destroyed on
// a thread other than its own (its contents are leaked, not touched).
void report_foreign_drop(const char* class_name) noexcept;

// -- Object borrow flag --------------------------------------------------------

// 0 free, n > 0 shared by n calls, -1 taken exclusively.
class BorrowShared {
public:
    explicit BorrowShared(int& flag) : flag_(flag) {
        if (flag_ < 0) raise(PyExc_RuntimeError, "Already borrowed");
        ++flag_;
    }
    ~BorrowShared() { --flag_; }
    BorrowShared(const BorrowShared&) = delete;
    BorrowShared& operator=(const BorrowShared&) = delete;

private:
    int& flag_;
};

class BorrowExclusive {
public:
    explicit BorrowExclusive(int& flag) : flag_(flag) {
        if (flag_ != 0) raise(PyExc_RuntimeError, "Already borrowed");
        flag_ = -1;
    }
    ~BorrowExclusive() { flag_ = 0; }
    BorrowExclusive(const BorrowExclusive&) = delete;
    BorrowExclusive& operator=(const BorrowExclusive&) = delete;

private:
    int& flag_;
};

// -- Arguments and conversions -------------------------------------------------

// The short type name of an object, as CPython's type-name query gives it.
std::string type_name(PyObject* obj);

// Binds positional and keyword arguments to the named parameters, with the
// interpreter's wording for missing, surplus, duplicated or unexpected
// arguments. Unfilled optional parameters are left null.
void bind_args(const char* fname, PyObject* args, PyObject* kwargs, const char* const* names,
               int n_required, PyObject** out);

// TypeError "{fname}() argument '{param}' must be {expected}, not {type}".
[[noreturn]] void raise_arg_type(const char* fname, const char* param, const char* expected, PyObject* got);

// The interpreter's float conversion; nullopt (with the error cleared) when
// it refuses the object.
bool try_as_double(PyObject* obj, double* out);

// Appends a name to the module's __all__ (creating it on first use) and sets
// the attribute.
void register_public(PyObject* module, const char* name, PyObject* obj);

// A C function of any of the method signatures, as the PyCFunction that a
// method table stores (the flags tell CPython how to call it).
template <class F>
inline PyCFunction as_cfunc(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Creates a heap type from its slot table (bound to the module).
PyTypeObject* make_type(PyObject* module, PyType_Spec* slots, PyObject* base = nullptr);

}  // namespace vantu::py
