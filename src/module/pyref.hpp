// Owning reference to a Python object, and the buffer a view is made on.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pelorin::py {

class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) {}  // steals
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref& r) : o_(r.o_) { Py_XINCREF(o_); }
    Ref(Ref&& r) noexcept : o_(r.o_) { r.o_ = nullptr; }
    Ref& operator=(Ref r) noexcept {
        std::swap(o_, r.o_);
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }

    PyObject* get() const { return o_; }
    PyObject* release() {
        PyObject* o = o_;
        o_ = nullptr;
        return o;
    }
    explicit operator bool() const { return o_ != nullptr; }

private:
    PyObject* o_ = nullptr;
};

// A buffer obtained from an exporter, released when the holder goes.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& b) noexcept : buf_(b.buf_), held_(b.held_) { b.held_ = false; }
    Buffer& operator=(Buffer&& b) noexcept {
        if (this != &b) {
            release();
            buf_ = b.buf_;
            held_ = b.held_;
            b.held_ = false;
        }
        return *this;
    }
    ~Buffer() { release(); }

    // Requests a buffer with strides, format and write access; false with
    // the exporter's exception set on failure.
    bool acquire(PyObject* o) {
        release();
        if (PyObject_GetBuffer(o, &buf_, PyBUF_FULL) != 0) return false;
        held_ = true;
        return true;
    }
    void release() {
        if (held_) {
            PyBuffer_Release(&buf_);
            held_ = false;
        }
    }
    const Py_buffer& view() const { return buf_; }

private:
    Py_buffer buf_{};
    bool held_ = false;
};

}  // namespace pelorin::py
