#include "python/bindings/errors.hpp"

#include "python/bindings/py_ref.hpp"

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

namespace {

// OSError whose text is exactly the message, with errno set when the error has a number.
// Setting strerror or filename as well would make str() reword the message as
// "[Errno N] ...", losing its prefix; the path is in the text instead.
void raise_os_error(const Error& error) {
    Ref text(PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
    Ref exc(text ? PyObject_CallOneArg(PyExc_OSError, text.get()) : nullptr);
    if (!exc) return;
    if (error.errnum != 0) {
        Ref number(PyLong_FromLong(error.errnum));
        if (!number || PyObject_SetAttrString(exc.get(), "errno", number.get()) < 0) return;
    }
    PyErr_SetObject(PyExc_OSError, exc.get());
}

}  // namespace

PyObject* raise(const Error& error) {
    switch (error.kind) {
        case ErrorKind::InvalidValue: PyErr_SetString(PyExc_ValueError, error.message.c_str()); break;
        case ErrorKind::WrongState: PyErr_SetString(PyExc_RuntimeError, error.message.c_str()); break;
        case ErrorKind::Io: raise_os_error(error); break;
        case ErrorKind::Fatal: raise_panic(error.message.c_str()); break;
    }
    return nullptr;
}

}  // namespace corvane::py
