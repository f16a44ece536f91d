// Python face of the enumeration core: the extension module `quorin._core` with the
// iterator class `quorin` (shown as `quorin.quorin`, where the package re-exports it). It
// converts arguments and results and forwards; the core does the rest.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <new>
#include <stdexcept>
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
    cls.def(py::init<quorin::ProbabilityMatrix, bool>(), py::arg("probs"), py::arg_v("cache_assignments", true))
        .def("__iter__", [](ConstructedQuorin self) -> quorin::Quorin { return *self.enumerator; })
        .def("__next__", [](ConstructedQuorin self) -> py::array_t<int> {
            py::object columns = nextConfiguration(reinterpret_cast<PyObject*>(self.instance));
            if (!columns) throw py::stop_iteration();
            return py::reinterpret_steal<py::array_t<int>>(columns.release());
        })
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
}
