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

// Each class's type object, created once per process on first use (borrowed references).
PyObject* mmap_store_type();
PyObject* graph_engine_type();
PyObject* metadata_engine_type();

}  // namespace corvane::py
