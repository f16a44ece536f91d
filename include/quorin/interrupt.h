// Stopping long calls from another thread.
//
// Long operations take an optional `const std::atomic<bool>* interrupt`. They look at it
// every few milliseconds; once it is true they throw Interrupted, after undoing whatever
// they had started, so the call can simply be made again.
#pragma once

#include <exception>

namespace quorin {

// Thrown by an operation whose interrupt flag was raised; nothing it did remains.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

}  // namespace quorin
