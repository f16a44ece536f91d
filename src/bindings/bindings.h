// The parts of the Python module `quorin._core`, each registered by its own source.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include <quorin/tester.h>

// quorin.rank and quorin.count.
void bindCounting(pybind11::module_& module);
// quorin.batches and its iterator.
void bindWindows(pybind11::module_& module);
// The pieces of a search's tasks: _locate, _cuts and _TaskWalk.
void bindTasks(pybind11::module_& module);
// quorin._core.Tester, the base class of the native testers.
void bindTesters(pybind11::module_& module);
// quorin.AES128 (after bindTesters).
void bindAes128(pybind11::module_& module);
// The C++ tester of a quorin._core.Tester instance (whose __init__ has run), which a search
// runs inside the enumeration; nullptr for any other object.
std::shared_ptr<const quorin::Tester> nativeTester(pybind11::handle object);
