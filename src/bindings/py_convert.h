// Conversions of Python arguments shared by the binding's sources: positions and counts
// as Python ints, and thread counts.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include <quorin/windows.h>

namespace quorin_python {

// A Python int, checked as an argument: TypeError unless it is an integer (bool refused),
// ValueError if negative. Values of 2^128 and more saturate to 2^128 - 1.
inline quorin::Position toPosition(const pybind11::handle& value, const char* name) {
    namespace py = pybind11;
    if (!PyIndex_Check(value.ptr()) || PyBool_Check(value.ptr()))
        throw py::type_error(std::string(name) + " must be an integer, not " + Py_TYPE(value.ptr())->tp_name);
    py::int_ x = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!x) throw py::error_already_set();
    if (x < py::int_(0)) throw py::value_error(std::string(name) + " must be >= 0, not " + py::str(x).cast<std::string>());
    if (x.attr("bit_length")().cast<int>() > 128) return quorin::kNoStop;
    const py::int_ high = x.attr("__rshift__")(64);
    const py::int_ low = x.attr("__and__")(py::int_(0xffffffffffffffffULL));
    return (static_cast<quorin::Position>(high.cast<unsigned long long>()) << 64) | low.cast<unsigned long long>();
}

inline pybind11::int_ toInt(quorin::Position p) {
    pybind11::int_ high(static_cast<unsigned long long>(p >> 64));
    pybind11::int_ low(static_cast<unsigned long long>(p));
    return high.attr("__lshift__")(64).attr("__or__")(low);
}

// threads: None (every core: 0) or an integer >= 1 (at most 1024 used).
inline unsigned toThreads(const pybind11::object& threads) {
    if (threads.is_none()) return 0;
    const quorin::Position t = toPosition(threads, "threads");
    if (t < 1) throw pybind11::value_error("threads must be >= 1, not 0");
    return t > 1024 ? 1024u : static_cast<unsigned>(t);
}

}  // namespace quorin_python
