#include "python/bindings/args.hpp"

#include <cstring>

namespace corvane::py {

Params::Params(const char* function, std::initializer_list<const char*> names, std::size_t required)
    : function_(function), names_(names), required_(required) {}

bool Params::intern() const {
    if (interned_.size() == names_.size()) return true;
    std::vector<PyObject*> made;
    for (const char* n : names_) {
        PyObject* s = PyUnicode_InternFromString(n);
        if (!s) {
            for (PyObject* m : made) Py_DECREF(m);
            return false;
        }
        made.push_back(s);
    }
    interned_ = std::move(made);  // kept for the life of the process, like the types
    return true;
}

Py_ssize_t Params::slot_of(PyObject* key) const {
    for (std::size_t i = 0; i < interned_.size(); ++i) {
        if (interned_[i] == key) return static_cast<Py_ssize_t>(i);
    }
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < interned_.size(); ++i) {
        if (PyUnicode_Compare(interned_[i], key) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

namespace {

bool check_counts(const Params& p, std::size_t n_params, Py_ssize_t nargs) {
    if (static_cast<std::size_t>(nargs) > n_params) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)", p.function(),
                     n_params, n_params == 1 ? "" : "s", nargs);
        return false;
    }
    return true;
}

}  // namespace

bool Params::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const {
    if (!intern()) return false;
    const std::size_t n = names_.size();
    if (!check_counts(*this, n, nargs)) return false;
    for (std::size_t i = 0; i < n; ++i) slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            // Callers usually pass keywords in declaration order: try that slot first.
            const std::size_t guess = static_cast<std::size_t>(nargs + k);
            Py_ssize_t i = guess < n && interned_[guess] == key ? static_cast<Py_ssize_t>(guess) : slot_of(key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
                return false;
            }
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_, names_[i]);
                return false;
            }
            slots[i] = args[nargs + k];
        }
    }
    for (std::size_t i = 0; i < required_; ++i) {
        if (!slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_, names_[i], i + 1);
            return false;
        }
    }
    return true;
}

bool Params::bind(PyObject* args, PyObject* kwargs, PyObject** slots) const {
    if (!intern()) return false;
    const std::size_t n = names_.size();
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (!check_counts(*this, n, nargs)) return false;
    for (std::size_t i = 0; i < n; ++i) {
        slots[i] = i < static_cast<std::size_t>(nargs) ? PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)) : nullptr;
    }
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t i = slot_of(key);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function_, key);
                return false;
            }
            if (slots[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_, names_[i]);
                return false;
            }
            slots[i] = value;
        }
    }
    for (std::size_t i = 0; i < required_; ++i) {
        if (!slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_, names_[i], i + 1);
            return false;
        }
    }
    return true;
}

namespace {

bool wrong_type(const Params& p, const char* name, const char* expected, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %.200s", p.function(), name, expected,
                 Py_TYPE(obj)->tp_name);
    return false;
}

// str -> UTF-8. A str that cannot be encoded (lone surrogates) is refused with the codec's
// own error, which names the offending position.
bool utf8_of(PyObject* obj, std::string_view& out) {
    Py_ssize_t len = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(len));
    return true;
}

bool utf8_of(PyObject* obj, std::string& out) {
    std::string_view text;
    if (!utf8_of(obj, text)) return false;
    out.assign(text);
    return true;
}

bool to_unsigned(const Params& p, const char* name, PyObject* obj, unsigned long long max, unsigned long long& out) {
    PyObject* index = PyNumber_Index(obj);
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return wrong_type(p, name, "an integer", obj);
        }
        return false;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    bool failed = v == static_cast<unsigned long long>(-1) && PyErr_Occurred();
    if (failed && !PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    if (failed || v > max) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "%s() argument '%s' out of range 0..%llu", p.function(), name, max);
        return false;
    }
    out = v;
    return true;
}

}  // namespace

bool to_string(const Params& p, const char* name, PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return wrong_type(p, name, "str", obj);
    return utf8_of(obj, out);
}

bool to_string_view(const Params& p, const char* name, PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) return wrong_type(p, name, "str", obj);
    return utf8_of(obj, out);
}

bool to_u32(const Params& p, const char* name, PyObject* obj, std::uint32_t& out) {
    unsigned long long v;
    if (!to_unsigned(p, name, obj, 0xFFFFFFFFull, v)) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_u64(const Params& p, const char* name, PyObject* obj, std::uint64_t& out) {
    unsigned long long v;
    if (!to_unsigned(p, name, obj, ~0ull, v)) return false;
    out = v;
    return true;
}

bool to_bool(const Params& p, const char* name, PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    // NumPy's boolean scalar, recognised by its type name so that NumPy is not needed.
    const char* tn = Py_TYPE(obj)->tp_name;
    if (std::strcmp(tn, "numpy.bool_") == 0 || std::strcmp(tn, "numpy.bool") == 0) {
        int t = PyObject_IsTrue(obj);
        if (t < 0) return false;
        out = t != 0;
        return true;
    }
    return wrong_type(p, name, "bool", obj);
}

bool to_string_list(const Params& p, const char* name, PyObject* obj, std::vector<std::string>& out) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return wrong_type(p, name, "a sequence of str", obj);
    // Reading the sequence runs the caller's code; what it raises passes through unchanged,
    // except a TypeError, which says the value does not behave as a sequence.
    PyObject* seq = PySequence_Fast(obj, "");
    if (!seq) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
        return wrong_type(p, name, "a sequence of str", obj);
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    std::vector<std::string> result;
    result.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyUnicode_Check(items[i])) {
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a sequence of str, found an item of type %.200s",
                         p.function(), name, Py_TYPE(items[i])->tp_name);
            Py_DECREF(seq);
            return false;
        }
        std::string s;
        if (!utf8_of(items[i], s)) {
            Py_DECREF(seq);
            return false;
        }
        result.push_back(std::move(s));
    }
    Py_DECREF(seq);
    out = std::move(result);
    return true;
}

PyObject* new_str(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

namespace {

template <class Texts>
PyObject* list_of_str(const Texts& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* s = new_str(items[i]);
        if (!s) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), s);
    }
    return list;
}

}  // namespace

PyObject* new_str_list(const std::vector<std::string>& items) { return list_of_str(items); }
PyObject* new_view_list(std::span<const std::string_view> items) { return list_of_str(items); }

}  // namespace corvane::py
