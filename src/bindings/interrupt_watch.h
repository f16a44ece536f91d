// Long core calls from Python: the work runs on a helper thread without the GIL while the
// calling thread checks for signals every 5 ms; on one (Ctrl-C) it raises the work's
// interrupt flag and waits for the work to give up, then raises the signal's Python error.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <future>

#include <quorin/interrupt.h>

namespace quorin_python {

// Waits for `job`, work started with `flag` as its interrupt flag, and returns what it
// returns, checking for signals every 5 ms without the GIL; on one (Ctrl-C) it raises
// `flag` and waits for the work to give up, then raises the signal's Python error. A signal
// wins over a result (the work is dropped, which is safe for work without side effects);
// an error of the work wins over a signal.
template <class T>
T waitInterruptibly(std::future<T>& job, std::atomic<bool>& flag) {
    bool signalled = false;
    while (true) {
        {
            pybind11::gil_scoped_release release;
            if (job.wait_for(std::chrono::milliseconds(5)) == std::future_status::ready) break;
        }
        if (!signalled && PyErr_CheckSignals() != 0) {
            signalled = true;
            flag.store(true);
        }
    }
    try {
        T result = job.get();
        if (signalled) throw pybind11::error_already_set();
        return result;
    } catch (const quorin::Interrupted&) {
        if (signalled) throw pybind11::error_already_set();
        throw;
    } catch (const pybind11::error_already_set&) {
        throw;
    } catch (...) {
        if (signalled) PyErr_Clear();
        throw;
    }
}

// Runs work(flag) on a helper thread without the GIL and returns what it returns; work
// must check `flag` and throw quorin::Interrupted when it is raised (waitInterruptibly).
template <class Work>
auto runInterruptibly(Work&& work) -> decltype(work(static_cast<const std::atomic<bool>*>(nullptr))) {
    std::atomic<bool> flag{false};
    auto job = std::async(std::launch::async, [&work, &flag] { return work(&flag); });
    return waitInterruptibly(job, flag);
}

}  // namespace quorin_python
