// The parts of the Python module `quorin._core`, each registered by its own source.
#pragma once

#include <pybind11/pybind11.h>

// quorin.rank and quorin.count.
void bindCounting(pybind11::module_& module);
// quorin.batches and its iterator.
void bindWindows(pybind11::module_& module);
