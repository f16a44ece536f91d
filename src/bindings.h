// The parts of the Python module `quorin._core`, each registered by its own source.
#pragma once

#include <pybind11/pybind11.h>

// quorin.rank and quorin.count.
void bindCounting(pybind11::module_& module);
// quorin.batches and its iterator.
void bindWindows(pybind11::module_& module);
// The pieces of a search's tasks: _locate, _cuts and _TaskWalk.
void bindTasks(pybind11::module_& module);
