#include "python/bindings/types.hpp"

#include <cstring>
#include <vector>

namespace corvane::py {

PyObject* make_heap_type(const char* qualified_name, const char* doc, int basicsize, PyType_Slot* slots) {
    std::vector<PyType_Slot> all;
    for (PyType_Slot* s = slots; s->slot != 0; ++s) all.push_back(*s);
    all.push_back({0, nullptr});
    PyType_Spec type_spec{qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, all.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    // Type creation keeps only the part of a doc slot after the signature; put the whole
    // text back so that __text_signature__ can be derived from it, and leave __doc__ None.
    std::size_t len = std::strlen(doc) + 1;
    char* full = static_cast<char*>(PyObject_Malloc(len));
    if (!full) {
        Py_DECREF(type);
        return PyErr_NoMemory();
    }
    std::memcpy(full, doc, len);
    PyObject_Free(const_cast<char*>(t->tp_doc));
    t->tp_doc = full;
    if (PyDict_SetItemString(t->tp_dict, "__doc__", Py_None) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    PyType_Modified(t);
    return type;
}

}  // namespace corvane::py
