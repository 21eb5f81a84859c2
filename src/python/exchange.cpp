#include "python/exchange.hpp"

#include <cstring>
#include <string_view>

namespace vantu::py {

// -- Per-thread buffers ----------------------------------------------------------

namespace {
thread_local ThreadBuffers tls_buffers;
}

TakenBuffers::TakenBuffers() : buffers_(std::move(tls_buffers)) {
    tls_buffers = ThreadBuffers{};
    buffers_.values.clear();
    buffers_.shapes.clear();
}

TakenBuffers::~TakenBuffers() { tls_buffers = std::move(buffers_); }

// -- Buffers -------------------------------------------------------------------

namespace {

// A buffer view released on every path.
class BufferView {
public:
    BufferView() = default;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    // Requests a strided view with its format; false (error cleared) when the
    // object refuses.
    bool acquire(PyObject* obj) {
        if (!PyObject_CheckBuffer(obj)) return false;
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }

    // A native float64 buffer: 8-byte items of format "d", "<d", "=d" or
    // "@d" (a missing format means "B"), 8-byte aligned.
    bool native_f64() const {
        if (view_.itemsize != 8) return false;
        std::string_view f = view_.format ? view_.format : "B";
        if (f != "d" && f != "<d" && f != "=d" && f != "@d") return false;
        return reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0;
    }

    std::size_t count() const { return static_cast<std::size_t>(view_.len) / 8; }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Visits the items of a strided buffer in row-major order.
template <class F>
void for_each_item(const Py_buffer& v, F&& visit) {
    char* base = static_cast<char*>(v.buf);
    if (v.ndim == 0 || PyBuffer_IsContiguous(&v, 'C')) {
        std::size_t n = static_cast<std::size_t>(v.len) / 8;
        for (std::size_t i = 0; i < n; ++i) visit(base + 8 * i);
        return;
    }
    const int nd = v.ndim;
    for (int d = 0; d < nd; ++d)
        if (v.shape[d] == 0) return;
    std::vector<Py_ssize_t> index(static_cast<std::size_t>(nd), 0);
    char* p = base;
    for (;;) {
        visit(p);
        int d = nd - 1;
        for (; d >= 0; --d) {
            if (++index[d] < v.shape[d]) {
                p += v.strides[d];
                break;
            }
            p -= v.strides[d] * (v.shape[d] - 1);
            index[d] = 0;
        }
        if (d < 0) return;
    }
}

bool gather_once(PyObject* arg, std::vector<double>& values, std::vector<std::uint64_t>& shapes) {
    // 1. A float, subclasses included.
    if (PyFloat_Check(arg)) {
        values.push_back(PyFloat_AS_DOUBLE(arg));
        shapes.push_back(0);
        return true;
    }
    // 2. A list or tuple of numbers.
    if (PyList_Check(arg) || PyTuple_Check(arg)) {
        const std::size_t mark = values.size();
        const bool list = PyList_Check(arg);
        bool ok = true;
        for (Py_ssize_t i = 0;; ++i) {
            // A conversion may run Python code that changes the list.
            Py_ssize_t size = list ? PyList_GET_SIZE(arg) : PyTuple_GET_SIZE(arg);
            if (i >= size) break;
            Ref item = Ref::borrow(list ? PyList_GET_ITEM(arg, i) : PyTuple_GET_ITEM(arg, i));
            double v;
            if (!try_as_double(item.get(), &v)) {
                ok = false;
                break;
            }
            values.push_back(v);
        }
        if (ok) {
            shapes.push_back(1);
            shapes.push_back(values.size() - mark);
            return true;
        }
        values.resize(mark);
    }
    // 3. A native float64 buffer of any dimensions and strides.
    {
        BufferView buf;
        if (buf.acquire(arg) && buf.native_f64()) {
            const Py_buffer& v = buf.view();
            shapes.push_back(static_cast<std::uint64_t>(v.ndim));
            for (int d = 0; d < v.ndim; ++d) shapes.push_back(static_cast<std::uint64_t>(v.shape[d]));
            std::size_t at = values.size();
            values.resize(at + buf.count(), 0.0);
            double* dst = values.data() + at;
            for_each_item(v, [&](const char* p) { std::memcpy(dst++, p, 8); });
            return true;
        }
    }
    // 4. Any other number.
    double v;
    if (try_as_double(arg, &v)) {
        values.push_back(v);
        shapes.push_back(0);
        return true;
    }
    return false;
}

}  // namespace

void gather(PyObject* arg, std::vector<double>& values, std::vector<std::uint64_t>& shapes) {
    if (gather_once(arg, values, shapes)) return;
    // 5. numpy converts the rest: nested lists, other dtypes, byte orders.
    Ref numpy = check_new(PyImport_ImportModule("numpy"));
    Ref array = check_new(PyObject_CallMethod(numpy.get(), "asarray", "Os", arg, "float64"));
    if (gather_once(array.get(), values, shapes)) return;
    std::string tn = type_name(array.get());
    raise_format(PyExc_TypeError, "numpy.asarray gave %s, not a float64 buffer", tn.c_str());
}

PyObject* output_step(std::span<const double> values, PyObject* out) {
    if (!out || out == Py_None) {
        Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (std::size_t i = 0; i < values.size(); ++i) {
            PyObject* f = PyFloat_FromDouble(values[i]);
            if (!f) raise();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
        }
        return list.release();
    }
    BufferView buf;
    if (!buf.acquire(out) || !buf.native_f64()) raise(PyExc_TypeError, "out takes a buffer of float64");
    if (buf.view().readonly) raise(PyExc_BufferError, "cannot write to read-only buffer");
    if (buf.count() != values.size())
        raise_format(PyExc_BufferError, "slice to copy from (of length %zu) does not match buffer length of %zu",
                     values.size(), buf.count());
    const double* src = values.data();
    for_each_item(buf.view(), [&](const char* p) { std::memcpy(const_cast<char*>(p), src++, 8); });
    Py_INCREF(out);
    return out;
}

}  // namespace vantu::py
