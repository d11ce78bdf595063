#pragma once
// Heap type creation with CPython's text-signature convention: the class doc is the class
// name and constructor signature, then "\n--\n\n" and nothing else, so inspect.signature
// works and __doc__ is None.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Method table entries for the two calling conventions the classes use.
#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS
#define NOARGS(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_NOARGS

namespace corvane::py {

// `doc` is e.g. "PyGraphEngine()\n--\n\n"; `slots` need no Py_tp_doc entry. Returns a new
// reference or nullptr.
PyObject* make_heap_type(const char* qualified_name, const char* doc, int basicsize, PyType_Slot* slots);

// tp_dealloc for an object whose C++ members were constructed in place: runs their
// destructors, then frees the object and drops its reference to its heap type.
template <class Object>
void dealloc_object(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Object*>(self)->~Object();
    type->tp_free(self);
    Py_DECREF(type);
}

// The type of a class whose instances are `Object`: its constructor, destructor and methods.
template <class Object>
PyObject* make_class_type(const char* qualified_name, const char* doc, newfunc tp_new, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_object<Object>)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    return make_heap_type(qualified_name, doc, static_cast<int>(sizeof(Object)), slots);
}

// Each class's type object, created once per process on first use (borrowed references).
PyObject* mmap_store_type();
PyObject* graph_engine_type();
PyObject* metadata_engine_type();

}  // namespace corvane::py
