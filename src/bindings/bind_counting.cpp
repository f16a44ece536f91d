// quorin.rank and quorin.count: convert the arguments, run the core with the GIL
// released (Ctrl-C stops it within milliseconds), and hand back the bounds as Python ints.
#include <pybind11/pybind11.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include <quorin/counting.h>

#include "bindings.h"
#include "interrupt_watch.h"
#include "matrix_caster.h"

namespace py = pybind11;

namespace {

// A count as a Python int, exactly.
py::int_ toPython(const quorin::Count& c) {
    const std::vector<std::uint64_t>& limbs = c.limbs();
    if (limbs.size() <= 1) return py::reinterpret_steal<py::int_>(PyLong_FromUnsignedLongLong(limbs.empty() ? 0 : limbs[0]));
    std::string bytes;
    bytes.reserve(limbs.size() * 8);
    for (std::uint64_t limb : limbs) {
        for (int k = 0; k < 8; ++k) bytes.push_back(static_cast<char>((limb >> (8 * k)) & 0xff));
    }
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyLong_Type))
        .attr("from_bytes")(py::bytes(bytes), "little");
}

// Bounds as quorin.CountBounds, which unpacks as the pair (low, high).
py::object toPython(const quorin::CountBounds& b) {
    return py::module_::import("quorin").attr("CountBounds")(toPython(b.low), toPython(b.high));
}

// The ratio asked of inexact bounds, in bits: a float >= 0.
double toBits(const py::handle& value) {
    if (PyBool_Check(value.ptr()) != 0 || (PyFloat_Check(value.ptr()) == 0 && PyIndex_Check(value.ptr()) == 0)) {
        throw py::type_error("bits must be a number");
    }
    const double bits = py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
    if (!(bits >= 0.0 && bits < INFINITY)) throw py::value_error("bits must be finite and not negative");
    return bits;
}

// A non-negative Python int as a count.
quorin::Count toCount(const py::handle& value, const char* name) {
    if (PyIndex_Check(value.ptr()) == 0 || PyBool_Check(value.ptr()) != 0) {
        throw py::type_error(std::string(name) + " must be an int");
    }
    const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
    if (!number) throw py::error_already_set();
    if (PyObject_RichCompareBool(number.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
        throw py::value_error(std::string(name) + " must not be negative");
    }
    const py::object raw = number.attr("to_bytes")((py::int_(number.attr("bit_length")()).cast<std::size_t>() + 7) / 8 + 1,
                                                     "little");
    const std::string bytes = raw.cast<std::string>();
    quorin::Count c;
    for (std::size_t i = bytes.size(); i-- > 0;) {
        c *= 256;
        c += quorin::Count(static_cast<unsigned char>(bytes[i]));
    }
    return c;
}

// One column per row, from a sequence or an array of ints, or bytes (a key: one byte per
// row): the wrong type is a TypeError, a wrong value a ValueError naming the row.
std::vector<int> toColumns(const py::handle& columns, const quorin::ProbabilityMatrix& probs) {
    PyObject* o = columns.ptr();
    if (PySequence_Check(o) == 0 || PyUnicode_Check(o) != 0) {
        throw py::type_error("columns must be a sequence of ints, one per row, or bytes");
    }
    const Py_ssize_t size = PySequence_Size(o);
    if (size < 0) throw py::error_already_set();
    if (static_cast<std::size_t>(size) != probs.size()) {
        throw py::value_error("columns has " + std::to_string(size) + " entries but probs has " +
                              std::to_string(probs.size()) + " rows");
    }
    std::vector<int> out(probs.size());
    for (Py_ssize_t i = 0; i < size; ++i) {
        const py::object item = py::reinterpret_steal<py::object>(PySequence_GetItem(o, i));
        if (!item) throw py::error_already_set();
        if (PyIndex_Check(item.ptr()) == 0) {
            throw py::type_error("columns[" + std::to_string(i) + "] must be an int, not " +
                                 std::string(Py_TYPE(item.ptr())->tp_name));
        }
        const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(item.ptr()));
        if (!number) throw py::error_already_set();
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
        const auto row = static_cast<std::size_t>(i);
        if (overflow != 0 || value < 0 || static_cast<unsigned long long>(value) >= probs[row].size()) {
            throw py::value_error("columns[" + std::to_string(i) + "] is " + py::str(number).cast<std::string>() +
                                  ": row " + std::to_string(i) + " has columns 0 .. " +
                                  std::to_string(probs[row].size() - 1));
        }
        out[row] = static_cast<int>(value);
    }
    return out;
}

// A count's bounds as quorin.CountBounds: `exact_up_to` and `bits` converted, then
// `bounds(limit, bits, interrupt)` run with the GIL released and Ctrl-C watched.
template <class Bounds>
py::object boundsOf(const py::object& exactUpTo, const py::object& bitsArgument, Bounds&& bounds) {
    const quorin::Count limit = toCount(exactUpTo, "exact_up_to");
    const double bits = toBits(bitsArgument);
    return toPython(quorin_python::runInterruptibly(
        [&](const std::atomic<bool>* interrupt) { return bounds(limit, bits, interrupt); }));
}

}  // namespace

void bindCounting(py::module_& module) {
    module.def(
        "rank",
        [](quorin::ProbabilityMatrix probs, const py::object& columns, const py::object& exactUpTo,
           const py::object& bitsArgument, bool log) {
            quorin_python::prepareMatrix(probs, log, quorin_python::ZeroRow::Refuse);
            const std::vector<int> key = toColumns(columns, probs);
            return boundsOf(exactUpTo, bitsArgument, [&](const quorin::Count& limit, double bits, const std::atomic<bool>* interrupt) {
                return quorin::rank(probs, key, limit, interrupt, bits);
            });
        },
        py::arg("probs"), py::arg("columns"), py::kw_only(), py::arg("exact_up_to") = py::int_(std::uint64_t{1} << 32),
        py::arg("bits") = 0.125, py::arg("log") = false,
        R"doc(Bounds on the 1-based rank of ``columns`` in the cost order of ``probs``, as a quorin.CountBounds.

The cost order lists configurations by non-decreasing cost (the sum over rows, in row
order, of -ln p), equal costs in ascending lexicographic order of their columns, and those
of cost +inf (a zero probability) last, lexicographically. ``columns`` is a sequence or
NumPy array of ints, one column per row, or ``bytes``/``bytearray`` (a key, one byte per
row). ``log=True``: ``probs`` holds natural-log likelihoods (see quorin.quorin).

The result unpacks as ``low, high``; both are Python ints, exact however large, and
always hold the true rank, and ``estimate`` lies between them. They are exact
(``low == high``) whenever the rank is at most ``exact_up_to`` (2**32 by default).
Otherwise they are refined (finer tables, longer walks) until ``high <= low * 2**bits``
(``bits=1/8`` by default) or the refinement reaches its limit; the result's ``bits``
attribute is the ratio reached, in bits, so a caller that needs the ratio checks it
(on heavy-tailed matrices the default is sometimes out of reach). A key with a
zero-probability column gets its exact rank. The GIL is released while the count runs, and
Ctrl-C stops it (KeyboardInterrupt). An exact count of 2**53 or more is out of reach: when
the rank may be that large and still within ``exact_up_to``, ValueError says so.

Raises ValueError for ``probs`` that quorin.quorin refuses or with a row of zeros only
(naming the row; quorin.quorin only warns about it), for ``columns`` of the wrong length,
or with a column out of range or negative (the message names the row), and for negative
``bits``; TypeError for non-integer columns.)doc");
    module.def(
        "count",
        [](quorin::ProbabilityMatrix probs, double cost, const py::object& exactUpTo, const py::object& bitsArgument,
           bool log) {
            quorin_python::prepareMatrix(probs, log, quorin_python::ZeroRow::Refuse);
            if (std::isnan(cost)) throw py::value_error("cost is NaN");
            return boundsOf(exactUpTo, bitsArgument, [&](const quorin::Count& limit, double bits, const std::atomic<bool>* interrupt) {
                return quorin::count(probs, cost, limit, interrupt, bits);
            });
        },
        py::arg("probs"), py::arg("cost"), py::kw_only(), py::arg("exact_up_to") = py::int_(std::uint64_t{1} << 32),
        py::arg("bits") = 0.125, py::arg("log") = false,
        R"doc(Bounds on the number of configurations of ``probs`` whose cost is at most ``cost``, as a quorin.CountBounds.

A configuration's cost is the sum over rows, in row order, of -ln p of its columns
(``log=True``: ``probs`` holds natural-log likelihoods, and p is each row's normalised
probability); ``cost = math.inf`` counts every configuration, a cost below the cheapest
gives 0. The bounds are Python ints with the rules of :func:`quorin.rank`: exact whenever
the count is at most ``exact_up_to`` (2**32 by default), otherwise refined towards
``high <= low * 2**bits`` with the ratio reached in the result's ``bits``.
The GIL is released while the count runs, and Ctrl-C stops it (KeyboardInterrupt); an
exact count of 2**53 or more within ``exact_up_to`` raises ValueError.

Raises ValueError for ``probs`` that quorin.quorin refuses or with a row of zeros only
(naming the row; quorin.quorin only warns about it) and for a NaN ``cost``.)doc");
    module.def(
        "_cost",
        [](quorin::ProbabilityMatrix probs, const py::object& columns, bool log) {
            quorin_python::setKind(probs, log);
            const quorin::CostMatrix costs = quorin::costsOf(probs);
            const std::vector<int> c = toColumns(columns, probs);
            return quorin::configurationCost(costs, c.data());
        },
        py::arg("probs"), py::arg("columns"), py::kw_only(), py::arg("log") = false,
        "The cost of `columns` (one per row) as every engine computes it, summed in row order.");
    module.def(
        "cost_bound",
        [](quorin::ProbabilityMatrix probs, const py::object& n, bool log) {
            quorin_python::prepareMatrix(probs, log, quorin_python::ZeroRow::Refuse);
            const quorin::Count wanted = toCount(n, "n");
            try {
                return quorin_python::runInterruptibly(
                    [&](const std::atomic<bool>* interrupt) { return quorin::costBound(probs, wanted, interrupt); });
            } catch (const std::out_of_range& e) {
                throw py::value_error(std::string("n is past the last configuration: ") + e.what());
            }
        },
        py::arg("probs"), py::arg("n"), py::kw_only(), py::arg("log") = false,
        R"doc(The least cost whose count reaches ``n``: the inverse of :func:`quorin.count`.

The smallest ``c`` with ``quorin.count(probs, c).low >= n``, which is the cost of the
configuration of rank ``n`` in the cost order: the cost a search of the first ``n``
configurations reaches. ``-inf`` for ``n = 0``; ``+inf`` when ``n`` reaches into the
configurations of cost +inf. ``log=True``: ``probs`` holds natural-log likelihoods. Exact
for every ``n`` up to 2**50; deeper, where exact positions are out of reach, the least cost
(to the last bit) whose count's lower bound reaches ``n``: ``quorin.count`` certainly
reaches ``n`` there. The GIL is released while it runs and Ctrl-C stops it.

Raises ValueError for ``probs`` that quorin.quorin refuses or with a row of zeros only
(naming the row; quorin.quorin only warns about it), for a negative ``n`` or one past the
number of configurations; TypeError for a non-integer ``n``.)doc");
}
