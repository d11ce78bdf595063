#pragma once
// Two independent pieces of work, on two threads where that pays.
#include <exception>
#include <system_error>
#include <thread>

namespace corvane {

// Runs second() on a thread of its own and first() on this one when `parallel` holds and a
// thread can be started; else first() and then second() here. An exception of either reaches
// the caller once both are done (the first's when both throw).
template <class First, class Second>
void run_both(bool parallel, First&& first, Second&& second) {
    std::exception_ptr failed_second;
    std::thread other;
    if (parallel && std::thread::hardware_concurrency() > 1) {
        try {
            other = std::thread([&] {
                try {
                    second();
                } catch (...) {
                    failed_second = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            // No second thread: this one runs both.
        }
    }
    std::exception_ptr failed;
    try {
        first();
        if (!other.joinable()) second();
    } catch (...) {
        failed = std::current_exception();
    }
    if (other.joinable()) other.join();
    if (failed) std::rethrow_exception(failed);
    if (failed_second) std::rethrow_exception(failed_second);
}

}  // namespace corvane
