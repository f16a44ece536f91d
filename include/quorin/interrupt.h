// Stopping a long call from outside: the caller passes a flag and raises it from another
// thread (or a signal handler); the call checks it every few milliseconds and throws
// Interrupted, leaving every object it was given as it was before the call.
#pragma once

#include <atomic>
#include <exception>

namespace quorin {

// Thrown by a call whose interrupt flag was raised.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

// Throws Interrupted if `flag` (which may be null: never) is raised.
inline void checkInterrupt(const std::atomic<bool>* flag) {
    if (flag != nullptr && flag->load(std::memory_order_relaxed)) throw Interrupted();
}

}  // namespace quorin
