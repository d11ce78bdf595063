#include "python/bindings/errors.hpp"

namespace corvane::py {

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc("corvanedb.PanicException",
                                         "A fatal internal failure: a broken invariant or an exhausted resource.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* raise_panic(const char* message) {
    if (PyObject* type = panic_exception_type()) PyErr_SetString(type, message);
    return nullptr;
}

PyObject* raise(const Error& error) {
    switch (error.kind) {
        case ErrorKind::InvalidValue: PyErr_SetString(PyExc_ValueError, error.message.c_str()); break;
        case ErrorKind::WrongState: PyErr_SetString(PyExc_RuntimeError, error.message.c_str()); break;
        case ErrorKind::Io: PyErr_SetString(PyExc_OSError, error.message.c_str()); break;
        case ErrorKind::Fatal: raise_panic(error.message.c_str()); break;
    }
    return nullptr;
}

}  // namespace corvane::py
