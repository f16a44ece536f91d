// Long C++ calls from Python: run without the GIL on a helper thread while the calling
// thread checks for signals every 5 ms. On a signal (Ctrl-C) the call's interrupt flag is
// raised and the call given up: its quorin::Interrupted is turned into the signal's own
// Python error (KeyboardInterrupt), and whatever the call had begun is undone by it.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <future>

#include <quorin/interrupt.h>

namespace quorin_python {

template <class Work>
auto callReleased(Work&& work) -> decltype(work(static_cast<const std::atomic<bool>*>(nullptr))) {
    namespace py = pybind11;
    std::atomic<bool> interrupt{false};
    auto job = std::async(std::launch::async, [&] { return work(&interrupt); });
    bool signalled = false;
    while (true) {
        {
            py::gil_scoped_release release;
            if (job.wait_for(std::chrono::milliseconds(5)) == std::future_status::ready) break;
        }
        if (!signalled && PyErr_CheckSignals() != 0) {
            signalled = true;
            interrupt.store(true);
        }
    }
    try {
        auto result = job.get();
        if (signalled) throw py::error_already_set();  // finished as the signal came: the signal wins
        return result;
    } catch (const quorin::Interrupted&) {
        throw py::error_already_set();
    } catch (const py::error_already_set&) {
        throw;
    } catch (...) {
        if (signalled) PyErr_Clear();  // the call's own error wins
        throw;
    }
}

}  // namespace quorin_python
