// Python face of the enumeration core: the module `quorin` with the iterator class
// `quorin`. It converts arguments and results and forwards; the core does the rest.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "quorin.h"

namespace py = pybind11;

// `self` of the iterator methods: the enumerator of an instance whose __init__ has run.
// pybind11 hands a method called on an instance made by __new__ alone freshly allocated,
// unconstructed storage; that must never be read.
struct ConstructedQuorin {
    quorin::Quorin* enumerator = nullptr;
};

namespace pybind11 {
namespace detail {

// The probability matrix: a sequence (not str or bytes) of such sequences of numbers.
// Items are read by index, and iterators such as generators or dict views are refused,
// whatever the pybind11 version's own list conversion would accept.
template <>
struct type_caster<quorin::ProbabilityMatrix> {
    PYBIND11_TYPE_CASTER(quorin::ProbabilityMatrix, const_name("list[list[float]]"));

    bool load(handle src, bool /*convert*/) {
        if (!isMatrixSequence(src.ptr())) return false;
        quorin::ProbabilityMatrix rows;
        const Py_ssize_t count = sizeOf(src.ptr());
        rows.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            const object item = itemOf(src.ptr(), i);
            if (!isMatrixSequence(item.ptr())) return false;
            std::vector<double> row;
            const Py_ssize_t columns = sizeOf(item.ptr());
            row.reserve(static_cast<std::size_t>(columns));
            for (Py_ssize_t j = 0; j < columns; ++j) {
                double p = 0.0;
                if (!toDouble(itemOf(item.ptr(), j).ptr(), p)) return false;
                row.push_back(p);
            }
            rows.push_back(std::move(row));
        }
        value = std::move(rows);
        return true;
    }

private:
    static bool isMatrixSequence(PyObject* o) {
        return PySequence_Check(o) != 0 && !PyUnicode_Check(o) && !PyBytes_Check(o);
    }
    // Errors of len() or of item access propagate unchanged.
    static Py_ssize_t sizeOf(PyObject* o) {
        const Py_ssize_t size = PySequence_Size(o);
        if (size < 0) throw error_already_set();
        return size;
    }
    static object itemOf(PyObject* o, Py_ssize_t i) {
        PyObject* item = PySequence_GetItem(o, i);
        if (item == nullptr) throw error_already_set();
        return reinterpret_steal<object>(item);
    }
    // float(), int(), NumPy scalars and anything with __float__ or __index__; strings are
    // never parsed.
    static bool toDouble(PyObject* o, double& out) {
        out = PyFloat_AsDouble(o);
        if (!(out == -1.0 && PyErr_Occurred())) return true;
        PyErr_Clear();
        if (PyNumber_Check(o) == 0) return false;
        PyObject* asFloat = PyNumber_Float(o);
        if (asFloat == nullptr) {
            PyErr_Clear();
            return false;
        }
        out = PyFloat_AsDouble(asFloat);
        Py_DECREF(asFloat);
        return true;
    }
};

template <>
struct type_caster<ConstructedQuorin> {
    PYBIND11_TYPE_CASTER(ConstructedQuorin, make_caster<quorin::Quorin>::name);

    bool load(handle src, bool /*convert*/) {
        if (!isinstance<quorin::Quorin>(src)) return false;
        const type_info* quorinType = get_type_info(typeid(quorin::Quorin));
        value_and_holder slot = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(quorinType);
        if (!slot.holder_constructed()) throw type_error("quorin.quorin.__init__() has not been called");
        value.enumerator = static_cast<quorin::Quorin*>(slot.value_ptr());
        return true;
    }
};

}  // namespace detail
}  // namespace pybind11

PYBIND11_MODULE(quorin, m) {
    py::class_<quorin::Quorin>(m, "quorin")
        .def(py::init<quorin::ProbabilityMatrix, bool>(), py::arg("probs"),
             py::arg_v("cache_assignments", true))
        .def("__iter__", [](ConstructedQuorin self) -> quorin::Quorin { return *self.enumerator; })
        .def("__next__", [](ConstructedQuorin self) -> py::array_t<int> {
            quorin::Quorin& enumerator = *self.enumerator;
            if (enumerator.exhausted) throw py::stop_iteration();
            py::array_t<int> columns(static_cast<py::ssize_t>(enumerator.rows()));
            enumerator.currentColumns(columns.mutable_data());
            enumerator.advance();  // only once the result is complete
            return columns;
        });
}
