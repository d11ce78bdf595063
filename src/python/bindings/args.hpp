#pragma once
// Argument binding and conversion for fast-call methods. Count and keyword errors are
// raised before any conversion; conversions run in parameter order and the first failure
// wins; every message names the parameter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::py {

// The parameter names of one method, interned once (compared by pointer first).
class Params {
public:
    Params(const char* function, std::initializer_list<const char*> names, std::size_t required);
    // Binds positional and keyword arguments to slots (borrowed references, nullptr when not
    // given). False with TypeError set on a missing, unknown, repeated or surplus argument.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;
    // The same for tp_new/tp_init style (args tuple, kwargs dict).
    bool bind(PyObject* args, PyObject* kwargs, PyObject** slots) const;
    std::size_t size() const { return names_.size(); }
    const char* function() const { return function_; }

private:
    bool intern() const;
    Py_ssize_t slot_of(PyObject* key) const;
    const char* function_;
    std::vector<const char*> names_;
    std::size_t required_;
    mutable std::vector<PyObject*> interned_;
};

// Converters: true on success; false with TypeError/OverflowError set naming the parameter.
bool to_string(const Params& p, const char* name, PyObject* obj, std::string& out);
// The str's UTF-8 text without a copy: valid while `obj` lives.
bool to_string_view(const Params& p, const char* name, PyObject* obj, std::string_view& out);
bool to_u32(const Params& p, const char* name, PyObject* obj, std::uint32_t& out);
bool to_u64(const Params& p, const char* name, PyObject* obj, std::uint64_t& out);
bool to_bool(const Params& p, const char* name, PyObject* obj, bool& out);
bool to_string_list(const Params& p, const char* name, PyObject* obj, std::vector<std::string>& out);

// None or a missing slot means absent.
template <class T, class F>
bool to_optional(const Params& p, const char* name, PyObject* obj, std::optional<T>& out, F convert) {
    if (obj == nullptr || obj == Py_None) {
        out.reset();
        return true;
    }
    T value{};
    if (!convert(p, name, obj, value)) return false;
    out = std::move(value);
    return true;
}

// Texts copied out of an engine under its lock into one shared buffer (no allocation per
// text), to become a list of str once the lock is released.
class TextList {
public:
    void reserve(std::size_t count) { ends_.reserve(count); }
    void push_back(std::string_view text) {
        bytes_.append(text);
        ends_.push_back(bytes_.size());
    }
    std::size_t size() const { return ends_.size(); }
    std::string_view operator[](std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(bytes_).substr(begin, ends_[i] - begin);
    }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;
};

// New references for results; nullptr with an exception set on failure.
PyObject* new_str(std::string_view s);
PyObject* new_str_list(const std::vector<std::string>& items);
PyObject* new_view_list(std::span<const std::string_view> items);

}  // namespace corvane::py
