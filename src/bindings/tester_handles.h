// What the Python testers of quorin._core share (not installed): the handle each instance
// holds, how it is found on an object, and the words of their errors.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>

#include <quorin/aes128.h>
#include <quorin/tester.h>

namespace quorin_python {

namespace py = pybind11;

// What every Python tester holds: its C++ tester, and what its __call__ takes: batches
// of configurations of `rows` columns, each in [0, columnLimit).
struct TesterHandle {
    std::shared_ptr<const quorin::Tester> tester;
    std::size_t rows = 0;
    std::int64_t columnLimit = 0;
};

struct Aes128Handle : TesterHandle {
    std::shared_ptr<const quorin::Aes128Tester> aes;
    std::string requested;  // the implementation asked for: "automatic" unless given
};

// The handle of a tester whose __init__ has run; nullptr for anything else. (An instance
// made by __new__ alone holds unconstructed storage, which must never be read.)
inline const TesterHandle* handleOf(py::handle object) {
    if (!py::isinstance<TesterHandle>(object)) return nullptr;
    auto* instance = reinterpret_cast<py::detail::instance*>(object.ptr());
    if (!instance->get_value_and_holder().holder_constructed()) return nullptr;
    return &py::cast<const TesterHandle&>(object);
}

// The name of `object`'s class as Python code spells it, e.g. quorin.AES128.
inline std::string typeName(py::handle object) {
    const py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(object.ptr()));
    return py::str(type.attr("__module__")).cast<std::string>() + "." +
           py::str(type.attr("__qualname__")).cast<std::string>();
}

inline const TesterHandle& constructedHandle(py::handle self) {
    const TesterHandle* handle = handleOf(self);
    if (handle == nullptr) {
        if (!py::isinstance<TesterHandle>(self)) throw py::type_error("expected a quorin tester, not " + typeName(self));
        throw py::type_error(typeName(self) + ".__init__() has not been called");
    }
    return *handle;
}

inline std::string shapeOf(const py::array& array) {
    std::string out = "(";
    for (py::ssize_t d = 0; d < array.ndim(); ++d) {
        out += (d > 0 ? ", " : "") + std::to_string(array.shape(d));
    }
    return out + (array.ndim() == 1 ? ",)" : ")");
}

inline bool isIntegerArray(const py::array& array) {
    const char kind = array.dtype().kind();
    return kind == 'i' || kind == 'u';
}

// The index of the first of the `n` values at `values` outside [0, limit), or n.
template <class T>
std::size_t firstOutside(const T* values, std::size_t n, std::int64_t limit) {
    std::size_t bad = n;
    for (std::size_t i = 0; i < n; ++i) {
        const auto value = static_cast<std::int64_t>(values[i]);
        if (value < 0 || value >= limit) {
            bad = i;
            break;
        }
    }
    return bad;
}

}  // namespace quorin_python
