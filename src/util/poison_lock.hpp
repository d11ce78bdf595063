#pragma once
// A reader-writer lock that remembers a fatal failure: once a holder ended fatally, every
// later acquisition reports the lock as poisoned instead of handing out broken state.
#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace corvane {

class PoisonLock {
public:
    std::shared_mutex& mutex() { return mutex_; }
    bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }
    void poison() { poisoned_.store(true, std::memory_order_release); }

private:
    std::shared_mutex mutex_;
    std::atomic<bool> poisoned_{false};
};

}  // namespace corvane
