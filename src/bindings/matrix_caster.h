// The conversion of Python probability matrices to quorin::ProbabilityMatrix, shared by
// every part of the module so that all of them accept and refuse the same arguments.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include <quorin/cost_matrix.h>
#include <quorin/quorin.h>

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

}  // namespace detail
}  // namespace pybind11

namespace quorin_python {

// Marks `probs` as holding log-likelihoods when `log` is true (else probabilities).
inline void setKind(quorin::ProbabilityMatrix& probs, bool log) {
    probs.setKind(log ? quorin::MatrixKind::LogLikelihoods : quorin::MatrixKind::Probabilities);
}

// What prepareMatrix does with a probability row of zeros only (the zeros of underflowed
// likelihoods, most often), whose configurations all cost +inf.
enum class ZeroRow {
    // quorin.quorin: accepted with a UserWarning, as it documents (every cost is +inf and
    // the configurations come in its own order).
    Warn,
    // The cost order's functions (rank, count, cost_bound, batches, the range walk under
    // plan and search): ValueError.
    Refuse,
};

// A ValueError with `lost`'s message when it found a row of zeros only.
inline void refuseZeroRow(const quorin::LostPrecision& lost) {
    if (lost.kind == quorin::LostPrecision::AllZero) throw pybind11::value_error(lost.message);
}

// A matrix argument as every function of the module takes it: `probs` holds probabilities,
// or natural-log likelihoods when `log` is true. Sets the kind and checks the matrix
// (ValueError with the core's message); then, for probabilities, what underflow may have
// lost: a row of zeros only is a ValueError or a UserWarning as `zeroRow` says, zeros next
// to values below 1e-300 a UserWarning; both messages say to pass log-likelihoods.
// (`warnings.simplefilter("error")` makes a warning an error.)
// The kind set, the matrix checked (ValueError with the core's message), and what underflow
// may have lost.
inline quorin::LostPrecision checkMatrix(quorin::ProbabilityMatrix& probs, bool log) {
    setKind(probs, log);
    quorin::checkProbabilities(probs);
    return quorin::lostPrecision(probs);
}

inline void prepareMatrix(quorin::ProbabilityMatrix& probs, bool log, ZeroRow zeroRow) {
    const quorin::LostPrecision lost = checkMatrix(probs, log);
    if (zeroRow == ZeroRow::Refuse) refuseZeroRow(lost);
    if (lost.kind != quorin::LostPrecision::None && PyErr_WarnEx(PyExc_UserWarning, lost.message.c_str(), 1) != 0) {
        throw pybind11::error_already_set();
    }
}

// A cost-order matrix that came through prepareMatrix once already (a search's or plan's
// tasks, a saved quorin.batches iterator) but may have been put together by hand: the same
// checks and the same ValueError for a row of zeros only, without warning a second time.
inline void prepareCheckedMatrix(quorin::ProbabilityMatrix& probs, bool log) { refuseZeroRow(checkMatrix(probs, log)); }

}  // namespace quorin_python
