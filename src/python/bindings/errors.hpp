#pragma once
// Mapping of engine failures to Python exceptions, PanicException, and the guard that keeps
// every C++ exception from reaching the interpreter uncaught.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <stdexcept>
#include <string>

#include "util/result.hpp"

namespace corvane::py {

// The PanicException class, created once per process on first use (nullptr with an
// exception set if that fails).
PyObject* panic_exception_type();

// Sets the Python exception for an engine error: ValueError, RuntimeError, OSError or
// PanicException. Always returns nullptr, for `return raise(...)`.
PyObject* raise(const Error& error);
PyObject* raise_panic(const char* message);

// Thrown inside a method body for a fatal condition; turned into PanicException by guarded().
struct Panic : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Thrown when a lock is taken re-entrantly (Python code run by the engine, e.g. a finalizer,
// calling back into the same object): reported as RuntimeError instead of deadlocking.
struct Reentered : std::runtime_error {
    Reentered() : std::runtime_error("re-entrant call while this object is in use") {}
};

// Runs a method body; any escaped C++ exception ends the call with PanicException.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const Reentered& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::exception& e) {
        if (!PyErr_Occurred()) raise_panic(e.what());
    } catch (...) {
        if (!PyErr_Occurred()) raise_panic("unknown internal failure");
    }
    return nullptr;
}

}  // namespace corvane::py
