// Module initialisation: the module object, its three classes in a fixed order, __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/bindings/errors.hpp"
#include "python/bindings/types.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "corvanedb",
    "The main Python module initialization",
    0,  // no per-module state; 0 rather than -1 so that every import runs the check below
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The types are created once per process and belong to the interpreter that first imported
// the module; another interpreter must not share them.
PyInterpreterState* owner_interpreter = nullptr;

int add_class(PyObject* module, const char* name, PyObject* type) {
    if (!type) return -1;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* str = PyUnicode_FromString(name);
    int rc = str ? PyList_Append(all, str) : -1;
    Py_XDECREF(str);
    Py_DECREF(all);
    if (rc < 0) return -1;
    return PyModule_AddObjectRef(module, name, type);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_corvanedb() {
    PyInterpreterState* here = PyInterpreterState_Get();
    if (owner_interpreter && owner_interpreter != here) {
        PyErr_SetString(PyExc_ImportError, "corvanedb cannot be imported into more than one interpreter per process");
        return nullptr;
    }
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    using namespace corvane::py;
    if (!panic_exception_type() ||
        add_class(module, "PyMmapStore", mmap_store_type()) < 0 ||
        add_class(module, "PyGraphEngine", graph_engine_type()) < 0 ||
        add_class(module, "PyMetadataEngine", metadata_engine_type()) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    owner_interpreter = here;
    return module;
}
