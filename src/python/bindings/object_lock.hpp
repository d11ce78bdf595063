#pragma once
// The object locks of the binding layer: a PoisonLock taken shared or exclusively for the
// length of one method, and locked(), which runs the engine work under it.
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "python/bindings/errors.hpp"
#include "util/poison_lock.hpp"

namespace corvane::py {

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
