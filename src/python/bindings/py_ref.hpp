#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corvane::py {

// An owned reference, released on scope exit.
class Ref {
public:
    explicit Ref(PyObject* p = nullptr) : p_(p) {}
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_;
};

}  // namespace corvane::py
