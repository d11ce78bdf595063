#pragma once
// Mapping of engine failures to Python exceptions, PanicException, and the guard that keeps
// every C++ exception and every poisoned lock from reaching the interpreter uncaught.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>

#include "util/poison_lock.hpp"
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

// Takes a PoisonLock shared or exclusively. A poisoned lock is a fatal error. A lock that is
// already held is reported rather than waited for: the interpreter lock serialises every
// caller and no Python code runs while an object lock is held (see locked()), so only a
// re-entrant call can meet it. If the holder unwinds with an exception, the lock is poisoned.
template <bool Exclusive>
class LockGuard {
public:
    explicit LockGuard(PoisonLock& lock) : lock_(lock) {
        bool got = Exclusive ? lock.mutex().try_lock() : lock.mutex().try_lock_shared();
        if (!got) throw Reentered();
        if (lock.poisoned()) {
            unlock();
            throw Panic("lock poisoned by an earlier fatal error");
        }
        uncaught_ = std::uncaught_exceptions();
    }
    ~LockGuard() {
        if (std::uncaught_exceptions() > uncaught_) lock_.poison();
        unlock();
    }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    void unlock() {
        if constexpr (Exclusive) {
            lock_.mutex().unlock();
        } else {
            lock_.mutex().unlock_shared();
        }
    }
    PoisonLock& lock_;
    int uncaught_ = 0;
};

using SharedLock = LockGuard<false>;
using ExclusiveLock = LockGuard<true>;

// Runs `work` under the lock and returns its plain C++ result. Python objects, exceptions
// included, are made from it only after the lock is released: creating them can start a
// garbage collection whose finalizers run Python code, and Python code may switch threads.
template <class Lock, class F>
auto locked(PoisonLock& lock, F&& work) {
    Lock guard(lock);
    return work();
}

}  // namespace corvane::py
