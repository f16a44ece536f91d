// Python face of the native testers' base class quorin._core.Tester, whose instances a
// search can run inside the enumeration (nativeTester). A tester is also an ordinary test
// callable, tester(columns, costs) -> hit indices, run in C++ with the GIL released.
// (quorin.AES128, its subclass, is bind_aes128.cpp.)
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <quorin/tester.h>

#include "bindings.h"
#include "tester_handles.h"

namespace py = pybind11;
using namespace quorin_python;

namespace {

// Configurations tested between two checks for Ctrl-C, without the GIL.
constexpr std::size_t chunkConfigurations = std::size_t{1} << 15;

// The columns argument as a C-contiguous (m, rows) array of int32 or, for other integer
// dtypes, of int64 (narrowed chunk by chunk once checked).
py::array columnsArray(py::handle columns, std::size_t rows) {
    py::array array = py::array::ensure(columns);
    if (!array) {
        PyErr_Clear();
        throw py::type_error("columns must be an array of integers of shape (m, " + std::to_string(rows) + "), not " +
                             std::string(Py_TYPE(columns.ptr())->tp_name));
    }
    if (!isIntegerArray(array)) {
        throw py::type_error("columns must be an array of integers, not of dtype " + py::str(array.dtype()).cast<std::string>());
    }
    if (array.ndim() != 2 || static_cast<std::size_t>(array.shape(1)) != rows) {
        throw py::value_error("columns must have shape (m, " + std::to_string(rows) + "), one configuration per row, not " +
                              shapeOf(array));
    }
    if (array.dtype().is(py::dtype::of<std::int32_t>())) {
        return py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(array);
    }
    // Every other integer dtype fits int64, or wraps to a negative value (uint64 above
    // 2^63), which the range check refuses.
    return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(array);
}

py::array_t<double> costsArray(py::handle costs, std::size_t m) {
    if (costs.is_none()) return py::array_t<double>(static_cast<py::ssize_t>(m));  // filled below
    auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(costs);
    if (!array) {
        PyErr_Clear();
        throw py::type_error("costs must be an array of floats or None, not " + std::string(Py_TYPE(costs.ptr())->tp_name));
    }
    if (array.ndim() != 1 || static_cast<std::size_t>(array.shape(0)) != m) {
        throw py::value_error("costs must have shape (" + std::to_string(m) + ",), one per configuration, not " +
                              shapeOf(array));
    }
    return array;
}

// The hits among `m` configurations of `rows` columns at `columns`: the range check and the
// test chunk by chunk, without the GIL, with a check for Ctrl-C after each chunk.
template <class T>
std::vector<std::size_t> hitsOf(const TesterHandle& handle, const T* columns, const double* costs, std::size_t m) {
    const std::size_t rows = handle.rows;
    std::vector<std::size_t> hits;
    std::vector<std::int32_t> narrowed;
    for (std::size_t start = 0; start < m; start += chunkConfigurations) {
        const std::size_t n = std::min(chunkConfigurations, m - start);
        const T* const chunk = columns + start * rows;
        std::size_t bad = 0;
        {
            py::gil_scoped_release release;
            bad = firstOutside(chunk, n * rows, handle.columnLimit);
            if (bad == n * rows) {
                const std::int32_t* tested = nullptr;
                if constexpr (std::is_same_v<T, std::int32_t>) {
                    tested = chunk;
                } else {
                    narrowed.assign(chunk, chunk + n * rows);  // checked: every value fits
                    tested = narrowed.data();
                }
                const std::size_t before = hits.size();
                handle.tester->test(tested, costs + start, n, rows, hits);
                for (std::size_t i = before; i < hits.size(); ++i) hits[i] += start;
            }
        }
        if (bad < n * rows) {
            const std::size_t k = start + bad / rows, i = bad % rows;
            throw py::value_error("columns[" + std::to_string(k) + ", " + std::to_string(i) + "] is " +
                                  std::to_string(static_cast<std::int64_t>(chunk[bad])) + ": columns go from 0 to " +
                                  std::to_string(handle.columnLimit - 1));
        }
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    return hits;
}

py::array_t<std::int64_t> callTester(py::handle self, py::handle columns, py::handle costs) {
    const TesterHandle& handle = constructedHandle(self);
    const py::array columnArray = columnsArray(columns, handle.rows);
    const auto m = static_cast<std::size_t>(columnArray.shape(0));
    py::array_t<double> costArray = costsArray(costs, m);
    if (costs.is_none()) std::fill_n(costArray.mutable_data(), m, 0.0);
    std::vector<std::size_t> hits;
    if (columnArray.dtype().is(py::dtype::of<std::int32_t>())) {
        hits = hitsOf(handle, static_cast<const std::int32_t*>(columnArray.data()), costArray.data(), m);
    } else {
        hits = hitsOf(handle, static_cast<const std::int64_t*>(columnArray.data()), costArray.data(), m);
    }
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(hits.size()));
    std::copy(hits.begin(), hits.end(), out.mutable_data());
    return out;
}

void checkShape(py::handle self, const std::vector<std::size_t>& rowLengths) {
    constructedHandle(self).tester->checkShape(rowLengths);  // std::invalid_argument: ValueError
}

}  // namespace

std::shared_ptr<const quorin::Tester> nativeTester(py::handle object) {
    const TesterHandle* handle = handleOf(object);
    return handle == nullptr ? nullptr : handle->tester;
}

void bindTesters(py::module_& module) {
    py::class_<TesterHandle> tester(module, "Tester", R"doc(A test of configurations that runs in native code.

``tester(columns, costs)`` returns the indices of the configurations that pass as an int64
array; a search runs it inside the enumeration. Made by its subclasses (``quorin.AES128``).)doc");
    tester
        .def("__call__", &callTester, py::arg("columns"), py::arg("costs") = py::none(),
             "The indices (int64, ascending) of the configurations of ``columns`` (one per row) that pass; "
             "``costs`` (one per configuration) may be None.")
        .def("check_shape", &checkShape, py::arg("probs_row_lengths"),
             "Raises ValueError when a matrix of rows of these lengths cannot be tested by this tester.")
        .def_property_readonly(
            "unique", [](py::handle self) { return constructedHandle(self).tester->unique(); },
            "Whether a hit is the only one there is (for AES-128: a key that maps a whole block to its "
            "ciphertext); a search stops at it.");
}
