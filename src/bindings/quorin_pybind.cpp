// Python face of the enumeration core: the extension module `quorin._core` with the
// iterator class `quorin` (shown as `quorin.quorin`, where the package re-exports it). It
// converts arguments and results and forwards; the core does the rest.
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <quorin/quorin.h>

#include "bindings.h"
#include "matrix_caster.h"

namespace py = pybind11;

// `self` of the iterator methods: the enumerator of an instance whose __init__ has run.
// pybind11 hands a method called on an instance made by __new__ alone freshly allocated,
// unconstructed storage; that must never be read.
struct ConstructedQuorin {
    quorin::Quorin* enumerator = nullptr;
    PyObject* instance = nullptr;
};

namespace pybind11 {
namespace detail {

template <>
struct type_caster<ConstructedQuorin> {
    PYBIND11_TYPE_CASTER(ConstructedQuorin, make_caster<quorin::Quorin>::name);

    bool load(handle src, bool /*convert*/) {
        if (!isinstance<quorin::Quorin>(src)) return false;
        const type_info* quorinType = get_type_info(typeid(quorin::Quorin));
        value_and_holder slot = reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(quorinType);
        if (!slot.holder_constructed()) throw type_error("quorin.quorin.__init__() has not been called");
        value.enumerator = static_cast<quorin::Quorin*>(slot.value_ptr());
        value.instance = src.ptr();
        return true;
    }
};

}  // namespace detail
}  // namespace pybind11

namespace {

const py::detail::type_info* quorinTypeInfo = nullptr;  // set once, at import

// The enumerator of `self`, or TypeError when its __init__ has not run.
quorin::Quorin& enumeratorOf(PyObject* self) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    py::detail::value_and_holder slot = inst->get_value_and_holder(quorinTypeInfo);
    if (!slot.holder_constructed()) throw py::type_error("quorin.quorin.__init__() has not been called");
    return *static_cast<quorin::Quorin*>(slot.value_ptr());
}

// The next configuration as a new int32 array, or a null object once every
// configuration has been handed out. The enumerator advances only after the array is
// complete, and a step that fails changes nothing, so on any exception the next call
// hands out the same configuration.
py::object nextConfiguration(PyObject* self) {
    quorin::Quorin& enumerator = enumeratorOf(self);
    // Loops in C (list(q), sum(), itertools) run no bytecode, so the interpreter would
    // not notice Ctrl-C until they end: pending signals are handled here, before anything
    // changes.
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (enumerator.exhausted) return py::object();
    auto& numpy = py::detail::npy_api::get();
    auto descr = py::reinterpret_steal<py::object>(numpy.PyArray_DescrFromType_(py::detail::npy_api::NPY_INT_));
    if (!descr) throw py::error_already_set();
    Py_intptr_t length = static_cast<Py_intptr_t>(enumerator.rows());
    // NewFromDescr takes over the descriptor's reference.
    auto columns = py::reinterpret_steal<py::object>(
        numpy.PyArray_NewFromDescr_(numpy.PyArray_Type_, descr.release().ptr(), 1, &length, nullptr, nullptr, 0, nullptr));
    if (!columns) throw py::error_already_set();
    enumerator.currentColumns(reinterpret_cast<int*>(py::detail::array_proxy(columns.ptr())->data));
    enumerator.advance();
    return columns;
}

// next(q) calls this directly: the same work as __next__ without the cost of a method
// call (the iterator protocol's fast path), with exceptions mapped as pybind11 maps them.
PyObject* iterNext(PyObject* self) noexcept {
    try {
        return nextConfiguration(self).release().ptr();  // null without an error: StopIteration
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Caught an unknown exception!");
    }
    return nullptr;
}

// k of next_batch: an int, or any integer with __index__ (a NumPy integer; a bool counts
// as 0 or 1), at least 0. One larger than any count asks for every configuration left.
std::size_t batchSize(py::handle k) {
    if (PyIndex_Check(k.ptr()) == 0) {
        throw py::type_error("next_batch(): k must be an int, not " + std::string(Py_TYPE(k.ptr())->tp_name));
    }
    auto index = py::reinterpret_steal<py::object>(PyNumber_Index(k.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) return std::numeric_limits<std::size_t>::max();
    if (overflow < 0 || value < 0) {
        throw py::value_error("next_batch(): k must be at least 0, not " + py::str(index).cast<std::string>());
    }
    if (static_cast<unsigned long long>(value) > std::numeric_limits<std::size_t>::max()) {
        return std::numeric_limits<std::size_t>::max();
    }
    return static_cast<std::size_t>(value);
}

// quorin.Batch, looked up once. The package defines it after importing this module, so
// it is fetched on first use, and kept for the interpreter's lifetime.
py::handle batchType() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage.call_once_and_store_result([] { return py::module_::import("quorin").attr("Batch"); }).get_stored();
}

// The output of one next_batch call: the column and cost blocks the core writes into,
// grown as it hands out configurations and given to NumPy as they are, without a copy.
class BatchBuffer {
public:
    explicit BatchBuffer(std::size_t rows) : rows_(rows) {}
    ~BatchBuffer() {
        PyMem_RawFree(columns_);
        PyMem_RawFree(costs_);
    }
    BatchBuffer(const BatchBuffer&) = delete;
    BatchBuffer& operator=(const BatchBuffer&) = delete;

    std::size_t capacity() const noexcept { return capacity_; }
    int* columnsAt(std::size_t configuration) const noexcept { return columns_ + configuration * rows_; }
    double* costsAt(std::size_t configuration) const noexcept { return costs_ + configuration; }

    // Room for more configurations, at most `limit` in all: about 1 MiB's worth first,
    // then twice as many each time, so a huge limit costs only what is handed out.
    // std::bad_alloc leaves the blocks as they were.
    void grow(std::size_t limit) {
        const std::size_t perConfiguration = rows_ * sizeof(int) + sizeof(double);
        const std::size_t most = std::numeric_limits<std::size_t>::max() / perConfiguration;  // whose bytes a size_t counts
        const std::size_t wanted = capacity_ == 0 ? std::max<std::size_t>(1, (std::size_t{1} << 20) / perConfiguration)
                                                  : (capacity_ > most / 2 ? most : 2 * capacity_);
        resize(std::min(wanted, limit));
    }

    // The first `count` configurations as a new (count, rows) int32 array and a new
    // (count,) float64 array, each owning its block.
    std::pair<py::array, py::array> release(std::size_t count) {
        if (count == 0) {
            return {py::array_t<int>(std::vector<py::ssize_t>{0, static_cast<py::ssize_t>(rows_)}),
                    py::array_t<double>(std::vector<py::ssize_t>{0})};
        }
        if (count < capacity_) {
            try {
                resize(count);  // gives back what was not used; on failure the larger blocks serve
            } catch (const std::bad_alloc&) {
            }
        }
        int* const columns = columns_;
        double* const costs = costs_;
        py::object columnsOwner = own(columns);
        columns_ = nullptr;
        py::object costsOwner = own(costs);
        costs_ = nullptr;
        const auto m = static_cast<py::ssize_t>(count);
        return {py::array_t<int>({m, static_cast<py::ssize_t>(rows_)}, columns, columnsOwner),
                py::array_t<double>(m, costs, costsOwner)};
    }

private:
    void resize(std::size_t configurations) {
        // Blocks of zero bytes are allocated as one byte, so every block has an address.
        void* columns = PyMem_RawRealloc(columns_, configurations * rows_ * sizeof(int));
        if (columns == nullptr) throw std::bad_alloc();
        columns_ = static_cast<int*>(columns);
        void* costs = PyMem_RawRealloc(costs_, configurations * sizeof(double));
        if (costs == nullptr) throw std::bad_alloc();
        costs_ = static_cast<double*>(costs);
        capacity_ = configurations;
    }

    // A capsule that frees `block` with the last reference to it.
    static py::object own(void* block) {
        PyObject* capsule = PyCapsule_New(block, nullptr, &freeBlock);
        if (capsule == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(capsule);
    }
    static void freeBlock(PyObject* capsule) { PyMem_RawFree(PyCapsule_GetPointer(capsule, nullptr)); }

    const std::size_t rows_;
    int* columns_ = nullptr;
    double* costs_ = nullptr;
    std::size_t capacity_ = 0;
};

// Configurations the core hands out between two checks for signals: a step costs roughly
// in proportion to the rows, and this keeps a chunk to a few milliseconds at most.
std::size_t chunkFor(std::size_t rows) { return std::clamp<std::size_t>(16384 / (rows + 1), 1, 1024); }

// q.next_batch(k): up to k configurations and their costs as a quorin.Batch. Whatever
// goes wrong (a signal handler that raises, memory running out, a failed step), the call
// raises and puts back every configuration it took, so the next call hands them out.
py::object nextBatch(ConstructedQuorin self, py::handle k) {
    const std::size_t limit = batchSize(k);
    const py::handle batch = batchType();
    quorin::Quorin& enumerator = *self.enumerator;
    BatchBuffer buffer(enumerator.rows());
    const std::size_t chunk = chunkFor(enumerator.rows());
    std::size_t taken = 0;
    try {
        while (taken < limit && !enumerator.exhausted) {
            // The first check comes before anything changes.
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (taken == buffer.capacity()) buffer.grow(limit);
            const std::size_t count = std::min(chunk, buffer.capacity() - taken);
            taken += enumerator.next(count, buffer.columnsAt(taken), buffer.costsAt(taken));
        }
        auto arrays = buffer.release(taken);
        auto result = py::reinterpret_steal<py::object>(
            PyObject_CallFunctionObjArgs(batch.ptr(), arrays.first.ptr(), arrays.second.ptr(), nullptr));
        if (!result) throw py::error_already_set();
        return result;
    } catch (...) {
        enumerator.putBack(taken);
        throw;
    }
}

// The saved state as bytes, written straight into the bytes object.
py::bytes savedState(const quorin::Quorin& enumerator) {
    const std::size_t size = enumerator.savedSize();
    auto state = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!state) throw py::error_already_set();
    enumerator.save(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(state.ptr())));
    return state;
}

// The enumerator saved in `state`; a bad state raises ValueError with the core's message.
quorin::Quorin loadedState(const py::bytes& state) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(state.ptr(), &data, &size) != 0) throw py::error_already_set();
    return quorin::Quorin::load(reinterpret_cast<const unsigned char*>(data), static_cast<std::size_t>(size));
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    py::class_<quorin::Quorin> cls(m, "quorin");
    // Pickles and reprs name the class where users find it: quorin.quorin.
    cls.attr("__module__") = "quorin";
    cls.doc() = R"doc(Iterator over every configuration of ``probs``, most probable first.

``probs`` is a sequence of rows (lists, tuples or a two-dimensional NumPy array; rows
may differ in length), row i holding the probabilities of variable i's values: finite
and non-negative, not necessarily summing to 1. With ``log=True`` the rows hold
natural-log likelihoods instead (any finite reals or -inf for an impossible value,
unnormalised), and the costs are those of each row's normalised probabilities,
computed without leaving the log domain: pass log-likelihoods whenever ``exp`` of them
could underflow (a template attack's scores). Each ``next()`` returns a new
one-dimensional ``numpy.int32`` array whose element i is the chosen column of row i, in
order of non-decreasing cost (the sum over rows of -ln p of the chosen entries), with a
fixed order among equal costs that depends only on the matrix. After the last
configuration ``next()`` raises StopIteration, and keeps doing so.

``next()`` advances the instance itself; ``iter()``, ``copy.copy()`` and
``copy.deepcopy()`` return an independent copy that starts where it stands. ``pickle``
(protocol 2 or later) saves the complete state. ``cache_assignments`` trades memory for
speed on matrices with many rows and never changes the results.

Raises ValueError for an empty row or a NaN, negative or infinite probability (naming
the first such entry), and with ``log=True`` for a NaN or +inf entry or a row of -inf
only; warns (UserWarning) for a row of zeros only (every cost is then +inf; the functions
of the cost order refuse such a row), or holding zeros next to values below 1e-300, which
look like underflowed likelihoods; TypeError for ``probs`` that is not a sequence of sequences of
numbers, MemoryError when memory runs out; the instance is then unchanged.)doc";
    cls.def(py::init([](quorin::ProbabilityMatrix probs, bool cacheAssignments, bool log) {
                quorin_python::prepareMatrix(probs, log, quorin_python::ZeroRow::Warn);
                return quorin::Quorin(std::move(probs), cacheAssignments);
            }),
            py::arg("probs"), py::arg_v("cache_assignments", true), py::kw_only(), py::arg("log") = false)
        .def("__iter__", [](ConstructedQuorin self) -> quorin::Quorin { return *self.enumerator; })
        .def("__next__", [](ConstructedQuorin self) -> py::array_t<int> {
            py::object columns = nextConfiguration(reinterpret_cast<PyObject*>(self.instance));
            if (!columns) throw py::stop_iteration();
            return py::reinterpret_steal<py::array_t<int>>(columns.release());
        })
        .def("next_batch", &nextBatch, py::arg("k"),
             R"doc(The next ``min(k, left)`` configurations at once, with their costs, as a quorin.Batch.

``columns`` is a C-contiguous ``numpy.int32`` array of shape ``(m, rows)`` whose row j is
what the j-th of m calls of ``next()`` would have returned; ``costs`` is a
``numpy.float64`` array of shape ``(m,)``, each the sum over rows, in row order from
+0.0, of -ln p of the chosen entries (+inf if one of them is 0). Once every
configuration has been handed out it returns empty batches, shapes ``(0, rows)`` and
``(0,)``; it never raises StopIteration. ``next()`` and ``next_batch()`` move the same
position. ``k = 0`` moves nothing.

A batch that is interrupted (KeyboardInterrupt) or runs out of memory (MemoryError)
hands out nothing: what it had found is put back and handed out first by the next call.
Raises ValueError for a negative ``k`` and TypeError for a ``k`` that is not an int.)doc")
        .def("__copy__", [](ConstructedQuorin self) -> quorin::Quorin { return *self.enumerator; })
        .def("__deepcopy__", [](ConstructedQuorin self, const py::dict&) -> quorin::Quorin { return *self.enumerator; },
             py::arg("memo"))
        // pickle: the state is the core's saved bytes (protocol 2 and later).
        .def(py::pickle([](ConstructedQuorin self) { return savedState(*self.enumerator); }, &loadedState))
        // Protocols 0 and 1 would rebuild the instance through pybind11's base type, which
        // aborts the interpreter: refuse them.
        .def("__reduce_ex__", [](py::handle self, int protocol) -> py::object {
            if (protocol < 2) throw py::type_error("quorin.quorin needs pickle protocol 2 or later");
            return py::module_::import("builtins").attr("object").attr("__reduce_ex__")(self, protocol);
        });
    quorinTypeInfo = py::detail::get_type_info(typeid(quorin::Quorin));
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    type->tp_iternext = &iterNext;
    PyType_Modified(type);
    bindCounting(m);
    bindWindows(m);
    bindTasks(m);
    bindTesters(m);
    bindAes128(m);
}
